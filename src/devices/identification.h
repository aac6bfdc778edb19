#pragma once

#include <cstdint>
#include <string_view>

// Pure functions over constant tables: no state, callable from any thread.
// Vendor and product ids compare as whole 32-bit values; a release number is
// judged by its bits 0 to 15.

inline constexpr uint32_t board_vendor = 0x16C0;
inline constexpr uint32_t other_vendor = 0x1FC9;
inline constexpr uint32_t loader_product = 0x0478;        // with board_vendor
inline constexpr uint32_t other_loader_product = 0x0135;  // with other_vendor

// 1 if the pair belongs to a followed board or loader, else 0.
int32_t is_board_id(uint32_t vid, uint32_t pid);

// USB interface number (0, 1 or 2) carrying a serial stream emulated over HID, or -1.
int32_t serial_interface_of(uint32_t vid, uint32_t pid);

// Model code from 27 to 38 named by the release number, or 0.
int32_t model_from_release(uint32_t vid, uint32_t pid, uint32_t bcd);

// 1 if the report descriptor begins with the HID-serial prefix, else 0.
int32_t is_hid_serial_descriptor(std::string_view descriptor);

// Model code from 25 to 44 named by a loader's report descriptor, or 0.
int32_t model_from_loader_descriptor(std::string_view descriptor);

// Display name of a model code; "Murlen" for codes without one of their own.
const char* model_name(int32_t model);
