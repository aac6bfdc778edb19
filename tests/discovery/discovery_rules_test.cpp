// The discovery's protocol rules, driven through its command entry; the
// output goes to a pipe. The ports and their events are checked end to end in
// discovery_process_test.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "common/copy_bounded.h"
#include "devices/device_records.h"
#include "discovery/protocol.h"

namespace {

using json = nlohmann::json;

// A JSON text in one canonical form (keys sorted), or "invalid: <text>".
std::string canonical(const std::string& text) {
    json value = json::parse(text, nullptr, false);
    return value.is_discarded() ? "invalid: " + text : value.dump();
}

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
        // A client from before version 1 sends no HELLO and gets version 1's replies.
        {state_alive, "START_SYNC\n", R"({"eventType":"start_sync","message":"OK"})",
         state_syncing},
        {state_alive, "START\n", R"({"eventType":"start","message":"OK"})", state_running},
        {state_alive, "LIST\n", R"({"eventType":"list","ports":[]})", state_idling},
        {state_alive, "STOP\n", R"({"eventType":"stop","message":"OK"})", state_idling},
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

// The first of three ports changes: it is announced again, all three stay
// listed in their order, and each unplug, from any place in the list, still
// sends its remove.
TEST_F(DiscoveryRules, AChangedPortKeepsEveryPortListedAndRemovable) {
    std::vector<discovery_port> ports(3);
    for (size_t i = 0; i < ports.size(); ++i) {
        snprintf(ports[i].address, sizeof ports[i].address, "usb1/1-%zu", i + 2);
        snprintf(ports[i].node, sizeof ports[i].node, "/dev/ttyACM%zu", i);
        EXPECT_EQ(port_set_put(&ports[i]), port_change_add);
    }
    ports[0].access_ok = 1;
    EXPECT_EQ(port_set_put(&ports[0]), port_change_add);
    discovery_state = state_running;
    json list = json::parse(answer("LIST\n").at(0), nullptr, false);
    ASSERT_TRUE(list.contains("ports")) << list;
    ASSERT_EQ(list["ports"].size(), 3u) << list;
    for (size_t i = 0; i < ports.size(); ++i) {
        EXPECT_EQ(list["ports"][i]["address"], ports[i].address);
        EXPECT_EQ(list["ports"][i]["properties"]["access"], i == 0 ? "ok" : "denied");
    }
    discovery_state = state_syncing;
    for (size_t i : {1, 0, 2}) {
        device_record record{};
        std::string location = std::string("/sys/devices/") + ports[i].address;
        copy_bounded(record.location, location.c_str(), sizeof record.location);
        discovery_record_removing(&record);
        json remove = {{"eventType", "remove"},
                       {"port", {{"address", ports[i].address}, {"protocol", "murlen"}}}};
        EXPECT_EQ(output(), std::vector<std::string>{remove.dump()}) << ports[i].address;
    }
    EXPECT_EQ(port_set_count(), 0);
}

}  // namespace
