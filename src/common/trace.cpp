#include "common/trace.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

// The trace file, or -1: written by trace_setup before other threads exist,
// only read afterwards.
static int trace_fd = -1;

// One line is formatted whole and written with one call, so that lines of
// different threads never interleave in an append-only file.
static constexpr int trace_line_size = 2048;

void trace_setup(const char* variable_name) {
    if (trace_fd >= 0) {
        (void)close(trace_fd);
        trace_fd = -1;
    }
    const char* path = getenv(variable_name);
    if (path == nullptr || path[0] == '\0') {
        return;
    }
    trace_fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
}

void trace(const char* format, ...) {
    if (trace_fd < 0) {
        return;
    }
    // A trace point never changes what its caller reads from errno next.
    int saved_errno = errno;
    char line[trace_line_size];
    timespec now{};
    (void)clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    (void)gmtime_r(&now.tv_sec, &utc);
    int length = snprintf(line, sizeof line, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ ",
                          utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                          utc.tm_sec, static_cast<int>(now.tv_nsec / 1000000));
    va_list args;
    va_start(args, format);
    int text = vsnprintf(line + length, sizeof line - static_cast<size_t>(length), format, args);
    va_end(args);
    if (text > 0) {
        length += text;
    }
    if (length > trace_line_size - 2) {
        length = trace_line_size - 2;  // cut, keeping room for the line feed
    }
    // Some trace formats end in line feeds of their own; each trace is one line.
    while (length > 0 && line[length - 1] == '\n') {
        length -= 1;
    }
    line[length] = '\n';
    (void)write(trace_fd, line, static_cast<size_t>(length) + 1);
    errno = saved_errno;
}
