#include "bridge/endpoint.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>

#include <atomic>
#include <string>
#include <thread>

#include "bridge/bridge_fakes.h"
#include "support/os_fakes.h"

namespace {

constexpr uint32_t loopback = 0x7F000001;
// The read limit of a relay toward a serial or TCP endpoint.
constexpr int32_t read_limit = 16384;

bool is_closed(const endpoint& ep) {
    return ep.is_serial == 0 && ep.is_hid == 0 && ep.is_socket == 0 && ep.fd == -1;
}

// Waits until count bytes are waiting on fd, as a board's or the IDE's bytes
// reach the other side a moment after they were written.
bool bytes_waiting(int fd, int count) {
    return eventually([&] {
        int waiting = 0;
        return ioctl(fd, FIONREAD, &waiting) == 0 && waiting >= count;
    });
}

// A pair of connected sockets of the given type; both -1 on failure.
struct socket_pair {
    fd_holder ours;
    fd_holder theirs;
};

void open_pair(socket_pair* pair, int type) {
    int sv[2] = {-1, -1};
    ASSERT_EQ(socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, sv), 0);
    pair->ours.reset(sv[0]);
    pair->theirs.reset(sv[1]);
}

// A stop pipe: the read end goes to endpoint_read/endpoint_write, closing the
// write end stops them.
struct stop_pipe {
    fd_holder read_end;
    fd_holder write_end;
};

void open_stop(stop_pipe* stop) {
    int p[2] = {-1, -1};
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    stop->read_end.reset(p[0]);
    stop->write_end.reset(p[1]);
}

// One 64-byte input report holding text and zeros after it.
std::string hid_report(const std::string& text) {
    std::string report = text;
    report.resize(hid_input_report_size, '\0');
    return report;
}

TEST(EndpointOpen, SerialNodeGoesRawAndDropsWhatCameBefore) {
    pty_pair pty = pty_open();
    ASSERT_GE(pty.master, 0);
    fd_holder master(pty.master);
    // Cook the line first, so that raw mode has to come from the open.
    termios cooked{};
    ASSERT_EQ(tcgetattr(master.fd, &cooked), 0);
    cooked.c_lflag |= ICANON | ISIG | IEXTEN;
    cooked.c_iflag |= ICRNL | IXON;
    cooked.c_oflag |= OPOST | ONLCR;
    ASSERT_EQ(tcsetattr(master.fd, TCSANOW, &cooked), 0);
    // Bytes the board sent before the open, already in the line's input.
    fd_holder early(open(pty.slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_GE(early.fd, 0);
    ASSERT_TRUE(write_all(master.fd, "stale\n"));
    ASSERT_TRUE(readable_within(early.fd, 5000));
    // Echo only now, so that nothing came back to the board.
    cooked.c_lflag |= ECHO;
    ASSERT_EQ(tcsetattr(master.fd, TCSANOW, &cooked), 0);

    endpoint ep{7, 7, 7, 7};
    ASSERT_EQ(endpoint_open_serial(&ep, pty.slave_path.c_str()), 1);
    EXPECT_EQ(ep.is_serial, 1);
    EXPECT_EQ(ep.is_hid, 0);
    EXPECT_EQ(ep.is_socket, 0);
    ASSERT_GE(ep.fd, 0);
    EXPECT_NE(fcntl(ep.fd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(fcntl(ep.fd, F_GETFD) & FD_CLOEXEC, 0);

    termios raw{};
    ASSERT_EQ(tcgetattr(ep.fd, &raw), 0);
    EXPECT_EQ(raw.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(raw.c_iflag & (ICRNL | IXON), 0u);
    EXPECT_EQ(raw.c_oflag & OPOST, 0u);
    EXPECT_EQ(raw.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_FALSE(readable_within(ep.fd, 0)) << "input from before the open was kept";

    // Control bytes and line ends pass unchanged both ways.
    ASSERT_TRUE(write_all(master.fd, std::string("\r\x03\n\x11", 4)));
    ASSERT_TRUE(bytes_waiting(ep.fd, 4));
    char buffer[64] = {};
    ASSERT_EQ(endpoint_read(&ep, buffer, sizeof buffer - 1, -1), 4);
    EXPECT_EQ(std::string(buffer, 4), std::string("\r\x03\n\x11", 4));
    char out[] = "a\nb";
    EXPECT_EQ(endpoint_write(&ep, out, 3, -1), 3);
    EXPECT_EQ(read_exactly(master.fd, 3, 5000), "a\nb");

    early.reset();
    endpoint_close(&ep);
    EXPECT_TRUE(is_closed(ep));
    EXPECT_EQ(open_descriptors_of(pty.slave_path), 0);
}

// A session without a terminal takes the first tty it opens as its
// controlling terminal unless the open says otherwise; the monitor, started
// without one, would then get the node's hang-up on unplug.
TEST(EndpointOpen, SerialNodeNeverBecomesTheControllingTerminal) {
    pty_pair pty = pty_open();
    ASSERT_GE(pty.master, 0);
    fd_holder master(pty.master);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        endpoint ep{0, 0, 0, -1};
        if (setsid() < 0 || endpoint_open_serial(&ep, pty.slave_path.c_str()) != 1) {
            _exit(2);
        }
        // With no controlling terminal, /dev/tty names none.
        _exit(open("/dev/tty", O_RDWR | O_NOCTTY) < 0 && tcgetsid(ep.fd) < 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the node became the controlling terminal";
}

TEST(EndpointOpen, RegularFilesMissingPathsAndNodesWithoutFeatureReports) {
    char path[] = "/tmp/endpoint_test_XXXXXX";
    fd_holder file(mkstemp(path));
    ASSERT_GE(file.fd, 0);
    endpoint ep{0, 0, 0, -1};
    // No terminal attributes: the file stays open as it is.
    EXPECT_EQ(endpoint_open_serial(&ep, path), 1);
    EXPECT_EQ(ep.is_serial, 1);
    EXPECT_GE(ep.fd, 0);
    endpoint_close(&ep);
    unlink(path);

    ep = endpoint{1, 1, 1, 5};
    EXPECT_EQ(endpoint_open_serial(&ep, "/nonexistent/ttyACM9"), 0);
    EXPECT_TRUE(is_closed(ep));
    ep = endpoint{1, 1, 1, 5};
    EXPECT_EQ(endpoint_open_hid(&ep, "/nonexistent/hidraw9"), 0);
    EXPECT_TRUE(is_closed(ep));

    // A node that rejects the feature report is still opened.
    pty_pair pty = pty_open();
    ASSERT_GE(pty.master, 0);
    fd_holder master(pty.master);
    ASSERT_EQ(endpoint_open_hid(&ep, pty.slave_path.c_str()), 1);
    EXPECT_EQ(ep.is_hid, 1);
    EXPECT_EQ(ep.is_serial, 0);
    EXPECT_EQ(ep.is_socket, 0);
    EXPECT_NE(fcntl(ep.fd, F_GETFL) & O_NONBLOCK, 0);
    endpoint_close(&ep);
    EXPECT_EQ(open_descriptors_of(pty.slave_path), 0);
}

TEST(EndpointConnect, ConnectsToAListenerAndLeavesNothingOpenWhenRefused) {
    loopback_listener listener = listener_open();
    ASSERT_GE(listener.fd, 0);
    fd_holder listening(listener.fd);
    endpoint ep{0, 0, 0, -1};
    ASSERT_EQ(endpoint_connect(&ep, loopback, listener.port), 1);
    EXPECT_EQ(ep.is_socket, 1);
    EXPECT_EQ(ep.is_serial, 0);
    EXPECT_EQ(ep.is_hid, 0);
    fd_holder ide(listener_accept(listener, 5000));
    ASSERT_GE(ide.fd, 0);
    int nodelay = 0;
    socklen_t length = sizeof nodelay;
    ASSERT_EQ(getsockopt(ep.fd, IPPROTO_TCP, TCP_NODELAY, &nodelay, &length), 0);
    EXPECT_NE(nodelay, 0);
    EXPECT_NE(fcntl(ep.fd, F_GETFL) & O_NONBLOCK, 0);
    char hello[] = "hello";
    EXPECT_EQ(endpoint_write(&ep, hello, 5, -1), 5);
    EXPECT_EQ(read_exactly(ide.fd, 5, 5000), "hello");
    endpoint_close(&ep);

    // A port that nobody listens on any more.
    loopback_listener gone = listener_open();
    ASSERT_GE(gone.fd, 0);
    close(gone.fd);
    int before = descriptor_count();
    ep = endpoint{1, 1, 1, 5};
    EXPECT_EQ(endpoint_connect(&ep, loopback, gone.port), 0);
    EXPECT_TRUE(is_closed(ep));
    EXPECT_EQ(descriptor_count(), before);
}

TEST(EndpointRead, TakesWhatIsWaitingUpToTheLimit) {
    endpoint closed{0, 0, 0, -1};
    char buffer[read_limit + 1];
    EXPECT_EQ(endpoint_read(&closed, buffer, 16, -1), 0);

    // Serial: ten bytes waiting, limit 4, then the rest.
    pty_pair pty = pty_open();
    ASSERT_GE(pty.master, 0);
    fd_holder master(pty.master);
    endpoint serial{0, 0, 0, -1};
    ASSERT_EQ(endpoint_open_serial(&serial, pty.slave_path.c_str()), 1);
    ASSERT_TRUE(write_all(master.fd, "0123456789"));
    ASSERT_TRUE(bytes_waiting(serial.fd, 10));
    EXPECT_EQ(endpoint_read(&serial, buffer, 4, -1), 4);
    EXPECT_EQ(std::string(buffer, 4), "0123");
    EXPECT_EQ(endpoint_read(&serial, buffer, read_limit, -1), 6);
    EXPECT_EQ(std::string(buffer, 6), "456789");
    // The board is gone: its node fails at once.
    master.reset();
    EXPECT_EQ(endpoint_read(&serial, buffer, read_limit, -1), 0);
    endpoint_close(&serial);

    // TCP: the same, then the end of the stream.
    loopback_listener listener = listener_open();
    ASSERT_GE(listener.fd, 0);
    fd_holder listening(listener.fd);
    endpoint socket_ep{0, 0, 0, -1};
    ASSERT_EQ(endpoint_connect(&socket_ep, loopback, listener.port), 1);
    fd_holder ide(listener_accept(listener, 5000));
    ASSERT_GE(ide.fd, 0);
    ASSERT_TRUE(write_all(ide.fd, "abcdefghij"));
    ASSERT_TRUE(bytes_waiting(socket_ep.fd, 10));
    EXPECT_EQ(endpoint_read(&socket_ep, buffer, 4, -1), 4);
    EXPECT_EQ(endpoint_read(&socket_ep, buffer, read_limit, -1), 6);
    EXPECT_EQ(std::string(buffer, 6), "efghij");
    ide.reset();
    EXPECT_EQ(endpoint_read(&socket_ep, buffer, read_limit, -1), 0);
    endpoint_close(&socket_ep);
}

TEST(EndpointRead, HidReportsTravelAsTheirText) {
    socket_pair board;
    open_pair(&board, SOCK_SEQPACKET);
    endpoint hid{0, 1, 0, board.ours.fd};
    char buffer[read_limit + 1];

    ASSERT_TRUE(write_all(board.theirs.fd, hid_report("abc")));
    EXPECT_EQ(endpoint_read(&hid, buffer, read_limit, -1), 3);
    EXPECT_EQ(std::string(buffer), "abc");

    memset(buffer, 0x55, sizeof buffer);
    ASSERT_TRUE(write_all(board.theirs.fd, std::string(64, 'x')));
    EXPECT_EQ(endpoint_read(&hid, buffer, read_limit, -1), 64);
    EXPECT_EQ(buffer[64], '\0');

    ASSERT_TRUE(write_all(board.theirs.fd, hid_report(std::string("\0later", 6))));
    EXPECT_EQ(endpoint_read(&hid, buffer, read_limit, -1), 0);

    // A whole report whatever the limit.
    ASSERT_TRUE(write_all(board.theirs.fd, hid_report("0123456789")));
    EXPECT_EQ(endpoint_read(&hid, buffer, 4, -1), 10);

    // A short report after a long one passes none of the long one's bytes.
    ASSERT_TRUE(write_all(board.theirs.fd, std::string(64, 'y')));
    EXPECT_EQ(endpoint_read(&hid, buffer, read_limit, -1), 64);
    ASSERT_TRUE(write_all(board.theirs.fd, "short"));
    EXPECT_EQ(endpoint_read(&hid, buffer, read_limit, -1), 5);
    EXPECT_EQ(std::string(buffer), "short");

    // Unplugged: a failed read gives 0, not what an earlier report left.
    board.theirs.reset();
    EXPECT_EQ(endpoint_read(&hid, buffer, read_limit, -1), 0);
}

TEST(EndpointRead, AStopComesFirstAndLeavesTheBytesWaiting) {
    socket_pair ide;
    open_pair(&ide, SOCK_STREAM);
    set_nonblocking(ide.ours.fd);
    endpoint ep{0, 0, 1, ide.ours.fd};
    stop_pipe stop;
    open_stop(&stop);
    char buffer[64];

    // A reader waiting on a silent source leaves when the stop comes.
    std::atomic<int32_t> result{-1};
    std::thread reader(
        [&] { result = endpoint_read(&ep, buffer, sizeof buffer - 1, stop.read_end.fd); });
    EXPECT_FALSE(eventually([&] { return result.load() != -1; }, 50));
    stop.write_end.reset();
    bool woke = eventually([&] { return result.load() != -1; });
    if (!woke) {
        write_all(ide.theirs.fd, "x");  // let the thread go before failing
    }
    reader.join();
    ASSERT_TRUE(woke);
    EXPECT_EQ(result.load(), 0);

    // Stopped with bytes waiting: they stay for whoever reads next.
    ASSERT_TRUE(write_all(ide.theirs.fd, "data"));
    ASSERT_TRUE(bytes_waiting(ep.fd, 4));
    EXPECT_EQ(endpoint_read(&ep, buffer, sizeof buffer - 1, stop.read_end.fd), 0);
    EXPECT_EQ(endpoint_read(&ep, buffer, sizeof buffer - 1, -1), 4);
    EXPECT_EQ(std::string(buffer, 4), "data");
}

TEST(EndpointWrite, HidWritesOneZeroFilledReport) {
    socket_pair board;
    open_pair(&board, SOCK_SEQPACKET);
    endpoint hid{0, 1, 0, board.ours.fd};
    char buffer[64];
    char report[128];

    memset(buffer, 'Z', sizeof buffer);
    memcpy(buffer, "hello", 5);
    EXPECT_EQ(endpoint_write(&hid, buffer, 5, -1), 32);
    ASSERT_EQ(recv(board.theirs.fd, report, sizeof report, 0), 32);
    EXPECT_EQ(std::string(report, 32), std::string("hello") + std::string(27, '\0'));

    std::string full = pattern_bytes(32, 1);
    memcpy(buffer, full.data(), 32);
    EXPECT_EQ(endpoint_write(&hid, buffer, 32, -1), 32);
    ASSERT_EQ(recv(board.theirs.fd, report, sizeof report, 0), 32);
    EXPECT_EQ(std::string(report, 32), full);

    // Bytes past one report are not sent.
    memset(buffer, 'q', 40);
    EXPECT_EQ(endpoint_write(&hid, buffer, 40, -1), 32);
    EXPECT_EQ(recv(board.theirs.fd, report, sizeof report, 0), 32);

    endpoint closed{0, 0, 0, -1};
    EXPECT_EQ(endpoint_write(&closed, buffer, 5, -1), 0);
}

TEST(EndpointWrite, FinishesPartialWritesAndFailsQuietlyOnAClosedPeer) {
    socket_pair ide;
    open_pair(&ide, SOCK_STREAM);
    int small = 4096;
    ASSERT_EQ(setsockopt(ide.ours.fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    set_nonblocking(ide.ours.fd);
    endpoint ep{0, 0, 1, ide.ours.fd};

    // Far more than the socket holds: every byte arrives, in order.
    std::string data = pattern_bytes(1 << 20, 7);
    std::string got;
    std::thread reader([&] { got = read_exactly(ide.theirs.fd, data.size(), 20000); });
    EXPECT_EQ(endpoint_write(&ep, data.data(), static_cast<int32_t>(data.size()), -1),
              static_cast<int32_t>(data.size()));
    reader.join();
    EXPECT_TRUE(got == data);

    // Nobody reads and the stop comes: what was written so far.
    stop_pipe stop;
    open_stop(&stop);
    stop.write_end.reset();
    int32_t written =
        endpoint_write(&ep, data.data(), static_cast<int32_t>(data.size()), stop.read_end.fd);
    EXPECT_GT(written, 0);
    EXPECT_LT(written, static_cast<int32_t>(data.size()));

    // The peer is gone: a failed write, and this process lives on.
    ide.theirs.reset();
    char byte[] = "x";
    EXPECT_EQ(endpoint_write(&ep, byte, 1, -1), 0);

    loopback_listener listener = listener_open();
    ASSERT_GE(listener.fd, 0);
    fd_holder listening(listener.fd);
    endpoint tcp{0, 0, 0, -1};
    ASSERT_EQ(endpoint_connect(&tcp, loopback, listener.port), 1);
    fd_holder accepted(listener_accept(listener, 5000));
    ASSERT_GE(accepted.fd, 0);
    accepted.reset();
    // The IDE's side closed at once after accepting; within a few writes the
    // connection is reset and writing fails.
    EXPECT_TRUE(eventually([&] { return endpoint_write(&tcp, byte, 1, -1) == 0; }));
    endpoint_close(&tcp);
}

TEST(Endpoint, DescriptorsAbove1023) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max < 2048) {
        GTEST_SKIP() << "descriptor limit too low";
    }
    if (limit.rlim_cur < 2048) {
        limit.rlim_cur = 2048;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    }
    socket_pair ide;
    open_pair(&ide, SOCK_STREAM);
    fd_holder high(fcntl(ide.ours.fd, F_DUPFD_CLOEXEC, 1500));
    ASSERT_GE(high.fd, 1500);
    ide.ours.reset();
    int small = 4096;
    ASSERT_EQ(setsockopt(high.fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    set_nonblocking(high.fd);
    stop_pipe stop;
    open_stop(&stop);
    fd_holder high_stop(fcntl(stop.read_end.fd, F_DUPFD_CLOEXEC, 1600));
    ASSERT_GE(high_stop.fd, 1600);
    endpoint ep{0, 0, 1, high.fd};
    char buffer[64];

    ASSERT_TRUE(write_all(ide.theirs.fd, "high"));
    EXPECT_EQ(endpoint_read(&ep, buffer, sizeof buffer - 1, high_stop.fd), 4);
    EXPECT_EQ(std::string(buffer, 4), "high");
    // A write that waits for room, then for the stop.
    std::string data = pattern_bytes(1 << 20, 3);
    stop.write_end.reset();
    int32_t written =
        endpoint_write(&ep, data.data(), static_cast<int32_t>(data.size()), high_stop.fd);
    EXPECT_GT(written, 0);
    EXPECT_LT(written, static_cast<int32_t>(data.size()));
}

}  // namespace
