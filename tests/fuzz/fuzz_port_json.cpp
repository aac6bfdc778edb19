// Fuzzes the port object the discovery builds from what udev reports. An
// input is six bytes of ids, kind and access, then the address, node, serial
// number and model text, separated by zero bytes: any bytes a board may send.
// The object must parse as JSON, with every text that is valid UTF-8 intact.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "common/copy_bounded.h"
#include "devices/port_rule.h"
#include "discovery/port_set.h"
#include "discovery/protocol.h"

namespace {

using json = nlohmann::json;

void require(bool holds, const char* what) {
    if (!holds) {
        fprintf(stderr, "FINDING: %s\n", what);
        abort();
    }
}

// true when text is valid UTF-8, as the JSON library judges it: invalid
// bytes are then dropped by one handler and replaced by the other.
bool is_utf8(const std::string& text) {
    return json(text).dump(-1, ' ', false, json::error_handler_t::ignore) ==
           json(text).dump(-1, ' ', false, json::error_handler_t::replace);
}

// value is text when text is valid UTF-8; else some string.
void require_text(const json& value, const std::string& text, const char* what) {
    require(value.is_string(), what);
    if (is_utf8(text)) {
        require(value == text, what);
    }
}

// Cuts the next field, up to a zero byte, off rest.
std::string field(std::string_view* rest) {
    size_t end = rest->find('\0');
    std::string text(rest->substr(0, end));
    rest->remove_prefix(end == std::string_view::npos ? rest->size() : end + 1);
    return text;
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
    copy_bounded(port.address, field(&rest).c_str(), sizeof port.address);
    copy_bounded(port.node, field(&rest).c_str(), sizeof port.node);
    copy_bounded(port.serial, field(&rest).c_str(), sizeof port.serial);
    copy_bounded(port.model, field(&rest).c_str(), sizeof port.model);

    std::string text = port_json(&port);
    require(text.find('\n') == std::string::npos, "a port on more than one line");
    json object = json::parse(text, nullptr, false);
    require(object.is_object(), "a port that is not a JSON object");
    const json& properties = object["properties"];
    require(properties.is_object(), "a port without properties");
    std::string address = port.address;
    std::string node = port.node;
    std::string serial = port.serial;
    std::string model = port.model;
    require_text(object["address"], address, "the address changed");
    require_text(properties["node"], node, "the node changed");
    require_text(properties["model"], model, "the model changed");
    require(object["protocol"] == "murlen", "another protocol");
    char id[8];
    snprintf(id, sizeof id, "0x%04x", port.vid & 0xFFFF);
    require(properties["vid"] == id, "the vendor id changed");
    snprintf(id, sizeof id, "0x%04x", port.pid & 0xFFFF);
    require(properties["pid"] == id, "the product id changed");
    require(properties["kind"] == (port.kind == port_kind_hid ? "hid" : "serial"), "another kind");
    require(properties["access"] == (port.access_ok != 0 ? "ok" : "denied"), "another access");
    require(object.contains("hardwareId") == !serial.empty(), "a serial number lost or made up");
    if (!serial.empty()) {
        require_text(object["hardwareId"], serial, "the serial number changed");
        require_text(properties["serialNumber"], serial, "the serial number changed");
    }
    std::string tail = address.substr(address.rfind('/') + 1);
    std::string label =
        model + " at USB " + tail + " (" + node + (port.access_ok != 0 ? ")" : ": no permission)");
    require_text(object["label"], label, "the label changed");
    return 0;
}
