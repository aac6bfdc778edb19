#include "devices/identification.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <string_view>

// Bytes of a descriptor, zero bytes included.
static std::string bytes(std::initializer_list<unsigned char> list) {
    return std::string(list.begin(), list.end());
}

static const std::string hid_serial = bytes({0x06, 0xC9, 0xFF, 0x09, 0x04, 0xA1, 0x5C, 0x75, 0x08});

static std::string loader_descriptor(unsigned char model) {
    return bytes({0x06, 0x9C, 0xFF, 0x09, model, 0xA1, 0x88, 0x75, 0x08, 0x15});
}

TEST(Identification, AcceptsBoardRangeAndTheOtherLoaderOnly) {
    struct row {
        uint32_t vid, pid;
        int32_t accepted;
    };
    const row rows[] = {
        {0x16C0, 0x0474, 1},
        {0x16C0, 0x04D7, 1},
        {0x16C0, 0x0483, 1},
        {0x16C0, 0x0478, 1},
        {0x16C0, 0x0473, 0},
        {0x16C0, 0x04D8, 0},
        {0x16C0, 0x04D9, 0},
        {0x16C0, 0x0000, 0},
        {0x16C0, 0x0135, 0},
        {0x1FC9, 0x0135, 1},
        {0x1FC9, 0x0136, 0},
        {0x1FC9, 0x0478, 0},
        // Whole 32-bit values: a high bit set is another id, not the same one.
        {0x116C0, 0x0483, 0},
        {0x16C0, 0x10483, 0},
        {0x11FC9, 0x0135, 0},
    };
    for (const row& r : rows) {
        EXPECT_EQ(is_board_id(r.vid, r.pid), r.accepted) << std::hex << r.vid << ":" << r.pid;
    }
}

TEST(Identification, SerialInterfacePerProduct) {
    struct row {
        uint32_t vid, pid;
        int32_t interface;
    };
    const row rows[] = {
        {0x16C0, 0x0482, 2},
        {0x16C0, 0x0483, -1},
        {0x16C0, 0x0476, -1},
        {0x16C0, 0x0486, 1},
        {0x16C0, 0x04D1, 0},
        {0x16C0, 0x04D4, 2},
        {0x16C0, 0x04D5, -1},
        // Accepted products without a configuration of their own.
        {0x16C0, 0x0474, -1},
        {0x16C0, 0x0481, -1},
        {0x16C0, 0x048D, -1},
        {0x16C0, 0x04D7, -1},
        // Not accepted, whatever the product would say.
        {0x16C0, 0x04D9, -1},
        {0x1FC9, 0x0135, -1},
        {0x1FC9, 0x0482, -1},
    };
    for (const row& r : rows) {
        EXPECT_EQ(serial_interface_of(r.vid, r.pid), r.interface)
            << std::hex << r.vid << ":" << r.pid;
    }
}

TEST(Identification, ModelFromReleaseLowByteWithGapsAndIgnoredBits) {
    struct row {
        uint32_t vid, pid, bcd;
        int32_t model;
    };
    const row rows[] = {
        {0x16C0, 0x0483, 0x0279, 36},
        {0x16C0, 0x0483, 0x0280, 37},
        {0x16C0, 0x0483, 0x0581, 38},
        {0x16C0, 0x0483, 0x0371, 27},
        {0x16C0, 0x0483, 0x0473, 32},
        // Low bytes outside 0x71..0x81 and the gap 0x7A..0x7F.
        {0x16C0, 0x0483, 0x0270, 0},
        {0x16C0, 0x0483, 0x0282, 0},
        {0x16C0, 0x0483, 0x027A, 0},
        {0x16C0, 0x0483, 0x027F, 0},
        // High bytes other than 2..5.
        {0x16C0, 0x0483, 0x0179, 0},
        {0x16C0, 0x0483, 0x0679, 0},
        {0x16C0, 0x0483, 0x0079, 0},
        // Products 0x0474..0x04DF, wider than the accepted range.
        {0x16C0, 0x04DF, 0x0271, 27},
        {0x16C0, 0x0474, 0x0271, 27},
        {0x16C0, 0x04E0, 0x0271, 0},
        {0x16C0, 0x0473, 0x0271, 0},
        {0x1FC9, 0x0135, 0x0271, 0},
        // Bits above 15 play no part.
        {0x16C0, 0x0483, 0xFFFF0279, 36},
        {0x16C0, 0x0483, 0x00010179, 0},
    };
    for (const row& r : rows) {
        EXPECT_EQ(model_from_release(r.vid, r.pid, r.bcd), r.model)
            << std::hex << r.vid << ":" << r.pid << " release " << r.bcd;
    }
}

TEST(Identification, HidSerialPrefixComparesNineBytes) {
    EXPECT_EQ(is_hid_serial_descriptor(hid_serial), 1);
    EXPECT_EQ(is_hid_serial_descriptor(hid_serial + bytes({0x15, 0x00, 0x26, 0xFF})), 1);
    for (size_t i = 0; i < hid_serial.size(); i++) {
        std::string wrong = hid_serial;
        wrong[i] = static_cast<char>(wrong[i] ^ 0x01);
        EXPECT_EQ(is_hid_serial_descriptor(wrong), 0) << "byte " << i;
        // Cut short: the view ends before the last compared byte, and the
        // bytes beyond it (here the right ones) must not be looked at.
        EXPECT_EQ(is_hid_serial_descriptor(std::string_view(hid_serial.data(), i)), 0)
            << "length " << i;
    }
    std::string zero_inside = hid_serial;
    zero_inside[4] = '\0';
    EXPECT_EQ(is_hid_serial_descriptor(zero_inside), 0);
    EXPECT_EQ(is_hid_serial_descriptor(loader_descriptor(0x24)), 0);
}

TEST(Identification, LoaderDescriptorNamesModelByByteFour) {
    EXPECT_EQ(model_from_loader_descriptor(loader_descriptor(0x19)), 25);
    EXPECT_EQ(model_from_loader_descriptor(loader_descriptor(0x24)), 36);
    EXPECT_EQ(model_from_loader_descriptor(loader_descriptor(0x2C)), 44);
    EXPECT_EQ(model_from_loader_descriptor(loader_descriptor(0x18)), 0);
    EXPECT_EQ(model_from_loader_descriptor(loader_descriptor(0x2D)), 0);
    EXPECT_EQ(model_from_loader_descriptor(loader_descriptor(0x00)), 0);
    EXPECT_EQ(model_from_loader_descriptor(loader_descriptor(0xA4)), 0);  // unsigned, not -92
    // The Logical Minimum's data byte and what follows are not examined.
    EXPECT_EQ(model_from_loader_descriptor(loader_descriptor(0x20) + bytes({0x00, 0x26})), 32);

    const std::string good = loader_descriptor(0x24);
    for (size_t i = 0; i < good.size(); i++) {
        if (i != 4) {
            std::string wrong = good;
            wrong[i] = static_cast<char>(wrong[i] ^ 0x01);
            EXPECT_EQ(model_from_loader_descriptor(wrong), 0) << "byte " << i;
        }
        EXPECT_EQ(model_from_loader_descriptor(std::string_view(good.data(), i)), 0)
            << "length " << i;
    }
    EXPECT_EQ(model_from_loader_descriptor(hid_serial), 0);
}

TEST(Identification, ModelNamesDistinctForOwnCodesOnly) {
    std::set<std::string> names;
    for (int32_t code = 25; code <= 38; code++) {
        const char* name = model_name(code);
        ASSERT_NE(name, nullptr);
        EXPECT_EQ(strncmp(name, "Murlen ", 7), 0) << name;
        names.insert(name);
    }
    EXPECT_EQ(names.size(), 14u);
    for (int32_t code : {0, 24, 39, 44, -1}) {
        EXPECT_STREQ(model_name(code), "Murlen") << code;
    }
}
