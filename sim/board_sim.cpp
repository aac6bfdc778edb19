#include "sim/board_sim.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <net/if.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <umockdev.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <string>

#include "common/copy_bounded.h"
#include "sim/os_helpers.h"
#include "sim/udev_records.h"

// The HID state of one plug: what the node's ioctl handler saw. The testbed's
// worker thread runs the handler; lock guards the counters.
struct board_hid {
    UMockdevIoctlBase* handler;
    int slave;  // our own hold on the node's pty, which keeps it raw and open
    pthread_mutex_t lock;
    int32_t gone;
    int32_t opens;
    int32_t feature_count;
    uint8_t feature[board_feature_report_size];
    int32_t held;             // feature reports wait while this is 1
    pthread_cond_t released;  // signalled when held goes to 0
};

namespace {

constexpr unsigned long hid_set_feature_request = 0xC0054806UL;

// Bytes after the compared prefixes: logical range, report count and the
// input, output and feature items of a vendor-defined collection.
constexpr const char* descriptor_tail =
    "1500 26FF00 9540 0975 8102 9520 0976 9102 9504 0976 B102 C0";

UMockdevTestbed* testbed = nullptr;
char testbed_root[PATH_MAX] = "";
int32_t node_counter = 0;
int32_t hidraw_counter = 0;
std::deque<board_hid*> hid_states;  // every plug's HID state, freed at board_sim_stop

void pause_ms(int32_t ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// Gap between the uevents of one plug or unplug, so the monitor reads them
// as they come rather than as a burst.
void pace() {
    pause_ms(2);
}

std::string sys_path_of(const char* location) {
    if (strncmp(location, "/sys/", 5) == 0) {
        return location;
    }
    return std::string("/sys") + location;
}

std::string base_name_of(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string hex_of(const char* spaced) {
    std::string out;
    for (const char* c = spaced; *c != '\0'; ++c) {
        if (*c != ' ') {
            out += *c;
        }
    }
    return out;
}

// Adds one device described in umockdev's record format; it announces itself with "add".
int32_t add_device(board_sim* b, const std::string& record) {
    GError* error = nullptr;
    gboolean ok = umockdev_testbed_add_from_string(testbed, record.c_str(), &error);
    if (error != nullptr) {
        g_error_free(error);
    }
    if (!ok) {
        return 0;
    }
    size_t start = strlen("P: ");
    std::string path = "/sys" + record.substr(start, record.find('\n') - start);
    if (b != nullptr && b->child_count < 4) {
        copy_bounded(b->children[b->child_count], path.c_str(), sizeof b->children[0]);
        b->child_count += 1;
    }
    pace();
    return 1;
}

int32_t write_fully(int fd, const char* data, int32_t length) {
    int32_t done = 0;
    while (done < length) {
        ssize_t n = write(fd, data + done, static_cast<size_t>(length - done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<int32_t>(n);
    }
    return done;
}

int32_t write_text_file(const char* path, const char* text) {
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    size_t length = strlen(text);
    int32_t ok = write(fd, text, length) == static_cast<ssize_t>(length) ? 1 : 0;
    close(fd);
    return ok;
}

// The lowest number that no node of the testbed named prefix and a number
// holds, as the kernel gives the lowest free minor.
int32_t free_node_number(const char* prefix) {
    for (int32_t n = 0;; ++n) {
        std::string path = std::string(testbed_root) + prefix + std::to_string(n);
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0) {
            return n;
        }
    }
}

// ---- The HID node's ioctl handler, run on the testbed's worker thread. Reads
// and writes are left to the pty underneath, whose stream carries the
// reports: the preload forwards only calls on the descriptor that open gave,
// not on its duplicates, so the stream must be the real one.

gboolean on_hid_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    auto* hid = static_cast<board_hid*>(data);
    if (umockdev_ioctl_client_get_request(client) != hid_set_feature_request) {
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return TRUE;
    }
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData* report =
        umockdev_ioctl_data_resolve(arg, 0, board_feature_report_size, nullptr);
    if (report == nullptr) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return TRUE;
    }
    pthread_mutex_lock(&hid->lock);
    // A wedged board: the request waits, and so does whoever sent it.
    while (hid->held != 0 && hid->gone == 0) {
        pthread_cond_wait(&hid->released, &hid->lock);
    }
    int32_t gone = hid->gone;
    if (!gone) {
        hid->feature_count += 1;
        memcpy(hid->feature, report->data, board_feature_report_size);
    }
    pthread_mutex_unlock(&hid->lock);
    if (gone) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
    } else {
        umockdev_ioctl_client_complete(client, board_feature_report_size, 0);
    }
    return TRUE;
}

// The preload connects before the node is opened, so an open of a node that
// is gone already connects too; it opens nothing, as on a real board.
void on_hid_connected(UMockdevIoctlBase*, UMockdevIoctlClient*, gpointer data) {
    auto* hid = static_cast<board_hid*>(data);
    pthread_mutex_lock(&hid->lock);
    hid->opens += hid->gone == 0 ? 1 : 0;
    pthread_mutex_unlock(&hid->lock);
}

// ---- Plugging the node's devices.

// A HID node: "/dev/hidrawN" in the testbed, a link to a raw pty slave, with
// our ioctl handler. Each input report goes into the pty as 64 bytes, which a
// 64-byte read takes whole; output reports come out of the master.
int32_t hid_node_create(board_sim* b) {
    pty_ends pty = pty_ends_open(true);
    if (pty.master < 0) {
        return 0;
    }
    int master = pty.master;
    int slave = pty.slave;

    char devnode[64];
    // umockdev keeps a node's ioctl handler for good: each hidraw name serves once.
    snprintf(devnode, sizeof devnode, "/dev/hidraw%d", hidraw_counter++);
    node_counter += 1;
    std::string link = std::string(testbed_root) + devnode;
    if (symlink(pty.slave_path.c_str(), link.c_str()) != 0) {
        close(master);
        close(slave);
        return 0;
    }
    auto* hid = new board_hid();
    pthread_mutex_init(&hid->lock, nullptr);
    pthread_cond_init(&hid->released, nullptr);
    hid->held = b->features_held;
    hid->slave = slave;
    hid->handler = umockdev_ioctl_base_new();
    g_signal_connect(hid->handler, "handle-ioctl", G_CALLBACK(on_hid_ioctl), hid);
    g_signal_connect(hid->handler, "client-connected", G_CALLBACK(on_hid_connected), hid);
    if (!umockdev_testbed_attach_ioctl(testbed, devnode, hid->handler, nullptr)) {
        unlink(link.c_str());
        close(master);
        close(slave);
        g_object_unref(hid->handler);
        pthread_mutex_destroy(&hid->lock);
        delete hid;
        return 0;
    }
    hid_states.push_back(hid);
    b->hid = hid;
    b->pty_master = master;
    copy_bounded(b->node, devnode, sizeof b->node);
    copy_bounded(b->node_target, pty.slave_path.c_str(), sizeof b->node_target);
    return 1;
}

std::string hid_descriptor_of(const board_sim* b) {
    char head[64];
    if (b->kind == board_kind_loader) {
        snprintf(head, sizeof head, "069CFF09%02XA1887508", static_cast<unsigned>(b->model & 0xFF));
    } else {
        snprintf(head, sizeof head, "06C9FF0904A15C7508");
    }
    return head + hex_of(descriptor_tail);
}

int32_t hid_devices_add(board_sim* b, const std::string& interface_path) {
    if (!hid_node_create(b)) {
        return 0;
    }
    char hid_name[64];
    snprintf(hid_name, sizeof hid_name, "0003:%04X:%04X.%04X", b->vid & 0xFFFF, b->pid & 0xFFFF,
             static_cast<unsigned>(node_counter));
    std::string hid_path = interface_path + "/" + hid_name;
    if (!add_device(b, sysfs_record(hid_path, "hid",
                                    "E: DRIVER=hid-generic\nH: report_descriptor=" +
                                        hid_descriptor_of(b) + "\n"))) {
        return 0;
    }
    std::string node_name = base_name_of(b->node);
    return add_device(b, node_record(hid_path + "/hidraw/" + node_name, "hidraw", node_name));
}

int32_t tty_devices_add(board_sim* b, const std::string& interface_path) {
    // The line keeps the kernel's default (cooked) mode until the monitor makes it raw.
    pty_ends pty = pty_ends_open(false);
    if (pty.master < 0) {
        return 0;
    }
    close(pty.slave);
    char tty_name[32];
    snprintf(tty_name, sizeof tty_name, "ttyACM%d", free_node_number("/dev/ttyACM"));
    node_counter += 1;
    snprintf(b->node, sizeof b->node, "/dev/%s", tty_name);
    std::string link = std::string(testbed_root) + b->node;
    if (symlink(pty.slave_path.c_str(), link.c_str()) != 0) {
        close(pty.master);
        return 0;
    }
    b->pty_master = pty.master;
    b->tty_opened = 0;
    copy_bounded(b->node_target, pty.slave_path.c_str(), sizeof b->node_target);
    return add_device(b, node_record(interface_path + "/tty/" + tty_name, "tty", b->node));
}

// One uevent, then the gap before the next.
void send_event(const std::string& sys_path, const char* action) {
    umockdev_testbed_uevent(testbed, sys_path.c_str(), action);
    pace();
}

void remove_device(const std::string& sys_path) {
    send_event(sys_path, "remove");
    umockdev_testbed_remove_device(testbed, sys_path.c_str());
}

// The board hangs its node up as the kernel does on unplug: the monitor's
// reads of the node end, and for a HID node every request fails, before any
// remove event arrives; then give the relays a moment to notice.
void node_hang_up(board_sim* b) {
    board_sim_opened(b);
    if (b->hid != nullptr) {
        pthread_mutex_lock(&b->hid->lock);
        b->hid->gone = 1;
        pthread_cond_broadcast(&b->hid->released);
        pthread_mutex_unlock(&b->hid->lock);
    }
    std::string link = std::string(testbed_root) + b->node;
    unlink(link.c_str());
    close(b->pty_master);
    b->pty_master = -1;
    if (b->hid != nullptr) {
        close(b->hid->slave);
        b->hid->slave = -1;
    }
    pause_ms(5);
}

int32_t line_receive(board_sim* b, char* buffer, int32_t capacity, int32_t timeout_ms) {
    int32_t got = 0;
    int64_t deadline = clock_ms() + timeout_ms;
    while (got < capacity && b->pty_master >= 0) {
        int64_t left = deadline - clock_ms();
        if (left <= 0) {
            break;
        }
        pollfd pfd{b->pty_master, POLLIN, 0};
        int ready = poll(&pfd, 1, static_cast<int>(left));
        if (ready <= 0) {
            continue;
        }
        if ((pfd.revents & POLLIN) == 0) {
            // Nobody holds the line's other end: nothing can come until someone opens it.
            pause_ms(1);
            continue;
        }
        ssize_t n = read(b->pty_master, buffer + got, static_cast<size_t>(capacity - got));
        if (n > 0) {
            got += static_cast<int32_t>(n);
        } else if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EIO) {
            break;
        } else if (n < 0 && errno == EIO) {
            pause_ms(1);
        }
    }
    return got;
}

int32_t bring_loopback_up() {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return 0;
    }
    ifreq request{};
    copy_bounded(request.ifr_name, "lo", sizeof request.ifr_name);
    int32_t ok = 0;
    if (ioctl(fd, SIOCGIFFLAGS, &request) == 0) {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
        ok = ioctl(fd, SIOCSIFFLAGS, &request) == 0 ? 1 : 0;
    }
    close(fd);
    return ok;
}

}  // namespace

int32_t board_sim_private_network() {
    if (unshare(CLONE_NEWNET) != 0) {
        return 0;
    }
    if (!bring_loopback_up()) {
        return 0;
    }
    return write_text_file("/proc/sys/net/unix/max_dgram_qlen", "4096\n");
}

int32_t board_sim_start() {
    if (testbed != nullptr) {
        return 1;
    }
    testbed = umockdev_testbed_new();
    if (testbed == nullptr) {
        return 0;
    }
    gchar* root = umockdev_testbed_get_root_dir(testbed);
    copy_bounded(testbed_root, root, sizeof testbed_root);
    g_free(root);
    std::string dev = std::string(testbed_root) + "/dev";
    mkdir(dev.c_str(), 0755);
    return 1;
}

void board_sim_stop() {
    if (testbed == nullptr) {
        return;
    }
    g_object_unref(testbed);
    testbed = nullptr;
    testbed_root[0] = '\0';
    for (board_hid* hid : hid_states) {
        if (hid->slave >= 0) {
            close(hid->slave);
        }
        g_object_unref(hid->handler);
        pthread_cond_destroy(&hid->released);
        pthread_mutex_destroy(&hid->lock);
        delete hid;
    }
    hid_states.clear();
}

const char* board_sim_root() {
    return testbed_root;
}

void board_sim_init(board_sim* b, const char* location, int32_t kind, uint32_t vid, uint32_t pid,
                    uint32_t bcd) {
    *b = board_sim{};
    const char* bare = strncmp(location, "/sys/", 5) == 0 ? location + 4 : location;
    copy_bounded(b->location, bare, sizeof b->location);
    b->kind = kind;
    b->vid = vid;
    b->pid = pid;
    b->bcd = bcd;
    b->model = 0x24;
    b->pty_master = -1;
}

int32_t board_sim_plug(board_sim* b) {
    if (testbed == nullptr || b->plugged) {
        return 0;
    }
    b->child_count = 0;
    b->hid = nullptr;
    b->node[0] = '\0';
    b->node_target[0] = '\0';
    b->plugged = 1;
    std::string usb_path = b->location;
    std::string name = base_name_of(usb_path);
    char attributes[160];
    snprintf(attributes, sizeof attributes,
             "A: idVendor=%04x\nA: idProduct=%04x\nA: bcdDevice=%04x\n"
             "E: DEVNAME=bus/usb/001/%03d\n",
             b->vid & 0xFFFF, b->pid & 0xFFFF, b->bcd & 0xFFFF, 2 + node_counter % 100);
    // The serial goes in hexadecimal, so that it may hold any byte but zero.
    std::string serial;
    if (b->serial[0] != '\0') {
        serial = "H: serial=";
        for (const char* c = b->serial; *c != '\0'; ++c) {
            char hex[3];
            snprintf(hex, sizeof hex, "%02x", static_cast<unsigned>(static_cast<uint8_t>(*c)));
            serial += hex;
        }
        serial += "\n";
    }
    if (!b->beside && !add_device(nullptr, usb_device_record(usb_path, attributes + serial))) {
        return 0;
    }
    char interface_name[64];
    snprintf(interface_name, sizeof interface_name, "%s:1.%d", name.c_str(), b->interface_number);
    std::string interface_path = usb_path + "/" + interface_name;
    char number[8];
    snprintf(number, sizeof number, "%02x", static_cast<unsigned>(b->interface_number));
    if (!add_device(b, usb_interface_record(interface_path, number))) {
        return 0;
    }
    if (b->kind == board_kind_tty) {
        return tty_devices_add(b, interface_path);
    }
    if (b->kind == board_kind_hid_serial || b->kind == board_kind_loader) {
        return hid_devices_add(b, interface_path);
    }
    return 1;
}

int32_t board_sim_unplug(board_sim* b) {
    if (testbed == nullptr || !b->plugged) {
        return 0;
    }
    if (b->pty_master >= 0) {
        node_hang_up(b);
    }
    for (int32_t i = b->child_count - 1; i >= 0; --i) {
        remove_device(b->children[i]);
    }
    if (!b->beside) {
        remove_device(sys_path_of(b->location));
    }
    b->child_count = 0;
    b->plugged = 0;
    return 1;
}

int32_t board_sim_replug_as(board_sim* b, int32_t kind, uint32_t vid, uint32_t pid, uint32_t bcd) {
    if (b->plugged && !board_sim_unplug(b)) {
        return 0;
    }
    b->kind = kind;
    b->vid = vid;
    b->pid = pid;
    b->bcd = bcd;
    return board_sim_plug(b);
}

int32_t board_sim_replace_node(board_sim* b, int32_t announce_removal) {
    if (testbed == nullptr || !b->plugged || b->child_count < 1) {
        return 0;
    }
    if (b->pty_master >= 0) {
        node_hang_up(b);
    }
    // Everything below the interface goes, from the bottom up.
    for (int32_t i = b->child_count - 1; i >= 1; --i) {
        if (announce_removal != 0) {
            send_event(b->children[i], "remove");
        }
        umockdev_testbed_remove_device(testbed, b->children[i]);
    }
    b->child_count = 1;
    b->hid = nullptr;
    std::string interface_path = std::string(b->children[0]).substr(strlen("/sys"));
    if (b->kind == board_kind_tty) {
        return tty_devices_add(b, interface_path);
    }
    if (b->kind == board_kind_hid_serial || b->kind == board_kind_loader) {
        return hid_devices_add(b, interface_path);
    }
    return 1;
}

void board_sim_release_features(board_sim* b) {
    b->features_held = 0;
    if (b->hid == nullptr) {
        return;
    }
    pthread_mutex_lock(&b->hid->lock);
    b->hid->held = 0;
    pthread_cond_broadcast(&b->hid->released);
    pthread_mutex_unlock(&b->hid->lock);
}

void board_sim_announce(const board_sim* b, const char* action) {
    if (testbed == nullptr || !b->plugged) {
        return;
    }
    send_event(sys_path_of(b->location), action);
    for (int32_t i = 0; i < b->child_count; ++i) {
        send_event(b->children[i], action);
    }
}

int32_t board_sim_send(board_sim* b, const char* data, int32_t length) {
    if (!b->plugged || b->pty_master < 0 || length <= 0) {
        return 0;
    }
    if (b->hid == nullptr) {
        return write_fully(b->pty_master, data, length);
    }
    int32_t done = 0;
    for (; done < length; done += board_input_report_size) {
        char report[board_input_report_size] = {};
        int32_t chunk =
            length - done < board_input_report_size ? length - done : board_input_report_size;
        memcpy(report, data + done, static_cast<size_t>(chunk));
        if (write_fully(b->pty_master, report, board_input_report_size) !=
            board_input_report_size) {
            break;
        }
    }
    return done < length ? done : length;
}

int32_t board_sim_receive(board_sim* b, char* buffer, int32_t capacity, int32_t timeout_ms) {
    if (capacity <= 0) {
        return 0;
    }
    return line_receive(b, buffer, capacity, timeout_ms);
}

int32_t board_sim_feature_reports(const board_sim* b, uint8_t last[board_feature_report_size]) {
    if (b->hid == nullptr) {
        return 0;
    }
    pthread_mutex_lock(&b->hid->lock);
    int32_t count = b->hid->feature_count;
    if (count > 0) {
        memcpy(last, b->hid->feature, board_feature_report_size);
    }
    pthread_mutex_unlock(&b->hid->lock);
    return count;
}

int32_t board_sim_opened(board_sim* b) {
    if (b->hid != nullptr) {
        pthread_mutex_lock(&b->hid->lock);
        int32_t opens = b->hid->opens;
        pthread_mutex_unlock(&b->hid->lock);
        return opens;
    }
    if (b->pty_master >= 0 && !b->tty_opened) {
        // The master reads the line's settings: the kernel's default is cooked, with echo.
        termios tio{};
        if (tcgetattr(b->pty_master, &tio) == 0 && (tio.c_lflag & (ICANON | ECHO)) == 0) {
            b->tty_opened = 1;
        }
    }
    return b->tty_opened;
}

int32_t board_sim_held_by(const board_sim* b, pid_t pid) {
    if (b->node_target[0] == '\0') {
        return 0;
    }
    // Once the board has hung up, its pty's name is gone: the links of the
    // descriptors still open on it say so, and a new pty may take the name.
    std::string wanted = b->node_target;
    if (b->pty_master < 0) {
        wanted += " (deleted)";
    }
    int32_t count = 0;
    each_descriptor(pid,
                    [&](int, const std::string& target) { count += target == wanted ? 1 : 0; });
    return count;
}
