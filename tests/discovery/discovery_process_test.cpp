// The built discovery on simulated boards, driven as the IDE drives it: its
// whole output compared with the expected one, line by line.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "sim/board_sim.h"
#include "support/monitor_process.h"
#include "support/os_fakes.h"
#include "system/port_candidates.h"

namespace {

using json = nlohmann::json;

const char* const location_a = "/devices/pci0000:00/0000:00:14.0/usb1/1-2";
const char* const location_b = "/devices/pci0000:00/0000:00:14.0/usb1/1-3";

// A JSON text in one canonical form (keys sorted), or "invalid: <text>".
std::string canonical(const std::string& text) {
    json value = json::parse(text, nullptr, false);
    return value.is_discarded() ? "invalid: " + text : value.dump();
}

// text with each "@NAME@" of values replaced by its value, JSON-escaped.
std::string filled(std::string text, const std::map<std::string, std::string>& values) {
    for (const auto& [name, value] : values) {
        std::string escaped = json(value).dump();
        escaped = escaped.substr(1, escaped.size() - 2);
        for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at)) {
            text.replace(at, name.size(), escaped);
        }
    }
    return text;
}

class DiscoveryProcess : public ::testing::Test {
protected:
    void SetUp() override {
        (void)board_sim_private_network();
        ASSERT_EQ(board_sim_start(), 1);
        if (!umockdev_in_mock_environment()) {
            GTEST_SKIP() << "needs umockdev-wrapper";
        }
    }

    void TearDown() override {
        monitor_stop(&discovery);
        board_sim_stop();
    }

    void plug(board_sim* b, const char* location, int32_t kind, uint32_t vid, uint32_t pid,
              uint32_t bcd, int32_t interface_number = 0) {
        board_sim_init(b, location, kind, vid, pid, bcd);
        b->interface_number = interface_number;
        ASSERT_EQ(board_sim_plug(b), 1);
    }

    // The next line of output, canonical; "" when none came in time.
    std::string next_line() {
        std::string line = monitor_read_line(discovery, effect_timeout_ms);
        return line.empty() ? "" : canonical(line);
    }

    // Sends a command and keeps the lines it brings, up to count.
    void send(const std::string& line, size_t count) {
        ASSERT_TRUE(monitor_send(discovery, line));
        take(count);
    }

    void take(size_t count) {
        for (size_t i = 0; i < count; ++i) {
            output.push_back(next_line());
        }
    }

    // The output so far, then its end, is expected: its lines after the
    // first line feed, with the nodes filled in.
    void expect_output(const std::string& expected,
                       const std::map<std::string, std::string>& nodes) {
        std::string want;
        for (const std::string& line : output) {
            want += line + "\n";
        }
        std::string lines;
        std::string text = filled(expected.substr(1), nodes);
        for (size_t start = 0, end = text.find('\n'); end != std::string::npos;
             start = end + 1, end = text.find('\n', start)) {
            lines += canonical(text.substr(start, end - start)) + "\n";
        }
        EXPECT_EQ(want, lines + "\n");
    }

    // Asks LIST until its ports name text; no event tells when a plug was seen.
    bool listed(const std::string& text, std::string* list) {
        return eventually([&] {
            *list = monitor_send(discovery, "LIST\n") ? next_line() : "";
            return list->find(text) != std::string::npos;
        });
    }

    monitor_process discovery{-1, -1, -1};
    std::vector<std::string> output;
};

TEST_F(DiscoveryProcess, AnnouncesBoardsAsTheyComeAndGo) {
    board_sim a{};
    board_sim b{};
    board_sim loader{};
    board_sim foreign{};
    board_sim bare{};
    std::map<std::string, std::string> nodes;
    // A serial number as hostile as udev may hand over.
    board_sim_init(&a, location_a, board_kind_tty, 0x16C0, 0x0483, 0x0279);
    snprintf(a.serial, sizeof a.serial, "S\"1\\\x01\xff");
    ASSERT_EQ(board_sim_plug(&a), 1);
    nodes["@A1@"] = a.node;
    plug(&loader, "/devices/pci0000:00/0000:00:14.0/usb1/1-4", board_kind_loader, 0x16C0, 0x0478,
         0x0279);

    discovery = monitor_start(MURLEN_DISCOVERY_PATH);
    ASSERT_GE(discovery.pid, 0);
    send("HELLO 1 \"arduino-cli 1.1.1\"\n", 1);
    // Known before the sync starts: its add follows the sync's reply.
    std::string list;
    send("START\n", 1);
    ASSERT_TRUE(listed("usb1/1-2", &list));
    send("STOP\n", 1);
    send("START_SYNC\n", 2);
    plug(&b, location_b, board_kind_hid_serial, 0x16C0, 0x0486, 0x0274, 1);
    nodes["@B1@"] = b.node;
    take(1);
    // Never ports; the next event shows that they brought none.
    plug(&foreign, "/devices/pci0000:00/0000:00:14.0/usb1/1-5", board_kind_tty, 0x1FC9, 0x0135,
         0x0279);
    plug(&bare, "/devices/pci0000:00/0000:00:14.0/usb1/1-6", board_kind_none, 0x16C0, 0x0483,
         0x0279);
    // An upload: into the loader and back.
    ASSERT_EQ(board_sim_replug_as(&a, board_kind_loader, 0x16C0, 0x0478, 0x0279), 1);
    take(1);
    ASSERT_EQ(board_sim_replug_as(&a, board_kind_tty, 0x16C0, 0x0483, 0x0279), 1);
    nodes["@A2@"] = a.node;
    take(1);
    // Back under another identity.
    ASSERT_EQ(board_sim_replug_as(&a, board_kind_tty, 0x16C0, 0x0487, 0x0277), 1);
    nodes["@A3@"] = a.node;
    take(2);
    ASSERT_EQ(board_sim_unplug(&b), 1);
    take(1);
    send("STOP\n", 1);
    ASSERT_EQ(board_sim_unplug(&a), 1);
    ASSERT_EQ(board_sim_plug(&b), 1);
    nodes["@B2@"] = b.node;
    send("START\n", 1);
    ASSERT_TRUE(listed("usb1/1-3", &list));
    output.push_back(list);
    send("QUIT\n", 1);
    EXPECT_EQ(monitor_wait(&discovery, effect_timeout_ms), 0);
    // Nothing else, ever.
    take(1);

    const std::string expected = R"j(
{"eventType": "hello", "protocolVersion": 1, "message": "OK"}
{"eventType": "start", "message": "OK"}
{"eventType": "stop", "message": "OK"}
{"eventType": "start_sync", "message": "OK"}
{"eventType": "add", "port": {"address": "usb1/1-2", "label": "Murlen F1 at USB 1-2 (@A1@)", "protocol": "murlen", "protocolLabel": "Murlen boards", "hardwareId": "S\"1\\\u0001\ufffd", "properties": {"vid": "0x16c0", "pid": "0x0483", "model": "Murlen F1", "kind": "serial", "node": "@A1@", "access": "ok", "serialNumber": "S\"1\\\u0001\ufffd"}, "identificationPrefs": {"vid": "0x16c0", "pid": "0x0483"}, "prefs": {"vid": "0x16c0", "pid": "0x0483", "iserial": "S\"1\\\u0001\ufffd"}}}
{"eventType": "add", "port": {"address": "usb1/1-3", "label": "Murlen B3 at USB 1-3 (@B1@)", "protocol": "murlen", "protocolLabel": "Murlen boards", "properties": {"vid": "0x16c0", "pid": "0x0486", "model": "Murlen B3", "kind": "hid", "node": "@B1@", "access": "ok"}, "identificationPrefs": {"vid": "0x16c0", "pid": "0x0486"}, "prefs": {"vid": "0x16c0", "pid": "0x0486"}}}
{"eventType": "remove", "port": {"address": "usb1/1-2", "protocol": "murlen"}}
{"eventType": "add", "port": {"address": "usb1/1-2", "label": "Murlen F1 at USB 1-2 (@A2@)", "protocol": "murlen", "protocolLabel": "Murlen boards", "hardwareId": "S\"1\\\u0001\ufffd", "properties": {"vid": "0x16c0", "pid": "0x0483", "model": "Murlen F1", "kind": "serial", "node": "@A2@", "access": "ok", "serialNumber": "S\"1\\\u0001\ufffd"}, "identificationPrefs": {"vid": "0x16c0", "pid": "0x0483"}, "prefs": {"vid": "0x16c0", "pid": "0x0483", "iserial": "S\"1\\\u0001\ufffd"}}}
{"eventType": "remove", "port": {"address": "usb1/1-2", "protocol": "murlen"}}
{"eventType": "add", "port": {"address": "usb1/1-2", "label": "Murlen E1 at USB 1-2 (@A3@)", "protocol": "murlen", "protocolLabel": "Murlen boards", "hardwareId": "S\"1\\\u0001\ufffd", "properties": {"vid": "0x16c0", "pid": "0x0487", "model": "Murlen E1", "kind": "serial", "node": "@A3@", "access": "ok", "serialNumber": "S\"1\\\u0001\ufffd"}, "identificationPrefs": {"vid": "0x16c0", "pid": "0x0487"}, "prefs": {"vid": "0x16c0", "pid": "0x0487", "iserial": "S\"1\\\u0001\ufffd"}}}
{"eventType": "remove", "port": {"address": "usb1/1-3", "protocol": "murlen"}}
{"eventType": "stop", "message": "OK"}
{"eventType": "start", "message": "OK"}
{"eventType": "list", "ports": [{"address": "usb1/1-3", "label": "Murlen B3 at USB 1-3 (@B2@)", "protocol": "murlen", "protocolLabel": "Murlen boards", "properties": {"vid": "0x16c0", "pid": "0x0486", "model": "Murlen B3", "kind": "hid", "node": "@B2@", "access": "ok"}, "identificationPrefs": {"vid": "0x16c0", "pid": "0x0486"}, "prefs": {"vid": "0x16c0", "pid": "0x0486"}}]}
{"eventType": "quit", "message": "OK"}
)j";
    expect_output(expected, nodes);
}

TEST_F(DiscoveryProcess, ServesTheDesktopIdeThatSendsNoHello) {
    // As the distributions' desktop IDE: START_SYNC with no HELLO, an
    // upload, STOP, then its end.
    board_sim a{};
    std::map<std::string, std::string> nodes;
    plug(&a, location_a, board_kind_tty, 0x16C0, 0x0483, 0x0279);
    nodes["@A1@"] = a.node;
    discovery = monitor_start(MURLEN_DISCOVERY_PATH);
    ASSERT_GE(discovery.pid, 0);
    send("START_SYNC\n", 2);
    ASSERT_EQ(board_sim_replug_as(&a, board_kind_loader, 0x16C0, 0x0478, 0x0279), 1);
    take(1);
    ASSERT_EQ(board_sim_replug_as(&a, board_kind_tty, 0x16C0, 0x0483, 0x0279), 1);
    nodes["@A2@"] = a.node;
    take(1);
    send("STOP\n", 1);
    monitor_close_input(&discovery);
    EXPECT_EQ(monitor_wait(&discovery, effect_timeout_ms), 0);
    take(1);
    expect_output(R"j(
{"eventType": "start_sync", "message": "OK"}
{"eventType": "add", "port": {"address": "usb1/1-2", "label": "Murlen F1 at USB 1-2 (@A1@)", "protocol": "murlen", "protocolLabel": "Murlen boards", "properties": {"vid": "0x16c0", "pid": "0x0483", "model": "Murlen F1", "kind": "serial", "node": "@A1@", "access": "ok"}, "identificationPrefs": {"vid": "0x16c0", "pid": "0x0483"}, "prefs": {"vid": "0x16c0", "pid": "0x0483"}}}
{"eventType": "remove", "port": {"address": "usb1/1-2", "protocol": "murlen"}}
{"eventType": "add", "port": {"address": "usb1/1-2", "label": "Murlen F1 at USB 1-2 (@A2@)", "protocol": "murlen", "protocolLabel": "Murlen boards", "properties": {"vid": "0x16c0", "pid": "0x0483", "model": "Murlen F1", "kind": "serial", "node": "@A2@", "access": "ok"}, "identificationPrefs": {"vid": "0x16c0", "pid": "0x0483"}, "prefs": {"vid": "0x16c0", "pid": "0x0483"}}}
{"eventType": "stop", "message": "OK"}
)j",
                  nodes);
}

// Also leaves out the ports whose address an OPEN line would cut: a syspath
// of 240 characters (one more than a record keeps) and an address of 234
// (one more than an OPEN line holds), but lists those one shorter.
TEST_F(DiscoveryProcess, ListsExactlyWhatTheMonitorPublishes) {
    std::vector<board_sim> boards(never_ports.size() + 4);
    for (size_t i = 0; i < never_ports.size(); ++i) {
        const candidate& c = never_ports[i];
        std::string location = "/devices/pci0000:00/0000:00:14.0/usb2/2-" + std::to_string(i + 1);
        plug(&boards[i], location.c_str(), c.kind, c.vid, c.pid, c.bcd, c.interface_number);
    }
    const std::string hub = "/sys/devices/usb3/3-";
    const std::string bare = "/sys/devices/platform/";
    const std::string edges[4] = {
        hub + std::string(239 - hub.size(), '1'), hub + std::string(240 - hub.size(), '2'),
        bare + std::string(233 - bare.size(), 'a'), bare + std::string(234 - bare.size(), 'b')};
    for (size_t i = 0; i < 4; ++i) {
        plug(&boards[never_ports.size() + i], edges[i].c_str(), board_kind_tty, 0x16C0, 0x0483,
             0x279);
    }
    board_sim everything{};
    plug(&everything, location_a, board_kind_tty, 0x16C0, 0x0476, 0x9998);
    std::string trace_path = std::string(board_sim_root()) + "/trace";
    discovery = monitor_start(MURLEN_DISCOVERY_PATH, {"MURLEN_DISCOVERY_TRACE=" + trace_path});
    ASSERT_GE(discovery.pid, 0);
    send("HELLO 1 \"t\"\n", 1);
    send("START\n", 1);
    send("LIST\n", 1);
    json list = json::parse(output.back(), nullptr, false);
    ASSERT_TRUE(list.contains("ports")) << output.back();
    std::set<std::string> addresses;
    for (const json& port : list["ports"]) {
        addresses.insert(port["address"].get<std::string>());
    }
    EXPECT_EQ(addresses, (std::set<std::string>{edges[0].substr(13), edges[2], "usb1/1-2"}));
    // The trace begins with what the start-up scan found, and says what it left out.
    std::string traced = file_text(trace_path);
    EXPECT_EQ(traced.substr(25, traced.find('\n') - 25),
              "murlen-discovery " MURLEN_VERSION ": start-up scan found 13 boards, 5 ports");
    EXPECT_EQ(traced.find("never listed", traced.find("never listed") + 1) != std::string::npos &&
                  traced.find("22: its address does not fit") != std::string::npos,
              true)
        << traced;
}

TEST_F(DiscoveryProcess, ANodeThatCannotBeOpenedIsMarkedUntilItsAccessChanges) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to run the discovery as another user";
    }
    board_sim a{};
    plug(&a, location_a, board_kind_tty, 0x16C0, 0x0483, 0x0279);
    // An ordinary user reads the testbed but may not open the node, which
    // belongs to root with mode 0620, as a pty does.
    std::string open_up = std::string("chmod -R a+rwX ") + board_sim_root();
    ASSERT_EQ(system(open_up.c_str()), 0);
    ASSERT_EQ(chmod(a.node_target, 0620), 0);
    discovery =
        monitor_start("/usr/bin/setpriv", {},
                      {"--reuid=65534", "--regid=65534", "--clear-groups", MURLEN_DISCOVERY_PATH});
    ASSERT_GE(discovery.pid, 0);
    send("HELLO 1 \"t\"\n", 1);
    send("START_SYNC\n", 2);
    json denied = json::parse(output.back(), nullptr, false);
    ASSERT_TRUE(denied.contains("port")) << output.back();
    EXPECT_EQ(denied["port"]["properties"]["access"], "denied");
    EXPECT_EQ(denied["port"]["label"], std::string("Murlen F1 at USB 1-2 (") + a.node +
                                           ": no permission, install the udev rules)");
    // Rules installed and applied: udev says "change", and the port is fresh.
    ASSERT_EQ(chmod(a.node_target, 0666), 0);
    board_sim_announce(&a, "change");
    take(1);
    json granted = json::parse(output.back(), nullptr, false);
    ASSERT_TRUE(granted.contains("port")) << output.back();
    EXPECT_EQ(granted["eventType"], "add");
    EXPECT_EQ(granted["port"]["properties"]["access"], "ok");
    EXPECT_EQ(granted["port"]["label"], std::string("Murlen F1 at USB 1-2 (") + a.node + ")");
    // Reading alone or writing alone is no use: each change of access is news.
    for (mode_t mode : {0604, 0666, 0602}) {
        ASSERT_EQ(chmod(a.node_target, mode), 0);
        board_sim_announce(&a, "change");
        take(1);
        json port = json::parse(output.back(), nullptr, false);
        ASSERT_TRUE(port.contains("port")) << std::oct << mode << ": " << output.back();
        EXPECT_EQ(port["port"]["properties"]["access"], mode == 0666 ? "ok" : "denied") << mode;
    }
}

TEST_F(DiscoveryProcess, EndsWithStatusZeroAtEndOfInputOrOnAClosedOutput) {
    discovery = monitor_start(MURLEN_DISCOVERY_PATH);
    ASSERT_GE(discovery.pid, 0);
    send("HELLO 1 \"t\"\n", 1);
    monitor_close_input(&discovery);
    EXPECT_EQ(monitor_wait(&discovery, effect_timeout_ms), 0);
    monitor_stop(&discovery);

    // The client went away: a write fails, and the process ends without a signal.
    discovery = monitor_start(MURLEN_DISCOVERY_PATH);
    ASSERT_GE(discovery.pid, 0);
    close(discovery.output);
    discovery.output = -1;
    EXPECT_TRUE(monitor_send(discovery, "HELLO 1 \"t\"\n"));
    EXPECT_EQ(monitor_wait(&discovery, effect_timeout_ms), 0);
}

}  // namespace
