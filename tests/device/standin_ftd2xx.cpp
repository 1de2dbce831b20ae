// A stand-in for the vendor's shared library, built by the tests: the nine driver functions by
// name (on Windows also at the ordinals of the vendor's 32-bit library), over a loopback device
// whose description is "PRYN Interface 171071". Like the vendor library it refuses a second open
// of a device that is already open. Extra functions let a test see what arrived. Built a second
// time without FT_Close, to show that a library missing any of the nine is not used (and on
// Windows a third time exporting the nine by ordinal only).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#ifdef _WIN32
// The exports, with their ordinals, come from the .def files beside this one.
#define STANDIN_EXPORT extern "C"
#else
#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))
#endif
// The driver functions use the library's calling convention (the system's standard one in 32-bit
// Windows); the inspection functions the C one.
#if defined(_WIN32) && !defined(_WIN64)
#define STANDIN_CALL __stdcall
#else
#define STANDIN_CALL
#endif

namespace {

using Status = uint32_t;

constexpr Status Ok = 0;
constexpr Status InvalidHandle = 1;
constexpr Status DeviceNotFound = 2;
constexpr Status DeviceNotOpened = 3;
constexpr Status InvalidParameter = 6;

struct Device {
    bool open = false;
    int openExCalls = 0;
    int closeCalls = 0;
    std::string lastDescription;
    uint32_t listFlags = 0;
    uint32_t openFlags = 0;
    uint32_t baud = 0;
    uint8_t format[3] = {};
    std::vector<uint8_t> latency;
    std::deque<uint8_t> loop;  // written bytes come back
};

Device device;
int handleToken = 0;

bool Valid(void* handle) {
    return device.open && handle == &handleToken;
}

}  // namespace

STANDIN_EXPORT Status STANDIN_CALL FT_ListDevices(void* arg1, void* arg2, uint32_t flags) {
    device.listFlags = flags;
    if (flags != 0x80000000u || arg1 == nullptr || arg2 != nullptr) {
        return InvalidParameter;
    }
    *static_cast<uint32_t*>(arg1) = 1;
    return Ok;
}

STANDIN_EXPORT Status STANDIN_CALL FT_OpenEx(void* arg, uint32_t flags, void** handle) {
    ++device.openExCalls;
    device.openFlags = flags;
    if (flags != 2 || arg == nullptr || handle == nullptr) {
        return InvalidParameter;
    }
    device.lastDescription = static_cast<const char*>(arg);
    if (device.lastDescription != "PRYN Interface 171071") {
        return DeviceNotFound;
    }
    if (device.open) {
        return DeviceNotOpened;
    }
    device.open = true;
    device.loop.clear();
    *handle = &handleToken;
    return Ok;
}

STANDIN_EXPORT Status STANDIN_CALL FT_SetBaudRate(void* handle, uint32_t baud) {
    if (!Valid(handle)) {
        return InvalidHandle;
    }
    device.baud = baud;
    return Ok;
}

STANDIN_EXPORT Status STANDIN_CALL FT_SetDataCharacteristics(void* handle, uint8_t bits, uint8_t stop,
                                                uint8_t parity) {
    if (!Valid(handle)) {
        return InvalidHandle;
    }
    device.format[0] = bits;
    device.format[1] = stop;
    device.format[2] = parity;
    return Ok;
}

STANDIN_EXPORT Status STANDIN_CALL FT_SetLatencyTimer(void* handle, uint8_t ms) {
    if (!Valid(handle)) {
        return InvalidHandle;
    }
    device.latency.push_back(ms);
    return Ok;
}

STANDIN_EXPORT Status STANDIN_CALL FT_Write(void* handle, void* data, uint32_t size, uint32_t* written) {
    if (!Valid(handle)) {
        return InvalidHandle;
    }
    const auto* bytes = static_cast<const uint8_t*>(data);
    device.loop.insert(device.loop.end(), bytes, bytes + size);
    *written = size;
    return Ok;
}

STANDIN_EXPORT Status STANDIN_CALL FT_GetStatus(void* handle, uint32_t* rx, uint32_t* tx, uint32_t* event) {
    if (!Valid(handle)) {
        return InvalidHandle;
    }
    *rx = static_cast<uint32_t>(device.loop.size());
    *tx = 0;
    *event = 0;
    return Ok;
}

STANDIN_EXPORT Status STANDIN_CALL FT_Read(void* handle, void* data, uint32_t size, uint32_t* returned) {
    if (!Valid(handle)) {
        return InvalidHandle;
    }
    const std::size_t n = std::min<std::size_t>(size, device.loop.size());
    std::copy_n(device.loop.begin(), n, static_cast<uint8_t*>(data));
    device.loop.erase(device.loop.begin(), device.loop.begin() + static_cast<std::ptrdiff_t>(n));
    *returned = static_cast<uint32_t>(n);
    return Ok;
}

#ifndef STANDIN_WITHOUT_CLOSE
STANDIN_EXPORT Status STANDIN_CALL FT_Close(void* handle) {
    if (!Valid(handle)) {
        return InvalidHandle;
    }
    device.open = false;
    ++device.closeCalls;
    return Ok;
}
#endif

// What the test inspects.
STANDIN_EXPORT void standin_reset() {
    device = Device{};
}
STANDIN_EXPORT int standin_open_ex_calls() {
    return device.openExCalls;
}
STANDIN_EXPORT int standin_close_calls() {
    return device.closeCalls;
}
STANDIN_EXPORT int standin_is_open() {
    return device.open ? 1 : 0;
}
STANDIN_EXPORT uint32_t standin_baud() {
    return device.baud;
}
STANDIN_EXPORT uint32_t standin_open_flags() {
    return device.openFlags;
}
STANDIN_EXPORT uint32_t standin_list_flags() {
    return device.listFlags;
}
STANDIN_EXPORT void standin_format(uint8_t* out) {
    std::memcpy(out, device.format, 3);
}
STANDIN_EXPORT int standin_latency(uint8_t* out, int capacity) {
    const int n = std::min<int>(capacity, static_cast<int>(device.latency.size()));
    std::copy_n(device.latency.begin(), n, out);
    return static_cast<int>(device.latency.size());
}
