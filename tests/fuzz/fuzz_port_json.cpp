// Fuzzes the port object the discovery builds from what udev reports. An
// input is six bytes of ids, kind and access, then the address, node, serial
// number and model text, separated by zero bytes: any bytes a board may send.
// The object must parse as JSON on one line, with every text that is valid
// UTF-8 intact.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "common/copy_bounded.h"
#include "devices/port_rule.h"
#include "discovery/protocol.h"

namespace {

using json = nlohmann::json;

void require(bool holds, const char* what) {
    if (!holds) {
        fprintf(stderr, "FINDING: %s\n", what);
        abort();
    }
}

// value holds text, or, when text is not UTF-8, some string: the library's
// handlers then tell it apart, one dropping the bytes the other replaces.
bool intact(const json& value, const std::string& text) {
    bool utf8 = json(text).dump(-1, ' ', false, json::error_handler_t::ignore) ==
                json(text).dump(-1, ' ', false, json::error_handler_t::replace);
    return value.is_string() && (!utf8 || value == text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 6) {
        return 0;
    }
    discovery_port port{};
    port.vid = static_cast<uint32_t>(data[0] << 8 | data[1]);
    port.pid = static_cast<uint32_t>(data[2] << 8 | data[3]);
    port.kind = data[4] % 2 == 0 ? port_kind_serial : port_kind_hid;
    port.access_ok = data[5] % 2;
    std::string_view rest(reinterpret_cast<const char*>(data + 6), size - 6);
    for (auto [text, capacity] : {std::pair{port.address, sizeof port.address},
                                  {port.node, sizeof port.node},
                                  {port.serial, sizeof port.serial},
                                  {port.model, sizeof port.model}}) {
        size_t end = std::min(rest.find('\0'), rest.size());
        copy_bounded(text, std::string(rest.substr(0, end)).c_str(), capacity);
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    const std::string address = port.address, node = port.node, serial = port.serial;
    const std::string model = port.model;

    std::string text = port_json(&port);
    require(text.find('\n') == std::string::npos, "a port on more than one line");
    json object = json::parse(text, nullptr, false);
    require(object.is_object() && object["properties"].is_object(), "no port object");
    json& properties = object["properties"];
    require(intact(object["address"], address) && intact(properties["node"], node) &&
                intact(properties["model"], model),
            "a text changed");
    require(object.contains("hardwareId") == !serial.empty() &&
                (serial.empty() || (intact(object["hardwareId"], serial) &&
                                    intact(properties["serialNumber"], serial))),
            "the serial number changed, went or was made up");
    std::string label = model + " at USB " + address.substr(address.rfind('/') + 1) + " (" + node +
                        (port.access_ok != 0 ? ")" : ": no permission, install the udev rules)");
    require(intact(object["label"], label), "the label changed");
    return 0;
}
