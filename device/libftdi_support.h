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
// status reports the length; a read takes at most the bytes asked and never waits. The queue holds
// at most `Capacity` bytes: the reader asks the chip for more only while there is room, so the
// chip holds the rest. Once the reader has failed, the failure is reported after the bytes already
// queued have been taken.
class ReceiveQueue {
  public:
    static constexpr std::size_t Capacity = 64 * 1024;

    // Appends what fits; the number of bytes appended.
    std::size_t Append(std::span<const uint8_t> bytes);
    std::size_t Size() const;
    std::size_t Room() const;
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

// Appends the data of bulk IN packets of `packetSize` bytes to the queue, leaving out the 2
// modem-status bytes that lead every packet (the last packet may be short); the data bytes.
std::size_t AppendPacketData(ReceiveQueue& queue, std::span<const uint8_t> packets,
                             std::size_t packetSize);

// The first device whose description equals `wanted` exactly (case-sensitive); devices whose
// strings could not be read (nullopt) are skipped.
std::optional<std::size_t> FindDescription(std::span<const std::optional<std::string>> descriptions,
                                           std::string_view wanted);

// libftdi takes latencies 1 to 255 only; the chip treats 0 like 1.
inline uint8_t LibftdiLatency(uint8_t ms) {
    return ms == 0 ? 1 : ms;
}

// libusb's error codes.
inline constexpr int LibusbErrorIo = -1;
inline constexpr int LibusbErrorAccess = -3;
inline constexpr int LibusbErrorNoDevice = -4;
inline constexpr int LibusbErrorBusy = -6;
inline constexpr int LibusbErrorTimeout = -7;
inline constexpr int LibusbErrorPipe = -9;
inline constexpr int LibusbErrorInterrupted = -10;

// ftdi_usb_open_dev's codes (libftdi's own, not libusb's).
inline constexpr int FtdiOpenConfiguration = -3;  // setting the configuration failed
inline constexpr int FtdiOpenUsbOpen = -4;        // libusb_open failed: usually permissions
inline constexpr int FtdiOpenClaim = -5;          // another program or a kernel driver holds it
inline constexpr int FtdiOpenReset = -6;
inline constexpr int FtdiOpenBaudRate = -7;
inline constexpr int FtdiOpenPermission = -8;  // inappropriate permissions on the device
inline constexpr int FtdiOpenDetach = -11;     // the kernel driver could not be detached
// libftdi's "USB device unavailable" (no device open on the context).
inline constexpr int FtdiErrorUnavailable = -666;

// A failed bulk transfer (the reader's, with libusb's code): an unplugged device and every I/O
// failure are not-success statuses.
FT_STATUS MapTransferError(int code);

// The other calls, each with the codes its libftdi documentation gives.
FT_STATUS MapOpenError(int code);      // ftdi_usb_open_dev: the device stays not opened
FT_STATUS MapBaudRateError(int code);  // ftdi_set_baudrate: -1 rate not achievable
FT_STATUS MapLineError(int code);      // ftdi_set_line_property
FT_STATUS MapLatencyError(int code);   // ftdi_set_latency_timer: -1 value out of range
FT_STATUS MapWriteError(int code);     // ftdi_write_data: -666 not open, else failed

// What a failed ftdi_usb_open_dev means for the user: -4 and -8 permissions, -5 and -11 held by
// another program or the kernel.
OpenProblem OpenProblemOf(int code);

}  // namespace zolt
