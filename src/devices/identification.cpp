#include "devices/identification.h"

int32_t is_board_id(uint32_t, uint32_t) { return 0; }
int32_t serial_interface_of(uint32_t, uint32_t) { return -1; }
int32_t model_from_release(uint32_t, uint32_t, uint32_t) { return 0; }
int32_t is_hid_serial_descriptor(std::string_view) { return 0; }
int32_t model_from_loader_descriptor(std::string_view) { return 0; }
const char* model_name(int32_t) { return "Murlen"; }
