#include "common/tool_arguments.h"

#include <array>
#include <string_view>

#ifndef MURLEN_VERSION
#error "MURLEN_VERSION must name the project's version"
#endif

// The commands a person types after HELLO, for each tool.
struct tool_help_row {
    std::string_view name;
    const char* commands;
};

constexpr std::array<tool_help_row, 2> tool_help_table{{
    {"murlen-monitor", "DESCRIBE, OPEN 127.0.0.1:PORT ADDRESS, CLOSE, QUIT"},
    {"murlen-discovery", "START_SYNC (or START, LIST), STOP, QUIT"},
}};

static void tool_help_write(const char* name, FILE* out) {
    const char* commands = "QUIT";
    for (const tool_help_row& row : tool_help_table) {
        if (row.name == name) {
            commands = row.commands;
        }
    }
    (void)fprintf(out,
                  "usage: %s [--version | --help]\n"
                  "The IDE drives %s through standard input, one command a line, and\n"
                  "reads a JSON reply to each on standard output. Type first: HELLO 1 \"me\"\n"
                  "then %s.\n"
                  "Docs: README.md (\"A session by hand\") and docs/ide-integration.md in\n"
                  "the murlen-monitor sources.\n",
                  name, name, commands);
}

int32_t tool_arguments_read(int argc, const char* const* argv, const char* name, FILE* out,
                            FILE* err, int* exit_status) {
    if (argc <= 1) {
        return 1;
    }
    if (argc == 2 && std::string_view(argv[1]) == "--version") {
        (void)fprintf(out, "%s %s\n", name, MURLEN_VERSION);
        (void)fflush(out);
        *exit_status = 0;
        return 0;
    }
    if (argc == 2 && std::string_view(argv[1]) == "--help") {
        tool_help_write(name, out);
        (void)fflush(out);
        *exit_status = 0;
        return 0;
    }
    (void)fprintf(err, "usage: %s [--version | --help]\n", name);
    (void)fflush(err);
    *exit_status = 2;
    return 0;
}
