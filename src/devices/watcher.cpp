#include "devices/watcher.h"

#include <libudev.h>
#include <poll.h>
#include <sys/socket.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>

#include "common/copy_bounded.h"
#include "common/trace.h"
#include "devices/device_records.h"
#include "devices/identification.h"
#include "devices/port_rule.h"

// Everything here runs on the watcher thread: it alone calls libudev and owns
// device_list, its records and udev_monitor, so none of them takes a lock.
// The hooks take whatever locks they need; no lock is held when they run.

struct udev_monitor* udev_monitor = nullptr;
watcher_hook_set watcher_hooks = {nullptr, nullptr, nullptr, nullptr};

// Calls hook with record when the program has set it.
static void hook_call(void (*hook)(const device_record*), const device_record* record) {
    if (hook != nullptr) {
        hook(record);
    }
}

// The subsystems whose devices can belong to a board, in the order they are
// subscribed and enumerated.
static const char* const watched_subsystems[] = {"usb", "tty", "hid", "hidraw"};

// Consecutive failed waits that end the thread.
static constexpr int32_t wait_failure_limit = 11;

// Receives that a drain after lost events makes at most.
static constexpr int32_t drain_limit = 100000;

// The receive buffer asked for the monitor's socket, in bytes: room for some
// tens of thousands of events while the watcher is busy. The kernel grants
// it only up to its limit for the user, or whole to a privileged process.
static constexpr int monitor_buffer_size = 16 * 1024 * 1024;

[[noreturn]] void fatal_exit(const char* message) {
    // The message is for a reader of the code: standard output carries the
    // protocol replies alone and there is no log.
    (void)message;
    exit(1);
}

// Parses text the way the scanning format "%x" does: leading white space, an
// optional 0x or 0X, then hexadecimal digits up to the first non-digit.
// 1 with the value, or 0 when there are no digits or the value needs more
// than 32 bits.
static int32_t parse_hex(const char* text, uint32_t* value) {
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) {
        ++p;
    }
    // "0x" followed by no digit is the number 0 with "x" left over.
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && isxdigit(static_cast<unsigned char>(p[2]))) {
        p += 2;
    }
    uint32_t parsed = 0;
    auto [end, error] = std::from_chars(p, p + strlen(p), parsed, 16);
    if (error != std::errc{} || end == p) {
        return 0;
    }
    *value = parsed;
    return 1;
}

int32_t read_usb_ids(struct udev_device* device, uint32_t* vid, uint32_t* pid, uint32_t* bcd) {
    *vid = 0;
    *pid = 0;
    *bcd = 0;
    // device: borrowed from the caller; the attribute texts live as long as it.
    const char* vendor = udev_device_get_sysattr_value(device, "idVendor");
    const char* product = udev_device_get_sysattr_value(device, "idProduct");
    const char* release = udev_device_get_sysattr_value(device, "bcdDevice");
    if (vendor == nullptr || product == nullptr || release == nullptr) {
        return 0;
    }
    if (parse_hex(vendor, vid) == 0 || parse_hex(product, pid) == 0 ||
        parse_hex(release, bcd) == 0) {
        return 0;
    }
    return 1;
}

// 1 when device's syspath is the whole text syspath; device is borrowed.
static int32_t has_syspath(struct udev_device* device, const char* syspath) {
    const char* own = udev_device_get_syspath(device);
    return own != nullptr && strcmp(own, syspath) == 0 ? 1 : 0;
}

// Appends record at the tail of the list headed by *head.
static void record_append(device_record** head, device_record* record) {
    if (*head == nullptr) {
        *head = record;
        return;
    }
    device_record* last = *head;
    while (last->next != nullptr) {
        last = last->next;
    }
    last->next = record;
    record->prev = last;
}

// Unlinks record from the list headed by *head.
static void record_unlink(device_record** head, device_record* record) {
    if (record->next != nullptr) {
        record->next->prev = record->prev;
    }
    if (record->prev != nullptr) {
        record->prev->next = record->next;
    } else {
        *head = record->next;
    }
}

// The first record whose USB device has the syspath, or null.
static device_record* record_of(const char* syspath) {
    for (device_record* record = device_list; record != nullptr; record = record->next) {
        if (has_syspath(record->udev_device, syspath) != 0) {
            return record;
        }
    }
    return nullptr;
}

// An add of a USB device already tracked, as a replay or an event queued
// before lost events brings it: the record takes the new handle and keeps its
// children, and the hooks hear of it as of any add. device: owned; stored in
// the record, whose earlier handle is released.
static void usb_device_refreshed(device_record* record, struct udev_device* device, uint32_t vid,
                                 uint32_t pid, uint32_t bcd) {
    const char* syspath = udev_device_get_syspath(device);
    if (vid != record->vid || pid != record->pid || bcd != record->bcd) {
        // Another device sits where the tracked one was, whose remove never
        // came: the tracked one leaves first, and this one arrives anew.
        trace("add device: %s replaced; the tracked one leaves\n", syspath);
        device_removed(syspath);
        device_added(device);
        return;
    }
    udev_device_unref(record->udev_device);
    record->udev_device = device;
    trace("add device: %s already tracked; refreshed\n", syspath);
    device_select_node(record);
    hook_call(watcher_hooks.record_added, record);
}

// A USB device: tracked as a new record when it is a board. device: owned;
// stored in the record or released here.
static void usb_device_added(struct udev_device* device, const char* syspath, const char* subsystem,
                             const char* devtype) {
    uint32_t vid = 0;
    uint32_t pid = 0;
    uint32_t bcd = 0;
    if (read_usb_ids(device, &vid, &pid, &bcd) == 0 || is_board_id(vid, pid) == 0) {
        udev_device_unref(device);
        return;
    }
    device_record* known = record_of(syspath);
    if (known != nullptr) {
        usb_device_refreshed(known, device, vid, pid, bcd);
        return;
    }
    auto* record = static_cast<device_record*>(calloc(1, sizeof(device_record)));
    if (record == nullptr) {
        trace("usb_device_added: no memory for %s\n", syspath);
        udev_device_unref(device);
        return;
    }
    // The record owns device from here until it is freed.
    record->udev_device = device;
    record->vid = vid;
    record->pid = pid;
    record->bcd = bcd;
    copy_bounded(record->location, syspath, sizeof record->location);
    record_append(&device_list, record);
    trace("add device: subsys=%s, type=%s, location=%s\n", subsystem, text_or_none(devtype),
          syspath);
    device_select_node(record);
    hook_call(watcher_hooks.record_added, record);
}

// A device below a USB device: attached to the board's first record when that
// board is tracked. device: owned; stored in a child record or released here.
static void child_added(struct udev_device* device, const char* syspath, const char* subsystem,
                        const char* devtype) {
    // parent: borrowed from device, never released here.
    struct udev_device* parent =
        udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_device");
    if (parent == nullptr) {
        udev_device_unref(device);
        return;
    }
    uint32_t vid = 0;
    uint32_t pid = 0;
    uint32_t bcd = 0;
    const char* parent_syspath = udev_device_get_syspath(parent);
    if (read_usb_ids(parent, &vid, &pid, &bcd) == 0 || is_board_id(vid, pid) == 0 ||
        parent_syspath == nullptr) {
        udev_device_unref(device);
        return;
    }
    // A child whose board has no record yet is dropped for good.
    device_record* record = record_of(parent_syspath);
    if (record == nullptr) {
        udev_device_unref(device);
        return;
    }
    auto* child = static_cast<device_record*>(calloc(1, sizeof(device_record)));
    if (child == nullptr) {
        trace("child_added: no memory for %s\n", syspath);
        udev_device_unref(device);
        return;
    }
    // The child record owns device from here until it is freed.
    child->udev_device = device;
    record_append(&record->children, child);
    trace("add child:  subsys=%s, type=%s, location=%s\n", subsystem, text_or_none(devtype),
          syspath);
    trace("  parent location=%s\n", parent_syspath);
    device_select_node(record);
    hook_call(watcher_hooks.record_added, record);
}

void device_added(struct udev_device* device) {
    // device: owned; it ends up in a record or is released before return.
    const char* syspath = udev_device_get_syspath(device);
    const char* subsystem = udev_device_get_subsystem(device);
    if (syspath == nullptr || subsystem == nullptr) {
        udev_device_unref(device);
        return;
    }
    const char* devtype = udev_device_get_devtype(device);
    if (strcmp(subsystem, "usb") == 0 && devtype != nullptr && strcmp(devtype, "usb_device") == 0) {
        usb_device_added(device, syspath, subsystem, devtype);
    } else {
        child_added(device, syspath, subsystem, devtype);
    }
}

// Frees record's children, first to last, with their handles.
static void children_free(device_record* record) {
    device_record* child = record->children;
    while (child != nullptr) {
        device_record* next = child->next;
        udev_device_unref(child->udev_device);
        free(child);
        child = next;
    }
    record->children = nullptr;
}

// Removes every child of record whose device has the syspath, choosing the
// node again after each.
static void children_removed(device_record* record, const char* syspath) {
    device_record* child = record->children;
    while (child != nullptr) {
        device_record* next = child->next;
        if (has_syspath(child->udev_device, syspath) != 0) {
            trace("del child: location=%s\n", syspath);
            record_unlink(&record->children, child);
            udev_device_unref(child->udev_device);
            free(child);
            device_select_node(record);
            hook_call(watcher_hooks.child_removed, record);
        }
        child = next;
    }
}

void device_removed(const char* syspath) {
    // The walk never stops early: children of several records may share the syspath.
    device_record* record = device_list;
    while (record != nullptr) {
        device_record* next = record->next;
        if (has_syspath(record->udev_device, syspath) != 0) {
            // Told while still linked and whole.
            hook_call(watcher_hooks.record_removing, record);
            trace("del device: location=%s\n", syspath);
            record_unlink(&device_list, record);
            udev_device_unref(record->udev_device);
            children_free(record);
            free(record);
        } else {
            children_removed(record, syspath);
        }
        record = next;
    }
}

// The record tracking syspath as its USB device or as one of its children, or null.
static device_record* record_holding(const char* syspath) {
    for (device_record* record = device_list; record != nullptr; record = record->next) {
        if (has_syspath(record->udev_device, syspath) != 0) {
            return record;
        }
        for (device_record* child = record->children; child != nullptr; child = child->next) {
            if (has_syspath(child->udev_device, syspath) != 0) {
                return record;
            }
        }
    }
    return nullptr;
}

// Receives and drops every event the monitor's socket holds now; the number
// dropped. A new loss reported meanwhile is drained the same way. The socket
// does not block, and the walk ends when it is empty or drain_limit events
// have gone, so that a storm of events cannot keep the rescan away for ever.
static int32_t monitor_drain() {
    int fd = udev_monitor_get_fd(udev_monitor);
    int32_t dropped = 0;
    pollfd waited = {fd, POLLIN, 0};
    for (int32_t tries = 0; tries < drain_limit && poll(&waited, 1, 0) > 0; ++tries) {
        if ((waited.revents & POLLIN) == 0) {
            break;
        }
        errno = 0;
        // device: owned here, released at once.
        struct udev_device* device = udev_monitor_receive_device(udev_monitor);
        if (device != nullptr) {
            udev_device_unref(device);
            ++dropped;
        } else if (errno != ENOBUFS && errno != EAGAIN && errno != EINTR) {
            trace("monitor_drain: %s\n", strerror(errno));
            break;
        }
    }
    return dropped;
}

void monitor_event() {
    if (udev_monitor == nullptr) {
        return;
    }
    // device: owned; passed on to device_added or released here.
    errno = 0;
    struct udev_device* device = udev_monitor_receive_device(udev_monitor);
    if (device == nullptr) {
        // The kernel dropped events that did not fit the socket's buffer. It
        // says so first and still delivers the events queued before the loss,
        // which are older than anything a rescan reads: they are dropped, and
        // what all of them said is read back from the devices present.
        if (errno == ENOBUFS) {
            int32_t dropped = monitor_drain();
            trace("monitor_event: events lost; %d queued before the loss dropped, rescanning\n",
                  dropped);
            devices_rescan();
        }
        return;
    }
    const char* action = udev_device_get_action(device);
    if (action != nullptr && strcmp(action, "add") == 0) {
        device_added(device);
        return;
    }
    if (action != nullptr && strcmp(action, "remove") == 0) {
        // syspath belongs to device, which is held until the removal is done.
        const char* syspath = udev_device_get_syspath(device);
        if (syspath != nullptr) {
            device_removed(syspath);
        }
        udev_device_unref(device);
        return;
    }
    trace("unknown action: %s\n", text_or_none(action));
    // syspath belongs to device, which is held until the hook has run.
    const char* syspath = udev_device_get_syspath(device);
    device_record* record = syspath != nullptr ? record_holding(syspath) : nullptr;
    if (record != nullptr) {
        hook_call(watcher_hooks.record_changed, record);
    }
    udev_device_unref(device);
}

// 1 when a device still sits at the tracked device's syspath with the same
// identity: a USB device with the same ids, a child with the same node.
static int32_t is_still_present(struct udev* udev, struct udev_device* tracked, int32_t is_usb,
                                const device_record* record) {
    const char* syspath = udev_device_get_syspath(tracked);
    if (syspath == nullptr) {
        return 0;
    }
    // present: owned here, released before return.
    struct udev_device* present = udev_device_new_from_syspath(udev, syspath);
    if (present == nullptr) {
        return 0;
    }
    int32_t same = 1;
    if (is_usb != 0) {
        uint32_t vid = 0;
        uint32_t pid = 0;
        uint32_t bcd = 0;
        same = read_usb_ids(present, &vid, &pid, &bcd) != 0 && vid == record->vid &&
                       pid == record->pid && bcd == record->bcd
                   ? 1
                   : 0;
    } else {
        const char* was = udev_device_get_devnode(tracked);
        const char* now = udev_device_get_devnode(present);
        same = (was == nullptr && now == nullptr) ||
                       (was != nullptr && now != nullptr && strcmp(was, now) == 0)
                   ? 1
                   : 0;
    }
    udev_device_unref(present);
    return same;
}

// The syspath of the first tracked device that is gone or replaced, children
// before their USB device as an unplug announces them, copied into gone; 0
// when every tracked device is still there.
static int32_t first_gone(struct udev* udev, char* gone, size_t size) {
    for (device_record* record = device_list; record != nullptr; record = record->next) {
        for (device_record* child = record->children; child != nullptr; child = child->next) {
            if (is_still_present(udev, child->udev_device, 0, record) == 0) {
                copy_bounded(gone, text_or_none(udev_device_get_syspath(child->udev_device)), size);
                return 1;
            }
        }
        if (is_still_present(udev, record->udev_device, 1, record) == 0) {
            copy_bounded(gone, text_or_none(udev_device_get_syspath(record->udev_device)), size);
            return 1;
        }
    }
    return 0;
}

// Gives each device present in the subscribed subsystems to device_added,
// leaving out those a record already holds when skip_tracked is 1. The scan
// lists a device after the devices above it, so a board present at start is
// tracked with all its children. 1, or 0 with the reason in errno when the
// devices could not be listed.
static int32_t udev_scan(struct udev* udev, int32_t skip_tracked) {
    // enumerator: owned here, released before return.
    struct udev_enumerate* enumerator = udev_enumerate_new(udev);
    if (enumerator == nullptr) {
        trace("udev_scan: no enumerator: %s\n", strerror(errno));
        return 0;
    }
    for (const char* subsystem : watched_subsystems) {
        (void)udev_enumerate_add_match_subsystem(enumerator, subsystem);
    }
    int failed = udev_enumerate_scan_devices(enumerator);
    if (failed < 0) {
        trace("udev_scan: %s\n", strerror(-failed));
        udev_enumerate_unref(enumerator);
        errno = -failed;
        return 0;
    }
    struct udev_list_entry* entry = udev_enumerate_get_list_entry(enumerator);
    for (; entry != nullptr; entry = udev_list_entry_get_next(entry)) {
        const char* syspath = udev_list_entry_get_name(entry);
        if (skip_tracked != 0 && record_holding(syspath) != nullptr) {
            continue;
        }
        // device: owned; handed to device_added.
        struct udev_device* device = udev_device_new_from_syspath(udev, syspath);
        if (device != nullptr) {
            device_added(device);
        }
    }
    udev_enumerate_unref(enumerator);
    return 1;
}

void devices_rescan() {
    if (udev_monitor == nullptr) {
        return;
    }
    // Borrowed from the monitor, which lives as long as the process.
    struct udev* udev = udev_monitor_get_udev(udev_monitor);
    // Each removal may free records, so the walk starts again after each one.
    char gone[1024];
    while (first_gone(udev, gone, sizeof gone) != 0) {
        trace("rescan: gone %s\n", gone);
        device_removed(gone);
    }
    (void)udev_scan(udev, 1);
}

// Asks for a larger receive buffer on the monitor's socket, so that a burst
// of events (a hub of boards, a replay) overruns it less often. libudev
// forces the size for a privileged process; otherwise the kernel grants what
// its limit for users allows.
static void monitor_buffer_enlarge() {
    int fd = udev_monitor_get_fd(udev_monitor);
    int failed = udev_monitor_set_receive_buffer_size(udev_monitor, monitor_buffer_size);
    if (failed < 0) {
        int size = monitor_buffer_size;
        (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    int granted = 0;
    socklen_t length = sizeof granted;
    if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &length) == 0) {
        trace("udev_setup: receive buffer of %d bytes\n", granted);
    }
}

void udev_setup() {
    // The context lives as long as the process; no global holds it.
    struct udev* udev = udev_new();
    if (udev == nullptr) {
        trace_release("udev can not be used: %s; no board will be found", strerror(errno));
        fatal_exit("unable to use udev");
    }
    udev_monitor = udev_monitor_new_from_netlink(udev, "udev");
    if (udev_monitor != nullptr) {
        for (const char* subsystem : watched_subsystems) {
            (void)udev_monitor_filter_add_match_subsystem_devtype(udev_monitor, subsystem, nullptr);
        }
        // Enabled before the scan, so a board plugged in meanwhile is not missed.
        (void)udev_monitor_enable_receiving(udev_monitor);
        monitor_buffer_enlarge();
    } else {
        trace("udev_setup: no monitor: %s\n", strerror(errno));
    }
    if (udev_scan(udev, 0) == 0) {
        trace_release("start-up scan: /sys could not be read: %s", strerror(errno));
        return;
    }
    int32_t boards = 0;
    int32_t ports = 0;
    for (const device_record* record = device_list; record != nullptr; record = record->next) {
        boards += 1;
        ports += port_kind_of(record) != port_kind_none ? 1 : 0;
    }
    trace_release("start-up scan found %d board%s, %d port%s%s", boards, boards == 1 ? "" : "s",
                  ports, ports == 1 ? "" : "s",
                  udev_monitor == nullptr ? "; udev events can not be followed" : "");
}

// Waits until fd is readable. 1 when it is (or has an error or hang-up
// pending, which the receive then takes), 0 for a failed wait: an invalid
// descriptor, or poll failing. An interrupted wait is no failed wait: it is
// waited again. poll, unlike a descriptor set, takes descriptors of 1024 and above.
static int32_t monitor_wait(int fd) {
    if (fd < 0) {
        return 0;
    }
    pollfd waited = {fd, POLLIN, 0};
    int ready = poll(&waited, 1, -1);
    while (ready < 0 && errno == EINTR) {
        ready = poll(&waited, 1, -1);
    }
    if (ready < 0) {
        trace("monitor_wait: %s\n", strerror(errno));
        return 0;
    }
    if ((waited.revents & POLLNVAL) != 0) {
        trace("monitor_wait: descriptor %d is not open\n", fd);
        return 0;
    }
    return 1;
}

void* watcher_thread(void* unused) {
    (void)unused;
    udev_setup();
    watcher_follow();
    return nullptr;
}

void watcher_follow() {
    int fd = udev_monitor != nullptr ? udev_monitor_get_fd(udev_monitor) : -1;
    int32_t failures = 0;
    while (failures < wait_failure_limit) {
        if (monitor_wait(fd) == 0) {
            ++failures;
            continue;
        }
        // One event per wake-up; more queued make the next wait return at once.
        monitor_event();
        failures = 0;
    }
}
