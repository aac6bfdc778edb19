#pragma once

// Small helpers at the operating system's edge that the simulator, the demo,
// the benchmark and the tests share. No test framework: the demo links them.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Milliseconds of the monotonic clock.
int64_t clock_ms();

// Sets (or, with on false, clears) O_NONBLOCK on fd.
void set_nonblocking(int fd, bool on = true);

// What /proc shows of a process; -1 for a figure it could not read. fds counts
// the descriptor that reads the list too when pid is this process.
struct process_figures {
    int threads;
    int fds;
    long rss_kib;
};
process_figures figures_of(pid_t pid);

// The ids of the threads of pid.
std::vector<pid_t> thread_ids_of(pid_t pid);

// Calls visit with each descriptor number of pid and what it points at.
void each_descriptor(pid_t pid, const std::function<void(int, const std::string&)>& visit);

// Descriptor numbers of pid that point at path, also once the file behind
// path has been deleted.
std::vector<int> descriptors_on(pid_t pid, const std::string& path);
