#pragma once

// Small helpers at the operating system's edge that the simulator, the demo,
// the benchmark and the tests share. No test framework: the demo links them.

#include <cstdint>

// Milliseconds of the monotonic clock.
int64_t clock_ms();

// Sets (or, with on false, clears) O_NONBLOCK on fd.
void set_nonblocking(int fd, bool on = true);
