// Finding the vendor library's nine functions: loading the library, binding each function (by name,
// or in the 32-bit Windows library by its ordinal number) and unloading it. One implementation per
// system: vendor_library_posix.cpp (dlopen), vendor_library_win.cpp (LoadLibraryW).
#pragma once

#include <cstdint>

#include "device/d2xx.h"

// The library's calling convention: the system's standard one in 32-bit Windows.
#if defined(_WIN32) && !defined(_WIN64)
#define ZOLT_D2XX_CALL __stdcall
#else
#define ZOLT_D2XX_CALL
#endif

namespace zolt {

// The library's C entry points as we call them: 32-bit unsigned counts and statuses, bytes for the
// line format and latency, an opaque pointer handle.
extern "C" {
using ListDevicesFn = FT_STATUS(ZOLT_D2XX_CALL*)(void* arg1, void* arg2, uint32_t flags);
using OpenExFn = FT_STATUS(ZOLT_D2XX_CALL*)(void* arg, uint32_t flags, FT_HANDLE* handle);
using SetBaudRateFn = FT_STATUS(ZOLT_D2XX_CALL*)(FT_HANDLE handle, uint32_t baud);
using SetDataCharacteristicsFn = FT_STATUS(ZOLT_D2XX_CALL*)(FT_HANDLE handle, uint8_t bits,
                                                            uint8_t stop, uint8_t parity);
using SetLatencyTimerFn = FT_STATUS(ZOLT_D2XX_CALL*)(FT_HANDLE handle, uint8_t ms);
using WriteFn = FT_STATUS(ZOLT_D2XX_CALL*)(FT_HANDLE handle, void* data, uint32_t size,
                                           uint32_t* written);
using GetStatusFn = FT_STATUS(ZOLT_D2XX_CALL*)(FT_HANDLE handle, uint32_t* rx, uint32_t* tx,
                                               uint32_t* event);
using ReadFn = FT_STATUS(ZOLT_D2XX_CALL*)(FT_HANDLE handle, void* data, uint32_t size,
                                          uint32_t* returned);
using CloseFn = FT_STATUS(ZOLT_D2XX_CALL*)(FT_HANDLE handle);
}

struct VendorFunctions {
    ListDevicesFn listDevices = nullptr;
    OpenExFn openEx = nullptr;
    SetBaudRateFn setBaudRate = nullptr;
    SetDataCharacteristicsFn setDataCharacteristics = nullptr;
    SetLatencyTimerFn setLatencyTimer = nullptr;
    WriteFn write = nullptr;
    GetStatusFn getStatus = nullptr;
    ReadFn read = nullptr;
    CloseFn close = nullptr;
};

// How the functions are looked up. The ordinals are those of the 32-bit Windows library; whether
// another build of the library numbers its exports the same is not known, and a wrong ordinal
// would silently call another function, so everywhere else the names are used.
enum class VendorBinding { ByName, ByOrdinal };

struct VendorOrdinals {
    static constexpr uint16_t Close = 2;
    static constexpr uint16_t Read = 3;
    static constexpr uint16_t Write = 4;
    static constexpr uint16_t SetBaudRate = 7;
    static constexpr uint16_t SetDataCharacteristics = 8;
    static constexpr uint16_t GetStatus = 21;
    static constexpr uint16_t OpenEx = 27;
    static constexpr uint16_t ListDevices = 28;
    static constexpr uint16_t SetLatencyTimer = 29;
};

// ByOrdinal in the 32-bit Windows build, ByName elsewhere.
VendorBinding DefaultVendorBinding();

// The library by name (the system's normal search) or path; null when it does not load.
void* OpenVendorLibrary(const char* library);
void CloseVendorLibrary(void* library);
// Binds all nine; false when any is missing (or the binding is not available on this system).
bool BindVendorFunctions(void* library, VendorBinding binding, VendorFunctions& functions);

}  // namespace zolt
