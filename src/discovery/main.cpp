#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "common/tool_arguments.h"
#include "common/trace.h"
#include "devices/watcher.h"
#include "discovery/protocol.h"

// Never joined: the watcher ends with the process.
static pthread_t watcher_handle;

// Longest command line kept whole; the rest of a longer line is dropped and
// the line answered as a command it cannot be.
static constexpr size_t line_size = 1024;

// Watcher thread: tracks the boards present, tells the command loop, then follows events.
static void* discovery_watcher_thread(void* unused) {
    (void)unused;
    udev_setup();
    discovery_scan_done();
    watcher_follow();
    return nullptr;
}

// Reads lines until QUIT, end of input or a read error.
static void command_loop() {
    char line[line_size];
    while (fgets(line, sizeof line, stdin) != nullptr) {
        size_t length = strlen(line);
        if (length == sizeof line - 1 && line[length - 1] != '\n') {
            // Skip the rest of an overlong line.
            int c = 0;
            while ((c = fgetc(stdin)) != EOF && c != '\n') {
            }
        }
        if (discovery_execute(std::string_view(line, length)) == 0) {
            return;
        }
    }
}

int main(int argc, char** argv) {
    int exit_status = 0;
    if (tool_arguments_read(argc, argv, "murlen-discovery", stdout, stderr, &exit_status) == 0) {
        return exit_status;
    }
    trace_setup("MURLEN_DISCOVERY_TRACE");
    // The start-up scan's summary comes first.
    trace_hold("murlen-discovery");
    // A closed output shows as a failed write, which ends the process quietly.
    (void)signal(SIGPIPE, SIG_IGN);
    watcher_hooks = {discovery_record_changed, discovery_record_changed, discovery_record_removing,
                     discovery_record_changed};
    (void)pthread_create(&watcher_handle, nullptr, discovery_watcher_thread, nullptr);
    command_loop();
    // The watcher may sit in a system call or a hook: nothing is torn down behind it.
    (void)pthread_mutex_lock(&output_lock);
    _exit(0);
}
