#include "device/libftdi_support.h"

#include <algorithm>

namespace zolt {

void ReceiveQueue::Append(std::span<const uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
}

std::size_t ReceiveQueue::Size() const {
    std::lock_guard lock(mutex_);
    return bytes_.size();
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

FT_STATUS MapTransferError(int code) {
    switch (code) {
        case FtdiErrorUnavailable:
            return FT_DEVICE_NOT_OPENED;
        case UsbErrorAccess:
        case UsbErrorBusy:
            return FT_DEVICE_NOT_OPENED;
        default:
            // No device (unplugged), I/O, pipe, time-out and the rest.
            return code >= 0 ? FT_OK : FT_IO_ERROR;
    }
}

FT_STATUS MapOpenError(int code) {
    return code >= 0 ? FT_OK : FT_DEVICE_NOT_OPENED;
}

OpenProblem OpenProblemOf(int code) {
    switch (code) {
        case -4:
            return OpenProblem::Permission;
        case -5:
        case -8:
        case -11:
            return OpenProblem::Busy;
        default:
            return code >= 0 ? OpenProblem::None : OpenProblem::Other;
    }
}

}  // namespace zolt
