// Fuzzes the identification functions. An input is a vendor id, a product id,
// a release number and a model code (four 32-bit little-endian numbers), then
// the bytes of a HID report descriptor. Each function must keep its results in
// their range and depend only on what it is meant to look at.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "devices/identification.h"

namespace {

[[noreturn]] void finding(const char* what) {
    fprintf(stderr, "FINDING: %s\n", what);
    abort();
}

void require(bool holds, const char* what) {
    if (!holds) {
        finding(what);
    }
}

uint32_t take_u32(const uint8_t* data, size_t size, size_t* at) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i, ++*at) {
        uint32_t byte = *at < size ? data[*at] : 0;
        value |= byte << (8 * i);
    }
    return value;
}

void check_ids(uint32_t vid, uint32_t pid, uint32_t bcd) {
    int32_t board = is_board_id(vid, pid);
    require(board == 0 || board == 1, "is_board_id out of 0..1");
    int32_t interface = serial_interface_of(vid, pid);
    require(interface >= -1 && interface <= 2, "serial_interface_of out of -1..2");
    require(board == 1 || interface == -1, "an interface for a device that is no board");

    int32_t model = model_from_release(vid, pid, bcd);
    require(model == 0 || (model >= 27 && model <= 38), "model_from_release out of range");
    require(model == 0 || vid == board_vendor, "a release model for another vendor");
    // Only bits 0 to 15 of a release number count.
    require(model == model_from_release(vid, pid, bcd & 0xFFFFu),
            "model_from_release looks past bit 15");
    require(model == model_from_release(vid, pid, bcd ^ 0xFFFF0000u),
            "model_from_release looks past bit 15");
}

void check_descriptor(std::string_view descriptor) {
    int32_t serial = is_hid_serial_descriptor(descriptor);
    require(serial == 0 || serial == 1, "is_hid_serial_descriptor out of 0..1");
    require(serial == 0 || descriptor.size() >= 9, "a serial prefix shorter than nine bytes");
    require(serial == is_hid_serial_descriptor(descriptor.substr(0, 9)),
            "is_hid_serial_descriptor looks past byte 8");

    int32_t model = model_from_loader_descriptor(descriptor);
    require(model == 0 || (model >= 25 && model <= 44),
            "model_from_loader_descriptor out of range");
    require(model == 0 || descriptor.size() >= 10, "a loader pattern shorter than ten bytes");
    require(model == model_from_loader_descriptor(descriptor.substr(0, 10)),
            "model_from_loader_descriptor looks past byte 9");
    require(model == 0 || model == static_cast<unsigned char>(descriptor[4]),
            "a loader model other than its byte 4");
    require(model == 0 || serial == 0, "a descriptor both serial and loader");
}

void check_name(int32_t model) {
    const char* name = model_name(model);
    require(name != nullptr, "model_name gave no text");
    require(strncmp(name, "Murlen", 6) == 0, "a model name without Murlen");
    if (model < 25 || model > 38) {
        require(strcmp(name, "Murlen") == 0, "a name of its own for a code without one");
    } else {
        require(strcmp(name, "Murlen") != 0, "a code from 25 to 38 without a name of its own");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t at = 0;
    uint32_t vid = take_u32(data, size, &at);
    uint32_t pid = take_u32(data, size, &at);
    uint32_t bcd = take_u32(data, size, &at);
    auto model = static_cast<int32_t>(take_u32(data, size, &at));
    check_ids(vid, pid, bcd);
    // Near the accepted ids too, where the tables are.
    check_ids(board_vendor, (pid & 0x00FFu) | 0x0400u, bcd);
    check_name(model);
    check_name(static_cast<int32_t>(model % 64));

    std::string bytes;
    if (at < size) {
        bytes.assign(reinterpret_cast<const char*>(data + at), size - at);
    }
    check_descriptor(bytes);
    // As libudev hands the attribute over: a text that ends at its first zero byte.
    check_descriptor(std::string_view(bytes.c_str()));
    return 0;
}
