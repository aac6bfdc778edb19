#include "bridge/endpoint.h"

void endpoint_reset(endpoint* ep) { *ep = endpoint{0, 0, 0, -1}; }
int32_t endpoint_open_serial(endpoint* ep, const char*) { endpoint_reset(ep); return 0; }
int32_t endpoint_open_hid(endpoint* ep, const char*) { endpoint_reset(ep); return 0; }
int32_t endpoint_connect(endpoint* ep, uint32_t, uint16_t) { endpoint_reset(ep); return 0; }
void endpoint_close(endpoint* ep) { endpoint_reset(ep); }
int32_t endpoint_duplicate(const endpoint*, endpoint* copy) { endpoint_reset(copy); return 0; }
int32_t endpoint_read(const endpoint*, char*, int32_t, int32_t) { return 0; }
int32_t endpoint_write(const endpoint*, char*, int32_t, int32_t) { return 0; }
