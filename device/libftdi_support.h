// The parts of the libftdi1 backend that need no device: the receive queue its reader thread
// fills, the description match, the latency value and the mapping of error codes to statuses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "device/d2xx.h"

namespace zolt {

// Bytes drained from the chip, waiting for the channel. A reader thread appends; the driver's
// status reports the length; a read takes at most the bytes asked and never waits. Once the reader
// has failed, the failure is reported after the bytes already queued have been taken.
class ReceiveQueue {
  public:
    void Append(std::span<const uint8_t> bytes);
    std::size_t Size() const;
    // Copies up to `capacity` bytes into `destination`, removing them; the number copied.
    std::size_t Take(uint8_t* destination, std::size_t capacity);
    void Clear();
    // The reader's failure, sticky until Clear().
    void Fail(FT_STATUS status);
    FT_STATUS Failure() const;

  private:
    mutable std::mutex mutex_;
    std::deque<uint8_t> bytes_;
    FT_STATUS failure_ = FT_OK;
};

// The first device whose description equals `wanted` exactly (case-sensitive); devices whose
// strings could not be read (nullopt) are skipped.
std::optional<std::size_t> FindDescription(std::span<const std::optional<std::string>> descriptions,
                                           std::string_view wanted);

// libftdi takes latencies 1 to 255 only; the chip treats 0 like 1.
inline uint8_t LibftdiLatency(uint8_t ms) {
    return ms == 0 ? 1 : ms;
}

// libusb error codes as libftdi passes them on.
inline constexpr int UsbErrorIo = -1;
inline constexpr int UsbErrorAccess = -3;
inline constexpr int UsbErrorNoDevice = -4;
inline constexpr int UsbErrorBusy = -6;
inline constexpr int UsbErrorTimeout = -7;
inline constexpr int UsbErrorPipe = -9;
// libftdi's own "USB device unavailable" (no device open on the context).
inline constexpr int FtdiErrorUnavailable = -666;

// A failed transfer (read or write): an unplugged device, a closed context and every I/O failure
// are not-success statuses.
FT_STATUS MapTransferError(int code);

// A failed ftdi_usb_open_dev: -4 is libusb_open (usually permissions), -5 claiming the interface
// (busy), -8 and -11 detaching the kernel driver; all leave the device not opened.
FT_STATUS MapOpenError(int code);

// What a failed ftdi_usb_open_dev means for the user: -4 libusb_open (permissions), -5 claiming the
// interface and -8/-11 detaching the kernel driver (held by another program or the kernel).
OpenProblem OpenProblemOf(int code);

}  // namespace zolt
