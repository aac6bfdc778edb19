#include "common/trace.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/os_fakes.h"

namespace {

// Length of the UTC stamp that begins line ("2026-12-08T14:05:09.123Z "), or 0.
size_t stamp_length(const std::string& line) {
    const std::string shape = "dddd-dd-ddTdd:dd:dd.dddZ ";
    if (line.size() < shape.size()) {
        return 0;
    }
    for (size_t i = 0; i < shape.size(); ++i) {
        bool digit = line[i] >= '0' && line[i] <= '9';
        if (shape[i] == 'd' ? !digit : line[i] != shape[i]) {
            return 0;
        }
    }
    return shape.size();
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
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        ASSERT_NE(end, std::string::npos) << "a line without its line feed";
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    ASSERT_EQ(lines.size(), 4u) << text.substr(0, 300);
    EXPECT_EQ(lines[0], "earlier");
    size_t stamp = stamp_length(lines[1]);
    ASSERT_GT(stamp, 0u) << lines[1];
    EXPECT_EQ(lines[1].substr(stamp), "first 1");
    ASSERT_GT(stamp_length(lines[2]), 0u) << lines[2];
    EXPECT_EQ(lines[2].substr(stamp), "second: ends in a line feed");
    EXPECT_GT(lines[3].size(), 1000u);
    EXPECT_EQ(lines[3].find_first_not_of('x', stamp), std::string::npos);
}

}  // namespace
