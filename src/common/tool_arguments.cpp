#include "common/tool_arguments.h"

#include <string_view>

#ifndef MURLEN_VERSION
#error "MURLEN_VERSION must name the project's version"
#endif

int32_t tool_arguments_read(int argc, const char* const* argv, const char* name, FILE* out,
                            FILE* err, int* exit_status) {
    if (argc <= 1) {
        return 1;
    }
    if (argc == 2 && std::string_view(argv[1]) == "--version") {
        (void)fprintf(out, "%s %s\n", name, MURLEN_VERSION);
        (void)fflush(out);
        *exit_status = 0;
        return 0;
    }
    (void)fprintf(err, "usage: %s [--version]\n", name);
    (void)fflush(err);
    *exit_status = 2;
    return 0;
}
