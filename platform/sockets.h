// The TCP client calls of one server transaction, with the semantics of Windows Sockets 2: start
// and release, an IPv4 stream socket, name resolution to a host entry, connect, send, shutdown of
// the sending side, the receive time-out, receive and close. Failures are reported as SocketError
// (or InvalidSocket) with the reason in LastError(), as a Windows Sockets error code, so that log
// lines and results read the same on every system. Errors that have no such code keep a distinct
// value of their own (see SocketErrors).
//
// One implementation per system: sockets_posix.cpp, sockets_win.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zolt {

using SocketHandle = intptr_t;
inline constexpr SocketHandle InvalidSocket = -1;
inline constexpr int32_t SocketError = -1;

// Windows Sockets error codes, as the log lines and results use them.
struct SocketErrors {
    static constexpr int32_t NotEnoughMemory = 8;
    static constexpr int32_t Interrupted = 10004;
    static constexpr int32_t BadHandle = 10009;
    static constexpr int32_t AccessDenied = 10013;
    static constexpr int32_t BadAddress = 10014;
    static constexpr int32_t InvalidArgument = 10022;
    static constexpr int32_t TooManyOpenSockets = 10024;
    static constexpr int32_t WouldBlock = 10035;
    static constexpr int32_t InProgress = 10036;
    static constexpr int32_t AlreadyInProgress = 10037;
    static constexpr int32_t NotASocket = 10038;
    static constexpr int32_t DestinationRequired = 10039;
    static constexpr int32_t MessageTooLong = 10040;
    static constexpr int32_t WrongProtocolType = 10041;
    static constexpr int32_t BadProtocolOption = 10042;
    static constexpr int32_t ProtocolNotSupported = 10043;
    static constexpr int32_t SocketTypeNotSupported = 10044;
    static constexpr int32_t OperationNotSupported = 10045;
    static constexpr int32_t ProtocolFamilyNotSupported = 10046;
    static constexpr int32_t AddressFamilyNotSupported = 10047;
    static constexpr int32_t AddressInUse = 10048;
    static constexpr int32_t AddressNotAvailable = 10049;
    static constexpr int32_t NetworkDown = 10050;
    static constexpr int32_t NetworkUnreachable = 10051;
    static constexpr int32_t NetworkReset = 10052;
    static constexpr int32_t ConnectionAborted = 10053;
    static constexpr int32_t ConnectionReset = 10054;
    static constexpr int32_t NoBufferSpace = 10055;
    static constexpr int32_t AlreadyConnected = 10056;
    static constexpr int32_t NotConnected = 10057;
    static constexpr int32_t ShutDown = 10058;
    static constexpr int32_t TooManyReferences = 10059;
    static constexpr int32_t TimedOut = 10060;
    static constexpr int32_t ConnectionRefused = 10061;
    static constexpr int32_t NameLoop = 10062;
    static constexpr int32_t NameTooLong = 10063;
    static constexpr int32_t HostDown = 10064;
    static constexpr int32_t HostUnreachable = 10065;
    static constexpr int32_t TooManyProcesses = 10067;
    static constexpr int32_t QuotaExceeded = 10069;
    static constexpr int32_t ServiceNotFound = 10108;
    static constexpr int32_t TypeNotFound = 10109;
    static constexpr int32_t HostNotFound = 11001;
    static constexpr int32_t TryAgain = 11002;
    static constexpr int32_t NoRecovery = 11003;
    static constexpr int32_t NoData = 11004;

    // A system error with no Windows Sockets code: SystemErrorBase + the system's own number.
    static constexpr int32_t SystemErrorBase = 100'000;
    // A resolver failure with no Windows Sockets code: ResolverErrorBase + its number's magnitude.
    static constexpr int32_t ResolverErrorBase = 200'000;
};

// What a Windows Sockets error code (or one of the codes above) means, in a few words, e.g.
// "connection refused"; "unknown error" for a code not listed.
std::string SocketErrorMeaning(int32_t code);

// An IPv4 address as a number, most significant byte first: 127.0.0.1 is 0x7F000001.
using Ipv4Address = uint32_t;
inline constexpr Ipv4Address NoIpv4Address = 0xFFFF'FFFFu;  // what TextToIpv4 gives for bad text

inline constexpr int32_t AddressFamilyIpv4 = 2;

// What name resolution found.
struct HostEntry {
    int32_t addressFamily = AddressFamilyIpv4;
    std::vector<Ipv4Address> addresses;  // in the resolver's order
};

// Dotted-decimal text of an address, "a.b.c.d".
std::string Ipv4ToText(Ipv4Address address);
// The address of dotted-decimal text; NoIpv4Address for empty or malformed text.
Ipv4Address TextToIpv4(std::string_view text);

class Sockets {
  public:
    virtual ~Sockets() = default;

    // Starts the sockets library for this caller (version 2.2); 0 or the library's error code.
    virtual int32_t Startup() = 0;
    // Releases what one successful Startup() took.
    virtual void Cleanup() = 0;

    // An IPv4 TCP socket, or InvalidSocket.
    virtual SocketHandle OpenTcpSocket() = 0;
    // Resolves a host name to its IPv4 addresses. False when it failed; LastError() then tells why
    // (HostNotFound, NoData, or another code).
    virtual bool ResolveHost(const std::string& name, HostEntry& entry) = 0;
    // Connects to address:port. 0 or SocketError. The unspecified and broadcast addresses fail
    // with AddressNotAvailable on every system.
    virtual int32_t Connect(SocketHandle socket, Ipv4Address address, uint16_t port) = 0;
    // One send call: the number of bytes taken (possibly fewer than asked), or SocketError. Never
    // raises a signal when the peer has gone.
    virtual int32_t Send(SocketHandle socket, const uint8_t* data, int32_t length) = 0;
    // Closes the sending direction. 0 or SocketError.
    virtual int32_t ShutdownSend(SocketHandle socket) = 0;
    // Bounds every later receive call on the socket. 0 or SocketError.
    virtual int32_t SetReceiveTimeout(SocketHandle socket, uint32_t milliseconds) = 0;
    // One receive call: bytes stored (1 to capacity), 0 when the peer has closed the connection,
    // or SocketError (a time-out is TimedOut).
    virtual int32_t Receive(SocketHandle socket, uint8_t* buffer, int32_t capacity) = 0;
    // 0 or SocketError.
    virtual int32_t Close(SocketHandle socket) = 0;

    // The code of the calling thread's last failure.
    virtual int32_t LastError() = 0;
};

// The system's sockets.
Sockets& SystemSockets();

}  // namespace zolt
