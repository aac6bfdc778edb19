#include "discovery/protocol.h"

#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>

#include "common/trace.h"
#include "devices/device_records.h"
#include "devices/port_rule.h"

// nlohmann's ordered object keeps eventType first, which reads better in a
// log; the client does not care about order.
using json = nlohmann::ordered_json;

int32_t discovery_state = state_alive;
pthread_mutex_t output_lock = PTHREAD_MUTEX_INITIALIZER;
int discovery_output_fd = 1;

// The initial scan's end, which LIST waits for. Guarded by output_lock.
static int32_t scan_done = 0;
static pthread_cond_t scan_done_changed = PTHREAD_COND_INITIALIZER;

static constexpr const char* protocol_name = "murlen";
static constexpr const char* protocol_label = "Murlen boards";

// Called with output_lock held. Writes one JSON value and a line feed. Device
// texts that are not UTF-8 are replaced, never passed on. When the client has
// closed its end there is no one left to serve: the process ends quietly.
static void output_json(const json& value) {
    std::string text = value.dump(-1, ' ', false, json::error_handler_t::replace);
    text += '\n';
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(discovery_output_fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            trace("output_json: %s\n", n < 0 ? strerror(errno) : "nothing written");
            _exit(0);
        }
        done += static_cast<size_t>(n);
    }
}

static json reply_ok(const char* event_type) {
    return json{{"eventType", event_type}, {"message", "OK"}};
}

static json reply_error(const char* event_type, std::string_view message) {
    return json{{"eventType", event_type}, {"error", true}, {"message", message}};
}

// The line without its line end and trailing spaces.
static std::string_view line_text(std::string_view line) {
    size_t end = line.find_first_of("\r\n");
    std::string_view text = line.substr(0, end);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

discovery_command discovery_command_of(std::string_view line) {
    std::string_view text = line_text(line);
    std::string_view word = text.substr(0, text.find(' '));
    struct row {
        std::string_view word;
        discovery_command command;
    };
    static constexpr row rows[] = {
        {"HELLO", discovery_command::hello},
        {"START", discovery_command::start},
        {"STOP", discovery_command::stop},
        {"LIST", discovery_command::list},
        {"START_SYNC", discovery_command::start_sync},
        {"QUIT", discovery_command::quit},
    };
    for (const row& r : rows) {
        if (word == r.word) {
            return r.command;
        }
    }
    return discovery_command::unknown;
}

int32_t hello_version_of(std::string_view line) {
    std::string_view text = line_text(line);
    size_t space = text.find(' ');
    if (space == std::string_view::npos) {
        return -1;
    }
    std::string_view rest = text.substr(space + 1);
    int32_t version = -1;
    auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), version);
    if (error != std::errc{} || end == rest.data() || version < 1) {
        return -1;
    }
    // The number stands alone: "1" or "1 ...", never "1x".
    return end == rest.data() + rest.size() || *end == ' ' ? version : -1;
}

// The USB location of an address: its last path component, such as "1-2.3".
static std::string_view usb_location_of(std::string_view address) {
    size_t slash = address.rfind('/');
    return slash == std::string_view::npos ? address : address.substr(slash + 1);
}

// Four lower-case hex digits after 0x, as boards.txt writes ids.
static std::string hex_id(uint32_t id) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text = "0x0000";
    for (int32_t i = 0; i < 4; ++i) {
        text[5 - i] = digits[(id >> (4 * i)) & 0xF];
    }
    return text;
}

static json port_object(const discovery_port* port) {
    std::string label = port->model;
    label += " at USB ";
    label += usb_location_of(port->address);
    label += " (";
    label += port->node;
    label += port->access_ok != 0 ? ")" : ": no permission, install the udev rules)";
    std::string vid = hex_id(port->vid);
    std::string pid = hex_id(port->pid);
    json properties = {
        {"vid", vid},           {"pid", pid},
        {"model", port->model}, {"kind", port->kind == port_kind_hid ? "hid" : "serial"},
        {"node", port->node},   {"access", port->access_ok != 0 ? "ok" : "denied"},
    };
    // The desktop IDE of the distributions reads no properties: it names the
    // board from identificationPrefs and shows prefs as the board's info.
    json prefs = {{"vid", vid}, {"pid", pid}};
    json object = {
        {"address", port->address},
        {"label", label},
        {"protocol", protocol_name},
        {"protocolLabel", protocol_label},
    };
    if (port->serial[0] != '\0') {
        object["hardwareId"] = port->serial;
        properties["serialNumber"] = port->serial;
    }
    object["properties"] = properties;
    object["identificationPrefs"] = prefs;
    if (port->serial[0] != '\0') {
        prefs["iserial"] = port->serial;
    }
    object["prefs"] = prefs;
    return object;
}

std::string port_json(const discovery_port* port) {
    return port_object(port).dump(-1, ' ', false, json::error_handler_t::replace);
}

// Called with output_lock held.
static void event_add(const discovery_port* port) {
    output_json(json{{"eventType", "add"}, {"port", port_object(port)}});
}

// Called with output_lock held. A remove names exactly what its add named.
static void event_remove(const discovery_port* port) {
    output_json(json{{"eventType", "remove"},
                     {"port", {{"address", port->address}, {"protocol", protocol_name}}}});
}

// Watcher thread. Brings the port at the record's address in line with every
// tracked record there except leaving, and tells a client in sync.
static void port_decide(const device_record* record, const device_record* leaving) {
    char address[sizeof discovery_port::address];
    if (port_address_of(record, address, sizeof address) == 0) {
        if (port_kind_of(record) != port_kind_none) {
            trace("port_decide: %s: its address does not fit an OPEN line; never listed\n",
                  record->location);
        }
        return;
    }
    discovery_port port;
    int32_t is_port = port_facts_at(address, leaving, &port);
    (void)pthread_mutex_lock(&output_lock);
    if (is_port != 0) {
        if (port_set_put(&port) == port_change_add && discovery_state == state_syncing) {
            event_add(&port);
        }
    } else {
        discovery_port removed;
        if (port_set_drop(address, &removed) == port_change_remove &&
            discovery_state == state_syncing) {
            event_remove(&removed);
        }
    }
    (void)pthread_mutex_unlock(&output_lock);
}

void discovery_record_changed(const device_record* record) {
    port_decide(record, nullptr);
}

void discovery_record_removing(const device_record* record) {
    port_decide(record, record);
}

void discovery_scan_done() {
    (void)pthread_mutex_lock(&output_lock);
    scan_done = 1;
    (void)pthread_cond_broadcast(&scan_done_changed);
    (void)pthread_mutex_unlock(&output_lock);
}

// Called with output_lock held. Waits up to a second for the initial scan, so
// that a LIST right after start-up names the boards already plugged in.
static void scan_await() {
    timespec deadline{};
    (void)clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 1;
    while (scan_done == 0) {
        if (pthread_cond_timedwait(&scan_done_changed, &output_lock, &deadline) == ETIMEDOUT) {
            return;
        }
    }
}

// Called with output_lock held, in state alive.
static void command_hello(std::string_view line) {
    if (hello_version_of(line) < 0) {
        output_json(reply_error("hello", "Invalid HELLO command"));
        return;
    }
    // The client refuses a version above its own; ours is 1.
    discovery_state = state_idling;
    output_json(json{{"eventType", "hello"}, {"protocolVersion", 1}, {"message", "OK"}});
}

// Called with output_lock held, in state idling. The reply goes first, then
// one add per port known, then the watcher's events.
static void command_start_sync() {
    discovery_state = state_syncing;
    output_json(reply_ok("start_sync"));
    for (const discovery_port* port = port_set; port != nullptr; port = port->next) {
        event_add(port);
    }
}

// Called with output_lock held, in state running.
static void command_list() {
    scan_await();
    json ports = json::array();
    for (const discovery_port* port = port_set; port != nullptr; port = port->next) {
        ports.push_back(port_object(port));
    }
    output_json(json{{"eventType", "list"}, {"ports", ports}});
}

// Called with output_lock held. The error for a known command in the wrong
// state; never state alive, where every command but HELLO is a legacy client's.
static void wrong_state(const char* event_type) {
    if (discovery_state == state_idling) {
        output_json(reply_error(event_type, "Discovery not started"));
    } else if (discovery_state == state_running) {
        output_json(reply_error(event_type, "Discovery already started; STOP it first"));
    } else {
        output_json(reply_error(event_type, "Discovery already syncing; STOP it first"));
    }
}

// Called with output_lock held, in state alive. A client of the protocol
// before version 1 (the desktop IDE that the distributions package) sends no
// HELLO: its START_SYNC, START, LIST or STOP is served as from an idle
// version-1 client, with version-1 replies. 1 when the command is answered.
static int32_t command_run_legacy(discovery_command command) {
    if (command != discovery_command::start && command != discovery_command::start_sync &&
        command != discovery_command::list && command != discovery_command::stop) {
        return 0;
    }
    discovery_state = state_idling;
    if (command == discovery_command::list) {
        command_list();
        return 1;
    }
    if (command == discovery_command::stop) {
        output_json(reply_ok("stop"));
        return 1;
    }
    return 0;
}

// Called with output_lock held.
static int32_t command_run(discovery_command command, std::string_view line) {
    if (discovery_state == state_alive && command_run_legacy(command) != 0) {
        return 1;
    }
    switch (command) {
        case discovery_command::hello:
            if (discovery_state != state_alive) {
                output_json(reply_error("hello", "HELLO already received"));
                return 1;
            }
            command_hello(line);
            return 1;
        case discovery_command::start:
            if (discovery_state != state_idling) {
                wrong_state("start");
                return 1;
            }
            discovery_state = state_running;
            output_json(reply_ok("start"));
            return 1;
        case discovery_command::start_sync:
            if (discovery_state != state_idling) {
                wrong_state("start_sync");
                return 1;
            }
            command_start_sync();
            return 1;
        case discovery_command::stop:
            if (discovery_state != state_running && discovery_state != state_syncing) {
                wrong_state("stop");
                return 1;
            }
            discovery_state = state_idling;
            output_json(reply_ok("stop"));
            return 1;
        case discovery_command::list:
            if (discovery_state != state_running) {
                wrong_state("list");
                return 1;
            }
            command_list();
            return 1;
        case discovery_command::quit:
            output_json(reply_ok("quit"));
            return 0;
        case discovery_command::unknown:
            break;
    }
    std::string message = "Unknown command ";
    message += line_text(line);
    output_json(reply_error("command_error", message));
    return 1;
}

int32_t discovery_execute(std::string_view line) {
    (void)pthread_mutex_lock(&output_lock);
    int32_t go_on = command_run(discovery_command_of(line), line);
    (void)pthread_mutex_unlock(&output_lock);
    return go_on;
}
