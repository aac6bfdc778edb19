#pragma once

// Simulated boards in a umockdev testbed, for the system tests, the demo and
// the benchmarks. A board is a USB device with one interface and one node
// below it; the simulator plugs and unplugs it the way the kernel announces
// it, and plays the board's end of its byte stream.
//
// A process that simulates boards runs under umockdev-wrapper (the preload
// library must be inherited by the monitor it starts), calls
// board_sim_private_network (optional, first of all), then board_sim_start,
// and starts the monitor afterwards: the monitor inherits the testbed through
// UMOCKDEV_DIR and receives the simulated uevents.
//
// Every node is a real pty, so the monitor's reads, writes and waits run at
// full speed on kernel objects:
// - a tty node is "/dev/ttyACMn" in the testbed, as a real board gives it (the
//   lowest number free), a link to a pty. The preload routes the ioctls of
//   every "/dev/..." node that is opened to the testbed, which passes the
//   terminal's (TCGETS, TCSETS, TCFLSH) on to the pty but fails FIONREAD, so
//   a reader of the node must not rely on FIONREAD;
// - a hidraw node is "/dev/hidrawN" in the testbed, a link to a raw pty. The
//   simulator handles its ioctls (the feature report); reads and writes go to
//   the pty, which carries each input report as 64 bytes that one 64-byte read
//   takes whole, and the output reports as they were written.

#include <sys/types.h>

#include <cstdint>

// What hangs below a board's USB interface.
inline constexpr int32_t board_kind_none = 0;        // nothing: the interface alone
inline constexpr int32_t board_kind_tty = 1;         // a tty node
inline constexpr int32_t board_kind_hid_serial = 2;  // a "hid" device with the HID-serial
                                                     // descriptor and its hidraw node
inline constexpr int32_t board_kind_loader = 3;      // a "hid" device with a loader
                                                     // descriptor and its hidraw node

// Sizes of the reports a HID board takes and gives.
inline constexpr int32_t board_input_report_size = 64;
inline constexpr int32_t board_output_report_size = 32;
inline constexpr int32_t board_feature_report_size = 5;

// The HID state of one plug; private to the simulator.
struct board_hid;

// One simulated board. Set up with board_sim_init; the identity, interface
// number and model may be changed between plugs.
struct board_sim {
    char location[240];        // USB device path below /sys, "/devices/.../usb1/1-2"
    uint32_t vid;              // idVendor
    uint32_t pid;              // idProduct
    uint32_t bcd;              // bcdDevice
    int32_t kind;              // board_kind_*
    int32_t interface_number;  // bInterfaceNumber of the interface that holds the node
    int32_t model;             // a loader descriptor's model byte
    int32_t plugged;           // 1 from plug to unplug
    int32_t pty_master;        // the board's end of its tty node; -1 when none
    char node[256];            // the node path that udev reports and the monitor opens
                               // ("/dev/ttyACMn", "/dev/hidrawN")
    char node_target[256];     // what /proc/<pid>/fd shows for that node ("/dev/pts/N")
    int32_t tty_opened;        // a tty node was put in raw mode (by whoever opened it)
    int32_t child_count;
    char children[4][512];  // syspaths ("/sys/devices/...") below the USB device, parents first
    board_hid* hid;         // the HID state of the current or latest plug, or none
    char serial[128];       // the USB device's serial attribute, any bytes; none when empty
    int32_t features_held;  // set before a plug: the HID node's feature reports
                            // wait until board_sim_release_features, as on a
                            // wedged board
    int32_t beside;         // set before a plug: only another interface and its
                            // node, below the USB device that a board plugged
                            // at the same location brought; its unplug leaves
                            // that device
};

// Moves this process into a network namespace of its own with loopback up and
// a deep uevent queue (a burst of uevents the monitor has not read yet would
// otherwise abort the sender). Needs root; call before anything else, while
// the process has one thread. 1, or 0 when the process stays where it was.
int32_t board_sim_private_network();

// Creates the process's testbed (once; later calls do nothing); 1, or 0 on failure.
int32_t board_sim_start();

// Drops the testbed and its directory; call after every monitor has ended.
// The boards simulated so far must not be used afterwards.
void board_sim_stop();

// The testbed's root directory ("" before board_sim_start).
const char* board_sim_root();

// Fills b for a board at location ("/devices/..." or "/sys/devices/...") on
// interface 0, model 0x24, not plugged.
void board_sim_init(board_sim* b, const char* location, int32_t kind, uint32_t vid, uint32_t pid,
                    uint32_t bcd);

// Adds the USB device, its interface and the node's devices, each announcing
// itself with "add"; 1, or 0 when b is plugged already or the testbed refuses.
int32_t board_sim_plug(board_sim* b);

// Hangs the node up, then removes the devices from the bottom up, each with a
// "remove" event before it goes; 1, or 0 when b is not plugged.
int32_t board_sim_unplug(board_sim* b);

// Unplugs b if plugged, takes the new identity and kind, and plugs it again; 1 or 0.
int32_t board_sim_replug_as(board_sim* b, int32_t kind, uint32_t vid, uint32_t pid, uint32_t bcd);

// Replaces the node below the board's interface while the USB device stays,
// as a driver rebind does: the old node hangs up and goes (with its "remove"
// events when announce_removal is 1, silently otherwise), then a new node
// with a new name comes with "add" events. 1, or 0 when b is not plugged.
int32_t board_sim_replace_node(board_sim* b, int32_t announce_removal);

// Lets the feature reports held by features_held complete, now and from now on.
void board_sim_release_features(board_sim* b);

// Sends the action ("change", "bind", ...) for the USB device and each device below it.
void board_sim_announce(const board_sim* b, const char* action);

// The board writes: a tty board into its line, a HID board as input reports
// of 64 bytes (a chunk shorter than 64 is zero-filled). Returns the count taken.
int32_t board_sim_send(board_sim* b, const char* data, int32_t length);

// What the monitor wrote to the board: a tty board's line, or a HID board's
// output reports one after another, as written. Waits until capacity bytes
// came or timeout_ms passed; returns the count stored.
int32_t board_sim_receive(board_sim* b, char* buffer, int32_t capacity, int32_t timeout_ms);

// Feature reports the current plug's node received; copies the latest into last if any.
int32_t board_sim_feature_reports(const board_sim* b, uint8_t last[board_feature_report_size]);

// How often the node of the current or latest plug was opened: a HID node
// counts each opening; a tty node gives 1 once it was put in raw mode, else 0.
int32_t board_sim_opened(board_sim* b);

// Number of descriptors of process pid that hold the node of b's current or,
// once unplugged, latest plug (keep a copy of b made after its unplug to ask
// about that node after a replug).
int32_t board_sim_held_by(const board_sim* b, pid_t pid);
