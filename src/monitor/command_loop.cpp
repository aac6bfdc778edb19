#include "monitor/command_loop.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>

#include "bridge/endpoint.h"
#include "bridge/opener.h"
#include "bridge/port_publishing.h"
#include "bridge/port_table.h"
#include "common/copy_bounded.h"
#include "common/trace.h"
#include "devices/port_rule.h"
#include "devices/watcher.h"

pthread_mutex_t output_lock;

// Never joined, cancelled or detached: the watcher ends with the process.
static pthread_t watcher_handle;

// The discovery lists only addresses whose OPEN line one read takes whole.
static_assert(command_line_size - 1 == open_line_length_max);

// 127.0.0.1 in host byte order, the only address OPEN connects to.
static constexpr uint32_t loopback_address = 0x7F000001u;

// The IDE gives up on the OPEN reply after 10 s: the reply comes within this
// many milliseconds of the line, whatever a board does (the connect takes at
// most 3 s of it).
static constexpr int64_t open_reply_wait_ms = 4500;

// The command grammar: each scan_ step consumes what it matched from *rest and
// gives 1, or gives 0 and leaves the line unmatched. Whitespace is that of the
// C locale, carriage return and line feed included.

static bool is_c_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

static bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

static void scan_skip_space(std::string_view* rest) {
    while (!rest->empty() && is_c_space(rest->front())) {
        rest->remove_prefix(1);
    }
}

static int32_t scan_literal(std::string_view* rest, std::string_view literal) {
    if (!rest->starts_with(literal)) {
        return 0;
    }
    rest->remove_prefix(literal.size());
    return 1;
}

// Optional whitespace, an optional sign, then decimal digits. A value beyond
// 32 bits makes the line malformed rather than wrapping into some other value.
static int32_t scan_int(std::string_view* rest, int32_t* value) {
    scan_skip_space(rest);
    size_t at = 0;
    bool negative = false;
    if (!rest->empty() && (rest->front() == '+' || rest->front() == '-')) {
        negative = rest->front() == '-';
        at = 1;
    }
    if (at >= rest->size() || !is_digit((*rest)[at])) {
        return 0;
    }
    const char* first = rest->data() + at;
    const char* last = rest->data() + rest->size();
    uint64_t magnitude = 0;
    auto [end, error] = std::from_chars(first, last, magnitude);
    uint64_t limit = negative ? uint64_t{2147483648u} : uint64_t{2147483647u};
    if (error != std::errc{} || magnitude > limit) {
        return 0;
    }
    *value = static_cast<int32_t>(negative ? -static_cast<int64_t>(magnitude)
                                           : static_cast<int64_t>(magnitude));
    rest->remove_prefix(static_cast<size_t>(end - rest->data()));
    return 1;
}

// At least one character that is not among stops, copied into text (cut to
// size - 1 characters, which a line of the loop never reaches).
static int32_t scan_set_excluding(std::string_view* rest, std::string_view stops, char* text,
                                  size_t size) {
    size_t length = rest->find_first_of(stops);
    if (length == std::string_view::npos) {
        length = rest->size();
    }
    if (length == 0) {
        return 0;
    }
    size_t kept = length < size ? length : size - 1;
    rest->copy(text, kept);
    text[kept] = '\0';
    rest->remove_prefix(length);
    return 1;
}

// HELLO %d "text, the closing quote optional.
static int32_t parse_hello(std::string_view rest, command* cmd) {
    if (!scan_literal(&rest, "HELLO")) {
        return 0;
    }
    if (!scan_int(&rest, &cmd->version)) {
        return 0;
    }
    scan_skip_space(&rest);
    if (!scan_literal(&rest, "\"")) {
        return 0;
    }
    return scan_set_excluding(&rest, "\"\r\n", cmd->text, sizeof cmd->text);
}

// OPEN a.b.c.d:port address, the address running to the first CR or LF.
static int32_t parse_open(std::string_view rest, command* cmd) {
    if (!scan_literal(&rest, "OPEN")) {
        return 0;
    }
    static constexpr std::string_view separators[4] = {".", ".", ".", ":"};
    for (int32_t i = 0; i < 4; ++i) {
        if (!scan_int(&rest, &cmd->octets[i]) || !scan_literal(&rest, separators[i])) {
            return 0;
        }
    }
    if (!scan_int(&rest, &cmd->port)) {
        return 0;
    }
    scan_skip_space(&rest);
    if (!scan_set_excluding(&rest, "\r\n", cmd->text, sizeof cmd->text)) {
        return 0;
    }
    if (cmd->octets[0] < 1 || cmd->octets[0] > 255) {
        return 0;
    }
    for (int32_t i = 1; i < 4; ++i) {
        if (cmd->octets[i] < 0 || cmd->octets[i] > 255) {
            return 0;
        }
    }
    return cmd->port >= 1024 && cmd->port <= 65535 ? 1 : 0;
}

static command command_of_kind(command_kind kind) {
    command cmd{};
    cmd.kind = kind;
    return cmd;
}

command command_parse(std::string_view line) {
    line = line.substr(0, line.find('\0'));
    command hello{};
    if (parse_hello(line, &hello)) {
        hello.kind = command_kind::hello;
        return hello;
    }
    if (line.starts_with("DESCRIBE")) {
        return command_of_kind(command_kind::describe);
    }
    command open_line{};
    if (parse_open(line, &open_line)) {
        open_line.kind = command_kind::open;
        return open_line;
    }
    if (line.starts_with("CLOSE")) {
        return command_of_kind(command_kind::close);
    }
    if (line.starts_with("QUIT")) {
        return command_of_kind(command_kind::quit);
    }
    return command_of_kind(command_kind::none);
}

void reply_printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    (void)pthread_mutex_lock(&output_lock);
    (void)vfprintf(stdout, format, args);
    (void)pthread_mutex_unlock(&output_lock);
    va_end(args);
    (void)fflush(stdout);
}

// The one place where OPEN reaches the IDE's listener.
static int32_t open_connect(endpoint* connection, int32_t port) {
    return endpoint_connect(connection, loopback_address, static_cast<uint16_t>(port));
}

// The text as the body of a JSON string: quotes, backslashes and control
// characters escaped, bytes that are not UTF-8 replaced. A node path comes
// from udev and may hold any of them.
static std::string json_string_body(const char* text) {
    std::string quoted =
        nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return quoted.substr(1, quoted.size() - 2);
}

// 1 for an open failure that will not pass by itself: the user may not open
// the node, or another program keeps it busy beyond the retry.
static int32_t is_lasting_open_error(int32_t error) {
    return error == EACCES || error == EPERM || error == EBUSY ? 1 : 0;
}

// Called with port_lock held. The first entry that selected_address names, or null.
static port_entry* selected_entry() {
    for (port_entry* entry = port_list; entry != nullptr; entry = entry->next) {
        if (address_matches(entry->address, selected_address) != 0) {
            return entry;
        }
    }
    return nullptr;
}

// After a connected OPEN: the reply says whether the board could be opened.
// A present board that cannot be opened is no open port: the IDE is told
// why, and the monitor keeps no connection for it. The selection stays, as
// after every OPEN.
static void open_reply(const endpoint* connection, const bridge_failure* failure) {
    if (is_lasting_open_error(failure->error) != 0) {
        port_lock_acquire();
        endpoint ours = endpoint{0, 0, 0, -1};
        if (ide_endpoint.fd == connection->fd && device_endpoint.fd < 0) {
            ours = ide_endpoint;
            endpoint_reset(&ide_endpoint);
            bridge_unwant();
        }
        port_lock_release();
        if (ours.fd >= 0) {
            endpoint_close(&ours);
            std::string node = json_string_body(failure->node);
            // A user who may not open the node lacks the udev rules; the
            // tool's README says where they are once the IDE installed it.
            const char* hint = failure->error == EACCES || failure->error == EPERM
                                   ? "; install the udev rules (README.md in the tool's folder)"
                                   : "";
            reply_printf(
                "{\n\"eventType\": \"open\",\n\"error\": true,\n\"message\": \"Can not open %s: "
                "%s%s\"\n}\n",
                node.c_str(), strerror(failure->error), hint);
            return;
        }
    }
    reply_printf("{\n\"eventType\": \"open\",\n\"message\": \"OK\"\n}\n");
}

static void command_open(const command* cmd) {
    const int32_t* o = cmd->octets;
    if (o[0] != 127 || o[1] != 0 || o[2] != 0 || o[3] != 1) {
        reply_printf(
            "{\n\"eventType\": \"open\",\n\"error\": true,\n\"message\": \"Only localhost allowed, "
            "IP must be 127.0.0.1\"\n}\n");
        return;
    }
    int64_t deadline = monotonic_ms() + open_reply_wait_ms;
    port_lock_acquire();
    port_select(cmd->text);
    port_lock_release();

    // The connect may take a while (bounded): no lock is held, and the
    // bridge that runs goes on meanwhile.
    endpoint connection;
    endpoint_reset(&connection);
    if (!open_connect(&connection, cmd->port)) {
        trace("command_open: can not connect to port %d", static_cast<int>(cmd->port));
        // A failed connection changes nothing but the selection and the IDE's
        // connection: the earlier connection goes, with its relays, and the
        // board side stays open for CLOSE to close.
        port_lock_acquire();
        endpoint earlier = ide_endpoint;
        endpoint_reset(&ide_endpoint);
        int32_t let_go = relays_stop();
        port_lock_release();
        endpoint_close(&earlier);
        relays_await(let_go);
        reply_printf(
            "{\n\"eventType\": \"open\",\n\"error\": true,\n\"message\": \"Can not connect to "
            "port %d\"\n}\n",
            static_cast<int>(cmd->port));
        return;
    }

    // Every OPEN that connects starts a fresh bridge: the new connection
    // replaces the earlier one, and an open board side is opened anew, so
    // that its relays start on this connection. An opening in progress for
    // the same address is taken over: it ends with relays on this connection.
    port_lock_acquire();
    endpoint earlier = ide_endpoint;
    ide_endpoint = connection;
    endpoint closed;
    int32_t let_go = bridge_close(&closed);
    int64_t asked = monotonic_ms();
    uint32_t since = bridge_want(selected_entry(), "OPEN");
    port_lock_release();
    endpoint_close(&earlier);
    bridge_let_go(&closed, let_go);

    // The opener opens the board; the reply waits for it, but never past the
    // deadline, whatever a board does.
    bridge_failure failure{};
    (void)bridge_await(since, asked, deadline, &failure);
    open_reply(&connection, &failure);
}

// The close reply is written only once the relays have let go of the board
// node: the IDE's next step is often an upload that needs it.
static void command_close() {
    port_lock_acquire();
    // Whatever the side is now, it is not opened again until the next
    // publication of the board or OPEN.
    bridge_unwant();
    if (device_endpoint.fd < 0) {
        port_lock_release();
        reply_printf(
            "{\n\"eventType\": \"close\",\n\"error\": true,\n\"message\": \"port already "
            "closed\"\n}\n");
        return;
    }
    endpoint closed;
    int32_t let_go = bridge_close(&closed);
    port_lock_release();
    bridge_let_go(&closed, let_go);
    reply_printf("{\n\"eventType\": \"close\",\n\"message\": \"ok\"\n}\n");
}

int32_t command_execute(const command* cmd) {
    switch (cmd->kind) {
        case command_kind::hello:
            reply_printf(
                "{\n\"eventType\": \"hello\",\n\"protocolVersion\": 1,\n\"message\": \"OK\"\n}\n");
            return 1;
        case command_kind::describe:
            reply_printf(
                "{\n\"eventType\": \"describe\",\n\"message\": \"OK\",\n\"port_description\": "
                "{\n\"protocol\": \"murlen\",\n\"configuration_parameters\": {\n}\n}\n}\n");
            return 1;
        case command_kind::open:
            command_open(cmd);
            return 1;
        case command_kind::close:
            command_close();
            return 1;
        case command_kind::quit:
            reply_printf("{\n\"eventType\": \"quit\",\n\"message\": \"OK\"\n}\n");
            return 0;
        case command_kind::none:
            break;
    }
    return 1;
}

void monitor_setup() {
    (void)pthread_mutex_init(&port_lock, nullptr);
    (void)pthread_mutex_init(&output_lock, nullptr);
    endpoint_reset(&device_endpoint);
    endpoint_reset(&ide_endpoint);
    (void)signal(SIGPIPE, SIG_IGN);
    // The boards the watcher tracks become the port table's ports.
    watcher_hooks = {port_publish, port_node_changed, port_withdraw, port_changed};
    port_lock_acquire();
    opener_start();
    port_lock_release();
}

// Reads lines of at most 255 characters until QUIT, end of input or a read error;
// a longer line arrives in pieces, each parsed as a line of its own.
static void command_loop() {
    char line[command_line_size];
    while (fgets(line, sizeof line, stdin) != nullptr) {
        command cmd = command_parse(line);
        if (!command_execute(&cmd)) {
            return;
        }
    }
}

// Relay and watcher threads may still sit in system calls: the process ends
// with _exit, tearing nothing down behind them.
[[noreturn]] static void monitor_shutdown() {
    port_lock_acquire();
    (void)bridge_close();
    if (ide_endpoint.fd >= 0) {
        endpoint_close(&ide_endpoint);
    }
    port_lock_release();
    (void)fflush(stdout);
    _exit(0);
}

void monitor_run() {
    trace_setup("MURLEN_MONITOR_TRACE");
    // The start-up scan's summary comes first.
    trace_hold("murlen-monitor");
    monitor_setup();
    (void)pthread_create(&watcher_handle, nullptr, watcher_thread, nullptr);
    command_loop();
    monitor_shutdown();
}
