#include "devices/device_records.h"

#include <libudev.h>

#include <cctype>
#include <cstring>
#include <string_view>

#include "common/copy_bounded.h"
#include "common/trace.h"
#include "devices/identification.h"

device_record* device_list = nullptr;

// A node chosen for a record. Every text is borrowed from a udev handle that
// the record or one of its children holds, so it lives as long as that handle.
struct node_choice {
    const char* path;
    const char* subsystem;
    int32_t ifacenum;
};

// Tells whether the udev device of a child qualifies in one search; k is the
// interface that carries the serial stream over HID, or -1.
using child_test = int32_t (*)(struct udev_device* device, int32_t k);

// Parses text as a non-negative decimal integer the way strtol reads one:
// leading white space, an optional sign, digits up to the first non-digit.
// No digits, a negative number or one beyond int32_t give -1.
static int32_t parse_interface_number(const char* text) {
    while (isspace(static_cast<unsigned char>(*text)) != 0) {
        text++;
    }
    int32_t negative = 0;
    if (*text == '+' || *text == '-') {
        negative = *text == '-' ? 1 : 0;
        text++;
    }
    if (isdigit(static_cast<unsigned char>(*text)) == 0) {
        return -1;
    }
    int64_t number = 0;
    for (; isdigit(static_cast<unsigned char>(*text)) != 0; text++) {
        number = number * 10 + (*text - '0');
        if (number > INT32_MAX) {
            return -1;
        }
    }
    return negative != 0 && number != 0 ? -1 : static_cast<int32_t>(number);
}

int32_t interface_number_of(struct udev_device* device) {
    // Borrowed from device: not unreferenced here.
    struct udev_device* interface =
        udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_interface");
    if (interface == nullptr) {
        return -1;
    }
    const char* text = udev_device_get_sysattr_value(interface, "bInterfaceNumber");
    if (text == nullptr) {
        return -1;
    }
    return parse_interface_number(text);
}

// 1 when the device's subsystem is exactly name; an absent one never is.
static int32_t is_subsystem(struct udev_device* device, const char* name) {
    const char* subsystem = udev_device_get_subsystem(device);
    return subsystem != nullptr && strcmp(subsystem, name) == 0 ? 1 : 0;
}

static int32_t is_serial_node(struct udev_device* device, int32_t) {
    return is_subsystem(device, "tty") != 0 && udev_device_get_devnode(device) != nullptr ? 1 : 0;
}

// A hidraw node whose HID device describes the serial stream. The descriptor
// is binary; libudev hands it over as a terminated string, so it ends at its
// first zero byte. No byte of the prefix is zero: a value cut short there
// simply does not match.
static int32_t is_hid_serial_node(struct udev_device* device, int32_t) {
    if (is_subsystem(device, "hidraw") == 0 || udev_device_get_devnode(device) == nullptr) {
        return 0;
    }
    // Borrowed from device: not unreferenced here.
    struct udev_device* hid = udev_device_get_parent_with_subsystem_devtype(device, "hid", nullptr);
    if (hid == nullptr) {
        return 0;
    }
    const char* descriptor = udev_device_get_sysattr_value(hid, "report_descriptor");
    return descriptor != nullptr && is_hid_serial_descriptor(std::string_view(descriptor)) != 0 ? 1
                                                                                                : 0;
}

// Any node below the interface that carries the serial stream over HID; k >= 0.
static int32_t is_interface_node(struct udev_device* device, int32_t k) {
    return udev_device_get_devnode(device) != nullptr && interface_number_of(device) == k ? 1 : 0;
}

static int32_t is_loader_node(struct udev_device* device, int32_t) {
    return is_subsystem(device, "hidraw") != 0 && udev_device_get_devnode(device) != nullptr ? 1
                                                                                             : 0;
}

static int32_t is_loader_id(uint32_t vid, uint32_t pid) {
    return (vid == board_vendor && pid == loader_product) ||
                   (vid == other_vendor && pid == other_loader_product)
               ? 1
               : 0;
}

// The child added last; the record has children. The list keeps no tail.
static device_record* last_child(device_record* record) {
    device_record* child = record->children;
    while (child->next != nullptr) {
        child = child->next;
    }
    return child;
}

// The newest child whose device passes test, walking from the tail back to
// the head; null when none does.
static device_record* newest_child_where(device_record* record, child_test test, int32_t k) {
    if (record->children == nullptr) {
        return nullptr;
    }
    for (device_record* child = last_child(record);; child = child->prev) {
        if (test(child->udev_device, k) != 0) {
            return child;
        }
        if (child == record->children) {
            return nullptr;
        }
    }
}

// The qualifying child of the first search that finds one, or null.
static device_record* search_children(device_record* record) {
    device_record* child = newest_child_where(record, is_serial_node, -1);
    if (child == nullptr) {
        child = newest_child_where(record, is_hid_serial_node, -1);
    }
    int32_t k = serial_interface_of(record->vid, record->pid);
    if (child == nullptr && k >= 0) {
        child = newest_child_where(record, is_interface_node, k);
    }
    if (child == nullptr && is_loader_id(record->vid, record->pid) != 0) {
        child = newest_child_where(record, is_loader_node, -1);
    }
    return child;
}

static node_choice choose_node(device_record* record) {
    device_record* child = search_children(record);
    if (child != nullptr) {
        return {udev_device_get_devnode(child->udev_device),
                udev_device_get_subsystem(child->udev_device),
                interface_number_of(child->udev_device)};
    }
    // The USB device's own node, whose subsystem is "usb".
    const char* own = udev_device_get_devnode(record->udev_device);
    if (own != nullptr) {
        return {own, udev_device_get_subsystem(record->udev_device), -1};
    }
    return {no_device, nullptr, -1};
}

// A loader tells its model in the report descriptor of its HID device; the
// newest "hid" child with a valid pattern wins.
static int32_t model_from_loader_children(device_record* record) {
    for (device_record* child = last_child(record);; child = child->prev) {
        if (is_subsystem(child->udev_device, "hid") != 0) {
            const char* descriptor =
                udev_device_get_sysattr_value(child->udev_device, "report_descriptor");
            int32_t model = descriptor != nullptr
                                ? model_from_loader_descriptor(std::string_view(descriptor))
                                : 0;
            if (model > 0) {
                return model;
            }
        }
        if (child == record->children) {
            return 0;
        }
    }
}

static void detect_model(device_record* record) {
    int32_t model = 0;
    if (record->vid == board_vendor && record->pid == loader_product) {
        model = model_from_loader_children(record);
    }
    if (model == 0) {
        model = model_from_release(record->vid, record->pid, record->bcd);
    }
    // A detected model never returns to 0.
    if (model == 0 || model == record->model) {
        return;
    }
    record->model = model;
    trace("  model=%d (%s)\n", model, model_name(model));
}

void device_select_node(device_record* record) {
    if (is_board_id(record->vid, record->pid) == 0 || record->udev_device == nullptr ||
        udev_device_get_syspath(record->udev_device) == nullptr) {
        return;
    }
    node_choice choice = choose_node(record);
    // Only a new path is stored; the same path keeps the stored subsystem and
    // interface even when this choice names others.
    if (strcmp(choice.path, record->devnode) != 0) {
        copy_bounded(record->devnode, choice.path, sizeof record->devnode);
        record->subsystem = nullptr;
        if (choice.subsystem != nullptr) {
            copy_bounded(record->subsystem_text, choice.subsystem, sizeof record->subsystem_text);
            record->subsystem = record->subsystem_text;
        }
        record->ifacenum = choice.ifacenum;
        trace("  devnode=%s, subsystem=%s, ifacenum=%d\n", choice.path,
              text_or_none(choice.subsystem), choice.ifacenum);
    }
    // Without children no model is detected.
    if (record->children != nullptr) {
        detect_model(record);
    }
}
