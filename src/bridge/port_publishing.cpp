#include "bridge/port_publishing.h"

#include <cstdlib>
#include <cstring>

#include "bridge/endpoint.h"
#include "bridge/opener.h"
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

// Called with port_lock held. The entry of the record's location takes its
// newly chosen node and kind, made first if there is none; null when none
// can be made. Every publication does this, a republished address too.
static port_entry* entry_publish(const device_record* record, int32_t kind) {
    port_entry* entry = port_find(record->location);
    if (entry == nullptr) {
        entry = port_append(record->location);
    }
    if (entry == nullptr) {
        return nullptr;
    }
    copy_bounded(entry->devnode, record->devnode, sizeof entry->devnode);
    entry->is_serial = kind == port_kind_serial ? 1 : 0;
    entry->is_hid = kind == port_kind_hid ? 1 : 0;
    return entry;
}

// Called with port_lock held, after entry_publish. When entry is the
// selected address, the board side follows it to its node: a board side
// on another node is closed (into closed; returns the descriptor for
// bridge_drop, else -1), and the opener is asked to open it.
static int32_t entry_follow(port_entry* entry, endpoint* closed, const char* reason) {
    if (address_matches(entry->address, selected_address) == 0) {
        return -1;
    }
    int32_t let_go = -1;
    if (device_endpoint.fd >= 0 && device_entry == entry &&
        strcmp(device_node, entry->devnode) != 0) {
        // The board side holds a node that was replaced while its removal
        // never reached us: follow the board to its new node.
        trace("port_publish: %s now at %s; board side on %s closed", entry->address, entry->devnode,
              device_node);
        let_go = bridge_close(closed);
    }
    // An opening that fails is traced and tried again while the IDE stays.
    (void)bridge_want(entry, reason);
    return let_go;
}

void port_publish(const device_record* record) {
    // The discovery lists exactly the records that pass this rule.
    int32_t kind = port_kind_of(record);
    if (kind == port_kind_none) {
        return;
    }
    endpoint closed;
    endpoint_reset(&closed);
    int32_t let_go = -1;
    port_lock_acquire();
    port_entry* entry = entry_publish(record, kind);
    if (entry != nullptr) {
        let_go = entry_follow(entry, &closed, "published");
    }
    port_lock_release();
    // No wait for the relays here: the watcher goes back to its events.
    bridge_drop(&closed, let_go);
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
    int32_t kind = port_kind_of(record);
    endpoint closed;
    endpoint_reset(&closed);
    int32_t let_go = -1;
    port_lock_acquire();
    port_entry* entry = port_find(record->location);
    if (holds_vanished_node(entry, record) != 0) {
        trace("port_node_changed: %s: %s is gone; board side closed", entry->address, device_node);
        let_go = bridge_close(&closed);
    }
    int32_t moved = entry != nullptr && strcmp(entry->devnode, record->devnode) != 0 ? 1 : 0;
    int32_t listed = entry != nullptr && (entry->is_serial != 0 || entry->is_hid != 0) ? 1 : 0;
    if (entry != nullptr && (moved != 0 || (listed == 0 && kind != port_kind_none))) {
        if (kind != port_kind_none) {
            // Still a port, on another node it already had (a board with two
            // serial interfaces that lost one): published again there, as
            // the discovery lists it.
            (void)entry_publish(record, kind);
            int32_t more = entry_follow(entry, &closed, "its node changed");
            let_go = let_go >= 0 ? let_go : more;
        } else {
            // The node the entry names is gone and no other is a port: the
            // port is withdrawn until a publication names a node again, so
            // that nothing opens a path that some other device may get next.
            entry->is_serial = 0;
            entry->is_hid = 0;
        }
    }
    port_lock_release();
    bridge_drop(&closed, let_go);
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
    // The last close happens without port_lock, which would stall the
    // command loop; the relays end by themselves.
    bridge_drop(&closed, let_go);
}

void port_changed(const device_record* record) {
    port_lock_acquire();
    if (address_matches(record->location, selected_address) != 0) {
        // The node's access may have changed: a wanted board side is tried at once.
        bridge_poke("a change event came");
    }
    port_lock_release();
}
