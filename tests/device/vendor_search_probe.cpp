// Started by the vendor-driver tests in a process of its own, with an environment they choose:
// prints the driver the process chose, its device count, and the path of the vendor library the
// loader found ("-" when none is loaded), as "name|count|path".
#include <link.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "device/d2xx.h"
#include "device/vendor_driver.h"

namespace {

int NoteVendorLibrary(dl_phdr_info* info, size_t, void* data) {
    const std::string name = info->dlpi_name != nullptr ? info->dlpi_name : "";
    const std::string suffix = std::string("/") + zolt::VendorLibraryName;
    if (name.size() >= suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
        *static_cast<std::string*>(data) = name;
        return 1;
    }
    return 0;
}

}  // namespace

int main() {
    uint32_t count = 0;
    const zolt::FT_STATUS status = zolt::ProcessDriver().ListDevices(&count);
    std::string loaded = "-";
    dl_iterate_phdr(NoteVendorLibrary, &loaded);
    std::printf("%s|%u|%s\n", zolt::ProcessDriverName(), status == zolt::FT_OK ? count : 0u,
                loaded.c_str());
    return 0;
}
