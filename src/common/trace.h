#pragma once

// The diagnostic hook. It discards its arguments and writes nothing anywhere:
// standard output carries the protocol replies alone. The format attribute
// still lets the compiler check every trace point.
void trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The text of a possibly absent string, for trace arguments.
inline const char* text_or_none(const char* text) {
    return text != nullptr ? text : "(none)";
}
