// Helpers for the server exchange tests: endpoints on loopback, a fixed computer name, and
// sockets that pass through to the system's but can resolve names differently, hand over a
// request in small pieces and count what was opened and released.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/sockets.h"
#include "platform/system_info.h"
#include "server/server_connection.h"

namespace zolt::testing {

// Loopback; the receive time-out is shortened where a test plays a silence.
inline ServerEndpoint Loopback(uint16_t port, uint32_t receiveTimeoutMs = 5000) {
    return ServerEndpoint{"127.0.0.1", port, receiveTimeoutMs};
}

// A loopback port on which nothing listens (taken and released again).
uint16_t UnusedPort();

class FixedSystemInfo final : public SystemInfo {
  public:
    explicit FixedSystemInfo(std::optional<WideText> name) : name_(std::move(name)) {}
    WideText ExecutablePath() override { return u"/opt/zolt/zolt-update"; }
    std::optional<WideText> ComputerName() override { return name_; }

  private:
    std::optional<WideText> name_;
};

class TestSockets final : public Sockets {
  public:
    // When set, name resolution gives this entry, or fails with `resolveError` if that is not 0.
    std::optional<HostEntry> resolved;
    int32_t resolveError = 0;
    // When above 0, one send call takes at most this many bytes.
    int32_t sendLimit = 0;

    // When above 0, a connection's first receive first waits up to this long for the server's
    // first bytes, so that a short time-out meant for a silence after them cannot run out while a
    // loaded machine is still preparing the answer.
    uint32_t firstBytesWaitMs = 0;

    int startups = 0, cleanups = 0, opened = 0, closed = 0, resolves = 0, connects = 0;
    std::vector<int32_t> sendSizes;

    // Returns once the client's connection `connection` (0 for the first one connected) has
    // received at least `bytes` bytes and is in its next receive, or has been closed, or a later
    // connection was made, or after `limit`. May be called from any thread.
    void AwaitTaken(int connection, std::size_t bytes,
                    std::chrono::milliseconds limit = std::chrono::seconds(10));
    // AwaitTaken as a reference server's awaitClient.
    std::function<void(int, std::size_t)> ClientWatch() {
        return [this](int connection, std::size_t bytes) {
            AwaitTaken(connection, bytes);
#ifdef _WIN32
            // Wine reads a reset that comes before the next receive has reached the system as an
            // orderly close: give that receive a moment to get there.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
#endif
        };
    }

    int32_t Startup() override;
    void Cleanup() override;
    SocketHandle OpenTcpSocket() override;
    bool ResolveHost(const std::string& name, HostEntry& entry) override;
    int32_t Connect(SocketHandle socket, Ipv4Address address, uint16_t port) override;
    int32_t Send(SocketHandle socket, const uint8_t* data, int32_t length) override;
    int32_t ShutdownSend(SocketHandle socket) override;
    int32_t SetReceiveTimeout(SocketHandle socket, uint32_t milliseconds) override;
    int32_t Receive(SocketHandle socket, uint8_t* buffer, int32_t capacity) override;
    int32_t Close(SocketHandle socket) override;
    int32_t LastError() override;

  private:
    Sockets& real_ = SystemSockets();
    std::optional<int32_t> ownError_;
    // What the server side may wait on: the current connection, its bytes, its state.
    std::mutex mutex_;
    std::condition_variable changed_;
    int connection_ = -1;
    std::size_t taken_ = 0;
    bool receiving_ = false;
    bool closedConnection_ = false;
};

// Lines of a capture that start with `prefix`.
std::vector<std::string> LinesStartingWith(const std::vector<std::string>& lines,
                                           const std::string& prefix);

}  // namespace zolt::testing
