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

// The text of a possibly absent string, for trace arguments.
inline const char* text_or_none(const char* text) {
    return text != nullptr ? text : "(none)";
}
