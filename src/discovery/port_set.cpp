#include "discovery/port_set.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/copy_bounded.h"
#include "common/trace.h"
#include "devices/device_records.h"
#include "devices/identification.h"
#include "devices/port_rule.h"

discovery_port* port_set = nullptr;

// 1 unless the node exists and this process may not open it for reading and
// writing. Only the permission is asked: opening a serial node would raise
// its modem lines, which restarts some boards.
static int32_t is_node_usable(const char* node) {
    if (access(node, R_OK | W_OK) == 0) {
        return 1;
    }
    return errno == EACCES || errno == EPERM || errno == EROFS ? 0 : 1;
}

int32_t port_facts_of(const device_record* record, discovery_port* port) {
    memset(port, 0, sizeof *port);
    int32_t kind = port_kind_of(record);
    if (kind == port_kind_none) {
        return 0;
    }
    if (port_address_of(record, port->address, sizeof port->address) == 0) {
        return 0;
    }
    copy_bounded(port->node, record->devnode, sizeof port->node);
    const char* serial = usb_serial_of(record);
    copy_bounded(port->serial, serial != nullptr ? serial : "", sizeof port->serial);
    copy_bounded(port->model, model_name(record->model), sizeof port->model);
    port->vid = record->vid;
    port->pid = record->pid;
    port->kind = kind;
    port->access_ok = is_node_usable(record->devnode);
    return 1;
}

int32_t port_facts_at(const char* address, const device_record* leaving, discovery_port* port) {
    int32_t found = 0;
    discovery_port candidate;
    char other[sizeof candidate.address];
    for (const device_record* record = device_list; record != nullptr; record = record->next) {
        if (record == leaving || port_address_of(record, other, sizeof other) == 0 ||
            strcmp(other, address) != 0) {
            continue;
        }
        if (port_facts_of(record, &candidate) != 0) {
            *port = candidate;
            found = 1;
        }
    }
    return found;
}

// The port of address, or null.
static discovery_port* port_set_find(const char* address) {
    for (discovery_port* port = port_set; port != nullptr; port = port->next) {
        if (strcmp(port->address, address) == 0) {
            return port;
        }
    }
    return nullptr;
}

// 1 when both hold the same facts; the links are not facts.
static int32_t is_same_port(const discovery_port* a, const discovery_port* b) {
    return strcmp(a->address, b->address) == 0 && strcmp(a->node, b->node) == 0 &&
                   strcmp(a->serial, b->serial) == 0 && strcmp(a->model, b->model) == 0 &&
                   a->vid == b->vid && a->pid == b->pid && a->kind == b->kind &&
                   a->access_ok == b->access_ok
               ? 1
               : 0;
}

int32_t port_set_put(const discovery_port* port) {
    discovery_port* known = port_set_find(port->address);
    if (known != nullptr) {
        if (is_same_port(known, port) != 0) {
            return port_change_none;
        }
        discovery_port* next = known->next;
        discovery_port* prev = known->prev;
        *known = *port;
        known->next = next;
        known->prev = prev;
        return port_change_add;
    }
    auto* added = static_cast<discovery_port*>(malloc(sizeof(discovery_port)));
    if (added == nullptr) {
        trace("port_set_put: no memory for %s\n", port->address);
        return port_change_none;
    }
    *added = *port;
    added->next = nullptr;
    added->prev = nullptr;
    if (port_set == nullptr) {
        port_set = added;
        return port_change_add;
    }
    discovery_port* last = port_set;
    while (last->next != nullptr) {
        last = last->next;
    }
    last->next = added;
    added->prev = last;
    return port_change_add;
}

int32_t port_set_drop(const char* address, discovery_port* removed) {
    discovery_port* known = port_set_find(address);
    if (known == nullptr) {
        return port_change_none;
    }
    *removed = *known;
    if (known->next != nullptr) {
        known->next->prev = known->prev;
    }
    if (known->prev != nullptr) {
        known->prev->next = known->next;
    } else {
        port_set = known->next;
    }
    free(known);
    removed->next = nullptr;
    removed->prev = nullptr;
    return port_change_remove;
}

int32_t port_set_count() {
    int32_t count = 0;
    for (const discovery_port* port = port_set; port != nullptr; port = port->next) {
        ++count;
    }
    return count;
}
