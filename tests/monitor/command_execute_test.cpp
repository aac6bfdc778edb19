// The command loop's actions in this process: a pty plays the board, a
// loopback listener plays the IDE, and standard output goes to a pipe while a
// command runs. No watcher thread runs here; the test publishes the port.

#include <gtest/gtest.h>
#include <poll.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bridge/endpoint.h"
#include "bridge/port_table.h"
#include "common/copy_bounded.h"
#include "monitor/command_loop.h"
#include "support/os_fakes.h"
#include "support/replies.h"

namespace {

constexpr int timeout_ms = 2000;

// Parses and executes one line with standard output sent to a pipe; returns
// everything the command wrote there.
std::string execute_line(const std::string& line) {
    int sink[2];
    if (pipe(sink) != 0) {
        return "pipe failed";
    }
    fflush(stdout);
    int saved = dup(1);
    dup2(sink[1], 1);
    close(sink[1]);
    command cmd = command_parse(line);
    command_execute(&cmd);
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string written;
    char buf[4096];
    for (ssize_t n; (n = read(sink[0], buf, sizeof buf)) > 0;) {
        written.append(buf, static_cast<size_t>(n));
    }
    close(sink[0]);
    return written;
}

// Standard output sent to a pipe until capture_end; read from fd meanwhile.
struct stdout_capture {
    int fd;
    int saved;
};

stdout_capture capture_begin() {
    int sink[2];
    if (pipe(sink) != 0) {
        return stdout_capture{-1, -1};
    }
    fflush(stdout);
    int saved = dup(1);
    dup2(sink[1], 1);
    close(sink[1]);
    return stdout_capture{sink[0], saved};
}

void capture_end(stdout_capture* capture) {
    fflush(stdout);
    dup2(capture->saved, 1);
    close(capture->saved);
    close(capture->fd);
}

// Threads held in a signal handler until released: a held thread keeps every
// descriptor it has and acts on nothing.
sem_t hold_release;
std::atomic<int> held_count{0};

void hold_here(int) {
    held_count.fetch_add(1);
    while (sem_wait(&hold_release) != 0) {
    }
}

// Holds the threads with these ids; true once each sits in the handler.
bool hold_threads(const std::vector<pid_t>& ids) {
    sem_init(&hold_release, 0, 0);
    held_count = 0;
    struct sigaction action = {};
    action.sa_handler = hold_here;
    sigaction(SIGUSR2, &action, nullptr);
    for (pid_t id : ids) {
        syscall(SYS_tgkill, getpid(), id, SIGUSR2);
    }
    return eventually([&] { return held_count.load() == static_cast<int>(ids.size()); });
}

void release_threads(const std::vector<pid_t>& ids) {
    for (size_t i = 0; i < ids.size(); ++i) {
        sem_post(&hold_release);
    }
}

// True when the peer of fd ends its stream within the deadline.
bool sees_end_of_stream(int fd) {
    pollfd pfd{fd, POLLIN, 0};
    char byte = 0;
    return poll(&pfd, 1, timeout_ms) == 1 && read(fd, &byte, 1) == 0;
}

// A port that nothing listens on: the kernel's choice, released again.
int free_port() {
    loopback_listener listener = listener_open();
    close(listener.fd);
    return listener.port;
}

std::string selected() {
    port_lock_acquire();
    std::string address = selected_address;
    port_lock_release();
    return address;
}

class CommandExecute : public ::testing::Test {
protected:
    void SetUp() override {
        static std::once_flag setup_once;
        std::call_once(setup_once, monitor_setup);
        board = pty_open();
        ASSERT_GE(board.master, 0);
        listener = listener_open();
        ASSERT_GE(listener.fd, 0);
        entry = port_entry{};
        copy_bounded(entry.address, "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2",
                     sizeof entry.address);
        copy_bounded(entry.devnode, board.slave_path.c_str(), sizeof entry.devnode);
        entry.is_serial = 1;
        port_lock_acquire();
        port_list = &entry;
        port_lock_release();
    }

    // Leaves the globals as start-up made them, for the next case in this process.
    void TearDown() override {
        port_lock_acquire();
        int32_t let_go = bridge_close();
        if (ide_endpoint.fd >= 0) {
            endpoint_close(&ide_endpoint);
        }
        port_list = nullptr;
        selected_address[0] = '\0';
        port_lock_release();
        relays_await(let_go);
        for (int fd : {board.master, listener.fd, ide_side, earlier_ide_side}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }

    std::string open_line() const {
        return "OPEN 127.0.0.1:" + std::to_string(listener.port) + " usb1/1-2\n";
    }

    // OPEN on the listener; accepts the connection into ide_side.
    void open_bridge() {
        ASSERT_EQ(execute_line(open_line()), open_reply);
        ide_side = listener_accept(listener, timeout_ms);
        ASSERT_GE(ide_side, 0);
    }

    void expect_bytes_flow() const {
        ASSERT_TRUE(write_all(board.master, "from board"));
        EXPECT_EQ(read_exactly(ide_side, 10, timeout_ms), "from board");
        ASSERT_TRUE(write_all(ide_side, "from ide"));
        EXPECT_EQ(read_exactly(board.master, 8, timeout_ms), "from ide");
    }

    pty_pair board{-1, ""};
    loopback_listener listener{-1, 0};
    port_entry entry{};
    int ide_side = -1;
    int earlier_ide_side = -1;
};

TEST_F(CommandExecute, SelectedAddressFollowsOpenLinesThatPassTheLocalhostTest) {
    int port = free_port();
    std::string port_text = std::to_string(port);
    EXPECT_EQ(execute_line("OPEN 127.0.0.1:" + port_text + " first/address\r\n"),
              connect_failure_reply(port));
    EXPECT_EQ(selected(), "first/address");
    EXPECT_LT(ide_endpoint.fd, 0);

    EXPECT_EQ(execute_line("OPEN 10.0.0.5:" + port_text + " second\n"), localhost_reply);
    EXPECT_EQ(selected(), "first/address");
    // Out of range: no reply, nothing changes.
    EXPECT_EQ(execute_line("OPEN 127.0.0.1:80 third\n"), "");
    EXPECT_EQ(selected(), "first/address");
}

TEST_F(CommandExecute, CloseLetsGoOfTheBoardNodeBeforeItsReply) {
    EXPECT_EQ(execute_line("CLOSE\n"), already_closed_reply);
    // A thread made and ended first, so that a helper thread the runtime
    // makes at the first thread's start (ThreadSanitizer's) is no relay.
    std::thread([] {}).join();
    std::vector<pid_t> before = thread_ids_of(getpid());
    ASSERT_NO_FATAL_FAILURE(open_bridge());
    expect_bytes_flow();
    EXPECT_GT(open_descriptors_of(board.slave_path), 0);

    // The relays that OPEN started are held, so they keep the node: CLOSE
    // must not reply until they are released and let go of it.
    std::vector<pid_t> relays;
    for (pid_t id : thread_ids_of(getpid())) {
        if (std::find(before.begin(), before.end(), id) == before.end()) {
            relays.push_back(id);
        }
    }
    ASSERT_FALSE(relays.empty());
    ASSERT_TRUE(hold_threads(relays));
    stdout_capture capture = capture_begin();
    ASSERT_GE(capture.fd, 0);
    std::thread closer([] {
        command cmd = command_parse("CLOSE\n");
        command_execute(&cmd);
    });
    EXPECT_TRUE(stays_quiet(capture.fd, 300)) << "replied while the relays hold the node";
    EXPECT_GT(open_descriptors_of(board.slave_path), 0);
    release_threads(relays);
    std::string reply = read_exactly(capture.fd, close_reply.size(), timeout_ms);
    EXPECT_EQ(open_descriptors_of(board.slave_path), 0);
    closer.join();
    capture_end(&capture);
    EXPECT_EQ(reply, close_reply);
    EXPECT_LT(device_endpoint.fd, 0);
    EXPECT_EQ(execute_line("CLOSE\n"), already_closed_reply);
    // The IDE connection and the selected address stay.
    EXPECT_GE(ide_endpoint.fd, 0);
    EXPECT_EQ(selected(), "usb1/1-2");
    EXPECT_TRUE(stays_quiet(ide_side, 50));
}

TEST_F(CommandExecute, OpenReplacesTheEarlierBridge) {
    ASSERT_NO_FATAL_FAILURE(open_bridge());
    expect_bytes_flow();
    earlier_ide_side = ide_side;
    ide_side = -1;

    ASSERT_NO_FATAL_FAILURE(open_bridge());
    EXPECT_TRUE(sees_end_of_stream(earlier_ide_side));
    expect_bytes_flow();
    close(earlier_ide_side);
    earlier_ide_side = ide_side;
    ide_side = -1;

    // An OPEN whose connect fails changes the selection and the IDE's
    // connection only: the earlier connection ends, the board side stays.
    int port = free_port();
    EXPECT_EQ(execute_line("OPEN 127.0.0.1:" + std::to_string(port) + " usb1/1-9\n"),
              connect_failure_reply(port));
    EXPECT_TRUE(sees_end_of_stream(earlier_ide_side));
    EXPECT_EQ(selected(), "usb1/1-9");
    EXPECT_EQ(open_descriptors_of(board.slave_path), 1);
    EXPECT_EQ(execute_line("CLOSE\n"), close_reply);
    EXPECT_EQ(open_descriptors_of(board.slave_path), 0);
}

TEST_F(CommandExecute, SurvivesTheIdeClosingItsConnection) {
    ASSERT_NO_FATAL_FAILURE(open_bridge());
    expect_bytes_flow();
    close(ide_side);
    ide_side = -1;
    // The board goes on talking into the closed connection, paced so that the
    // relay writes each piece: its writes must fail, not end the process.
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(write_all(board.master, "still talking\n"));
        EXPECT_TRUE(stays_quiet(board.master, 10));
    }
    ASSERT_NO_FATAL_FAILURE(open_bridge());
    expect_bytes_flow();
}

}  // namespace
