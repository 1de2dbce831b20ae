#include <dlfcn.h>

#include "device/vendor_library.h"

namespace zolt {
namespace {

template <typename Fn>
bool Bind(void* library, const char* name, Fn& function) {
    function = reinterpret_cast<Fn>(dlsym(library, name));
    return function != nullptr;
}

}  // namespace

VendorBinding DefaultVendorBinding() {
    return VendorBinding::ByName;
}

void* OpenVendorLibrary(const char* library) {
    return library == nullptr ? nullptr : dlopen(library, RTLD_NOW | RTLD_LOCAL);
}

void CloseVendorLibrary(void* library) {
    if (library != nullptr) {
        dlclose(library);
    }
}

bool BindVendorFunctions(void* library, VendorBinding binding, VendorFunctions& fn) {
    if (binding != VendorBinding::ByName) {
        return false;  // shared objects have no ordinals
    }
    return Bind(library, "FT_ListDevices", fn.listDevices) &&
           Bind(library, "FT_OpenEx", fn.openEx) &&
           Bind(library, "FT_SetBaudRate", fn.setBaudRate) &&
           Bind(library, "FT_SetDataCharacteristics", fn.setDataCharacteristics) &&
           Bind(library, "FT_SetLatencyTimer", fn.setLatencyTimer) &&
           Bind(library, "FT_Write", fn.write) && Bind(library, "FT_GetStatus", fn.getStatus) &&
           Bind(library, "FT_Read", fn.read) && Bind(library, "FT_Close", fn.close);
}

}  // namespace zolt
