// The built monitor driven through pipes, as the IDE drives it. It runs under
// umockdev with an empty testbed, so its watcher finds no board.

#include "support/monitor_process.h"

#include <gtest/gtest.h>
#include <umockdev.h>
#include <unistd.h>

#include <string>

#include "support/os_fakes.h"
#include "support/replies.h"

namespace {

constexpr int timeout_ms = 3000;

class MonitorProcess : public ::testing::Test {
protected:
    void SetUp() override {
        // The check looks at /sys and keeps its first answer: ask only once
        // the testbed stands in for /sys.
        testbed = umockdev_testbed_new();
        if (!umockdev_in_mock_environment()) {
            GTEST_SKIP() << "needs umockdev-wrapper";
        }
        monitor = monitor_start(MURLEN_MONITOR_PATH);
        ASSERT_GE(monitor.pid, 0);
    }

    void TearDown() override {
        monitor_stop(&monitor);
        if (listener.fd >= 0) {
            close(listener.fd);
        }
        if (testbed != nullptr) {
            g_object_unref(testbed);
        }
    }

    // Sends one line and returns the reply that follows it.
    std::string ask(const std::string& line) { return monitor_ask(monitor, line); }

    UMockdevTestbed* testbed = nullptr;
    monitor_process monitor{-1, -1, -1};
    loopback_listener listener{-1, 0};
};

TEST_F(MonitorProcess, AnswersEachCommandByteForByte) {
    EXPECT_EQ(ask("HELLO 1 \"Arduino IDE\"\n"), hello_reply);
    EXPECT_EQ(ask("HELLO 42 \"no closing quote\n"), hello_reply);
    EXPECT_EQ(ask("DESCRIBE\n"), describe_reply);
    EXPECT_EQ(ask("CLOSE\n"), already_closed_reply);
    // Lines that pass no test get no reply: the next reply is DESCRIBE's.
    EXPECT_TRUE(monitor_send(monitor, "HELLO 1 \"\"\n hello\nDESCRIB\n\n"));
    EXPECT_EQ(ask("DESCRIBE and more\n"), describe_reply);
    EXPECT_EQ(ask("QUITxyz\n"), quit_reply);
    EXPECT_EQ(monitor_wait(&monitor, timeout_ms), 0);
}

TEST_F(MonitorProcess, OpenChecksRangesThenTheAddressThenConnects) {
    listener = listener_open();
    ASSERT_GE(listener.fd, 0);
    std::string port = std::to_string(listener.port);
    EXPECT_EQ(ask("OPEN 10.0.0.5:" + port + " usb1/1-2\n"), localhost_reply);
    // Port 80 is out of range: no reply at all.
    EXPECT_EQ(ask("OPEN 10.0.0.5:80 usb1/1-2\nDESCRIBE\n"), describe_reply);

    EXPECT_EQ(ask("OPEN 127.0.0.1:" + port + " usb1/1-2\n"), open_reply);
    int first = listener_accept(listener, timeout_ms);
    EXPECT_GE(first, 0);
    // The IDE hangs up; the monitor goes on and connects again.
    close(first);
    EXPECT_EQ(ask("DESCRIBE\n"), describe_reply);
    EXPECT_EQ(ask("OPEN 127.0.0.1:" + port + " usb1/1-2\n"), open_reply);
    int second = listener_accept(listener, timeout_ms);
    EXPECT_GE(second, 0);
    EXPECT_EQ(ask("CLOSE\n"), already_closed_reply);
    EXPECT_EQ(ask("QUIT\n"), quit_reply);
    EXPECT_EQ(monitor_wait(&monitor, timeout_ms), 0);
    if (second >= 0) {
        close(second);
    }

    // Nothing listens any more on that port.
    monitor_stop(&monitor);
    close(listener.fd);
    listener.fd = -1;
    std::string trace_path = "/tmp/murlen-monitor-trace-" + std::to_string(getpid());
    monitor = monitor_start(MURLEN_MONITOR_PATH, {"MURLEN_MONITOR_TRACE=" + trace_path});
    ASSERT_GE(monitor.pid, 0);
    EXPECT_EQ(ask("OPEN 127.0.0.1:" + port + " usb1/1-2\n"), connect_failure_reply(listener.port));
    // With no board, the trace's first line still says that it is on.
    std::string traced;
    EXPECT_TRUE(eventually([&] { return (traced = file_text(trace_path)).ends_with('\n'); }));
    unlink(trace_path.c_str());
    EXPECT_EQ(traced.substr(25, traced.find('\n') - 25),
              "murlen-monitor " MURLEN_VERSION ": start-up scan found 0 boards, 0 ports");
}

TEST_F(MonitorProcess, EndOfInputEndsWithoutAReply) {
    program_result run = program_run({MURLEN_MONITOR_PATH}, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "");
}

TEST_F(MonitorProcess, LongLineIsReadInPieces) {
    // The first piece is 255 x's; the rest, a line of its own, is DESCRIBE.
    EXPECT_EQ(ask(std::string(255, 'x') + "DESCRIBE\n"), describe_reply);
    // Here the first piece ends in "D" and the second, "ESCRIBE\n", is no command:
    // only the DESCRIBE line after them is answered.
    EXPECT_EQ(ask(std::string(254, 'x') + "DESCRIBE\nDESCRIBE\n"), describe_reply);
    EXPECT_EQ(ask("QUIT" + std::string(296, 'y') + "\n"), quit_reply);
    EXPECT_EQ(monitor_wait(&monitor, timeout_ms), 0);
}

TEST_F(MonitorProcess, ClosedOutputDoesNotEndTheMonitor) {
    close(monitor.output);
    monitor.output = -1;
    EXPECT_TRUE(monitor_send(monitor, "DESCRIBE\nHELLO 1 \"x\"\n"));
    monitor_close_input(&monitor);
    EXPECT_EQ(monitor_wait(&monitor, timeout_ms), 0);
}

}  // namespace
