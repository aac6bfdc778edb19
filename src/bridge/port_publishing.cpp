#include "bridge/port_publishing.h"

int32_t is_serial_port(const device_record*) { return 0; }
int32_t is_hid_port(const device_record*) { return 0; }
void port_publish(const device_record*) {}
void port_withdraw(const device_record*) {}
