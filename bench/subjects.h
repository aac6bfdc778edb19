#pragma once

// The relays compared, each set up on the same simulated tty board and the
// same kind of loopback listener playing the IDE, and the IDE's side of the
// monitor's protocol.

#include <sys/types.h>
#include <time.h>

#include <cstdint>
#include <string>

#include "sim/board_sim.h"
#include "support/monitor_process.h"
#include "support/replies.h"

// The subjects, in the order of the results' columns.
inline constexpr int32_t subject_pty = 0;        // a bare pty, no relay: the machine's ceiling
inline constexpr int32_t subject_min_relay = 1;  // the minimal relay
inline constexpr int32_t subject_socat = 2;      // socat between the same node and listener
inline constexpr int32_t subject_monitor = 3;    // murlen-monitor, opened as the IDE opens it
inline constexpr int32_t subject_count = 4;

// Names for the results.
const char* subject_name(int32_t subject);

// Where the built programs are.
struct program_paths {
    std::string monitor;
    std::string min_relay;
};

// One subject's bridge while it is open.
struct subject_bridge {
    int32_t subject;
    int ide_fd;               // the IDE's end: an accepted connection, or the bare pty's slave
    int board_fd;             // the board's end: a pty master (not owned, except for the bare pty)
    pid_t relay_pid;          // the relaying process, -1 for the bare pty
    monitor_process monitor;  // the monitor's pipes, for subject_monitor
    std::string failure;      // empty while the bridge works
};

// Opens subject's bridge to board (a plugged tty board; unused by the bare pty).
subject_bridge subject_start(int32_t subject, board_sim* board, const program_paths& paths);

// Ends the bridge: the relaying process ends, every descriptor is closed and
// the board's line is left empty.
void subject_stop(subject_bridge* bridge, board_sim* board);

// Reads exactly the expected reply from the monitor within timeout_ms.
bool reply_expect(const monitor_process& monitor, const std::string& expected, int timeout_ms);

// The address by which the IDE names board's port: its USB device's syspath.
std::string port_address(const board_sim* board);

// Starts a listener, sends "OPEN 127.0.0.1:<port> <board's address>" and
// accepts the monitor's connection; the IDE's end, or -1. With wait_reply, the
// open reply must also come.
int monitor_open(const monitor_process& monitor, const board_sim* board, bool wait_reply);

// Sends QUIT and waits for the monitor to end; then closes its pipes.
void monitor_quit(monitor_process* monitor);

// True once fn() holds, polled every millisecond up to timeout_ms.
template <typename F>
bool poll_until(F fn, int timeout_ms) {
    for (int waited = 0; waited < timeout_ms; ++waited) {
        if (fn()) {
            return true;
        }
        struct timespec ts = {0, 1000000};
        nanosleep(&ts, nullptr);
    }
    return fn();
}
