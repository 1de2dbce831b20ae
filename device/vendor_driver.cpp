#include "device/vendor_driver.h"

#include <mutex>

#include "device/open_registry.h"
#include "device/vendor_library.h"

namespace zolt {
namespace {

class VendorDriver final : public D2xxDriver {
  public:
    VendorDriver(void* library, const VendorFunctions& functions)
        : library_(library), fn_(functions) {}

    ~VendorDriver() override {
        // Never unload the library while one of its devices is open.
        std::lock_guard lock(mutex_);
        if (open_.Empty()) {
            CloseVendorLibrary(library_);
        }
    }

    FT_STATUS ListDevices(uint32_t* count) override {
        if (count == nullptr) {
            return FT_INVALID_PARAMETER;
        }
        return fn_.listDevices(count, nullptr, FT_LIST_NUMBER_ONLY);
    }

    FT_STATUS OpenEx(const char* description, FT_HANDLE* handle) override {
        if (description == nullptr || handle == nullptr) {
            return FT_INVALID_PARAMETER;
        }
        std::lock_guard lock(mutex_);
        // The library refuses a second open of a device; we hand back the one we hold.
        if (FT_HANDLE held = open_.Find(description)) {
            *handle = held;
            return FT_OK;
        }
        FT_HANDLE opened = nullptr;
        const FT_STATUS status =
            fn_.openEx(const_cast<char*>(description), FT_OPEN_BY_DESCRIPTION, &opened);
        if (status == FT_OK) {
            open_.Add(description, opened);
            *handle = opened;
        }
        return status;
    }

    FT_STATUS SetBaudRate(FT_HANDLE handle, uint32_t baud) override {
        return fn_.setBaudRate(handle, baud);
    }

    FT_STATUS SetDataCharacteristics(FT_HANDLE handle, uint8_t bits, uint8_t stop,
                                     uint8_t parity) override {
        return fn_.setDataCharacteristics(handle, bits, stop, parity);
    }

    FT_STATUS SetLatencyTimer(FT_HANDLE handle, uint8_t ms) override {
        return fn_.setLatencyTimer(handle, ms);
    }

    FT_STATUS Write(FT_HANDLE handle, const void* data, uint32_t size, uint32_t* written) override {
        uint32_t ignored = 0;
        // The library takes a non-const buffer but only reads it.
        return fn_.write(handle, const_cast<void*>(data), size,
                         written != nullptr ? written : &ignored);
    }

    FT_STATUS GetStatus(FT_HANDLE handle, uint32_t* rx, uint32_t* tx, uint32_t* event) override {
        uint32_t rxLocal = 0;
        uint32_t txLocal = 0;
        uint32_t eventLocal = 0;
        const FT_STATUS status = fn_.getStatus(handle, &rxLocal, &txLocal, &eventLocal);
        if (rx != nullptr) {
            *rx = rxLocal;
        }
        if (tx != nullptr) {
            *tx = txLocal;
        }
        if (event != nullptr) {
            *event = eventLocal;
        }
        return status;
    }

    FT_STATUS Read(FT_HANDLE handle, void* data, uint32_t size, uint32_t* returned) override {
        uint32_t ignored = 0;
        return fn_.read(handle, data, size, returned != nullptr ? returned : &ignored);
    }

    FT_STATUS Close(FT_HANDLE handle) override {
        std::lock_guard lock(mutex_);
        open_.Remove(handle);
        return fn_.close(handle);
    }

  private:
    void* library_;
    VendorFunctions fn_;
    std::mutex mutex_;
    OpenRegistry open_;
};

}  // namespace

std::unique_ptr<D2xxDriver> LoadVendorDriver(const char* library) {
    return LoadVendorDriver(library, DefaultVendorBinding());
}

std::unique_ptr<D2xxDriver> LoadVendorDriver(const char* library, VendorBinding binding) {
    void* handle = OpenVendorLibrary(library);
    if (handle == nullptr) {
        return nullptr;
    }
    VendorFunctions fn;
    if (!BindVendorFunctions(handle, binding, fn)) {
        CloseVendorLibrary(handle);
        return nullptr;
    }
    return std::make_unique<VendorDriver>(handle, fn);
}

}  // namespace zolt
