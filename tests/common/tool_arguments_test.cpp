#include "common/tool_arguments.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// Everything written to a temporary file, from its start.
std::string file_text(FILE* file) {
    std::string text;
    rewind(file);
    int c = 0;
    while ((c = fgetc(file)) != EOF) {
        text.push_back(static_cast<char>(c));
    }
    return text;
}

struct arguments_case {
    std::vector<const char*> argv;
    int32_t runs;
    int exit_status;
    std::string out;
    std::string err;
};

}  // namespace

TEST(ToolArguments, RunsOnlyWithoutArgumentsAndAnswersEverythingElse) {
    const std::string version = std::string("murlen-monitor ") + MURLEN_VERSION + "\n";
    const std::string usage = "usage: murlen-monitor [--version | --help]\n";
    const std::string help =
        usage +
        "The IDE drives murlen-monitor through standard input, one command a "
        "line, and\nreads a JSON reply to each on standard output. Type first: "
        "HELLO 1 \"me\"\nthen DESCRIBE, OPEN 127.0.0.1:PORT ADDRESS, CLOSE, "
        "QUIT.\nDocs: README.md (\"A session by hand\") and docs/ide-integration.md "
        "in\nthe murlen-monitor sources.\n";
    const std::vector<arguments_case> cases = {
        {{"murlen-monitor"}, 1, -1, "", ""},
        {{"murlen-monitor", "--version"}, 0, 0, version, ""},
        {{"murlen-monitor", "--version", "--version"}, 0, 2, "", usage},
        {{"murlen-monitor", "--version", "x"}, 0, 2, "", usage},
        {{"murlen-monitor", "--versio"}, 0, 2, "", usage},
        {{"murlen-monitor", "--version="}, 0, 2, "", usage},
        {{"murlen-monitor", "-v"}, 0, 2, "", usage},
        {{"murlen-monitor", "--help"}, 0, 0, help, ""},
        {{"murlen-monitor", ""}, 0, 2, "", usage},
        {{"murlen-monitor", "x", "--version"}, 0, 2, "", usage},
    };
    for (const arguments_case& c : cases) {
        SCOPED_TRACE(c.argv.size() > 1 ? c.argv[1] : "(no argument)");
        FILE* out = tmpfile();
        FILE* err = tmpfile();
        ASSERT_NE(out, nullptr);
        ASSERT_NE(err, nullptr);
        int exit_status = -1;
        EXPECT_EQ(tool_arguments_read(static_cast<int>(c.argv.size()), c.argv.data(),
                                      "murlen-monitor", out, err, &exit_status),
                  c.runs);
        EXPECT_EQ(exit_status, c.exit_status);
        EXPECT_EQ(file_text(out), c.out);
        EXPECT_EQ(file_text(err), c.err);
        fclose(out);
        fclose(err);
    }
}

TEST(ToolArguments, NamesTheToolItWasGiven) {
    FILE* out = tmpfile();
    ASSERT_NE(out, nullptr);
    const char* argv[] = {"/any/path/to/it", "--version"};
    int exit_status = -1;
    EXPECT_EQ(tool_arguments_read(2, argv, "murlen-discovery", out, stderr, &exit_status), 0);
    EXPECT_EQ(exit_status, 0);
    EXPECT_EQ(file_text(out), std::string("murlen-discovery ") + MURLEN_VERSION + "\n");
    fclose(out);
}
