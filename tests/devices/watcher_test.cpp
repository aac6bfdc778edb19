#include "devices/watcher.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <libudev.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <umockdev.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

#include "bridge/endpoint.h"
#include "bridge/port_publishing.h"
#include "bridge/port_table.h"
#include "common/copy_bounded.h"
#include "common/trace.h"
#include "devices/device_records.h"
#include "sim/udev_records.h"
#include "support/os_fakes.h"
#include "support/testbed.h"

// The outcomes that the next waits on one descriptor get, in order. A wait
// on that descriptor with no outcome left sleeps until one is scripted; every
// other call is the system's poll.
enum class wait_outcome { ready, failed, interrupted };

namespace {

std::mutex script_lock;
std::deque<wait_outcome> script;
std::atomic<int> scripted_fd{-1};
std::atomic<bool> script_waiting{false};

using poll_function = int (*)(pollfd*, nfds_t, int);

poll_function system_poll() {
    static poll_function next = reinterpret_cast<poll_function>(dlsym(RTLD_NEXT, "poll"));
    return next;
}

// Scripts outcomes for the waits on fd, after those still scripted.
void script_waits(int fd, std::initializer_list<wait_outcome> outcomes, int times = 1) {
    std::lock_guard<std::mutex> hold(script_lock);
    for (int i = 0; i < times; ++i) {
        script.insert(script.end(), outcomes);
    }
    scripted_fd = fd;
    script_waiting = false;
}

// True once every scripted outcome is taken and the next wait sleeps for more.
bool script_used_up() {
    std::lock_guard<std::mutex> hold(script_lock);
    return script.empty() && script_waiting;
}

}  // namespace

// A receive on overrun_fd fails with ENOBUFS while overruns is set, as the
// kernel reports events lost, and takes nothing; every other receive is the system's.
std::atomic<int> overrun_fd{-1};
std::atomic<int> overruns{0};

extern "C" ssize_t recvmsg(int fd, msghdr* message, int flags) {
    using function = ssize_t (*)(int, msghdr*, int);
    static function next = reinterpret_cast<function>(dlsym(RTLD_NEXT, "recvmsg"));
    if (fd == overrun_fd && overruns.exchange(0) != 0) {
        errno = ENOBUFS;
        return -1;
    }
    return next(fd, message, flags);
}

// The C library declares poll's array write-only, which it is not.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
extern "C" int poll(pollfd* fds, nfds_t count, int timeout) {
    if (count != 1 || fds[0].fd < 0 || fds[0].fd != scripted_fd) {
        return system_poll()(fds, count, timeout);
    }
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(script_lock);
            if (!script.empty()) {
                wait_outcome outcome = script.front();
                script.pop_front();
                if (outcome == wait_outcome::ready) {
                    fds[0].revents = POLLIN;
                    return 1;
                }
                errno = outcome == wait_outcome::failed ? ENOMEM : EINTR;
                return -1;
            }
            script_waiting = true;
        }
        system_poll()(nullptr, 0, 1);
    }
}
#pragma GCC diagnostic pop

namespace {

const std::string usb_root = "/devices/pci0000:00/0000:00:14.0/usb1";
const std::string board_a = usb_root + "/1-2";
const std::string board_b = usb_root + "/1-3";
const std::string board_c = usb_root + "/1-4";

// Testbed paths are given without "/sys"; syspaths and uevents use it.
std::string sys(const std::string& devpath) {
    return "/sys" + devpath;
}

// Polls condition under port_lock until it holds or the effect time has passed.
template <typename Condition>
bool port_table_reaches(Condition condition) {
    return eventually(
        [&] {
            port_lock_acquire();
            bool reached = condition();
            port_lock_release();
            return reached;
        },
        effect_timeout_ms);
}

// Called with port_lock held.
port_entry* entry_at(const std::string& address) {
    for (port_entry* entry = port_list; entry != nullptr; entry = entry->next) {
        if (address == entry->address) {
            return entry;
        }
    }
    return nullptr;
}

// Called with port_lock held.
bool published_on(const std::string& address, const std::string& devnode) {
    port_entry* entry = entry_at(address);
    return entry != nullptr && entry->is_serial == 1 && devnode == entry->devnode;
}

// Called with port_lock held.
bool withdrawn(const std::string& address) {
    port_entry* entry = entry_at(address);
    return entry != nullptr && entry->is_serial == 0 && entry->is_hid == 0;
}

int count_of(const device_record* list) {
    int count = 0;
    for (; list != nullptr; list = list->next) {
        ++count;
    }
    return count;
}

class Watcher : public ::testing::Test {
protected:
    void SetUp() override {
        // umockdev tells by looking at /sys, which a testbed must redirect first.
        testbed = umockdev_testbed_new();
        if (!umockdev_in_mock_environment()) {
            GTEST_SKIP() << "needs umockdev-wrapper";
        }
        pthread_mutex_init(&port_lock, nullptr);
        watcher_hooks = {port_publish, nullptr, port_withdraw, nullptr};
    }

    void TearDown() override {
        if (testbed != nullptr) {
            g_object_unref(testbed);
        }
    }

    void add(const std::string& text) { ASSERT_NO_FATAL_FAILURE(testbed_add(testbed, text)); }

    void add_usb_device(const std::string& path, const char* vid, const char* pid,
                        const char* bus_node) {
        add(usb_device_record(path, std::string("E: DEVNAME=") + bus_node + "\nA: idVendor=" + vid +
                                        "\nA: idProduct=" + pid + "\nA: bcdDevice=0279\n"));
    }

    void add_interface(const std::string& path) { add(usb_interface_record(path, "00")); }

    // The node is a pty slave of the test's own, so it may come and go.
    void add_tty(const std::string& path, const std::string& devnode) {
        add(node_record(path, "tty", devnode));
    }

    // A serial board: its USB device, interface 0 and the tty below it.
    void add_board(const std::string& path, const std::string& devnode) {
        add_usb_device(path, "16c0", "0483", "/dev/bus/usb/001/002");
        add_interface(path + "/" + interface_name(path));
        add_tty(tty_path(path), devnode);
    }

    static std::string interface_name(const std::string& path) {
        return path.substr(path.rfind('/') + 1) + ":1.0";
    }
    static std::string tty_path(const std::string& path) {
        // Named after the port: the class directory holds one link per name.
        return path + "/" + interface_name(path) + "/tty/ttyACM" + path.substr(path.rfind('-') + 1);
    }

    void uevent(const std::string& path, const char* action) {
        umockdev_testbed_uevent(testbed, sys(path).c_str(), action);
    }

    // Waits for the event just sent and handles it on this thread.
    static void deliver() {
        pollfd readable = {udev_monitor_get_fd(udev_monitor), POLLIN, 0};
        ASSERT_EQ(poll(&readable, 1, 5000), 1);
        monitor_event();
    }

    // Starts the watcher thread with a serial board at board_a, published on a pty of tty's.
    void start_watcher_on_a_board(pty_pair* tty, pthread_t* watcher) {
        *tty = pty_open();
        ASSERT_GE(tty->master, 0);
        add_board(board_a, tty->slave_path);
        ASSERT_EQ(pthread_create(watcher, nullptr, watcher_thread, nullptr), 0);
        ASSERT_TRUE(
            port_table_reaches([&] { return published_on(sys(board_a), tty->slave_path); }));
    }

    UMockdevTestbed* testbed = nullptr;
};

TEST_F(Watcher, ScanTracksBoardsWithTheirChildrenAndDropsTheRest) {
    pty_pair tty = pty_open();
    ASSERT_GE(tty.master, 0);
    add_board(board_a, tty.slave_path);
    // A console tty with no USB device above it.
    add("P: /devices/virtual/tty/tty5\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/tty5\n");
    // A receiver that is no board, with a tty of its own.
    const std::string other = usb_root + "/1-4";
    add_usb_device(other, "046d", "c52b", "/dev/bus/usb/001/004");
    add_interface(other + "/1-4:1.0");
    add_tty(other + "/1-4:1.0/tty/ttyUSB0", "/dev/ttyUSB0");

    udev_setup();

    ASSERT_EQ(count_of(device_list), 1);
    EXPECT_EQ(std::string(device_list->location), sys(board_a));
    EXPECT_EQ(device_list->vid, 0x16C0u);
    EXPECT_EQ(device_list->pid, 0x0483u);
    EXPECT_EQ(device_list->bcd, 0x0279u);
    EXPECT_EQ(count_of(device_list->children), 2);
    EXPECT_EQ(std::string(device_list->devnode), tty.slave_path);
    port_lock_acquire();
    EXPECT_TRUE(published_on(sys(board_a), tty.slave_path));
    EXPECT_EQ(port_list != nullptr ? port_list->next : nullptr, nullptr);
    port_lock_release();
    close(tty.master);
}

TEST_F(Watcher, RepeatedAddsAndOneRemoveOfASyspath) {
    pty_pair tty = pty_open();
    ASSERT_GE(tty.master, 0);
    add_usb_device(board_a, "16c0", "0483", "/dev/bus/usb/001/002");
    add_interface(board_a + "/1-2:1.0");
    udev_setup();
    ASSERT_EQ(count_of(device_list), 1);

    // Replayed for a tracked device: the record is refreshed, never doubled.
    device_record* first = device_list;
    uevent(board_a, "add");
    deliver();
    ASSERT_EQ(count_of(device_list), 1);
    EXPECT_EQ(count_of(first->children), 1);

    // Children join the record; one added twice is held twice.
    add_tty(tty_path(board_a), tty.slave_path);
    deliver();
    uevent(tty_path(board_a), "add");
    deliver();
    EXPECT_EQ(count_of(first->children), 3);
    EXPECT_EQ(std::string(first->devnode), tty.slave_path);
    ASSERT_TRUE(port_table_reaches([&] { return published_on(sys(board_a), tty.slave_path); }));

    // Actions other than add and remove change nothing, and neither does the
    // removal of an untracked syspath.
    uevent(board_a, "change");
    deliver();
    uevent(board_a + "/1-2:1.0", "bind");
    deliver();
    add("P: /devices/virtual/tty/tty5\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/tty5\n");
    deliver();
    uevent("/devices/virtual/tty/tty5", "remove");
    deliver();
    EXPECT_EQ(count_of(device_list), 1);
    EXPECT_EQ(count_of(first->children), 3);

    // The tty goes, both of its children with it; the node is chosen again but
    // the port table hears of it only with the next add. After the first twin
    // goes the second still holds the node: the record's subsystem must not be
    // the text of the handle that was just released.
    static std::string subsystems_told;
    subsystems_told.clear();
    watcher_hooks.child_removed = [](const device_record* record) {
        subsystems_told += std::string(text_or_none(record->subsystem)) + " ";
    };
    uevent(tty_path(board_a), "remove");
    deliver();
    EXPECT_EQ(subsystems_told, "tty usb ");
    EXPECT_EQ(count_of(first->children), 1);
    EXPECT_EQ(std::string(first->devnode), "/dev/bus/usb/001/002");
    EXPECT_STREQ(first->subsystem, "usb");
    port_lock_acquire();
    EXPECT_TRUE(published_on(sys(board_a), tty.slave_path));
    port_lock_release();

    uevent(board_a, "remove");
    deliver();
    EXPECT_EQ(device_list, nullptr);
    port_lock_acquire();
    EXPECT_TRUE(withdrawn(sys(board_a)));
    port_lock_release();
    close(tty.master);
}

// The kernel reports lost events first and still delivers those queued before
// the loss, which are older than what the rescan reads: none may undo it.
TEST_F(Watcher, EventsQueuedBeforeLostOnesAreDroppedAndTheRescanStands) {
    pty_pair tty[3] = {pty_open(), pty_open(), pty_open()};
    add_board(board_a, tty[0].slave_path);
    add_board(board_b, tty[1].slave_path);
    udev_setup();
    // Queued: B leaves (it is back since), A arrives (tracked already), and
    // C is plugged (lost, so only a rescan finds it).
    uevent(board_b, "remove");
    uevent(board_a, "add");
    add_board(board_c, tty[2].slave_path);
    pollfd queued = {udev_monitor_get_fd(udev_monitor), POLLIN, 0};
    overrun_fd = queued.fd;
    overruns = 1;
    deliver();
    EXPECT_EQ(poll(&queued, 1, 0), 0) << "events queued before the loss are left";
    while (poll(&queued, 1, 0) == 1) {
        monitor_event();
    }
    // An add of a tracked device after the rescan refreshes it.
    uevent(board_a, "add");
    deliver();
    std::string tracked;
    for (const device_record* r = device_list; r != nullptr; r = r->next) {
        tracked += std::string(r->location).substr(usb_root.size() + 5) + ":" +
                   std::to_string(count_of(r->children)) + " ";
    }
    EXPECT_EQ(tracked, "1-2:2 1-3:2 1-4:2 ");
    port_lock_acquire();
    EXPECT_TRUE(published_on(sys(board_a), tty[0].slave_path) &&
                published_on(sys(board_b), tty[1].slave_path) &&
                published_on(sys(board_c), tty[2].slave_path));
    port_lock_release();
    for (pty_pair& p : tty) {
        close(p.master);
    }
}

TEST_F(Watcher, LongSyspathIsCutInLocationAndMatchedWhole) {
    pty_pair tty = pty_open();
    ASSERT_GE(tty.master, 0);
    const std::string hub = "/devices/platform/" + std::string(220, 'h');
    const std::string board = hub + "/usb1/1-2";
    ASSERT_GT(sys(board).size(), 239u);
    add("P: " + hub + "\nE: SUBSYSTEM=platform\n");
    add_board(board, tty.slave_path);

    udev_setup();

    ASSERT_EQ(count_of(device_list), 1);
    const std::string cut = sys(board).substr(0, 239);
    EXPECT_EQ(std::string(device_list->location), cut);
    EXPECT_EQ(count_of(device_list->children), 2);
    port_lock_acquire();
    EXPECT_TRUE(published_on(cut, tty.slave_path));
    port_lock_release();

    uevent(tty_path(board), "remove");
    deliver();
    EXPECT_EQ(count_of(device_list->children), 1);
    uevent(board, "remove");
    deliver();
    EXPECT_EQ(device_list, nullptr);
    port_lock_acquire();
    EXPECT_TRUE(withdrawn(cut));
    port_lock_release();
    close(tty.master);
}

TEST_F(Watcher, UsbIdsAreReadAsHexadecimal) {
    add_usb_device(board_a, "16c0", "0483", "/dev/bus/usb/001/002");
    struct row {
        const char* vendor;
        const char* product;
        const char* release;  // null: the attribute is missing
        int32_t result;
        uint32_t vid, pid, bcd;
    };
    const row rows[] = {
        {" 0x16C0", "0X0483", "279 is the release", 1, 0x16C0, 0x0483, 0x0279},
        {"\t16c0", "ffffffff", "0", 1, 0x16C0, 0xFFFFFFFF, 0},
        // Outputs read before the failing one keep their values.
        {"16c0", "zz", "0279", 0, 0x16C0, 0, 0},
        {"16c0", "0483", "100000000", 0, 0x16C0, 0x0483, 0},
        {"", "0483", "0279", 0, 0, 0, 0},
        {"16c0", "0483", nullptr, 0, 0, 0, 0},
    };
    udev* context = udev_new();
    ASSERT_NE(context, nullptr);
    for (const row& r : rows) {
        std::string path = sys(board_a);
        umockdev_testbed_set_attribute(testbed, path.c_str(), "idVendor", r.vendor);
        umockdev_testbed_set_attribute(testbed, path.c_str(), "idProduct", r.product);
        if (r.release != nullptr) {
            umockdev_testbed_set_attribute(testbed, path.c_str(), "bcdDevice", r.release);
        } else {
            unlink((std::string(g_getenv("UMOCKDEV_DIR")) + path + "/bcdDevice").c_str());
        }
        // A new handle each time: a handle keeps the attribute values it read.
        udev_device* device = udev_device_new_from_syspath(context, path.c_str());
        ASSERT_NE(device, nullptr);
        uint32_t vid = 7;
        uint32_t pid = 7;
        uint32_t bcd = 7;
        EXPECT_EQ(read_usb_ids(device, &vid, &pid, &bcd), r.result) << r.vendor << "," << r.product;
        EXPECT_EQ(vid, r.vid) << r.vendor;
        EXPECT_EQ(pid, r.pid) << r.product;
        EXPECT_EQ(bcd, r.bcd) << (r.release != nullptr ? r.release : "missing");
        udev_device_unref(device);
    }
    udev_unref(context);
}

// Runs the watcher thread as the monitor does. The test looks only at the
// port table, under port_lock.
TEST_F(Watcher, ThreadFollowsTheSelectedBoardAcrossReplugOnAHighDescriptor) {
    pty_pair tty_a = pty_open();
    pty_pair tty_b = pty_open();
    ASSERT_GE(tty_a.master, 0);
    ASSERT_GE(tty_b.master, 0);
    port_lock_acquire();
    copy_bounded(selected_address, "usb1/1-2", sizeof selected_address);
    port_lock_release();

    // Every descriptor below 1024 taken: the monitor's lands above them.
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max < 1100) {
        GTEST_SKIP() << "descriptor limit too low";
    }
    limit.rlim_cur = limit.rlim_max;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    // Duplicates of a pipe: umockdev keeps a small table of the /dev files it opens.
    int spare[2];
    ASSERT_EQ(pipe2(spare, O_CLOEXEC), 0);
    auto fill = [&] {
        int fd = 0;
        while (fd < 1024) {
            fd = fcntl(spare[0], F_DUPFD_CLOEXEC, 0);
            ASSERT_GE(fd, 0);
        }
        close(fd);
    };
    // Again once the board is added: the threads of the testbed and of a
    // sanitizer open and close descriptors of their own, which leaves holes.
    fill();
    add_board(board_a, tty_a.slave_path);
    fill();

    pthread_t watcher;
    ASSERT_EQ(pthread_create(&watcher, nullptr, watcher_thread, nullptr), 0);
    ASSERT_TRUE(port_table_reaches(
        [&] { return published_on(sys(board_a), tty_a.slave_path) && device_endpoint.fd >= 0; }));

    EXPECT_GE(udev_monitor_get_fd(udev_monitor), 1024);

    // A board plugged in later.
    add_board(board_b, tty_b.slave_path);
    ASSERT_TRUE(port_table_reaches([&] { return published_on(sys(board_b), tty_b.slave_path); }));

    // The selected board unplugs: its side closes and nothing holds its node.
    uevent(tty_path(board_a), "remove");
    uevent(board_a + "/1-2:1.0", "remove");
    uevent(board_a, "remove");
    ASSERT_TRUE(port_table_reaches([&] { return withdrawn(sys(board_a)); }));
    port_lock_acquire();
    EXPECT_LT(device_endpoint.fd, 0);
    port_lock_release();
    EXPECT_EQ(open_descriptors_of(tty_a.slave_path), 0);
    // Deepest first: removing a device leaves its children's class and bus links.
    umockdev_testbed_remove_device(testbed, sys(tty_path(board_a)).c_str());
    umockdev_testbed_remove_device(testbed, sys(board_a + "/1-2:1.0").c_str());
    umockdev_testbed_remove_device(testbed, sys(board_a).c_str());

    // It comes back at the same location and reopens without a new OPEN.
    add_board(board_a, tty_a.slave_path);
    ASSERT_TRUE(port_table_reaches(
        [&] { return published_on(sys(board_a), tty_a.slave_path) && device_endpoint.fd >= 0; }));
    EXPECT_EQ(open_descriptors_of(tty_a.slave_path), 1);
    port_lock_acquire();
    int entries = 0;
    for (port_entry* entry = port_list; entry != nullptr; entry = entry->next) {
        ++entries;
    }
    port_lock_release();
    EXPECT_EQ(entries, 2);
    close(tty_a.master);
    close(tty_b.master);
}

void ignore_signal(int) {}

// Interrupts a wait of the watcher in progress.
void interrupt(pthread_t watcher) {
    struct sigaction action = {};
    action.sa_handler = ignore_signal;  // no SA_RESTART: the wait fails with EINTR
    sigaction(SIGUSR1, &action, nullptr);
    pthread_kill(watcher, SIGUSR1);
}

// Interrupts the watcher's waits until it ends or the effect time has passed.
bool interrupt_until_ended(pthread_t watcher) {
    return eventually(
        [&] {
            if (pthread_tryjoin_np(watcher, nullptr) == 0) {
                return true;
            }
            interrupt(watcher);
            return false;
        },
        effect_timeout_ms);
}

bool ends_within(pthread_t watcher, int timeout_ms) {
    return eventually([&] { return pthread_tryjoin_np(watcher, nullptr) == 0; }, timeout_ms);
}

// Eleven failed waits in a row end the thread; ten do not, a wait that sees
// an event starts the count again, and an interrupted wait is no failed wait.
TEST_F(Watcher, ThreadEndsAfterFailedWaitsInARow) {
    pty_pair tty{-1, ""};
    pthread_t watcher;
    ASSERT_NO_FATAL_FAILURE(start_watcher_on_a_board(&tty, &watcher));
    port_lock_acquire();
    int fd = udev_monitor_get_fd(udev_monitor);
    port_lock_release();
    using enum wait_outcome;

    // The watcher already waits in the system's poll: one interruption brings
    // it to the scripted waits, and is itself no failed wait.
    script_waits(fd, {failed}, 10);
    interrupt(watcher);
    ASSERT_TRUE(eventually(script_used_up)) << "the thread ended";
    EXPECT_FALSE(ends_within(watcher, 100)) << "ten failed waits";
    script_waits(fd, {ready});
    script_waits(fd, {failed}, 10);
    ASSERT_TRUE(eventually(script_used_up)) << "the thread ended";
    EXPECT_FALSE(ends_within(watcher, 100)) << "ten failed waits after an event";
    script_waits(fd, {ready});
    script_waits(fd, {interrupted}, 30);
    script_waits(fd, {ready});
    ASSERT_TRUE(eventually(script_used_up)) << "the thread ended";
    EXPECT_FALSE(ends_within(watcher, 100)) << "thirty interrupted waits";
    script_waits(fd, {failed}, 11);
    EXPECT_TRUE(ends_within(watcher, 2000)) << "eleven failed waits";
    close(tty.master);
}

TEST_F(Watcher, ThreadEndsWhenItsDescriptorGoesBad) {
    pty_pair tty{-1, ""};
    pthread_t watcher;
    ASSERT_NO_FATAL_FAILURE(start_watcher_on_a_board(&tty, &watcher));
    // Closing does not wake a wait in progress; one interruption ends it and
    // every wait after it fails on the closed descriptor.
    close(udev_monitor_get_fd(udev_monitor));
    EXPECT_TRUE(interrupt_until_ended(watcher));
    close(tty.master);
}

TEST(WatcherExit, FatalExitEndsWithStatusOneAndWritesNothing) {
    // Standard output is the reply channel: the child sends it to standard
    // error, where the death test sees every byte written on either.
    EXPECT_EXIT(
        {
            dup2(2, 1);
            fatal_exit("unable to use udev");
        },
        ::testing::ExitedWithCode(1), "^$");
}

}  // namespace
