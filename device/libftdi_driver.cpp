// The driver calls on libftdi1. libftdi has no receive-queue count, so each open device has a
// reader thread that drains the chip into a bounded, locked queue; the status count is the queue's
// length and a read takes from it without waiting. The reader hands on every bulk IN transfer as
// it ends (libusb ends one at the chip's first short packet), so a reply reaches the queue when
// the chip sends it; libftdi's own read would wait for the next status-only packet, one latency
// period later; Close cancels the transfer under way instead of waiting for the chip's next
// packet. The kernel's serial driver is detached on open and reattached on close.
//
// One libusb context serves the process: the listing uses it and every device's libftdi context
// is given it. A device's description is read once per bus and address (reading it opens the
// device), so the back-to-back open attempts of the channel do not open every FTDI device on the
// bus again and again; a device plugged in again has a new address and is read again.
#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "device/libftdi_driver.h"
#include "device/libftdi_support.h"
#include "device/open_registry.h"
#include "log/log.h"

namespace zolt {
namespace {

constexpr int DescriptionSize = 256;
constexpr unsigned ReadTimeoutMs = 1000;  // well above the longest latency, 255 ms
constexpr int PacketsPerRead = 64;
constexpr uint16_t FtdiVendor = 0x0403;
constexpr uint16_t FtdiProducts[] = {0x6001, 0x6010, 0x6011, 0x6014, 0x6015};

struct FtdiDevice {
    std::string description;
    ftdi_context* context = nullptr;
    ReceiveQueue queue;
    std::atomic<bool> stop{false};
    std::atomic<bool> gone{false};  // unplugged: the handle is stale
    std::thread reader;
};

void LIBUSB_CALL OnTransferDone(libusb_transfer* transfer) {
    *static_cast<int*>(transfer->user_data) = 1;
}

// One bulk IN transfer into `buffer`, cancelled as soon as the device is to stop, so that Close
// does not wait for the chip's next packet. libusb's code for how it ended; `got` the bytes.
int ReadPackets(FtdiDevice* device, libusb_transfer* transfer, uint8_t* buffer, int size,
                int* got) {
    int completed = 0;
    libusb_fill_bulk_transfer(transfer, device->context->usb_dev,
                              static_cast<unsigned char>(device->context->out_ep), buffer, size,
                              OnTransferDone, &completed, ReadTimeoutMs);
    if (const int submitted = libusb_submit_transfer(transfer); submitted < 0) {
        *got = 0;
        return submitted;
    }
    bool cancelled = false;
    while (completed == 0) {
        timeval wait{0, 10'000};
        const int handled =
            libusb_handle_events_timeout_completed(device->context->usb_ctx, &wait, &completed);
        if ((handled < 0 && handled != LibusbErrorInterrupted) ||
            (device->stop.load(std::memory_order_relaxed) && !cancelled)) {
            libusb_cancel_transfer(transfer);  // it still ends through the callback
            cancelled = true;
        }
    }
    *got = transfer->actual_length;
    switch (transfer->status) {
        case LIBUSB_TRANSFER_COMPLETED:
            return 0;
        case LIBUSB_TRANSFER_TIMED_OUT:
            return LibusbErrorTimeout;
        case LIBUSB_TRANSFER_CANCELLED:
            return LibusbErrorInterrupted;
        case LIBUSB_TRANSFER_NO_DEVICE:
            return LibusbErrorNoDevice;
        case LIBUSB_TRANSFER_STALL:
            return LibusbErrorPipe;
        default:
            return LibusbErrorIo;
    }
}

void DrainChip(FtdiDevice* device) {
    const int packet = std::max(64, static_cast<int>(device->context->max_packet_size));
    std::vector<uint8_t> chunk(static_cast<std::size_t>(packet * PacketsPerRead));
    libusb_transfer* transfer = libusb_alloc_transfer(0);
    if (transfer == nullptr) {
        device->queue.Fail(FT_INSUFFICIENT_RESOURCES);
        return;
    }
    while (!device->stop.load(std::memory_order_relaxed)) {
        if (device->queue.Room() < chunk.size()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));  // the chip holds the rest
            continue;
        }
        int got = 0;
        const int result =
            ReadPackets(device, transfer, chunk.data(), static_cast<int>(chunk.size()), &got);
        if (got > 0) {
            AppendPacketData(device->queue,
                             std::span<const uint8_t>(chunk.data(), static_cast<std::size_t>(got)),
                             static_cast<std::size_t>(packet));
        }
        if (result == 0 || result == LibusbErrorTimeout || result == LibusbErrorInterrupted) {
            continue;
        }
        if (result == LibusbErrorNoDevice) {
            device->gone.store(true);
        }
        device->queue.Fail(MapTransferError(result));  // reads report it
        break;
    }
    libusb_free_transfer(transfer);
}

// The FTDI devices attached, as libusb lists them; the list holds a reference to each.
class UsbDeviceList {
  public:
    explicit UsbDeviceList(libusb_context* usb) {
        const ssize_t n = libusb_get_device_list(usb, &list_);
        for (ssize_t i = 0; i < n; ++i) {
            libusb_device_descriptor d{};
            if (libusb_get_device_descriptor(list_[i], &d) != 0 || d.idVendor != FtdiVendor) {
                continue;
            }
            if (std::find(std::begin(FtdiProducts), std::end(FtdiProducts), d.idProduct) !=
                std::end(FtdiProducts)) {
                devices_.push_back(list_[i]);
            }
        }
        ok_ = n >= 0;
    }
    ~UsbDeviceList() {
        if (list_ != nullptr) {
            libusb_free_device_list(list_, 1);
        }
    }
    UsbDeviceList(const UsbDeviceList&) = delete;
    UsbDeviceList& operator=(const UsbDeviceList&) = delete;

    bool Ok() const { return ok_; }
    const std::vector<libusb_device*>& Devices() const { return devices_; }

  private:
    libusb_device** list_ = nullptr;
    std::vector<libusb_device*> devices_;
    bool ok_ = false;
};

// A device's product string, or why it could not be read.
struct Description {
    std::optional<std::string> text;
    int error = 0;  // libusb's code when `text` is empty
};

Description ReadDescription(libusb_device* device) {
    libusb_device_descriptor d{};
    if (libusb_get_device_descriptor(device, &d) != 0) {
        return {std::nullopt, LibusbErrorIo};
    }
    libusb_device_handle* handle = nullptr;
    const int opened = libusb_open(device, &handle);
    if (opened != 0) {
        return {std::nullopt, opened};
    }
    unsigned char text[DescriptionSize] = {};
    const int n = d.iProduct == 0 ? LibusbErrorPipe
                                  : libusb_get_string_descriptor_ascii(handle, d.iProduct, text,
                                                                       DescriptionSize);
    libusb_close(handle);
    if (n < 0) {
        return {std::nullopt, n};
    }
    return {std::string(reinterpret_cast<const char*>(text),
                        strnlen(reinterpret_cast<const char*>(text), DescriptionSize)),
            0};
}

unsigned PlaceOf(libusb_device* device) {
    return static_cast<unsigned>(libusb_get_bus_number(device)) << 8 |
           libusb_get_device_address(device);
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
            spare_.push_back(device->context);
        }
        for (ftdi_context* context : spare_) {
            context->usb_ctx = nullptr;  // the shared one goes with the finder
            ftdi_free(context);
        }
        if (finder_ != nullptr) {
            ftdi_free(finder_);
        }
    }

    FT_STATUS ListDevices(uint32_t* count) override {
        if (count == nullptr) {
            return FT_INVALID_PARAMETER;
        }
        std::lock_guard lock(mutex_);
        if (!EnsureUsb()) {
            return FT_INSUFFICIENT_RESOURCES;
        }
        UsbDeviceList list(Usb());
        if (!list.Ok()) {
            return FT_IO_ERROR;
        }
        *count = static_cast<uint32_t>(list.Devices().size());
        return FT_OK;
    }

    bool ListDescriptions(std::vector<std::string>& descriptions) override {
        descriptions.clear();
        std::lock_guard lock(mutex_);
        if (!EnsureUsb()) {
            return false;
        }
        UsbDeviceList list(Usb());
        for (const Description& d : DescribeLocked(list)) {
            if (d.text) {
                descriptions.push_back(*d.text);
            } else if (d.error == LibusbErrorAccess) {
                descriptions.emplace_back("(description not readable: permission denied)");
            } else {
                descriptions.emplace_back("(description not readable)");
            }
        }
        return list.Ok();
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
        if (FT_HANDLE held = open_.Find(description)) {
            if (!static_cast<FtdiDevice*>(held)->gone.load()) {
                *handle = held;  // already held by this process
                return FT_OK;
            }
            open_.Remove(held);  // unplugged: stale until closed; look for the device again
        }
        if (!EnsureUsb()) {
            return FT_INSUFFICIENT_RESOURCES;
        }
        UsbDeviceList list(Usb());
        const std::vector<Description> described = DescribeLocked(list);
        std::vector<std::optional<std::string>> texts;
        bool accessDenied = false;
        for (const Description& d : described) {
            texts.push_back(d.text);
            accessDenied = accessDenied || d.error == LibusbErrorAccess;
        }
        const auto match = FindDescription(texts, description);
        if (!match) {
            if (!accessDenied) {
                return FT_DEVICE_NOT_FOUND;
            }
            // An FTDI device whose strings this user may not read is most likely the interface.
            lastOpenProblem_ = OpenProblem::Permission;
            LogOpenFailureOnce(LibusbErrorAccess,
                               "permission denied: an FTDI device's description cannot be read "
                               "(install the udev rule, then replug)");
            return FT_DEVICE_NOT_OPENED;
        }

        auto device = std::make_unique<FtdiDevice>();
        device->description = description;
        device->context = TakeContext();
        if (device->context == nullptr) {
            return FT_INSUFFICIENT_RESOURCES;
        }
        device->context->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
        const int opened = ftdi_usb_open_dev(device->context, list.Devices()[*match]);
        if (opened < 0) {
            lastOpenProblem_ = OpenProblemOf(opened);
            const char* text = ftdi_get_error_string(device->context);
            LogOpenFailureOnce(opened, text != nullptr ? text : "");
            spare_.push_back(device->context);
            return MapOpenError(opened);
        }
        lastOpenProblem_ = OpenProblem::None;
        device->reader = std::thread(DrainChip, device.get());
        *handle = device.get();
        open_.Add(description, device.get());
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
        return MapBaudRateError(ftdi_set_baudrate(device->context, static_cast<int>(baud)));
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
        return MapLineError(
            ftdi_set_line_property(device->context, ftdiBits, ftdiStop, ftdiParity));
    }

    FT_STATUS SetLatencyTimer(FT_HANDLE handle, uint8_t ms) override {
        FtdiDevice* device = Find(handle);
        if (device == nullptr) {
            return FT_INVALID_HANDLE;
        }
        return MapLatencyError(ftdi_set_latency_timer(device->context, LibftdiLatency(ms)));
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
                return MapWriteError(n);
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
            open_.Remove(handle);
        }
        const FT_STATUS status = Shut(*device);
        std::lock_guard lock(mutex_);
        spare_.push_back(device->context);
        return status;
    }

  private:
    // The process's libusb context comes with the first libftdi context, the finder's.
    bool EnsureUsb() {
        if (finder_ == nullptr) {
            finder_ = ftdi_new();
        }
        return finder_ != nullptr && finder_->usb_ctx != nullptr;
    }
    libusb_context* Usb() const { return finder_->usb_ctx; }

    // A libftdi context on the shared libusb context: a spare one, or a new one whose own libusb
    // context is given up.
    ftdi_context* TakeContext() {
        if (!spare_.empty()) {
            ftdi_context* context = spare_.back();
            spare_.pop_back();
            return context;
        }
        ftdi_context* context = ftdi_new();
        if (context == nullptr) {
            return nullptr;
        }
        if (context->usb_ctx != nullptr) {
            libusb_exit(context->usb_ctx);
        }
        context->usb_ctx = Usb();
        return context;
    }

    // The descriptions of the listed devices, each read once per bus and address.
    std::vector<Description> DescribeLocked(const UsbDeviceList& list) {
        std::vector<Description> out;
        std::map<unsigned, Description> still;
        for (libusb_device* device : list.Devices()) {
            const unsigned place = PlaceOf(device);
            auto known = described_.find(place);
            Description d = known != described_.end() ? known->second : ReadDescription(device);
            still[place] = d;
            out.push_back(std::move(d));
        }
        described_.swap(still);  // devices gone are forgotten: their address may come again
        return out;
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
        return closed < 0 ? FT_IO_ERROR : FT_OK;
    }

    // The open loop retries for seconds; one line per kind of failure is enough.
    void LogOpenFailureOnce(int code, const char* text) {
        if (!loggedOpenErrors_.insert(code).second) {
            return;
        }
        WriteLog(u"libftdi1: open failed: " + IntToText(code) + u" " + WidenAscii(text));
    }

    mutable std::mutex mutex_;
    ftdi_context* finder_ = nullptr;
    std::vector<ftdi_context*> spare_;
    OpenProblem lastOpenProblem_ = OpenProblem::None;
    std::vector<std::unique_ptr<FtdiDevice>> devices_;
    OpenRegistry open_;
    std::map<unsigned, Description> described_;
    std::set<int> loggedOpenErrors_;
};

}  // namespace

std::unique_ptr<D2xxDriver> MakeLibftdiDriver() {
    return std::make_unique<LibftdiDriver>();
}

}  // namespace zolt
