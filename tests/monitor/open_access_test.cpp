// OPEN as an ordinary user on a board whose node cannot be opened: a forked
// child drops to nobody (the tests run as root, which no file mode stops),
// publishes a pty as the board's node and executes OPEN; the test holds the
// IDE's listener and the node.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bridge/port_table.h"
#include "common/copy_bounded.h"
#include "monitor/command_loop.h"
#include "support/os_fakes.h"
#include "support/replies.h"

namespace {

constexpr uid_t nobody = 65534;
constexpr gid_t nogroup = 65534;
const std::string closed = "selected=usb1/1-2, IDE connection closed\n";
const std::string kept = "selected=usb1/1-2, IDE connection kept\n";

std::string open_error_reply(const std::string& escaped_node, const std::string& reason) {
    return "{\n\"eventType\": \"open\",\n\"error\": true,\n\"message\": \"Can not open " +
           escaped_node + ": " + reason + "\"\n}\n";
}

// What the child's OPEN wrote, then a line with the selection it kept and
// whether it kept its IDE connection.
struct open_outcome {
    std::string output;
    int connection;  // the IDE's end of the monitor's connection, or -1
};

// In a child running as nobody: the board usb1/1-2 published at node
// (published at all only when node is not empty), then one OPEN.
// while_child_runs, if any, runs in this process right after the fork (a
// thread started before the fork would make the child multi-threaded).
open_outcome open_as_nobody(const std::string& node, const loopback_listener& listener,
                            void (*while_child_runs)(int) = nullptr, int argument = -1) {
    int sink[2];
    if (pipe(sink) != 0) {
        return {"pipe failed", -1};
    }
    fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        close(sink[0]);
        monitor_setup();
        static port_entry entry{};
        copy_bounded(entry.address, "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2",
                     sizeof entry.address);
        copy_bounded(entry.devnode, node.c_str(), sizeof entry.devnode);
        entry.is_serial = node.empty() ? 0 : 1;
        port_list = &entry;
        if (setgroups(0, nullptr) != 0 || setgid(nogroup) != 0 || setuid(nobody) != 0) {
            _exit(2);
        }
        dup2(sink[1], 1);
        command cmd =
            command_parse("OPEN 127.0.0.1:" + std::to_string(listener.port) + " usb1/1-2\n");
        command_execute(&cmd);
        port_lock_acquire();
        printf("selected=%s, IDE connection %s\n", selected_address,
               ide_endpoint.fd >= 0 ? "kept" : "closed");
        port_lock_release();
        fflush(stdout);
        _exit(0);
    }
    close(sink[1]);
    open_outcome outcome{"", -1};
    if (child < 0) {
        close(sink[0]);
        return outcome;
    }
    if (while_child_runs != nullptr) {
        while_child_runs(argument);
    }
    outcome.connection = listener_accept(listener, effect_timeout_ms);
    char buf[4096];
    for (ssize_t n; (n = read(sink[0], buf, sizeof buf)) > 0;) {
        outcome.output.append(buf, static_cast<size_t>(n));
    }
    close(sink[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    return outcome;
}

class OpenAccess : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root to drop to nobody";
        }
        board = pty_open();
        ASSERT_GE(board.master, 0);
        listener = listener_open();
        ASSERT_GE(listener.fd, 0);
    }
    void TearDown() override {
        for (int fd : {board.master, listener.fd}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
    pty_pair board{-1, ""};
    loopback_listener listener{-1, 0};
};

TEST_F(OpenAccess, ANodeTheUserMayNotOpenGetsTheOpenErrorAndNoConnection) {
    // Named through a link whose name needs escaping in JSON, with a byte
    // that is not UTF-8 and must be replaced to keep the reply valid.
    char directory[] = "/tmp/murlen-access-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    ASSERT_EQ(chmod(directory, 0755), 0);
    std::string link = std::string(directory) + "/tty\"q\\b\xff";
    ASSERT_EQ(symlink(board.slave_path.c_str(), link.c_str()), 0);
    ASSERT_EQ(chown(board.slave_path.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(board.slave_path.c_str(), 0600), 0);

    open_outcome outcome = open_as_nobody(link, listener);
    std::string escaped = std::string(directory) + "/tty\\\"q\\\\b\xef\xbf\xbd";
    const std::string hint = "; install the udev rules (README.md in the tool's folder)";
    EXPECT_EQ(outcome.output, open_error_reply(escaped, strerror(EACCES) + hint) + closed);
    ASSERT_GE(outcome.connection, 0) << "the connection was never made";
    close(outcome.connection);
    unlink(link.c_str());
    rmdir(directory);
}

TEST_F(OpenAccess, ABusyNodeIsTriedAgainAndReportedWhenItStaysBusy) {
    ASSERT_EQ(chmod(board.slave_path.c_str(), 0666), 0);
    int holder = open(board.slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(ioctl(holder, TIOCEXCL), 0);  // others get EBUSY (root excepted)

    // Busy throughout: the error, once the retry has given up.
    open_outcome outcome = open_as_nobody(board.slave_path, listener);
    EXPECT_EQ(outcome.output, open_error_reply(board.slave_path, strerror(EBUSY)) + closed);
    ASSERT_GE(outcome.connection, 0);
    close(outcome.connection);

    // Busy for a moment only, as while another program probes a new node.
    outcome = open_as_nobody(
        board.slave_path, listener,
        [](int fd) {
            usleep(300 * 1000);
            ioctl(fd, TIOCNXCL);
        },
        holder);
    EXPECT_EQ(outcome.output, open_reply + kept);
    if (outcome.connection >= 0) {
        close(outcome.connection);
    }
    close(holder);
}

TEST_F(OpenAccess, AnAbsentBoardStillGetsOk) {
    open_outcome outcome = open_as_nobody("", listener);
    EXPECT_EQ(outcome.output, open_reply + kept);
    if (outcome.connection >= 0) {
        close(outcome.connection);
    }
}

}  // namespace
