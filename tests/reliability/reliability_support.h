#pragma once

// Shared by the fault tests and the soak test: the built monitor over a
// umockdev testbed, the IDE's side of a session, and what /proc tells about
// the monitor process.

#include <gtest/gtest.h>
#include <sys/types.h>
#include <umockdev.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "support/monitor_process.h"
#include "support/os_fakes.h"
#include "support/replies.h"

// The figures of a monitor at rest: once its watcher holds the udev monitor's
// socket, which it makes while the command loop already answers.
process_figures idle_figures_of(pid_t pid);

// "fd -> target" for each descriptor of pid, one a line, for failure messages.
std::string descriptor_listing(pid_t pid);

// Sends one line and returns the reply that follows it.
inline std::string ask(const monitor_process& monitor, const std::string& line) {
    return monitor_ask(monitor, line);
}

// A monitor started under the process's testbed, and its shut-down at the end.
class MonitorUnderTestbed : public ::testing::Test {
protected:
    void TearDown() override { monitor_stop(&monitor); }

    // Starts the built monitor; the testbed must exist already.
    void start_monitor();

    // QUITs and expects the reply and exit status 0.
    void quit();

    monitor_process monitor{-1, -1, -1};
};

// A testbed of the test's own, for what the simulator does not make: garbage
// attributes, deep paths, hundreds of boards in one burst. Its tty and hidraw
// nodes are pty slaves of the test's own.
class OwnTestbed : public MonitorUnderTestbed {
protected:
    void SetUp() override;
    void TearDown() override;

    // A pty whose slave stands for a device node; its master goes to
    // masters. Returns the DEVNAME to give the node; *target is what /proc
    // shows for it.
    std::string new_node(std::string* target);

    // Adds one device described in umockdev's record format, which announces
    // itself with "add"; paced unless the uevent queue is deep.
    void add(const std::string& record);

    // Sends a uevent for path ("/devices/...").
    void announce(const std::string& path, const char* action);

    // Sends "remove" for path, then removes its device.
    void remove(const std::string& path);

    // A USB device with the given attribute lines, one interface, and below
    // it a tty node, or, with a descriptor line, a hid device and its hidraw
    // node. Appends the paths to *paths, parents first; returns the node's
    // /proc target.
    std::string add_board(const std::string& path, const std::string& attributes,
                          std::vector<std::string>* paths, const std::string& descriptor_line = "");

    UMockdevTestbed* testbed = nullptr;
    std::vector<int> masters;
    int32_t private_network = 0;
};

// The same over the board simulator's testbed, in a network namespace of its
// own when the process may make one (private_network 1): its uevent queue is
// then deep enough for bursts.
class SimulatedBoards : public MonitorUnderTestbed {
protected:
    void SetUp() override;
    void TearDown() override;

    int32_t private_network = 0;
};
