// Field events around an open bridge, on simulated boards and the built
// monitor: a node replaced under a present USB device, a wedged board while
// the IDE talks to the monitor, a board with two ttys losing one, a listener
// that never accepts.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>

#include "ide_session.h"

namespace {

constexpr uint32_t board_vendor = 0x16C0;

using Field = IdeSession;

TEST_F(Field, BridgeFollowsANodeReplacedUnderThePresentBoard) {
    // A tty board and a HID board, each rebound by its driver: the old node
    // hangs up and goes, a new one with another name comes.
    struct rebind_case {
        int32_t kind;
        uint32_t pid;
        int32_t interface_number;
    };
    for (const rebind_case& c :
         {rebind_case{board_kind_tty, 0x0483, 0}, rebind_case{board_kind_hid_serial, 0x0486, 1}}) {
        SCOPED_TRACE(c.kind);
        board_sim board{};
        plug(&board, location_a, c.kind, board_vendor, c.pid, 0x0279, c.interface_number);
        start_monitor();
        ASSERT_TRUE(open_port("usb1/1-2"));
        ASSERT_TRUE(monitor_holds(board));
        expect_to_board(&board, "before the rebind\n");

        board_sim old_node = board;
        ASSERT_EQ(board_sim_replace_node(&board, 1), 1);
        ASSERT_TRUE(monitor_holds(board));
        // The new node may reuse the old one's pty, and then its name too.
        if (std::string(board.node_target) != old_node.node_target) {
            EXPECT_TRUE(monitor_releases(old_node));
        }
        expect_to_board(&board, "after the rebind\n");
        expect_to_ide(&board, "answer on the new node\n");
        EXPECT_EQ(ask("CLOSE\n"), close_reply);
        EXPECT_EQ(ask("CLOSE\n"), already_closed_reply);
        quit();
        ASSERT_EQ(board_sim_unplug(&board), 1);
    }
}

TEST_F(Field, AWedgedBoardNeverStallsTheCommands) {
    char trace_path[] = "/tmp/murlen-wedge-XXXXXX";
    close(mkstemp(trace_path));
    start_monitor({std::string("MURLEN_MONITOR_TRACE=") + trace_path});
    ASSERT_TRUE(open_port("usb1/1-2"));
    // The board arrives and takes the feature report of its opening, but
    // never answers it.
    board_sim board{};
    board_sim_init(&board, location_a, board_kind_hid_serial, board_vendor, 0x0486, 0x0279);
    board.interface_number = 1;
    board.features_held = 1;
    ASSERT_EQ(board_sim_plug(&board), 1);
    ASSERT_TRUE(eventually([&] { return board_sim_opened(&board) >= 1; }));

    EXPECT_EQ(ask("HELLO 1 \"while the board is wedged\"\n"), hello_reply);
    EXPECT_EQ(ask("CLOSE\n"), already_closed_reply);
    EXPECT_EQ(ask("HELLO 1 \"still wedged\"\n"), hello_reply);
    // The watcher goes on with its events meanwhile: another board arrives.
    board_sim other{};
    plug(&other, location_b, board_kind_tty, board_vendor, 0x0483, 0x0279);
    EXPECT_TRUE(eventually([&] {
        std::ifstream traced(trace_path);
        std::string text((std::istreambuf_iterator<char>(traced)),
                         std::istreambuf_iterator<char>());
        return text.find("usb1/1-3/1-3:1.0/tty/") != std::string::npos;
    }));
    // The IDE opens the same address again: the opening in progress is taken
    // over, and the reply comes while the board still holds the report.
    ASSERT_TRUE(open_port("usb1/1-2"));
    EXPECT_EQ(ask("HELLO 1 \"after the OPEN\"\n"), hello_reply);

    // Once the board answers, its side opens, once, and carries bytes both
    // ways on the latest connection.
    board_sim_release_features(&board);
    uint8_t last[board_feature_report_size] = {};
    ASSERT_TRUE(eventually([&] { return board_sim_feature_reports(&board, last) == 1; }));
    expect_reports(&board, "after the wedge");
    expect_to_ide(&board, "answer after the wedge");
    EXPECT_EQ(board_sim_feature_reports(&board, last), 1);
    EXPECT_EQ(board_sim_opened(&board), 1);
    quit();
    unlink(trace_path);
}

TEST_F(Field, ABoardWithTwoTtysStaysAPortOnTheOtherWhenOneGoes) {
    start_monitor();
    ASSERT_TRUE(open_port("usb1/1-2"));
    // One board with two serial interfaces: the newest tty carries the port.
    board_sim first{};
    board_sim second{};
    plug(&first, location_a, board_kind_tty, board_vendor, 0x0483, 0x0279);
    ASSERT_TRUE(monitor_holds(first));
    board_sim_init(&second, location_a, board_kind_tty, board_vendor, 0x0483, 0x0279);
    second.interface_number = 2;
    second.beside = 1;
    ASSERT_EQ(board_sim_plug(&second), 1);
    ASSERT_TRUE(monitor_holds(second));
    EXPECT_TRUE(monitor_releases(first));

    // The second interface is unbound: the port stays, on the first tty.
    ASSERT_EQ(board_sim_unplug(&second), 1);
    ASSERT_TRUE(monitor_holds(first));
    expect_to_board(&first, "on the first tty\n");
    expect_to_ide(&first, "from the first tty\n");
    EXPECT_EQ(ask("CLOSE\n"), close_reply);
    quit();
}

TEST_F(Field, AListenerThatNeverAcceptsGetsTheConnectFailureAndTheBridgeStays) {
    board_sim board{};
    plug(&board, location_a, board_kind_tty, board_vendor, 0x0483, 0x0279);
    start_monitor();
    ASSERT_TRUE(open_port("usb1/1-2"));
    ASSERT_TRUE(monitor_holds(board));

    // A listener with a full backlog: the kernel drops further connection
    // requests, so a connect would wait for minutes.
    loopback_listener full = listener_open();
    ASSERT_GE(full.fd, 0);
    ASSERT_EQ(listen(full.fd, 0), 0);
    int queued[2] = {-1, -1};
    for (int& fd : queued) {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(full.port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        (void)connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    }
    EXPECT_EQ(ask("OPEN 127.0.0.1:" + std::to_string(full.port) + " usb1/1-2\n"),
              connect_failure_reply(full.port));
    // The earlier connection is gone, the board side stays for CLOSE.
    EXPECT_EQ(read_exactly(ide, 1, effect_timeout_ms), "");
    EXPECT_EQ(ask("HELLO 1 \"after the failed open\"\n"), hello_reply);
    EXPECT_EQ(ask("CLOSE\n"), close_reply);
    EXPECT_TRUE(monitor_releases(board));
    for (int fd : queued) {
        close(fd);
    }
    close(full.fd);
    quit();
}

}  // namespace
