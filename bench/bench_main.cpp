// The benchmark: the monitor's relays against socat and the machine's
// ceiling on one simulated tty board, then the monitor's own timings.
//
// usage (under umockdev-wrapper):
//   murlen-bench [--quick] [--rounds N] [--mib N] [--part NAME] [--monitor PATH]
// where --mib sets the bytes per direction of each transfer, NAME is relays,
// lifecycle, reopen, hid or startup (default: all), and PATH a monitor to
// measure instead of the one built beside the benchmark.
//
// Exits 1 when a transfer lost or altered bytes or a bridge could not be
// made; a missed speed target is reported, never an exit status.

#include <time.h>
#include <umockdev.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "bench/data_path.h"
#include "bench/monitor_figures.h"
#include "bench/subjects.h"
#include "sim/board_sim.h"

namespace {

struct run_settings {
    int rounds;
    path_settings path;
    int reopenings;
    size_t typed_bytes;
    int board_counts[3];
    int hid_reports;
};

constexpr run_settings full_run = {5, {64u << 20, 2000, 1000}, 10, 1u << 20, {1, 64, 256}, 2000};
constexpr run_settings quick_run = {1, {1u << 20, 100, 50}, 2, 64u << 10, {1, 4, 8}, 100};

constexpr uint32_t board_vendor_id = 0x16C0;
constexpr uint32_t tty_product = 0x0483;
constexpr uint32_t hid_product = 0x0486;
constexpr uint32_t release = 0x0279;

// Differences below this share are noise on this machine.
constexpr double noise = 0.15;

int failures = 0;

void fail(const std::string& what) {
    if (!what.empty()) {
        printf("FAILURE: %s\n", what.c_str());
        failures += 1;
    }
}

// "median ±half-range%".
std::string cell(const spread& s, int decimals) {
    if (s.count == 0 || std::isnan(s.median)) {
        return "-";
    }
    char text[64];
    double half = s.median != 0 ? (s.high - s.low) / 2 / std::fabs(s.median) * 100 : 0;
    snprintf(text, sizeof text, "%.*f ±%.0f%%", decimals, s.median, half);
    return text;
}

// "met", "noise" (short of the target by less than the noise) or "MISSED";
// higher says whether larger values are better.
const char* verdict(double value, double limit, bool higher) {
    if (std::isnan(value)) {
        return "n/a";
    }
    if (higher ? value >= limit : value <= limit) {
        return "met";
    }
    if (higher ? value >= limit * (1 - noise) : value <= limit * (1 + noise)) {
        return "noise";
    }
    return "MISSED";
}

// One row of the relay table: a field of path_figures and its targets.
struct relay_row {
    const char* name;
    double path_figures::*field;
    int decimals;
    bool higher;           // larger is better
    double socat_limit;    // monitor/socat must reach it (NaN: no target)
    double ceiling_limit;  // monitor/min-relay must reach it (NaN: no target)
    double absolute;       // the monitor's own value must reach it (NaN: no target)
};

const relay_row relay_rows[] = {
    {"board->IDE MB/s", &path_figures::to_ide_mb_s, 0, true, 1.0, 0.8, NAN},
    {"IDE->board MB/s", &path_figures::to_board_mb_s, 0, true, 1.0, 0.8, NAN},
    {"echo 1 B p50 us", &path_figures::echo1_p50_us, 0, false, 1.0, NAN, NAN},
    {"echo 1 B p99 us", &path_figures::echo1_p99_us, 0, false, 1.0, NAN, NAN},
    {"echo 64 B p50 us", &path_figures::echo64_p50_us, 0, false, 1.0, NAN, NAN},
    {"echo 64 B p99 us", &path_figures::echo64_p99_us, 0, false, 1.0, NAN, NAN},
    {"16 B/ms one-way p50 us", &path_figures::short_p50_us, 0, false, NAN, NAN, NAN},
    {"16 B/ms one-way p99 us", &path_figures::short_p99_us, 0, false, 1.0, NAN, NAN},
    {"CPU ms/MiB board->IDE", &path_figures::cpu_to_ide_ms_per_mib, 2, false, 1.0, NAN, NAN},
    {"CPU ms/MiB IDE->board", &path_figures::cpu_to_board_ms_per_mib, 2, false, 1.0, NAN, NAN},
    {"RSS MiB, bridge open", &path_figures::rss_mib, 2, false, NAN, NAN, 2.5},
};

// Median over the rounds of the paired ratio monitor / other.
spread paired_ratio(const std::vector<path_figures> (&by)[subject_count], int32_t other,
                    double path_figures::*field) {
    std::vector<double> ratios;
    for (size_t r = 0; r < by[subject_monitor].size() && r < by[other].size(); ++r) {
        double a = by[subject_monitor][r].*field;
        double b = by[other][r].*field;
        if (!std::isnan(a) && !std::isnan(b) && b != 0) {
            ratios.push_back(a / b);
        }
    }
    return spread_of(ratios);
}

void relay_table(const std::vector<path_figures> (&by)[subject_count]) {
    printf("\n%-24s %14s %14s %14s %14s %10s %10s  %s\n", "relay figure", "pty", "min-relay",
           "socat", "monitor", "mon/socat", "mon/min", "targets");
    for (const relay_row& row : relay_rows) {
        printf("%-24s", row.name);
        for (int32_t s = 0; s < subject_count; ++s) {
            std::vector<double> values;
            for (const path_figures& f : by[s]) {
                if (!std::isnan(f.*row.field)) {
                    values.push_back(f.*row.field);
                }
            }
            printf(" %14s", cell(spread_of(values), row.decimals).c_str());
        }
        spread vs_socat = paired_ratio(by, subject_socat, row.field);
        spread vs_min = paired_ratio(by, subject_min_relay, row.field);
        printf(" %10s %10s ", cell(vs_socat, 2).c_str(), cell(vs_min, 2).c_str());
        if (!std::isnan(row.socat_limit)) {
            printf(" vs socat %s %.1fx: %s;", row.higher ? ">=" : "<=", row.socat_limit,
                   verdict(vs_socat.median, row.socat_limit, row.higher));
        }
        if (!std::isnan(row.ceiling_limit)) {
            printf(" vs min-relay >= %.1fx: %s;", row.ceiling_limit,
                   verdict(vs_min.median, row.ceiling_limit, true));
        }
        if (!std::isnan(row.absolute)) {
            std::vector<double> mine;
            for (const path_figures& f : by[subject_monitor]) {
                mine.push_back(f.*row.field);
            }
            printf(" <= %g: %s;", row.absolute,
                   verdict(spread_of(mine).median, row.absolute, false));
        }
        printf("\n");
    }
}

// One line of the monitor's own figures, with an optional upper limit.
void monitor_row(const char* name, const std::vector<double>& values, int decimals, double limit) {
    spread s = spread_of(values);
    printf("%-44s %16s", name, cell(s, decimals).c_str());
    if (!std::isnan(limit)) {
        printf("   target <= %.0f: %s", limit, verdict(s.median, limit, false));
    }
    printf("\n");
}

// Rounds of every relay subject, interleaved, the order turning each round.
void relay_rounds(board_sim* board, const program_paths& paths, const run_settings& settings) {
    std::vector<path_figures> by[subject_count];
    for (int r = 0; r < settings.rounds; ++r) {
        for (int32_t k = 0; k < subject_count; ++k) {
            int32_t subject = (r + k) % subject_count;
            subject_bridge bridge = subject_start(subject, board, paths);
            path_figures f{};
            if (bridge.failure.empty()) {
                f = data_path_measure(bridge.ide_fd, bridge.board_fd, bridge.relay_pid,
                                      settings.path);
            } else {
                f.failure = bridge.failure;
            }
            subject_stop(&bridge, board);
            if (!f.failure.empty()) {
                fail(std::string(subject_name(subject)) + ": " + f.failure);
                continue;
            }
            by[subject].push_back(f);
            fprintf(stderr, "round %d %s done\n", r + 1, subject_name(subject));
        }
    }
    relay_table(by);
}

// Interleaved with starts of /bin/cat, the floor under the HELLO figure.
void lifecycle_rows(const std::string& monitor, int rounds, const char* boards) {
    std::vector<double> hello;
    std::vector<double> quit;
    std::vector<double> floor;
    for (int r = 0; r < rounds; ++r) {
        lifecycle_figures f = monitor_lifecycle(monitor);
        fail(f.failure);
        hello.push_back(f.hello_ms);
        quit.push_back(f.quit_ms);
        floor.push_back(process_start_floor_ms());
    }
    monitor_row((std::string("/bin/cat echoes HELLO after start ms, ") + boards).c_str(), floor, 2,
                NAN);
    monitor_row((std::string("HELLO reply after start ms, ") + boards).c_str(), hello, 2, 5);
    monitor_row((std::string("process gone after QUIT ms, ") + boards).c_str(), quit, 2, 10);
}

void reopen_rows(board_sim* board, const std::string& monitor, const run_settings& settings) {
    reopen_figures f = monitor_reopens(board, monitor, settings.reopenings, settings.typed_bytes);
    fail(f.failure);
    monitor_row("hot-plug reopen ms, from the USB add", f.from_add_ms, 2, 10);
    monitor_row("hot-plug reopen ms, from the node's add", f.from_node_ms, 2, NAN);
    printf("%-44s %16s\n", "typed after the reopenings arrives whole",
           f.typed_whole ? "yes" : "NO");
}

void hid_rows(const std::string& monitor, const run_settings& settings) {
    board_sim hid{};
    board_sim_init(&hid, "/devices/pci0000:00/0000:00:14.0/usb2/2-1", board_kind_hid_serial,
                   board_vendor_id, hid_product, release);
    hid.interface_number = 1;
    if (!board_sim_plug(&hid)) {
        fail("HID board could not be plugged");
        return;
    }
    hid_figures f = monitor_hid(&hid, monitor, settings.hid_reports, std::max(settings.rounds, 1));
    fail(f.failure);
    monitor_row("HID board->IDE reports/s", f.to_ide_reports_s, 0, NAN);
    monitor_row("HID IDE->board reports/s", f.to_board_reports_s, 0, NAN);
    board_sim_unplug(&hid);
}

// Plugs boards up to each count and times start-up; the per-board cost of
// the second step must not grow past the first's by more than the noise.
void startup_rows(board_sim* first, const std::string& monitor, const run_settings& settings,
                  bool timed) {
    static std::vector<board_sim> extra(static_cast<size_t>(settings.board_counts[2]));
    board_sim* last = first;
    int plugged = 1;
    double medians[3] = {NAN, NAN, NAN};
    for (int step = 0; step < 3; ++step) {
        for (; plugged < settings.board_counts[step]; ++plugged) {
            board_sim* b = &extra[static_cast<size_t>(plugged)];
            char location[96];
            snprintf(location, sizeof location, "/devices/pci0000:00/0000:00:14.0/usb3/3-%d",
                     plugged);
            board_sim_init(b, location, board_kind_tty, board_vendor_id, tty_product, release);
            if (!board_sim_plug(b)) {
                fail("board could not be plugged");
                return;
            }
            // The scan meets boards in the order of their syspaths.
            if (strcmp(b->location, last->location) > 0) {
                last = b;
            }
        }
        std::vector<double> times;
        for (int r = 0; r < settings.rounds && timed; ++r) {
            std::string failure;
            times.push_back(monitor_startup_ms(last, monitor, &failure));
            fail(failure);
        }
        char name[64];
        snprintf(name, sizeof name, "start-up ms (HELLO + scan), %d boards", plugged);
        if (timed) {
            monitor_row(name, times, 1, NAN);
        }
        medians[step] = spread_of(times).median;
    }
    if (!timed) {
        return;
    }
    const int* n = settings.board_counts;
    double early = (medians[1] - medians[0]) / (n[1] - n[0]);
    double late = (medians[2] - medians[1]) / (n[2] - n[1]);
    printf("%-44s %7.3f, %7.3f   linear: %s\n", "start-up ms per board, first/second step", early,
           late, verdict(late, early, false));
}

// The part the command line asked for, or all.
const char* wanted_part = nullptr;

bool part(const char* name) {
    return wanted_part == nullptr || strcmp(wanted_part, name) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    run_settings settings = full_run;
    program_paths paths{MURLEN_MONITOR_PATH, MURLEN_MIN_RELAY_PATH};
    int rounds = 0;
    int mib = 0;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--quick") == 0) {
            settings = quick_run;
        } else if (strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
            rounds = std::max(1, atoi(argv[++i]));
        } else if (strcmp(argv[i], "--mib") == 0 && i + 1 < argc) {
            mib = std::max(1, atoi(argv[++i]));
        } else if (strcmp(argv[i], "--part") == 0 && i + 1 < argc) {
            wanted_part = argv[++i];
        } else if (strcmp(argv[i], "--monitor") == 0 && i + 1 < argc) {
            paths.monitor = argv[++i];
        } else {
            fprintf(stderr,
                    "usage: murlen-bench [--quick] [--rounds N] [--mib N] [--part NAME] "
                    "[--monitor PATH]\n");
            return 2;
        }
    }
    settings.rounds = rounds > 0 ? rounds : settings.rounds;
    settings.path.transfer_bytes = mib > 0 ? size_t(mib) << 20 : settings.path.transfer_bytes;
    // A deep uevent queue for the bursts of many boards; needs root, best effort.
    (void)board_sim_private_network();
    if (!board_sim_start() || !umockdev_in_mock_environment()) {
        fprintf(stderr, "murlen-bench: run it under umockdev-wrapper\n");
        return 2;
    }
    time_t now = time(nullptr);
    char date[32];
    strftime(date, sizeof date, "%Y-%m-%d %H:%M", localtime(&now));
    printf("murlen-bench, %s, %s\n", date, machine_summary().c_str());
    printf("monitor: %s\n", paths.monitor.c_str());
    printf("%d rounds; %zu MiB per direction; %d echoes per size; %d short messages\n",
           settings.rounds, settings.path.transfer_bytes >> 20, settings.path.echo_count,
           settings.path.short_count);

    board_sim board{};
    board_sim_init(&board, "/devices/pci0000:00/0000:00:14.0/usb1/1-1", board_kind_tty,
                   board_vendor_id, tty_product, release);
    if (!board_sim_plug(&board)) {
        fprintf(stderr, "murlen-bench: the board could not be plugged\n");
        return 1;
    }
    if (part("relays")) {
        relay_rounds(&board, paths, settings);
    }
    printf("\n%-44s %16s\n", "monitor figure", "median ±spread");
    if (part("lifecycle")) {
        lifecycle_rows(paths.monitor, settings.rounds, "1 board");
    }
    if (part("reopen")) {
        reopen_rows(&board, paths.monitor, settings);
    }
    if (part("hid")) {
        hid_rows(paths.monitor, settings);
    }
    if (part("startup") || part("lifecycle")) {
        startup_rows(&board, paths.monitor, settings, part("startup"));
        char boards[32];
        snprintf(boards, sizeof boards, "%d boards", settings.board_counts[2]);
        lifecycle_rows(paths.monitor, settings.rounds, boards);
    }

    printf("\n%s\n", failures == 0 ? "all transfers intact" : "FAILURES above");
    board_sim_stop();
    return failures == 0 ? 0 : 1;
}
