// Fuzzes the discovery's command reader: an input is lines of commands, each
// answered as the process answers it. Every line gets exactly one reply, a
// JSON object on one line whose event names the command, in every state.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
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

// The event a reply to line names: its first word's, in lower case, when
// that is a command (the line ends at CR or LF, without trailing blanks).
std::string event_of(std::string_view line) {
    std::string_view text = line.substr(0, line.find_first_of("\r\n"));
    text = text.substr(0, text.find_last_not_of(" \t") + 1);
    std::string word(text.substr(0, text.find(' ')));
    for (const char* command : {"HELLO", "START", "STOP", "LIST", "START_SYNC", "QUIT"}) {
        if (word == command) {
            for (char& c : word) {
                c = static_cast<char>(tolower(c));
            }
            return word;
        }
    }
    return "command_error";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static int reader = -1;
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
        std::string_view line = input.substr(0, std::min(input.find('\n'), size_t{1022}) + 1);
        input.remove_prefix(line.size());
        int32_t go_on = discovery_execute(line);
        static char buffer[1 << 16];
        ssize_t n = read(reader, buffer, sizeof buffer);
        require(n > 0 && buffer[n - 1] == '\n', "a line went unanswered");
        std::string_view text(buffer, static_cast<size_t>(n) - 1);
        nlohmann::json reply = nlohmann::json::parse(text, nullptr, false);
        std::string event = event_of(line);
        require(text.find('\n') == std::string_view::npos && reply.is_object() &&
                    reply["eventType"] == event,
                "not one reply on one line that names the command's event");
        require(go_on == (event == "quit" ? 0 : 1), "QUIT alone ends the session");
    }
    return 0;
}
