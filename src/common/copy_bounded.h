#pragma once

#include <cstddef>

// Copies the terminated text src into dst, a buffer of size bytes (size >= 1);
// always terminates it, cutting a longer text to its first size - 1 characters.
void copy_bounded(char* dst, const char* src, size_t size);
