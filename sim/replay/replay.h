// A recorded run played back behind the program's two seams: a driver that answers each write
// with the reads that followed it in the log (the same pieces, after the same delays), and
// sockets that play each server transaction as the log shows it, with replies built from the
// blocks the program wrote. Where the program's writes stop matching the log, the replay says
// where and stops: the interface goes away and the server no longer answers.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "device/d2xx.h"
#include "logread/replay_script.h"
#include "platform/clock.h"
#include "platform/sockets.h"

namespace zolt::sim {

// The first place where the program left the recording; shared by the driver and the sockets.
class ReplayVerdict {
  public:
    void Stop(std::string why);
    bool Stopped() const;
    std::string Why() const;  // empty while the program follows the recording
    // Writes and transactions played, and how many the recording has.
    void CountWrite();
    void CountTransaction();
    uint64_t Writes() const;
    uint64_t Transactions() const;

  private:
    mutable std::mutex mutex_;
    std::string why_;
    uint64_t writes_ = 0, transactions_ = 0;
};

class ReplayInterface final : public D2xxDriver {
  public:
    ReplayInterface(Clock& clock, const logread::ReplayScript& script, ReplayVerdict& verdict);

    FT_STATUS ListDevices(uint32_t* count) override;
    FT_STATUS OpenEx(const char* description, FT_HANDLE* handle) override;
    FT_STATUS SetBaudRate(FT_HANDLE handle, uint32_t baud) override;
    FT_STATUS SetDataCharacteristics(FT_HANDLE handle, uint8_t bits, uint8_t stop,
                                     uint8_t parity) override;
    FT_STATUS SetLatencyTimer(FT_HANDLE handle, uint8_t ms) override;
    FT_STATUS Write(FT_HANDLE handle, const void* data, uint32_t size, uint32_t* written) override;
    FT_STATUS GetStatus(FT_HANDLE handle, uint32_t* rx, uint32_t* tx, uint32_t* event) override;
    FT_STATUS Read(FT_HANDLE handle, void* data, uint32_t size, uint32_t* returned) override;
    FT_STATUS Close(FT_HANDLE handle) override;

    // Writes of the recording the program has not made (yet); none once the interface has gone.
    std::size_t WritesLeft() const;

  private:
    struct Pending {
        std::vector<uint8_t> bytes;
        uint32_t readyAt;  // tick count
    };
    bool Reachable() const;

    mutable std::mutex mutex_;
    Clock* clock_;
    const logread::ReplayScript* script_;
    ReplayVerdict* verdict_;
    std::size_t next_ = 0;  // the next write of the recording
    bool open_ = false;
    bool gone_ = false;  // could not be opened again, as recorded
    std::deque<Pending> pending_;
};

// The server name a replay talks to. The sockets below answer its look-up as the log recorded it;
// the built-in name lies under .invalid and would be refused before any look-up.
inline constexpr char ReplayServerHost[] = "recorded.update-server";

class ReplaySockets final : public Sockets {
  public:
    ReplaySockets(const logread::ReplayScript& script, ReplayVerdict& verdict);

    int32_t Startup() override;
    void Cleanup() override {}
    SocketHandle OpenTcpSocket() override;
    bool ResolveHost(const std::string& name, HostEntry& entry) override;
    int32_t Connect(SocketHandle socket, Ipv4Address address, uint16_t port) override;
    int32_t Send(SocketHandle socket, const uint8_t* data, int32_t length) override;
    int32_t ShutdownSend(SocketHandle socket) override;
    int32_t SetReceiveTimeout(SocketHandle socket, uint32_t milliseconds) override;
    int32_t Receive(SocketHandle socket, uint8_t* buffer, int32_t capacity) override;
    int32_t Close(SocketHandle socket) override;
    int32_t LastError() override;

    std::size_t TransactionsLeft() const;

  private:
    // The transaction under way, or null.
    const logread::ReplayTransaction* Current() const;
    bool FailsAt(logread::TransactionStep step);

    mutable std::mutex mutex_;
    const logread::ReplayScript* script_;
    ReplayVerdict* verdict_;
    std::size_t next_ = 0;  // the next transaction of the recording
    const logread::ReplayTransaction* current_ = nullptr;
    std::size_t piece_ = 0;
    std::vector<std::size_t> cursor_;  // per exchange: the reply bytes delivered
    int32_t lastError_ = 0;
};

}  // namespace zolt::sim
