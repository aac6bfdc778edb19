#include "bridge/endpoint.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/trace.h"

// Sent once to every HID node we open: report number 0 (no report ID), then
// the four bytes that switch the board's serial emulation on.
// How long endpoint_connect waits for the IDE's listener to accept.
static constexpr int64_t connect_wait_ms = 3000;

static constexpr unsigned char hid_open_feature_report[5] = {0x00, 0x8B, 0xC5, 0x1D, 0x70};

// Set-feature, read and write, type 'H', number 6, 5 bytes.
static_assert(HIDIOCSFEATURE(sizeof hid_open_feature_report) == 0xC0054806u);

// What a wait for a descriptor ended with.
enum class wait_result { ready, stopped, failed };

// Waits, with no time limit, until fd reports one of events (or an error or
// hang-up, which the next read or write then turns into a failure), or until
// stop_fd becomes readable. A stop has priority over a ready fd: a stopped
// relay must never take another byte. poll, not select: descriptors of 1024
// and more work; a negative stop_fd is ignored by poll.
static wait_result wait_for(int32_t fd, short events, int32_t stop_fd) {
    pollfd fds[2] = {{fd, events, 0}, {stop_fd, POLLIN, 0}};
    for (;;) {
        int n = poll(fds, 2, -1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            trace("wait_for: poll failed: %s", strerror(errno));
            return wait_result::failed;
        }
        if (fds[1].revents != 0) {
            errno = ECANCELED;
            return wait_result::stopped;
        }
        if (fds[0].revents != 0) {
            return wait_result::ready;
        }
    }
}

void endpoint_reset(endpoint* ep) {
    *ep = endpoint{0, 0, 0, -1};
}

int32_t endpoint_open_serial(endpoint* ep, const char* path) {
    endpoint_reset(ep);
    // Non-blocking, so the open never waits for carrier while port_lock is
    // held; no controlling terminal, so the node's hang-up on unplug never
    // reaches this process.
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        trace("endpoint_open_serial: %s: %s", path, strerror(errno));
        return 0;
    }
    ep->is_serial = 1;
    ep->fd = fd;
    termios tio{};
    if (tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        (void)tcsetattr(fd, TCSANOW, &tio);
    } else {
        trace("endpoint_open_serial: %s: no terminal attributes: %s", path, strerror(errno));
    }
    // Whatever the board sent before we opened belongs to no one.
    (void)tcflush(fd, TCIFLUSH);
    return 1;
}

int32_t endpoint_open_hid(endpoint* ep, const char* path) {
    endpoint_reset(ep);
    int fd = open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        trace("endpoint_open_hid: %s: %s", path, strerror(errno));
        return 0;
    }
    ep->is_hid = 1;
    ep->fd = fd;
    unsigned char report[sizeof hid_open_feature_report];
    memcpy(report, hid_open_feature_report, sizeof report);
    // A board that rejects the report is still a port.
    if (ioctl(fd, HIDIOCSFEATURE(sizeof report), report) < 0) {
        trace("endpoint_open_hid: %s: feature report: %s", path, strerror(errno));
    }
    return 1;
}

// Connects fd, which is non-blocking, to addr within connect_wait_ms. A
// listener whose backlog is full never answers; the IDE gives up on the
// reply after 10 s, so the monitor gives up first. 1, or 0 with errno set.
static int32_t connect_within(int fd, const sockaddr_in* addr) {
    if (connect(fd, reinterpret_cast<const sockaddr*>(addr), sizeof *addr) == 0) {
        return 1;
    }
    if (errno != EINPROGRESS && errno != EINTR) {
        return 0;
    }
    pollfd pfd = {fd, POLLOUT, 0};
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        int64_t spent =
            (int64_t{now.tv_sec} - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (spent >= connect_wait_ms) {
            errno = ETIMEDOUT;
            return 0;
        }
        int n = poll(&pfd, 1, static_cast<int>(connect_wait_ms - spent));
        if (n > 0) {
            break;
        }
        if (n < 0 && errno != EINTR) {
            return 0;
        }
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        return 0;
    }
    if (error != 0) {
        errno = error;
        return 0;
    }
    return 1;
}

int32_t endpoint_connect(endpoint* ep, uint32_t address, uint16_t port) {
    endpoint_reset(ep);
    // Non-blocking from the start: reads and writes wait in poll, where a stop
    // can reach them, and the connect waits in poll with a time limit.
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        trace("endpoint_connect: socket: %s", strerror(errno));
        return 0;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(address);
    if (connect_within(fd, &addr) == 0) {
        trace("endpoint_connect: port %u: %s", static_cast<unsigned>(port), strerror(errno));
        close(fd);
        return 0;
    }
    // Board messages are short lines; without this, Nagle holds each one back
    // until the previous one is acknowledged.
    int on = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
        trace("endpoint_connect: TCP_NODELAY: %s", strerror(errno));
    }
    ep->is_socket = 1;
    ep->fd = fd;
    return 1;
}

void endpoint_discard(endpoint* ep) {
    if (ep->fd >= 0 && ep->is_serial != 0) {
        // A last close of a tty waits until its output has drained, up to
        // 30 s toward a board that reads nothing; what the IDE typed for a
        // bridge that is being closed goes nowhere.
        (void)tcflush(ep->fd, TCOFLUSH);
    }
    endpoint_close(ep);
}

void endpoint_close(endpoint* ep) {
    if (ep->fd >= 0) {
        (void)close(ep->fd);
    }
    endpoint_reset(ep);
}

int32_t endpoint_duplicate(const endpoint* ep, endpoint* copy) {
    endpoint_reset(copy);
    if (ep->fd < 0) {
        return 0;
    }
    int fd = fcntl(ep->fd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        trace("endpoint_duplicate: %s", strerror(errno));
        return 0;
    }
    *copy = *ep;
    copy->fd = fd;
    return 1;
}

// One read call, retried on EINTR and, after a new wait, on a spurious
// wake-up (the descriptors are non-blocking). -1 on error or stop.
static ssize_t read_when_ready(int32_t fd, char* buffer, size_t count, int32_t stop_fd) {
    for (;;) {
        if (wait_for(fd, POLLIN, stop_fd) != wait_result::ready) {
            return -1;
        }
        ssize_t n = read(fd, buffer, count);
        if (n > 0) {
            return n;
        }
        if (n == 0) {
            errno = 0;  // end of stream
            return 0;
        }
        if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            trace("endpoint_read: fd %d: %s", static_cast<int>(fd), strerror(errno));
            return -1;
        }
    }
}

int32_t endpoint_read(const endpoint* ep, char* buffer, int32_t limit, int32_t stop_fd) {
    if (ep->fd < 0) {
        errno = EBADF;
        return 0;
    }
    if (ep->is_hid == 0) {
        // A read on a ready descriptor returns what is waiting, up to the limit.
        ssize_t n =
            read_when_ready(ep->fd, buffer, limit > 0 ? static_cast<size_t>(limit) : 0, stop_fd);
        return n > 0 ? static_cast<int32_t>(n) : 0;
    }
    // One input report whatever the limit; its text ends at the first zero.
    // The terminator goes right after what this read delivered, so a short
    // report never passes on bytes of an earlier, longer one.
    ssize_t n = read_when_ready(ep->fd, buffer, hid_input_report_size, stop_fd);
    if (n <= 0) {
        return 0;
    }
    buffer[n] = '\0';
    auto length = static_cast<int32_t>(strnlen(buffer, static_cast<size_t>(n)));
    if (length == 0) {
        errno = ENODATA;  // a report without text: nothing to pass on, no failure
    }
    return length;
}

// One write call: send on a socket, so that a connection the IDE has closed
// is a failed write and never a SIGPIPE.
static ssize_t write_once(const endpoint* ep, const char* buffer, size_t count) {
    if (ep->is_socket != 0) {
        return send(ep->fd, buffer, count, MSG_NOSIGNAL);
    }
    return write(ep->fd, buffer, count);
}

int32_t endpoint_write(const endpoint* ep, char* buffer, int32_t length, int32_t stop_fd) {
    if (ep->fd < 0 || length <= 0) {
        errno = EBADF;
        return 0;
    }
    int32_t count = length;
    if (ep->is_hid != 0) {
        // Exactly one output report: zero-filled past the text, cut at its size.
        if (length < hid_output_report_size) {
            memset(buffer + length, 0, static_cast<size_t>(hid_output_report_size - length));
        }
        count = hid_output_report_size;
    }
    int32_t done = 0;
    while (done < count) {
        ssize_t n = write_once(ep, buffer + done, static_cast<size_t>(count - done));
        if (n > 0) {
            done += static_cast<int32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (wait_for(ep->fd, POLLOUT, stop_fd) != wait_result::ready) {
                break;
            }
            continue;
        }
        if (n == 0) {
            errno = EIO;  // a write that takes nothing will not take more later
        }
        trace("endpoint_write: fd %d: %s", static_cast<int>(ep->fd), strerror(errno));
        break;
    }
    return done;
}
