#pragma once

#include <pthread.h>

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

// What one relay works on: a heap record from calloc, owned by the relay thread
// from its start, which closes every descriptor in it and frees it at its end.
struct relay_args {
    endpoint source;       // the relay's own duplicate of the endpoint it reads
    endpoint destination;  // the relay's own duplicate of the endpoint it writes
    const char* label;     // names the direction; nothing prints it
    int32_t stop_fd;       // read end of the opening's stop pipe; readable means stop
    int32_t let_go_fd;     // write end of the opening's let-go pipe
    int32_t after_fd;      // read end of the previous opening's let-go pipe, or -1
};

inline constexpr int32_t relay_buffer_size = 16384;
inline constexpr int32_t relay_failure_limit = 10;

void port_lock_acquire();
void port_lock_release();

// 1 when wanted names address: the whole text, or its tail from the first "/usb"
// on, without the slash. Absent or empty texts never match.
int32_t address_matches(const char* address, const char* wanted);

// Called with port_lock held. Opens the board side for entry and, with the IDE
// connected, starts the two relays; 1 when device_endpoint is open on return.
int32_t bridge_open(port_entry* entry);

// Called with port_lock held, by bridge_open. Starts one relay per direction on
// duplicates of device_endpoint and ide_endpoint.
void start_relays(const char* ide_to_board_label, const char* board_to_ide_label);

// Called with port_lock held. Closes device_endpoint if open and tells the
// relays of its opening to stop. Returns a descriptor for relays_await, or -1
// when there is nothing to wait for.
int32_t bridge_close();

// Called with no lock held (it takes port_lock for a moment). Waits, briefly and
// boundedly, until the relays of a closed opening have let go of every
// descriptor they held; closes let_go_fd.
void relays_await(int32_t let_go_fd);

// Thread entry of one relay; takes ownership of its relay_args.
void* relay_thread(void* args);
