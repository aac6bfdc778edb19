#pragma once

#include <cstdint>

struct device_record;

// What the discovery announces about one port. Plain bytes copied from the
// record and its udev handle, so a port outlives the record it came from.
struct discovery_port {
    char address[240];  // the short form of the USB device's syspath that OPEN takes
    char node[1024];    // the chosen device node
    char serial[256];   // the USB serial number, or empty when the board has none
    char model[64];     // display name of the detected model
    uint32_t vid;
    uint32_t pid;
    int32_t kind;       // port_kind_serial or port_kind_hid
    int32_t access_ok;  // 1 when this process may open the node for reading and writing
    discovery_port* next;
    discovery_port* prev;
};

// What a change to the port set means for a client in sync.
inline constexpr int32_t port_change_none = 0;
inline constexpr int32_t port_change_add = 1;     // new or different facts: an add
inline constexpr int32_t port_change_remove = 2;  // an announced port is gone: a remove

// The ports of the moment, in order of arrival. Guarded by output_lock.
extern discovery_port* port_set;

// Fills port with the record's facts; 1 when the record is a listed port now,
// else 0. Watcher thread only: the record and its udev handle belong to it.
int32_t port_facts_of(const device_record* record, discovery_port* port);

// Fills port with the facts of the port at address, decided from every
// tracked record listed there except leaving (null for none), the newest
// port among them winning; 1 when one is a port. Watcher thread only.
int32_t port_facts_at(const char* address, const device_record* leaving, discovery_port* port);

// Puts the port's facts in the set. port_change_add when they are new for the
// address, port_change_none when the set held the same facts, or when no
// memory is left (the port then stays unknown). Called with output_lock held.
int32_t port_set_put(const discovery_port* port);

// Takes the port of address out of the set, copying it into removed when it
// was there; port_change_remove then, else port_change_none. Called with
// output_lock held.
int32_t port_set_drop(const char* address, discovery_port* removed);

// Number of ports in the set. Called with output_lock held.
int32_t port_set_count();
