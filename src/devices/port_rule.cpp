#include "devices/port_rule.h"

#include <libudev.h>

#include <cstring>

#include "devices/identification.h"

int32_t is_serial_port(const device_record* record) {
    if (record->subsystem == nullptr) {
        return 0;
    }
    return serial_interface_of(record->vid, record->pid) < 0 &&
                   strcmp(record->subsystem, "tty") == 0
               ? 1
               : 0;
}

int32_t is_hid_port(const device_record* record) {
    if (record->subsystem == nullptr) {
        return 0;
    }
    int32_t wanted = serial_interface_of(record->vid, record->pid);
    return wanted >= 0 && record->ifacenum == wanted && strcmp(record->subsystem, "hidraw") == 0
               ? 1
               : 0;
}

int32_t is_never_published(const device_record* record) {
    if (record->vid == board_vendor) {
        if (record->pid == 0x0476 && record->bcd == 0x9999) {
            return 1;
        }
        if (record->pid == 0x0477 || record->pid == loader_product) {
            return 1;
        }
    }
    return record->vid == other_vendor ? 1 : 0;
}

int32_t port_kind_of(const device_record* record) {
    if (is_never_published(record) != 0 || strcmp(record->devnode, no_device) == 0) {
        return port_kind_none;
    }
    if (is_serial_port(record) != 0) {
        return port_kind_serial;
    }
    return is_hid_port(record) != 0 ? port_kind_hid : port_kind_none;
}

const char* usb_serial_of(const device_record* record) {
    if (record->udev_device == nullptr) {
        return nullptr;
    }
    // Borrowed from the record's handle; udev drops the trailing line feed.
    const char* serial = udev_device_get_sysattr_value(record->udev_device, "serial");
    return serial != nullptr && serial[0] != '\0' ? serial : nullptr;
}

int32_t port_address_of(const device_record* record, char* address, size_t size) {
    // Borrowed from the record's handle.
    const char* syspath =
        record->udev_device != nullptr ? udev_device_get_syspath(record->udev_device) : nullptr;
    std::string_view whole(syspath != nullptr ? syspath : record->location);
    // Cut where the monitor's address matching cuts it.
    size_t at = whole.find("/usb");
    std::string_view tail = at != std::string_view::npos ? whole.substr(at + 1) : whole;
    size_t kept = tail.size() < size ? tail.size() : size - 1;
    tail.copy(address, kept);
    address[kept] = '\0';
    // Without its handle a record still has the location it kept, unless
    // that filled its buffer and so may have been cut.
    size_t kept_whole = syspath != nullptr ? sizeof record->location : sizeof record->location - 1;
    return whole.size() < kept_whole && tail.size() <= port_address_length_max && tail.size() < size
               ? 1
               : 0;
}
