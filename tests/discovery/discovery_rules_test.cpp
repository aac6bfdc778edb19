// The discovery's own rules, driven through its command entry and watcher
// hooks with records built here; the output goes to a pipe.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "common/copy_bounded.h"
#include "devices/device_records.h"
#include "discovery/port_set.h"
#include "discovery/protocol.h"

namespace {

using json = nlohmann::json;

const char* const address_a = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";
const char* const address_b = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-3.4";

// A record as node selection leaves it.
device_record record_of(const char* location, const char* devnode, uint32_t pid, uint32_t bcd,
                        const char* subsystem, int32_t ifacenum, int32_t model) {
    device_record record{};
    copy_bounded(record.location, location, sizeof record.location);
    copy_bounded(record.devnode, devnode, sizeof record.devnode);
    record.vid = 0x16C0;
    record.pid = pid;
    record.bcd = bcd;
    record.subsystem = subsystem;
    record.ifacenum = ifacenum;
    record.model = model;
    return record;
}

device_record tty_board(const char* location, const char* devnode) {
    return record_of(location, devnode, 0x0483, 0x0279, "tty", 0, 36);
}

device_record hid_board(const char* location, const char* devnode) {
    return record_of(location, devnode, 0x0486, 0x0274, "hidraw", 1, 29);
}

// A JSON text in one canonical form (keys sorted), or "invalid: <text>".
std::string canonical(const std::string& text) {
    json value = json::parse(text, nullptr, false);
    return value.is_discarded() ? "invalid: " + text : value.dump();
}

std::string add_of(const std::string& port) {
    return canonical(R"({"eventType": "add", "port": )" + port + "}");
}

std::string remove_of(const char* address) {
    return canonical(R"({"eventType": "remove", "port": {"address": ")" + std::string(address) +
                     R"(", "protocol": "murlen"}})");
}

const std::string port_a =
    R"j({"address": "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2",
        "label": "Murlen F1 at USB 1-2 (/dev/ttyACM0)", "protocol": "murlen",
        "protocolLabel": "Murlen boards",
        "properties": {"vid": "0x16c0", "pid": "0x0483", "model": "Murlen F1", "kind": "serial",
                       "node": "/dev/ttyACM0", "access": "ok"}})j";
const std::string port_a_moved =
    R"j({"address": "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2",
        "label": "Murlen F1 at USB 1-2 (/dev/ttyACM1)", "protocol": "murlen",
        "protocolLabel": "Murlen boards",
        "properties": {"vid": "0x16c0", "pid": "0x0483", "model": "Murlen F1", "kind": "serial",
                       "node": "/dev/ttyACM1", "access": "ok"}})j";
const std::string port_b =
    R"j({"address": "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-3.4",
        "label": "Murlen B3 at USB 1-3.4 (/dev/hidraw2)", "protocol": "murlen",
        "protocolLabel": "Murlen boards",
        "properties": {"vid": "0x16c0", "pid": "0x0486", "model": "Murlen B3", "kind": "hid",
                       "node": "/dev/hidraw2", "access": "ok"}})j";

class DiscoveryRules : public ::testing::Test {
protected:
    void SetUp() override {
        int ends[2];
        ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
        reader = ends[0];
        discovery_output_fd = ends[1];
        ASSERT_EQ(fcntl(reader, F_SETFL, O_NONBLOCK), 0);
        discovery_state = state_alive;
        discovery_scan_done();
    }

    void TearDown() override {
        discovery_port gone{};
        while (port_set != nullptr) {
            (void)port_set_drop(port_set->address, &gone);
        }
        close(reader);
        close(discovery_output_fd);
        discovery_output_fd = 1;
    }

    // Every line written since the last call, each in canonical form.
    std::vector<std::string> output() {
        std::string text;
        char chunk[4096];
        ssize_t n = 0;
        while ((n = read(reader, chunk, sizeof chunk)) > 0) {
            text.append(chunk, static_cast<size_t>(n));
        }
        std::vector<std::string> lines;
        size_t start = 0;
        for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
            lines.push_back(canonical(text.substr(start, end - start)));
            start = end + 1;
        }
        EXPECT_EQ(start, text.size()) << "output ends inside a line";
        return lines;
    }

    // Sends one line and returns everything it wrote.
    std::vector<std::string> answer(const std::string& line) {
        EXPECT_EQ(discovery_execute(line), line.rfind("QUIT", 0) == 0 ? 0 : 1) << line;
        return output();
    }

    int reader = -1;
};

TEST_F(DiscoveryRules, EveryCommandIsAnsweredInEveryState) {
    struct row {
        int32_t state;
        const char* line;
        const char* reply;
        int32_t state_after;
    };
    const row rows[] = {
        {state_alive, "HELLO 1 \"arduino-cli 1.0.0\"\n",
         R"({"eventType":"hello","protocolVersion":1,"message":"OK"})", state_idling},
        // A client that speaks a later version still gets ours.
        {state_alive, "HELLO 2 \"later\"\r\n",
         R"({"eventType":"hello","protocolVersion":1,"message":"OK"})", state_idling},
        {state_alive, "HELLO\n",
         R"({"eventType":"hello","error":true,"message":"Invalid HELLO command"})", state_alive},
        {state_alive, "HELLO 1x \"a\"\n",
         R"({"eventType":"hello","error":true,"message":"Invalid HELLO command"})", state_alive},
        {state_alive, "START_SYNC\n",
         R"({"eventType":"start_sync","error":true,"message":"HELLO must come first"})",
         state_alive},
        {state_alive, "LIST\n",
         R"({"eventType":"list","error":true,"message":"HELLO must come first"})", state_alive},
        {state_idling, "HELLO 1 \"again\"\n",
         R"({"eventType":"hello","error":true,"message":"HELLO already received"})", state_idling},
        {state_idling, "START\n", R"({"eventType":"start","message":"OK"})", state_running},
        {state_idling, "START_SYNC\n", R"({"eventType":"start_sync","message":"OK"})",
         state_syncing},
        {state_idling, "STOP\n",
         R"({"eventType":"stop","error":true,"message":"Discovery not started"})", state_idling},
        {state_idling, "LIST\n",
         R"({"eventType":"list","error":true,"message":"Discovery not started"})", state_idling},
        {state_running, "LIST\n", R"({"eventType":"list","ports":[]})", state_running},
        {state_running, "START\n",
         R"({"eventType":"start","error":true,"message":"Discovery already started; STOP it first"})",
         state_running},
        {state_running, "START_SYNC\n",
         R"({"eventType":"start_sync","error":true,"message":"Discovery already started; STOP it first"})",
         state_running},
        {state_running, "STOP\n", R"({"eventType":"stop","message":"OK"})", state_idling},
        {state_syncing, "LIST\n",
         R"({"eventType":"list","error":true,"message":"Discovery already syncing; STOP it first"})",
         state_syncing},
        {state_syncing, "START_SYNC\n",
         R"({"eventType":"start_sync","error":true,"message":"Discovery already syncing; STOP it first"})",
         state_syncing},
        {state_syncing, "STOP\n", R"({"eventType":"stop","message":"OK"})", state_idling},
        {state_syncing, "QUIT\n", R"({"eventType":"quit","message":"OK"})", state_syncing},
        {state_alive, "QUIT\n", R"({"eventType":"quit","message":"OK"})", state_alive},
        // Commands are whole upper-case words; anything else is no command.
        {state_running, "list\n",
         R"({"eventType":"command_error","error":true,"message":"Unknown command list"})",
         state_running},
        {state_alive, "LISTEN\n",
         R"({"eventType":"command_error","error":true,"message":"Unknown command LISTEN"})",
         state_alive},
        {state_idling, "\n",
         R"({"eventType":"command_error","error":true,"message":"Unknown command "})",
         state_idling},
        // A line of bytes that are not UTF-8 still gets valid JSON back.
        {state_idling, "\"\\\xff\x01\n",
         R"({"eventType":"command_error","error":true,"message":"Unknown command \"\\\ufffd\u0001"})",
         state_idling},
    };
    for (const row& r : rows) {
        discovery_state = r.state;
        EXPECT_EQ(answer(r.line), std::vector<std::string>{canonical(r.reply)}) << r.line;
        EXPECT_EQ(discovery_state, r.state_after) << r.line;
    }
}

TEST_F(DiscoveryRules, EventsFollowRealChangesOnlyAndOnlyInSync) {
    device_record a = tty_board(address_a, "/dev/ttyACM0");
    device_record b = hid_board(address_b, "/dev/hidraw2");
    EXPECT_EQ(answer("HELLO 1 \"t\"\n").size(), 1u);
    // Known before the sync: no event, but part of the burst after the reply.
    discovery_record_changed(&a);
    EXPECT_TRUE(output().empty());
    EXPECT_EQ(answer("START_SYNC\n"),
              (std::vector<std::string>{canonical(R"({"eventType":"start_sync","message":"OK"})"),
                                        add_of(port_a)}));
    // The same facts again are no change.
    discovery_record_changed(&a);
    discovery_record_changed(&b);
    EXPECT_EQ(output(), std::vector<std::string>{add_of(port_b)});
    // Another node at the same address: a fresh add, no remove first.
    device_record a_moved = tty_board(address_a, "/dev/ttyACM1");
    discovery_record_changed(&a_moved);
    EXPECT_EQ(output(), std::vector<std::string>{add_of(port_a_moved)});

    // Into the loader: a remove naming what was added; back: an add.
    device_record loader = record_of(address_a, "/dev/hidraw3", 0x0478, 0x0279, "hidraw", 0, 36);
    discovery_record_changed(&loader);
    discovery_record_removing(&loader);
    EXPECT_EQ(output(), std::vector<std::string>{remove_of(address_a)});
    discovery_record_changed(&a);
    EXPECT_EQ(output(), std::vector<std::string>{add_of(port_a)});

    // Records that are no port never show: no node, a foreign vendor, the USB device's own node.
    device_record none = tty_board("/sys/devices/x/usb1/1-5", "[no_device]");
    device_record foreign = tty_board("/sys/devices/x/usb1/1-6", "/dev/ttyACM5");
    foreign.vid = 0x1FC9;
    device_record own =
        record_of("/sys/devices/x/usb1/1-7", "/dev/bus/usb/001/007", 0x0483, 0x0279, "usb", -1, 0);
    discovery_record_changed(&none);
    discovery_record_changed(&foreign);
    discovery_record_changed(&own);
    discovery_record_removing(&own);
    EXPECT_TRUE(output().empty());

    // A child gone leaves the USB device's own node: the port is gone, once.
    device_record b_bare =
        record_of(address_b, "/dev/bus/usb/001/009", 0x0486, 0x0274, "usb", -1, 29);
    discovery_record_changed(&b_bare);
    discovery_record_removing(&b_bare);
    EXPECT_EQ(output(), std::vector<std::string>{remove_of(address_b)});

    // Stopped: the set follows the boards silently, and LIST tells it.
    EXPECT_EQ(answer("STOP\n").size(), 1u);
    discovery_record_changed(&b);
    discovery_record_removing(&a);
    EXPECT_TRUE(output().empty());
    EXPECT_EQ(answer("START\n").size(), 1u);
    EXPECT_EQ(answer("LIST\n"), std::vector<std::string>{
                                    canonical(R"({"eventType":"list","ports":[)" + port_b + "]}")});
}

TEST_F(DiscoveryRules, PortObjectsStayValidJsonWhateverTheDeviceSays) {
    struct row {
        const char* serial;
        const char* expected;  // the serial as the client reads it back
    };
    const row rows[] = {
        {"", nullptr},
        {"0123456789", "0123456789"},
        {"a\"b\\c", "a\"b\\c"},
        {"tab\there\x01\x1f", "tab\there\x01\x1f"},
        // Bytes that are not UTF-8 become U+FFFD; valid sequences pass.
        {"\xff\xfe caf\xc3\xa9 \xc3", "\xef\xbf\xbd\xef\xbf\xbd caf\xc3\xa9 \xef\xbf\xbd"},
    };
    for (const row& r : rows) {
        discovery_port port{};
        copy_bounded(port.address, "/sys/devices/x/usb3/3-1.2", sizeof port.address);
        copy_bounded(port.node, "/dev/hidraw\xff", sizeof port.node);
        copy_bounded(port.serial, r.serial, sizeof port.serial);
        copy_bounded(port.model, "Murlen G2", sizeof port.model);
        port.vid = 0x16C0;
        port.pid = 0x04D3;
        port.kind = 2;
        port.access_ok = 0;
        json value = json::parse(port_json(&port), nullptr, false);
        ASSERT_FALSE(value.is_discarded()) << r.serial;
        EXPECT_EQ(value["label"],
                  "Murlen G2 at USB 3-1.2 (/dev/hidraw\xef\xbf\xbd: no permission)");
        EXPECT_EQ(value["properties"]["access"], "denied");
        EXPECT_EQ(value["properties"]["pid"], "0x04d3");
        EXPECT_EQ(value["properties"]["kind"], "hid");
        if (r.expected == nullptr) {
            EXPECT_FALSE(value.contains("hardwareId"));
            EXPECT_FALSE(value["properties"].contains("serialNumber"));
        } else {
            EXPECT_EQ(value["hardwareId"], r.expected);
            EXPECT_EQ(value["properties"]["serialNumber"], r.expected);
        }
    }
}

}  // namespace
