// The null driver, built when libftdi1 is not available: it finds no device, and every call on a
// handle fails as on one it never gave out.
#include "device/libftdi_driver.h"

namespace zolt {
namespace {

class NullDriver final : public D2xxDriver {
  public:
    FT_STATUS ListDevices(uint32_t* count) override {
        if (count != nullptr) {
            *count = 0;
        }
        return FT_OK;
    }
    FT_STATUS OpenEx(const char*, FT_HANDLE*) override { return FT_DEVICE_NOT_FOUND; }
    FT_STATUS SetBaudRate(FT_HANDLE, uint32_t) override { return FT_INVALID_HANDLE; }
    FT_STATUS SetDataCharacteristics(FT_HANDLE, uint8_t, uint8_t, uint8_t) override {
        return FT_INVALID_HANDLE;
    }
    FT_STATUS SetLatencyTimer(FT_HANDLE, uint8_t) override { return FT_INVALID_HANDLE; }
    FT_STATUS Write(FT_HANDLE, const void*, uint32_t, uint32_t*) override {
        return FT_INVALID_HANDLE;
    }
    FT_STATUS GetStatus(FT_HANDLE, uint32_t*, uint32_t*, uint32_t*) override {
        return FT_INVALID_HANDLE;
    }
    FT_STATUS Read(FT_HANDLE, void*, uint32_t, uint32_t*) override { return FT_INVALID_HANDLE; }
    FT_STATUS Close(FT_HANDLE) override { return FT_INVALID_HANDLE; }
};

}  // namespace

std::unique_ptr<D2xxDriver> MakeLibftdiDriver() {
    return std::make_unique<NullDriver>();
}

}  // namespace zolt
