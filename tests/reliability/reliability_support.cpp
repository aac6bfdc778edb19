#include "reliability_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <umockdev.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "sim/board_sim.h"
#include "sim/udev_records.h"
#include "support/testbed.h"

process_figures idle_figures_of(pid_t pid) {
    (void)eventually([&] {
        bool has_socket = false;
        each_descriptor(pid, [&](int, const std::string& target) {
            has_socket = has_socket || target.rfind("socket:", 0) == 0;
        });
        return has_socket;
    });
    return figures_of(pid);
}

std::string descriptor_listing(pid_t pid) {
    std::string listing;
    each_descriptor(pid, [&](int fd, const std::string& target) {
        listing += std::to_string(fd) + " -> " + target + "\n";
    });
    return listing;
}

void MonitorUnderTestbed::start_monitor() {
    monitor = monitor_start(MURLEN_MONITOR_PATH);
    ASSERT_GE(monitor.pid, 0);
    ASSERT_EQ(monitor_ask(monitor, "HELLO 1 \"reliability\"\n"), hello_reply);
}

void MonitorUnderTestbed::quit() {
    expect_quit(&monitor);
}

void SimulatedBoards::SetUp() {
    // First of all, while this process has one thread.
    private_network = board_sim_private_network();
    ASSERT_EQ(board_sim_start(), 1);
    // The check looks at /sys and keeps its first answer: ask once the testbed stands in.
    if (!umockdev_in_mock_environment()) {
        GTEST_SKIP() << "needs umockdev-wrapper";
    }
}

void SimulatedBoards::TearDown() {
    monitor_stop(&monitor);
    board_sim_stop();
}

void OwnTestbed::SetUp() {
    // First of all, while this process has one thread.
    private_network = board_sim_private_network();
    testbed = umockdev_testbed_new();
    if (!umockdev_in_mock_environment()) {
        GTEST_SKIP() << "needs umockdev-wrapper";
    }
}

void OwnTestbed::TearDown() {
    monitor_stop(&monitor);
    for (int master : masters) {
        if (master >= 0) {
            close(master);
        }
    }
    if (testbed != nullptr) {
        g_object_unref(testbed);
    }
}

std::string OwnTestbed::new_node(std::string* target) {
    pty_ends pty = pty_ends_open(false);
    if (pty.master < 0) {
        ADD_FAILURE() << "no pty";
        return "";
    }
    close(pty.slave);
    masters.push_back(pty.master);
    *target = pty.slave_path;
    // The double slash keeps umockdev's preload away from the node, while
    // libudev still takes it for a node under /dev.
    return "/" + pty.slave_path;
}

void OwnTestbed::add(const std::string& record) {
    ASSERT_NO_FATAL_FAILURE(testbed_add(testbed, record));
    if (private_network == 0) {
        poll(nullptr, 0, 2);
    }
}

void OwnTestbed::announce(const std::string& path, const char* action) {
    std::string sys_path = "/sys" + path;
    umockdev_testbed_uevent(testbed, sys_path.c_str(), action);
    if (private_network == 0) {
        poll(nullptr, 0, 2);
    }
}

void OwnTestbed::remove(const std::string& path) {
    announce(path, "remove");
    std::string sys_path = "/sys" + path;
    umockdev_testbed_remove_device(testbed, sys_path.c_str());
}

std::string OwnTestbed::add_board(const std::string& path, const std::string& attributes,
                                  std::vector<std::string>* paths,
                                  const std::string& descriptor_line) {
    paths->push_back(path);
    add(usb_device_record(path, attributes));
    size_t slash = path.rfind('/');
    std::string interface = path + "/" + path.substr(slash + 1) + ":1.0";
    paths->push_back(interface);
    add(usb_interface_record(interface, "00"));
    std::string target;
    std::string devname = new_node(&target);
    std::string number = std::to_string(masters.size());
    if (descriptor_line.empty()) {
        paths->push_back(interface + "/tty/ttyACM" + number);
        add(node_record(paths->back(), "tty", devname));
        return target;
    }
    std::string hid = interface + "/0003:16C0:0483." + number;
    paths->push_back(hid);
    add(sysfs_record(hid, "hid", descriptor_line));
    paths->push_back(hid + "/hidraw/hidraw" + number);
    add(node_record(paths->back(), "hidraw", devname));
    return target;
}
