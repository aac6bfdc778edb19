#include "bridge/port_publishing.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "bridge/endpoint.h"
#include "bridge/opener.h"
#include "bridge/port_table.h"
#include "common/copy_bounded.h"
#include "common/trace.h"
#include "support/os_fakes.h"

namespace {

constexpr uint32_t serial_product = 0x0483;  // a tty product
constexpr uint32_t rawhid_product = 0x0486;  // HID serial on interface 1

const char* const board_a = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";
const char* const board_b = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-3";

// What a test sees of one entry, read under port_lock.
struct entry_view {
    bool found;
    std::string devnode;
    int32_t is_serial;
    int32_t is_hid;
};

entry_view entry_of(const char* address) {
    entry_view view{false, "", 0, 0};
    port_lock_acquire();
    for (port_entry* entry = port_list; entry != nullptr; entry = entry->next) {
        if (strcmp(entry->address, address) == 0) {
            view = entry_view{true, entry->devnode, entry->is_serial, entry->is_hid};
            break;
        }
    }
    port_lock_release();
    return view;
}

int entry_count() {
    int count = 0;
    port_lock_acquire();
    for (port_entry* entry = port_list; entry != nullptr; entry = entry->next) {
        ++count;
    }
    port_lock_release();
    return count;
}

bool board_side_open() {
    port_lock_acquire();
    bool open = device_endpoint.fd >= 0;
    port_lock_release();
    return open;
}

void select_address(const char* address) {
    port_lock_acquire();
    copy_bounded(selected_address, address, sizeof selected_address);
    port_lock_release();
}

// A record as node selection leaves it: the chosen node, its subsystem and interface.
device_record record_of(const char* location, const std::string& devnode, uint32_t vid,
                        uint32_t pid, uint32_t bcd, const char* subsystem, int32_t ifacenum) {
    device_record record{};
    copy_bounded(record.location, location, sizeof record.location);
    copy_bounded(record.devnode, devnode.c_str(), sizeof record.devnode);
    record.vid = vid;
    record.pid = pid;
    record.bcd = bcd;
    record.subsystem = subsystem;
    record.ifacenum = ifacenum;
    return record;
}

device_record tty_record(const char* location, const std::string& devnode) {
    return record_of(location, devnode, 0x16C0, serial_product, 0x0279, "tty", 0);
}

class PortPublishing : public ::testing::Test {
protected:
    void SetUp() override {
        pthread_mutex_init(&port_lock, nullptr);
        port_list = nullptr;
        selected_address[0] = '\0';
        endpoint_reset(&device_endpoint);
        endpoint_reset(&ide_endpoint);
    }

    void TearDown() override {
        port_lock_acquire();
        bridge_unwant();  // the opener tries nothing more: the entries go
        int32_t let_go = bridge_close();
        endpoint_close(&ide_endpoint);
        port_lock_release();
        if (let_go >= 0) {
            relays_await(let_go);
        }
        while (port_list != nullptr) {
            port_entry* next = port_list->next;
            free(port_list);
            port_list = next;
        }
    }
};

TEST_F(PortPublishing, OnlyBridgeableNodesOfFollowedIdentitiesArePublished) {
    struct row {
        const char* location;
        device_record record;
        int32_t is_serial;
        int32_t is_hid;
    };
    const row rows[] = {
        // One identity is never a port with release 0x9999 only.
        {"/a1", record_of("/a1", "/dev/ttyACM1", 0x16C0, 0x0476, 0x9999, "tty", 0), 0, 0},
        {"/a2", record_of("/a2", "/dev/ttyACM2", 0x16C0, 0x0476, 0x9998, "tty", 0), 1, 0},
        {"/a3", record_of("/a3", "/dev/ttyACM3", 0x16C0, 0x0477, 0x0279, "tty", 0), 0, 0},
        {"/a4", record_of("/a4", "/dev/hidraw4", 0x16C0, 0x0478, 0x0279, "hidraw", 0), 0, 0},
        {"/a5", record_of("/a5", "/dev/hidraw5", 0x1FC9, 0x0135, 0x0000, "hidraw", 0), 0, 0},
        {"/a6", record_of("/a6", "/dev/ttyACM6", 0x1FC9, serial_product, 0x0279, "tty", 0), 0, 0},
        {"/a7", record_of("/a7", "[no_device]", 0x16C0, serial_product, 0x0279, "tty", 0), 0, 0},
        // The USB device's own node, before any child is known.
        {"/a8", record_of("/a8", "/dev/bus/usb/001/008", 0x16C0, serial_product, 0, "usb", -1), 0,
         0},
        {"/a9", record_of("/a9", "/dev/ttyACM9", 0x16C0, serial_product, 0, nullptr, 0), 0, 0},
        // A tty product's hidraw node is not its stream, even when chosen.
        {"/b1", record_of("/b1", "/dev/hidraw1", 0x16C0, serial_product, 0, "hidraw", 0), 0, 0},
        // A HID-serial product: its stream is the hidraw node of interface 1 alone.
        {"/b2", record_of("/b2", "/dev/ttyACM2", 0x16C0, rawhid_product, 0, "tty", 1), 0, 0},
        {"/b3", record_of("/b3", "/dev/hidraw3", 0x16C0, rawhid_product, 0, "hidraw", 0), 0, 0},
        {"/b4", record_of("/b4", "/dev/hidraw4", 0x16C0, rawhid_product, 0, "hidraw", 1), 0, 1},
        {"/b5", record_of("/b5", "/dev/hidraw5", 0x16C0, rawhid_product, 0, "hid", 1), 0, 0},
        // HID-serial products whose stream is the hidraw node of interface 0.
        {"/c1", record_of("/c1", "/dev/hidraw6", 0x16C0, 0x04D1, 0, "hidraw", 0), 0, 1},
        {"/c2", record_of("/c2", "/dev/hidraw7", 0x16C0, 0x04D2, 0, "hidraw", 0), 0, 1},
        {"/c3", record_of("/c3", "/dev/hidraw8", 0x16C0, 0x04D2, 0, "hidraw", 1), 0, 0},
    };
    for (const row& r : rows) {
        port_publish(&r.record);
        entry_view view = entry_of(r.location);
        EXPECT_EQ(view.found, r.is_serial + r.is_hid == 1) << r.location;
        EXPECT_EQ(view.is_serial, r.is_serial) << r.location;
        EXPECT_EQ(view.is_hid, r.is_hid) << r.location;
        if (view.found) {
            EXPECT_EQ(view.devnode, r.record.devnode) << r.location;
        }
    }
    EXPECT_EQ(entry_count(), 4);
    // The node tests alone do not look at the identity.
    EXPECT_EQ(is_serial_port(&rows[0].record), 1);
    EXPECT_EQ(is_hid_port(&rows[12].record), 1);
    EXPECT_EQ(is_hid_port(&rows[3].record), 0);
}

TEST_F(PortPublishing, RepublicationReusesTheEntryOfTheExactAddress) {
    device_record serial = tty_record(board_a, "/dev/ttyACM0");
    port_publish(&serial);
    // An address that only begins like another one is a port of its own.
    std::string longer = std::string(board_a) + ".1";
    device_record nested = tty_record(longer.c_str(), "/dev/ttyACM1");
    port_publish(&nested);
    ASSERT_EQ(entry_count(), 2);

    port_withdraw(&serial);
    entry_view withdrawn = entry_of(board_a);
    EXPECT_TRUE(withdrawn.found);
    EXPECT_EQ(withdrawn.devnode, "/dev/ttyACM0");
    EXPECT_EQ(withdrawn.is_serial + withdrawn.is_hid, 0);
    EXPECT_EQ(entry_of(longer.c_str()).is_serial, 1);

    // Back at the same location in its loader: still withdrawn.
    device_record loader = record_of(board_a, "/dev/hidraw0", 0x16C0, 0x0478, 0, "hidraw", 0);
    port_publish(&loader);
    EXPECT_EQ(entry_of(board_a).is_serial + entry_of(board_a).is_hid, 0);
    EXPECT_EQ(entry_of(board_a).devnode, "/dev/ttyACM0");

    // Back as a HID-serial product: the same entry, with the new node and kind.
    device_record hid = record_of(board_a, "/dev/hidraw2", 0x16C0, rawhid_product, 0, "hidraw", 1);
    port_publish(&hid);
    entry_view republished = entry_of(board_a);
    EXPECT_EQ(republished.devnode, "/dev/hidraw2");
    EXPECT_EQ(republished.is_serial, 0);
    EXPECT_EQ(republished.is_hid, 1);
    EXPECT_EQ(entry_count(), 2);
}

TEST_F(PortPublishing, SelectedBoardOpensOnPublicationAndClosesOnRemoval) {
    pty_pair board = pty_open();
    pty_pair other = pty_open();
    loopback_listener ide = listener_open();
    ASSERT_GE(board.master, 0);
    ASSERT_GE(other.master, 0);
    ASSERT_GE(ide.fd, 0);
    // Before the first OPEN nothing is selected and nothing opens.
    device_record selected = tty_record(board_a, board.slave_path);
    port_publish(&selected);
    EXPECT_FALSE(board_side_open());
    EXPECT_EQ(open_descriptors_of(board.slave_path), 0);

    select_address("usb1/1-2");  // the IDE names the tail from "usb" on
    ASSERT_EQ(endpoint_connect(&ide_endpoint, INADDR_LOOPBACK, ide.port), 1);
    int connection = listener_accept(ide, 2000);
    ASSERT_GE(connection, 0);

    // Another board's publication leaves the board side closed.
    device_record unselected = tty_record(board_b, other.slave_path);
    port_publish(&unselected);
    EXPECT_FALSE(board_side_open());

    port_publish(&selected);
    ASSERT_TRUE(eventually(board_side_open));
    ASSERT_TRUE(write_all(board.master, "from board"));
    EXPECT_EQ(read_exactly(connection, 10, 2000), "from board");
    ASSERT_TRUE(write_all(connection, "to board"));
    EXPECT_EQ(read_exactly(board.master, 8, 2000), "to board");

    // A new node for the open board (its old node's removal was lost):
    // the entry takes it and the board side follows it there.
    device_record renamed = tty_record(board_a, other.slave_path);
    port_publish(&renamed);
    EXPECT_EQ(entry_of(board_a).devnode, other.slave_path);
    EXPECT_TRUE(eventually([&] { return open_descriptors_of(board.slave_path) == 0; }));
    EXPECT_TRUE(eventually([&] { return open_descriptors_of(other.slave_path) >= 1; }));
    ASSERT_TRUE(write_all(connection, "to new node"));
    EXPECT_EQ(read_exactly(other.master, 11, 2000), "to new node");

    port_withdraw(&unselected);
    EXPECT_TRUE(board_side_open());
    EXPECT_GE(open_descriptors_of(other.slave_path), 1);

    port_withdraw(&renamed);
    EXPECT_FALSE(board_side_open());
    // Relays included, nothing of this process holds the removed node.
    EXPECT_TRUE(eventually([&] { return open_descriptors_of(other.slave_path) == 0; }));
    EXPECT_EQ(entry_of(board_a).is_serial, 0);

    close(connection);
    close(ide.fd);
    close(board.master);
    close(other.master);
}

TEST_F(PortPublishing, RemovalOfTheSelectedAddressClosesWithoutAnEntry) {
    pty_pair board = pty_open();
    ASSERT_GE(board.master, 0);
    // The side was opened for some port; the selected board was never published.
    port_lock_acquire();
    ASSERT_EQ(endpoint_open_serial(&device_endpoint, board.slave_path.c_str()), 1);
    port_lock_release();

    device_record other = tty_record(board_b, "/dev/ttyACM9");
    port_withdraw(&other);
    EXPECT_TRUE(board_side_open());  // nothing is selected yet

    select_address(board_a);
    port_withdraw(&other);
    EXPECT_TRUE(board_side_open());

    device_record gone = tty_record(board_a, "/dev/ttyACM0");
    port_withdraw(&gone);
    EXPECT_FALSE(board_side_open());
    EXPECT_EQ(open_descriptors_of(board.slave_path), 0);
    EXPECT_EQ(entry_count(), 0);
    close(board.master);
}

}  // namespace

namespace {

// The watcher's child_removed: the record names its node anew.
TEST_F(PortPublishing, TheRemovalOfTheNodeTheBoardSideHoldsClosesIt) {
    pty_pair board = pty_open();
    pty_pair next = pty_open();
    loopback_listener ide = listener_open();
    ASSERT_GE(board.master, 0);
    ASSERT_GE(next.master, 0);
    ASSERT_GE(ide.fd, 0);
    select_address("usb1/1-2");
    ASSERT_EQ(endpoint_connect(&ide_endpoint, INADDR_LOOPBACK, ide.port), 1);
    int connection = listener_accept(ide, 2000);
    ASSERT_GE(connection, 0);
    device_record record = tty_record(board_a, board.slave_path);
    port_publish(&record);
    ASSERT_TRUE(eventually(board_side_open));

    // Another board's node going changes nothing here.
    device_record other = tty_record(board_b, next.slave_path);
    port_publish(&other);
    copy_bounded(other.devnode, "/dev/bus/usb/001/003", sizeof other.devnode);
    other.subsystem = "usb";
    port_node_changed(&other);
    EXPECT_TRUE(board_side_open());
    EXPECT_EQ(entry_of(board_b).is_serial, 0);

    // The selected board's tty goes; its USB device's own node is chosen,
    // which is no port: the side closes and the port is withdrawn.
    copy_bounded(record.devnode, "/dev/bus/usb/001/002", sizeof record.devnode);
    record.subsystem = "usb";
    port_node_changed(&record);
    EXPECT_FALSE(board_side_open());
    EXPECT_TRUE(eventually([&] { return open_descriptors_of(board.slave_path) == 0; }));
    EXPECT_EQ(entry_of(board_a).is_serial, 0);

    // The new node comes: the side opens on it, with the same connection.
    device_record rebound = tty_record(board_a, next.slave_path);
    port_publish(&rebound);
    ASSERT_TRUE(eventually(board_side_open));
    ASSERT_TRUE(write_all(connection, "rebound"));
    EXPECT_EQ(read_exactly(next.master, 7, 2000), "rebound");

    close(connection);
    close(ide.fd);
    close(board.master);
    close(next.master);
}

// A board that comes back with a node this process may not open yet:
// nothing can answer on standard output, so the trace file says it, the
// IDE's connection stays, and the node is tried again, at once on a change
// event and then after growing pauses, until it opens.
TEST_F(PortPublishing, ANodeTheWatcherCannotOpenIsTracedAndTheIdeStays) {
    char trace_path[] = "/tmp/murlen-trace-XXXXXX";
    int trace_file = mkstemp(trace_path);
    ASSERT_GE(trace_file, 0);
    setenv("MURLEN_TEST_TRACE", trace_path, 1);
    trace_setup("MURLEN_TEST_TRACE");
    loopback_listener ide = listener_open();
    ASSERT_GE(ide.fd, 0);
    select_address("usb1/1-2");
    ASSERT_EQ(endpoint_connect(&ide_endpoint, INADDR_LOOPBACK, ide.port), 1);
    int connection = listener_accept(ide, 2000);
    ASSERT_GE(connection, 0);
    char directory[] = "/tmp/murlen-late-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    std::string node = std::string(directory) + "/ttyACM9";

    device_record record = tty_record(board_a, node);
    port_publish(&record);
    std::string traced;
    auto traced_has = [&](const std::string& text) {
        return eventually([&] {
            traced += read_exactly(trace_file, 65536, 1);
            return traced.find(text) != std::string::npos;
        });
    };
    EXPECT_TRUE(traced_has("can not open " + node + ": No such file or directory")) << traced;
    EXPECT_TRUE(traced_has("opening " + node + " again after")) << traced;
    port_changed(&record);
    EXPECT_TRUE(traced_has("opening " + node + ": a change event came")) << traced;
    EXPECT_FALSE(board_side_open());
    EXPECT_GE(ide_endpoint.fd, 0);
    EXPECT_TRUE(stays_quiet(connection, 20));

    // The node appears late (udev made it, or let us open it): a later try opens it.
    pty_pair board = pty_open();
    ASSERT_GE(board.master, 0);
    ASSERT_EQ(symlink(board.slave_path.c_str(), node.c_str()), 0);
    EXPECT_TRUE(eventually(board_side_open));
    // The trace stays set up: the relays that run now may still write to it.
    unsetenv("MURLEN_TEST_TRACE");
    close(trace_file);
    unlink(trace_path);
    unlink(node.c_str());
    rmdir(directory);
    close(board.master);
    close(connection);
    close(ide.fd);
}

}  // namespace
