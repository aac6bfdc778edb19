#include "os_fakes.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <iterator>

bool eventually(const std::function<bool()>& condition, int timeout_ms) {
    int64_t deadline = clock_ms() + timeout_ms;
    while (clock_ms() < deadline) {
        if (condition()) {
            return true;
        }
        poll(nullptr, 0, 2);
    }
    return condition();
}

pty_pair pty_open() {
    pty_ends pty = pty_ends_open(true);
    if (pty.slave >= 0) {
        close(pty.slave);
    }
    return pty_pair{pty.master, pty.slave_path};
}

loopback_listener listener_open() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return loopback_listener{-1, 0};
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 8) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        close(fd);
        return loopback_listener{-1, 0};
    }
    return loopback_listener{fd, ntohs(addr.sin_port)};
}

int listener_accept(const loopback_listener& listener, int timeout_ms) {
    pollfd pfd{listener.fd, POLLIN, 0};
    if (poll(&pfd, 1, timeout_ms) != 1) {
        return -1;
    }
    return accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC);
}

std::string read_exactly(int fd, size_t count, int timeout_ms) {
    std::string got;
    int64_t deadline = clock_ms() + timeout_ms;
    char buf[65536];
    while (got.size() < count) {
        int64_t left = deadline - clock_ms();
        pollfd pfd{fd, POLLIN, 0};
        if (left <= 0 || poll(&pfd, 1, static_cast<int>(left)) != 1) {
            break;
        }
        size_t want = count - got.size() < sizeof buf ? count - got.size() : sizeof buf;
        ssize_t n = read(fd, buf, want);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

bool write_all(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            pollfd pfd{fd, POLLOUT, 0};
            poll(&pfd, 1, 1000);
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool stays_quiet(int fd, int quiet_ms) {
    pollfd pfd{fd, POLLIN, 0};
    return poll(&pfd, 1, quiet_ms) == 0;
}

int open_descriptors_of(const std::string& path) {
    return static_cast<int>(descriptors_on(getpid(), path).size());
}

std::string file_text(const std::string& path) {
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), {});
}
