#pragma once

#include <cstdint>

#include "devices/device_records.h"
#include "devices/port_rule.h"

// Makes or updates the port entry of the record's location and opens the board
// side when it is the selected address, following it to a new node when the
// old one's removal was lost. Takes port_lock; call without it.
void port_publish(const device_record* record);

// One of the record's children went and its node was chosen anew: when the
// board side holds the node that went, closes it, and the port is withdrawn
// until a publication names a node again. Reads only the record's location
// and node. Takes port_lock; call without it.
void port_node_changed(const device_record* record);

// Marks the record's port withdrawn and closes the board side when the record
// is the selected board. Takes port_lock; call without it.
void port_withdraw(const device_record* record);
