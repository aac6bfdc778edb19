#include "common/tool_arguments.h"
#include "monitor/command_loop.h"

int main(int argc, char** argv) {
    int exit_status = 0;
    if (tool_arguments_read(argc, argv, "murlen-monitor", stdout, stderr, &exit_status) == 0) {
        return exit_status;
    }
    monitor_run();
}
