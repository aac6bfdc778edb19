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

// A child process whose standard input and output are pipes held by the
// caller; standard error is the caller's.
struct spawned_process {
    pid_t pid;   // -1 when the start failed
    int input;   // write end of its standard input
    int output;  // read end of its standard output
};

// Starts argv[0] with arguments argv and environment envp (both ending in a
// null pointer), with SIGPIPE at its default action whatever the caller does
// with it, as a program is started from a shell or the IDE. pid is -1 on
// failure, with errno set. The child's descriptors 3 to 3 + reserved_fds - 1
// are held open on /dev/null: umockdev names the socket that stands in for a
// process's uevent socket after its descriptor number, so two programs on one
// testbed must not get the same number.
spawned_process spawn_with_pipes(char* const argv[], char* const envp[], int reserved_fds = 0);

// A pty pair, both ends close-on-exec; slave_path names the slave.
struct pty_ends {
    int master;  // -1 when no pty could be made
    int slave;
    std::string slave_path;
};

// Opens a pty pair; with raw, the line goes raw, else it keeps the kernel's
// default (cooked) mode.
pty_ends pty_ends_open(bool raw);
