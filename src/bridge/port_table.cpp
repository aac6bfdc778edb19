#include "bridge/port_table.h"

#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/trace.h"

// The command loop (main thread) and port publishing (watcher thread) call
// everything here with port_lock held, except relays_await, which runs with
// no lock. Relay threads take no lock and touch no global: each works on its
// own duplicates of the endpoints and of its opening's pipes.
//
// Each opening with the IDE connected has two pipes. The stop pipe: the table
// keeps its write end (relay_stop_fd), each relay a copy of its read end;
// closing the write end stops them all at once. The let-go pipe: each relay
// keeps a copy of its write end until it has closed everything else, the
// table keeps its read end (relay_let_go_fd), which reports end of file once
// every relay of the opening has let go.

pthread_mutex_t port_lock;
port_entry* port_list = nullptr;
char selected_address[1024];
endpoint device_endpoint = {0, 0, 0, -1};
endpoint ide_endpoint = {0, 0, 0, -1};
int32_t relay_stop_fd = -1;
int32_t relay_let_go_fd = -1;

// How long relays_await gives the relays of a closed opening, in milliseconds.
static constexpr int64_t relay_let_go_wait_ms = 2000;

void port_lock_acquire() {
    (void)pthread_mutex_lock(&port_lock);
}
void port_lock_release() {
    (void)pthread_mutex_unlock(&port_lock);
}

int32_t address_matches(const char* address, const char* wanted) {
    if (address == nullptr || wanted == nullptr || address[0] == '\0' || wanted[0] == '\0') {
        return 0;
    }
    std::string_view whole(address);
    if (whole == wanted) {
        return 1;
    }
    // The tail is cut from the address only, at its first "/usb".
    size_t at = whole.find("/usb");
    if (at == std::string_view::npos) {
        return 0;
    }
    return whole.substr(at + 1) == wanted ? 1 : 0;
}

int32_t bridge_open(port_entry* entry) {
    if (device_endpoint.fd >= 0) {
        return 1;
    }
    const char* ide_to_board = nullptr;
    const char* board_to_ide = nullptr;
    if (entry->is_serial != 0) {
        if (endpoint_open_serial(&device_endpoint, entry->devnode) == 0) {
            return 0;
        }
        ide_to_board = "Arduino -> Serial";
        board_to_ide = "Serial -> Arduino";
    } else if (entry->is_hid != 0) {
        if (endpoint_open_hid(&device_endpoint, entry->devnode) == 0) {
            return 0;
        }
        ide_to_board = "Arduino -> HID";
        board_to_ide = "HID -> Arduino";
    } else {
        return 0;  // withdrawn: its device is gone
    }
    if (ide_endpoint.fd >= 0) {
        start_relays(ide_to_board, board_to_ide);
    }
    return 1;
}

// Closes fd if it is one; for descriptors that one record or global owns.
static void close_if_open(int32_t fd) {
    if (fd >= 0) {
        (void)close(fd);
    }
}

// A duplicate of fd for a relay, or -1 (also for fd -1).
static int32_t duplicate_fd(int32_t fd) {
    if (fd < 0) {
        return -1;
    }
    int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
        trace("duplicate_fd: %s", strerror(errno));
    }
    return copy;
}

// Closes every descriptor of args and frees it. Called by the relay at its
// end, or by start_relays for a relay that could not be started.
static void relay_args_release(relay_args* args) {
    endpoint_close(&args->source);
    endpoint_close(&args->destination);
    close_if_open(args->stop_fd);
    close_if_open(args->let_go_fd);
    close_if_open(args->after_fd);
    free(args);
}

// Called with port_lock held. Starts one detached relay from source to
// destination on duplicates of everything it needs; the opening's own
// descriptors stay with the caller. A relay that cannot be made is skipped.
static void relay_start(const endpoint* source, const endpoint* destination, const char* label,
                        int32_t stop_fd, int32_t let_go_fd) {
    auto* args = static_cast<relay_args*>(calloc(1, sizeof(relay_args)));
    if (args == nullptr) {
        trace("relay_start: %s: no memory", label);
        return;
    }
    endpoint_reset(&args->source);
    endpoint_reset(&args->destination);
    args->label = label;
    args->stop_fd = duplicate_fd(stop_fd);
    args->let_go_fd = duplicate_fd(let_go_fd);
    args->after_fd = duplicate_fd(relay_let_go_fd);
    if (endpoint_duplicate(source, &args->source) == 0 ||
        endpoint_duplicate(destination, &args->destination) == 0 || args->stop_fd < 0 ||
        args->let_go_fd < 0 || (relay_let_go_fd >= 0 && args->after_fd < 0)) {
        trace("relay_start: %s: cannot duplicate its descriptors", label);
        relay_args_release(args);
        return;
    }
    // Detached: nothing waits for a relay, and thousands of openings must not
    // leave thousands of finished threads behind.
    pthread_attr_t attr;
    pthread_t thread;
    int error = pthread_attr_init(&attr);
    if (error == 0) {
        (void)pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        error = pthread_create(&thread, &attr, relay_thread, args);
        (void)pthread_attr_destroy(&attr);
    }
    if (error != 0) {
        trace("relay_start: %s: %s", label, strerror(error));
        relay_args_release(args);
    }
}

void start_relays(const char* ide_to_board_label, const char* board_to_ide_label) {
    // An opening whose relays were never told to stop (its board side was
    // closed without bridge_close) is stopped now, before new relays exist.
    close_if_open(relay_stop_fd);
    relay_stop_fd = -1;
    int stop_pipe[2];
    if (pipe2(stop_pipe, O_CLOEXEC) != 0) {
        trace("start_relays: stop pipe: %s", strerror(errno));
        return;
    }
    int let_go_pipe[2];
    if (pipe2(let_go_pipe, O_CLOEXEC) != 0) {
        trace("start_relays: let-go pipe: %s", strerror(errno));
        close(stop_pipe[0]);
        close(stop_pipe[1]);
        return;
    }
    relay_start(&ide_endpoint, &device_endpoint, ide_to_board_label, stop_pipe[0], let_go_pipe[1]);
    relay_start(&device_endpoint, &ide_endpoint, board_to_ide_label, stop_pipe[0], let_go_pipe[1]);
    // The relays hold their own copies; the table keeps the stop pipe's write
    // end and the let-go pipe's read end, which the next opening chains on.
    close(stop_pipe[0]);
    close(let_go_pipe[1]);
    close_if_open(relay_let_go_fd);
    relay_stop_fd = stop_pipe[1];
    relay_let_go_fd = let_go_pipe[0];
}

int32_t bridge_close() {
    if (device_endpoint.fd >= 0) {
        endpoint_close(&device_endpoint);
    }
    // Closing the write end makes every relay's stop descriptor readable.
    close_if_open(relay_stop_fd);
    relay_stop_fd = -1;
    return duplicate_fd(relay_let_go_fd);
}

static int64_t now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

// 1 when fd is readable right now: a stop that has come, or a let-go pipe
// at end of file (nothing is ever written to either).
static int32_t is_readable_now(int32_t fd) {
    pollfd pfd = {fd, POLLIN, 0};
    return poll(&pfd, 1, 0) > 0 ? 1 : 0;
}

void relays_await(int32_t let_go_fd) {
    if (let_go_fd < 0) {
        return;
    }
    int64_t deadline = now_ms() + relay_let_go_wait_ms;
    for (;;) {
        int64_t left = deadline - now_ms();
        if (left <= 0) {
            trace("relays_await: relays still hold their descriptors");
            break;
        }
        pollfd pfd = {let_go_fd, POLLIN, 0};
        int n = poll(&pfd, 1, static_cast<int>(left));
        if (n < 0 && errno != EINTR) {
            trace("relays_await: poll: %s", strerror(errno));
            break;
        }
        if (n <= 0) {
            continue;
        }
        // Nothing is ever written to a let-go pipe: readable means end of file.
        char byte;
        ssize_t got = read(let_go_fd, &byte, 1);
        if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) {
            break;
        }
    }
    close(let_go_fd);
    // Once the latest opening's relays have all let go, no later opening has
    // to wait for them: the table drops its read end, so a closed bridge holds
    // no descriptor. A brief span; the caller holds no lock.
    port_lock_acquire();
    if (relay_let_go_fd >= 0 && is_readable_now(relay_let_go_fd) != 0) {
        close(relay_let_go_fd);
        relay_let_go_fd = -1;
    }
    port_lock_release();
}

// Runs on the relay thread before any byte moves: waits until every relay of
// the previous opening has let go, so that none of them can take a byte that
// belongs to this one. A stopped relay still waits, since the previous
// opening was stopped before this one began and its relays end promptly;
// that keeps the order across a chain of openings. 1 when it may relay.
static int32_t relay_wait_turn(relay_args* args) {
    if (args->after_fd < 0) {
        return 1;
    }
    int32_t stopped = 0;
    pollfd fds[2] = {{args->after_fd, POLLIN, 0}, {args->stop_fd, POLLIN, 0}};
    for (;;) {
        int n = poll(fds, stopped != 0 ? 1 : 2, -1);
        if (n < 0 && errno != EINTR) {
            trace("relay_wait_turn: %s: poll: %s", args->label, strerror(errno));
            return 0;
        }
        if (n <= 0) {
            continue;
        }
        if (fds[0].revents != 0) {
            break;
        }
        stopped = 1;
    }
    close(args->after_fd);
    args->after_fd = -1;
    return stopped != 0 || is_readable_now(args->stop_fd) != 0 ? 0 : 1;
}

// Runs on the relay thread: copies until the stop or the tenth failed pass.
static void relay_copy(relay_args* args) {
    // Toward a HID board a pass never reads more than one output report; from
    // a HID board a read stores a whole input report and its terminator.
    int32_t limit = args->destination.is_hid != 0 ? hid_output_report_size : relay_buffer_size;
    char buffer[relay_buffer_size + 1];
    int32_t failures = 0;
    for (;;) {
        int32_t n = endpoint_read(&args->source, buffer, limit, args->stop_fd);
        if (n > 0 && endpoint_write(&args->destination, buffer, n, args->stop_fd) != 0) {
            continue;
        }
        if (is_readable_now(args->stop_fd) != 0) {
            return;
        }
        // Counted over the relay's whole life, never reset by a success.
        failures += 1;
        if (failures >= relay_failure_limit) {
            trace("relay_copy: %s: %d failed passes", args->label, static_cast<int>(failures));
            return;
        }
    }
}

void* relay_thread(void* args) {
    auto* relay = static_cast<relay_args*>(args);
    if (relay_wait_turn(relay) != 0) {
        relay_copy(relay);
    }
    // Closing the let-go write end here is what tells the opening's waiters.
    relay_args_release(relay);
    return nullptr;
}
