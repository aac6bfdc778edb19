#pragma once

// Small helpers of the bridge tests: descriptor holders, deadlines, and what
// /proc says about this process's threads and descriptors.

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "support/os_fakes.h"

// Closes its descriptor when it goes out of scope.
struct fd_holder {
    int fd = -1;
    fd_holder() = default;
    explicit fd_holder(int value) : fd(value) {}
    fd_holder(const fd_holder&) = delete;
    fd_holder& operator=(const fd_holder&) = delete;
    ~fd_holder() { reset(); }
    void reset(int value = -1) {
        if (fd >= 0) {
            close(fd);
        }
        fd = value;
    }
    int release() {
        int value = fd;
        fd = -1;
        return value;
    }
};

// Threads of this process; -1 when unreadable.
inline int thread_count() {
    return figures_of(getpid()).threads;
}

// Open descriptors of this process.
inline int descriptor_count() {
    return figures_of(getpid()).fds;
}

// True when fd is readable (or at end of file, or failed) within timeout_ms.
inline bool readable_within(int fd, int timeout_ms) {
    pollfd pfd{fd, POLLIN, 0};
    return poll(&pfd, 1, timeout_ms) == 1;
}

// count bytes of a repeatable pseudo-random pattern, every byte value included.
inline std::string pattern_bytes(size_t count, uint32_t seed) {
    std::string bytes(count, '\0');
    uint32_t state = seed;
    for (size_t i = 0; i < count; ++i) {
        state = state * 1664525u + 1013904223u;
        bytes[i] = static_cast<char>(state >> 24);
    }
    return bytes;
}

// The 256 byte values in order.
inline std::string every_byte_value() {
    std::string bytes(256, '\0');
    for (int i = 0; i < 256; ++i) {
        bytes[static_cast<size_t>(i)] = static_cast<char>(i);
    }
    return bytes;
}
