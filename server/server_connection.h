// One transaction with the update server: connect, send the whole request, close the sending side,
// collect the reply until the server closes the connection or a receive fails, close. The bytes
// are opaque here; every step and failure goes to the diagnostic log.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/sockets.h"

namespace zolt {

// Results beyond 0 (success) and -1 (any other transport failure).
inline constexpr int32_t RECORD_FORMAT_ERROR = 240, REPLY_INCOMPLETE = 10752,
                         HOST_NOT_FOUND_RESULT = 11001;
inline constexpr int32_t TRANSPORT_FAILURE = -1;

// The caller's reply area: the most one transaction stores.
inline constexpr int32_t ReplyAreaSize = 20'000'000;
// The most one receive call asks for.
inline constexpr int32_t ReceiveChunkSize = 20'000'000;

// The step at which a transaction failed, and the Windows Sockets error code it saw there.
enum class TransportStep {
    None,
    Startup,
    Socket,
    Resolve,
    Connect,
    Send,
    Shutdown,
    Receive,
    Oversize
};
struct TransportFailure {
    TransportStep step = TransportStep::None;
    int32_t error = 0;
};

// True for a name under the reserved domain .invalid, which never resolves (RFC 6761): such a name
// is "host not found" without asking the resolver.
bool IsReservedInvalidName(std::string_view host);

// The address a transaction connects to among those resolution found: the last IPv4 one listed.
// Empty when there is none.
std::string ChosenAddressText(const HostEntry& entry);

struct ServerEndpoint {
    std::string host;
    uint16_t port = 4006;
    uint32_t receiveTimeoutMs = 20'000;
};

// The update server built into the program (host name fixed at build time), port 4006, 20 s.
ServerEndpoint BuiltInServer();

class ServerConnection {
  public:
    explicit ServerConnection(ServerEndpoint endpoint = BuiltInServer());
    // Over other sockets, e.g. ones that resolve names differently, and with a reply area of
    // `areaSize` bytes (ReplyAreaSize in the program; fuzzers use smaller ones).
    ServerConnection(ServerEndpoint endpoint, Sockets& sockets, int32_t areaSize = ReplyAreaSize);

    // Reply bytes stored by the current transaction. The caller sets it to 0 before each call;
    // a call that fails before receiving leaves it as it was.
    int32_t received = 0;

    // Sends `length` bytes of `request` and stores the reply from the start of `reply`, which
    // must hold AreaSize() bytes; never stores beyond it. Returns 0 (the server closed, or a
    // receive failed before any byte came), REPLY_INCOMPLETE (a receive failed after some bytes),
    // HOST_NOT_FOUND_RESULT, or -1 (any other failure, a reply larger than the area included).
    // The first `received` bytes of the area are valid whatever the result.
    int32_t Transact(const uint8_t* request, int32_t length, uint8_t* reply);

    // Where the last call failed, if it did; a receive that failed before the server's close (a
    // time-out included) is noted here even when the result is 0.
    TransportFailure failure;

    const ServerEndpoint& Endpoint() const { return endpoint_; }
    int32_t AreaSize() const { return areaSize_; }

  private:
    ServerEndpoint endpoint_;
    Sockets* sockets_;
    int32_t areaSize_;
};

}  // namespace zolt
