// The simulated interface: a driver that plays the whole device. It can be attached or not (or
// attached later), carries one of the three USB descriptions and two parts, st and j2534, each
// with its chip identifier and information block. It answers the chip-identifier and information
// requests, the reset frames 1A, 2B and 00, and firmware blocks, and keeps every block each part
// received. Replies come at once or at the line rate, whole or in pieces, and faults can be set.
// Its time runs on the Clock it is given. Safe to use from one worker thread while another thread
// inspects it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "device/d2xx.h"
#include "platform/clock.h"
#include "platform/precise_time.h"

namespace zolt::sim {

enum class Part { St, J2534 };

enum class Timing {
    Immediate,  // a reply is readable as soon as its request is complete
    LineRate,   // 115,200 baud 8N1: each byte takes about 86.8 us, in each direction
};

// The requests a fault rule can pick.
enum class Request { Any, ChipId, DeviceInfo, Reset, Block };

enum class Fault {
    Silent,            // no reply at all
    WrongCommandCode,  // payload byte 0 inverted (xor FF)
    WrongResultByte,   // payload byte 1 (the result) non-zero
    WrongCheckByte,    // the check byte inverted (xor FF); lengths and payload as they were
    ShortPayload,      // the payload loses its last byte; the frame stays well-formed
    ExtraBytes,        // three bytes EE EE EE follow the frame, sent with it
    ShortFrame,        // a complete frame of `shortFrameLength` (2 to 4) bytes: 04 00 code 00
    FrameLengthZero,   // the frame-length field reads 0
    FrameLengthOne,    // the frame-length field reads 1
    PayloadPastFrame,  // the payload-length field one more than the frame holds
    OverLongFrame,     // a well-formed frame padded to `overLongFrameSize` bytes
    Raw,               // the rule's `raw` bytes instead of the reply
};

struct FaultRule {
    Fault fault = Fault::Silent;
    Request on = Request::Any;
    // 1-based among the requests of kind `on` since construction; 0 hits every one.
    uint32_t occurrence = 0;
    std::vector<uint8_t> raw;  // for Fault::Raw
};

struct PartIdentity {
    std::array<uint8_t, 8> chipId{};
    std::vector<uint8_t> info;  // the information reply's data after BE 00; 48 bytes normally
};

// A firmware block answered with a non-zero result: the block at `index` (0-based) among those
// `part` received.
struct BlockRejection {
    Part part = Part::St;
    std::size_t index = 0;
};

PartIdentity DemoIdentity(Part part);

struct SimulatedInterfaceOptions {
    bool attached = true;
    // Attached from this many milliseconds after construction on (with `attached` false).
    std::optional<uint32_t> attachAtMs;
    std::string description = "ZOLT";  // one of the three the channel tries, or any other
    PartIdentity st = DemoIdentity(Part::St);
    PartIdentity j2534 = DemoIdentity(Part::J2534);

    Timing timing = Timing::Immediate;
    // Replies split into pieces of this many bytes (0: whole); piece k is readable no earlier
    // than k * pieceIntervalMs after the request.
    uint32_t replyPieceSize = 0;
    // When not empty: pieces of these sizes in turn instead, the last size repeating (a size of 0
    // counts as 1).
    std::vector<uint32_t> replyPieceSizes;
    uint32_t pieceIntervalMs = 20;
    // A reset frame restarts the part: bytes arriving meanwhile are lost, the reply follows it.
    uint32_t resetDurationMs = 20;

    std::vector<FaultRule> faults;  // the first rule that matches a reply applies
    // Unplugged just before the nth transfer (1-based count of writes); 0 never.
    uint32_t unplugBeforeTransfer = 0;
    // Unplugged during the nth close (1-based); 0 never.
    uint32_t unplugAtClose = 0;
    // After any unplug, plugged in again this many milliseconds later.
    std::optional<uint32_t> replugAfterMs;
    std::optional<BlockRejection> rejectBlock;
    bool permissionDenied = false;  // a matching open fails with FT_DEVICE_NOT_OPENED
    uint32_t overLongFrameSize = 6000;
    uint32_t shortFrameLength = 4;

    // For long runs: false answers blocks and keeps their results but not the blocks themselves
    // (ReceivedBlocks stays empty), so memory does not grow with the run.
    bool keepBlocks = true;
    // When set, the bytes' crossing times run on this counter instead of on the clock's whole
    // milliseconds, so that at the line rate an answer is readable as soon as it has crossed.
    // Meant for real-time runs, with SystemPreciseTime() beside SystemClock().
    PreciseTime* fineTime = nullptr;
};

// Demo identities, replies at the 115,200-baud line rate.
SimulatedInterfaceOptions DemoInterfaceOptions();

struct LineSettings {
    uint32_t baudRate = 0;
    uint8_t dataBits = 0;
    uint8_t stopBits = 0;
    uint8_t parity = 0;
    bool baudSet = false;
    bool formatSet = false;
};

struct SimulatedInterfaceStats {
    uint32_t listCalls = 0;
    uint32_t openCalls = 0;  // every OpenEx
    uint32_t opens = 0;      // OpenEx that gave a new handle
    uint32_t reopens = 0;    // OpenEx that handed back the handle already open
    uint32_t closes = 0;
    uint32_t transfers = 0;              // writes
    std::vector<uint8_t> latencyValues;  // every SetLatencyTimer, in order
    LineSettings line;                   // the last values set
    std::string openedDescription;       // of the last new handle
};

class SimulatedInterface final : public D2xxDriver {
  public:
    explicit SimulatedInterface(Clock& clock, SimulatedInterfaceOptions options = {});

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
    bool ListDescriptions(std::vector<std::string>& descriptions) override;
    OpenProblem LastOpenProblem() const override;

    // Firmware frames each part got, as sent, and the result byte it answered to each.
    std::vector<std::vector<uint8_t>> ReceivedBlocks(Part part) const;
    std::vector<uint8_t> BlockResults(Part part) const;
    // Bytes of a frame begun but not finished: a block cut off in the middle.
    std::size_t UnfinishedFrameBytes() const;
    bool HandleOpen() const;  // any handle still open
    bool Attached() const;    // as of the last driver call
    Part ActivePart() const;
    SimulatedInterfaceStats Stats() const;

    void Plug();
    void Unplug();  // the open handle goes stale: its calls fail until it is closed
    void AddFault(FaultRule rule);

  private:
    struct PendingByte {
        uint8_t value;
        uint64_t readyNs;
    };
    enum class HandleState { Unknown, Open, Stale };

    uint64_t NowNsLocked();
    void RefreshLocked();
    void UnplugLocked();
    HandleState StateOf(FT_HANDLE handle) const;
    FT_STATUS CheckHandleLocked(FT_HANDLE handle) const;
    void PurgeLocked();
    void ReceiveLocked(uint8_t byte, uint64_t atNs);
    std::size_t FrameBytesBeforeLastLocked() const;
    void HandleResetLocked(uint8_t code, uint64_t atNs);
    void HandleFrameLocked(std::vector<uint8_t> frame, uint64_t atNs);
    void ReplyLocked(Request kind, std::vector<uint8_t> payload, uint64_t atNs);
    std::size_t ReadyCountLocked(uint64_t nowNs) const;
    const PartIdentity& IdentityLocked() const;

    mutable std::mutex mutex_;
    Clock* clock_;
    SimulatedInterfaceOptions options_;

    uint32_t lastTick_ = 0;
    int64_t fineStart_ = 0;   // the fine counter at construction
    uint64_t elapsedMs_ = 0;  // since construction, wrap-free
    bool plugged_ = false;
    std::optional<uint64_t> plugAtMs_;

    uintptr_t openHandle_ = 0;
    std::vector<uintptr_t> staleHandles_;
    uintptr_t nextHandle_ = 0x5A100;

    std::vector<uint8_t> input_;  // the frame being received
    uint64_t restartUntilNs_ = 0;
    std::deque<PendingByte> pending_;  // reply bytes, in order
    uint64_t hostLineFreeNs_ = 0;
    uint64_t deviceLineFreeNs_ = 0;
    uint64_t lastReadyNs_ = 0;

    std::array<uint32_t, 5> requestCounts_{};  // indexed by Request
    Part active_ = Part::St;
    std::array<std::vector<std::vector<uint8_t>>, 2> blocks_;
    std::array<std::vector<uint8_t>, 2> results_;
    SimulatedInterfaceStats stats_;
    OpenProblem lastOpenProblem_ = OpenProblem::None;
};

}  // namespace zolt::sim
