// Faults from udev, on a testbed of the test's own: garbage that the monitor
// must neither crash on nor open a node for, and 256 boards that arrive and
// leave in one burst each.

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "reliability_support.h"

namespace {

const std::string usb_root = "/devices/pci0000:00/0000:00:14.0/usb1";

// Identity numbers of a board with a serial stream.
const std::string serial_ids = "A: idVendor=16c0\nA: idProduct=0483\nA: bcdDevice=0279\n";

// Descriptors of 64 KiB: a valid beginning, then bytes that mean nothing.
std::string hex_descriptor(const std::string& head_hex, size_t total_bytes) {
    std::string hex = head_hex;
    while (hex.size() < 2 * total_bytes) {
        hex += "AB";
    }
    return hex;
}

using UdevGarbage = OwnTestbed;
using ManyBoards = OwnTestbed;

TEST_F(UdevGarbage, NeitherCrashesNorOpensAndServesTheNextBoard) {
    start_monitor();
    struct garbage {
        std::string address;
        std::string node;
    };
    std::vector<garbage> garbages;
    std::vector<std::string> devices;  // in the order added
    auto add_garbage = [&](const std::string& path, const std::string& attributes,
                           const std::string& descriptor_line = "") {
        garbages.push_back({"/sys" + path, add_board(path, attributes, &devices, descriptor_line)});
    };
    add_garbage(usb_root + "/1-1", "A: idVendor=zz16c0\nA: idProduct=0483\nA: bcdDevice=0279\n");
    add_garbage(usb_root + "/1-2", "A: idVendor=16c0\nA: idProduct=\nA: bcdDevice=0279\n");
    add_garbage(usb_root + "/1-3", "A: idVendor=16c0\nA: idProduct=0483\n");
    add_garbage(usb_root + "/1-4", "A: idVendor= \nA: idProduct=0x\nA: bcdDevice=0279\n");
    // Serial and "Everything" products whose stream never is a hidraw node,
    // whatever their descriptors say; a loader is never a port.
    add_garbage(usb_root + "/1-5", serial_ids, "A: report_descriptor=\n");
    add_garbage(usb_root + "/1-6", "A: idVendor=16c0\nA: idProduct=0476\nA: bcdDevice=0279\n",
                "H: report_descriptor=" + hex_descriptor("06C9FF0904A15C7508", 65536) + "\n");
    add_garbage(usb_root + "/1-7", "A: idVendor=16c0\nA: idProduct=0478\nA: bcdDevice=0279\n",
                "H: report_descriptor=" + hex_descriptor("069CFF092CA188750815", 65536) + "\n");
    add_garbage(usb_root + "/1-8", "A: idVendor=16c0\nA: idProduct=0478\nA: bcdDevice=0279\n",
                "A: report_descriptor=\n");
    // A hub chain deeper than a record's 239 characters: the port keeps only
    // the beginning, so its full address names no port.
    std::string deep = usb_root + "/1-9";
    for (std::string port = "1-9"; deep.size() <= 260;) {
        port += ".1";
        deep += "/" + port;
    }
    add_garbage(deep, serial_ids);

    // Events arrive in order: once the last board is open, all came through.
    std::string good_node = add_board(usb_root + "/1-10", serial_ids, &devices);
    ide_connection ide = ide_open(monitor, "usb1/1-10");
    ASSERT_EQ(ide.reply, open_reply);
    ASSERT_GE(ide.fd, 0);
    ASSERT_TRUE(eventually([&] { return !descriptors_on(monitor.pid, good_node).empty(); }));
    // Its opening drops what the board sent before it was done; a byte from
    // the IDE reaching the board shows it done.
    ASSERT_TRUE(write_all(ide.fd, "?"));
    ASSERT_EQ(read_exactly(masters.back(), 1, effect_timeout_ms), "?");
    ASSERT_TRUE(write_all(masters.back(), "the good board\n"));
    EXPECT_EQ(read_exactly(ide.fd, 15, effect_timeout_ms), "the good board\n");
    ide_close(&ide);

    for (const garbage& g : garbages) {
        ide = ide_open(monitor, g.address);
        EXPECT_EQ(ide.reply, open_reply) << g.address;
        EXPECT_TRUE(descriptors_on(monitor.pid, g.node).empty()) << g.address;
        ide_close(&ide);
    }
    EXPECT_EQ(ask(monitor, "CLOSE\n"), already_closed_reply);

    // Everything goes, children first; the monitor stays.
    for (auto path = devices.rbegin(); path != devices.rend(); ++path) {
        remove(*path);
    }
    EXPECT_EQ(ask(monitor, "HELLO 1 \"still there?\"\n"), hello_reply);
    quit();
}

TEST_F(ManyBoards, TwoHundredFiftySixArriveAndLeaveInOneBurst) {
    if (private_network == 0) {
        GTEST_SKIP() << "needs a network namespace of its own (root) for a deep uevent queue";
    }
    constexpr int board_count = 256;
    constexpr int chosen = 137;
    start_monitor();
    const process_figures idle = idle_figures_of(monitor.pid);
    std::vector<std::vector<std::string>> paths(board_count);
    std::vector<std::string> nodes;
    for (int i = 0; i < board_count; ++i) {
        char path[96];
        snprintf(path, sizeof path, "/devices/pci0000:00/0000:00:14.0/usb%d/%d-%d", 1 + i / 64,
                 1 + i / 64, 1 + i % 64);
        nodes.push_back(add_board(path, serial_ids, &paths[static_cast<size_t>(i)]));
    }
    ide_connection ide = ide_open(monitor, "usb3/3-10");
    ASSERT_GE(ide.fd, 0);
    ASSERT_TRUE(eventually([&] { return !descriptors_on(monitor.pid, nodes[chosen]).empty(); }));
    ASSERT_TRUE(write_all(masters[chosen], "one of many\n"));
    EXPECT_EQ(read_exactly(ide.fd, 12, effect_timeout_ms), "one of many\n");

    // Every line hangs up, then the removals come in one burst, children first.
    for (int& master : masters) {
        close(master);
        master = -1;
    }
    for (const std::vector<std::string>& board : paths) {
        for (auto path = board.rbegin(); path != board.rend(); ++path) {
            announce(*path, "remove");
        }
    }
    process_figures now{};
    // Only the IDE connection and the relay table's let-go pipe stay.
    EXPECT_TRUE(eventually([&] {
        now = figures_of(monitor.pid);
        return now.threads == idle.threads && now.fds <= idle.fds + 2;
    })) << now.threads
        << " threads (idle " << idle.threads << "), " << now.fds << " descriptors (idle "
        << idle.fds << ")\n"
        << descriptor_listing(monitor.pid);
    EXPECT_EQ(ask(monitor, "CLOSE\n"), already_closed_reply);

    // The chosen one comes back, on a new line, and its side reopens by itself.
    std::vector<std::string>& again = paths[chosen];
    for (auto path = again.rbegin(); path != again.rend(); ++path) {
        umockdev_testbed_remove_device(testbed, ("/sys" + *path).c_str());
    }
    std::string usb_path = again.front();
    again.clear();
    std::string back = add_board(usb_path, serial_ids, &again);
    ASSERT_TRUE(eventually([&] { return !descriptors_on(monitor.pid, back).empty(); }));
    ASSERT_TRUE(write_all(masters.back(), "back again\n"));
    EXPECT_EQ(read_exactly(ide.fd, 11, effect_timeout_ms), "back again\n");
    quit();
    ide_close(&ide);
}

}  // namespace
