#include "bench/subjects.h"

#include <time.h>
#include <unistd.h>

#include <string>

#include "bench/bench_util.h"
#include "support/os_fakes.h"

namespace {

constexpr int setup_timeout_ms = 5000;

subject_bridge bridge_of(int32_t subject) {
    return subject_bridge{subject, -1, -1, -1, monitor_process{-1, -1, -1}, ""};
}

// A pty pair in raw mode: the harness holds both ends.
void bare_pty_start(subject_bridge* bridge) {
    pty_ends pty = pty_ends_open(true);
    if (pty.master < 0) {
        bridge->failure = "no pty";
        return;
    }
    bridge->ide_fd = pty.slave;
    bridge->board_fd = pty.master;
}

// A relaying program that connects to a listener of ours on its own.
void relay_program_start(subject_bridge* bridge, board_sim* board, const program_paths& paths) {
    loopback_listener listener = listener_open();
    if (listener.fd < 0) {
        bridge->failure = "no listener";
        return;
    }
    std::string port = std::to_string(listener.port);
    if (bridge->subject == subject_socat) {
        // Raw line, the same 16384-byte buffer as the monitor's relays, and no
        // Nagle delay on the connection, as the monitor has none.
        bridge->relay_pid = spawn_quiet({"socat", "-b16384", std::string(board->node) + ",rawer",
                                         "TCP:127.0.0.1:" + port + ",nodelay"});
    } else {
        bridge->relay_pid = spawn_quiet({paths.min_relay, board->node, port});
    }
    bridge->ide_fd = bridge->relay_pid > 0 ? listener_accept(listener, setup_timeout_ms) : -1;
    close(listener.fd);
    if (bridge->ide_fd < 0) {
        bridge->failure = std::string(subject_name(bridge->subject)) + " did not connect";
        return;
    }
    socket_no_delay(bridge->ide_fd);
}

void monitor_subject_start(subject_bridge* bridge, board_sim* board, const program_paths& paths) {
    bridge->monitor = monitor_start(paths.monitor);
    bridge->relay_pid = bridge->monitor.pid;
    if (bridge->relay_pid < 0 ||
        !monitor_send(bridge->monitor, "HELLO 1 \"murlen bench\"\nDESCRIBE\n") ||
        !reply_expect(bridge->monitor, hello_reply, setup_timeout_ms) ||
        !reply_expect(bridge->monitor, describe_reply, setup_timeout_ms)) {
        bridge->failure = "monitor did not start";
        return;
    }
    bridge->ide_fd = monitor_open(bridge->monitor, board, true);
    if (bridge->ide_fd < 0 ||
        !poll_until([&] { return board_sim_held_by(board, bridge->relay_pid) > 0; },
                    setup_timeout_ms)) {
        bridge->failure = "monitor did not open the board";
    }
}

}  // namespace

const char* subject_name(int32_t subject) {
    static const char* const names[subject_count] = {"pty", "min-relay", "socat", "monitor"};
    return subject >= 0 && subject < subject_count ? names[subject] : "?";
}

bool reply_expect(const monitor_process& monitor, const std::string& expected, int timeout_ms) {
    std::string got(expected.size(), '\0');
    return raw_read_exactly(monitor.output, got.data(), got.size(), timeout_ms) && got == expected;
}

std::string port_address(const board_sim* board) {
    return std::string("/sys") + board->location;
}

int monitor_open(const monitor_process& monitor, const board_sim* board, bool wait_reply) {
    loopback_listener listener = listener_open();
    if (listener.fd < 0) {
        return -1;
    }
    std::string line =
        "OPEN 127.0.0.1:" + std::to_string(listener.port) + " " + port_address(board) + "\n";
    int ide = monitor_send(monitor, line) ? listener_accept(listener, setup_timeout_ms) : -1;
    close(listener.fd);
    if (ide >= 0) {
        socket_no_delay(ide);
    }
    if (ide >= 0 && wait_reply && !reply_expect(monitor, open_reply, setup_timeout_ms)) {
        close(ide);
        return -1;
    }
    return ide;
}

void monitor_quit(monitor_process* monitor) {
    if (monitor->pid >= 0 && monitor_send(*monitor, "QUIT\n")) {
        (void)monitor_wait(monitor, setup_timeout_ms);
    }
    monitor_stop(monitor);
}

subject_bridge subject_start(int32_t subject, board_sim* board, const program_paths& paths) {
    subject_bridge bridge = bridge_of(subject);
    if (subject == subject_pty) {
        bare_pty_start(&bridge);
        return bridge;
    }
    pty_drain(board->pty_master);
    bridge.board_fd = board->pty_master;
    if (subject == subject_monitor) {
        monitor_subject_start(&bridge, board, paths);
    } else {
        relay_program_start(&bridge, board, paths);
    }
    return bridge;
}

void subject_stop(subject_bridge* bridge, board_sim* board) {
    if (bridge->subject == subject_monitor) {
        monitor_quit(&bridge->monitor);
    } else if (bridge->relay_pid > 0) {
        child_end(bridge->relay_pid, setup_timeout_ms);
    }
    if (bridge->ide_fd >= 0) {
        close(bridge->ide_fd);
    }
    if (bridge->subject == subject_pty && bridge->board_fd >= 0) {
        close(bridge->board_fd);
    } else if (board->pty_master >= 0) {
        pty_drain(board->pty_master);
    }
    *bridge = bridge_of(bridge->subject);
}
