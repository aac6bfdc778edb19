#include "bench/data_path.h"

#include <fcntl.h>
#include <poll.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "bench/bench_util.h"

namespace {

// Any wait longer than this means the bridge lost or stalled its bytes.
constexpr int stall_ms = 5000;
constexpr size_t chunk = 65536;

// The data of one direction and its hash, made once for the whole run.
const std::vector<uint8_t>& transfer_data(size_t bytes, uint64_t* hash) {
    static std::vector<uint8_t> data;
    static uint64_t data_hash_value = 0;
    if (data.size() != bytes) {
        data = test_data(bytes, false);
        data_hash_value = data_hash(data.data(), data.size());
    }
    *hash = data_hash_value;
    return data;
}

// Sends the data from one end and reads it at the other; MB/s, or NaN with
// failure set. cpu_ms receives the relaying process's CPU time meanwhile.
double transfer(int from, int to, size_t bytes, pid_t relay_pid, double* cpu_ms,
                std::string* failure) {
    uint64_t expected = 0;
    const std::vector<uint8_t>& data = transfer_data(bytes, &expected);
    static std::vector<uint8_t> got;
    got.assign(bytes, 0);
    double cpu_before = relay_pid > 0 ? process_cpu_ms(relay_pid) : NAN;
    int64_t start = now_ns();
    bool written = true;
    std::thread writer([&] {
        for (size_t done = 0; done < bytes && written; done += chunk) {
            size_t n = bytes - done < chunk ? bytes - done : chunk;
            written = raw_write_all(from, data.data() + done, n, stall_ms);
        }
    });
    size_t done = 0;
    while (done < bytes) {
        if (!wait_fd(to, POLLIN, stall_ms)) {
            break;
        }
        size_t want = bytes - done < chunk ? bytes - done : chunk;
        ssize_t n = raw_read(to, got.data() + done, want);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n == 0 || errno != EAGAIN) {
            break;
        }
    }
    int64_t end = now_ns();
    writer.join();
    *cpu_ms = relay_pid > 0 ? process_cpu_ms(relay_pid) - cpu_before : NAN;
    if (!written || done != bytes) {
        *failure = "transfer stalled after " + std::to_string(done) + " of " +
                   std::to_string(bytes) + " bytes";
        return NAN;
    }
    if (data_hash(got.data(), bytes) != expected) {
        *failure = "transfer arrived altered (hash mismatch)";
        return NAN;
    }
    return static_cast<double>(bytes) / (static_cast<double>(end - start) / 1e9) / 1e6;
}

// The board's side of the echo: sends back every byte until total came back
// or the line stayed silent.
void board_echo(int board_fd, size_t total) {
    uint8_t buffer[4096];
    size_t done = 0;
    while (done < total && wait_fd(board_fd, POLLIN, stall_ms)) {
        ssize_t n = raw_read(board_fd, buffer, sizeof buffer);
        if (n > 0) {
            if (!raw_write_all(board_fd, buffer, static_cast<size_t>(n), stall_ms)) {
                return;
            }
            done += static_cast<size_t>(n);
        } else if (n == 0 || errno != EAGAIN) {
            return;
        }
    }
}

// Round trips of size-byte messages from the IDE through the board and back;
// fills p50 and p99 in microseconds.
bool echo(int ide_fd, int board_fd, size_t size, int count, double* p50, double* p99,
          std::string* failure) {
    constexpr int warm_up = 20;
    int total = count + warm_up;
    std::thread board(board_echo, board_fd, size * static_cast<size_t>(total));
    std::vector<double> samples;
    samples.reserve(static_cast<size_t>(count));
    uint8_t message[64];
    uint8_t back[64];
    bool ok = true;
    for (int i = 0; i < total && ok; ++i) {
        for (size_t k = 0; k < size; ++k) {
            message[k] = static_cast<uint8_t>(i * 7 + k * 13);
        }
        int64_t start = now_ns();
        ok = raw_write_all(ide_fd, message, size, stall_ms) &&
             raw_read_exactly(ide_fd, back, size, stall_ms) && memcmp(message, back, size) == 0;
        if (ok && i >= warm_up) {
            samples.push_back(static_cast<double>(now_ns() - start) / 1e3);
        }
    }
    board.join();
    if (!ok) {
        *failure = "echo of " + std::to_string(size) + "-byte messages failed";
        return false;
    }
    *p50 = percentile(samples, 50);
    *p99 = percentile(samples, 99);
    return true;
}

// One 16-byte board message: when it was written, and its number.
struct short_message {
    int64_t sent_ns;
    int64_t number;
};
static_assert(sizeof(short_message) == 16);

void board_chatter(int board_fd, int count, bool* ok) {
    int64_t start = now_ns() + 1000000;
    for (int i = 0; i < count && *ok; ++i) {
        sleep_until_ns(start + int64_t{i} * 1000000);
        short_message m{now_ns(), i};
        *ok = raw_write_all(board_fd, &m, sizeof m, stall_ms);
    }
}

// The board writes a 16-byte message every millisecond; latency is from its
// write to the whole message at the IDE.
bool short_messages(int ide_fd, int board_fd, int count, double* p50, double* p99,
                    std::string* failure) {
    bool board_ok = true;
    std::thread board(board_chatter, board_fd, count, &board_ok);
    std::vector<double> samples;
    uint8_t buffer[4096];
    size_t held = 0;
    int64_t expected = 0;
    bool ok = true;
    while (expected < count && ok) {
        ok = wait_fd(ide_fd, POLLIN, stall_ms);
        ssize_t n = ok ? raw_read(ide_fd, buffer + held, sizeof buffer - held) : -1;
        if (n < 0 && errno == EAGAIN) {
            continue;
        }
        int64_t arrived = now_ns();
        ok = n > 0;
        held += ok ? static_cast<size_t>(n) : 0;
        size_t used = 0;
        for (; ok && held - used >= sizeof(short_message); used += sizeof(short_message)) {
            short_message m{};
            memcpy(&m, buffer + used, sizeof m);
            ok = m.number == expected++;
            samples.push_back(static_cast<double>(arrived - m.sent_ns) / 1e3);
        }
        memmove(buffer, buffer + used, held - used);
        held -= used;
    }
    board.join();
    if (!ok || !board_ok) {
        *failure = "short board messages lost or out of order";
        return false;
    }
    *p50 = percentile(samples, 50);
    *p99 = percentile(samples, 99);
    return true;
}

}  // namespace

path_figures data_path_measure(int ide_fd, int board_fd, pid_t relay_pid,
                               const path_settings& settings) {
    path_figures f{};
    double* all[] = {&f.to_ide_mb_s,
                     &f.to_board_mb_s,
                     &f.cpu_to_ide_ms_per_mib,
                     &f.cpu_to_board_ms_per_mib,
                     &f.echo1_p50_us,
                     &f.echo1_p99_us,
                     &f.echo64_p50_us,
                     &f.echo64_p99_us,
                     &f.short_p50_us,
                     &f.short_p99_us,
                     &f.rss_mib};
    for (double* figure : all) {
        *figure = NAN;
    }
    int ide_flags = fcntl(ide_fd, F_GETFL);
    int board_flags = fcntl(board_fd, F_GETFL);
    set_nonblocking(ide_fd, true);
    set_nonblocking(board_fd, true);
    double mib = static_cast<double>(settings.transfer_bytes) / (1024.0 * 1024.0);
    double cpu_ms = NAN;
    f.to_ide_mb_s =
        transfer(board_fd, ide_fd, settings.transfer_bytes, relay_pid, &cpu_ms, &f.failure);
    f.cpu_to_ide_ms_per_mib = cpu_ms / mib;
    if (f.failure.empty()) {
        f.to_board_mb_s =
            transfer(ide_fd, board_fd, settings.transfer_bytes, relay_pid, &cpu_ms, &f.failure);
        f.cpu_to_board_ms_per_mib = cpu_ms / mib;
    }
    if (f.failure.empty()) {
        (void)(echo(ide_fd, board_fd, 1, settings.echo_count, &f.echo1_p50_us, &f.echo1_p99_us,
                    &f.failure) &&
               echo(ide_fd, board_fd, 64, settings.echo_count, &f.echo64_p50_us, &f.echo64_p99_us,
                    &f.failure) &&
               short_messages(ide_fd, board_fd, settings.short_count, &f.short_p50_us,
                              &f.short_p99_us, &f.failure));
    }
    if (relay_pid > 0) {
        f.rss_mib = static_cast<double>(figures_of(relay_pid).rss_kib) / 1024.0;
    }
    (void)fcntl(ide_fd, F_SETFL, ide_flags);
    (void)fcntl(board_fd, F_SETFL, board_flags);
    return f;
}
