#include "ide_session.h"

#include <poll.h>
#include <umockdev.h>
#include <unistd.h>

#include <string>

const char* const location_a = "/devices/pci0000:00/0000:00:14.0/usb1/1-2";
const char* const location_b = "/devices/pci0000:00/0000:00:14.0/usb1/1-3";

void IdeSession::SetUp() {
    // Its own network namespace keeps the uevent queue deep; best effort.
    (void)board_sim_private_network();
    ASSERT_EQ(board_sim_start(), 1);
    // The check looks at /sys and keeps its first answer: ask once the testbed stands in.
    if (!umockdev_in_mock_environment()) {
        GTEST_SKIP() << "needs umockdev-wrapper";
    }
}

void IdeSession::TearDown() {
    monitor_stop(&monitor);
    if (ide >= 0) {
        close(ide);
    }
    if (listener.fd >= 0) {
        close(listener.fd);
    }
    board_sim_stop();
}

void IdeSession::start_monitor() {
    monitor = monitor_start(MURLEN_MONITOR_PATH);
    ASSERT_GE(monitor.pid, 0);
    EXPECT_EQ(ask("HELLO 1 \"murlen system test\"\n"), hello_reply);
    EXPECT_EQ(ask("DESCRIBE\n"), describe_reply);
}

std::string IdeSession::ask(const std::string& line) {
    EXPECT_TRUE(monitor_send(monitor, line));
    return monitor_read_reply(monitor, effect_timeout_ms);
}

bool IdeSession::open_port(const std::string& address) {
    if (listener.fd >= 0) {
        close(listener.fd);
    }
    listener = listener_open();
    if (listener.fd < 0) {
        return false;
    }
    if (!monitor_send(monitor,
                      "OPEN 127.0.0.1:" + std::to_string(listener.port) + " " + address + "\n")) {
        return false;
    }
    int connection = listener_accept(listener, effect_timeout_ms);
    std::string reply = monitor_read_reply(monitor, effect_timeout_ms);
    EXPECT_EQ(reply, open_reply);
    if (connection < 0 || reply != open_reply) {
        if (connection >= 0) {
            close(connection);
        }
        return false;
    }
    if (ide >= 0) {
        close(ide);
    }
    ide = connection;
    return true;
}

void IdeSession::plug(board_sim* b, const char* location, int32_t kind, uint32_t vid, uint32_t pid,
                      uint32_t bcd, int32_t interface_number) {
    board_sim_init(b, location, kind, vid, pid, bcd);
    b->interface_number = interface_number;
    ASSERT_EQ(board_sim_plug(b), 1) << location;
}

bool IdeSession::monitor_holds(const board_sim& b) {
    return eventually([&] { return board_sim_held_by(&b, monitor.pid) > 0; });
}

bool IdeSession::monitor_releases(const board_sim& b) {
    return eventually([&] { return board_sim_held_by(&b, monitor.pid) == 0; });
}

void IdeSession::expect_to_board(board_sim* b, const std::string& text) {
    if (b->kind != board_kind_tty) {
        expect_reports(b, text);
        return;
    }
    ASSERT_TRUE(write_all(ide, text));
    std::string got(text.size(), '\0');
    int32_t count =
        board_sim_receive(b, got.data(), static_cast<int32_t>(got.size()), effect_timeout_ms);
    got.resize(static_cast<size_t>(count));
    EXPECT_EQ(got, text);
}

void IdeSession::expect_reports(board_sim* b, const std::string& text) {
    ASSERT_TRUE(write_all(ide, text));
    std::string expected;
    for (size_t done = 0; done < text.size(); done += board_output_report_size) {
        std::string report = text.substr(done, board_output_report_size);
        report.resize(board_output_report_size, '\0');
        expected += report;
    }
    std::string got(expected.size(), '\0');
    int32_t count =
        board_sim_receive(b, got.data(), static_cast<int32_t>(got.size()), effect_timeout_ms);
    got.resize(static_cast<size_t>(count));
    EXPECT_EQ(got, expected);
}

void IdeSession::expect_to_ide(board_sim* b, const std::string& text) {
    ASSERT_EQ(board_sim_send(b, text.data(), static_cast<int32_t>(text.size())),
              static_cast<int32_t>(text.size()));
    EXPECT_EQ(read_exactly(ide, text.size(), effect_timeout_ms), text);
}

void IdeSession::quit() {
    EXPECT_EQ(ask("QUIT\n"), quit_reply);
    EXPECT_EQ(monitor_wait(&monitor, effect_timeout_ms), 0);
}
