#pragma once

// The IDE's side of a monitoring session against the built monitor, over
// simulated boards: the fixture, the exact replies and waiting with deadlines.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/board_sim.h"
#include "support/monitor_process.h"
#include "support/os_fakes.h"
#include "support/replies.h"

// USB locations of the simulated boards.
extern const char* const location_a;  // ".../usb1/1-2"
extern const char* const location_b;  // ".../usb1/1-3"

// The testbed, the monitor and the IDE's connection of one test.
class IdeSession : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the monitor (boards plugged before see the scan), with env laid
    // over the environment, and greets it.
    void start_monitor(const std::vector<std::string>& env = {});

    // Sends one line and returns the reply that follows it.
    std::string ask(const std::string& line);

    // OPENs address toward a new listener and accepts the monitor's
    // connection into ide; false when the reply or the connection fails.
    bool open_port(const std::string& address);

    // Plugs a board, failing the test when the testbed refuses.
    void plug(board_sim* b, const char* location, int32_t kind, uint32_t vid, uint32_t pid,
              uint32_t bcd, int32_t interface_number = 0);

    // True once the monitor holds b's node / holds it no more.
    bool monitor_holds(const board_sim& b);
    bool monitor_releases(const board_sim& b);

    // Types text in the IDE and expects the board to get it exactly (a HID
    // board: as 32-byte reports, checked by expect_reports).
    void expect_to_board(board_sim* b, const std::string& text);

    // The board sends text and the IDE gets exactly it.
    void expect_to_ide(board_sim* b, const std::string& text);

    // Types text and expects the HID board to get it as zero-filled 32-byte reports.
    void expect_reports(board_sim* b, const std::string& text);

    // QUITs and expects the reply and exit status 0.
    void quit();

    monitor_process monitor{-1, -1, -1};
    loopback_listener listener{-1, 0};
    int ide = -1;
};
