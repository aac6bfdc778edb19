#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <cstdint>

#include "bridge/endpoint.h"

// One published port address. Entries are never unlinked or freed; a withdrawn
// entry (both flags 0) is reused when its address is published again.
struct port_entry {
    char address[1024];  // syspath of the board's USB device; set once
    char devnode[1280];  // node to open, rewritten by every publication
    int32_t is_serial;   // devnode is a tty carrying the board's stream
    int32_t is_hid;      // devnode is a hidraw node carrying it as HID reports
    port_entry* prev;
    port_entry* next;
};

// Everything below is guarded by port_lock, except where a line says otherwise.
extern pthread_mutex_t port_lock;
extern port_entry* port_list;
extern char selected_address[1024];
extern endpoint device_endpoint;
// Written only by the main thread, under port_lock; the watcher tests and copies it under it.
extern endpoint ide_endpoint;
// Write end of the current opening's stop pipe, -1 when none: closing it stops its relays.
extern int32_t relay_stop_fd;
// Read end of the latest opening's let-go pipe, -1 when none or once relays_await saw it end.
extern int32_t relay_let_go_fd;
// What the open board side was opened for: its entry (null when closed), the
// path of the node it holds, and that node's file identity (device and inode).
extern port_entry* device_entry;
extern char device_node[1280];
extern dev_t device_node_dev;
extern ino_t device_node_ino;
// Counts the openings of the board side; a relay knows the one it serves.
extern uint32_t bridge_generation;
// Counts the writes of selected_address.
extern uint32_t selection_generation;

// Why a node could not be opened: errno of the open and the node's path.
struct bridge_failure {
    int32_t error;  // 0 when no open failed
    char node[1280];
};

// What one relay works on: a heap record from calloc, owned by the relay thread
// from its start, which closes every descriptor in it and frees it at its end.
struct relay_args {
    endpoint source;       // the relay's own duplicate of the endpoint it reads
    endpoint destination;  // the relay's own duplicate of the endpoint it writes
    const char* label;     // names the direction; nothing prints it
    int32_t stop_fd;       // read end of the opening's stop pipe; readable means stop
    int32_t let_go_fd;     // write end of the opening's let-go pipe
    int32_t after_fd;      // read end of the previous opening's let-go pipe, or -1
    uint32_t generation;   // bridge_generation of the opening it serves
};

inline constexpr int32_t relay_buffer_size = 16384;
// How long OPEN waits for a node that answers EBUSY (another program probing
// it) before it reports the node busy.
inline constexpr int64_t busy_retry_ms = 2000;

void port_lock_acquire();
void port_lock_release();

// 1 when wanted names address: the whole text, or its tail from the first "/usb"
// on, without the slash. Absent or empty texts never match.
int32_t address_matches(const char* address, const char* wanted);

// Called with port_lock held. Stores the IDE's latest address; the same
// address again changes nothing, so an opening in progress for it goes on.
void port_select(const char* address);

// Called without port_lock: the node is opened, set up and, for a last close,
// closed with no lock held, since a wedged board can stall each of these for
// seconds. One try: when the board side is closed and entry is published and
// selected, opens its node once (after any opening in progress has ended),
// then installs it unless the board side was opened meanwhile or the
// selection or the entry changed; with the IDE connected, starts the two
// relays. 1 when device_endpoint is open on return; 0 otherwise, with
// failure (may be null) telling what open failed, if any. Only the opener
// thread calls it in the program.
int32_t bridge_open(port_entry* entry, bridge_failure* failure = nullptr);

// Starts a thread that nobody joins; 0, or the error number.
int thread_start_detached(void* (*body)(void*), void* arg);

// Called with port_lock held, by bridge_open. Starts one relay per direction on
// duplicates of device_endpoint and ide_endpoint.
void start_relays(const char* ide_to_board_label, const char* board_to_ide_label);

// Called with port_lock held. Tells the relays of the current opening to stop;
// the endpoints stay. Returns a descriptor for relays_await, or -1.
int32_t relays_stop();

// Called with port_lock held. Closes device_endpoint if open and tells the
// relays of its opening to stop. With closed given, the board side is moved
// there, for bridge_let_go to close once port_lock is released; else it is
// closed here. Returns a descriptor for relays_await, or -1 when there is
// nothing to wait for.
int32_t bridge_close(endpoint* closed = nullptr);

// Called with no lock held: closes what bridge_close moved out, dropping a
// tty's unsent output, then waits for the relays as relays_await does.
void bridge_let_go(endpoint* closed, int32_t let_go_fd);

// Called with no lock held, on the watcher thread: closes what bridge_close
// moved out, dropping a tty's unsent output, and leaves the relays to end by
// themselves; the next opening's relays wait for them.
void bridge_drop(endpoint* closed, int32_t let_go_fd);

// Called with no lock held (it takes port_lock for a moment). Waits, briefly and
// boundedly, until the relays of a closed opening have let go of every
// descriptor they held; closes let_go_fd.
void relays_await(int32_t let_go_fd);

// Thread entry of one relay; takes ownership of its relay_args.
void* relay_thread(void* args);
