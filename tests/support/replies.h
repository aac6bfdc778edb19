#pragma once

// The monitor's replies as the IDE must read them, byte for byte.

#include <string>

inline const std::string hello_reply =
    "{\n\"eventType\": \"hello\",\n\"protocolVersion\": 1,\n\"message\": \"OK\"\n}\n";
inline const std::string describe_reply =
    "{\n\"eventType\": \"describe\",\n\"message\": \"OK\",\n\"port_description\": "
    "{\n\"protocol\": \"murlen\",\n\"configuration_parameters\": {\n}\n}\n}\n";
inline const std::string open_reply = "{\n\"eventType\": \"open\",\n\"message\": \"OK\"\n}\n";
inline const std::string localhost_reply =
    "{\n\"eventType\": \"open\",\n\"error\": true,\n\"message\": \"Only localhost allowed, IP "
    "must be 127.0.0.1\"\n}\n";
inline const std::string close_reply = "{\n\"eventType\": \"close\",\n\"message\": \"ok\"\n}\n";
inline const std::string already_closed_reply =
    "{\n\"eventType\": \"close\",\n\"error\": true,\n\"message\": \"port already closed\"\n}\n";
inline const std::string quit_reply = "{\n\"eventType\": \"quit\",\n\"message\": \"OK\"\n}\n";

inline std::string connect_failure_reply(int port) {
    return "{\n\"eventType\": \"open\",\n\"error\": true,\n\"message\": \"Can not connect to "
           "port " +
           std::to_string(port) + "\"\n}\n";
}
