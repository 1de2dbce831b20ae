// A reference update server: a real TCP server that speaks the server's side of the record
// exchange. It reads one request per connection until the client closes its sending side, checks
// it, and answers: for request code 0x04 a device-information text built from the chip identifier
// and info record it received, for 0x01 and 0x02 the firmware blocks of the st or j2534 part. A
// repeated request (resume offset above 0) gets the reply from that offset on. Faults can be
// switched on to play a broken or misbehaving server. Used by the tests, the benchmarks, the demo
// mode and the program zolt-update-server.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace zolt::sim {

inline constexpr uint8_t RequestDeviceInfo = 0x04;
inline constexpr uint8_t RequestStFirmware = 0x01;
inline constexpr uint8_t RequestJ2534Firmware = 0x02;

inline constexpr int DefaultDemoBlocks = 24;
inline constexpr int DefaultDemoBlockSize = 1100;
inline constexpr int MaxBlockSize = 1100;  // a reply slot
inline constexpr int MinBlockSize = 6;     // a frame with a command byte

// The command code in byte 0 of each demo block's payload.
inline constexpr uint8_t DemoStCommand = 0xB1;
inline constexpr uint8_t DemoJ2534Command = 0xB2;

// Demo firmware: `blocks` complete device frames of `blockSize` bytes each (kept within
// MinBlockSize to MaxBlockSize). Payload byte 0 is the demo command of the part, then the block
// index and the block count (16-bit little-endian), then a pattern that differs per part and block.
std::vector<std::vector<uint8_t>> DemoFirmware(uint8_t requestCode, int blocks = DefaultDemoBlocks,
                                               int blockSize = DefaultDemoBlockSize);

// Splits raw device frames stored back to back into blocks. False, with a reason, when a frame is
// malformed, runs past the end, or is larger than a reply slot.
bool SplitFrames(const std::vector<uint8_t>& bytes, std::vector<std::vector<uint8_t>>& frames,
                 std::string& error);

// A reply record list: total length | count | lengths | records, integers 32-bit little-endian.
std::vector<uint8_t> BuildReply(const std::vector<std::vector<uint8_t>>& records);

// A request taken apart. `ok` false with `error` saying what is wrong.
struct ParsedRequest {
    bool ok = false;
    std::string error;
    uint32_t totalLength = 0;
    uint32_t resumeOffset = 0;
    std::vector<std::vector<uint8_t>> records;
};
ParsedRequest ParseRequest(const std::vector<uint8_t>& bytes);
// `start` plus the `count` 32-bit little-endian lengths at `lengths`, summed in 64 bits on every
// build; nullopt as soon as the sum passes `limit`.
std::optional<uint64_t> RecordsEnd(const uint8_t* lengths, uint32_t count, uint64_t start,
                                   uint64_t limit);

enum class BreakOff {
    Reset,    // the connection is reset: the client's receive fails at once
    Silence,  // the server goes quiet: the client's receive times out
};

struct ReferenceServerOptions {
    // Reply records for request codes 0x01 and 0x02.
    std::vector<std::vector<uint8_t>> stFirmware = DemoFirmware(RequestStFirmware);
    std::vector<std::vector<uint8_t>> j2534Firmware = DemoFirmware(RequestJ2534Firmware);
    // The device-information text (code 0x04) ends with a zero byte.
    bool infoZeroByte = true;
    // When set, these bytes are the reply to every request, whatever it asks.
    std::optional<std::vector<uint8_t>> fixedReply;

    // Faults. Those on the reply's bytes act on a fixed reply too.
    int64_t breakOffAfter = -1;    // >= 0: send this many bytes, then break off ...
    int breakOffTransactions = 0;  // ... in each of the first this many transactions
    BreakOff breakOffMode = BreakOff::Reset;
    bool silent = false;              // read the request, never answer
    uint32_t silenceMs = 30'000;      // how long a silent connection is held open at most
    bool closeWithoutAnswer = false;  // read the request, close
    int32_t totalLengthDelta = 0;     // added to the total length field
    int64_t truncateTo = -1;          // >= 0: only the first this many bytes, then a normal close
    bool brokenLengthTable = false;   // the last record's bytes are left out, its length is not
    bool countAbove40000 = false;     // the record count field says 40,001
    bool lengthAbove1100 = false;     // a record of 1,101 bytes is added
    int64_t padTo = -1;               // zero bytes after the records up to this size (counted
                                      // in the total length); 20,000,001 plays an oversize reply
    bool ignoreResumeOffset = false;  // answer a repeat from the start
    int maxTransactions = -1;         // >= 0: stop listening after this many connections
    int chunks = 1;                   // send the reply in this many pieces ...
    uint32_t chunkPauseMs = 40;       // ... with this pause between them
    // When set, called before each further chunk and before a reset with the transaction's index
    // (0 for the first connection) and the bytes sent in it so far; it returns once the client
    // has taken them. A test that watches its own client's receives uses it in place of the
    // timed waits, which a loaded machine can outlast (a reset may then reach the client before
    // the bytes it follows, and chunks may be joined).
    std::function<void(int transaction, std::size_t sent)> awaitClient;

    // One line for each request received and each answer given; none when empty.
    std::function<void(const std::string&)> report;
};

class ReferenceServer {
  public:
    explicit ReferenceServer(ReferenceServerOptions options = {});
    ~ReferenceServer();  // stops
    ReferenceServer(const ReferenceServer&) = delete;
    ReferenceServer& operator=(const ReferenceServer&) = delete;

    // Listens on address:port (0: an ephemeral port) and serves in a thread of its own. False when
    // it cannot listen (or already runs).
    bool Start(const std::string& address = "127.0.0.1", uint16_t port = 0);
    uint16_t Port() const { return port_; }
    // Stops serving; connections under way are broken off. Safe to call more than once.
    void Stop();

    // The raw requests received, in order.
    std::vector<std::vector<uint8_t>> Requests() const;

    // The reply the server would give to a request before faults that act on the connection
    // (break-off, silence, close, chunks, resume offset). Empty when it gives none.
    std::vector<uint8_t> ReplyFor(const ParsedRequest& request) const;

  private:
    std::vector<std::vector<uint8_t>> AnswerRecords(const ParsedRequest& request) const;
    std::shared_ptr<const std::vector<uint8_t>> PreparedReplyFor(const ParsedRequest& request);
    void Serve();
    void ReapWorkers(bool all);
    // A socket: a descriptor on POSIX systems, a SOCKET on Windows.
    using Socket = intptr_t;
    void Handle(Socket client, int transaction);
    bool ReadRequest(Socket client, std::vector<uint8_t>& request);
    bool SendAll(Socket client, const uint8_t* data, std::size_t size);
    void StaySilent();
    void WaitUntilDelivered(Socket client);
    void Report(const std::string& line) const;

    ReferenceServerOptions options_;
    Socket listener_ = -1;
    bool socketsStarted_ = false;  // Windows Sockets, started for the listener
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    // One thread per connection, so that a silent one does not hold up the next.
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::vector<Worker> workers_;  // used by the serving thread only
    mutable std::mutex mutex_;
    std::vector<std::vector<uint8_t>> requests_;
    // The last reply built and the request records it answers.
    std::mutex replyMutex_;
    std::vector<std::vector<uint8_t>> preparedFor_;
    std::shared_ptr<const std::vector<uint8_t>> preparedReply_;
};

}  // namespace zolt::sim
