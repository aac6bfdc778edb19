#include "monitor/command_loop.h"

int main() { return monitor_run(); }
