#pragma once

// Adding devices to a umockdev testbed from a test.

#include <umockdev.h>

#include <string>

// Adds the devices of record (umockdev's text format, see sim/udev_records.h);
// a fatal failure, with umockdev's reason, when the testbed refuses them.
void testbed_add(UMockdevTestbed* testbed, const std::string& record);
