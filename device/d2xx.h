// The nine driver calls the channel uses, declared here in our own terms, and the one narrow
// interface over them. Three implementations exist: the vendor's shared library loaded at run
// time, libftdi1 for real hardware without it, and the simulated interface (sim/interface/).
//
// Counts and statuses are 32-bit unsigned, the handle an opaque pointer. FT_OK (0) is success;
// every other status is a failure and is passed on to the channel's callers unchanged.
//
// Opening a description that this process already holds open returns the existing handle with
// FT_OK in every implementation: the reset sequences open, close and reopen on purpose.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zolt {

using FT_STATUS = uint32_t;
using FT_HANDLE = void*;

inline constexpr FT_STATUS FT_OK = 0;
inline constexpr FT_STATUS FT_INVALID_HANDLE = 1;
inline constexpr FT_STATUS FT_DEVICE_NOT_FOUND = 2;
inline constexpr FT_STATUS FT_DEVICE_NOT_OPENED = 3;
inline constexpr FT_STATUS FT_IO_ERROR = 4;
inline constexpr FT_STATUS FT_INSUFFICIENT_RESOURCES = 5;
inline constexpr FT_STATUS FT_INVALID_PARAMETER = 6;
inline constexpr FT_STATUS FT_NOT_SUPPORTED = 17;
inline constexpr FT_STATUS FT_OTHER_ERROR = 18;

// ListDevices: only the number of devices.
inline constexpr uint32_t FT_LIST_NUMBER_ONLY = 0x80000000;
// OpenEx: the argument is the NUL-terminated USB product description.
inline constexpr uint32_t FT_OPEN_BY_DESCRIPTION = 2;

// SetDataCharacteristics values.
inline constexpr uint8_t FT_BITS_7 = 7;
inline constexpr uint8_t FT_BITS_8 = 8;
inline constexpr uint8_t FT_STOP_BITS_1 = 0;
inline constexpr uint8_t FT_STOP_BITS_2 = 2;
inline constexpr uint8_t FT_PARITY_NONE = 0;
inline constexpr uint8_t FT_PARITY_ODD = 1;
inline constexpr uint8_t FT_PARITY_EVEN = 2;
inline constexpr uint8_t FT_PARITY_MARK = 3;
inline constexpr uint8_t FT_PARITY_SPACE = 4;

// Why the last failed open failed, as far as a driver can tell; for the doctor's advice.
enum class OpenProblem { None, Permission, Busy, Other, Unknown };

// What each call returns. Our implementations keep to it; the vendor library's failure statuses
// are its own and are passed on as it gives them.
class D2xxDriver {
  public:
    virtual ~D2xxDriver() = default;
    // FT_OK and the number of attached devices (0 when none); another status when the devices
    // cannot be listed.
    virtual FT_STATUS ListDevices(uint32_t* count) = 0;
    // FT_OK and a handle of the device whose USB description equals `description` exactly; the
    // held handle when this process holds that description open already (unless its device was
    // unplugged, when a fresh open is tried). FT_DEVICE_NOT_FOUND when no attached device has the
    // description; FT_DEVICE_NOT_OPENED when one has it (or may have it: its description could
    // not be read for lack of permission) but cannot be opened, with LastOpenProblem() saying why.
    // `handle` is left as it was on failure.
    virtual FT_STATUS OpenEx(const char* description, FT_HANDLE* handle) = 0;
    // The three settings: FT_OK, FT_INVALID_HANDLE for a handle not open, FT_INVALID_PARAMETER for
    // a value the device cannot take, another status when the device does not answer.
    virtual FT_STATUS SetBaudRate(FT_HANDLE, uint32_t baud) = 0;
    virtual FT_STATUS SetDataCharacteristics(FT_HANDLE, uint8_t bits, uint8_t stop,
                                             uint8_t parity) = 0;
    virtual FT_STATUS SetLatencyTimer(FT_HANDLE, uint8_t ms) = 0;  // 0 may be taken as 1
    // FT_OK once all `size` bytes are handed over; otherwise a failure status (an unplugged device
    // among them) and in `written` the bytes handed over before it.
    virtual FT_STATUS Write(FT_HANDLE, const void* data, uint32_t size, uint32_t* written) = 0;
    // FT_OK and in `rx` the bytes waiting to be read; once the device has gone, a failure status
    // after the bytes received before have been read.
    virtual FT_STATUS GetStatus(FT_HANDLE, uint32_t* rx, uint32_t* tx, uint32_t* event) = 0;
    // Never waits: returns at most the bytes already queued, their number in `returned`; fails as
    // GetStatus does once nothing is left of a device that has gone.
    virtual FT_STATUS Read(FT_HANDLE, void* data, uint32_t size, uint32_t* returned) = 0;
    // Releases the handle (a stale one too) and returns promptly; FT_INVALID_HANDLE for a handle
    // not held. Any status otherwise: callers do not examine it.
    virtual FT_STATUS Close(FT_HANDLE) = 0;

    // Diagnostics beyond the nine calls, for `zolt-update-cli doctor`. A driver that cannot list
    // descriptions returns false.
    virtual bool ListDescriptions(std::vector<std::string>& descriptions) {
        descriptions.clear();
        return false;
    }
    virtual OpenProblem LastOpenProblem() const { return OpenProblem::Unknown; }
};

// The driver of this process, chosen on first use: the vendor library when "libftd2xx.so" loads
// through the normal library search and all nine functions bind, libftdi1 otherwise.
D2xxDriver& ProcessDriver();
// "vendor D2XX library" or "libftdi1".
const char* ProcessDriverName();

}  // namespace zolt
