#pragma once

// Fakes of the operating system's edge shared by the tests: ptys that stand
// for a board's tty node, and a loopback listener that stands for the IDE.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "sim/os_helpers.h"

// How long an expected effect may take; generous for the sanitizer builds.
inline constexpr int effect_timeout_ms = 8000;

// True once condition holds, polled every 2 ms until timeout_ms passes.
bool eventually(const std::function<bool()>& condition, int timeout_ms = effect_timeout_ms);

// A pty pair: the test holds master, the code under test opens slave_path.
struct pty_pair {
    int master;
    std::string slave_path;
};

// Opens a pty pair with the slave in raw mode (the slave is not kept open);
// master is -1 on failure.
pty_pair pty_open();

// A listener on 127.0.0.1 with a port chosen by the kernel; fd -1 on failure.
struct loopback_listener {
    int fd;
    uint16_t port;
};
loopback_listener listener_open();

// Accepts one connection within timeout_ms; -1 when none came.
int listener_accept(const loopback_listener& listener, int timeout_ms);

// Reads exactly count bytes within timeout_ms (in total); returns what arrived.
std::string read_exactly(int fd, size_t count, int timeout_ms);

// Writes all of data; false on error.
bool write_all(int fd, const std::string& data);

// True when fd stays without input for quiet_ms.
bool stays_quiet(int fd, int quiet_ms);

// Number of open descriptors of this process that point at path, also once
// the file behind path has been deleted.
int open_descriptors_of(const std::string& path);

// The whole text of the file at path; "" when it cannot be read.
std::string file_text(const std::string& path);
