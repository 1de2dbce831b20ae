// The vendor's D2XX library, loaded at run time and bound by function name (by ordinal in the
// 32-bit Windows build).
#pragma once

#include <memory>

#include "device/d2xx.h"
#include "device/vendor_library.h"

namespace zolt {

// The library's ordinary name, found through the normal search (LD_LIBRARY_PATH included; on
// Windows the program's directory, the system directories and PATH).
#ifdef _WIN32
inline constexpr char VendorLibraryName[] = "FTD2XX.dll";
#else
inline constexpr char VendorLibraryName[] = "libftd2xx.so";
#endif

// Loads `library` (a name for the normal search, or a path, UTF-8) and binds the nine functions.
// Null when the library is missing or any of the nine is not there.
std::unique_ptr<D2xxDriver> LoadVendorDriver(const char* library = VendorLibraryName);
// The same with a chosen way of binding (the tests bind a stand-in library both ways).
std::unique_ptr<D2xxDriver> LoadVendorDriver(const char* library, VendorBinding binding);

}  // namespace zolt
