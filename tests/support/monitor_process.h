#pragma once

// Runs a built program (the monitor, the discovery) as the IDE does: a child
// process whose standard input and output are pipes held by the test. The child inherits the test's
// environment (umockdev's preload and testbed among it) plus any extra entries.

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/os_fakes.h"

struct monitor_process {
    pid_t pid;   // -1 when the start failed or the child has been reaped
    int input;   // write end of the monitor's standard input, -1 once closed
    int output;  // read end of its standard output, -1 once closed
};

// Starts the executable at path with args after its name. extra_env holds "NAME=value" entries that
// are added to the inherited environment, replacing inherited entries of the same name. Also makes
// this process ignore SIGPIPE, so that writing to a monitor that has ended fails instead of killing
// the test; the child still starts with SIGPIPE at its default action. pid is -1 on failure.
monitor_process monitor_start(const std::string& path,
                              const std::vector<std::string>& extra_env = {},
                              const std::vector<std::string>& args = {});

// The same for any program: arguments[0] is its path, the rest its arguments.
monitor_process program_start(const std::vector<std::string>& arguments,
                              const std::vector<std::string>& extra_env = {});

// Everything the program writes on standard output until it closes it, or
// until timeout_ms has passed.
std::string monitor_read_to_end(monitor_process* process, int timeout_ms);

// Runs a program to its end: feeds it input, closes its input, captures its
// whole standard output. status as monitor_wait gives it (-1: not started or
// still running at the deadline, then killed).
struct program_result {
    int status;
    std::string output;
};
program_result program_run(const std::vector<std::string>& arguments, const std::string& input,
                           const std::vector<std::string>& extra_env = {},
                           int timeout_ms = effect_timeout_ms);

// Writes text as it is (the caller adds the line feed); false on error.
bool monitor_send(const monitor_process& process, const std::string& text);

// Reads one whole reply (from its first '{' to the line feed after the
// matching '}') within timeout_ms; returns what arrived, complete or not.
std::string monitor_read_reply(const monitor_process& process, int timeout_ms);

// Reads one line (through its line feed) within timeout_ms; returns what
// arrived, complete or not. For output of one JSON value per line.
std::string monitor_read_line(const monitor_process& process, int timeout_ms);

// True when nothing at all arrives on the monitor's output for quiet_ms.
bool monitor_stays_quiet(const monitor_process& process, int quiet_ms);

// Closes the monitor's standard input (end of input for it).
void monitor_close_input(monitor_process* process);

// Waits up to timeout_ms for the child to end. Returns its exit status, 128 +
// the signal number when a signal ended it, or -1 when it was still running
// (it is then killed and reaped).
int monitor_wait(monitor_process* process, int timeout_ms);

// Kills the child if it still runs, reaps it and closes both pipes.
void monitor_stop(monitor_process* process);

// Sends one line and returns the reply that follows it ("" when the line
// could not be sent).
std::string monitor_ask(const monitor_process& process, const std::string& line);

// QUITs and expects the reply and exit status 0.
void expect_quit(monitor_process* process);

// A new listener, the OPEN of address toward it and the accepted connection.
struct ide_connection {
    loopback_listener listener;
    int fd;             // the IDE's end, -1 when the monitor did not connect
    std::string reply;  // what the monitor answered the OPEN
};
ide_connection ide_open(const monitor_process& monitor, const std::string& address);
void ide_close(ide_connection* ide);
