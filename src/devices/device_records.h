#pragma once

#include <cstdint>

struct udev_device;

// One tracked USB device (a device record in device_list) or one udev device
// below it (a child record, which uses only udev_device, next and prev).
// Records are zero-filled when made and belong to the watcher thread.
struct device_record {
    char location[240];  // syspath of the USB device, cut at 239 characters
    char devnode[1024];  // chosen node path, "[no_device]", or empty before the first selection
    uint32_t vid;
    uint32_t pid;
    uint32_t bcd;
    int32_t model;  // 0 until a model is detected; never returns to 0
    device_record* next;
    device_record* prev;
    struct udev_device* udev_device;  // owned reference
    // The chosen node's subsystem: null with no node, else subsystem_text. A
    // copy, not the text of the node's handle: that handle goes when its child
    // is removed, while a twin child with the same node keeps the choice.
    const char* subsystem;
    int32_t ifacenum;  // interface number of the chosen node, or -1
    device_record* children;
    char subsystem_text[64];
};

inline constexpr const char* no_device = "[no_device]";

// Head of the tracked USB devices, in order of arrival. Watcher thread only.
extern device_record* device_list;

// Chooses the record's node and detects its model; stores path, subsystem and
// interface only when the path changed. Watcher thread only.
void device_select_node(device_record* record);

// USB interface number of the interface above device (0 or more), or -1.
int32_t interface_number_of(struct udev_device* device);
