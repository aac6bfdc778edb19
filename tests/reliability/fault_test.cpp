// Faults from the outside while the built monitor bridges a simulated board:
// the IDE or the board vanishing mid-stream, a process started with more than
// 1024 descriptors open, and standard input ending mid-line. The monitor must
// survive each one and keep serving.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "reliability_support.h"
#include "sim/board_sim.h"

namespace {

constexpr uint32_t board_vendor = 0x16C0;
constexpr uint32_t serial_product = 0x0483;
constexpr uint32_t release = 0x0279;
const char* const location_a = "/devices/pci0000:00/0000:00:14.0/usb1/1-2";

class Faults : public SimulatedBoards {
protected:
    void vanish_while_typing(board_sim* b);
};

// Plugs a tty board at location, failing the test when the testbed refuses.
void plug_tty(board_sim* b, const char* location) {
    board_sim_init(b, location, board_kind_tty, board_vendor, serial_product, release);
    ASSERT_EQ(board_sim_plug(b), 1);
}

bool board_opened(board_sim* b) {
    return eventually([&] { return board_sim_opened(b) == 1; });
}

bool node_released(const monitor_process& monitor, const board_sim& b) {
    return eventually([&] { return descriptors_on(monitor.pid, b.node_target).empty(); });
}

// What the board reads until its text ends with tail, or the deadline
// passes. A HID board's output reports are zero-filled; the zeros are no part
// of the text. With ide given, tail is typed there meanwhile, as far as the
// connection takes it: what was typed before it drains while it waits.
std::string board_reads_until(board_sim* b, const std::string& tail, int ide = -1) {
    std::string got;
    size_t typed = ide >= 0 ? 0 : tail.size();
    int64_t deadline = clock_ms() + effect_timeout_ms;
    while (clock_ms() < deadline &&
           (got.size() < tail.size() || got.compare(got.size() - tail.size(), tail.size(), tail))) {
        if (typed < tail.size()) {
            ssize_t n = write(ide, tail.data() + typed, tail.size() - typed);
            typed += n > 0 ? static_cast<size_t>(n) : 0;
        }
        char buffer[4096];
        int32_t n = board_sim_receive(b, buffer, sizeof buffer, 20);
        for (int32_t i = 0; i < n; ++i) {
            if (buffer[i] != '\0') {
                got.push_back(buffer[i]);
            }
        }
    }
    return got;
}

// The board gets exactly text from the IDE.
void expect_to_board(board_sim* b, int ide, const std::string& text) {
    ASSERT_TRUE(write_all(ide, text));
    EXPECT_EQ(board_reads_until(b, text), text);
}

// The IDE gets exactly text from the board.
void expect_to_ide(board_sim* b, int ide, const std::string& text) {
    ASSERT_EQ(board_sim_send(b, text.data(), static_cast<int32_t>(text.size())),
              static_cast<int32_t>(text.size()));
    EXPECT_EQ(read_exactly(ide, text.size(), effect_timeout_ms), text);
}

int pending_input(int fd) {
    int count = 0;
    return ioctl(fd, FIONREAD, &count) == 0 ? count : -1;
}

TEST_F(Faults, IdeLeavingMidStreamLeavesTheMonitorServing) {
    board_sim board{};
    plug_tty(&board, location_a);
    start_monitor();
    const int idle_threads = idle_figures_of(monitor.pid).threads;
    ide_connection ide = ide_open(monitor, "usb1/1-2");
    ASSERT_EQ(ide.reply, open_reply);
    ASSERT_GE(ide.fd, 0);
    ASSERT_TRUE(board_opened(&board));

    // The board streams without a pause from here on.
    set_nonblocking(board.pty_master);
    std::atomic<bool> streaming{true};
    std::thread board_thread([&] {
        const std::string chunk(512, 's');
        while (streaming) {
            if (board_sim_send(&board, chunk.data(), static_cast<int32_t>(chunk.size())) == 0) {
                poll(nullptr, 0, 1);
            }
        }
    });
    EXPECT_EQ(read_exactly(ide.fd, 4096, effect_timeout_ms), std::string(4096, 's'));
    expect_to_board(&board, ide.fd, "typed before leaving\n");
    // The IDE stops reading until the connection backs up, then leaves.
    EXPECT_TRUE(eventually([&] { return pending_input(ide.fd) >= 32768; }));
    ide_close(&ide);

    // Both relays end; the monitor answers and CLOSE lets go of the node.
    EXPECT_TRUE(eventually([&] { return figures_of(monitor.pid).threads == idle_threads; }));
    EXPECT_EQ(ask(monitor, "HELLO 1 \"still there?\"\n"), hello_reply);
    EXPECT_EQ(ask(monitor, "CLOSE\n"), close_reply);
    EXPECT_TRUE(node_released(monitor, board));
    streaming = false;
    board_thread.join();

    // A new connection bridges again, with nothing of the old stream on it.
    ide = ide_open(monitor, "usb1/1-2");
    ASSERT_EQ(ide.reply, open_reply);
    ASSERT_GE(ide.fd, 0);
    expect_to_ide(&board, ide.fd, "fresh from the board\n");
    expect_to_board(&board, ide.fd, "fresh from the IDE\n");
    EXPECT_TRUE(stays_quiet(ide.fd, 50));
    quit();
    ide_close(&ide);
}

// The board at location_a vanishes while the IDE types a stream at it.
void Faults::vanish_while_typing(board_sim* b) {
    board_sim& board = *b;
    start_monitor();
    const int idle_threads = idle_figures_of(monitor.pid).threads;
    ide_connection ide = ide_open(monitor, "usb1/1-2");
    ASSERT_GE(ide.fd, 0);
    ASSERT_TRUE(board_opened(&board));

    set_nonblocking(ide.fd);
    // A small backlog: what waits when the board goes reaches it after the replug.
    int backlog = 16384;
    ASSERT_EQ(setsockopt(ide.fd, SOL_SOCKET, SO_SNDBUF, &backlog, sizeof backlog), 0);
    std::atomic<bool> typing{true};
    std::thread typist([&] {
        const std::string chunk(256, 't');
        while (typing) {
            if (write(ide.fd, chunk.data(), chunk.size()) <= 0) {
                poll(nullptr, 0, 1);
            }
        }
    });
    // The stream flows before the board goes.
    std::string taken = board_reads_until(&board, std::string(256, 't'));
    EXPECT_GE(taken.size(), 256u);
    EXPECT_EQ(taken.find_first_not_of('t'), std::string::npos);
    // Unplugged mid-write: the line hangs up, then the devices go.
    ASSERT_EQ(board_sim_unplug(&board), 1);
    EXPECT_TRUE(node_released(monitor, board));
    EXPECT_TRUE(eventually([&] { return figures_of(monitor.pid).threads == idle_threads; }));
    EXPECT_EQ(ask(monitor, "HELLO 1 \"still there?\"\n"), hello_reply);
    EXPECT_EQ(ask(monitor, "CLOSE\n"), already_closed_reply);
    typing = false;
    typist.join();

    // Back at its place, the board side reopens by itself on the same
    // connection; what was typed meanwhile may go first, and nothing else.
    ASSERT_EQ(board_sim_plug(&board), 1);
    ASSERT_TRUE(board_opened(&board));
    std::string got = board_reads_until(&board, "after the replug\n", ide.fd);
    ASSERT_GE(got.size(), 17u);
    EXPECT_EQ(got.find_first_not_of('t'), got.size() - 17);
    expect_to_ide(&board, ide.fd, "the board is back\n");
    quit();
    ide_close(&ide);
}

// Starts the monitor as a careless parent would: the descriptor limit
// raised to 4096 and /dev/null open without close-on-exec on every number
// from 3 to 3 + count - 1, so that each descriptor the monitor opens itself
// lies above them. pid is -1 on failure.
monitor_process start_with_descriptors_open(int count) {
    monitor_process process{-1, -1, -1};
    signal(SIGPIPE, SIG_IGN);
    int to_child[2];
    int from_child[2];
    if (pipe2(to_child, O_CLOEXEC) != 0 || pipe2(from_child, O_CLOEXEC) != 0) {
        return process;
    }
    pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls from here to the exec.
        struct sigaction pipe_default {};
        pipe_default.sa_handler = SIG_DFL;
        sigaction(SIGPIPE, &pipe_default, nullptr);
        rlimit raised{4096, 4096};
        if (setrlimit(RLIMIT_NOFILE, &raised) != 0 || dup2(to_child[0], 0) != 0 ||
            dup2(from_child[1], 1) != 1) {
            _exit(97);
        }
        int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        for (int fd = 3; fd < 3 + count; ++fd) {
            if (fd != null_fd && dup2(null_fd, fd) != fd) {
                _exit(98);
            }
        }
        fcntl(null_fd, F_SETFD, 0);
        execl(MURLEN_MONITOR_PATH, MURLEN_MONITOR_PATH, static_cast<char*>(nullptr));
        _exit(99);
    }
    close(to_child[0]);
    close(from_child[1]);
    if (pid < 0) {
        close(to_child[1]);
        close(from_child[0]);
        return process;
    }
    return monitor_process{pid, to_child[1], from_child[0]};
}

TEST_F(Faults, TtyBoardVanishingWhileTheIdeTypesClosesItsSide) {
    board_sim board{};
    plug_tty(&board, location_a);
    vanish_while_typing(&board);
}

TEST_F(Faults, HidBoardVanishingWhileTheIdeTypesClosesItsSide) {
    board_sim board{};
    board_sim_init(&board, location_a, board_kind_hid_serial, board_vendor, 0x0486, release);
    board.interface_number = 1;
    ASSERT_EQ(board_sim_plug(&board), 1);
    vanish_while_typing(&board);
}

TEST_F(Faults, BridgeWorksOnDescriptorsAbove1024) {
    constexpr int inherited = 1100;
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max < 4096) {
        GTEST_SKIP() << "the hard descriptor limit is below 4096";
    }
    board_sim board{};
    plug_tty(&board, location_a);
    monitor = start_with_descriptors_open(inherited);
    ASSERT_GE(monitor.pid, 0);
    ASSERT_EQ(ask(monitor, "HELLO 1 \"reliability\"\n"), hello_reply);
    EXPECT_GE(figures_of(monitor.pid).fds, inherited);

    ide_connection ide = ide_open(monitor, "usb1/1-2");
    ASSERT_GE(ide.fd, 0);
    ASSERT_TRUE(board_opened(&board));
    std::vector<int> node_fds = descriptors_on(monitor.pid, board.node_target);
    ASSERT_FALSE(node_fds.empty());
    for (int fd : node_fds) {
        EXPECT_GE(fd, 3 + inherited);
    }
    expect_to_board(&board, ide.fd, "to a high descriptor\n");
    expect_to_ide(&board, ide.fd, "from a high descriptor\n");

    // The watcher waits on a high descriptor too: a replug reopens.
    ASSERT_EQ(board_sim_unplug(&board), 1);
    EXPECT_TRUE(node_released(monitor, board));
    ASSERT_EQ(board_sim_plug(&board), 1);
    ASSERT_TRUE(board_opened(&board));
    expect_to_board(&board, ide.fd, "after the replug\n");
    expect_to_ide(&board, ide.fd, "back from the replug\n");
    quit();
    ide_close(&ide);
}

TEST_F(Faults, IdeClosingTheReplyPipeIsNoReasonToDie) {
    start_monitor();
    close(monitor.output);
    monitor.output = -1;
    // Every reply now fails to be written; the commands still count.
    ASSERT_TRUE(monitor_send(monitor, "HELLO 1 \"anyone?\"\nDESCRIBE\nCLOSE\nQUIT\n"));
    EXPECT_EQ(monitor_wait(&monitor, effect_timeout_ms), 0);
}

// Everything the monitor writes until it ends its output.
std::string output_to_the_end(const monitor_process& monitor) {
    std::string got;
    int64_t deadline = clock_ms() + effect_timeout_ms;
    char buffer[1024];
    while (clock_ms() < deadline) {
        pollfd pfd{monitor.output, POLLIN, 0};
        if (poll(&pfd, 1, 50) <= 0) {
            continue;
        }
        ssize_t n = read(monitor.output, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        got.append(buffer, static_cast<size_t>(n));
    }
    return got;
}

TEST_F(Faults, InputEndingMidLineEndsTheProcessAfterThatPiece) {
    struct row {
        const char* piece;
        const std::string& reply;
    };
    const std::string none;
    const row rows[] = {
        {"DESCR", none},
        {"CLO", none},
        {"QUIT", quit_reply},
        {"CLOSE", already_closed_reply},
        {"HELLO 1 \"half a greeting", hello_reply},
    };
    for (const row& r : rows) {
        start_monitor();
        ASSERT_TRUE(monitor_send(monitor, r.piece));
        monitor_close_input(&monitor);
        EXPECT_EQ(output_to_the_end(monitor), r.reply) << r.piece;
        EXPECT_EQ(monitor_wait(&monitor, effect_timeout_ms), 0) << r.piece;
        monitor_stop(&monitor);
    }

    // An OPEN cut before its line end still connects, and shut-down then
    // ends the connection.
    start_monitor();
    loopback_listener listener = listener_open();
    ASSERT_GE(listener.fd, 0);
    std::string piece = "OPEN 127.0.0.1:" + std::to_string(listener.port) + " usb1/1-2";
    ASSERT_TRUE(monitor_send(monitor, piece));
    monitor_close_input(&monitor);
    EXPECT_EQ(output_to_the_end(monitor), open_reply);
    EXPECT_EQ(monitor_wait(&monitor, effect_timeout_ms), 0);
    int ide = listener_accept(listener, effect_timeout_ms);
    ASSERT_GE(ide, 0);
    char byte = 0;
    EXPECT_EQ(read(ide, &byte, 1), 0);
    close(ide);
    close(listener.fd);
}

}  // namespace
