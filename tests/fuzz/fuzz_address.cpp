// Fuzzes the port address rule and the bounded copy that fills every text
// buffer. An input is a size byte, then a port address and a wanted address
// separated by their first zero byte.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "bridge/port_table.h"
#include "common/copy_bounded.h"

namespace {

void require(bool holds, const char* what) {
    if (!holds) {
        fprintf(stderr, "FINDING: %s\n", what);
        abort();
    }
}

void check_match(const std::string& address, const std::string& wanted) {
    int32_t match = address_matches(address.c_str(), wanted.c_str());
    require(match == 0 || match == 1, "address_matches out of 0..1");
    if (address.empty() || wanted.empty()) {
        require(match == 0, "an empty text matched");
        return;
    }
    if (address == wanted) {
        require(match == 1, "an address did not match itself");
        return;
    }
    if (match == 0) {
        return;
    }
    // Otherwise wanted must be the tail after the first "/usb", from its "usb".
    size_t at = address.find("/usb");
    require(at != std::string::npos, "a match without a /usb component");
    require(std::string_view(address).substr(at + 1) == wanted, "a match on another tail");
}

void check_copy(const std::string& source, size_t size) {
    char buffer[300];
    memset(buffer, 0x5A, sizeof buffer);
    copy_bounded(buffer, source.c_str(), size);
    size_t length = strnlen(buffer, size);
    require(length < size, "copy_bounded left its buffer unterminated");
    require(buffer[size] == 0x5A || size == sizeof buffer, "copy_bounded wrote past its size");
    size_t expected = source.size() < size - 1 ? source.size() : size - 1;
    require(length == expected, "copy_bounded cut at the wrong length");
    require(source.compare(0, expected, buffer, length) == 0, "copy_bounded changed the text");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    size_t copy_size = 1 + data[0] % 299;
    std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    size_t split = rest.find('\0');
    std::string address = rest.substr(0, split);
    std::string wanted = split == std::string::npos ? std::string() : rest.substr(split + 1);
    wanted = wanted.substr(0, wanted.find('\0'));
    check_match(address, wanted);
    check_match(wanted, address);
    check_copy(address, copy_size);
    return 0;
}
