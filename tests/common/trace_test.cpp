#include "common/trace.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

namespace {

std::string file_text(const std::string& path) {
    std::string text;
    FILE* file = fopen(path.c_str(), "re");
    if (file == nullptr) {
        return text;
    }
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, file)) > 0;) {
        text.append(buf, n);
    }
    fclose(file);
    return text;
}

TEST(Trace, AppendsOneTimestampedLinePerTraceOnlyWhenTheVariableNamesAFile) {
    char path[] = "/tmp/murlen-trace-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "earlier\n", 8), 8);  // kept: lines are appended
    close(fd);

    setenv("MURLEN_TRACE_TEST", path, 1);
    trace_setup("MURLEN_TRACE_TEST");
    errno = EBUSY;
    trace("first %d", 1);
    EXPECT_EQ(errno, EBUSY) << "a trace point changed errno";
    trace("second: %s\n", "ends in a line feed");  // one line all the same
    trace("%s", std::string(5000, 'x').c_str());   // cut, still one line

    // Unset, empty: nothing is written any more.
    unsetenv("MURLEN_TRACE_TEST");
    trace_setup("MURLEN_TRACE_TEST");
    trace("after unset");
    setenv("MURLEN_TRACE_TEST", "", 1);
    trace_setup("MURLEN_TRACE_TEST");
    trace("after empty");
    unsetenv("MURLEN_TRACE_TEST");

    std::string text = file_text(path);
    unlink(path);
    const std::regex stamp("\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}\\.\\d{3}Z ");
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        ASSERT_NE(end, std::string::npos) << "a line without its line feed";
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    ASSERT_EQ(lines.size(), 4u) << text.substr(0, 300);
    EXPECT_EQ(lines[0], "earlier");
    std::smatch match;
    ASSERT_TRUE(std::regex_search(lines[1], match, stamp));
    EXPECT_EQ(match.position(0), 0);
    EXPECT_EQ(lines[1].substr(match.length(0)), "first 1");
    EXPECT_EQ(lines[2].substr(match.length(0)), "second: ends in a line feed");
    EXPECT_GT(lines[3].size(), 1000u);
    EXPECT_EQ(lines[3].find_first_not_of('x', match.length(0)), std::string::npos);
}

}  // namespace
