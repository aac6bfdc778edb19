#pragma once

// Figures of the monitor alone: its start and end, the reopening of a board
// that comes back, its start-up scan, and a HID board's report rates.

#include <cstddef>
#include <string>
#include <vector>

#include "sim/board_sim.h"

struct lifecycle_figures {
    double hello_ms;  // from the start of the process to the whole HELLO reply
    double quit_ms;   // from QUIT to the end of the process
    std::string failure;
};

// Starts the monitor, greets it at once and QUITs at once.
lifecycle_figures monitor_lifecycle(const std::string& monitor_path);

// The same for /bin/cat echoing the HELLO line: what starting any process
// costs here, the floor under the monitor's HELLO figure.
double process_start_floor_ms();

struct reopen_figures {
    std::vector<double> from_add_ms;   // the USB device's "add" -> first byte at the IDE
    std::vector<double> from_node_ms;  // the tty node's "add" -> first byte at the IDE
    bool typed_whole;                  // what the IDE typed afterwards reached the board intact
    std::string failure;
};

// Opens board (a tty board) through the monitor, then unplugs and plugs it
// reopenings times, timing each reopening; then types typed_bytes in the IDE.
reopen_figures monitor_reopens(board_sim* board, const std::string& monitor_path, int reopenings,
                               size_t typed_bytes);

// From the start of the process until the board that the scan meets last
// (the greatest syspath) is open: HELLO, OPEN of that board, scan done.
double monitor_startup_ms(board_sim* last, const std::string& monitor_path, std::string* failure);

struct hid_figures {
    std::vector<double> to_ide_reports_s;    // input reports forwarded per second
    std::vector<double> to_board_reports_s;  // output reports written per second
    std::string failure;
};

// Opens a HID-serial board through the monitor and moves reports both ways,
// repeats times per direction.
hid_figures monitor_hid(board_sim* board, const std::string& monitor_path, int reports,
                        int repeats);
