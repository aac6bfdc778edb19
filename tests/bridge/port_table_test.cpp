#include "bridge/port_table.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include "bridge/bridge_fakes.h"
#include "bridge/opener.h"
#include "common/copy_bounded.h"
#include "support/os_fakes.h"

namespace {

constexpr uint32_t loopback = 0x7F000001;

TEST(AddressMatches, WholePathOrItsTailFromTheFirstUsb) {
    const char* address = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";
    const char* nested = "/sys/devices/usb2/2-1/usb3/3-1";
    struct row {
        const char* address;
        const char* wanted;
        int32_t matches;
    };
    const row rows[] = {
        {address, address, 1},
        {address, "usb1/1-2", 1},
        {address, "/usb1/1-2", 0},
        {address, "1-2", 0},
        {address, "usb1", 0},
        // A trailing slash names no device, on either form.
        {address, "usb1/1-2/", 0},
        {address, "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/", 0},
        {address, "", 0},
        {"", "", 0},
        {"", "usb1/1-2", 0},
        {nullptr, "usb1/1-2", 0},
        {address, nullptr, 0},
        // From the first "/usb" only; and never cut from the wanted text.
        {nested, "usb2/2-1/usb3/3-1", 1},
        {nested, "usb3/3-1", 0},
        {"usb1/1-2", address, 0},
        {"/sys/devices/platform/serial8250", "serial8250", 0},
    };
    for (const row& r : rows) {
        EXPECT_EQ(address_matches(r.address, r.wanted), r.matches)
            << (r.address != nullptr ? r.address : "(null)") << " against "
            << (r.wanted != nullptr ? r.wanted : "(null)");
    }
}

// A port entry as publication leaves it; the tests own it.
port_entry entry_for(const std::string& devnode, int32_t is_serial, int32_t is_hid) {
    port_entry entry{};
    copy_bounded(entry.address, "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2",
                 sizeof entry.address);
    copy_bounded(entry.devnode, devnode.c_str(), sizeof entry.devnode);
    entry.is_serial = is_serial;
    entry.is_hid = is_hid;
    return entry;
}

// As the command loop and the watcher do: bridge_open takes port_lock itself.
int32_t open_bridge(port_entry* entry) {
    return bridge_open(entry);
}

// As CLOSE does: the wait for the relays comes after the lock is released.
void close_bridge() {
    port_lock_acquire();
    int32_t let_go = bridge_close();
    port_lock_release();
    relays_await(let_go);
}

int device_fd() {
    port_lock_acquire();
    int fd = device_endpoint.fd;
    port_lock_release();
    return fd;
}

// The command loop's OPEN: connect without the lock, store under it.
void ide_store(const endpoint& connected) {
    port_lock_acquire();
    ide_endpoint = connected;
    port_lock_release();
}

// A board on a pty: the test holds the master, the bridge opens the slave.
struct fake_board {
    fd_holder master;
    std::string path;
};

void board_open(fake_board* board) {
    pty_pair pty = pty_open();
    ASSERT_GE(pty.master, 0);
    board->master.reset(pty.master);
    board->path = pty.slave_path;
}

// Each case starts with no board side, no IDE and no relays, and must leave
// none behind.
class Bridge : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        pthread_mutex_init(&port_lock, nullptr);
        // A sanitizer runtime starts a helper thread with the first thread
        // made; make one now so that the counts below see only relays.
        std::thread([] {}).join();
        // The opener thread lives as long as the process: counted before too.
        port_lock_acquire();
        opener_start();
        port_lock_release();
    }

    void SetUp() override {
        port_lock_acquire();
        port_list = nullptr;
        // The address of entry_for: only the selected board is ever opened.
        port_select("usb1/1-2");
        endpoint_reset(&device_endpoint);
        endpoint_reset(&ide_endpoint);
        port_lock_release();
        threads_before = thread_count();
        ASSERT_GT(threads_before, 0);
    }

    void TearDown() override {
        close_bridge();
        port_lock_acquire();
        endpoint_close(&ide_endpoint);
        port_lock_release();
        EXPECT_TRUE(eventually([&] { return thread_count() == threads_before; }))
            << "relay threads left behind";
    }

    // Connects the IDE side to a fresh loopback listener; returns the IDE's end.
    int ide_connect() {
        loopback_listener listener = listener_open();
        if (listener.fd < 0) {
            return -1;
        }
        endpoint connected{0, 0, 0, -1};
        int accepted = -1;
        if (endpoint_connect(&connected, loopback, listener.port) == 1) {
            ide_store(connected);
            accepted = listener_accept(listener, 5000);
        }
        close(listener.fd);
        return accepted;
    }

    // An IDE side on a socket pair whose relay end can hold only a little.
    int ide_pair_small() {
        int sv[2] = {-1, -1};
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
            return -1;
        }
        int small = 4096;
        setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        set_nonblocking(sv[0]);
        ide_store(endpoint{0, 0, 1, sv[0]});
        return sv[1];
    }

    int threads_before = 0;
};

TEST_F(Bridge, OpensByTheRulesOfTheEntryAndTheIde) {
    fake_board board;
    board_open(&board);
    port_entry withdrawn = entry_for(board.path, 0, 0);
    EXPECT_EQ(open_bridge(&withdrawn), 0);
    EXPECT_LT(device_fd(), 0);
    port_entry missing = entry_for("/nonexistent/ttyACM7", 1, 0);
    EXPECT_EQ(open_bridge(&missing), 0);
    EXPECT_LT(device_fd(), 0);

    // No IDE yet: the board side opens without relays.
    port_entry serial = entry_for(board.path, 1, 0);
    EXPECT_EQ(open_bridge(&serial), 1);
    int fd = device_fd();
    EXPECT_GE(fd, 0);
    EXPECT_EQ(thread_count(), threads_before);

    // Already open: nothing changes, for another entry and a new IDE alike.
    fd_holder ide(ide_connect());
    ASSERT_GE(ide.fd, 0);
    port_entry other = entry_for("/nonexistent/hidraw7", 0, 1);
    EXPECT_EQ(open_bridge(&other), 1);
    EXPECT_EQ(open_bridge(&serial), 1);
    EXPECT_EQ(device_fd(), fd);
    EXPECT_EQ(thread_count(), threads_before);

    // Closed and opened again with the IDE there: two relays, HID kind.
    close_bridge();
    EXPECT_LT(device_fd(), 0);
    port_entry hid = entry_for(board.path, 0, 1);
    EXPECT_EQ(open_bridge(&hid), 1);
    port_lock_acquire();
    EXPECT_EQ(device_endpoint.is_hid, 1);
    port_lock_release();
    EXPECT_EQ(thread_count(), threads_before + 2);
}

TEST_F(Bridge, RelaysEveryByteBothWaysThroughATtyAndTcp) {
    fake_board board;
    board_open(&board);
    fd_holder ide(ide_connect());
    ASSERT_GE(ide.fd, 0);
    port_entry serial = entry_for(board.path, 1, 0);
    ASSERT_EQ(open_bridge(&serial), 1);

    std::string values = every_byte_value();
    ASSERT_TRUE(write_all(ide.fd, values));
    EXPECT_TRUE(read_exactly(board.master.fd, values.size(), 5000) == values);
    ASSERT_TRUE(write_all(board.master.fd, values));
    EXPECT_TRUE(read_exactly(ide.fd, values.size(), 5000) == values);

    // Several MiB each way at once.
    std::string to_board = pattern_bytes(4 << 20, 11);
    std::string to_ide = pattern_bytes(4 << 20, 12);
    std::string board_got;
    std::string ide_got;
    std::thread ide_writer([&] { write_all(ide.fd, to_board); });
    std::thread board_writer([&] { write_all(board.master.fd, to_ide); });
    std::thread board_reader(
        [&] { board_got = read_exactly(board.master.fd, to_board.size(), 60000); });
    ide_got = read_exactly(ide.fd, to_ide.size(), 60000);
    board_reader.join();
    board_writer.join();
    ide_writer.join();
    EXPECT_EQ(board_got.size(), to_board.size());
    EXPECT_TRUE(board_got == to_board);
    EXPECT_EQ(ide_got.size(), to_ide.size());
    EXPECT_TRUE(ide_got == to_ide);
}

TEST_F(Bridge, RelaysOfAHidBoardMoveOneReportPerPass) {
    // A pty stands for the hidraw node: it takes the reports the relays write.
    fake_board board;
    board_open(&board);
    fd_holder ide(ide_connect());
    ASSERT_GE(ide.fd, 0);
    port_entry hid = entry_for(board.path, 0, 1);
    ASSERT_EQ(open_bridge(&hid), 1);

    // 100 bytes from the IDE become 32-byte reports of text and zeros.
    std::string typed = pattern_bytes(100, 5);
    for (char& c : typed) {
        c = static_cast<char>('A' + static_cast<unsigned char>(c) % 26);
    }
    ASSERT_TRUE(write_all(ide.fd, typed));
    std::string reports;
    std::string text;
    EXPECT_TRUE(eventually([&] {
        reports += read_exactly(board.master.fd, 32, 100);
        text.clear();
        for (char c : reports) {
            if (c != '\0') {
                text += c;
            }
        }
        return text.size() >= typed.size() && reports.size() % 32 == 0;
    }));
    EXPECT_EQ(text, typed);
    for (size_t at = 0; at + 32 <= reports.size(); at += 32) {
        std::string one = reports.substr(at, 32);
        size_t end = one.find('\0');
        EXPECT_NE(end, 0u) << "an empty report";
        if (end != std::string::npos) {
            EXPECT_EQ(one.find_first_not_of('\0', end), std::string::npos)
                << "text after the zeros of a report";
        }
    }

    // One input report reaches the IDE as its text.
    std::string report = "abc";
    report.resize(64, '\0');
    ASSERT_TRUE(write_all(board.master.fd, report));
    EXPECT_EQ(read_exactly(ide.fd, 3, 5000), "abc");
    EXPECT_TRUE(stays_quiet(ide.fd, 50));
}

// A relay run by the test itself, on socket pairs it holds the other ends of.
struct relay_rig {
    fd_holder source;       // the test's end of what the relay reads
    fd_holder destination;  // the test's end of what the relay writes
    fd_holder stop;         // closing it stops the relay
    fd_holder let_go;       // end of file once the relay has ended
    pthread_t thread{};
    bool started = false;
};

// Starts a relay reading a source of the given kind and writing a socket;
// after_fd (taken over) is the previous opening's let-go, or -1.
void rig_start(relay_rig* rig, const endpoint& source_kind, int source_type, int after_fd) {
    int source_pair[2];
    int destination_pair[2];
    int stop_pipe[2];
    int let_go_pipe[2];
    ASSERT_EQ(socketpair(AF_UNIX, source_type | SOCK_CLOEXEC, 0, source_pair), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, destination_pair), 0);
    ASSERT_EQ(pipe2(stop_pipe, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(let_go_pipe, O_CLOEXEC), 0);
    rig->source.reset(source_pair[1]);
    rig->destination.reset(destination_pair[1]);
    rig->stop.reset(stop_pipe[1]);
    rig->let_go.reset(let_go_pipe[0]);
    auto* args = static_cast<relay_args*>(calloc(1, sizeof(relay_args)));
    ASSERT_NE(args, nullptr);
    args->source = source_kind;
    args->source.fd = source_pair[0];
    args->destination = endpoint{0, 0, 1, destination_pair[0]};
    args->label = "test relay";
    args->stop_fd = stop_pipe[0];
    args->let_go_fd = let_go_pipe[1];
    args->after_fd = after_fd;
    ASSERT_EQ(pthread_create(&rig->thread, nullptr, relay_thread, args), 0);
    rig->started = true;
}

// True when the relay ended within timeout_ms; then its thread is joined.
bool rig_ended(relay_rig* rig, int timeout_ms) {
    if (!readable_within(rig->let_go.fd, timeout_ms)) {
        return false;
    }
    pthread_join(rig->thread, nullptr);
    rig->started = false;
    return true;
}

// Stops a relay that a failed check left running, so the case can end.
void rig_finish(relay_rig* rig) {
    if (rig->started) {
        rig->stop.reset();
        rig->source.reset();
        pthread_join(rig->thread, nullptr);
        rig->started = false;
    }
}

std::string hid_report(const std::string& text) {
    std::string report = text;
    report.resize(64, '\0');
    return report;
}

TEST(Relay, SkipsHidReportsWithoutTextAndEndsOnlyAtEndOfStream) {
    relay_rig rig;
    rig_start(&rig, endpoint{0, 1, 0, -1}, SOCK_SEQPACKET, -1);
    // Reports whose first byte is zero carry no text: skipped, however many.
    for (const char* text : {"one", "", "two", "", "", "three"}) {
        ASSERT_TRUE(write_all(rig.source.fd, hid_report(text)));
    }
    for (int i = 0; i < 25; ++i) {
        ASSERT_TRUE(write_all(rig.source.fd, hid_report("")));
    }
    ASSERT_TRUE(write_all(rig.source.fd, hid_report("four")));
    EXPECT_EQ(read_exactly(rig.destination.fd, 15, 5000), "onetwothreefour");
    EXPECT_FALSE(rig_ended(&rig, 0)) << "ended on reports without text";
    // The board's node ending is an error that will not heal.
    rig.source.reset();
    EXPECT_TRUE(rig_ended(&rig, 5000)) << "still running after the end of its source";
    rig_finish(&rig);
}

TEST(Relay, AStoppedRelayTakesNoByteAndWaitsForThePreviousOpening) {
    int after_pipe[2];
    ASSERT_EQ(pipe2(after_pipe, O_CLOEXEC), 0);
    fd_holder previous_let_go(after_pipe[1]);

    // Waits for the previous opening before it takes anything.
    relay_rig rig;
    rig_start(&rig, endpoint{0, 0, 1, -1}, SOCK_STREAM, after_pipe[0]);
    ASSERT_TRUE(write_all(rig.source.fd, "typed"));
    EXPECT_TRUE(stays_quiet(rig.destination.fd, 100)) << "relayed beside the previous opening";
    previous_let_go.reset();
    EXPECT_EQ(read_exactly(rig.destination.fd, 5, 5000), "typed");
    rig.stop.reset();
    EXPECT_TRUE(rig_ended(&rig, 5000));
    rig_finish(&rig);

    // Stopped before it began, with bytes waiting: it takes none of them, and
    // it lets go only after the previous opening has.
    ASSERT_EQ(pipe2(after_pipe, O_CLOEXEC), 0);
    previous_let_go.reset(after_pipe[1]);
    relay_rig stopped;
    rig_start(&stopped, endpoint{0, 0, 1, -1}, SOCK_STREAM, after_pipe[0]);
    ASSERT_TRUE(write_all(stopped.source.fd, "later"));
    stopped.stop.reset();
    EXPECT_FALSE(rig_ended(&stopped, 100));
    previous_let_go.reset();
    EXPECT_TRUE(rig_ended(&stopped, 5000));
    rig_finish(&stopped);
    char byte;
    EXPECT_EQ(read(stopped.destination.fd, &byte, 1), 0) << "relayed after its stop";
}

TEST_F(Bridge, CloseReleasesTheNodeAndWakesARelayStuckWriting) {
    fake_board board;
    board_open(&board);
    fd_holder ide(ide_pair_small());
    ASSERT_GE(ide.fd, 0);
    port_entry serial = entry_for(board.path, 1, 0);
    ASSERT_EQ(open_bridge(&serial), 1);
    ASSERT_TRUE(write_all(board.master.fd, "up"));
    EXPECT_EQ(read_exactly(ide.fd, 2, 5000), "up");
    // The board reads nothing more: the close drops the output still waiting
    // for it, and the board's end of the line hears of that flush.
    int packet_mode = 1;
    ASSERT_EQ(ioctl(board.master.fd, TIOCPKT, &packet_mode), 0);
    ASSERT_TRUE(write_all(ide.fd, "unsent"));
    pollfd typed{board.master.fd, POLLIN, 0};
    ASSERT_EQ(poll(&typed, 1, 5000), 1);
    close_bridge();
    char packet[64] = {};
    EXPECT_EQ(read(board.master.fd, packet, sizeof packet), 1);
    EXPECT_NE(packet[0] & TIOCPKT_FLUSHWRITE, 0) << "closed without dropping its output";
    packet_mode = 0;
    ASSERT_EQ(ioctl(board.master.fd, TIOCPKT, &packet_mode), 0);
    EXPECT_EQ(open_descriptors_of(board.path), 0);
    EXPECT_TRUE(eventually([&] { return thread_count() == threads_before; }));

    // The IDE stops reading; the board talks until the relay can write no
    // more and the board's node fills up behind it.
    ASSERT_EQ(open_bridge(&serial), 1);
    set_nonblocking(board.master.fd);
    std::string chunk(4096, 'z');
    bool full = eventually(
        [&] {
            while (write(board.master.fd, chunk.data(), chunk.size()) > 0) {
            }
            pollfd pfd{board.master.fd, POLLOUT, 0};
            return poll(&pfd, 1, 200) == 0;
        },
        20000);
    ASSERT_TRUE(full);
    close_bridge();
    EXPECT_EQ(open_descriptors_of(board.path), 0) << "a relay still holds the node";
}

TEST_F(Bridge, BytesTypedAfterAReopenAllReachTheNewNode) {
    fake_board boards[2];
    board_open(&boards[0]);
    board_open(&boards[1]);
    fd_holder ide(ide_connect());
    ASSERT_GE(ide.fd, 0);
    for (int round = 0; round < 40; ++round) {
        fake_board& board = boards[round % 2];
        port_entry serial = entry_for(board.path, 1, 0);
        ASSERT_EQ(open_bridge(&serial), 1);
        std::string typed = "round " + std::to_string(round) + "\n";
        ASSERT_TRUE(write_all(ide.fd, typed));
        ASSERT_EQ(read_exactly(board.master.fd, typed.size(), 5000), typed);
        // Closed without waiting for the relays, as a CLOSE racing with the
        // watcher's reopen; every third round as an unplug that closes the
        // board side without stopping the relays.
        port_lock_acquire();
        if (round % 3 == 2) {
            endpoint_close(&device_endpoint);
        } else {
            int32_t let_go = bridge_close();
            if (let_go >= 0) {
                close(let_go);
            }
        }
        port_lock_release();
    }
    // Nothing more reached either board (a master reports the hang-up of its
    // closed slave, so read what is there instead of waiting for quiet).
    for (fake_board& board : boards) {
        set_nonblocking(board.master.fd);
        char byte;
        EXPECT_LE(read(board.master.fd, &byte, 1), 0) << "a byte went to an earlier opening";
    }
}

TEST_F(Bridge, TheIdeLeavingMidStreamEndsTheRelaysOnly) {
    fake_board board;
    board_open(&board);
    fd_holder ide(ide_connect());
    ASSERT_GE(ide.fd, 0);
    port_entry serial = entry_for(board.path, 1, 0);
    ASSERT_EQ(open_bridge(&serial), 1);

    std::atomic<bool> talking{true};
    std::thread board_talks([&] {
        std::string line(1000, 'b');
        while (talking.load()) {
            pollfd pfd{board.master.fd, POLLOUT, 0};
            if (poll(&pfd, 1, 10) == 1) {
                ssize_t written = write(board.master.fd, line.data(), line.size());
                (void)written;
            }
        }
    });
    EXPECT_EQ(read_exactly(ide.fd, 20000, 5000).size(), 20000u);
    ide.reset();
    // Both relays fail their way out while the board goes on talking.
    EXPECT_TRUE(eventually([&] { return thread_count() == threads_before + 1; }));
    talking = false;
    board_talks.join();
    EXPECT_GE(device_fd(), 0);
}

TEST_F(Bridge, ManyOpeningsLeaveNoThreadsOrDescriptorsBehind) {
    fake_board board;
    board_open(&board);
    fd_holder ide(ide_pair_small());
    ASSERT_GE(ide.fd, 0);
    port_entry serial = entry_for(board.path, 1, 0);
    int descriptors_before = descriptor_count();
    for (int round = 0; round < 300; ++round) {
        ASSERT_EQ(open_bridge(&serial), 1);
        if (round % 50 == 0) {
            ASSERT_TRUE(write_all(ide.fd, "x"));
            ASSERT_EQ(read_exactly(board.master.fd, 1, 5000), "x");
        }
        if (round % 2 == 0) {
            close_bridge();
        } else {
            port_lock_acquire();
            int32_t let_go = bridge_close();
            port_lock_release();
            close(let_go);
        }
    }
    close_bridge();
    EXPECT_TRUE(eventually([&] { return thread_count() == threads_before; }));
    EXPECT_EQ(open_descriptors_of(board.path), 0);
    EXPECT_EQ(descriptor_count(), descriptors_before);
}

}  // namespace

namespace {

// The board's node failing under the relays (its pty master gone: reads and
// writes give EIO) closes the board side, so CLOSE tells the truth; the IDE's
// connection stays for the next opening.
TEST_F(Bridge, ABoardNodeThatFailsClosesTheBoardSideAndKeepsTheIde) {
    fake_board board;
    board_open(&board);
    fd_holder ide(ide_connect());
    ASSERT_GE(ide.fd, 0);
    port_entry serial = entry_for(board.path, 1, 0);
    ASSERT_EQ(open_bridge(&serial), 1);
    ASSERT_TRUE(write_all(board.master.fd, "up"));
    EXPECT_EQ(read_exactly(ide.fd, 2, 5000), "up");

    board.master.reset();
    EXPECT_TRUE(eventually([&] { return device_fd() < 0; })) << "the side stays on a dead node";
    EXPECT_TRUE(eventually([&] { return thread_count() == threads_before; }));
    port_lock_acquire();
    EXPECT_GE(ide_endpoint.fd, 0);
    port_lock_release();
    EXPECT_TRUE(stays_quiet(ide.fd, 50)) << "the IDE's connection ended";
}

// The relays of an older opening that nothing stopped (its side went with an
// unplug, and the newer opening came while no IDE was connected) fail on
// their node after the newer opening is in place: that opening stays.
TEST_F(Bridge, AnOlderOpeningsFailingNodeLeavesTheNewerOneOpen) {
    fake_board old_board;
    fake_board new_board;
    board_open(&old_board);
    board_open(&new_board);
    fd_holder ide(ide_connect());
    ASSERT_GE(ide.fd, 0);
    port_entry old_entry = entry_for(old_board.path, 1, 0);
    ASSERT_EQ(open_bridge(&old_entry), 1);
    port_lock_acquire();
    endpoint_close(&device_endpoint);
    endpoint held = ide_endpoint;
    endpoint_reset(&ide_endpoint);
    port_lock_release();
    port_entry new_entry = entry_for(new_board.path, 1, 0);
    ASSERT_EQ(open_bridge(&new_entry), 1);
    ide_store(held);

    old_board.master.reset();
    EXPECT_TRUE(eventually([&] { return thread_count() == threads_before + 1; }));
    EXPECT_GE(device_fd(), 0) << "the newer opening was closed";
    EXPECT_GT(open_descriptors_of(new_board.path), 0);
}

// A new node that took the old one's path before the old one failed gets no
// publication of its own: the relay that sees the old node fail opens it.
TEST_F(Bridge, ANewNodeUnderTheSamePathIsOpenedWhenTheOldOneFails) {
    fake_board old_board;
    fake_board new_board;
    board_open(&old_board);
    board_open(&new_board);
    char directory[] = "/tmp/murlen-node-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    std::string path = std::string(directory) + "/ttyACM0";
    ASSERT_EQ(symlink(old_board.path.c_str(), path.c_str()), 0);
    fd_holder ide(ide_connect());
    ASSERT_GE(ide.fd, 0);
    port_entry serial = entry_for(path, 1, 0);
    ASSERT_EQ(open_bridge(&serial), 1);
    ASSERT_TRUE(write_all(ide.fd, "old"));
    EXPECT_EQ(read_exactly(old_board.master.fd, 3, 5000), "old");

    // The path names the new node now; then the old node fails.
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(symlink(new_board.path.c_str(), path.c_str()), 0);
    old_board.master.reset();
    EXPECT_TRUE(eventually([&] { return open_descriptors_of(new_board.path) > 0; }));
    ASSERT_TRUE(write_all(ide.fd, "new"));
    EXPECT_EQ(read_exactly(new_board.master.fd, 3, 5000), "new");
    ASSERT_TRUE(write_all(new_board.master.fd, "back"));
    EXPECT_EQ(read_exactly(ide.fd, 4, 5000), "back");

    // A node that fails while its path still names it is not opened again.
    new_board.master.reset();
    EXPECT_TRUE(eventually([&] { return device_fd() < 0; }));
    EXPECT_TRUE(stays_quiet(ide.fd, 100));
    EXPECT_LT(device_fd(), 0);
    unlink(path.c_str());
    rmdir(directory);
}

}  // namespace
