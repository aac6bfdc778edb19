#pragma once

// Helpers shared by the benchmark: clocks, the harness's own I/O, test data,
// statistics and what /proc tells about a process.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "sim/os_helpers.h"

struct udev;
struct udev_monitor;

// Monotonic time in nanoseconds.
int64_t now_ns();

// Sleeps until the monotonic time reaches at_ns.
void sleep_until_ns(int64_t at_ns);

// The harness plays the IDE and the board through these: plain system calls,
// past umockdev's preloaded read and write wrappers, so that the harness costs
// the same whatever relay it drives. Both retry EINTR and return what read or
// write gave.
ssize_t raw_read(int fd, void* buffer, size_t count);
ssize_t raw_write(int fd, const void* buffer, size_t count);

// Writes all of count bytes, waiting at most timeout_ms whenever fd (blocking
// or not) takes nothing; false on time-out or error.
bool raw_write_all(int fd, const void* buffer, size_t count, int timeout_ms);

// Reads up to count bytes, waiting at most timeout_ms for each piece; stops
// early on time-out, end of stream or error (errno tells which error).
// Returns the bytes read.
size_t raw_read_up_to(int fd, void* buffer, size_t count, int timeout_ms);

// raw_read_up_to that must get all count bytes.
bool raw_read_exactly(int fd, void* buffer, size_t count, int timeout_ms);

// Waits up to timeout_ms for events on fd; true when they came.
bool wait_fd(int fd, short events, int timeout_ms);

// Turns Nagle's delay off on a TCP socket, so the harness never holds bytes back.
void socket_no_delay(int fd);

// Discards whatever a pty master holds in both directions.
void pty_drain(int master);

// count bytes of every value (or, with nonzero set, of every value but 0) in
// an order that repeats rarely.
std::vector<uint8_t> test_data(size_t count, bool nonzero);

// 64-bit hash of the bytes.
uint64_t data_hash(const uint8_t* data, size_t count);

// Median, low and high of a set of samples.
struct spread {
    double median;
    double low;
    double high;
    size_t count;
};
spread spread_of(std::vector<double> samples);

// The p-th percentile (0..100) of the samples, nearest rank.
double percentile(std::vector<double> samples, double p);

// utime + stime of process pid in milliseconds; -1 when it cannot be read.
double process_cpu_ms(pid_t pid);

// Starts program with argv (argv[0] included) and this process's environment,
// standard output and error sent to /dev/null; -1 on failure.
pid_t spawn_quiet(const std::vector<std::string>& argv);

// Sends SIGTERM to a child this process started, then SIGKILL if it has not
// ended within timeout_ms, and reaps it.
void child_end(pid_t pid, int timeout_ms);

// A descriptor that becomes readable when process pid ends; -1 on failure.
int pid_watch(pid_t pid);

// Machine facts for the results: "nproc 2, <cpu model>, Linux <release>".
std::string machine_summary();

// Notes when the next uevent of a tty node with the given action arrives, as
// the tools receive it: start before the change, end after it.
struct uevent_watch {
    udev* context;
    udev_monitor* monitor;
    std::thread thread;
    int64_t at_ns;  // written by the thread, read after join; -1 when none came
};
void uevent_watch_start(uevent_watch* w, const char* action);

// Waits for the watched uevent (at most 5 s); its time, or -1.
int64_t uevent_watch_end(uevent_watch* w);
