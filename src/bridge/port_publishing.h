#pragma once

#include <cstdint>

#include "devices/device_records.h"
#include "devices/port_rule.h"

// Makes or updates the port entry of the record's location and, when it is
// the selected address, asks the opener for the board side, following it to
// a new node when the old one's removal was lost. Takes port_lock; call
// without it.
void port_publish(const device_record* record);

// One of the record's children went and its node was chosen anew: when the
// board side holds the node that went, closes it. A record that is still a
// port is published again with its new node, as the discovery lists it;
// otherwise the port is withdrawn until a publication names a node again.
// Takes port_lock; call without it.
void port_node_changed(const device_record* record);

// Marks the record's port withdrawn and closes the board side when the record
// is the selected board. Takes port_lock; call without it.
void port_withdraw(const device_record* record);

// Another action came for the record or a child ("change": its node's access
// may differ): when it is the selected board and its side is wanted, the
// opener tries at once. Takes port_lock; call without it.
void port_changed(const device_record* record);
