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

void IdeSession::start_monitor(const std::vector<std::string>& env) {
    monitor = monitor_start(MURLEN_MONITOR_PATH, env);
    ASSERT_GE(monitor.pid, 0);
    EXPECT_EQ(ask("HELLO 1 \"murlen system test\"\n"), hello_reply);
    EXPECT_EQ(ask("DESCRIBE\n"), describe_reply);
}

std::string IdeSession::ask(const std::string& line) {
    return monitor_ask(monitor, line);
}

bool IdeSession::open_port(const std::string& address) {
    ide_connection opened = ide_open(monitor, address);
    EXPECT_EQ(opened.reply, open_reply);
    if (opened.fd < 0) {
        ide_close(&opened);
        return false;
    }
    if (listener.fd >= 0) {
        close(listener.fd);
    }
    if (ide >= 0) {
        close(ide);
    }
    listener = opened.listener;
    ide = opened.fd;
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
    expect_quit(&monitor);
}
