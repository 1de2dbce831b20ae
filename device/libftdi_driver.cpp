// The driver calls on libftdi1. libftdi has no receive-queue count, so each open device has a
// reader thread that drains the chip into a locked queue; the status count is the queue's length
// and a read takes from it without waiting. The kernel's serial driver is detached on open and
// reattached on close.
#include <ftdi.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "device/libftdi_driver.h"
#include "device/libftdi_support.h"
#include "log/log.h"

namespace zolt {
namespace {

constexpr int ReadChunkSize = 4096;
constexpr int DescriptionSize = 256;

struct FtdiDevice {
    std::string description;
    ftdi_context* context = nullptr;
    ReceiveQueue queue;
    std::atomic<bool> stop{false};
    std::thread reader;
    uint8_t chunk[ReadChunkSize] = {};
};

void DrainChip(FtdiDevice* device) {
    while (!device->stop.load(std::memory_order_relaxed)) {
        const int n = ftdi_read_data(device->context, device->chunk, ReadChunkSize);
        if (n > 0) {
            device->queue.Append(std::span<const uint8_t>(device->chunk, static_cast<size_t>(n)));
        } else if (n < 0 && n != UsbErrorTimeout) {
            device->queue.Fail(MapTransferError(n));  // unplugged or broken: reads report it
            return;
        }
    }
}

class LibftdiDriver final : public D2xxDriver {
  public:
    ~LibftdiDriver() override {
        std::vector<std::unique_ptr<FtdiDevice>> devices;
        {
            std::lock_guard lock(mutex_);
            devices.swap(devices_);
        }
        for (auto& device : devices) {
            Shut(*device);
        }
        if (scratch_ != nullptr) {
            ftdi_free(scratch_);
        }
    }

    FT_STATUS ListDevices(uint32_t* count) override {
        if (count == nullptr) {
            return FT_INVALID_PARAMETER;
        }
        std::lock_guard lock(mutex_);
        if (!EnsureScratch()) {
            return FT_INSUFFICIENT_RESOURCES;
        }
        ftdi_device_list* list = nullptr;
        const int found = ftdi_usb_find_all(scratch_, &list, 0, 0);
        ftdi_list_free(&list);
        if (found < 0) {
            return FT_IO_ERROR;
        }
        *count = static_cast<uint32_t>(found);
        return FT_OK;
    }

    bool ListDescriptions(std::vector<std::string>& descriptions) override {
        descriptions.clear();
        std::lock_guard lock(mutex_);
        if (!EnsureScratch()) {
            return false;
        }
        ftdi_device_list* list = nullptr;
        const int found = ftdi_usb_find_all(scratch_, &list, 0, 0);
        std::vector<libusb_device*> usbDevices;
        for (ftdi_device_list* node = found > 0 ? list : nullptr; node != nullptr;
             node = node->next) {
            usbDevices.push_back(node->dev);
        }
        for (libusb_device* dev : usbDevices) {
            char text[DescriptionSize] = {};
            if (ftdi_usb_get_strings(scratch_, dev, nullptr, 0, text, DescriptionSize, nullptr,
                                     0) == 0) {
                descriptions.emplace_back(text, strnlen(text, DescriptionSize));
            } else {
                descriptions.emplace_back("(description not readable)");
            }
        }
        ftdi_list_free(&list);
        return found >= 0;
    }

    OpenProblem LastOpenProblem() const override {
        std::lock_guard lock(mutex_);
        return lastOpenProblem_;
    }

    FT_STATUS OpenEx(const char* description, FT_HANDLE* handle) override {
        if (description == nullptr || handle == nullptr) {
            return FT_INVALID_PARAMETER;
        }
        std::lock_guard lock(mutex_);
        for (const auto& device : devices_) {
            if (device->description == description) {
                *handle = device.get();  // already held by this process
                return FT_OK;
            }
        }
        if (!EnsureScratch()) {
            return FT_INSUFFICIENT_RESOURCES;
        }
        auto device = std::make_unique<FtdiDevice>();
        device->description = description;
        device->context = ftdi_new();
        if (device->context == nullptr) {
            return FT_INSUFFICIENT_RESOURCES;
        }
        device->context->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;

        // List on the device's own context, read each device's strings through the scratch
        // context (reading them closes the context's USB handle), open the match.
        ftdi_device_list* list = nullptr;
        const int found = ftdi_usb_find_all(device->context, &list, 0, 0);
        std::vector<libusb_device*> usbDevices;
        std::vector<std::optional<std::string>> descriptions;
        for (ftdi_device_list* node = found > 0 ? list : nullptr; node != nullptr;
             node = node->next) {
            char text[DescriptionSize] = {};
            usbDevices.push_back(node->dev);
            if (ftdi_usb_get_strings(scratch_, node->dev, nullptr, 0, text, DescriptionSize,
                                     nullptr, 0) == 0) {
                descriptions.emplace_back(std::string(text, strnlen(text, DescriptionSize)));
            } else {
                descriptions.emplace_back(std::nullopt);
            }
        }
        const auto match = FindDescription(descriptions, description);
        int opened = -1;
        if (match) {
            opened = ftdi_usb_open_dev(device->context, usbDevices[*match]);
        }
        ftdi_list_free(&list);
        if (!match) {
            ftdi_free(device->context);
            return FT_DEVICE_NOT_FOUND;
        }
        if (opened < 0) {
            lastOpenProblem_ = OpenProblemOf(opened);
            LogOpenFailureOnce(opened, device->context);
            ftdi_free(device->context);
            return MapOpenError(opened);
        }

        device->reader = std::thread(DrainChip, device.get());
        *handle = device.get();
        devices_.push_back(std::move(device));
        return FT_OK;
    }

    FT_STATUS SetBaudRate(FT_HANDLE handle, uint32_t baud) override {
        FtdiDevice* device = Find(handle);
        if (device == nullptr) {
            return FT_INVALID_HANDLE;
        }
        if (baud > INT_MAX) {
            return FT_INVALID_PARAMETER;
        }
        switch (ftdi_set_baudrate(device->context, static_cast<int>(baud))) {
            case 0:
                return FT_OK;
            case -1:
                return FT_INVALID_PARAMETER;  // not achievable
            case -3:
                return FT_DEVICE_NOT_OPENED;
            default:
                return FT_IO_ERROR;
        }
    }

    FT_STATUS SetDataCharacteristics(FT_HANDLE handle, uint8_t bits, uint8_t stop,
                                     uint8_t parity) override {
        FtdiDevice* device = Find(handle);
        if (device == nullptr) {
            return FT_INVALID_HANDLE;
        }
        if ((bits != FT_BITS_7 && bits != FT_BITS_8) ||
            (stop != FT_STOP_BITS_1 && stop != FT_STOP_BITS_2) || parity > FT_PARITY_SPACE) {
            return FT_INVALID_PARAMETER;
        }
        const auto ftdiBits = bits == FT_BITS_7 ? BITS_7 : BITS_8;
        const auto ftdiStop = stop == FT_STOP_BITS_2 ? STOP_BIT_2 : STOP_BIT_1;
        const auto ftdiParity = static_cast<ftdi_parity_type>(parity);  // same numbering
        return ftdi_set_line_property(device->context, ftdiBits, ftdiStop, ftdiParity) < 0
                   ? FT_IO_ERROR
                   : FT_OK;
    }

    FT_STATUS SetLatencyTimer(FT_HANDLE handle, uint8_t ms) override {
        FtdiDevice* device = Find(handle);
        if (device == nullptr) {
            return FT_INVALID_HANDLE;
        }
        return ftdi_set_latency_timer(device->context, LibftdiLatency(ms)) < 0 ? FT_IO_ERROR
                                                                               : FT_OK;
    }

    FT_STATUS Write(FT_HANDLE handle, const void* data, uint32_t size, uint32_t* written) override {
        FtdiDevice* device = Find(handle);
        if (written != nullptr) {
            *written = 0;
        }
        if (device == nullptr) {
            return FT_INVALID_HANDLE;
        }
        if (data == nullptr && size > 0) {
            return FT_INVALID_PARAMETER;
        }
        const auto* bytes = static_cast<const unsigned char*>(data);
        uint32_t done = 0;
        while (done < size) {
            const int piece = static_cast<int>(std::min<uint32_t>(size - done, 1u << 20));
            const int n = ftdi_write_data(device->context, bytes + done, piece);
            if (n < 0) {
                return MapTransferError(n);
            }
            if (n == 0) {
                return FT_IO_ERROR;
            }
            done += static_cast<uint32_t>(n);
            if (written != nullptr) {
                *written = done;
            }
        }
        return FT_OK;
    }

    FT_STATUS GetStatus(FT_HANDLE handle, uint32_t* rx, uint32_t* tx, uint32_t* event) override {
        FtdiDevice* device = Find(handle);
        if (device == nullptr) {
            return FT_INVALID_HANDLE;
        }
        const std::size_t queued = device->queue.Size();
        if (rx != nullptr) {
            *rx = static_cast<uint32_t>(std::min<std::size_t>(queued, UINT32_MAX));
        }
        if (tx != nullptr) {
            *tx = 0;
        }
        if (event != nullptr) {
            *event = 0;
        }
        return queued == 0 ? device->queue.Failure() : FT_OK;
    }

    FT_STATUS Read(FT_HANDLE handle, void* data, uint32_t size, uint32_t* returned) override {
        FtdiDevice* device = Find(handle);
        if (returned != nullptr) {
            *returned = 0;
        }
        if (device == nullptr) {
            return FT_INVALID_HANDLE;
        }
        if (data == nullptr && size > 0) {
            return FT_INVALID_PARAMETER;
        }
        const std::size_t taken = device->queue.Take(static_cast<uint8_t*>(data), size);
        if (returned != nullptr) {
            *returned = static_cast<uint32_t>(taken);
        }
        return taken == 0 && size > 0 ? device->queue.Failure() : FT_OK;
    }

    FT_STATUS Close(FT_HANDLE handle) override {
        std::unique_ptr<FtdiDevice> device;
        {
            std::lock_guard lock(mutex_);
            auto it = std::find_if(devices_.begin(), devices_.end(),
                                   [&](const auto& held) { return held.get() == handle; });
            if (it == devices_.end()) {
                return FT_INVALID_HANDLE;
            }
            device = std::move(*it);
            devices_.erase(it);
        }
        return Shut(*device);
    }

  private:
    bool EnsureScratch() {
        if (scratch_ == nullptr) {
            scratch_ = ftdi_new();
        }
        return scratch_ != nullptr;
    }

    FtdiDevice* Find(FT_HANDLE handle) {
        std::lock_guard lock(mutex_);
        for (const auto& device : devices_) {
            if (device.get() == handle) {
                return device.get();
            }
        }
        return nullptr;
    }

    // Stops the reader, then closes: the kernel's serial driver is reattached here.
    static FT_STATUS Shut(FtdiDevice& device) {
        device.stop.store(true, std::memory_order_relaxed);
        if (device.reader.joinable()) {
            device.reader.join();
        }
        const int closed = ftdi_usb_close(device.context);  // fails after an unplug; harmless
        ftdi_free(device.context);
        device.context = nullptr;
        return closed < 0 ? FT_IO_ERROR : FT_OK;
    }

    // The open loop retries for seconds; one line per kind of failure is enough.
    void LogOpenFailureOnce(int code, ftdi_context* context) {
        if (!loggedOpenErrors_.insert(code).second) {
            return;
        }
        const char* text = ftdi_get_error_string(context);
        WriteLog(u"libftdi1: open failed: " + IntToText(code) + u" " +
                 WidenAscii(text != nullptr ? text : ""));
    }

    mutable std::mutex mutex_;
    ftdi_context* scratch_ = nullptr;
    OpenProblem lastOpenProblem_ = OpenProblem::None;
    std::vector<std::unique_ptr<FtdiDevice>> devices_;
    std::set<int> loggedOpenErrors_;
};

}  // namespace

std::unique_ptr<D2xxDriver> MakeLibftdiDriver() {
    return std::make_unique<LibftdiDriver>();
}

}  // namespace zolt
