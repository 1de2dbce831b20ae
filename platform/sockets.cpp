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

std::string SocketErrorMeaning(int32_t code) {
    struct Meaning {
        int32_t code;
        const char* text;
    };
    static constexpr Meaning Meanings[] = {
        {SocketErrors::NotEnoughMemory, "not enough memory"},
        {SocketErrors::Interrupted, "interrupted"},
        {SocketErrors::AccessDenied, "permission denied"},
        {SocketErrors::TooManyOpenSockets, "too many open sockets"},
        {SocketErrors::AddressNotAvailable, "address not available"},
        {SocketErrors::NetworkDown, "network is down"},
        {SocketErrors::NetworkUnreachable, "network unreachable"},
        {SocketErrors::NetworkReset, "connection dropped by the network"},
        {SocketErrors::ConnectionAborted, "connection aborted"},
        {SocketErrors::ConnectionReset, "connection reset by the server"},
        {SocketErrors::NoBufferSpace, "no buffer space"},
        {SocketErrors::NotConnected, "not connected"},
        {SocketErrors::ShutDown, "connection already shut down"},
        {SocketErrors::TimedOut, "timed out"},
        {SocketErrors::ConnectionRefused, "connection refused"},
        {SocketErrors::HostDown, "host is down"},
        {SocketErrors::HostUnreachable, "no route to host"},
        {SocketErrors::HostNotFound, "host not found"},
        {SocketErrors::TryAgain, "temporary name-server failure, try again"},
        {SocketErrors::NoRecovery, "name-server failure"},
        {SocketErrors::NoData, "the name has no address"},
    };
    for (const Meaning& m : Meanings) {
        if (m.code == code) {
            return m.text;
        }
    }
    if (code >= SocketErrors::ResolverErrorBase) {
        return "name resolution failed";
    }
    if (code >= SocketErrors::SystemErrorBase) {
        return "system error " + std::to_string(code - SocketErrors::SystemErrorBase);
    }
    return "unknown error";
}

}  // namespace zolt
