#include "device/d2xx.h"

#include <memory>

#include "device/libftdi_driver.h"
#include "device/vendor_driver.h"

namespace zolt {
namespace {

struct ChosenDriver {
    std::unique_ptr<D2xxDriver> driver;
    const char* name = nullptr;
};

ChosenDriver& Chosen() {
    static ChosenDriver chosen = [] {
        ChosenDriver c;
        c.driver = LoadVendorDriver(VendorLibraryName);
        if (c.driver) {
            c.name = "vendor D2XX library";
        } else {
            c.driver = MakeLibftdiDriver();
#ifdef _WIN32
            c.name = "none (FTD2XX.dll not found)";  // no device is ever found
#else
            c.name = "libftdi1";
#endif
        }
        return c;
    }();
    return chosen;
}

}  // namespace

D2xxDriver& ProcessDriver() {
    return *Chosen().driver;
}

const char* ProcessDriverName() {
    return Chosen().name;
}

}  // namespace zolt
