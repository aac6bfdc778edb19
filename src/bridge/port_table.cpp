#include "bridge/port_table.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "bridge/opener.h"
#include "common/copy_bounded.h"
#include "common/trace.h"

// The command loop (main thread) and port publishing (watcher thread) call
// the table's operations with port_lock held; bridge_open (on the opener
// thread), bridge_let_go, bridge_drop and relays_await run with no lock,
// since they open, close or wait. A relay works
// on its own duplicates of the endpoints and of its opening's pipes; only when
// the board's node fails under it does it take port_lock, to close the board
// side of its own opening.
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
port_entry* device_entry = nullptr;
char device_node[1280];
dev_t device_node_dev = 0;
ino_t device_node_ino = 0;
uint32_t bridge_generation = 0;
uint32_t selection_generation = 0;

// One opening of a node at a time: a second caller of bridge_open waits for
// the first to finish, with port_lock released, rather than open the node
// beside it (a HID board would get two feature reports).
static int32_t bridge_opening = 0;
static pthread_cond_t bridge_opening_done = PTHREAD_COND_INITIALIZER;

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

int thread_start_detached(void* (*body)(void*), void* arg) {
    pthread_attr_t attr;
    pthread_t thread;
    int error = pthread_attr_init(&attr);
    if (error == 0) {
        (void)pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        error = pthread_create(&thread, &attr, body, arg);
        (void)pthread_attr_destroy(&attr);
    }
    return error;
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
    args->generation = bridge_generation;
    if (endpoint_duplicate(source, &args->source) == 0 ||
        endpoint_duplicate(destination, &args->destination) == 0 || args->stop_fd < 0 ||
        args->let_go_fd < 0 || (relay_let_go_fd >= 0 && args->after_fd < 0)) {
        trace("relay_start: %s: cannot duplicate its descriptors", label);
        relay_args_release(args);
        return;
    }
    // Detached: nothing waits for a relay, and thousands of openings must not
    // leave thousands of finished threads behind.
    int error = thread_start_detached(relay_thread, args);
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

int32_t relays_stop() {
    // Closing the write end makes every relay's stop descriptor readable.
    close_if_open(relay_stop_fd);
    relay_stop_fd = -1;
    return duplicate_fd(relay_let_go_fd);
}

int32_t bridge_close(endpoint* closed) {
    if (closed != nullptr) {
        *closed = device_endpoint;
        endpoint_reset(&device_endpoint);
    } else {
        endpoint_discard(&device_endpoint);
    }
    device_entry = nullptr;
    device_node[0] = '\0';
    return relays_stop();
}

void port_select(const char* address) {
    // The same address again is the same selection: an opening in progress
    // for it goes on and is installed for the new connection, never dropped
    // and begun again (a HID board would get two feature reports).
    if (strncmp(selected_address, address, sizeof selected_address - 1) == 0) {
        return;
    }
    copy_bounded(selected_address, address, sizeof selected_address);
    selection_generation += 1;
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
    int64_t deadline = monotonic_ms() + relay_let_go_wait_ms;
    for (;;) {
        int64_t left = deadline - monotonic_ms();
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

void bridge_let_go(endpoint* closed, int32_t let_go_fd) {
    if (closed != nullptr) {
        endpoint_discard(closed);
    }
    relays_await(let_go_fd);
}

void bridge_drop(endpoint* closed, int32_t let_go_fd) {
    endpoint_discard(closed);
    close_if_open(let_go_fd);
}

// What bridge_open read of its entry under port_lock.
struct entry_view {
    char node[1280];
    int32_t is_serial;
    int32_t is_hid;
    uint32_t selection;
};

// Called with port_lock held. 1 when entry still is what view saw.
static int32_t entry_unchanged(const port_entry* entry, const entry_view* view) {
    return entry->is_serial == view->is_serial && entry->is_hid == view->is_hid &&
                   strcmp(entry->devnode, view->node) == 0 &&
                   selection_generation == view->selection
               ? 1
               : 0;
}

// Opens the node that view names; 1, or 0 with errno set.
static int32_t node_open(endpoint* opened, const entry_view* view) {
    if (view->is_serial != 0) {
        return endpoint_open_serial(opened, view->node);
    }
    return endpoint_open_hid(opened, view->node);
}

// Called with port_lock held: the opened node becomes the board side of
// entry, and with the IDE connected its relays start.
static void bridge_install(port_entry* entry, const endpoint* opened) {
    device_endpoint = *opened;
    device_entry = entry;
    copy_bounded(device_node, entry->devnode, sizeof device_node);
    struct stat node {};
    if (fstat(opened->fd, &node) == 0) {
        device_node_dev = node.st_dev;
        device_node_ino = node.st_ino;
    } else {
        device_node_dev = 0;
        device_node_ino = 0;
    }
    bridge_generation += 1;
    if (ide_endpoint.fd >= 0) {
        if (entry->is_serial != 0) {
            start_relays("Arduino -> Serial", "Serial -> Arduino");
        } else {
            start_relays("Arduino -> HID", "HID -> Arduino");
        }
    }
}

int32_t bridge_open(port_entry* entry, bridge_failure* failure) {
    if (failure != nullptr) {
        failure->error = 0;
        failure->node[0] = '\0';
    }
    entry_view view{};
    port_lock_acquire();
    while (bridge_opening != 0) {
        (void)pthread_cond_wait(&bridge_opening_done, &port_lock);
    }
    if (device_endpoint.fd >= 0) {
        port_lock_release();
        return 1;
    }
    if ((entry->is_serial == 0 && entry->is_hid == 0) ||
        address_matches(entry->address, selected_address) == 0) {
        port_lock_release();
        return 0;  // withdrawn (its device is gone), or no longer selected
    }
    copy_bounded(view.node, entry->devnode, sizeof view.node);
    view.is_serial = entry->is_serial;
    view.is_hid = entry->is_hid;
    view.selection = selection_generation;
    bridge_opening = 1;
    port_lock_release();

    endpoint opened;
    int32_t ok = node_open(&opened, &view);
    int error = errno;
    port_lock_acquire();
    bridge_opening = 0;
    (void)pthread_cond_broadcast(&bridge_opening_done);
    if (ok == 0) {
        port_lock_release();
        trace("bridge_open: can not open %s: %s", view.node, strerror(error));
        if (failure != nullptr) {
            failure->error = error;
            copy_bounded(failure->node, view.node, sizeof failure->node);
        }
        return 0;
    }
    if (device_endpoint.fd < 0 && entry_unchanged(entry, &view) != 0) {
        bridge_install(entry, &opened);
        port_lock_release();
        return 1;
    }
    int32_t open_now = device_endpoint.fd >= 0 ? 1 : 0;
    port_lock_release();
    // The selection or the entry changed while the node was opened: this
    // opening is dropped, without the lock; the opener tries the entry anew.
    trace("bridge_open: %s opened after the bridge changed; dropped", view.node);
    endpoint_discard(&opened);
    return open_now;
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

// How a relay ended.
enum class relay_end { stopped, source_failed, destination_failed };

// 1 for an error that passes by itself: a signal, a descriptor not ready, a
// HID write that timed out, a HID report without text. Anything else (end of
// stream, EIO, ENODEV, EBADF, a connection reset) will not heal.
static int32_t is_passing_error(int error) {
    return error == EINTR || error == EAGAIN || error == EWOULDBLOCK || error == ETIMEDOUT ||
                   error == ENODATA
               ? 1
               : 0;
}

// Writes the n bytes of buffer, retrying passing errors. relay_end::stopped
// stands for success when the stop has not come.
static int32_t relay_write(relay_args* args, char* buffer, int32_t n, relay_end* end) {
    int32_t done = 0;
    while (done < n) {
        int32_t written =
            endpoint_write(&args->destination, buffer + done, n - done, args->stop_fd);
        int error = errno;
        if (written > 0) {
            done += written;  // a HID report counts 32, however short its text
            continue;
        }
        if (is_readable_now(args->stop_fd) != 0) {
            *end = relay_end::stopped;
            return 0;
        }
        if (is_passing_error(error) == 0) {
            trace("relay_copy: %s: write: %s", args->label, strerror(error));
            *end = relay_end::destination_failed;
            return 0;
        }
    }
    return 1;
}

// Runs on the relay thread: copies until the stop or an error that will not heal.
static relay_end relay_copy(relay_args* args) {
    // Toward a HID board a pass never reads more than one output report; from
    // a HID board a read stores a whole input report and its terminator.
    int32_t limit = args->destination.is_hid != 0 ? hid_output_report_size : relay_buffer_size;
    char buffer[relay_buffer_size + 1];
    for (;;) {
        int32_t n = endpoint_read(&args->source, buffer, limit, args->stop_fd);
        if (n > 0) {
            relay_end end = relay_end::stopped;
            if (relay_write(args, buffer, n, &end) == 0) {
                return end;
            }
            continue;
        }
        int error = errno;
        if (is_readable_now(args->stop_fd) != 0) {
            return relay_end::stopped;
        }
        if (is_passing_error(error) == 0) {
            trace("relay_copy: %s: read: %s", args->label,
                  error == 0 ? "end of stream" : strerror(error));
            return relay_end::source_failed;
        }
    }
}

// Called with port_lock held. 1 when the entry's path now names another node
// than the one the board side holds: a node that replaced it while its
// removal event was lost, under the same path. A path that is gone, or still
// names the failed node (an unplug in progress), gives 0.
static int32_t entry_names_new_node(const port_entry* entry) {
    if (entry == nullptr || (entry->is_serial == 0 && entry->is_hid == 0)) {
        return 0;
    }
    struct stat node {};
    if (stat(entry->devnode, &node) != 0) {
        return 0;
    }
    return node.st_dev != device_node_dev || node.st_ino != device_node_ino ? 1 : 0;
}

// Runs on a relay thread whose board node failed. Closes the board side if
// it still is the relay's own opening, so that CLOSE tells the truth and the
// next publication reopens it. A new node that was published before the old
// one failed gets no further publication: the opener is asked to open it.
static void relay_board_failed(const relay_args* args) {
    endpoint closed;
    endpoint_reset(&closed);
    int32_t let_go = -1;
    port_lock_acquire();
    if (device_endpoint.fd >= 0 && bridge_generation == args->generation) {
        trace("relay: %s: the board's node %s failed; board side closed", args->label, device_node);
        port_entry* entry = device_entry;
        int32_t renewed = entry_names_new_node(entry);
        let_go = bridge_close(&closed);
        if (renewed != 0) {
            bridge_want(entry, "a new node took the failed one's path");
        } else {
            bridge_unwant();  // the board is going: its next publication asks again
        }
    }
    port_lock_release();
    endpoint_discard(&closed);
    // This relay is one of those the let-go pipe waits for: no wait here.
    close_if_open(let_go);
}

void* relay_thread(void* args) {
    auto* relay = static_cast<relay_args*>(args);
    relay_end end = relay_end::stopped;
    if (relay_wait_turn(relay) != 0) {
        end = relay_copy(relay);
    }
    const endpoint* failed = end == relay_end::source_failed        ? &relay->source
                             : end == relay_end::destination_failed ? &relay->destination
                                                                    : nullptr;
    // A failed IDE connection leaves the board side as it is.
    if (failed != nullptr && failed->is_socket == 0) {
        relay_board_failed(relay);
    }
    if (end == relay_end::stopped) {
        // The last close of a tty must not wait for bytes that will never be read.
        endpoint_discard(&relay->source);
        endpoint_discard(&relay->destination);
    }
    // Closing the let-go write end here is what tells the opening's waiters.
    relay_args_release(relay);
    return nullptr;
}
