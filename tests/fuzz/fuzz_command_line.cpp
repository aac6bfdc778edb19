// Fuzzes the command loop: each input is what the IDE might write to the
// monitor's standard input, cut into lines the way the loop reads them and
// handed to command_parse and command_execute on this, the main thread.
//
// The seam is the operating system's edge. The process moves into a network
// namespace of its own with only the loopback up, where the one listener on
// 127.0.0.1 is ours (ide_port): an OPEN toward any other port is refused at
// once, and no connection ever leaves the process. A pty stands for a board
// published at board_address, so an OPEN of that address to ide_port opens a
// real bridge with its two relay threads. Replies go to /dev/null.
//
// When the lines leave a bridge open, the input's first bytes must cross it
// exactly, both ways. After each input the process is brought back to its
// start-up state the way shut-down does it, and must then hold exactly the
// descriptors and threads it held before the input.

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "bridge/port_publishing.h"
#include "bridge/port_table.h"
#include "common/copy_bounded.h"
#include "devices/device_records.h"
#include "monitor/command_loop.h"

namespace {

// The port our listener takes in the private namespace; the seed corpus names it.
constexpr uint16_t ide_port = 47001;
constexpr const char* board_address = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1";

// How long the relays of a closed opening may take to end, in milliseconds.
constexpr int64_t settle_ms = 3000;

int ide_listener = -1;
int ide_accepted = -1;  // the IDE's end of the latest connection, -1 when none
int board_master = -1;
int baseline_fds = -1;
int baseline_threads = -1;

[[noreturn]] void finding(const char* what, const char* line) {
    fprintf(stderr, "FINDING: %s\n", what);
    if (line != nullptr) {
        fprintf(stderr, "  line: \"%s\"\n", line);
    }
    abort();
}

int64_t now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

int bring_loopback_up() {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return 0;
    }
    ifreq request{};
    copy_bounded(request.ifr_name, "lo", sizeof request.ifr_name);
    int ok = 0;
    if (ioctl(fd, SIOCGIFFLAGS, &request) == 0) {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
        ok = ioctl(fd, SIOCSIFFLAGS, &request) == 0 ? 1 : 0;
    }
    close(fd);
    return ok;
}

int listener_on(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return -1;
    }
    int on = 1;
    (void)setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 64) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Publishes a tty board whose node is a pty slave, as the watcher would.
void publish_board() {
    int slave = -1;
    char name[PATH_MAX] = {};
    if (openpty(&board_master, &slave, name, nullptr, nullptr) != 0) {
        finding("no pty for the board", nullptr);
    }
    close(slave);
    (void)fcntl(board_master, F_SETFD, FD_CLOEXEC);
    (void)fcntl(board_master, F_SETFL, fcntl(board_master, F_GETFL) | O_NONBLOCK);
    static device_record board{};
    copy_bounded(board.location, board_address, sizeof board.location);
    copy_bounded(board.devnode, name, sizeof board.devnode);
    board.vid = 0x16C0;
    board.pid = 0x0483;
    board.subsystem = "tty";
    board.ifacenum = 0;
    port_publish(&board);
}

int count_fds() {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        finding("cannot list /proc/self/fd", nullptr);
    }
    int count = 0;
    while (dirent* entry = readdir(dir)) {
        count += entry->d_name[0] != '.' ? 1 : 0;
    }
    closedir(dir);
    return count - 1;  // the listing's own descriptor
}

int count_threads() {
    FILE* status = fopen("/proc/self/status", "re");
    if (status == nullptr) {
        finding("cannot read /proc/self/status", nullptr);
    }
    char text[256];
    int threads = -1;
    while (fgets(text, sizeof text, status) != nullptr) {
        if (sscanf(text, "Threads: %d", &threads) == 1) {
            break;
        }
    }
    fclose(status);
    return threads;
}

// The table keeps the read end of the latest opening's let-go pipe for the
// next opening to chain on: one descriptor at most, not a leak.
int table_fds() {
    port_lock_acquire();
    int held = relay_let_go_fd >= 0 ? 1 : 0;
    port_lock_release();
    return held;
}

// Accepts what OPEN connected, so the listener's queue never fills; keeps the
// latest connection open as the IDE would.
void take_connections() {
    for (;;) {
        int fd = accept4(ide_listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            return;
        }
        if (ide_accepted >= 0) {
            close(ide_accepted);
        }
        ide_accepted = fd;
    }
}

bool starts_with(const char* line, const char* word) {
    return strncmp(line, word, strlen(word)) == 0;
}

bool holds_any_of(const char* text, const char* stops) {
    return strpbrk(text, stops) != nullptr;
}

// What any parse must satisfy, whatever the line.
void check_parse(const char* line, const command& cmd) {
    size_t text_length = strnlen(cmd.text, sizeof cmd.text);
    if (text_length == sizeof cmd.text) {
        finding("command text not terminated", line);
    }
    switch (cmd.kind) {
        case command_kind::hello:
            if (!starts_with(line, "HELLO") || text_length == 0 ||
                holds_any_of(cmd.text, "\"\r\n")) {
                finding("HELLO accepted out of its grammar", line);
            }
            break;
        case command_kind::describe:
            if (!starts_with(line, "DESCRIBE")) {
                finding("DESCRIBE accepted out of its grammar", line);
            }
            break;
        case command_kind::open:
            if (!starts_with(line, "OPEN") || text_length == 0 || holds_any_of(cmd.text, "\r\n") ||
                cmd.octets[0] < 1 || cmd.octets[0] > 255 || cmd.port < 1024 || cmd.port > 65535) {
                finding("OPEN accepted out of its grammar or ranges", line);
            }
            for (int i = 1; i < 4; ++i) {
                if (cmd.octets[i] < 0 || cmd.octets[i] > 255) {
                    finding("OPEN accepted an octet out of range", line);
                }
            }
            break;
        case command_kind::close:
            if (!starts_with(line, "CLOSE")) {
                finding("CLOSE accepted out of its grammar", line);
            }
            break;
        case command_kind::quit:
            if (!starts_with(line, "QUIT")) {
                finding("QUIT accepted out of its grammar", line);
            }
            break;
        case command_kind::none:
            if (starts_with(line, "DESCRIBE") || starts_with(line, "CLOSE") ||
                starts_with(line, "QUIT")) {
                finding("a command line matched nothing", line);
            }
            break;
    }
}

// What arrives on fd (non-blocking) until count bytes came or the deadline passed.
std::string read_for(int fd, size_t count) {
    std::string got;
    int64_t deadline = now_ms() + settle_ms;
    while (got.size() < count && now_ms() < deadline) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 10) <= 0) {
            continue;
        }
        char buffer[256];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            got.append(buffer, static_cast<size_t>(n));
        }
    }
    return got;
}

// With a bridge open on the latest connection, bytes cross it exactly both ways.
void check_relaying(const uint8_t* data, size_t size) {
    port_lock_acquire();
    bool bridged = device_endpoint.fd >= 0 && ide_endpoint.fd >= 0 && relay_stop_fd >= 0;
    port_lock_release();
    if (!bridged || ide_accepted < 0 || size == 0) {
        return;
    }
    std::string bytes(reinterpret_cast<const char*>(data), size < 64 ? size : 64);
    if (write(ide_accepted, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
        read_for(board_master, bytes.size()) != bytes) {
        finding("bytes from the IDE did not reach the board exactly", nullptr);
    }
    if (write(board_master, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
        read_for(ide_accepted, bytes.size()) != bytes) {
        finding("bytes from the board did not reach the IDE exactly", nullptr);
    }
}

// What shut-down does, without ending the process; then selected_address is
// emptied, as at start-up, so that no input depends on the one before it.
void restore_start_state() {
    port_lock_acquire();
    int32_t let_go = bridge_close();
    if (ide_endpoint.fd >= 0) {
        endpoint_close(&ide_endpoint);
    }
    copy_bounded(selected_address, "", sizeof selected_address);
    port_lock_release();
    relays_await(let_go);
    if (ide_accepted >= 0) {
        close(ide_accepted);
        ide_accepted = -1;
    }
    char sink[4096];
    while (read(board_master, sink, sizeof sink) > 0) {
    }
}

void check_nothing_left() {
    int fds = count_fds() - table_fds();
    if (fds != baseline_fds) {
        fprintf(stderr, "descriptors: %d after the input, %d before\n", fds, baseline_fds);
        finding("the input left descriptors behind", nullptr);
    }
    // Relays end right after they let go of their descriptors.
    int64_t deadline = now_ms() + settle_ms;
    int threads = count_threads();
    while (threads != baseline_threads && now_ms() < deadline) {
        (void)poll(nullptr, 0, 1);
        threads = count_threads();
    }
    if (threads != baseline_threads) {
        fprintf(stderr, "threads: %d after the input, %d before\n", threads, baseline_threads);
        finding("the input left threads behind", nullptr);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (unshare(CLONE_NEWNET) != 0 || bring_loopback_up() == 0) {
        fprintf(stderr,
                "fuzz_command_line: no private network (needs root): OPEN reaches this "
                "machine's loopback\n");
    }
    if (freopen("/dev/null", "w", stdout) == nullptr) {
        finding("cannot send replies to /dev/null", nullptr);
    }
    monitor_setup();
    ide_listener = listener_on(ide_port);
    if (ide_listener < 0) {
        fprintf(stderr, "fuzz_command_line: port %u is taken: no OPEN will connect\n", ide_port);
    }
    publish_board();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (baseline_fds < 0) {
        // libFuzzer starts its own threads after initialisation.
        baseline_fds = count_fds() - table_fds();
        baseline_threads = count_threads();
    }
    size_t at = 0;
    while (at < size) {
        // As fgets fills the loop's line buffer: up to 255 bytes, ending after
        // a line feed; the parse sees the text up to the first zero byte.
        char line[command_line_size];
        size_t n = 0;
        while (n < sizeof line - 1 && at < size) {
            char c = static_cast<char>(data[at++]);
            line[n++] = c;
            if (c == '\n') {
                break;
            }
        }
        line[n] = '\0';
        command cmd = command_parse(line);
        check_parse(line, cmd);
        int32_t go_on = command_execute(&cmd);
        if (ide_listener >= 0) {
            take_connections();
        }
        if (go_on == 0) {
            break;
        }
    }
    check_relaying(data, size);
    restore_start_state();
    check_nothing_left();
    return 0;
}
