#include "devices/device_records.h"

#include <gtest/gtest.h>
#include <libudev.h>
#include <umockdev.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/copy_bounded.h"
#include "sim/udev_records.h"
#include "support/testbed.h"

// Node selection against real libudev over a umockdev testbed. Each board is
// one USB device at /sys/devices/usb1/1-1 with interfaces 1-1:1.N below it;
// a tty sits on an interface, a hid device on an interface and its hidraw
// node below the hid device. Records are built the way the watcher builds
// them: zero-filled, children appended at the tail.

static const std::string usb_path = "/sys/devices/usb1/1-1";
static const char* usb_node = "/dev/bus/usb/001/002";

static std::string interface_path(int n) {
    return usb_path + "/1-1:1." + std::to_string(n);
}
static std::string hid_path(int n) {
    return interface_path(n) + "/0003:16C0:0486.000" + std::to_string(n);
}

class DeviceRecords : public ::testing::Test {
protected:
    void SetUp() override {
        testbed = umockdev_testbed_new();
        // True only once a testbed exists: umockdev tells by looking at /sys.
        if (umockdev_in_mock_environment() == 0) {
            GTEST_SKIP() << "runs under umockdev-wrapper";
        }
        context = udev_new();
        ASSERT_NE(context, nullptr);
    }

    void TearDown() override {
        for (device_record* record : records) {
            while (record->children != nullptr) {
                device_record* child = record->children;
                record->children = child->next;
                udev_device_unref(child->udev_device);
                free(child);
            }
            udev_device_unref(record->udev_device);
            free(record);
        }
        if (context != nullptr) {
            udev_unref(context);
        }
        g_object_unref(testbed);
    }

    // Adds devices described in umockdev's text format; paths start at /devices.
    void add(const std::string& description) {
        ASSERT_NO_FATAL_FAILURE(testbed_add(testbed, description));
    }

    void add_usb_device(bool with_node) {
        add(usb_device_record(usb_path.substr(4),
                              with_node ? std::string("E: DEVNAME=") + usb_node + "\n" : ""));
    }

    std::string add_interface(int n, const char* number_text) {
        add(usb_interface_record(interface_path(n).substr(4), number_text));
        return interface_path(n);
    }

    std::string add_tty(int n, const char* name) {
        std::string path = interface_path(n) + "/" + name;
        add(node_record(path.substr(4), "tty", std::string("/dev/") + name));
        return path;
    }

    // A hid device on interface n; hex is its report descriptor.
    std::string add_hid(int n, const char* hex) {
        add(sysfs_record(hid_path(n).substr(4), "hid",
                         std::string("H: report_descriptor=") + hex + "\n"));
        return hid_path(n);
    }

    std::string add_hidraw(int n, const char* name) {
        std::string path = hid_path(n) + "/hidraw/" + name;
        add(node_record(path.substr(4), "hidraw", std::string("/dev/") + name));
        return path;
    }

    // A record for the USB device, selected once as on its arrival.
    device_record* track(uint32_t vid, uint32_t pid, uint32_t bcd) {
        auto* record = static_cast<device_record*>(calloc(1, sizeof(device_record)));
        record->udev_device = udev_device_new_from_syspath(context, usb_path.c_str());
        EXPECT_NE(record->udev_device, nullptr);
        copy_bounded(record->location, usb_path.c_str(), sizeof record->location);
        record->vid = vid;
        record->pid = pid;
        record->bcd = bcd;
        records.push_back(record);
        device_select_node(record);
        return record;
    }

    // Appends a child at the tail and selects again, as on a child's arrival.
    void arrive(device_record* record, const std::string& syspath) {
        auto* child = static_cast<device_record*>(calloc(1, sizeof(device_record)));
        child->udev_device = udev_device_new_from_syspath(context, syspath.c_str());
        ASSERT_NE(child->udev_device, nullptr) << syspath;
        device_record** link = &record->children;
        device_record* last = nullptr;
        while (*link != nullptr) {
            last = *link;
            link = &last->next;
        }
        child->prev = last;
        *link = child;
        device_select_node(record);
    }

    // Unlinks and frees the child with this syspath, drops the device from the
    // testbed and selects again, as on a child's removal.
    void leave(device_record* record, const std::string& syspath) {
        for (device_record* child = record->children; child != nullptr; child = child->next) {
            if (syspath == udev_device_get_syspath(child->udev_device)) {
                (child->prev != nullptr ? child->prev->next : record->children) = child->next;
                if (child->next != nullptr) {
                    child->next->prev = child->prev;
                }
                udev_device_unref(child->udev_device);
                free(child);
                break;
            }
        }
        umockdev_testbed_remove_device(testbed, syspath.c_str());
        device_select_node(record);
    }

    UMockdevTestbed* testbed = nullptr;
    struct udev* context = nullptr;
    std::vector<device_record*> records;
};

// The HID-serial prefix, a prefix with a zero byte inside, and a plain
// descriptor that is neither.
static const char* hid_serial_hex = "06C9FF0904A15C75089501";
static const char* zero_inside_hex = "06C9FF0900A15C7508";
static const char* plain_hex = "05010902A1010901";

TEST_F(DeviceRecords, WithoutChildrenTheUsbDeviceOwnNodeOrNone) {
    add_usb_device(true);
    device_record* board = track(0x16C0, 0x0483, 0x0279);
    EXPECT_STREQ(board->devnode, usb_node);
    EXPECT_STREQ(board->subsystem, "usb");
    EXPECT_EQ(board->ifacenum, -1);
    EXPECT_EQ(board->model, 0);  // the release names 36, but no child yet

    // A pair that is not a board is left as it is.
    device_record* other = track(0x16C0, 0x04D9, 0x0279);
    EXPECT_STREQ(other->devnode, "");
    EXPECT_EQ(other->subsystem, nullptr);
}

TEST_F(DeviceRecords, WithoutAnyNodeTheRecordHoldsNoDevice) {
    add_usb_device(false);
    add_interface(0, "00");
    device_record* board = track(0x16C0, 0x0483, 0x0279);
    EXPECT_STREQ(board->devnode, no_device);
    EXPECT_EQ(board->subsystem, nullptr);
    EXPECT_EQ(board->ifacenum, -1);
    arrive(board, interface_path(0));
    EXPECT_STREQ(board->devnode, no_device);
    EXPECT_EQ(board->model, 36);  // a child is there now, so the release counts
}

TEST_F(DeviceRecords, SerialNodeBeatsLaterHidSerialAndNewestWins) {
    add_usb_device(true);
    add_interface(0, "00");
    add_interface(1, "01");
    add_interface(2, "02");
    std::string first_tty = add_tty(0, "ttyACM0");
    add_hid(2, hid_serial_hex);
    std::string hidraw = add_hidraw(2, "hidraw0");
    std::string second_tty = add_tty(1, "ttyACM1");
    device_record* board = track(0x16C0, 0x0487, 0x0280);

    arrive(board, hidraw);
    EXPECT_STREQ(board->devnode, "/dev/hidraw0");  // until a tty comes
    EXPECT_STREQ(board->subsystem, "hidraw");
    EXPECT_EQ(board->ifacenum, 2);  // read from sysfs, not from the children
    arrive(board, first_tty);
    EXPECT_STREQ(board->devnode, "/dev/ttyACM0");
    EXPECT_STREQ(board->subsystem, "tty");
    EXPECT_EQ(board->ifacenum, 0);
    arrive(board, hid_path(2));
    EXPECT_STREQ(board->devnode, "/dev/ttyACM0");
    arrive(board, second_tty);
    EXPECT_STREQ(board->devnode, "/dev/ttyACM1");
    EXPECT_EQ(board->ifacenum, 1);
    EXPECT_EQ(board->model, 37);

    // The newest gone, the older tty takes over; then the hidraw; then the
    // USB device's own node.
    leave(board, second_tty);
    EXPECT_STREQ(board->devnode, "/dev/ttyACM0");
    EXPECT_EQ(board->ifacenum, 0);
    leave(board, first_tty);
    EXPECT_STREQ(board->devnode, "/dev/hidraw0");
    EXPECT_STREQ(board->subsystem, "hidraw");
    leave(board, hidraw);
    EXPECT_STREQ(board->devnode, usb_node);
    EXPECT_STREQ(board->subsystem, "usb");
    EXPECT_EQ(board->ifacenum, -1);
}

TEST_F(DeviceRecords, HidSerialNodeKnownByItsHidDescriptorOnly) {
    add_usb_device(true);
    add_interface(0, "00");
    add_interface(1, "01");
    add_hid(0, hid_serial_hex);
    std::string serial = add_hidraw(0, "hidraw0");
    add_hid(1, zero_inside_hex);
    std::string cut = add_hidraw(1, "hidraw1");
    std::string cut_too = add_hidraw(1, "hidraw2");
    device_record* board = track(0x16C0, 0x0483, 0);

    arrive(board, cut);
    EXPECT_STREQ(board->devnode, usb_node);  // its descriptor ends at the zero byte
    arrive(board, serial);
    arrive(board, interface_path(0));
    arrive(board, cut_too);
    EXPECT_STREQ(board->devnode, "/dev/hidraw0");
    EXPECT_STREQ(board->subsystem, "hidraw");
    EXPECT_EQ(board->ifacenum, 0);
}

TEST_F(DeviceRecords, InterfaceNamedByProductCarriesTheStream) {
    add_usb_device(true);
    add_interface(0, "00");
    add_interface(1, "01");
    add_hid(0, plain_hex);
    add_hid(1, plain_hex);
    std::string on_one = add_hidraw(1, "hidraw1");
    std::string on_zero = add_hidraw(0, "hidraw0");

    // RawHID carries its stream on interface 1, whatever arrived last.
    device_record* raw = track(0x16C0, 0x0486, 0);
    arrive(raw, hid_path(1));
    arrive(raw, on_one);
    arrive(raw, on_zero);
    arrive(raw, hid_path(0));
    EXPECT_STREQ(raw->devnode, "/dev/hidraw1");
    EXPECT_STREQ(raw->subsystem, "hidraw");
    EXPECT_EQ(raw->ifacenum, 1);

    // Serial names no interface: a hidraw without the prefix is no candidate.
    device_record* serial = track(0x16C0, 0x0483, 0);
    arrive(serial, on_one);
    EXPECT_STREQ(serial->devnode, usb_node);
    EXPECT_STREQ(serial->subsystem, "usb");
    EXPECT_EQ(serial->ifacenum, -1);
}

TEST_F(DeviceRecords, LoaderTakesAnyHidrawAndTellsItsModel) {
    add_usb_device(true);
    add_interface(0, "00");
    add_hid(0, "069CFF0924A18875081500");
    std::string hidraw = add_hidraw(0, "hidraw0");

    device_record* loader = track(0x16C0, 0x0478, 0x0271);
    arrive(loader, interface_path(0));
    EXPECT_EQ(loader->model, 27);  // from the release until the descriptor is seen
    arrive(loader, hidraw);
    EXPECT_STREQ(loader->devnode, "/dev/hidraw0");
    EXPECT_STREQ(loader->subsystem, "hidraw");
    EXPECT_EQ(loader->ifacenum, 0);
    arrive(loader, hid_path(0));
    EXPECT_EQ(loader->model, 36);

    // The other loader: the node is found the same way, but its vendor
    // names no model, from the release or from a descriptor.
    device_record* other = track(0x1FC9, 0x0135, 0x0271);
    arrive(other, hid_path(0));
    arrive(other, hidraw);
    EXPECT_STREQ(other->devnode, "/dev/hidraw0");
    EXPECT_EQ(other->model, 0);
}

TEST_F(DeviceRecords, SamePathStoresNothingAndModelNeverReturnsToZero) {
    add_usb_device(true);
    add_interface(0, "00");
    std::string tty = add_tty(0, "ttyACM0");
    device_record* board = track(0x16C0, 0x0483, 0x0100);
    arrive(board, tty);
    ASSERT_STREQ(board->devnode, "/dev/ttyACM0");

    static const char sentinel[] = "sentinel";
    board->subsystem = sentinel;
    board->ifacenum = 77;
    board->model = 31;
    arrive(board, interface_path(0));
    EXPECT_STREQ(board->devnode, "/dev/ttyACM0");
    EXPECT_EQ(board->subsystem, sentinel);
    EXPECT_EQ(board->ifacenum, 77);
    EXPECT_EQ(board->model, 31);  // release 0x0100 names none
}

TEST_F(DeviceRecords, InterfaceNumberParsedFromTheInterfaceAbove) {
    add_usb_device(true);
    struct row {
        const char* text;
        int32_t number;
    };
    const row rows[] = {{"01", 1},          {"12", 12},
                        {"-3", -1},         {"x1", -1},
                        {"", -1},           {" +2 tail", 2},
                        {"-0", 0},          {"2147483647", 2147483647},
                        {"2147483648", -1}, {"99999999999999999999", -1}};
    int n = 0;
    for (const row& r : rows) {
        add_interface(n, r.text);
        std::string name = "ttyACM" + std::to_string(n);
        udev_device* tty = udev_device_new_from_syspath(context, add_tty(n, name.c_str()).c_str());
        ASSERT_NE(tty, nullptr);
        EXPECT_EQ(interface_number_of(tty), r.number) << '"' << r.text << '"';
        udev_device_unref(tty);
        n++;
    }
    udev_device* usb = udev_device_new_from_syspath(context, usb_path.c_str());
    ASSERT_NE(usb, nullptr);
    EXPECT_EQ(interface_number_of(usb), -1);
    udev_device_unref(usb);
}
