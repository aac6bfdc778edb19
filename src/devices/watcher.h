#pragma once

#include <cstdint>

struct udev_device;
struct udev_monitor;
struct device_record;

// What the watcher tells whoever runs it about a tracked board. Each hook is
// called on the watcher thread with no lock held, and a null hook is skipped.
// The record belongs to the watcher: read it during the call only.
struct watcher_hook_set {
    // A record or one of its children was added and the node chosen anew.
    void (*record_added)(const device_record* record);
    // One of the record's children was removed and the node chosen anew.
    void (*child_removed)(const device_record* record);
    // The record is about to be removed; it is still linked and whole.
    void (*record_removing)(const device_record* record);
    // Another action ("change", "bind", ...) came for the record or one of its
    // children: facts outside the record, such as the node's access, may differ.
    void (*record_changed)(const device_record* record);
};

// Set by the program before the watcher thread starts; read only by the watcher.
extern watcher_hook_set watcher_hooks;

// The udev netlink monitor; written once by udev_setup. Watcher thread only.
extern struct udev_monitor* udev_monitor;

// Thread entry: sets udev up, scans, then follows events until 11 failed waits in a row.
void* watcher_thread(void* unused);

// Follows events on udev_monitor until 11 failed waits in a row; after udev_setup.
void watcher_follow();

// Creates the context and the filtered monitor, then scans the devices present;
// ends the process with status 1 when udev cannot be used.
void udev_setup();

// Receives and handles one event from udev_monitor; rescans when events were lost.
void monitor_event();

// Brings the tracked devices in line with the devices present after events
// were lost: gone or replaced devices leave through device_removed, untracked
// ones arrive through device_added, so the hooks hear of the differences only.
void devices_rescan();

// Tracks a USB device or a child below a tracked one; takes ownership of device.
void device_added(struct udev_device* device);

// Removes every record and child whose udev device has this syspath.
void device_removed(const char* syspath);

// Reads idVendor, idProduct and bcdDevice as hexadecimal; 1 when all three parsed.
int32_t read_usb_ids(struct udev_device* device, uint32_t* vid, uint32_t* pid, uint32_t* bcd);

// Ends the process with exit status 1, writing nothing.
[[noreturn]] void fatal_exit(const char* message);
