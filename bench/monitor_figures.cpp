#include "bench/monitor_figures.h"

#include <libudev.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <thread>

#include "bench/bench_util.h"
#include "bench/subjects.h"
#include "support/monitor_process.h"
#include "support/os_fakes.h"

namespace {

constexpr int timeout_ms = 5000;

double ms_between(int64_t from_ns, int64_t to_ns) {
    return static_cast<double>(to_ns - from_ns) / 1e6;
}

// Starts the monitor and greets it; pid -1 on failure.
monitor_process monitor_greeted(const std::string& path) {
    monitor_process monitor = monitor_start(path);
    if (monitor.pid < 0) {
        return monitor;
    }
    if (!monitor_send(monitor, "HELLO 1 \"murlen bench\"\n") ||
        !reply_expect(monitor, hello_reply, timeout_ms)) {
        monitor_stop(&monitor);
    }
    return monitor;
}

// Reads and drops what the IDE receives until it stays quiet for quiet_ms.
void ide_drain(int ide, int quiet_ms) {
    char buffer[4096];
    while (wait_fd(ide, POLLIN, quiet_ms) && raw_read(ide, buffer, sizeof buffer) > 0) {
    }
}

// Once its line is in raw mode, the board writes a byte every 100
// microseconds until the IDE hears one; returns when it did, or -1. (Before
// raw mode, the line would echo the bytes back to the board.)
int64_t first_byte_at_ide(board_sim* board, int ide) {
    set_nonblocking(board->pty_master, true);
    int64_t deadline = now_ns() + int64_t{timeout_ms} * 1000000;
    int64_t heard = -1;
    while (heard < 0 && now_ns() < deadline) {
        if (board_sim_opened(board) != 0) {
            (void)raw_write(board->pty_master, "x", 1);
        }
        pollfd pfd{ide, POLLIN, 0};
        timespec wait{0, 100000};
        if (ppoll(&pfd, 1, &wait, nullptr) == 1) {
            heard = now_ns();
        }
    }
    set_nonblocking(board->pty_master, false);
    return heard;
}

// The IDE types data; the board must get exactly it. Empty, or what went wrong.
std::string typed_arrives_whole(board_sim* board, int ide, size_t bytes) {
    std::vector<uint8_t> data = test_data(bytes, false);
    bool written = false;
    std::thread typist([&] { written = raw_write_all(ide, data.data(), data.size(), timeout_ms); });
    std::vector<uint8_t> got(bytes);
    size_t done = raw_read_up_to(board->pty_master, got.data(), got.size(), timeout_ms);
    typist.join();
    if (!written || done != bytes ||
        data_hash(got.data(), bytes) != data_hash(data.data(), bytes)) {
        return "typed bytes: " + std::string(written ? "written" : "not all written") + ", " +
               std::to_string(done) + " of " + std::to_string(bytes) + " arrived";
    }
    return "";
}

// Takes the whole 32-byte output reports at the front of pending, each cut at
// its first zero, and counts them; a partial report stays for the next read.
std::string report_texts(std::string* pending, int32_t* report_count) {
    std::string text;
    size_t at = 0;
    for (; at + board_output_report_size <= pending->size(); at += board_output_report_size) {
        text.append(pending->data() + at, strnlen(pending->data() + at, board_output_report_size));
        *report_count += 1;
    }
    pending->erase(0, at);
    return text;
}

// Board -> IDE: input reports of 64 non-zero bytes; reports per second.
double hid_to_ide(board_sim* board, int ide, int reports, std::string* failure) {
    std::vector<uint8_t> data = test_data(size_t(reports) * board_input_report_size, true);
    std::vector<uint8_t> got(data.size());
    int64_t start = now_ns();
    board_sim_send(board, reinterpret_cast<const char*>(data.data()),
                   static_cast<int32_t>(data.size()));
    if (!raw_read_exactly(ide, got.data(), got.size(), timeout_ms) || got != data) {
        *failure = "HID input reports lost or altered";
        return NAN;
    }
    return reports / (ms_between(start, now_ns()) / 1e3);
}

// IDE -> board: text cut into output reports by the relay; reports per second.
double hid_to_board(board_sim* board, int ide, int reports, std::string* failure) {
    std::vector<uint8_t> data = test_data(size_t(reports) * board_output_report_size, true);
    int64_t start = now_ns();
    bool written = false;
    std::thread typist([&] { written = raw_write_all(ide, data.data(), data.size(), timeout_ms); });
    std::string got;
    int32_t report_count = 0;
    int64_t last = start;
    int64_t deadline = start + int64_t{timeout_ms} * 1000000;
    std::vector<char> buffer(8192);
    std::string pending;
    while (got.size() < data.size() && now_ns() < deadline) {
        int32_t n =
            board_sim_receive(board, buffer.data(), static_cast<int32_t>(buffer.size()), 20);
        if (n > 0) {
            pending.append(buffer.data(), static_cast<size_t>(n));
            got += report_texts(&pending, &report_count);
            last = now_ns();
        }
    }
    typist.join();
    std::string sent(data.begin(), data.end());
    if (!written || got != sent) {
        size_t at = 0;
        while (at < got.size() && at < sent.size() && got[at] == sent[at]) {
            ++at;
        }
        *failure = "HID output reports lost or altered: " + std::to_string(got.size()) + " of " +
                   std::to_string(sent.size()) + " bytes, the first difference at " +
                   std::to_string(at);
        return NAN;
    }
    return report_count / (ms_between(start, last) / 1e3);
}

}  // namespace

lifecycle_figures monitor_lifecycle(const std::string& monitor_path) {
    lifecycle_figures f{NAN, NAN, ""};
    int64_t start = now_ns();
    monitor_process monitor = monitor_greeted(monitor_path);
    int64_t greeted = now_ns();
    if (monitor.pid < 0) {
        f.failure = "monitor did not answer HELLO";
        return f;
    }
    int watch = pid_watch(monitor.pid);
    int64_t quit = now_ns();
    if (watch >= 0 && monitor_send(monitor, "QUIT\n") && wait_fd(watch, POLLIN, timeout_ms)) {
        f.hello_ms = ms_between(start, greeted);
        f.quit_ms = ms_between(quit, now_ns());
    } else {
        f.failure = "monitor did not end after QUIT";
    }
    if (watch >= 0) {
        close(watch);
    }
    (void)monitor_wait(&monitor, timeout_ms);
    monitor_stop(&monitor);
    return f;
}

double process_start_floor_ms() {
    const std::string line = "HELLO 1 \"murlen bench\"\n";
    int64_t start = now_ns();
    monitor_process cat = monitor_start("/bin/cat");
    double ms = NAN;
    if (cat.pid >= 0 && monitor_send(cat, line) && reply_expect(cat, line, timeout_ms)) {
        ms = ms_between(start, now_ns());
    }
    monitor_close_input(&cat);
    (void)monitor_wait(&cat, timeout_ms);
    monitor_stop(&cat);
    return ms;
}

reopen_figures monitor_reopens(board_sim* board, const std::string& monitor_path, int reopenings,
                               size_t typed_bytes) {
    reopen_figures f{{}, {}, false, ""};
    monitor_process monitor = monitor_greeted(monitor_path);
    int ide = monitor.pid >= 0 ? monitor_open(monitor, board, true) : -1;
    if (ide < 0 ||
        !poll_until([&] { return board_sim_held_by(board, monitor.pid) > 0; }, timeout_ms)) {
        f.failure = "monitor did not open the board";
    }
    for (int i = 0; i < reopenings && f.failure.empty(); ++i) {
        board_sim_unplug(board);
        if (!poll_until([&] { return board_sim_held_by(board, monitor.pid) == 0; }, timeout_ms)) {
            f.failure = "monitor kept the unplugged board's node";
            break;
        }
        ide_drain(ide, 20);
        uevent_watch watch{};
        uevent_watch_start(&watch, "add");
        int64_t added = now_ns();
        int32_t plugged = board_sim_plug(board);
        int64_t heard = plugged ? first_byte_at_ide(board, ide) : -1;
        int64_t node_added = uevent_watch_end(&watch);
        if (heard < 0 || node_added < 0) {
            f.failure = "no byte relayed after the board came back";
            break;
        }
        f.from_add_ms.push_back(ms_between(added, heard));
        f.from_node_ms.push_back(ms_between(node_added, heard));
    }
    if (f.failure.empty()) {
        ide_drain(ide, 20);
        pty_drain(board->pty_master);
        f.failure = typed_arrives_whole(board, ide, typed_bytes);
        f.typed_whole = f.failure.empty();
    }
    if (ide >= 0) {
        close(ide);
    }
    monitor_quit(&monitor);
    return f;
}

double monitor_startup_ms(board_sim* last, const std::string& monitor_path, std::string* failure) {
    int64_t start = now_ns();
    monitor_process monitor = monitor_greeted(monitor_path);
    if (monitor.pid < 0) {
        *failure = "monitor did not answer HELLO";
        return NAN;
    }
    loopback_listener listener = listener_open();
    std::string line =
        "OPEN 127.0.0.1:" + std::to_string(listener.port) + " " + port_address(last) + "\n";
    double ms = NAN;
    if (monitor_send(monitor, line) &&
        poll_until([&] { return board_sim_held_by(last, monitor.pid) > 0; }, 4 * timeout_ms)) {
        ms = ms_between(start, now_ns());
    } else {
        *failure = "monitor did not open the last board of its scan";
    }
    int ide = listener_accept(listener, timeout_ms);
    if (ide >= 0 && !reply_expect(monitor, open_reply, timeout_ms)) {
        *failure = "no open reply";
    }
    if (ide >= 0) {
        close(ide);
    }
    close(listener.fd);
    monitor_quit(&monitor);
    return ms;
}

hid_figures monitor_hid(board_sim* board, const std::string& monitor_path, int reports,
                        int repeats) {
    hid_figures f{{}, {}, ""};
    monitor_process monitor = monitor_greeted(monitor_path);
    int ide = monitor.pid >= 0 ? monitor_open(monitor, board, true) : -1;
    if (ide < 0 || !poll_until([&] { return board_sim_opened(board) > 0; }, timeout_ms)) {
        f.failure = "monitor did not open the HID board";
    }
    for (int i = 0; i < repeats && f.failure.empty(); ++i) {
        f.to_ide_reports_s.push_back(hid_to_ide(board, ide, reports, &f.failure));
        if (f.failure.empty()) {
            f.to_board_reports_s.push_back(hid_to_board(board, ide, reports, &f.failure));
        }
    }
    if (ide >= 0) {
        close(ide);
    }
    monitor_quit(&monitor);
    return f;
}
