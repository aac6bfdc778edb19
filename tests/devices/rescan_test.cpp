// After lost events the watcher reads the present devices back: its hooks hear
// of what changed and of nothing else. The testbed changes while the watcher
// reads no event, as when the kernel drops them.

#include <gtest/gtest.h>
#include <umockdev.h>

#include <map>
#include <string>
#include <vector>

#include "devices/device_records.h"
#include "devices/port_rule.h"
#include "devices/watcher.h"
#include "sim/board_sim.h"

namespace {

const std::string usb_root = "/devices/pci0000:00/0000:00:14.0/usb1/";

// Every hook call as "<hook> <USB location tail> <port kind>", in order.
std::vector<std::string> calls;

void note(const char* hook, const device_record* record) {
    std::string location = record->location;
    calls.push_back(std::string(hook) + " " + location.substr(location.rfind('/') + 1) + " " +
                    std::to_string(port_kind_of(record)));
}

void on_added(const device_record* record) {
    note("added", record);
}
void on_child_removed(const device_record* record) {
    note("child_removed", record);
}
void on_removing(const device_record* record) {
    note("removing", record);
}

// The port kind of each tracked USB location's last record.
std::map<std::string, int32_t> ports_tracked() {
    std::map<std::string, int32_t> kinds;
    for (const device_record* record = device_list; record != nullptr; record = record->next) {
        std::string location = record->location;
        kinds[location.substr(location.rfind('/') + 1)] = port_kind_of(record);
    }
    return kinds;
}

class Rescan : public ::testing::Test {
protected:
    void SetUp() override {
        // A deep queue, so that the events nobody reads never stall the simulator.
        ASSERT_EQ(board_sim_private_network(), 1);
        ASSERT_EQ(board_sim_start(), 1);
        if (!umockdev_in_mock_environment()) {
            GTEST_SKIP() << "needs umockdev-wrapper";
        }
        watcher_hooks = {on_added, on_child_removed, on_removing, nullptr};
    }

    void TearDown() override { board_sim_stop(); }

    void plug(board_sim* b, const char* tail, int32_t kind, uint32_t pid, int32_t interface) {
        board_sim_init(b, (usb_root + tail).c_str(), kind, 0x16C0, pid, 0x0279);
        b->interface_number = interface;
        ASSERT_EQ(board_sim_plug(b), 1);
    }
};

TEST_F(Rescan, HooksHearOnlyOfWhatChangedWhileEventsWereLost) {
    board_sim gone{};
    board_sim to_loader{};
    board_sim kept{};
    plug(&gone, "1-2", board_kind_tty, 0x0483, 0);
    plug(&to_loader, "1-3", board_kind_tty, 0x0483, 0);
    plug(&kept, "1-4", board_kind_hid_serial, 0x0486, 1);
    board_sim swapped{};
    plug(&swapped, "1-6", board_kind_tty, 0x0483, 0);
    udev_setup();
    EXPECT_EQ(ports_tracked(), (std::map<std::string, int32_t>{{"1-2", port_kind_serial},
                                                               {"1-3", port_kind_serial},
                                                               {"1-4", port_kind_hid},
                                                               {"1-6", port_kind_serial}}));
    calls.clear();

    // Unread: the watcher follows no event until the rescan is over.
    ASSERT_EQ(board_sim_unplug(&gone), 1);
    ASSERT_EQ(board_sim_replug_as(&to_loader, board_kind_loader, 0x16C0, 0x0478, 0x0279), 1);
    board_sim arrived{};
    plug(&arrived, "1-5", board_kind_tty, 0x0483, 0);
    // Another board of the same ids, with another release, in the same socket.
    ASSERT_EQ(board_sim_replug_as(&swapped, board_kind_tty, 0x16C0, 0x0483, 0x0274), 1);
    devices_rescan();

    EXPECT_EQ(ports_tracked(), (std::map<std::string, int32_t>{{"1-3", port_kind_none},
                                                               {"1-4", port_kind_hid},
                                                               {"1-5", port_kind_serial},
                                                               {"1-6", port_kind_serial}}));
    // Each gone device leaves as an unplug takes it (children first: the
    // interface, then the node that ends the port), each present one arrives
    // as a plug brings it; the board that stayed is never named. The loader's
    // interface sits where the board's was and goes with the old record.
    const std::vector<std::string> expected = {
        "child_removed 1-2 1", "child_removed 1-2 0", "removing 1-2 0", "child_removed 1-3 0",
        "removing 1-3 0",      "child_removed 1-6 0", "removing 1-6 0", "added 1-3 0",
        "added 1-3 0",         "added 1-3 0",         "added 1-3 0",    "added 1-5 0",
        "added 1-5 0",         "added 1-5 1",         "added 1-6 0",    "added 1-6 0",
        "added 1-6 1",
    };
    EXPECT_EQ(calls, expected);

    // A second rescan finds nothing to do.
    calls.clear();
    devices_rescan();
    EXPECT_TRUE(calls.empty());
}

}  // namespace
