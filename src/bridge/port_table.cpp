#include "bridge/port_table.h"

pthread_mutex_t port_lock;
port_entry* port_list = nullptr;
char selected_address[1024];
endpoint device_endpoint = {0, 0, 0, -1};
endpoint ide_endpoint = {0, 0, 0, -1};

void port_lock_acquire() { (void)pthread_mutex_lock(&port_lock); }
void port_lock_release() { (void)pthread_mutex_unlock(&port_lock); }
int32_t address_matches(const char*, const char*) { return 0; }
int32_t bridge_open(port_entry*) { return 0; }
void start_relays(const char*, const char*) {}
int32_t bridge_close() { return -1; }
void relays_await(int32_t) {}
void* relay_thread(void*) { return nullptr; }
