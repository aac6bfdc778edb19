#pragma once

// What one bridge does with bytes: the harness holds the IDE's end (a socket,
// or the pty slave for the bare pty) and the board's end (a pty master), and
// the relaying process, if any, sits between them.

#include <sys/types.h>

#include <cstddef>
#include <string>

struct path_settings {
    size_t transfer_bytes;  // per direction, for throughput
    int echo_count;         // round trips per message size
    int short_count;        // 16-byte board messages, one per millisecond
};

// Every figure of one bridge; NaN where a figure does not apply (no relaying
// process for the bare pty).
struct path_figures {
    double to_ide_mb_s;    // board -> IDE throughput, 10^6 bytes per second
    double to_board_mb_s;  // IDE -> board
    double cpu_to_ide_ms_per_mib;
    double cpu_to_board_ms_per_mib;
    double echo1_p50_us;
    double echo1_p99_us;
    double echo64_p50_us;
    double echo64_p99_us;
    double short_p50_us;  // board message written -> whole at the IDE
    double short_p99_us;
    double rss_mib;       // of the relaying process, bridge open, after the traffic
    std::string failure;  // empty, or what went wrong (a mismatch is never a figure)
};

// Measures the bridge between ide_fd and board_fd; relay_pid is the relaying
// process, or -1. The descriptors are left as they were found.
path_figures data_path_measure(int ide_fd, int board_fd, pid_t relay_pid,
                               const path_settings& settings);
