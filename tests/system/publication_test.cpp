// Which boards become ports, seen from outside: each candidate is plugged at
// its own location, then selected with OPEN; only a published port opens.

#include <cstdint>
#include <string>
#include <vector>

#include "ide_session.h"
#include "port_candidates.h"

namespace {

std::string location_of(int index) {
    return "/devices/pci0000:00/0000:00:14.0/usb2/2-" + std::to_string(index + 1);
}

using Publication = IdeSession;

TEST_F(Publication, OnlyBoardStreamsBecomePorts) {
    start_monitor();
    std::vector<board_sim> boards(never_ports.size());
    std::vector<std::string> locations;
    for (size_t i = 0; i < never_ports.size(); ++i) {
        const candidate& c = never_ports[i];
        locations.push_back(location_of(static_cast<int>(i)));
        plug(&boards[i], locations.back().c_str(), c.kind, c.vid, c.pid, c.bcd, c.interface_number);
    }
    // Plugged last, so once it is bridged the monitor has seen all of the above.
    board_sim everything{};
    std::string everything_at = location_of(static_cast<int>(never_ports.size()));
    plug(&everything, everything_at.c_str(), board_kind_tty, 0x16C0, 0x0476, 0x9998);
    ASSERT_TRUE(open_port(everything_at.substr(everything_at.find("usb"))));
    ASSERT_TRUE(monitor_holds(everything));
    expect_to_board(&everything, "release 0x9998 is a port\n");
    expect_to_ide(&everything, "and it answers\n");
    EXPECT_EQ(ask("CLOSE\n"), close_reply);

    for (size_t i = 0; i < never_ports.size(); ++i) {
        ASSERT_TRUE(open_port(locations[i].substr(locations[i].find("usb"))));
        EXPECT_EQ(board_sim_held_by(&boards[i], monitor.pid), 0) << never_ports[i].what;
        EXPECT_EQ(board_sim_opened(&boards[i]), 0) << never_ports[i].what;
    }
    quit();
}

}  // namespace
