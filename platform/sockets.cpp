#include "platform/sockets.h"

#include <charconv>

namespace zolt {

std::string Ipv4ToText(Ipv4Address address) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        if (!text.empty()) {
            text.push_back('.');
        }
        text += std::to_string((address >> shift) & 0xFFu);
    }
    return text;
}

Ipv4Address TextToIpv4(std::string_view text) {
    Ipv4Address address = 0;
    const char* p = text.data();
    const char* end = text.data() + text.size();
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (p == end || *p != '.') {
                return NoIpv4Address;
            }
            ++p;
        }
        if (p == end || *p < '0' || *p > '9') {
            return NoIpv4Address;
        }
        unsigned value = 0;
        const auto [next, ec] = std::from_chars(p, end, value);
        if (ec != std::errc() || value > 255 || next - p > 3) {
            return NoIpv4Address;
        }
        address = (address << 8) | value;
        p = next;
    }
    return p == end ? address : NoIpv4Address;
}

}  // namespace zolt
