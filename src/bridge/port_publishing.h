#pragma once

#include <cstdint>

#include "devices/device_records.h"
#include "devices/port_rule.h"

// Makes or updates the port entry of the record's location and opens the board
// side when it is the selected address. Takes port_lock; call without it.
void port_publish(const device_record* record);

// Marks the record's port withdrawn and closes the board side when the record
// is the selected board. Takes port_lock; call without it.
void port_withdraw(const device_record* record);
