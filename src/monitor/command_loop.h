#pragma once

#include <pthread.h>

#include <cstdint>
#include <string_view>

// Serialises the writing of replies; never held together with port_lock.
extern pthread_mutex_t output_lock;

// The line buffer: one read takes at most 255 characters, the line feed included.
inline constexpr int32_t command_line_size = 256;

enum class command_kind { none, hello, describe, open, close, quit };

// What one command line says, parsed with the command grammar.
struct command {
    command_kind kind;
    int32_t version;               // HELLO
    int32_t octets[4];             // OPEN, each checked to its range
    int32_t port;                  // OPEN, 1024 to 65535
    char text[command_line_size];  // HELLO's quoted text, OPEN's address
};

// Parses one raw line (its line feed included; the line ends at its first zero
// byte). Pure: touches no global. Kind none when the line matches no command,
// is malformed, holds a number beyond 32 bits or a value out of range.
command command_parse(std::string_view line);

// Acts on one parsed command and writes its reply; 0 when the loop must end.
// Main thread only, after monitor_setup.
int32_t command_execute(const command* cmd);

// Formats one reply to standard output under output_lock, then flushes.
void reply_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Creates the locks, resets both endpoints and ignores SIGPIPE, so that writes to
// a closed connection or output come back as failed writes.
void monitor_setup();

// Start-up, the watcher thread, the command loop on standard input, shut-down;
// ends the process with exit status 0.
[[noreturn]] void monitor_run();
