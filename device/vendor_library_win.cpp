#include <windows.h>

#include "device/vendor_library.h"
#include "platform/win_text.h"

namespace zolt {
namespace {

// One function, by name or by ordinal. The system hands back a generic function pointer; it goes
// through void (*)() on its way to the real type.
template <typename Fn>
bool Bind(HMODULE library, VendorBinding binding, const char* name, uint16_t ordinal,
          Fn& function) {
    const FARPROC found = binding == VendorBinding::ByOrdinal
                              ? ::GetProcAddress(library, MAKEINTRESOURCEA(ordinal))
                              : ::GetProcAddress(library, name);
    function = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(found));
    return function != nullptr;
}

}  // namespace

VendorBinding DefaultVendorBinding() {
#ifdef _WIN64
    return VendorBinding::ByName;
#else
    return VendorBinding::ByOrdinal;
#endif
}

void* OpenVendorLibrary(const char* library) {
    if (library == nullptr) {
        return nullptr;
    }
    const std::wstring name = ToSystemWide(FromUtf8(library));
    return ::LoadLibraryW(name.c_str());
}

void CloseVendorLibrary(void* library) {
    if (library != nullptr) {
        ::FreeLibrary(static_cast<HMODULE>(library));
    }
}

bool BindVendorFunctions(void* library, VendorBinding b, VendorFunctions& fn) {
    auto* h = static_cast<HMODULE>(library);
    using O = VendorOrdinals;
    return Bind(h, b, "FT_ListDevices", O::ListDevices, fn.listDevices) &&
           Bind(h, b, "FT_OpenEx", O::OpenEx, fn.openEx) &&
           Bind(h, b, "FT_SetBaudRate", O::SetBaudRate, fn.setBaudRate) &&
           Bind(h, b, "FT_SetDataCharacteristics", O::SetDataCharacteristics,
                fn.setDataCharacteristics) &&
           Bind(h, b, "FT_SetLatencyTimer", O::SetLatencyTimer, fn.setLatencyTimer) &&
           Bind(h, b, "FT_Write", O::Write, fn.write) &&
           Bind(h, b, "FT_GetStatus", O::GetStatus, fn.getStatus) &&
           Bind(h, b, "FT_Read", O::Read, fn.read) && Bind(h, b, "FT_Close", O::Close, fn.close);
}

}  // namespace zolt
