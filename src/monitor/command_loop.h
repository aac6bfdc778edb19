#pragma once

#include <pthread.h>

#include <cstdint>

// Serialises the writing of replies; never held together with port_lock.
extern pthread_mutex_t output_lock;

// The line buffer: one read takes at most 255 characters, the line feed included.
inline constexpr int32_t command_line_size = 256;

enum class command_kind { none, hello, describe, open, close, quit };

// What one command line says, parsed with the command grammar.
struct command {
    command_kind kind;
    int32_t version;        // HELLO
    int32_t octets[4];      // OPEN, each checked to its range
    int32_t port;           // OPEN, 1024 to 65535
    char text[command_line_size];  // HELLO's quoted text, OPEN's address
};

// Parses one raw line (its line feed included); kind none when it matches no
// command or is malformed or out of range.
command command_parse(const char* line);

// Formats one reply to standard output under output_lock, then flushes.
void reply_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Start-up, the command loop on standard input, shut-down; returns the exit status.
int monitor_run();
