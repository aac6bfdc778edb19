// Fuzzes the discovery's command reader: an input is lines of commands, each
// answered as the process answers it. Every line gets exactly one reply, a
// JSON object on one line whose event names the command, in every state.

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "discovery/protocol.h"

namespace {

void require(bool holds, const char* what) {
    if (!holds) {
        fprintf(stderr, "FINDING: %s\n", what);
        abort();
    }
}

// The event a reply to line names: the command's, by the line's first word
// (the line ends at CR or LF; trailing blanks are no part of it).
std::string event_of(std::string_view line) {
    std::string_view text = line.substr(0, line.find_first_of("\r\n"));
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    std::string_view word = text.substr(0, text.find(' '));
    static constexpr std::string_view commands[][2] = {
        {"HELLO", "hello"}, {"START", "start"},           {"STOP", "stop"},
        {"LIST", "list"},   {"START_SYNC", "start_sync"}, {"QUIT", "quit"},
    };
    for (const auto& command : commands) {
        if (word == command[0]) {
            return std::string(command[1]);
        }
    }
    return "command_error";
}

int reader = -1;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (reader < 0) {
        int ends[2];
        require(pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0, "no pipe");
        reader = ends[0];
        discovery_output_fd = ends[1];
        discovery_scan_done();
    }
    discovery_state = state_alive;
    std::string_view input(reinterpret_cast<const char*>(data), size);
    while (!input.empty()) {
        // A line ends at its line feed, and at most 1023 bytes are one line,
        // as the process reads them (it drops the rest; here it is a line too).
        size_t end = input.find('\n');
        size_t length = end == std::string_view::npos ? input.size() : end + 1;
        length = length > 1023 ? 1023 : length;
        std::string_view line = input.substr(0, length);
        input.remove_prefix(length);
        int32_t go_on = discovery_execute(line);
        static char buffer[1 << 16];
        ssize_t n = read(reader, buffer, sizeof buffer);
        require(n > 0, "a line went unanswered");
        std::string text(buffer, static_cast<size_t>(n));
        require(text.find('\n') == text.size() - 1, "not one reply on one line");
        nlohmann::json reply = nlohmann::json::parse(text, nullptr, false);
        require(reply.is_object() && reply.contains("eventType"), "a reply that is no event");
        std::string event = event_of(line);
        require(reply["eventType"] == event, "the reply names another event");
        require(go_on == (event == "quit" ? 0 : 1), "QUIT alone ends the session");
    }
    return 0;
}
