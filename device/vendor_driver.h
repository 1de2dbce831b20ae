// The vendor's D2XX shared library, loaded at run time and bound by function name.
#pragma once

#include <memory>

#include "device/d2xx.h"

namespace zolt {

// The library's ordinary name, found through the normal search (LD_LIBRARY_PATH included).
inline constexpr char VendorLibraryName[] = "libftd2xx.so";

// Loads `library` (a name for the normal search, or a path) and binds the nine functions. Null when
// the library is missing or any of the nine is not there.
std::unique_ptr<D2xxDriver> LoadVendorDriver(const char* library = VendorLibraryName);

}  // namespace zolt
