// The sockets layer over Windows Sockets 2. Startup and Cleanup are WSAStartup(2.2) and
// WSACleanup; names resolve with gethostbyname. The error of a failed call is taken from
// WSAGetLastError at once and kept per thread, since later system calls (the log's file calls
// among them) overwrite the system's own slot.
#include <winsock2.h>

#include <cstring>

#include "platform/sockets.h"

namespace zolt {

namespace {

thread_local int32_t lastError = 0;

int32_t Fail() {
    lastError = ::WSAGetLastError();
    return SocketError;
}

int32_t FailWith(int32_t code) {
    lastError = code;
    return SocketError;
}

SOCKET Native(SocketHandle socket) {
    return static_cast<SOCKET>(socket);
}

class WindowsSockets final : public Sockets {
  public:
    int32_t Startup() override {
        WSADATA data{};
        return ::WSAStartup(MAKEWORD(2, 2), &data);  // 0x0202
    }

    void Cleanup() override { ::WSACleanup(); }

    SocketHandle OpenTcpSocket() override {
        const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (s == INVALID_SOCKET) {
            Fail();
            return InvalidSocket;
        }
        return static_cast<SocketHandle>(s);
    }

    bool ResolveHost(const std::string& name, HostEntry& entry) override {
        const hostent* host = ::gethostbyname(name.c_str());
        if (host == nullptr) {
            Fail();  // may be 0: no entry and no error
            return false;
        }
        entry.addressFamily = host->h_addrtype;
        entry.addresses.clear();
        if (host->h_addrtype != AF_INET || host->h_length != 4 || host->h_addr_list == nullptr) {
            return true;
        }
        for (char** a = host->h_addr_list; *a != nullptr; ++a) {
            in_addr address{};
            std::memcpy(&address, *a, sizeof address);
            entry.addresses.push_back(::ntohl(address.s_addr));
        }
        return true;
    }

    int32_t Connect(SocketHandle socket, Ipv4Address address, uint16_t port) override {
        // Refused as a destination on every system (POSIX would take them as this host and the
        // broadcast address).
        if (address == 0 || address == NoIpv4Address) {
            return FailWith(SocketErrors::AddressNotAvailable);
        }
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = ::htons(port);
        to.sin_addr.s_addr = ::htonl(address);
        if (::connect(Native(socket), reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
            SOCKET_ERROR) {
            return Fail();
        }
        return 0;
    }

    int32_t Send(SocketHandle socket, const uint8_t* data, int32_t length) override {
        if (length < 0 || (data == nullptr && length > 0)) {
            return FailWith(SocketErrors::InvalidArgument);
        }
        const int n = ::send(Native(socket), reinterpret_cast<const char*>(data), length, 0);
        return n == SOCKET_ERROR ? Fail() : n;
    }

    int32_t ShutdownSend(SocketHandle socket) override {
        return ::shutdown(Native(socket), SD_SEND) == SOCKET_ERROR ? Fail() : 0;
    }

    int32_t SetReceiveTimeout(SocketHandle socket, uint32_t milliseconds) override {
        const DWORD value = milliseconds;  // 4 bytes, in milliseconds
        return ::setsockopt(Native(socket), SOL_SOCKET, SO_RCVTIMEO,
                            reinterpret_cast<const char*>(&value), sizeof value) == SOCKET_ERROR
                   ? Fail()
                   : 0;
    }

    int32_t Receive(SocketHandle socket, uint8_t* buffer, int32_t capacity) override {
        if (capacity < 0 || (buffer == nullptr && capacity > 0)) {
            return FailWith(SocketErrors::InvalidArgument);
        }
        const int n = ::recv(Native(socket), reinterpret_cast<char*>(buffer), capacity, 0);
        return n == SOCKET_ERROR ? Fail() : n;
    }

    int32_t Close(SocketHandle socket) override {
        return ::closesocket(Native(socket)) == SOCKET_ERROR ? Fail() : 0;
    }

    int32_t LastError() override { return lastError; }
};

}  // namespace

Sockets& SystemSockets() {
    static WindowsSockets sockets;
    return sockets;
}

}  // namespace zolt
