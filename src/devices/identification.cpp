#include "devices/identification.h"

#include <array>
#include <cstddef>

// Products of board_vendor that a board's firmware presents, with the USB
// interface that carries its serial stream over HID (-1: none; the stream is
// then a tty node or a hidraw node known by its report descriptor). Accepted
// products missing here have no configuration of their own and give -1.
struct product_row {
    uint32_t product;
    int8_t hid_serial_interface;
};

constexpr std::array<product_row, 20> product_table{{
    {0x0476, -1},  // Everything
    {0x0478, -1},  // loader
    {0x0482, 2},   // Keyboard+Mouse+Joystick
    {0x0483, -1},  // Serial
    {0x0484, 2},   // no configuration name
    {0x0485, 1},   // MIDI, MIDIx4, MIDIx16
    {0x0486, 1},   // RawHID
    {0x0487, -1},  // Serial+Keyboard+Mouse+Joystick
    {0x0488, 1},   // FlightSim
    {0x0489, -1},  // Serial+MIDI, Serial+MIDIx4, Serial+MIDIx16
    {0x048A, -1},  // Serial+MIDI+Audio, Serial+MIDIx16+Audio
    {0x048B, -1},  // Dual Serial
    {0x048C, -1},  // Triple Serial
    {0x04D0, 1},   // Keyboard
    {0x04D1, 0},   // MTPDisk
    {0x04D2, 0},   // Audio
    {0x04D3, 1},   // Keyboard+TouchScreen
    {0x04D4, 2},   // Keyboard+Mouse+TouchScreen
    {0x04D5, -1},  // Serial+MTPDisk
    {0x04D9, -1},  // FlightSim+Joystick: outside the accepted range, never tracked
}};

// Model code by the low byte of a board's release number; low bytes from
// 0x7A to 0x7F name no model.
struct release_row {
    uint8_t low_byte;
    int8_t model;
};

constexpr std::array<release_row, 11> release_table{{
    {0x71, 27},
    {0x72, 28},
    {0x73, 32},
    {0x74, 29},
    {0x75, 33},
    {0x76, 31},
    {0x77, 34},
    {0x78, 35},
    {0x79, 36},
    {0x80, 37},
    {0x81, 38},
}};

// Display names of the model codes that have one of their own.
struct model_row {
    int32_t model;
    const char* name;
};

constexpr std::array<model_row, 14> model_table{{
    {25, "Murlen A1"},
    {26, "Murlen A2"},
    {27, "Murlen B1"},
    {28, "Murlen B2"},
    {29, "Murlen B3"},
    {30, "Murlen C1"},
    {31, "Murlen C2"},
    {32, "Murlen D1"},
    {33, "Murlen D2"},
    {34, "Murlen E1"},
    {35, "Murlen E2"},
    {36, "Murlen F1"},
    {37, "Murlen G1"},
    {38, "Murlen G2"},
}};

// Start of the report descriptor of a HID interface that carries the serial
// stream: Usage Page 0xFFC9, Usage 0x04, Collection 0x5C, Report Size 8.
constexpr std::array<uint8_t, 9> hid_serial_prefix{0x06, 0xC9, 0xFF, 0x09, 0x04,
                                                   0xA1, 0x5C, 0x75, 0x08};

// Start of a loader's report descriptor: Usage Page 0xFF9C, Usage m (the model
// code, at loader_model_offset), Collection 0x88, Report Size 8, and the tag of
// a Logical Minimum whose data byte is not looked at. The model byte is not
// compared against the pattern.
constexpr std::array<uint8_t, 10> loader_pattern{0x06, 0x9C, 0xFF, 0x09, 0x00,
                                                 0xA1, 0x88, 0x75, 0x08, 0x15};
constexpr size_t loader_model_offset = 4;
constexpr int32_t loader_model_first = 0x19;
constexpr int32_t loader_model_last = 0x2C;

static constexpr bool products_sorted_with_known_interfaces() {
    for (size_t i = 0; i < product_table.size(); i++) {
        int32_t k = product_table[i].hid_serial_interface;
        if (k < -1 || k > 2) {
            return false;
        }
        if (i > 0 && product_table[i - 1].product >= product_table[i].product) {
            return false;
        }
    }
    return true;
}
static_assert(products_sorted_with_known_interfaces(),
              "product rows ascend and name interface -1, 0, 1 or 2");

static constexpr bool releases_sorted_in_range() {
    for (size_t i = 0; i < release_table.size(); i++) {
        const release_row& row = release_table[i];
        if (row.low_byte < 0x71 || row.low_byte > 0x81 || row.model < 27 || row.model > 38) {
            return false;
        }
        if (i > 0 && release_table[i - 1].low_byte >= row.low_byte) {
            return false;
        }
    }
    return true;
}
static_assert(releases_sorted_in_range(),
              "release rows ascend, low bytes 0x71 to 0x81, models 27 to 38");

static constexpr bool model_names_cover_25_to_38() {
    for (size_t i = 0; i < model_table.size(); i++) {
        if (model_table[i].model != 25 + static_cast<int32_t>(i)) {
            return false;
        }
    }
    return true;
}
static_assert(model_names_cover_25_to_38(), "one name for each code from 25 to 38, in order");

// 1 when view begins with every byte of pattern except the one at skip.
template <size_t n>
static int32_t begins_with(std::string_view view, const std::array<uint8_t, n>& pattern,
                           size_t skip) {
    if (view.size() < n) {
        return 0;
    }
    for (size_t i = 0; i < n; i++) {
        if (i != skip && static_cast<uint8_t>(view[i]) != pattern[i]) {
            return 0;
        }
    }
    return 1;
}

int32_t is_board_id(uint32_t vid, uint32_t pid) {
    if (vid == other_vendor && pid == other_loader_product) {
        return 1;
    }
    // 0x0474 to 0x04D7; a product below 0x0474 wraps to a large number.
    return vid == board_vendor && pid - 0x0474u <= 99u ? 1 : 0;
}

int32_t serial_interface_of(uint32_t vid, uint32_t pid) {
    if (is_board_id(vid, pid) == 0) {
        return -1;
    }
    for (const product_row& row : product_table) {
        if (row.product == pid) {
            return row.hid_serial_interface;
        }
    }
    return -1;
}

int32_t model_from_release(uint32_t vid, uint32_t pid, uint32_t bcd) {
    // Products 0x0474 to 0x04DF: wider than the accepted range on purpose.
    if (vid != board_vendor || pid - 0x0474u > 107u) {
        return 0;
    }
    uint32_t high_byte = (bcd >> 8) & 0xFF;
    if (high_byte < 2 || high_byte > 5) {
        return 0;
    }
    uint32_t low_byte = bcd & 0xFF;
    for (const release_row& row : release_table) {
        if (row.low_byte == low_byte) {
            return row.model;
        }
    }
    return 0;
}

int32_t is_hid_serial_descriptor(std::string_view descriptor) {
    return begins_with(descriptor, hid_serial_prefix, hid_serial_prefix.size());
}

int32_t model_from_loader_descriptor(std::string_view descriptor) {
    if (begins_with(descriptor, loader_pattern, loader_model_offset) == 0) {
        return 0;
    }
    int32_t model = static_cast<uint8_t>(descriptor[loader_model_offset]);
    return model >= loader_model_first && model <= loader_model_last ? model : 0;
}

const char* model_name(int32_t model) {
    for (const model_row& row : model_table) {
        if (row.model == model) {
            return row.name;
        }
    }
    return "Murlen";
}
