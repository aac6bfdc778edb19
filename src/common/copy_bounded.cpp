#include "common/copy_bounded.h"

#include <cstring>

void copy_bounded(char* dst, const char* src, size_t size) {
    size_t n = strlen(src);
    if (n + 1 < size) {
        memcpy(dst, src, n + 1);
        return;
    }
    memcpy(dst, src, size - 1);
    dst[size - 1] = '\0';
}
