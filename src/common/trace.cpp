#include "common/trace.h"

#include <fcntl.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// The trace file, or -1: written by trace_setup before other threads exist,
// only read afterwards.
static int trace_fd = -1;

// One line is formatted whole and written with one call, so that lines of
// different threads never interleave in an append-only file.
static constexpr int trace_line_size = 2048;

// The lines held until trace_release, and the tool it names. held is set by
// trace_hold before other threads exist and cleared under held_lock; a line
// that finds it set takes held_lock to learn whether it still is.
static std::atomic<int32_t> held{0};
static pthread_mutex_t held_lock = PTHREAD_MUTEX_INITIALIZER;
static const char* held_tool = "";
static constexpr size_t held_size = 128 * 1024;
static char held_lines[held_size];
static size_t held_length = 0;
static int32_t held_dropped = 0;

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

// Formats one line, stamp and line feed included, into line (trace_line_size
// bytes); its length.
__attribute__((format(printf, 2, 0))) static size_t trace_format(char* line, const char* format,
                                                                 va_list args) {
    timespec now{};
    (void)clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    (void)gmtime_r(&now.tv_sec, &utc);
    int length = snprintf(line, trace_line_size, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ ",
                          utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                          utc.tm_sec, static_cast<int>(now.tv_nsec / 1000000));
    int text =
        vsnprintf(line + length, trace_line_size - static_cast<size_t>(length), format, args);
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
    return static_cast<size_t>(length) + 1;
}

// Formats one line with trace_format; its length.
__attribute__((format(printf, 2, 3))) static size_t trace_line(char* line, const char* format,
                                                               ...) {
    va_list args;
    va_start(args, format);
    size_t length = trace_format(line, format, args);
    va_end(args);
    return length;
}

// Keeps a line while lines are held; 0 when they no longer are.
static int32_t trace_keep(const char* line, size_t length) {
    if (held.load(std::memory_order_acquire) == 0) {
        return 0;
    }
    (void)pthread_mutex_lock(&held_lock);
    int32_t kept = held.load(std::memory_order_relaxed);
    if (kept != 0 && held_length + length <= held_size) {
        memcpy(held_lines + held_length, line, length);
        held_length += length;
    } else if (kept != 0) {
        held_dropped += 1;
    }
    (void)pthread_mutex_unlock(&held_lock);
    return kept;
}

void trace(const char* format, ...) {
    if (trace_fd < 0) {
        return;
    }
    // A trace point never changes what its caller reads from errno next.
    int saved_errno = errno;
    char line[trace_line_size];
    va_list args;
    va_start(args, format);
    size_t length = trace_format(line, format, args);
    va_end(args);
    if (trace_keep(line, length) == 0) {
        (void)write(trace_fd, line, length);
    }
    errno = saved_errno;
}

void trace_hold(const char* tool) {
    held_tool = tool;
    held_length = 0;
    held_dropped = 0;
    held.store(trace_fd >= 0 ? 1 : 0, std::memory_order_release);
}

void trace_release(const char* format, ...) {
    if (trace_fd < 0) {
        return;
    }
    int saved_errno = errno;
    char text[trace_line_size];
    va_list args;
    va_start(args, format);
    (void)vsnprintf(text, sizeof text, format, args);
    va_end(args);
    (void)pthread_mutex_lock(&held_lock);
    if (held.load(std::memory_order_relaxed) == 0) {
        (void)pthread_mutex_unlock(&held_lock);
        trace("%s", text);
        errno = saved_errno;
        return;
    }
    char line[trace_line_size];
    size_t length = trace_line(line, "%s %s: %s", held_tool, MURLEN_VERSION, text);
    (void)write(trace_fd, line, length);
    (void)write(trace_fd, held_lines, held_length);
    if (held_dropped > 0) {
        length = trace_line(line, "%d more lines of the start-up were not kept", held_dropped);
        (void)write(trace_fd, line, length);
    }
    held.store(0, std::memory_order_release);
    (void)pthread_mutex_unlock(&held_lock);
    errno = saved_errno;
}
