#include "common/trace.h"

void trace(const char* format, ...) {
    (void)format;
}
