// murlen-demo: the discovery and the monitor at work on simulated boards, with
// this program in the IDE's place. It starts murlen-discovery and
// murlen-monitor as children, speaks their protocols on their standard input
// and output, opens the addresses the discovery announces, listens on loopback
// for the monitor's connection, and plays the boards through the simulator.
// Every step is checked; the exit status is 0 only when all of them held.
//
// Runs under umockdev-wrapper, which both tools inherit with the testbed:
//     umockdev-wrapper murlen-demo [path of murlen-monitor [path of murlen-discovery]]

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <umockdev.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <nlohmann/json.hpp>
#include <string>

#include "devices/identification.h"
#include "sim/board_sim.h"
#include "sim/os_helpers.h"

extern char** environ;

// umockdev hands work to its own worker thread through GLib, which TSan does
// not see synchronise: those races are GLib's and umockdev's, not ours.
extern "C" const char* __tsan_default_suppressions();
extern "C" const char* __tsan_default_suppressions() {
    return "race:libglib-2.0.so\nrace:libumockdev.so\n";
}

// How long one expected effect may take, in ms; all of them come in a few ms.
constexpr int32_t effect_timeout_ms = 3000;
// A last guard against a hang, in seconds, for the whole demo.
constexpr unsigned demo_timeout_s = 30;

constexpr uint32_t serial_product = 0x0483;
constexpr uint32_t hid_serial_product = 0x0486;  // its stream is on interface 1
constexpr uint32_t board_release = 0x0280;
constexpr const char* serial_location = "/devices/pci0000:00/0000:00:14.0/usb1/1-2";
constexpr const char* hid_location = "/devices/pci0000:00/0000:00:14.0/usb1/1-3";

constexpr const char* hello_reply =
    "{\n\"eventType\": \"hello\",\n\"protocolVersion\": 1,\n\"message\": \"OK\"\n}\n";
constexpr const char* describe_reply =
    "{\n\"eventType\": \"describe\",\n\"message\": \"OK\",\n\"port_description\": "
    "{\n\"protocol\": \"murlen\",\n\"configuration_parameters\": {\n}\n}\n}\n";
constexpr const char* open_reply = "{\n\"eventType\": \"open\",\n\"message\": \"OK\"\n}\n";
constexpr const char* close_reply = "{\n\"eventType\": \"close\",\n\"message\": \"ok\"\n}\n";
constexpr const char* quit_reply = "{\n\"eventType\": \"quit\",\n\"message\": \"OK\"\n}\n";

// The monitor child: its pid (-1 once reaped) and our ends of its stdin and stdout.
static pid_t monitor_pid = -1;
static int monitor_input = -1;
static int monitor_output = -1;
// Read by the alarm handler, which kills a monitor that is still running.
static volatile sig_atomic_t monitor_pid_for_alarm = -1;
// The discovery child, the same way.
static pid_t discovery_pid = -1;
static int discovery_input = -1;
static int discovery_output = -1;
static volatile sig_atomic_t discovery_pid_for_alarm = -1;

static int32_t use_colour = 0;
static int64_t demo_started_ms = 0;

static const char* colour(const char* code) {
    return use_colour ? code : "";
}

// One line of the transcript: who speaks (to whom), then what.
static void say(const char* speaker, const char* format, ...) __attribute__((format(printf, 2, 3)));
static void say(const char* speaker, const char* format, ...) {
    const char* tint = strncmp(speaker, "IDE", 3) == 0         ? "\033[36m"
                       : strncmp(speaker, "monitor", 7) == 0   ? "\033[33m"
                       : strncmp(speaker, "discovery", 9) == 0 ? "\033[32m"
                                                               : "\033[35m";
    printf("  %s%-18s%s ", colour(tint), speaker, colour("\033[0m"));
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    printf("\n");
    fflush(stdout);
}

static void heading(int32_t number, const char* title) {
    printf("\n%s%d. %s%s\n", colour("\033[1m"), number, title, colour("\033[0m"));
    fflush(stdout);
}

// Ends the demo with status 1: says what did not hold, then stops the
// monitor and drops the testbed.
[[noreturn]] static void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] static void fail(const char* format, ...) {
    fflush(stdout);
    fprintf(stderr, "%smurlen-demo: FAILED:%s ", colour("\033[1;31m"), colour("\033[0m"));
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fprintf(stderr, "\n");
    if (monitor_pid >= 0) {
        monitor_pid_for_alarm = -1;
        kill(monitor_pid, SIGKILL);
        waitpid(monitor_pid, nullptr, 0);
    }
    if (discovery_pid >= 0) {
        discovery_pid_for_alarm = -1;
        kill(discovery_pid, SIGKILL);
        waitpid(discovery_pid, nullptr, 0);
    }
    board_sim_stop();
    exit(1);
}

static void on_alarm(int) {
    const char text[] = "murlen-demo: FAILED: still not done after the time limit\n";
    ssize_t n = write(2, text, sizeof text - 1);
    (void)n;
    if (monitor_pid_for_alarm > 0) {
        kill(static_cast<pid_t>(monitor_pid_for_alarm), SIGKILL);
    }
    if (discovery_pid_for_alarm > 0) {
        kill(static_cast<pid_t>(discovery_pid_for_alarm), SIGKILL);
    }
    _exit(1);
}

// data as a quoted C-style literal into out (size bytes, always terminated).
static const char* quoted(const char* data, int32_t length, char* out, size_t size) {
    size_t used = 0;
    out[used++] = '"';
    for (int32_t i = 0; i < length && used + 6 < size; ++i) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        if (c == '\n' || c == '\r' || c == '"' || c == '\\') {
            out[used++] = '\\';
            out[used++] = c == '\n' ? 'n' : c == '\r' ? 'r' : static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            used += static_cast<size_t>(snprintf(out + used, size - used, "\\x%02x", c));
        } else {
            out[used++] = static_cast<char>(c);
        }
    }
    out[used++] = '"';
    out[used] = '\0';
    return out;
}

// A reply on one line: its line feeds become spaces, none after '{' or before '}'.
static const char* compact(const char* reply, char* out, size_t size) {
    size_t used = 0;
    for (const char* c = reply; *c != '\0' && used + 1 < size; ++c) {
        if (*c != '\n') {
            out[used++] = *c;
        } else if (used > 0 && out[used - 1] != '{' && c[1] != '}' && c[1] != '\0') {
            out[used++] = ' ';
        }
    }
    out[used] = '\0';
    return out;
}

// ---- The edges the IDE uses: a child process on pipes and a loopback listener.

// Starts a tool with its stdin and stdout on pipes; SIGPIPE at its default,
// as the IDE starts it. reserved_fds: see spawn_with_pipes. 1, or 0 when it
// could not be started.
static int32_t child_start(const char* path, int reserved_fds, pid_t* pid, int* input,
                           int* output) {
    char* argv[] = {const_cast<char*>(path), nullptr};
    spawned_process child = spawn_with_pipes(argv, environ, reserved_fds);
    if (child.pid < 0) {
        return 0;
    }
    *pid = child.pid;
    *input = child.input;
    *output = child.output;
    return 1;
}

static int32_t monitor_start(const char* path) {
    if (!child_start(path, 0, &monitor_pid, &monitor_input, &monitor_output)) {
        return 0;
    }
    monitor_pid_for_alarm = monitor_pid;
    return 1;
}

static int32_t discovery_start(const char* path) {
    if (!child_start(path, 8, &discovery_pid, &discovery_input, &discovery_output)) {
        return 0;
    }
    discovery_pid_for_alarm = discovery_pid;
    return 1;
}

// Waits for fd to become readable until deadline; 1, or 0 on time-out.
static int32_t wait_readable(int fd, int64_t deadline) {
    for (;;) {
        int64_t left = deadline - clock_ms();
        if (left <= 0) {
            return 0;
        }
        pollfd pfd{fd, POLLIN, 0};
        int ready = poll(&pfd, 1, static_cast<int>(left));
        if (ready > 0) {
            return 1;
        }
        if (ready < 0 && errno != EINTR) {
            return 0;
        }
    }
}

// Reads count bytes within the effect time-out; returns how many came.
static int32_t read_within(int fd, char* buffer, int32_t count) {
    int64_t deadline = clock_ms() + effect_timeout_ms;
    int32_t got = 0;
    while (got < count && wait_readable(fd, deadline)) {
        ssize_t n = read(fd, buffer + got, static_cast<size_t>(count - got));
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
            break;
        }
        got += n > 0 ? static_cast<int32_t>(n) : 0;
    }
    return got;
}

static int32_t write_all(int fd, const char* data, size_t length) {
    size_t done = 0;
    while (done < length) {
        ssize_t n = write(fd, data + done, length - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return 0;
        }
        done += static_cast<size_t>(n);
    }
    return 1;
}

// Reads one whole reply, from its '{' to the line feed after the matching
// '}', into buffer; returns its length (what came, should the time run out).
static int32_t monitor_read_reply(char* buffer, int32_t size) {
    int64_t deadline = clock_ms() + effect_timeout_ms;
    int32_t used = 0;
    int32_t depth = 0;
    int32_t closed = 0;
    while (used + 1 < size && wait_readable(monitor_output, deadline)) {
        ssize_t n = read(monitor_output, buffer + used, 1);
        if (n <= 0) {
            break;
        }
        char c = buffer[used++];
        if (c == '{') {
            depth += 1;
        } else if (c == '}' && depth > 0) {
            depth -= 1;
            closed = depth == 0;
        } else if (c == '\n' && closed) {
            break;
        }
    }
    buffer[used] = '\0';
    return used;
}

// Sends one command line, shows the reply on one line and checks it byte for byte.
static void ask(const char* line, const char* expected) {
    say("IDE -> monitor", "%s", line);
    char text[512];
    snprintf(text, sizeof text, "%s\n", line);
    if (!write_all(monitor_input, text, strlen(text))) {
        fail("could not write \"%s\" to the monitor: %s", line, strerror(errno));
    }
    char reply[1024];
    if (monitor_read_reply(reply, sizeof reply) == 0) {
        fail("no reply to %s within %d ms", line, effect_timeout_ms);
    }
    char shown[1024];
    say("monitor -> IDE", "%s", compact(reply, shown, sizeof shown));
    if (strcmp(reply, expected) != 0) {
        fail("the reply to %s differs from %s", line, compact(expected, shown, sizeof shown));
    }
}

// The discovery's next line (one JSON value), parsed; fails the demo when
// none comes in time or it is no JSON.
static nlohmann::json discovery_read() {
    int64_t deadline = clock_ms() + effect_timeout_ms;
    std::string line;
    char c = 0;
    while (wait_readable(discovery_output, deadline) && read(discovery_output, &c, 1) == 1) {
        if (c == '\n') {
            break;
        }
        line += c;
    }
    say("discovery -> IDE", "%s", line.c_str());
    nlohmann::json value = nlohmann::json::parse(line, nullptr, false);
    if (line.empty() || value.is_discarded() || !value.is_object()) {
        fail("the discovery wrote no JSON line within %d ms", effect_timeout_ms);
    }
    return value;
}

// Sends one command to the discovery and checks that its reply says OK.
static void discovery_ask(const char* line, const char* event_type) {
    say("IDE -> discovery", "%s", line);
    std::string text = std::string(line) + "\n";
    if (!write_all(discovery_input, text.data(), text.size())) {
        fail("could not write \"%s\" to the discovery: %s", line, strerror(errno));
    }
    nlohmann::json reply = discovery_read();
    if (reply.value("eventType", "") != event_type || reply.value("message", "") != "OK") {
        fail("the discovery did not answer %s with OK", line);
    }
}

// The address the discovery lists for the board at location: the tail of
// location from its component that begins with "usb".
static std::string address_of(const char* location) {
    const char* tail = strstr(location, "/usb");
    return tail == nullptr ? std::string() : std::string(tail + 1);
}

// Waits for the discovery's next event, which must be event_type for the
// board at location; returns the address it names.
static std::string discovery_expect(const char* event_type, const char* location) {
    nlohmann::json event = discovery_read();
    std::string address = event.contains("port") ? event["port"].value("address", "") : "";
    if (event.value("eventType", "") != event_type || address.empty() ||
        address != address_of(location)) {
        fail("expected the discovery's %s of %s", event_type, location);
    }
    return address;
}

// The discovery's add for b must name the node and the model a real board
// gives: "/dev/ttyACMn" or "/dev/hidrawN", and the model its release names.
static std::string discovery_expect_add(const board_sim* b, const char* location) {
    nlohmann::json event = discovery_read();
    nlohmann::json properties = event["port"].value("properties", nlohmann::json::object());
    std::string address = event["port"].value("address", "");
    std::string node = properties.value("node", "");
    const char* model = model_name(model_from_release(b->vid, b->pid, b->bcd));
    if (event.value("eventType", "") != "add" || address.empty() ||
        address != address_of(location) || node != b->node ||
        properties.value("model", "") != model ||
        (node.rfind("/dev/ttyACM", 0) != 0 && node.rfind("/dev/hidraw", 0) != 0)) {
        fail("expected the discovery's add of %s, %s at %s", address_of(location).c_str(), model,
             b->node);
    }
    return address;
}

// What the board says once it runs, in its own model's name.
static std::string greeting_of(const board_sim* b, const char* rest) {
    return std::string(model_name(model_from_release(b->vid, b->pid, b->bcd))) + " ready, " + rest;
}

// A listener on 127.0.0.1 with a port the kernel chooses; the fd, or -1.
static int listener_open(uint16_t* port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

// Listens, sends OPEN for address, accepts the monitor's connection and checks
// the reply; returns the IDE's end of the connection.
static int ide_open(const char* address, int* listener) {
    uint16_t port = 0;
    *listener = listener_open(&port);
    if (*listener < 0) {
        fail("cannot listen on 127.0.0.1: %s", strerror(errno));
    }
    say("IDE", "listens on 127.0.0.1:%u", port);
    char line[256];
    snprintf(line, sizeof line, "OPEN 127.0.0.1:%u %s", port, address);
    say("IDE -> monitor", "%s", line);
    strcat(line, "\n");
    if (!write_all(monitor_input, line, strlen(line))) {
        fail("could not write OPEN to the monitor: %s", strerror(errno));
    }
    if (!wait_readable(*listener, clock_ms() + effect_timeout_ms)) {
        fail("the monitor did not connect to 127.0.0.1:%u", port);
    }
    int ide = accept4(*listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (ide < 0) {
        fail("accept failed: %s", strerror(errno));
    }
    say("monitor -> IDE", "connects to 127.0.0.1:%u; the IDE accepts", port);
    char reply[1024];
    if (monitor_read_reply(reply, sizeof reply) == 0) {
        fail("no reply to OPEN within %d ms", effect_timeout_ms);
    }
    char shown[1024];
    say("monitor -> IDE", "%s", compact(reply, shown, sizeof shown));
    if (strcmp(reply, open_reply) != 0) {
        fail("the reply to OPEN differs from %s", compact(open_reply, shown, sizeof shown));
    }
    return ide;
}

// ---- The boards' side, seen through the simulator.

// 1 once the monitor holds b's node and has set it up (a tty in raw mode), or
// once it holds it no longer (!held); 0 when the time runs out first.
static int32_t monitor_holds_within(board_sim* b, int32_t held) {
    int64_t deadline = clock_ms() + effect_timeout_ms;
    for (;;) {
        int32_t holds = board_sim_held_by(b, monitor_pid) > 0 ? 1 : 0;
        if (held ? holds && board_sim_opened(b) > 0 : !holds) {
            return 1;
        }
        if (clock_ms() >= deadline) {
            return 0;
        }
        poll(nullptr, 0, 2);
    }
}

static void board_plug(board_sim* b, const char* location, int32_t kind, uint32_t pid,
                       int32_t interface_number) {
    board_sim_init(b, location, kind, board_vendor, pid, board_release);
    b->interface_number = interface_number;
    if (!board_sim_plug(b)) {
        fail("the testbed refused a board at %s", location);
    }
}

// The board writes text; the IDE must read exactly it from its connection.
static void board_to_ide(board_sim* b, int ide, const char* text) {
    int32_t length = static_cast<int32_t>(strlen(text));
    char shown[256];
    quoted(text, length, shown, sizeof shown);
    if (board_sim_send(b, text, length) != length) {
        fail("the board could not write %s", shown);
    }
    char got[256] = {};
    int32_t count = read_within(ide, got, length);
    char got_shown[512];
    if (count != length || memcmp(got, text, static_cast<size_t>(length)) != 0) {
        fail("the IDE got %s instead of %s", quoted(got, count, got_shown, sizeof got_shown),
             shown);
    }
    say("board -> IDE", "%s arrived byte for byte", shown);
}

// The IDE types text; a serial board must read exactly it from its line.
static void ide_to_serial_board(board_sim* b, int ide, const char* text) {
    int32_t length = static_cast<int32_t>(strlen(text));
    char shown[256];
    quoted(text, length, shown, sizeof shown);
    if (!write_all(ide, text, static_cast<size_t>(length))) {
        fail("the IDE could not write %s: %s", shown, strerror(errno));
    }
    char got[256] = {};
    int32_t count = board_sim_receive(b, got, length, effect_timeout_ms);
    char got_shown[512];
    if (count != length || memcmp(got, text, static_cast<size_t>(length)) != 0) {
        fail("the board got %s instead of %s", quoted(got, count, got_shown, sizeof got_shown),
             shown);
    }
    say("IDE -> board", "%s arrived byte for byte", shown);
}

// The IDE types text (at most one report's worth); a HID board must get it
// as one output report, zero-filled to its size.
static void ide_to_hid_board(board_sim* b, int ide, const char* text) {
    int32_t length = static_cast<int32_t>(strlen(text));
    char shown[256];
    quoted(text, length, shown, sizeof shown);
    if (!write_all(ide, text, static_cast<size_t>(length))) {
        fail("the IDE could not write %s: %s", shown, strerror(errno));
    }
    char expected[board_output_report_size] = {};
    memcpy(expected, text, static_cast<size_t>(length));
    char got[board_output_report_size] = {};
    int32_t count = board_sim_receive(b, got, board_output_report_size, effect_timeout_ms);
    char got_shown[512];
    if (count != board_output_report_size || memcmp(got, expected, sizeof expected) != 0) {
        fail("the board got %s instead of %s and zero fill in a %d-byte report",
             quoted(got, count, got_shown, sizeof got_shown), shown, board_output_report_size);
    }
    say("IDE -> board", "%s arrived as one %d-byte output report (+ %d zero bytes)", shown,
        board_output_report_size, board_output_report_size - length);
}

// True while the IDE's connection is neither readable nor hung up.
static int32_t connection_is_quiet(int fd) {
    pollfd pfd{fd, POLLIN, 0};
    return poll(&pfd, 1, 0) == 0 ? 1 : 0;
}

// ---- The steps.

// The address the discovery gave for each board, as the IDE keeps it.
static std::string serial_address;
static std::string hid_address;

static void step_discover(const char* discovery_path, board_sim* serial) {
    heading(1, "The IDE starts the discovery, which lists the boards");
    board_plug(serial, serial_location, board_kind_tty, serial_product, 0);
    say("board", "a serial board %04x:%04x is plugged in at usb1/1-2, with a tty node",
        board_vendor, serial_product);
    if (!discovery_start(discovery_path)) {
        fail("cannot start %s: %s", discovery_path, strerror(errno));
    }
    say("IDE", "starts %s (pid %d)", discovery_path, static_cast<int>(discovery_pid));
    discovery_ask("HELLO 1 \"murlen-demo\"", "hello");
    discovery_ask("START_SYNC", "start_sync");
    serial_address = discovery_expect_add(serial, serial_location);
    say("IDE", "shows the port in its menu; the user picks it");
}

static void step_greet(const char* monitor_path) {
    heading(2, "The IDE starts the monitor and greets it");
    if (!monitor_start(monitor_path)) {
        fail("cannot start %s: %s", monitor_path, strerror(errno));
    }
    say("IDE", "starts %s (pid %d)", monitor_path, static_cast<int>(monitor_pid));
    ask("HELLO 1 \"murlen-demo\"", hello_reply);
    ask("DESCRIBE", describe_reply);
}

static int step_open_serial(board_sim* serial, int* listener) {
    heading(3, "The IDE opens the port at the address the discovery gave");
    int ide = ide_open(serial_address.c_str(), listener);
    if (!monitor_holds_within(serial, 1)) {
        fail("the monitor did not open the board's tty in raw mode");
    }
    say("monitor", "holds the board's tty, in raw mode");
    return ide;
}

// The IDE speaks first on a newly opened tty: its bytes reach the board only
// once the relays run, which is after the monitor has dropped the line's
// stale input; what the board wrote before that could be dropped with it.
static void step_bridge_serial(board_sim* serial, int ide) {
    heading(4, "Bytes over the bridge");
    ide_to_serial_board(serial, ide, "status\n");
    board_to_ide(serial, ide, greeting_of(serial, "LED off\r\n").c_str());
    ide_to_serial_board(serial, ide, "blink 3\n");
    board_to_ide(serial, ide, "blinking 3 times\r\n");
}

static void step_upload(board_sim* serial, int ide, int listener) {
    heading(5, "An upload: the board restarts into its loader and comes back");
    if (!board_sim_unplug(serial)) {
        fail("the testbed could not unplug the board");
    }
    say("board", "restarts into its loader: gone from usb1/1-2");
    (void)discovery_expect("remove", serial_location);
    // A copy made after the unplug still names the node that went away.
    board_sim gone = *serial;
    if (!monitor_holds_within(&gone, 0)) {
        fail("the monitor still holds the tty that went away");
    }
    if (!connection_is_quiet(ide)) {
        fail("the IDE's connection ended or sent data while the board was away");
    }
    say("monitor", "lets go of the tty; the IDE's connection stays open");
    // Its loader names the same model as the board.
    serial->model = model_from_release(board_vendor, serial_product, board_release);
    if (!board_sim_replug_as(serial, board_kind_loader, board_vendor, loader_product,
                             board_release)) {
        fail("the testbed refused the loader");
    }
    say("board", "back at usb1/1-2 as its loader %04x:%04x", board_vendor, loader_product);
    board_sim loader = *serial;
    if (!board_sim_replug_as(serial, board_kind_tty, board_vendor, serial_product, board_release)) {
        fail("the testbed refused the board's return");
    }
    say("board", "runs its new program: the loader goes, back at usb1/1-2 as %04x:%04x",
        board_vendor, serial_product);
    (void)discovery_expect_add(serial, serial_location);
    if (!monitor_holds_within(serial, 1)) {
        fail("the monitor did not reopen the board's new tty by itself");
    }
    if (board_sim_opened(&loader) != 0) {
        fail("the monitor opened the loader's node; a loader is never a port");
    }
    if (!connection_is_quiet(listener)) {
        fail("the monitor made a new connection to the IDE");
    }
    say("monitor", "never opened the loader (never a port); reopens the new tty by itself");
    ide_to_serial_board(serial, ide, "status\n");
    board_to_ide(serial, ide, greeting_of(serial, "new program\r\n").c_str());
    say("IDE", "still on its first connection: no new OPEN was needed");
    ask("CLOSE", close_reply);
    if (!monitor_holds_within(serial, 0)) {
        fail("the monitor still holds the tty after CLOSE");
    }
}

static int step_hid_board(board_sim* hid, int* listener) {
    heading(6, "A HID-serial board: its serial stream travels in HID reports");
    board_plug(hid, hid_location, board_kind_hid_serial, hid_serial_product, 1);
    say("board", "a HID-serial board %04x:%04x is plugged in at usb1/1-3, with a hidraw node",
        board_vendor, hid_serial_product);
    hid_address = discovery_expect_add(hid, hid_location);
    say("IDE", "would start a new monitor for this port; the demo goes on with the same one");
    int ide = ide_open(hid_address.c_str(), listener);
    if (!monitor_holds_within(hid, 1)) {
        fail("the monitor did not open the board's hidraw node");
    }
    // One per opening: a board the monitor opened by itself just before the
    // IDE's connection was made is opened again, so that relays start on it.
    uint8_t feature[board_feature_report_size] = {};
    int64_t deadline = clock_ms() + effect_timeout_ms;
    while (board_sim_feature_reports(hid, feature) == 0 && clock_ms() < deadline) {
        poll(nullptr, 0, 2);
    }
    if (board_sim_feature_reports(hid, feature) < 1) {
        fail("the board got no feature report on opening");
    }
    say("monitor -> board", "opens the hidraw node and sends a %d-byte feature report",
        board_feature_report_size);
    ide_to_hid_board(hid, ide, "read sensor\n");
    board_to_ide(hid, ide, "temperature 21.5 C\r\n");
    say("", "(in a %d-byte input report; the IDE gets the text without the zero fill)",
        board_input_report_size);
    return ide;
}

static void step_goodbye(board_sim* hid) {
    heading(7, "The IDE closes the port and lets the tools go");
    ask("CLOSE", close_reply);
    if (!monitor_holds_within(hid, 0)) {
        fail("the monitor still holds the hidraw node after CLOSE");
    }
    ask("QUIT", quit_reply);
    int64_t deadline = clock_ms() + effect_timeout_ms;
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(monitor_pid, &status, WNOHANG)) == 0 && clock_ms() < deadline) {
        poll(nullptr, 0, 2);
    }
    if (done != monitor_pid) {
        fail("the monitor did not end after QUIT");
    }
    monitor_pid = -1;
    monitor_pid_for_alarm = -1;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fail("the monitor ended with status %d", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    }
    say("monitor", "exits with status 0");
    discovery_ask("QUIT", "quit");
    deadline = clock_ms() + effect_timeout_ms;
    while ((done = waitpid(discovery_pid, &status, WNOHANG)) == 0 && clock_ms() < deadline) {
        poll(nullptr, 0, 2);
    }
    if (done != discovery_pid) {
        fail("the discovery did not end after QUIT");
    }
    discovery_pid = -1;
    discovery_pid_for_alarm = -1;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fail("the discovery ended with status %d", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    }
    say("discovery", "exits with status 0");
}

int main(int argc, char** argv) {
    const char* monitor_path = argc > 1 ? argv[1] : MURLEN_MONITOR_PATH;
    const char* discovery_path = argc > 2 ? argv[2] : MURLEN_DISCOVERY_PATH;
    use_colour = isatty(1) ? 1 : 0;
    demo_started_ms = clock_ms();
    signal(SIGPIPE, SIG_IGN);
    signal(SIGALRM, on_alarm);
    alarm(demo_timeout_s);

    // Its own network namespace keeps the uevent queue deep; needs root, best effort.
    (void)board_sim_private_network();
    if (!board_sim_start()) {
        fprintf(stderr, "murlen-demo: cannot create the umockdev testbed\n");
        return 2;
    }
    // The check looks at the testbed, so it comes after the start.
    if (!umockdev_in_mock_environment()) {
        board_sim_stop();
        fprintf(stderr,
                "murlen-demo: run me under umockdev-wrapper:\n"
                "    umockdev-wrapper %s [path of murlen-monitor [path of murlen-discovery]]\n",
                argv[0]);
        return 2;
    }
    printf(
        "murlen-discovery and murlen-monitor on simulated boards (a umockdev testbed);\n"
        "this demo plays the IDE.\n");

    board_sim serial{};
    board_sim hid{};
    int listener = -1;
    step_discover(discovery_path, &serial);
    step_greet(monitor_path);
    int ide = step_open_serial(&serial, &listener);
    step_bridge_serial(&serial, ide);
    step_upload(&serial, ide, listener);
    close(listener);
    int hid_ide = step_hid_board(&hid, &listener);
    close(ide);
    step_goodbye(&hid);
    close(hid_ide);
    close(listener);
    board_sim_stop();

    printf("%smurlen-demo: every step checked out%s (%.1f s)\n", colour("\033[1;32m"),
           colour("\033[0m"), static_cast<double>(clock_ms() - demo_started_ms) / 1000.0);
    return 0;
}
