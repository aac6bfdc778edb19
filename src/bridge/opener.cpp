#include "bridge/opener.h"

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/trace.h"

// Everything here is guarded by port_lock. The opener thread holds it only
// between tries: bridge_open opens the node with no lock held.

int32_t bridge_wanted = 0;

// The entry whose board side is wanted, or null. Entries are never freed.
static port_entry* wanted_entry = nullptr;
// 1 from a request until the opener takes it: it tries at once, also with
// no IDE connected, and starts its pauses anew.
static int32_t opener_pending = 0;
static const char* opener_reason = "";
// 1 while the opener is in bridge_open.
static int32_t opener_trying = 0;
// Tries finished, and what the latest one failed with, and when it ended.
static uint32_t opener_tries = 0;
static bridge_failure opener_failure{};
static int64_t opener_failure_ms = 0;
// The opener waits on opener_wake; a try's end is told on opener_progress.
// Both time their waits on the monotonic clock.
static pthread_cond_t opener_wake;
static pthread_cond_t opener_progress;
// The process whose opener thread runs: a forked child starts its own.
static pid_t opener_owner = 0;

int64_t monotonic_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

// Called with port_lock held: waits on cond until it is told or until
// at_ms on the monotonic clock.
static void wait_until(pthread_cond_t* cond, int64_t at_ms) {
    timespec at = {static_cast<time_t>(at_ms / 1000), static_cast<long>(at_ms % 1000) * 1000000L};
    (void)pthread_cond_timedwait(cond, &port_lock, &at);
}

// Called with port_lock held. The entry to open now, or null when the board
// side is not wanted, the side is open, the entry is withdrawn or no longer
// selected, or, but for a request, the IDE is gone: a request is tried once
// whatever the IDE, and tried again only while the IDE is connected.
static port_entry* opener_target() {
    if (bridge_wanted == 0 || device_endpoint.fd >= 0 || wanted_entry == nullptr ||
        (opener_pending == 0 && ide_endpoint.fd < 0)) {
        return nullptr;
    }
    if ((wanted_entry->is_serial == 0 && wanted_entry->is_hid == 0) ||
        address_matches(wanted_entry->address, selected_address) == 0) {
        return nullptr;
    }
    return wanted_entry;
}

// Called with port_lock held: one try on entry, with the lock released
// around it; the waiters of opener_progress hear how it ended. 1 when it
// failed to open the node.
static int32_t opener_try(port_entry* entry) {
    opener_trying = 1;
    port_lock_release();
    bridge_failure failure{};
    int32_t open = bridge_open(entry, &failure);
    port_lock_acquire();
    opener_trying = 0;
    opener_tries += 1;
    opener_failure = failure;
    opener_failure_ms = monotonic_ms();
    (void)pthread_cond_broadcast(&opener_progress);
    return open == 0 && failure.error != 0 ? 1 : 0;
}

static void* opener_thread(void* unused) {
    (void)unused;
    port_lock_acquire();
    int32_t pause_ms = 0;  // before the next try; 0 right after a request
    int64_t due_ms = 0;
    for (;;) {
        if (opener_pending != 0) {
            pause_ms = 0;
            due_ms = 0;
        }
        port_entry* entry = opener_target();
        if (entry == nullptr) {
            opener_pending = 0;
            (void)pthread_cond_wait(&opener_wake, &port_lock);
            continue;
        }
        if (monotonic_ms() < due_ms) {
            wait_until(&opener_wake, due_ms);
            continue;
        }
        opener_pending = 0;
        if (pause_ms == 0) {
            trace("opener: opening %s: %s", entry->devnode, opener_reason);
        } else {
            trace("opener: opening %s again after %d ms", entry->devnode, pause_ms);
        }
        if (opener_try(entry) != 0) {
            pause_ms = pause_ms == 0 ? opener_first_pause_ms : pause_ms * 2;
            pause_ms = pause_ms < opener_last_pause_ms ? pause_ms : opener_last_pause_ms;
            due_ms = monotonic_ms() + pause_ms;
        } else {
            // Opened, or dropped because the entry or the selection changed
            // meanwhile: the loop sees which, and tries a changed entry at once.
            pause_ms = 0;
            due_ms = 0;
        }
    }
}

void opener_start() {
    if (opener_owner == getpid()) {
        return;
    }
    pthread_condattr_t attr;
    (void)pthread_condattr_init(&attr);
    (void)pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    (void)pthread_cond_init(&opener_wake, &attr);
    (void)pthread_cond_init(&opener_progress, &attr);
    (void)pthread_condattr_destroy(&attr);
    // Nothing waits for it: it runs as long as the process.
    int error = thread_start_detached(opener_thread, nullptr);
    if (error != 0) {
        trace("opener_start: %s", strerror(error));
        return;  // the next request tries again
    }
    opener_owner = getpid();
}

// Called with port_lock held.
static void opener_ask(const char* reason) {
    opener_start();
    opener_pending = 1;
    opener_reason = reason;
    (void)pthread_cond_signal(&opener_wake);
}

uint32_t bridge_want(port_entry* entry, const char* reason) {
    bridge_wanted = 1;
    wanted_entry = entry;
    opener_ask(reason);
    return opener_tries;
}

void bridge_poke(const char* reason) {
    if (bridge_wanted != 0) {
        opener_ask(reason);
    }
}

void bridge_unwant() {
    bridge_wanted = 0;
}

// Called with port_lock held. 1 when the latest try, finished after since,
// failed in a way that OPEN reports now.
static int32_t is_failure_to_report(uint32_t since, int64_t started_ms) {
    if (opener_tries == since || opener_failure.error == 0) {
        return 0;
    }
    return opener_failure.error != EBUSY || opener_failure_ms - started_ms >= busy_retry_ms ? 1 : 0;
}

int32_t bridge_await(uint32_t since, int64_t started_ms, int64_t deadline_ms,
                     bridge_failure* failure) {
    failure->error = 0;
    failure->node[0] = '\0';
    port_lock_acquire();
    opener_start();
    int32_t open = 0;
    for (;;) {
        if (device_endpoint.fd >= 0) {
            open = 1;
            break;
        }
        if (is_failure_to_report(since, started_ms) != 0) {
            *failure = opener_failure;
            break;
        }
        if ((opener_trying == 0 && opener_target() == nullptr) || monotonic_ms() >= deadline_ms) {
            break;
        }
        wait_until(&opener_progress, deadline_ms);
    }
    port_lock_release();
    return open;
}
