#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "devices/device_records.h"

// Which records are ports, and of which kind: the one rule that the monitor's
// publishing and the discovery's port list both follow. Records belong to the
// watcher thread, so these run there.

inline constexpr int32_t port_kind_none = 0;
inline constexpr int32_t port_kind_serial = 1;  // a tty node carrying the board's stream
inline constexpr int32_t port_kind_hid = 2;     // the hidraw node of the HID-serial interface

// 1 when the record's chosen node is a tty carrying the board's stream.
int32_t is_serial_port(const device_record* record);

// 1 when the record's chosen node is the hidraw node of the product's HID-serial interface.
int32_t is_hid_port(const device_record* record);

// 1 for a board in its loader and the identities that stand for one, else 0.
int32_t is_never_published(const device_record* record);

// The kind of port the record is now: none for a never-published identity, a
// record without a node, or a node that carries no stream.
int32_t port_kind_of(const device_record* record);

// The USB device's serial number (borrowed from its udev handle), or null when it has none.
const char* usb_serial_of(const device_record* record);

// The monitor reads its commands in pieces of this many characters, and an
// OPEN of a listed address comes whole in one, its line feed included.
inline constexpr size_t open_line_length_max = 255;
inline constexpr std::string_view open_line_longest_head = "OPEN 127.0.0.1:65535 ";
inline constexpr size_t port_address_length_max =
    open_line_length_max - open_line_longest_head.size() - 1;

// The address the discovery lists for the record, copied into address: its
// USB device's syspath from the first component that begins with "usb" (the
// whole syspath when none does), the short form that OPEN takes. 1 when it is
// listed; 0 when it is longer than port_address_length_max or the syspath did
// not fit the record's location whole.
int32_t port_address_of(const device_record* record, char* address, size_t size);
