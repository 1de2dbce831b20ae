#include "sim/interface/simulated_interface.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "device/device_frame.h"

namespace zolt::sim {
namespace {

// Ten bit times (start, 8 data, stop) at 115,200 baud.
constexpr uint64_t ByteNs = 86'806;
constexpr uint64_t NsPerMs = 1'000'000;

constexpr uint8_t ChipIdRequest[] = {0x06, 0x00, 0x01, 0x00, 0xD1, 0xD6};
constexpr uint8_t DeviceInfoRequest[] = {0x06, 0x00, 0x01, 0x00, 0xBE, 0xB9};
constexpr uint8_t ChipIdCode = 0xD1;
constexpr uint8_t DeviceInfoCode = 0xBE;
constexpr uint8_t ResultBadCheck = 0x01;
constexpr uint8_t ResultRejected = 0x02;
constexpr std::size_t InfoDataSize = 48;

std::size_t Index(Part part) {
    return part == Part::St ? 0 : 1;
}
std::size_t Index(Request request) {
    return static_cast<std::size_t>(request);
}

bool Equals(const std::vector<uint8_t>& frame, std::span<const uint8_t> bytes) {
    return frame.size() == bytes.size() && std::equal(frame.begin(), frame.end(), bytes.begin());
}

std::vector<uint8_t> InfoBlock(const char* text) {
    std::vector<uint8_t> info(InfoDataSize, 0);
    const std::size_t n = std::min(std::strlen(text), InfoDataSize);
    std::memcpy(info.data(), text, n);
    return info;
}

// The reply to a request as the fault leaves it; empty for no reply.
std::vector<uint8_t> FaultedReply(std::vector<uint8_t> payload, const FaultRule* rule,
                                  const SimulatedInterfaceOptions& options) {
    if (payload.size() > MaxFramePayload) {
        payload.resize(MaxFramePayload);
    }
    if (rule == nullptr) {
        return BuildDeviceFrame(payload);
    }
    switch (rule->fault) {
        case Fault::Silent:
            return {};
        case Fault::WrongCommandCode:
            if (!payload.empty()) {
                payload[0] ^= 0xFF;
            }
            return BuildDeviceFrame(payload);
        case Fault::WrongResultByte:
            if (payload.size() < 2) {
                payload.resize(2, 0);
            }
            if (payload[1] == 0) {
                payload[1] = 0x01;
            }
            return BuildDeviceFrame(payload);
        case Fault::WrongCheckByte: {
            auto frame = BuildDeviceFrame(payload);
            frame.back() ^= 0xFF;
            return frame;
        }
        case Fault::ShortPayload:
            if (!payload.empty()) {
                payload.pop_back();
            }
            return BuildDeviceFrame(payload);
        case Fault::ExtraBytes: {
            auto frame = BuildDeviceFrame(payload);
            frame.insert(frame.end(), {0xEE, 0xEE, 0xEE});
            return frame;
        }
        case Fault::ShortFrame: {
            const uint32_t length = std::clamp<uint32_t>(options.shortFrameLength, 2, 4);
            std::vector<uint8_t> frame = {static_cast<uint8_t>(length), 0x00,
                                          payload.empty() ? uint8_t{0} : payload[0], 0x00};
            frame.resize(length);
            return frame;
        }
        case Fault::FrameLengthZero:
        case Fault::FrameLengthOne: {
            auto frame = BuildDeviceFrame(payload);
            frame[0] = rule->fault == Fault::FrameLengthZero ? 0 : 1;
            frame[1] = 0;
            return frame;
        }
        case Fault::PayloadPastFrame: {
            auto frame = BuildDeviceFrame(payload);
            const std::size_t claimed = payload.size() + 1;
            frame[2] = static_cast<uint8_t>(claimed & 0xFF);
            frame[3] = static_cast<uint8_t>((claimed >> 8) & 0xFF);
            frame.back() = FrameCheckByte(std::span(frame).first(frame.size() - 1));
            return frame;
        }
        case Fault::OverLongFrame: {
            const std::size_t total =
                std::clamp<std::size_t>(options.overLongFrameSize, payload.size() + FrameOverhead,
                                        MaxFramePayload + FrameOverhead);
            payload.resize(total - FrameOverhead, 0);
            return BuildDeviceFrame(payload);
        }
        case Fault::Raw:
            return rule->raw;
    }
    return BuildDeviceFrame(payload);
}

}  // namespace

PartIdentity DemoIdentity(Part part) {
    PartIdentity identity;
    if (part == Part::St) {
        identity.chipId = {0x53, 0x54, 0x32, 0x30, 0x19, 0x07, 0x21, 0x01};
        identity.info = InfoBlock("ZOLT st firmware 2.4.1");
    } else {
        identity.chipId = {0x4A, 0x32, 0x35, 0x33, 0x34, 0x11, 0x08, 0x02};
        identity.info = InfoBlock("ZOLT j2534 firmware 1.3.0");
    }
    return identity;
}

SimulatedInterfaceOptions DemoInterfaceOptions() {
    SimulatedInterfaceOptions options;
    options.timing = Timing::LineRate;
    return options;
}

SimulatedInterface::SimulatedInterface(Clock& clock, SimulatedInterfaceOptions options)
    : clock_(&clock), options_(std::move(options)) {
    lastTick_ = clock_->TickCount();
    if (options_.fineTime != nullptr) {
        fineStart_ = options_.fineTime->CounterValue();
    }
    plugged_ = options_.attached;
    if (!plugged_ && options_.attachAtMs) {
        plugAtMs_ = *options_.attachAtMs;
    }
}

uint64_t SimulatedInterface::NowNsLocked() {
    const uint32_t tick = clock_->TickCount();
    elapsedMs_ += TicksSince(tick, lastTick_);
    lastTick_ = tick;
    if (plugAtMs_ && elapsedMs_ >= *plugAtMs_) {
        plugged_ = true;
        plugAtMs_.reset();
    }
    if (PreciseTime* fine = options_.fineTime; fine != nullptr) {
        const int64_t frequency = fine->CounterFrequency();
        const int64_t ticks = fine->CounterValue() - fineStart_;
        if (frequency > 0 && ticks >= 0) {
            return static_cast<uint64_t>(static_cast<long double>(ticks) * 1e9L /
                                         static_cast<long double>(frequency));
        }
    }
    return elapsedMs_ * NsPerMs;
}

void SimulatedInterface::RefreshLocked() {
    NowNsLocked();
}

void SimulatedInterface::PurgeLocked() {
    input_.clear();
    pending_.clear();
    restartUntilNs_ = 0;
}

void SimulatedInterface::UnplugLocked() {
    plugged_ = false;
    plugAtMs_.reset();
    if (options_.replugAfterMs) {
        plugAtMs_ = elapsedMs_ + *options_.replugAfterMs;
    }
    if (openHandle_ != 0) {
        staleHandles_.push_back(openHandle_);
        openHandle_ = 0;
    }
    PurgeLocked();
}

SimulatedInterface::HandleState SimulatedInterface::StateOf(FT_HANDLE handle) const {
    const auto value = reinterpret_cast<uintptr_t>(handle);
    if (value != 0 && value == openHandle_) {
        return HandleState::Open;
    }
    if (value != 0 &&
        std::find(staleHandles_.begin(), staleHandles_.end(), value) != staleHandles_.end()) {
        return HandleState::Stale;
    }
    return HandleState::Unknown;
}

FT_STATUS SimulatedInterface::CheckHandleLocked(FT_HANDLE handle) const {
    switch (StateOf(handle)) {
        case HandleState::Open:
            return FT_OK;
        case HandleState::Stale:
            return FT_IO_ERROR;  // unplugged under the handle
        case HandleState::Unknown:
            break;
    }
    return FT_INVALID_HANDLE;
}

FT_STATUS SimulatedInterface::ListDevices(uint32_t* count) {
    std::lock_guard lock(mutex_);
    RefreshLocked();
    ++stats_.listCalls;
    if (count == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    *count = plugged_ ? 1 : 0;
    return FT_OK;
}

FT_STATUS SimulatedInterface::OpenEx(const char* description, FT_HANDLE* handle) {
    std::lock_guard lock(mutex_);
    RefreshLocked();
    ++stats_.openCalls;
    if (description == nullptr || handle == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    if (!plugged_ || options_.description != description) {
        return FT_DEVICE_NOT_FOUND;
    }
    if (options_.permissionDenied) {
        lastOpenProblem_ = OpenProblem::Permission;
        return FT_DEVICE_NOT_OPENED;
    }
    if (openHandle_ != 0) {
        ++stats_.reopens;
        *handle = reinterpret_cast<FT_HANDLE>(openHandle_);
        return FT_OK;
    }
    openHandle_ = nextHandle_;
    nextHandle_ += 0x10;
    PurgeLocked();  // opening resets the chip's buffers
    ++stats_.opens;
    stats_.openedDescription = description;
    *handle = reinterpret_cast<FT_HANDLE>(openHandle_);
    return FT_OK;
}

FT_STATUS SimulatedInterface::SetBaudRate(FT_HANDLE handle, uint32_t baud) {
    std::lock_guard lock(mutex_);
    RefreshLocked();
    if (const FT_STATUS status = CheckHandleLocked(handle); status != FT_OK) {
        return status;
    }
    stats_.line.baudRate = baud;
    stats_.line.baudSet = true;
    return FT_OK;
}

FT_STATUS SimulatedInterface::SetDataCharacteristics(FT_HANDLE handle, uint8_t bits, uint8_t stop,
                                                     uint8_t parity) {
    std::lock_guard lock(mutex_);
    RefreshLocked();
    if (const FT_STATUS status = CheckHandleLocked(handle); status != FT_OK) {
        return status;
    }
    stats_.line.dataBits = bits;
    stats_.line.stopBits = stop;
    stats_.line.parity = parity;
    stats_.line.formatSet = true;
    return FT_OK;
}

FT_STATUS SimulatedInterface::SetLatencyTimer(FT_HANDLE handle, uint8_t ms) {
    std::lock_guard lock(mutex_);
    RefreshLocked();
    if (const FT_STATUS status = CheckHandleLocked(handle); status != FT_OK) {
        return status;
    }
    stats_.latencyValues.push_back(ms);
    return FT_OK;
}

FT_STATUS SimulatedInterface::Write(FT_HANDLE handle, const void* data, uint32_t size,
                                    uint32_t* written) {
    std::lock_guard lock(mutex_);
    const uint64_t now = NowNsLocked();
    if (written != nullptr) {
        *written = 0;
    }
    if (StateOf(handle) == HandleState::Unknown) {
        return FT_INVALID_HANDLE;
    }
    ++stats_.transfers;
    if (options_.unplugBeforeTransfer != 0 && stats_.transfers == options_.unplugBeforeTransfer) {
        UnplugLocked();
    }
    if (const FT_STATUS status = CheckHandleLocked(handle); status != FT_OK) {
        return status;
    }
    if (data == nullptr && size > 0) {
        return FT_INVALID_PARAMETER;
    }
    const auto* bytes = static_cast<const uint8_t*>(data);
    const bool lineRate = options_.timing == Timing::LineRate;
    const uint64_t start = lineRate ? std::max(now, hostLineFreeNs_) : now;
    for (uint32_t i = 0; i < size; ++i) {
        ReceiveLocked(bytes[i], lineRate ? start + (i + 1) * ByteNs : now);
        // Inside a frame the bytes before its last one only gather: take them all at once.
        const auto run = static_cast<uint32_t>(
            std::min<std::size_t>(FrameBytesBeforeLastLocked(), size - i - 1));
        if (run > 0) {
            input_.insert(input_.end(), bytes + i + 1, bytes + i + 1 + run);
            i += run;
        }
    }
    if (lineRate) {
        hostLineFreeNs_ = start + size * ByteNs;
    }
    if (written != nullptr) {
        *written = size;
    }
    return FT_OK;
}

void SimulatedInterface::ReceiveLocked(uint8_t byte, uint64_t atNs) {
    if (atNs < restartUntilNs_) {
        return;  // the part is restarting: the byte is lost
    }
    input_.push_back(byte);
    if (input_.size() < 2) {
        return;
    }
    const std::size_t length = ReadLe16(input_.data());
    if (length == 3) {
        if (input_.size() == 3) {
            const uint8_t code = input_[2];
            input_.clear();
            HandleResetLocked(code, atNs);
        }
        return;
    }
    if (length < FrameOverhead) {
        input_.clear();  // not a frame: start over
        return;
    }
    if (input_.size() == length) {
        std::vector<uint8_t> frame;
        frame.swap(input_);
        HandleFrameLocked(std::move(frame), atNs);
    }
}

std::size_t SimulatedInterface::FrameBytesBeforeLastLocked() const {
    // Bytes reach input_ only outside a restart, and a restart begins only with an empty input_,
    // so bytes that follow the ones gathered here are never lost to one.
    if (input_.size() < 2) {
        return 0;
    }
    const std::size_t length = ReadLe16(input_.data());
    if (length == 3 || length < FrameOverhead || input_.size() >= length) {
        return 0;
    }
    return length - input_.size() - 1;
}

void SimulatedInterface::HandleResetLocked(uint8_t code, uint64_t atNs) {
    if (code == 0x1A) {
        active_ = Part::St;
    } else if (code == 0x2B) {
        active_ = Part::J2534;
    } else if (code != 0x00) {
        return;  // not a reset this device knows
    }
    restartUntilNs_ = atNs + uint64_t{options_.resetDurationMs} * NsPerMs;
    ReplyLocked(Request::Reset, {code, 0x00}, restartUntilNs_);
}

void SimulatedInterface::HandleFrameLocked(std::vector<uint8_t> frame, uint64_t atNs) {
    if (Equals(frame, ChipIdRequest)) {
        const auto& id = IdentityLocked();
        std::vector<uint8_t> payload = {ChipIdCode, 0x00};
        payload.insert(payload.end(), id.chipId.begin(), id.chipId.end());
        ReplyLocked(Request::ChipId, std::move(payload), atNs);
        return;
    }
    if (Equals(frame, DeviceInfoRequest)) {
        const auto& id = IdentityLocked();
        std::vector<uint8_t> payload = {DeviceInfoCode, 0x00};
        payload.insert(payload.end(), id.info.begin(), id.info.end());
        ReplyLocked(Request::DeviceInfo, std::move(payload), atNs);
        return;
    }
    const ParsedFrame parsed = ParseDeviceFrame(frame);
    if (parsed.ok && parsed.payload.empty()) {
        return;  // nothing to act on
    }
    // Every other frame is a firmware block for the active part.
    const std::size_t part = Index(active_);
    const std::size_t index = results_[part].size();
    const uint8_t code = frame[4];
    uint8_t result = 0x00;
    if (!parsed.ok) {
        result = ResultBadCheck;
    } else if (options_.rejectBlock && options_.rejectBlock->part == active_ &&
               options_.rejectBlock->index == index) {
        result = ResultRejected;
    }
    if (options_.keepBlocks) {
        blocks_[part].push_back(std::move(frame));
    }
    results_[part].push_back(result);
    ReplyLocked(Request::Block, {code, result}, atNs);
}

void SimulatedInterface::ReplyLocked(Request kind, std::vector<uint8_t> payload, uint64_t atNs) {
    const uint32_t nth = ++requestCounts_[Index(kind)];
    const uint32_t nthAny = ++requestCounts_[Index(Request::Any)];
    const FaultRule* rule = nullptr;
    for (const auto& candidate : options_.faults) {
        const bool kindMatches = candidate.on == Request::Any || candidate.on == kind;
        const uint32_t count = candidate.on == Request::Any ? nthAny : nth;
        if (kindMatches && (candidate.occurrence == 0 || candidate.occurrence == count)) {
            rule = &candidate;
            break;
        }
    }
    const std::vector<uint8_t> reply = FaultedReply(std::move(payload), rule, options_);

    const bool lineRate = options_.timing == Timing::LineRate;
    const uint64_t start = lineRate ? std::max(atNs, deviceLineFreeNs_) : atNs;
    // The end (one past the last byte) of every piece, in order.
    std::vector<std::size_t> pieceEnds;
    if (!options_.replyPieceSizes.empty() || options_.replyPieceSize > 0) {
        std::size_t end = 0;
        for (std::size_t piece = 0; end < reply.size(); ++piece) {
            std::size_t size = options_.replyPieceSize;
            if (!options_.replyPieceSizes.empty()) {
                const auto& sizes = options_.replyPieceSizes;
                size = std::max<uint32_t>(sizes[std::min(piece, sizes.size() - 1)], 1);
            }
            end = std::min(end + size, reply.size());
            pieceEnds.push_back(end);
        }
    }
    std::size_t piece = 0;
    for (std::size_t i = 0; i < reply.size(); ++i) {
        uint64_t ready = start;
        if (!pieceEnds.empty()) {
            while (i >= pieceEnds[piece]) {
                ++piece;
            }
            const uint64_t crossed = lineRate ? start + pieceEnds[piece] * ByteNs : start;
            ready = std::max(crossed, atNs + piece * options_.pieceIntervalMs * NsPerMs);
        } else if (lineRate) {
            ready = start + (i + 1) * ByteNs;
        }
        ready = std::max(ready, lastReadyNs_);
        lastReadyNs_ = ready;
        pending_.push_back({reply[i], ready});
    }
    if (lineRate) {
        deviceLineFreeNs_ = start + reply.size() * ByteNs;
    }
}

const PartIdentity& SimulatedInterface::IdentityLocked() const {
    return active_ == Part::St ? options_.st : options_.j2534;
}

std::size_t SimulatedInterface::ReadyCountLocked(uint64_t nowNs) const {
    std::size_t count = 0;
    for (const auto& byte : pending_) {
        if (byte.readyNs > nowNs) {
            break;
        }
        ++count;
    }
    return count;
}

FT_STATUS SimulatedInterface::GetStatus(FT_HANDLE handle, uint32_t* rx, uint32_t* tx,
                                        uint32_t* event) {
    std::lock_guard lock(mutex_);
    const uint64_t now = NowNsLocked();
    if (const FT_STATUS status = CheckHandleLocked(handle); status != FT_OK) {
        return status;
    }
    if (rx != nullptr) {
        *rx = static_cast<uint32_t>(ReadyCountLocked(now));
    }
    if (tx != nullptr) {
        *tx = 0;
    }
    if (event != nullptr) {
        *event = 0;
    }
    return FT_OK;
}

FT_STATUS SimulatedInterface::Read(FT_HANDLE handle, void* data, uint32_t size,
                                   uint32_t* returned) {
    std::lock_guard lock(mutex_);
    const uint64_t now = NowNsLocked();
    if (returned != nullptr) {
        *returned = 0;
    }
    if (const FT_STATUS status = CheckHandleLocked(handle); status != FT_OK) {
        return status;
    }
    if (data == nullptr && size > 0) {
        return FT_INVALID_PARAMETER;
    }
    const std::size_t count = std::min<std::size_t>(size, ReadyCountLocked(now));
    auto* out = static_cast<uint8_t*>(data);
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = pending_.front().value;
        pending_.pop_front();
    }
    if (returned != nullptr) {
        *returned = static_cast<uint32_t>(count);
    }
    return FT_OK;
}

FT_STATUS SimulatedInterface::Close(FT_HANDLE handle) {
    std::lock_guard lock(mutex_);
    RefreshLocked();
    ++stats_.closes;
    if (options_.unplugAtClose != 0 && stats_.closes == options_.unplugAtClose) {
        UnplugLocked();
    }
    const auto value = reinterpret_cast<uintptr_t>(handle);
    switch (StateOf(handle)) {
        case HandleState::Open:
            openHandle_ = 0;
            PurgeLocked();
            return FT_OK;
        case HandleState::Stale:
            staleHandles_.erase(std::find(staleHandles_.begin(), staleHandles_.end(), value));
            return FT_OK;
        case HandleState::Unknown:
            break;
    }
    return FT_INVALID_HANDLE;
}

std::vector<std::vector<uint8_t>> SimulatedInterface::ReceivedBlocks(Part part) const {
    std::lock_guard lock(mutex_);
    return blocks_[Index(part)];
}

std::vector<uint8_t> SimulatedInterface::BlockResults(Part part) const {
    std::lock_guard lock(mutex_);
    return results_[Index(part)];
}

std::size_t SimulatedInterface::UnfinishedFrameBytes() const {
    std::lock_guard lock(mutex_);
    return input_.size();
}

bool SimulatedInterface::HandleOpen() const {
    std::lock_guard lock(mutex_);
    return openHandle_ != 0 || !staleHandles_.empty();
}

bool SimulatedInterface::Attached() const {
    std::lock_guard lock(mutex_);
    return plugged_;
}

Part SimulatedInterface::ActivePart() const {
    std::lock_guard lock(mutex_);
    return active_;
}

SimulatedInterfaceStats SimulatedInterface::Stats() const {
    std::lock_guard lock(mutex_);
    return stats_;
}

void SimulatedInterface::Plug() {
    std::lock_guard lock(mutex_);
    plugged_ = true;
    plugAtMs_.reset();
}

void SimulatedInterface::Unplug() {
    std::lock_guard lock(mutex_);
    UnplugLocked();
}

void SimulatedInterface::AddFault(FaultRule rule) {
    std::lock_guard lock(mutex_);
    options_.faults.push_back(std::move(rule));
}

bool SimulatedInterface::ListDescriptions(std::vector<std::string>& descriptions) {
    std::lock_guard lock(mutex_);
    RefreshLocked();
    descriptions.clear();
    if (plugged_) {
        descriptions.push_back(options_.description);
    }
    return true;
}

OpenProblem SimulatedInterface::LastOpenProblem() const {
    std::lock_guard lock(mutex_);
    return lastOpenProblem_;
}

}  // namespace zolt::sim
