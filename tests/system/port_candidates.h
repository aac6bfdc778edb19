#pragma once

// Boards that are never a port, for the monitor's publication test and the
// discovery's: both tools must leave exactly these out.

#include <cstdint>
#include <vector>

#include "sim/board_sim.h"

struct candidate {
    const char* what;
    int32_t kind;
    uint32_t vid;
    uint32_t pid;
    uint32_t bcd;
    int32_t interface_number;
};

// None of these is ever bridged nor listed.
inline const std::vector<candidate> never_ports = {
    {"a board in its loader", board_kind_loader, 0x16C0, 0x0478, 0x0279, 0},
    {"the other loader", board_kind_loader, 0x1FC9, 0x0135, 0x0279, 0},
    {"vendor 0x1FC9 with a tty", board_kind_tty, 0x1FC9, 0x0135, 0x0279, 0},
    {"product 0x0477", board_kind_tty, 0x16C0, 0x0477, 0x0279, 0},
    {"product 0x0476 release 0x9999", board_kind_tty, 0x16C0, 0x0476, 0x9999, 0},
    {"a HID-serial product through its tty", board_kind_tty, 0x16C0, 0x0486, 0x0279, 1},
    {"a HID-serial product on another interface", board_kind_hid_serial, 0x16C0, 0x0486, 0x0279, 0},
    {"a tty product through a HID-serial node", board_kind_hid_serial, 0x16C0, 0x0483, 0x0279, 0},
    {"a product past the followed range", board_kind_tty, 0x16C0, 0x04D9, 0x0279, 0},
};
