// Boards that come and go around an open IDE connection: OPEN before the
// board exists, CLOSE and a replug, the removal of other boards, devices that
// are no boards, and the kernel's other actions.

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "ide_session.h"

namespace {

constexpr uint32_t board_vendor = 0x16C0;
const char* const location_c = "/devices/pci0000:00/0000:00:14.0/usb1/1-4";
const char* const location_d = "/devices/pci0000:00/0000:00:14.0/usb1/1-5";

using HotPlug = IdeSession;

TEST_F(HotPlug, BoardSideOpensWhenTheBoardArrivesAndAfterCloseWhenItComesBack) {
    start_monitor();
    ASSERT_TRUE(open_port(std::string("/sys") + location_a));

    board_sim board{};
    plug(&board, location_a, board_kind_tty, board_vendor, 0x0483, 0x0280);
    ASSERT_TRUE(monitor_holds(board));
    expect_to_board(&board, "first plug\n");
    expect_to_ide(&board, "first answer\n");

    // CLOSE keeps the IDE connection and the address: a replug reopens.
    EXPECT_EQ(ask("CLOSE\n"), close_reply);
    ASSERT_TRUE(monitor_releases(board));
    ASSERT_EQ(board_sim_unplug(&board), 1);
    ASSERT_EQ(board_sim_plug(&board), 1);
    ASSERT_TRUE(monitor_holds(board));
    expect_to_board(&board, "after the replug\n");
    expect_to_ide(&board, "answer after the replug\n");

    // An address given as its tail from "usb", before its board is there.
    EXPECT_EQ(ask("CLOSE\n"), close_reply);
    ASSERT_TRUE(open_port("usb1/1-3"));
    board_sim other{};
    plug(&other, location_b, board_kind_tty, board_vendor, 0x0489, 0x0279);
    ASSERT_TRUE(monitor_holds(other));
    expect_to_board(&other, "to the second board\n");
    expect_to_ide(&other, "from the second board\n");
    EXPECT_EQ(board_sim_held_by(&board, monitor.pid), 0);
    quit();
}

TEST_F(HotPlug, OnlyTheSelectedBoardsRemovalClosesTheBridge) {
    board_sim selected{};
    plug(&selected, location_a, board_kind_hid_serial, board_vendor, 0x0486, 0x0279, 1);
    start_monitor();
    ASSERT_TRUE(open_port("usb1/1-2"));
    ASSERT_TRUE(monitor_holds(selected));
    expect_reports(&selected, "before");

    board_sim other{};
    plug(&other, location_b, board_kind_tty, board_vendor, 0x0483, 0x0279);
    ASSERT_EQ(board_sim_unplug(&other), 1);

    // A hub's and a keyboard's vendor: neither they nor anything below them is tracked.
    board_sim hub{};
    plug(&hub, location_c, board_kind_tty, 0x8087, 0x0483, 0x0279);
    board_sim keyboard{};
    plug(&keyboard, location_d, board_kind_hid_serial, 0x046D, 0x0486, 0x0279, 1);

    // The kernel's other actions change nothing.
    for (const char* action : {"change", "move", "online", "offline", "bind", "unbind"}) {
        board_sim_announce(&selected, action);
    }
    // Announced again, the board is published again: had anything above
    // closed its side, this would open it a second time.
    board_sim_announce(&selected, "add");
    expect_reports(&selected, "after");
    expect_to_ide(&selected, "still here");

    // Its own removal closes the side, after everything above was seen.
    ASSERT_EQ(board_sim_unplug(&selected), 1);
    ASSERT_TRUE(monitor_releases(selected));
    EXPECT_EQ(board_sim_opened(&selected), 1);
    uint8_t feature[board_feature_report_size] = {};
    EXPECT_EQ(board_sim_feature_reports(&selected, feature), 1);

    // Selected now, the foreign devices still are no ports.
    EXPECT_EQ(ask("CLOSE\n"), already_closed_reply);
    ASSERT_TRUE(open_port("usb1/1-4"));
    EXPECT_EQ(board_sim_held_by(&hub, monitor.pid), 0);
    EXPECT_EQ(board_sim_opened(&hub), 0);
    ASSERT_TRUE(open_port("usb1/1-5"));
    EXPECT_EQ(board_sim_held_by(&keyboard, monitor.pid), 0);
    EXPECT_EQ(board_sim_opened(&keyboard), 0);
    quit();
}

// The board of a session by hand (scripts/run.sh sim), unplugged and plugged
// back, then restarted through its loader by typed lines, carries bytes again
// on the IDE's first connection.
TEST(SimBoardByHand, CarriesBytesAgainAfterEachReplugWithoutANewOpen) {
    loopback_listener listener = listener_open();
    monitor_process sim = program_start({MURLEN_SIM_BOARD_PATH, MURLEN_MONITOR_PATH});
    auto wait_for = [&](const std::string& text) {
        std::string line;
        while (line.find(text) == std::string::npos &&
               !(line = monitor_read_line(sim, effect_timeout_ms)).empty()) {
        }
        return line;
    };
    // The banner names the pty that plays the board: "socat - /dev/pts/N".
    std::string pty = wait_for("socat - /dev/pts/");
    int board =
        open(pty.substr(pty.find('/'), pty.size() - pty.find('/') - 1).c_str(), O_RDWR | O_NOCTTY);
    ASSERT_TRUE(monitor_send(
        sim, "HELLO 1 \"t\"\nOPEN 127.0.0.1:" + std::to_string(listener.port) + " usb1/1-1\n"));
    int ide = listener_accept(listener, effect_timeout_ms);
    for (const std::string typed : {"", "unplug\nplug\n", "restart\n"}) {
        ASSERT_TRUE(monitor_send(sim, typed));
        ASSERT_NE(wait_for("[board] the monitor opened /dev/ttyACM"), "") << typed;
        ASSERT_TRUE(write_all(ide, "ping\n"));
        EXPECT_EQ(read_exactly(board, 5, effect_timeout_ms), "ping\n") << typed;
        ASSERT_TRUE(write_all(board, "pong\n"));
        EXPECT_EQ(read_exactly(ide, 5, effect_timeout_ms), "pong\n") << typed;
    }
    EXPECT_LT(listener_accept(listener, 0), 0);
    monitor_close_input(&sim);
    EXPECT_EQ(monitor_wait(&sim, effect_timeout_ms), 0);
    close(board);
    close(ide);
    close(listener.fd);
}

}  // namespace
