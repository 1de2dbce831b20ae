// The sockets layer over POSIX sockets. Windows Sockets starts and stops per caller; here there is
// nothing to start. Error numbers are translated to Windows Sockets codes as they happen, and kept
// per thread like the original's last error.
#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/sockets.h"
#include "platform/sockets_posix.h"

namespace zolt {

int32_t SocketErrorFromErrno(int error) {
    switch (error) {
        case 0:
            return 0;
        case ENOMEM:
            return SocketErrors::NotEnoughMemory;
        case EINTR:
            return SocketErrors::Interrupted;
        case EBADF:
            return SocketErrors::BadHandle;
        case EACCES:
        case EPERM:
            return SocketErrors::AccessDenied;
        case EFAULT:
            return SocketErrors::BadAddress;
        case EINVAL:
            return SocketErrors::InvalidArgument;
        case EMFILE:
        case ENFILE:
            return SocketErrors::TooManyOpenSockets;
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        case EAGAIN:
            return SocketErrors::WouldBlock;
        case EINPROGRESS:
            return SocketErrors::InProgress;
        case EALREADY:
            return SocketErrors::AlreadyInProgress;
        case ENOTSOCK:
            return SocketErrors::NotASocket;
        case EDESTADDRREQ:
            return SocketErrors::DestinationRequired;
        case EMSGSIZE:
            return SocketErrors::MessageTooLong;
        case EPROTOTYPE:
            return SocketErrors::WrongProtocolType;
        case ENOPROTOOPT:
            return SocketErrors::BadProtocolOption;
        case EPROTONOSUPPORT:
            return SocketErrors::ProtocolNotSupported;
        case ESOCKTNOSUPPORT:
            return SocketErrors::SocketTypeNotSupported;
#if EOPNOTSUPP != ENOTSUP
        case ENOTSUP:
#endif
        case EOPNOTSUPP:
            return SocketErrors::OperationNotSupported;
        case EPFNOSUPPORT:
            return SocketErrors::ProtocolFamilyNotSupported;
        case EAFNOSUPPORT:
            return SocketErrors::AddressFamilyNotSupported;
        case EADDRINUSE:
            return SocketErrors::AddressInUse;
        case EADDRNOTAVAIL:
            return SocketErrors::AddressNotAvailable;
        case ENETDOWN:
            return SocketErrors::NetworkDown;
        case ENETUNREACH:
            return SocketErrors::NetworkUnreachable;
        case ENETRESET:
            return SocketErrors::NetworkReset;
        case ECONNABORTED:
            return SocketErrors::ConnectionAborted;
        // A send to a peer that has gone: Windows Sockets reports the reset.
        case EPIPE:
        case ECONNRESET:
            return SocketErrors::ConnectionReset;
        case ENOBUFS:
            return SocketErrors::NoBufferSpace;
        case EISCONN:
            return SocketErrors::AlreadyConnected;
        case ENOTCONN:
            return SocketErrors::NotConnected;
        case ESHUTDOWN:
            return SocketErrors::ShutDown;
        case ETOOMANYREFS:
            return SocketErrors::TooManyReferences;
        case ETIMEDOUT:
            return SocketErrors::TimedOut;
        case ECONNREFUSED:
            return SocketErrors::ConnectionRefused;
        case ELOOP:
            return SocketErrors::NameLoop;
        case ENAMETOOLONG:
            return SocketErrors::NameTooLong;
        case EHOSTDOWN:
            return SocketErrors::HostDown;
        case EHOSTUNREACH:
            return SocketErrors::HostUnreachable;
        case EDQUOT:
            return SocketErrors::QuotaExceeded;
        default:
            return SocketErrors::SystemErrorBase + error;
    }
}

int32_t SocketErrorFromResolver(int code, int systemError) {
    switch (code) {
        case 0:
            return 0;
        case EAI_NONAME:
            return SocketErrors::HostNotFound;
#ifdef EAI_NODATA
        case EAI_NODATA:
            return SocketErrors::NoData;
#endif
#ifdef EAI_ADDRFAMILY
        case EAI_ADDRFAMILY:
            return SocketErrors::NoData;  // the name has no IPv4 address
#endif
        case EAI_AGAIN:
            return SocketErrors::TryAgain;
        case EAI_FAIL:
            return SocketErrors::NoRecovery;
        case EAI_MEMORY:
            return SocketErrors::NotEnoughMemory;
        case EAI_FAMILY:
            return SocketErrors::AddressFamilyNotSupported;
        case EAI_SOCKTYPE:
            return SocketErrors::SocketTypeNotSupported;
        case EAI_SERVICE:
            return SocketErrors::TypeNotFound;
        case EAI_BADFLAGS:
            return SocketErrors::InvalidArgument;
        case EAI_SYSTEM:
            return SocketErrorFromErrno(systemError);
        default:
            return SocketErrors::ResolverErrorBase + std::abs(code);
    }
}

namespace {

thread_local int32_t lastError = 0;

int32_t FailWithErrno() {
    lastError = SocketErrorFromErrno(errno);
    return SocketError;
}

int Descriptor(SocketHandle socket) {
    return static_cast<int>(socket);
}

class PosixSockets final : public Sockets {
  public:
    int32_t Startup() override { return 0; }
    void Cleanup() override {}

    SocketHandle OpenTcpSocket() override {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
        if (fd < 0) {
            FailWithErrno();
            return InvalidSocket;
        }
        return fd;
    }

    bool ResolveHost(const std::string& name, HostEntry& entry) override {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_protocol = IPPROTO_TCP;
        addrinfo* found = nullptr;
        errno = 0;
        const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &found);
        if (rc != 0) {
            lastError = SocketErrorFromResolver(rc, errno);
            return false;
        }
        entry.addressFamily = AddressFamilyIpv4;
        entry.addresses.clear();
        for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
            if (a->ai_family != AF_INET || a->ai_addr == nullptr ||
                a->ai_addrlen < sizeof(sockaddr_in)) {
                continue;
            }
            sockaddr_in in{};
            std::memcpy(&in, a->ai_addr, sizeof in);
            entry.addresses.push_back(ntohl(in.sin_addr.s_addr));
        }
        ::freeaddrinfo(found);
        return true;
    }

    int32_t Connect(SocketHandle socket, Ipv4Address address, uint16_t port) override {
        // Windows Sockets refuses these as a destination; a POSIX system would take 0.0.0.0 as
        // this host and try the broadcast address.
        if (address == 0 || address == NoIpv4Address) {
            lastError = SocketErrors::AddressNotAvailable;
            return SocketError;
        }
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(address);
        if (::connect(Descriptor(socket), reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
            return 0;
        }
        if (errno != EINTR) {
            return FailWithErrno();
        }
        // An interrupted connect goes on in the background: wait for its outcome.
        pollfd p{Descriptor(socket), POLLOUT, 0};
        while (::poll(&p, 1, -1) < 0) {
            if (errno != EINTR) {
                return FailWithErrno();
            }
        }
        int error = 0;
        socklen_t size = sizeof error;
        if (::getsockopt(Descriptor(socket), SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
            return FailWithErrno();
        }
        if (error != 0) {
            lastError = SocketErrorFromErrno(error);
            return SocketError;
        }
        return 0;
    }

    int32_t Send(SocketHandle socket, const uint8_t* data, int32_t length) override {
        if (length < 0 || (data == nullptr && length > 0)) {
            lastError = SocketErrors::InvalidArgument;
            return SocketError;
        }
        for (;;) {
            const ssize_t n =
                ::send(Descriptor(socket), data, static_cast<std::size_t>(length), MSG_NOSIGNAL);
            if (n >= 0) {
                return static_cast<int32_t>(n);
            }
            if (errno != EINTR) {
                return FailWithErrno();
            }
        }
    }

    int32_t ShutdownSend(SocketHandle socket) override {
        return ::shutdown(Descriptor(socket), SHUT_WR) == 0 ? 0 : FailWithErrno();
    }

    int32_t SetReceiveTimeout(SocketHandle socket, uint32_t milliseconds) override {
        timeval tv{};
        tv.tv_sec = static_cast<time_t>(milliseconds / 1000);
        tv.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
        return ::setsockopt(Descriptor(socket), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0
                   ? 0
                   : FailWithErrno();
    }

    int32_t Receive(SocketHandle socket, uint8_t* buffer, int32_t capacity) override {
        if (capacity < 0 || (buffer == nullptr && capacity > 0)) {
            lastError = SocketErrors::InvalidArgument;
            return SocketError;
        }
        for (;;) {
            const ssize_t n =
                ::recv(Descriptor(socket), buffer, static_cast<std::size_t>(capacity), 0);
            if (n >= 0) {
                return static_cast<int32_t>(n);
            }
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                // The receive time-out ran out; Windows Sockets calls this a time-out.
                lastError = SocketErrors::TimedOut;
                return SocketError;
            }
            return FailWithErrno();
        }
    }

    int32_t Close(SocketHandle socket) override {
        // Not repeated on EINTR: the descriptor is released either way.
        return ::close(Descriptor(socket)) == 0 ? 0 : FailWithErrno();
    }

    int32_t LastError() override { return lastError; }
};

}  // namespace

Sockets& SystemSockets() {
    static PosixSockets sockets;
    return sockets;
}

}  // namespace zolt
