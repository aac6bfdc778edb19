// murlen-discovery-bench: the discovery's timings and footprint on simulated
// boards. Runs under umockdev-wrapper, as root for the simulator's private
// network namespace:
//     umockdev-wrapper murlen-discovery-bench [--quick] [--discovery PATH]
// Prints one table; exits 1 only when the discovery failed to answer or to
// announce a board, never for a missed target.

#include <poll.h>
#include <umockdev.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_util.h"
#include "sim/board_sim.h"
#include "support/monitor_process.h"

namespace {

constexpr int timeout_ms = 5000;

struct settings {
    std::string discovery = MURLEN_DISCOVERY_PATH;
    int starts = 20;      // HELLO timings
    int replugs = 20;     // add and remove timings
    int lists = 10;       // LIST timings with many boards
    int bursts = 5;       // START_SYNC bursts with many boards
    int many = 256;       // boards for LIST and the burst
    int idle_s = 10;      // idle time in sync
    int rss_boards = 64;  // boards for the resident memory figure
};

std::string failure;

double ms_between(int64_t from_ns, int64_t to_ns) {
    return static_cast<double>(to_ns - from_ns) / 1e6;
}

void row(const char* name, const std::vector<double>& values, const char* unit, double target) {
    if (values.empty()) {
        printf("%-44s %10s\n", name, "-");
        return;
    }
    spread s = spread_of(values);
    printf("%-44s %10.2f %-4s (low %.2f, high %.2f, n=%zu)  target %s %.0f%s\n", name, s.median,
           unit, s.low, s.high, s.count, s.median <= target ? "met:" : "MISSED:", target, unit);
}

// The discovery's output, read in large pieces past the preload's wrappers,
// so that reading a long LIST costs the harness little.
struct line_reader {
    int fd;
    std::string pending;
};

// The next whole line, or "" when none came within timeout_ms.
std::string line_next(line_reader* r, int wait_ms) {
    int64_t deadline = now_ns() + int64_t{wait_ms} * 1000000;
    for (;;) {
        size_t end = r->pending.find('\n');
        if (end != std::string::npos) {
            std::string line = r->pending.substr(0, end + 1);
            r->pending.erase(0, end + 1);
            return line;
        }
        int left = static_cast<int>((deadline - now_ns()) / 1000000);
        char chunk[65536];
        ssize_t n =
            left > 0 && wait_fd(r->fd, POLLIN, left) ? raw_read(r->fd, chunk, sizeof chunk) : 0;
        if (n <= 0) {
            return "";
        }
        r->pending.append(chunk, static_cast<size_t>(n));
    }
}

std::map<int, line_reader> readers;

// Lines until count arrived; the time the last one was whole, or -1.
int64_t lines_in(const monitor_process& d, int count, const char* must_hold) {
    line_reader* r = &readers[d.output];
    r->fd = d.output;
    for (int i = 0; i < count; ++i) {
        std::string line = line_next(r, timeout_ms);
        if (line.empty() || (must_hold != nullptr && line.find(must_hold) == std::string::npos)) {
            failure = "unexpected output: " + line;
            return -1;
        }
    }
    return now_ns();
}

monitor_process started(const settings& s, const char* then) {
    monitor_process d = monitor_start(s.discovery);
    if (d.pid < 0 || !monitor_send(d, "HELLO 1 \"murlen bench\"\n") ||
        lines_in(d, 1, "\"hello\"") < 0 || (then != nullptr && !monitor_send(d, then))) {
        failure = "the discovery did not start";
    }
    return d;
}

void quit(monitor_process* d) {
    (void)monitor_send(*d, "QUIT\n");
    (void)monitor_wait(d, timeout_ms);
    readers.erase(d->output);
    monitor_stop(d);
}

// What starting any process costs here: /bin/cat echoing the HELLO line.
// Also notes cat's resident memory under the same preload, the floor of any process here.
std::vector<double> start_floor(const settings& s, long* cat_rss_kib) {
    std::vector<double> ms;
    for (int i = 0; i < s.starts; ++i) {
        int64_t start = now_ns();
        monitor_process cat = monitor_start("/bin/cat");
        if (cat.pid >= 0 && monitor_send(cat, "HELLO 1 \"murlen bench\"\n") &&
            lines_in(cat, 1, "HELLO") > 0) {
            ms.push_back(ms_between(start, now_ns()));
            *cat_rss_kib = figures_of(cat.pid).rss_kib;
        }
        monitor_close_input(&cat);
        (void)monitor_wait(&cat, timeout_ms);
        readers.erase(cat.output);
        monitor_stop(&cat);
    }
    return ms;
}

// The event line read while the change happens, so that the time it was
// whole is not held back behind the simulator's own pacing.
void timed_change(const monitor_process& d, const char* action, const char* event,
                  const std::function<void()>& change, std::vector<double>* ms) {
    uevent_watch watch{};
    uevent_watch_start(&watch, action);
    int64_t seen = -1;
    std::thread reader([&] { seen = lines_in(d, 1, event); });
    change();
    reader.join();
    int64_t at = uevent_watch_end(&watch);
    if (seen > 0 && at > 0) {
        ms->push_back(ms_between(at, seen));
    }
}

std::vector<double> hello_times(const settings& s) {
    std::vector<double> ms;
    for (int i = 0; i < s.starts && failure.empty(); ++i) {
        int64_t start = now_ns();
        monitor_process d = monitor_start(s.discovery);
        if (d.pid >= 0 && monitor_send(d, "HELLO 1 \"murlen bench\"\n")) {
            int64_t done = lines_in(d, 1, "\"hello\"");
            if (done > 0) {
                ms.push_back(ms_between(start, done));
            }
        }
        quit(&d);
    }
    return ms;
}

// A tty board plugged and unplugged while the discovery syncs: from the
// node's uevent to the whole add or remove line.
void replug_times(const settings& s, std::vector<double>* add_ms, std::vector<double>* remove_ms) {
    monitor_process d = started(s, "START_SYNC\n");
    if (lines_in(d, 1, "start_sync") < 0) {
        return;
    }
    board_sim b{};
    board_sim_init(&b, "/devices/pci0000:00/0000:00:14.0/usb1/1-2", board_kind_tty, 0x16C0, 0x0483,
                   0x0279);
    for (int i = 0; i < s.replugs && failure.empty(); ++i) {
        timed_change(
            d, "add", "\"add\"", [&] { board_sim_plug(&b); }, add_ms);
        timed_change(
            d, "remove", "\"remove\"", [&] { board_sim_unplug(&b); }, remove_ms);
    }
    quit(&d);
}

void plug_many(std::vector<board_sim>* boards, size_t count) {
    size_t first = boards->size();
    boards->resize(count);
    for (size_t i = first; i < count; ++i) {
        std::string at = "/devices/pci0000:00/0000:00:14.0/usb3/3-" + std::to_string(i + 1);
        board_sim_init(&(*boards)[i], at.c_str(), board_kind_tty, 0x16C0, 0x0483, 0x0279);
        if (board_sim_plug(&(*boards)[i]) == 0) {
            failure = "the testbed refused board " + std::to_string(i + 1);
            return;
        }
    }
}

// The ports a LIST reply names.
size_t ports_in(const std::string& line) {
    size_t ports = 0;
    for (size_t at = line.find("\"address\""); at != std::string::npos;
         at = line.find("\"address\"", at + 1)) {
        ++ports;
    }
    return ports;
}

// LIST and the START_SYNC burst with every board of the testbed; also the
// time from the process start until a LIST names them all (the start-up scan).
void many_times(const settings& s, size_t boards, std::vector<double>* scan_ms,
                std::vector<double>* list_ms, std::vector<double>* burst_ms) {
    int64_t start = now_ns();
    monitor_process d = started(s, "START\n");
    (void)lines_in(d, 1, "\"start\"");
    size_t ports = 0;
    while (failure.empty() && ports != boards && now_ns() - start < 20 * 1000000000LL) {
        (void)monitor_send(d, "LIST\n");
        ports = ports_in(line_next(&readers[d.output], timeout_ms));
    }
    if (ports != boards) {
        failure = "LIST gave " + std::to_string(ports) + " ports of " + std::to_string(boards);
    } else {
        scan_ms->push_back(ms_between(start, now_ns()));
    }
    for (int i = 0; i < s.lists && failure.empty(); ++i) {
        int64_t asked = now_ns();
        (void)monitor_send(d, "LIST\n");
        std::string line = line_next(&readers[d.output], timeout_ms);
        int64_t done = now_ns();
        if (ports_in(line) != boards) {
            failure = "LIST lost ports: " + std::to_string(ports_in(line));
        } else {
            list_ms->push_back(ms_between(asked, done));
        }
    }
    (void)monitor_send(d, "STOP\n");
    (void)lines_in(d, 1, "\"stop\"");
    for (int i = 0; i < s.bursts && failure.empty(); ++i) {
        int64_t asked = now_ns();
        (void)monitor_send(d, "START_SYNC\n");
        int64_t done = lines_in(d, 1 + static_cast<int>(boards), nullptr);
        if (done > 0) {
            burst_ms->push_back(ms_between(asked, done));
        }
        (void)monitor_send(d, "STOP\n");
        (void)lines_in(d, 1, "\"stop\"");
    }
    quit(&d);
}

// In sync with the boards plugged: CPU time over the idle span, and resident memory.
void idle_figures(const settings& s, size_t boards, double* cpu_ms, long* rss_kib) {
    monitor_process d = started(s, "START_SYNC\n");
    if (lines_in(d, 1 + static_cast<int>(boards), nullptr) < 0) {
        return;
    }
    *rss_kib = figures_of(d.pid).rss_kib;
    double before = process_cpu_ms(d.pid);
    (void)poll(nullptr, 0, s.idle_s * 1000);
    *cpu_ms = process_cpu_ms(d.pid) - before;
    quit(&d);
}

}  // namespace

int main(int argc, char** argv) {
    settings s;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--quick") == 0) {
            s.starts = 3;
            s.replugs = 3;
            s.lists = 2;
            s.bursts = 2;
            s.many = 32;
            s.idle_s = 1;
            s.rss_boards = 16;
        } else if (strcmp(argv[i], "--many") == 0 && i + 1 < argc) {
            s.many = atoi(argv[++i]);
        } else if (strcmp(argv[i], "--discovery") == 0 && i + 1 < argc) {
            s.discovery = argv[++i];
        } else {
            fprintf(stderr, "usage: %s [--quick] [--many BOARDS] [--discovery PATH]\n", argv[0]);
            return 2;
        }
    }
    (void)board_sim_private_network();
    if (board_sim_start() == 0 || !umockdev_in_mock_environment()) {
        fprintf(stderr, "run me under umockdev-wrapper\n");
        return 2;
    }
    printf("murlen-discovery on simulated tty boards; %s\n", machine_summary().c_str());

    long cat_rss_kib = -1;
    std::vector<double> floor = start_floor(s, &cat_rss_kib);
    std::vector<double> hello = hello_times(s);
    std::vector<double> add_ms;
    std::vector<double> remove_ms;
    replug_times(s, &add_ms, &remove_ms);
    std::vector<board_sim> boards;
    double cpu_ms = NAN;
    long rss_kib = -1;
    plug_many(&boards, static_cast<size_t>(s.rss_boards));
    if (failure.empty()) {
        idle_figures(s, boards.size(), &cpu_ms, &rss_kib);
    }
    std::vector<double> scan_ms;
    std::vector<double> list_ms;
    std::vector<double> burst_ms;
    plug_many(&boards, static_cast<size_t>(s.many));
    if (failure.empty()) {
        many_times(s, boards.size(), &scan_ms, &list_ms, &burst_ms);
    }

    row("/bin/cat echoing HELLO, from its start", floor, "ms", 5);
    row("HELLO answered, from the process start", hello, "ms", 5);
    row("add written, from the node's add uevent", add_ms, "ms", 10);
    row("remove written, from the node's remove uevent", remove_ms, "ms", 10);
    std::string scan_name = "start to a whole LIST, " + std::to_string(s.many) + " boards";
    printf("%-44s %10.1f ms   the start-up scan, no target\n", scan_name.c_str(),
           scan_ms.empty() ? NAN : scan_ms[0]);
    std::string list_name = "LIST answered, " + std::to_string(s.many) + " boards";
    row(list_name.c_str(), list_ms, "ms", 20);
    std::string burst_name = "START_SYNC to the last add, " + std::to_string(s.many) + " boards";
    row(burst_name.c_str(), burst_ms, "ms", 100);
    printf("%-44s %10.1f ms   over %d s in sync, %d boards  target 0 ms\n", "CPU time idle", cpu_ms,
           s.idle_s, s.rss_boards);
    printf("%-44s %10.2f MiB  with %d boards in sync  target 3 MiB\n", "resident memory (VmRSS)",
           static_cast<double>(rss_kib) / 1024.0, s.rss_boards);
    printf("%-44s %10.2f MiB  the floor under the preload\n", "resident memory of /bin/cat",
           static_cast<double>(cat_rss_kib) / 1024.0);
    board_sim_stop();
    if (!failure.empty()) {
        fprintf(stderr, "murlen-discovery-bench: FAILED: %s\n", failure.c_str());
        return 1;
    }
    return 0;
}
