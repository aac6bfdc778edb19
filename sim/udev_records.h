#pragma once

// Device records in umockdev's text format, for a testbed: "P:" is the
// device's path below /sys, "E:" a property, "A:" an attribute, "H:" a binary
// attribute in hexadecimal. extra holds more such lines, each ending in a line
// feed.

#include <string>

inline std::string sysfs_record(const std::string& path, const std::string& subsystem,
                                const std::string& extra = "") {
    return "P: " + path + "\nE: SUBSYSTEM=" + subsystem + "\n" + extra;
}

inline std::string usb_device_record(const std::string& path, const std::string& extra = "") {
    return sysfs_record(path, "usb", "E: DEVTYPE=usb_device\n" + extra);
}

// number is bInterfaceNumber's text, two hexadecimal digits as the kernel shows it.
inline std::string usb_interface_record(const std::string& path, const std::string& number) {
    return sysfs_record(path, "usb",
                        "E: DEVTYPE=usb_interface\nA: bInterfaceNumber=" + number + "\n");
}

// A device with a node: a tty or a hidraw device.
inline std::string node_record(const std::string& path, const std::string& subsystem,
                               const std::string& devname) {
    return sysfs_record(path, subsystem, "E: DEVNAME=" + devname + "\n");
}
