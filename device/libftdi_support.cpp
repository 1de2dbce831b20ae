#include "device/libftdi_support.h"

#include <algorithm>

namespace zolt {

std::size_t ReceiveQueue::Append(std::span<const uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    const std::size_t count = std::min(bytes.size(), Capacity - bytes_.size());
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count));
    return count;
}

std::size_t ReceiveQueue::Size() const {
    std::lock_guard lock(mutex_);
    return bytes_.size();
}

std::size_t ReceiveQueue::Room() const {
    std::lock_guard lock(mutex_);
    return Capacity - bytes_.size();
}

std::size_t ReceiveQueue::Take(uint8_t* destination, std::size_t capacity) {
    if (destination == nullptr) {
        return 0;
    }
    std::lock_guard lock(mutex_);
    const std::size_t count = std::min(capacity, bytes_.size());
    std::copy_n(bytes_.begin(), count, destination);
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(count));
    return count;
}

void ReceiveQueue::Clear() {
    std::lock_guard lock(mutex_);
    bytes_.clear();
    failure_ = FT_OK;
}

void ReceiveQueue::Fail(FT_STATUS status) {
    std::lock_guard lock(mutex_);
    failure_ = status;
}

FT_STATUS ReceiveQueue::Failure() const {
    std::lock_guard lock(mutex_);
    return failure_;
}

std::optional<std::size_t> FindDescription(std::span<const std::optional<std::string>> descriptions,
                                           std::string_view wanted) {
    for (std::size_t i = 0; i < descriptions.size(); ++i) {
        if (descriptions[i] && *descriptions[i] == wanted) {
            return i;
        }
    }
    return std::nullopt;
}

std::size_t AppendPacketData(ReceiveQueue& queue, std::span<const uint8_t> packets,
                             std::size_t packetSize) {
    constexpr std::size_t StatusBytes = 2;
    std::size_t appended = 0;
    for (std::size_t at = 0; packetSize > StatusBytes && at < packets.size(); at += packetSize) {
        const std::size_t n = std::min(packetSize, packets.size() - at);
        if (n > StatusBytes) {
            appended += queue.Append(packets.subspan(at + StatusBytes, n - StatusBytes));
        }
    }
    return appended;
}

FT_STATUS MapTransferError(int code) {
    switch (code) {
        case LibusbErrorAccess:
        case LibusbErrorBusy:
        case LibusbErrorNoDevice:  // unplugged: the handle is of no more use
            return FT_DEVICE_NOT_OPENED;
        default:
            // I/O, pipe, time-out and the rest.
            return code >= 0 ? FT_OK : FT_IO_ERROR;
    }
}

FT_STATUS MapOpenError(int code) {
    return code >= 0 ? FT_OK : FT_DEVICE_NOT_OPENED;
}

FT_STATUS MapBaudRateError(int code) {
    switch (code) {
        case -1:
            return FT_INVALID_PARAMETER;  // not achievable on this chip
        case -3:
            return FT_DEVICE_NOT_OPENED;
        default:
            return code >= 0 ? FT_OK : FT_IO_ERROR;
    }
}

FT_STATUS MapLineError(int code) {
    switch (code) {
        case -2:
            return FT_DEVICE_NOT_OPENED;
        default:
            return code >= 0 ? FT_OK : FT_IO_ERROR;
    }
}

FT_STATUS MapLatencyError(int code) {
    switch (code) {
        case -1:
            return FT_INVALID_PARAMETER;
        case -3:
            return FT_DEVICE_NOT_OPENED;
        default:
            return code >= 0 ? FT_OK : FT_IO_ERROR;
    }
}

FT_STATUS MapWriteError(int code) {
    if (code == FtdiErrorUnavailable) {
        return FT_DEVICE_NOT_OPENED;
    }
    return code >= 0 ? FT_OK : FT_IO_ERROR;
}

OpenProblem OpenProblemOf(int code) {
    switch (code) {
        case FtdiOpenUsbOpen:
        case FtdiOpenPermission:
            return OpenProblem::Permission;
        case FtdiOpenClaim:
        case FtdiOpenDetach:
            return OpenProblem::Busy;
        default:
            return code >= 0 ? OpenProblem::None : OpenProblem::Other;
    }
}

}  // namespace zolt
