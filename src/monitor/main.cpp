#include "monitor/command_loop.h"

int main() {
    monitor_run();
}
