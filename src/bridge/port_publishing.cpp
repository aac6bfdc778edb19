#include "bridge/port_publishing.h"

#include <cstdlib>
#include <cstring>

#include "bridge/endpoint.h"
#include "bridge/port_table.h"
#include "common/copy_bounded.h"
#include "common/trace.h"

// Runs on the watcher thread only: the record belongs to that thread and is
// read without a lock; port_lock guards everything of the port table.

// Called with port_lock held. The entry whose address is exactly address, or null.
static port_entry* port_find(const char* address) {
    for (port_entry* entry = port_list; entry != nullptr; entry = entry->next) {
        if (strcmp(entry->address, address) == 0) {
            return entry;
        }
    }
    return nullptr;
}

// Called with port_lock held. A new zero-filled entry for address at the tail
// of port_list, or null when none can be made.
static port_entry* port_append(const char* address) {
    auto* entry = static_cast<port_entry*>(calloc(1, sizeof(port_entry)));
    if (entry == nullptr) {
        trace("port_append: no memory for %s\n", address);
        return nullptr;
    }
    copy_bounded(entry->address, address, sizeof entry->address);
    if (port_list == nullptr) {
        port_list = entry;
        return entry;
    }
    port_entry* last = port_list;
    while (last->next != nullptr) {
        last = last->next;
    }
    last->next = entry;
    entry->prev = last;
    return entry;
}

void port_publish(const device_record* record) {
    // The discovery lists exactly the records that pass this rule.
    int32_t kind = port_kind_of(record);
    if (kind == port_kind_none) {
        return;
    }
    int32_t is_serial = kind == port_kind_serial ? 1 : 0;
    int32_t is_hid = kind == port_kind_hid ? 1 : 0;

    port_lock_acquire();
    port_entry* entry = port_find(record->location);
    if (entry == nullptr) {
        entry = port_append(record->location);
    }
    if (entry == nullptr) {
        port_lock_release();
        return;
    }
    // Every publication takes the newly chosen node, a republished address too.
    copy_bounded(entry->devnode, record->devnode, sizeof entry->devnode);
    entry->is_serial = is_serial;
    entry->is_hid = is_hid;
    int32_t selected = address_matches(entry->address, selected_address);
    endpoint closed;
    endpoint_reset(&closed);
    int32_t let_go = -1;
    if (selected != 0 && device_endpoint.fd >= 0 && device_entry == entry &&
        strcmp(device_node, entry->devnode) != 0) {
        // The board side holds a node that was replaced while its removal
        // never reached us: follow the board to its new node.
        trace("port_publish: %s now at %s; board side on %s closed", entry->address, entry->devnode,
              device_node);
        let_go = bridge_close(&closed);
    }
    port_lock_release();
    bridge_let_go(&closed, let_go);
    if (selected != 0) {
        // An opening that fails is tried again at the next publication; the
        // failure is traced, and the IDE's connection stays for that one.
        (void)bridge_open(entry);
    }
}

// Called with port_lock held. 1 when the board side is open on the node of
// entry that the record no longer names.
static int32_t holds_vanished_node(const port_entry* entry, const device_record* record) {
    return device_endpoint.fd >= 0 && entry != nullptr && device_entry == entry &&
                   strcmp(device_node, record->devnode) != 0
               ? 1
               : 0;
}

void port_node_changed(const device_record* record) {
    endpoint closed;
    endpoint_reset(&closed);
    int32_t let_go = -1;
    port_lock_acquire();
    port_entry* entry = port_find(record->location);
    if (holds_vanished_node(entry, record) != 0) {
        trace("port_node_changed: %s: %s is gone; board side closed", entry->address, device_node);
        let_go = bridge_close(&closed);
    }
    // The node the entry names is gone: until a publication names another,
    // the port is withdrawn, so that nothing opens a path that some other
    // device may get next.
    if (entry != nullptr && strcmp(entry->devnode, record->devnode) != 0) {
        entry->is_serial = 0;
        entry->is_hid = 0;
    }
    port_lock_release();
    bridge_let_go(&closed, let_go);
    // No publication here: the node chosen now, if it is a port, arrives with
    // an add of its own.
}

void port_withdraw(const device_record* record) {
    endpoint closed;
    endpoint_reset(&closed);
    int32_t let_go = -1;
    port_lock_acquire();
    // The entry stays, with its address and node, to be reused on republication.
    port_entry* entry = port_find(record->location);
    if (entry != nullptr) {
        entry->is_serial = 0;
        entry->is_hid = 0;
    }
    // The selected board went away: close its side even when no entry was
    // found, or when the side was opened for another port.
    if (device_endpoint.fd >= 0 && address_matches(record->location, selected_address) != 0) {
        let_go = bridge_close(&closed);
    }
    port_lock_release();
    // The last close and the wait for the relays to let go of their copies of
    // the node happen without port_lock, which would stall the command loop.
    bridge_let_go(&closed, let_go);
}
