#pragma once

// The diagnostic hook. Unless trace_setup found a file to append to, it
// discards its arguments and writes nothing anywhere: standard output carries
// the protocol replies alone. The format attribute lets the compiler check
// every trace point.
void trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Called once at start-up, before any other thread runs. When the environment
// variable variable_name names a file, every later trace appends one line to it:
// the UTC time to the millisecond, then the formatted text. Unset or empty, or
// a file that cannot be opened: trace writes nothing. A later call replaces
// the earlier choice.
void trace_setup(const char* variable_name);

// Called after trace_setup, before any other thread runs: every later trace
// line is held back until trace_release, so that its line comes first. tool
// names the program for that line; a static text.
void trace_hold(const char* tool);

// Writes "TOOL VERSION: " and the formatted text as a trace line, then the
// lines held since trace_hold (those beyond its room are counted, not kept);
// later lines are written at once. Without a hold, one more trace line.
void trace_release(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The text of a possibly absent string, for trace arguments.
inline const char* text_or_none(const char* text) {
    return text != nullptr ? text : "(none)";
}
