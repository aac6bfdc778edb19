#include "bench/bench_util.h"

#include <fcntl.h>
#include <libudev.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

extern char** environ;

int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

void sleep_until_ns(int64_t at_ns) {
    timespec ts{static_cast<time_t>(at_ns / 1000000000), static_cast<long>(at_ns % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

ssize_t raw_read(int fd, void* buffer, size_t count) {
    for (;;) {
        ssize_t n = syscall(SYS_read, fd, buffer, count);
        if (n >= 0 || errno != EINTR) {
            return n;
        }
    }
}

ssize_t raw_write(int fd, const void* buffer, size_t count) {
    for (;;) {
        ssize_t n = syscall(SYS_write, fd, buffer, count);
        if (n >= 0 || errno != EINTR) {
            return n;
        }
    }
}

bool wait_fd(int fd, short events, int timeout_ms) {
    pollfd pfd{fd, events, 0};
    for (;;) {
        int n = poll(&pfd, 1, timeout_ms);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n == 1;
    }
}

void socket_no_delay(int fd) {
    int on = 1;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool raw_write_all(int fd, const void* buffer, size_t count, int timeout_ms) {
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    size_t done = 0;
    while (done < count) {
        ssize_t n = raw_write(fd, bytes + done, count - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            if (!wait_fd(fd, POLLOUT, timeout_ms)) {
                return false;
            }
        } else {
            return false;
        }
    }
    return true;
}

size_t raw_read_up_to(int fd, void* buffer, size_t count, int timeout_ms) {
    auto* bytes = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    while (done < count) {
        if (!wait_fd(fd, POLLIN, timeout_ms)) {
            break;
        }
        ssize_t n = raw_read(fd, bytes + done, count - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n == 0 || errno != EAGAIN) {
            break;
        }
    }
    return done;
}

bool raw_read_exactly(int fd, void* buffer, size_t count, int timeout_ms) {
    return raw_read_up_to(fd, buffer, count, timeout_ms) == count;
}

void pty_drain(int master) {
    (void)tcflush(master, TCIOFLUSH);
}

std::vector<uint8_t> test_data(size_t count, bool nonzero) {
    std::vector<uint8_t> data(count);
    uint64_t state = 0x9E3779B97F4A7C15ULL;
    for (size_t i = 0; i < count; ++i) {
        // xorshift64*: every byte value, no short period.
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        auto byte = static_cast<uint8_t>((state * 0x2545F4914F6CDD1DULL) >> 56);
        data[i] = nonzero ? static_cast<uint8_t>(1 + byte % 255) : byte;
    }
    return data;
}

uint64_t data_hash(const uint8_t* data, size_t count) {
    uint64_t h = 0xCBF29CE484222325ULL ^ count;
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        uint64_t word = 0;
        memcpy(&word, data + i, 8);
        h = ((h ^ word) * 0x100000001B3ULL);
        h ^= h >> 29;
    }
    for (; i < count; ++i) {
        h = (h ^ data[i]) * 0x100000001B3ULL;
    }
    return h ^ (h >> 32);
}

spread spread_of(std::vector<double> samples) {
    if (samples.empty()) {
        return spread{NAN, NAN, NAN, 0};
    }
    std::sort(samples.begin(), samples.end());
    size_t n = samples.size();
    double median = n % 2 == 1 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    return spread{median, samples.front(), samples.back(), n};
}

double percentile(std::vector<double> samples, double p) {
    if (samples.empty()) {
        return NAN;
    }
    std::sort(samples.begin(), samples.end());
    auto rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(samples.size())));
    return samples[rank == 0 ? 0 : rank - 1];
}

double process_cpu_ms(pid_t pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE* f = fopen(path, "re");
    if (f == nullptr) {
        return -1;
    }
    char text[1024] = {};
    size_t n = fread(text, 1, sizeof text - 1, f);
    fclose(f);
    text[n] = '\0';
    // The command name may hold spaces: fields are counted after its ')'.
    const char* p = strrchr(text, ')');
    if (p == nullptr) {
        return -1;
    }
    unsigned long utime = 0;
    unsigned long stime = 0;
    if (sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2) {
        return -1;
    }
    return static_cast<double>(utime + stime) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

pid_t spawn_quiet(const std::vector<std::string>& argv) {
    std::vector<std::string> args = argv;
    std::vector<char*> raw;
    for (std::string& a : args) {
        raw.push_back(a.data());
    }
    raw.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int failed = posix_spawnp(&pid, raw[0], &actions, nullptr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return failed == 0 ? pid : -1;
}

void child_end(pid_t pid, int timeout_ms) {
    if (pid <= 0) {
        return;
    }
    kill(pid, SIGTERM);
    int64_t deadline = now_ns() + int64_t{timeout_ms} * 1000000;
    while (waitpid(pid, nullptr, WNOHANG) == 0) {
        if (now_ns() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            return;
        }
        poll(nullptr, 0, 1);
    }
}

int pid_watch(pid_t pid) {
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

std::string machine_summary() {
    std::string model = "unknown CPU";
    if (FILE* f = fopen("/proc/cpuinfo", "re")) {
        char line[512];
        while (fgets(line, sizeof line, f) != nullptr) {
            if (strncmp(line, "model name", 10) == 0) {
                const char* colon = strchr(line, ':');
                model = colon != nullptr ? colon + 2 : line;
                model.erase(model.find_last_not_of("\n ") + 1);
                break;
            }
        }
        fclose(f);
    }
    utsname u{};
    uname(&u);
    return "nproc " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + ", " + model + ", Linux " +
           u.release;
}

void uevent_watch_start(uevent_watch* w, const char* action) {
    w->at_ns = -1;
    w->context = udev_new();
    w->monitor =
        w->context != nullptr ? udev_monitor_new_from_netlink(w->context, "udev") : nullptr;
    if (w->monitor == nullptr) {
        return;
    }
    udev_monitor_filter_add_match_subsystem_devtype(w->monitor, "tty", nullptr);
    udev_monitor_enable_receiving(w->monitor);
    std::string wanted = action;
    w->thread = std::thread([w, wanted] {
        int fd = udev_monitor_get_fd(w->monitor);
        while (wait_fd(fd, POLLIN, 5000)) {
            udev_device* device = udev_monitor_receive_device(w->monitor);
            const char* got = device != nullptr ? udev_device_get_action(device) : nullptr;
            bool seen = got != nullptr && wanted == got;
            if (device != nullptr) {
                udev_device_unref(device);
            }
            if (seen) {
                w->at_ns = now_ns();
                return;
            }
        }
    });
}

int64_t uevent_watch_end(uevent_watch* w) {
    if (w->thread.joinable()) {
        w->thread.join();
    }
    if (w->monitor != nullptr) {
        udev_monitor_unref(w->monitor);
    }
    if (w->context != nullptr) {
        udev_unref(w->context);
    }
    return w->at_ns;
}
