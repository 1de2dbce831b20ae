#include "tests/usb/emulated_ftdi_chip.h"

#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <thread>

#include "platform/precise_time.h"
#include "tests/usb/usb_interpose.h"

// The kernel's usbfs structures; the header uses a zero-length array.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#pragma GCC diagnostic pop

namespace zolt::testing {

using Steady = std::chrono::steady_clock;

namespace {

constexpr uint16_t FtdiVendor = 0x0403;
constexpr uint8_t InEndpoint = 0x81, OutEndpoint = 0x02;
constexpr std::size_t PacketSize = 64, StatusBytes = 2, PacketData = PacketSize - StatusBytes;
constexpr std::size_t ChipFifoSize = 256;  // the chip's buffer towards the host
constexpr uint8_t ModemStatus0 = 0x01, ModemStatus1 = 0x60;

// Vendor requests of the chip.
enum : uint8_t {
    SioReset = 0,
    SioModemControl = 1,
    SioFlowControl = 2,
    SioBaudRate = 3,
    SioData = 4,
    SioPollModemStatus = 5,
    SioSetLatency = 9,
    SioGetLatency = 10,
    SioSetBitmode = 11,
    SioReadEeprom = 0x90,
};

}  // namespace

struct EmulatedFtdiChip::Urb {
    UMockdevIoctlData* data = nullptr;  // the usbdevfs_urb, its buffer resolved
    UMockdevIoctlData* buffer = nullptr;
    std::size_t filled = 0;  // bulk IN: bytes placed so far
    int status = 0;
    int actual = 0;

    usbdevfs_urb* Struct() const { return reinterpret_cast<usbdevfs_urb*>(data->data); }
    ~Urb() {
        if (buffer != nullptr) {
            g_object_unref(buffer);
        }
        if (data != nullptr) {
            g_object_unref(data);
        }
    }
};

namespace {

// Hands a finished transfer back through a reap request.
void CompleteReap(UMockdevIoctlClient* client, UMockdevIoctlData* arg,
                  const std::shared_ptr<EmulatedFtdiChip::Urb>& urb) {
    urb->Struct()->status = urb->status;
    urb->Struct()->actual_length = urb->actual;
    UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
    umockdev_ioctl_data_set_ptr(slot, 0, urb->data);
    g_object_unref(slot);
    umockdev_ioctl_client_complete(client, 0, 0);
}

// The handler object of one plug-in: a chip plugged in again answers under a new address with a
// new handler, while the old one answers ENODEV.
struct PlugHandler {
    EmulatedFtdiChip* chip = nullptr;
    UMockdevIoctlBase* base = nullptr;
    std::mutex mutex;
    bool current = true;
    // Transfers of the old device file, ended with ENODEV, still to be reaped once replaced.
    std::deque<std::shared_ptr<EmulatedFtdiChip::Urb>> leftovers;
};

void Put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v & 0xFF));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string out;
    char two[3];
    for (uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02x", b);
        out += two;
    }
    return out;
}

}  // namespace

UsbIdentity ForeignAdapter() {
    UsbIdentity identity;
    identity.productId = 0x6015;
    identity.bcdDevice = 0x1000;
    identity.product = "FT230X Basic UART";
    identity.serial = "DQ00XY12";
    return identity;
}

namespace {

gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    auto* plug = static_cast<PlugHandler*>(user);
    std::unique_lock lock(plug->mutex);
    if (!plug->current) {
        const gulong request = umockdev_ioctl_client_get_request(client);
        if (request != USBDEVFS_REAPURBNDELAY && request != USBDEVFS_REAPURB) {
            lock.unlock();
            umockdev_ioctl_client_complete(client, -1, ENODEV);
        } else if (plug->leftovers.empty()) {
            lock.unlock();
            umockdev_ioctl_client_complete(client, -1, EAGAIN);
        } else {
            auto urb = plug->leftovers.front();
            plug->leftovers.pop_front();
            lock.unlock();
            CompleteReap(client, umockdev_ioctl_client_get_arg(client), urb);
        }
        return TRUE;
    }
    lock.unlock();
    return plug->chip->HandleIoctl(client) ? TRUE : FALSE;
}

std::vector<PlugHandler*>& Handlers() {
    static std::vector<PlugHandler*> handlers;  // released with the bus
    return handlers;
}

}  // namespace

EmulatedFtdiChip::EmulatedFtdiChip(UsbBus& bus, UsbIdentity identity,
                                   std::optional<sim::SimulatedInterfaceOptions> model)
    : bus_(bus), identity_(std::move(identity)) {
    if (model) {
        model->description = identity_.product;
        model->attached = true;
        model->timing = sim::Timing::LineRate;
        model->fineTime = &SystemPreciseTime();
        model_ = std::make_unique<sim::SimulatedInterface>(SystemClock(), std::move(*model));
        model_->OpenEx(identity_.product.c_str(), &modelHandle_);
    }
}

EmulatedFtdiChip::~EmulatedFtdiChip() {
    if (remover_.joinable()) {
        remover_.join();
    }
    if (model_ && modelHandle_ != nullptr) {
        model_->Close(modelHandle_);
    }
}

std::string EmulatedFtdiChip::NodePath() const {
    char path[32];
    std::snprintf(path, sizeof path, "/dev/bus/usb/001/%03u", address_);
    return path;
}

std::string EmulatedFtdiChip::SysPath() const {
    return "/sys/devices/usb1/1-" + std::to_string(port_);
}

std::vector<uint8_t> EmulatedFtdiChip::Descriptors() const {
    std::vector<uint8_t> d = {18, 1, 0x00, 0x02, 0, 0, 0, 8};  // USB 2.0, control packets of 8
    Put16(d, FtdiVendor);
    Put16(d, identity_.productId);
    Put16(d, identity_.bcdDevice);
    d.insert(d.end(), {1, 2, 3, 1});  // strings: manufacturer, product, serial; one configuration
    const std::vector<uint8_t> config = {9,  2, 32,          0, 1,          1,    0,    0xA0,
                                         45,  // one interface, bus powered, 90 mA
                                         9,  4, 0,           0, 2,          0xFF, 0xFF, 0xFF,
                                         2,  // vendor-specific, two endpoints
                                         7,  5, InEndpoint,  2, PacketSize, 0,    0,   // bulk IN
                                         7,  5, OutEndpoint, 2, PacketSize, 0,    0};  // bulk OUT
    d.insert(d.end(), config.begin(), config.end());
    return d;
}

std::vector<uint8_t> EmulatedFtdiChip::StringDescriptor(uint8_t index) const {
    if (index == 0) {
        return {4, 3, 0x09, 0x04};  // English (US)
    }
    const std::string* text = index == 1   ? &identity_.manufacturer
                              : index == 2 ? &identity_.product
                              : index == 3 ? &identity_.serial
                                           : nullptr;
    if (text == nullptr) {
        return {};
    }
    std::vector<uint8_t> d = {static_cast<uint8_t>(2 + 2 * text->size()), 3};
    for (char c : *text) {
        d.push_back(static_cast<uint8_t>(c));
        d.push_back(0);
    }
    return d;
}

void EmulatedFtdiChip::Plug() {
    auto* testbed = static_cast<UMockdevTestbed*>(bus_.Testbed());
    std::string node, text;
    {
        std::lock_guard lock(mutex_);
        if (plugged_) {
            return;
        }
        if (model_ && address_ != 0) {  // plugged in again: the interface starts afresh
            model_->Close(modelHandle_);
            model_->OpenEx(identity_.product.c_str(), &modelHandle_);
        }
        if (handler_ != nullptr) {  // the old device file keeps what it has not reaped
            auto* old = static_cast<PlugHandler*>(handler_);
            std::lock_guard oldLock(old->mutex);
            old->current = false;
            old->leftovers.insert(old->leftovers.end(), done_.begin(), done_.end());
        }
        address_ = bus_.NextAddress();
        port_ = bus_.NextPort();
        plugged_ = true;
        kernelDriver_ = true;
        claimed_ = false;
        latency_ = 16;
        fifo_.clear();
        done_.clear();
        bulkIn_.clear();
        node = NodePath();
        char props[512];
        std::snprintf(props, sizeof props,
                      "P: %s\nN: %s\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n"
                      "E: DEVNAME=%s\nE: BUSNUM=001\nE: DEVNUM=%03u\nE: ID_VENDOR_ID=0403\n"
                      "A: busnum=1\\n\nA: devnum=%u\\n\nA: bConfigurationValue=1\\n\n"
                      "A: speed=12\\n\nA: idVendor=0403\\n\nA: idProduct=%04x\\n\n",
                      SysPath().substr(4).c_str(), node.substr(5).c_str(), node.c_str(), address_,
                      address_, identity_.productId);
        text = std::string(props) + "H: descriptors=" + Hex(Descriptors()) + "\n";
    }
    DenyDeviceFile(node, accessDenied_);
    auto* plug = new PlugHandler;
    plug->chip = this;
    plug->base = umockdev_ioctl_base_new();
    Handlers().push_back(plug);
    g_signal_connect_after(plug->base, "handle-ioctl", G_CALLBACK(OnIoctl), plug);
    {
        std::lock_guard lock(mutex_);
        handler_ = plug;
    }
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed, node.c_str(), plug->base, &error)) {
        std::fprintf(stderr, "attach_ioctl %s: %s\n", node.c_str(), error ? error->message : "");
        g_clear_error(&error);
    }
    if (!umockdev_testbed_add_from_string(testbed, text.c_str(), &error)) {
        std::fprintf(stderr, "add_from_string: %s\n", error ? error->message : "");
        g_clear_error(&error);
    }
}

void EmulatedFtdiChip::UnplugLocked() {
    plugged_ = false;
    // What was in flight ends as the kernel ends it when the device goes.
    for (auto& urb : bulkIn_) {
        urb->status = -ENODEV;
        urb->actual = static_cast<int>(urb->filled);
        done_.push_back(urb);
    }
    bulkIn_.clear();
}

void EmulatedFtdiChip::Unplug() {
    std::string sys;
    {
        std::lock_guard lock(mutex_);
        if (plugged_) {
            UnplugLocked();
        }
        if (unplugPending_ || address_ == 0) {
            return;
        }
        unplugPending_ = true;
        sys = SysPath();
    }
    auto* testbed = static_cast<UMockdevTestbed*>(bus_.Testbed());
    // The remove event takes it off libusb's list. The entry itself stays: removing it would
    // take the device file with it while libusb still has requests on it. A plug-in again comes
    // under a new entry.
    umockdev_testbed_uevent(testbed, sys.c_str(), "remove");
    std::lock_guard lock(mutex_);
    unplugPending_ = false;
}

bool EmulatedFtdiChip::Plugged() const {
    std::lock_guard lock(mutex_);
    return plugged_;
}

uint8_t EmulatedFtdiChip::Address() const {
    std::lock_guard lock(mutex_);
    return address_;
}

void EmulatedFtdiChip::SetAccessDenied(bool denied) {
    std::string node;
    {
        std::lock_guard lock(mutex_);
        accessDenied_ = denied;
        node = address_ != 0 ? NodePath() : std::string();
    }
    if (!node.empty()) {
        DenyDeviceFile(node, denied);
    }
}

void EmulatedFtdiChip::SetHeldElsewhere(bool held) {
    std::lock_guard lock(mutex_);
    heldElsewhere_ = held;
}

void EmulatedFtdiChip::UnplugAfterBulkOutBytes(uint32_t bytes) {
    std::lock_guard lock(mutex_);
    unplugAfterBytes_ = bytes;
}

void EmulatedFtdiChip::ForceLatency(uint8_t ms) {
    std::lock_guard lock(mutex_);
    forcedLatency_ = ms;
}

bool EmulatedFtdiChip::KernelDriverBound() const {
    std::lock_guard lock(mutex_);
    return kernelDriver_;
}

uint8_t EmulatedFtdiChip::Latency() const {
    std::lock_guard lock(mutex_);
    return latency_;
}

double EmulatedFtdiChip::BaudRate() const {
    std::lock_guard lock(mutex_);
    // 14 bits of integer divisor, 3 bits of eighths spread over the value's top bits and the
    // index's bit 0; divisors 0 and 1 are 3 MHz and 2 MHz.
    static constexpr double Eighths[8] = {0, 0.5, 0.25, 0.125, 0.375, 0.625, 0.75, 0.875};
    const unsigned whole = stats_.baudValue & 0x3FFF;
    const unsigned frac = ((stats_.baudValue >> 14) & 3) | ((stats_.baudIndex & 1) << 2);
    if (whole == 0) {
        return 3'000'000;
    }
    if (whole == 1 && frac == 0) {
        return 2'000'000;
    }
    return 3'000'000 / (whole + Eighths[frac]);
}

ChipStats EmulatedFtdiChip::Stats() const {
    std::lock_guard lock(mutex_);
    return stats_;
}

Steady::time_point EmulatedFtdiChip::LastDataPacketAt() const {
    std::lock_guard lock(mutex_);
    return lastDataPacketAt_;
}

void EmulatedFtdiChip::PullFromModelLocked() {
    if (!model_) {
        return;
    }
    uint32_t ready = 0, tx = 0, event = 0;
    model_->GetStatus(modelHandle_, &ready, &tx, &event);
    const std::size_t room = ChipFifoSize - std::min(ChipFifoSize, fifo_.size());
    const uint32_t take = static_cast<uint32_t>(std::min<std::size_t>(ready, room));
    if (take == 0) {
        return;
    }
    std::vector<uint8_t> bytes(take);
    uint32_t got = 0;
    model_->Read(modelHandle_, bytes.data(), take, &got);
    fifo_.insert(fifo_.end(), bytes.begin(), bytes.begin() + got);
}

// Fills the first waiting bulk IN transfer with packets as the chip sends them, and hands it to
// the reaper when a short packet ends it or it is full.
void EmulatedFtdiChip::ServeBulkInLocked(Steady::time_point now) {
    while (!bulkIn_.empty()) {
        PullFromModelLocked();
        Urb& urb = *bulkIn_.front();
        auto* out = static_cast<uint8_t*>(urb.Struct()->buffer);
        const auto length = static_cast<std::size_t>(urb.Struct()->buffer_length);
        const auto sendPacket = [&](std::size_t data) {
            out[urb.filled] = ModemStatus0;
            out[urb.filled + 1] = ModemStatus1;
            for (std::size_t i = 0; i < data; ++i) {
                out[urb.filled + StatusBytes + i] = fifo_.front();
                fifo_.pop_front();
            }
            urb.filled += StatusBytes + data;
            lastPacketAt_ = now;
            if (data > 0) {
                lastDataPacketAt_ = now;
                ++stats_.dataPackets;
            } else {
                ++stats_.statusOnlyPackets;
            }
        };
        while (fifo_.size() >= PacketData && length - urb.filled >= PacketSize) {
            sendPacket(PacketData);
            PullFromModelLocked();
        }
        bool complete = length - urb.filled < PacketSize;
        const uint8_t latency = forcedLatency_ != 0 ? forcedLatency_ : latency_;
        if (!complete && now - lastPacketAt_ >= std::chrono::milliseconds(latency)) {
            sendPacket(std::min(fifo_.size(), PacketData));  // a short packet ends the transfer
            complete = true;
        }
        if (!complete) {
            return;
        }
        urb.actual = static_cast<int>(urb.filled);
        done_.push_back(bulkIn_.front());
        bulkIn_.pop_front();
    }
}

void EmulatedFtdiChip::CompleteControlLocked(Urb& urb) {
    auto* u = urb.Struct();
    auto* buffer = static_cast<uint8_t*>(u->buffer);
    const uint8_t requestType = buffer[0], request = buffer[1];
    const uint16_t value = static_cast<uint16_t>(buffer[2] | (buffer[3] << 8));
    const uint16_t index = static_cast<uint16_t>(buffer[4] | (buffer[5] << 8));
    const uint16_t wanted = static_cast<uint16_t>(buffer[6] | (buffer[7] << 8));
    std::vector<uint8_t> in;
    bool stall = false;
    if (requestType == 0x80 && request == 6) {  // GET_DESCRIPTOR
        const uint8_t type = static_cast<uint8_t>(value >> 8);
        if (type == 3) {
            in = StringDescriptor(static_cast<uint8_t>(value & 0xFF));
        } else if (type == 1) {
            const auto all = Descriptors();
            in.assign(all.begin(), all.begin() + 18);
        } else if (type == 2) {
            const auto all = Descriptors();
            in.assign(all.begin() + 18, all.end());
        }
        stall = in.empty();
    } else if (requestType == 0x00 && request == 9) {  // SET_CONFIGURATION
    } else if (requestType == 0x40) {
        switch (request) {
            case SioReset:
                if (value == 0) {
                    ++stats_.resets;
                    fifo_.clear();
                } else {
                    ++stats_.purges;
                    if (value == 1) {
                        fifo_.clear();
                    }
                }
                break;
            case SioModemControl:
                ++stats_.modemControls;
                break;
            case SioFlowControl:
                ++stats_.flowControls;
                break;
            case SioBaudRate:
                stats_.baudValue = value;
                stats_.baudIndex = index;
                break;
            case SioData:
                stats_.lineProperty = value;
                break;
            case SioSetLatency:
                latency_ = static_cast<uint8_t>(std::max<uint16_t>(1, value & 0xFF));
                stats_.latencies.push_back(static_cast<uint8_t>(value & 0xFF));
                break;
            case SioSetBitmode:
                break;
            default:
                stall = true;
        }
    } else if (requestType == 0xC0) {
        switch (request) {
            case SioPollModemStatus:
                in = {ModemStatus0, ModemStatus1};
                break;
            case SioGetLatency:
                in = {latency_};
                break;
            case SioReadEeprom:
                in = {0, 0};
                break;
            default:
                stall = true;
        }
    } else {
        stall = true;
    }
    if (stall) {
        urb.status = -EPIPE;
        urb.actual = 0;
        return;
    }
    const std::size_t n = std::min<std::size_t>(in.size(), wanted);
    std::copy_n(in.begin(), n, buffer + 8);
    urb.actual = static_cast<int>(n);
}

void EmulatedFtdiChip::BulkOutLocked(Urb& urb) {
    auto* u = urb.Struct();
    const auto* bytes = static_cast<const uint8_t*>(u->buffer);
    auto length = static_cast<uint32_t>(u->buffer_length);
    if (unplugAfterBytes_ != 0 && stats_.bulkOutBytes + length >= unplugAfterBytes_) {
        length = unplugAfterBytes_ - stats_.bulkOutBytes;
    }
    if (model_ && length > 0) {
        uint32_t written = 0;
        model_->Write(modelHandle_, bytes, length, &written);
    }
    stats_.bulkOutBytes += length;
    urb.actual = static_cast<int>(length);
    if (unplugAfterBytes_ != 0 && stats_.bulkOutBytes >= unplugAfterBytes_) {
        unplugAfterBytes_ = 0;
        urb.status = -ENODEV;
        UnplugLocked();
        // The remove event goes from another thread: this one serves the device file.
        if (!remover_.joinable()) {
            remover_ = std::thread([this] { Unplug(); });
        }
    }
}

bool EmulatedFtdiChip::HandleIoctl(void* clientPointer) {
    auto* client = static_cast<UMockdevIoctlClient*>(clientPointer);
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    std::unique_lock lock(mutex_);

    const bool reap = request == USBDEVFS_REAPURBNDELAY || request == USBDEVFS_REAPURB;
    if (!plugged_ && !reap) {
        lock.unlock();
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return true;
    }

    switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            ++stats_.opens;  // libusb asks once on every open
            UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), nullptr);
            *reinterpret_cast<guint32*>(d->data) =
                USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;
            g_object_unref(d);
            lock.unlock();
            umockdev_ioctl_client_complete(client, 0, 0);
            return true;
        }
        case USBDEVFS_CLAIMINTERFACE: {
            const bool busy = heldElsewhere_ || kernelDriver_;
            if (!busy) {
                claimed_ = true;
                ++stats_.claims;
            }
            lock.unlock();
            umockdev_ioctl_client_complete(client, busy ? -1 : 0, busy ? EBUSY : 0);
            return true;
        }
        case USBDEVFS_RELEASEINTERFACE:
            claimed_ = false;
            lock.unlock();
            umockdev_ioctl_client_complete(client, 0, 0);
            return true;
        case USBDEVFS_GETDRIVER: {
            UMockdevIoctlData* d =
                umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_getdriver), nullptr);
            auto* g = reinterpret_cast<usbdevfs_getdriver*>(d->data);
            const char* name = heldElsewhere_ || claimed_ ? "usbfs"
                               : kernelDriver_            ? "ftdi_sio"
                                                          : nullptr;
            if (name != nullptr) {
                std::snprintf(g->driver, sizeof g->driver, "%s", name);
            }
            g_object_unref(d);
            lock.unlock();
            umockdev_ioctl_client_complete(client, name ? 0 : -1, name ? 0 : ENODATA);
            return true;
        }
        case USBDEVFS_IOCTL: {
            UMockdevIoctlData* d =
                umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_ioctl), nullptr);
            const int code = reinterpret_cast<usbdevfs_ioctl*>(d->data)->ioctl_code;
            g_object_unref(d);
            int result = 0, error = 0;
            if (code == static_cast<int>(USBDEVFS_DISCONNECT)) {
                if (kernelDriver_) {
                    kernelDriver_ = false;
                    ++stats_.detaches;
                } else {
                    result = -1;
                    error = ENODATA;
                }
            } else if (code == static_cast<int>(USBDEVFS_CONNECT)) {
                if (claimed_ || kernelDriver_) {
                    result = -1;
                    error = EBUSY;
                } else {
                    kernelDriver_ = true;
                    ++stats_.attaches;
                }
            } else {
                result = -1;
                error = ENOTTY;
            }
            lock.unlock();
            umockdev_ioctl_client_complete(client, result, error);
            return true;
        }
        case USBDEVFS_DISCONNECT_CLAIM:
            // Older kernels lack it; libusb then detaches and claims in two steps, as played here.
            lock.unlock();
            umockdev_ioctl_client_complete(client, -1, ENOTTY);
            return true;
        case USBDEVFS_SETCONFIGURATION:
        case USBDEVFS_SETINTERFACE:
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESETEP:
        case USBDEVFS_RESET:
            lock.unlock();
            umockdev_ioctl_client_complete(client, 0, 0);
            return true;
        case USBDEVFS_SUBMITURB: {
            auto urb = std::make_shared<Urb>();
            urb->data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
            auto* u = urb->Struct();
            urb->buffer = umockdev_ioctl_data_resolve(
                urb->data, offsetof(usbdevfs_urb, buffer),
                static_cast<gsize>(std::max(u->buffer_length, 0)), nullptr);
            u = urb->Struct();
            if (u->type == USBDEVFS_URB_TYPE_CONTROL && u->buffer_length >= 8) {
                CompleteControlLocked(*urb);
                done_.push_back(urb);
            } else if (u->type == USBDEVFS_URB_TYPE_BULK && u->endpoint == OutEndpoint) {
                BulkOutLocked(*urb);
                done_.push_back(urb);
            } else if (u->type == USBDEVFS_URB_TYPE_BULK && u->endpoint == InEndpoint) {
                bulkIn_.push_back(urb);
            } else {
                lock.unlock();
                umockdev_ioctl_client_complete(client, -1, EINVAL);
                return true;
            }
            lock.unlock();
            umockdev_ioctl_client_complete(client, 0, 0);
            return true;
        }
        case USBDEVFS_DISCARDURB: {
            const auto address = reinterpret_cast<gulong>(*reinterpret_cast<void**>(arg->data));
            auto it = std::find_if(bulkIn_.begin(), bulkIn_.end(), [&](const auto& urb) {
                return urb->data->client_addr == address;
            });
            const bool found = it != bulkIn_.end();
            if (found) {
                (*it)->status = -ENOENT;
                (*it)->actual = static_cast<int>((*it)->filled);
                done_.push_back(*it);
                bulkIn_.erase(it);
            }
            lock.unlock();
            umockdev_ioctl_client_complete(client, found ? 0 : -1, found ? 0 : EINVAL);
            return true;
        }
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY: {
            if (plugged_) {
                ServeBulkInLocked(Steady::now());
            }
            if (done_.empty()) {
                lock.unlock();
                // libusb polls again at once: a short pause keeps that from eating a core.
                g_usleep(100);
                umockdev_ioctl_client_complete(client, -1, EAGAIN);
                return true;
            }
            auto urb = done_.front();
            done_.pop_front();
            lock.unlock();
            CompleteReap(client, arg, urb);
            return true;
        }
        default:
            lock.unlock();
            std::fprintf(stderr, "emulated chip: ioctl %lx not handled\n", request);
            umockdev_ioctl_client_complete(client, -1, ENOTTY);
            return true;
    }
}

UsbBus::UsbBus() {
    testbed_ = umockdev_testbed_new();
}

UsbBus::~UsbBus() {
    chips_.clear();
    if (testbed_ != nullptr) {
        g_object_unref(static_cast<UMockdevTestbed*>(testbed_));
    }
    for (PlugHandler* plug : Handlers()) {
        g_object_unref(plug->base);
        delete plug;
    }
    Handlers().clear();
}

EmulatedFtdiChip& UsbBus::AddInterface(UsbIdentity identity, sim::SimulatedInterfaceOptions model) {
    chips_.push_back(std::unique_ptr<EmulatedFtdiChip>(
        new EmulatedFtdiChip(*this, std::move(identity), std::move(model))));
    chips_.back()->Plug();
    return *chips_.back();
}

EmulatedFtdiChip& UsbBus::AddAdapter(UsbIdentity identity) {
    chips_.push_back(std::unique_ptr<EmulatedFtdiChip>(
        new EmulatedFtdiChip(*this, std::move(identity), std::nullopt)));
    chips_.back()->Plug();
    return *chips_.back();
}

void RunUnderUmockdev(char** argv) {
    const char* preload = std::getenv("LD_PRELOAD");
    if (preload != nullptr &&
        std::string_view(preload).find("libumockdev-preload") != std::string_view::npos) {
        return;
    }
    std::string value = "libumockdev-preload.so.0";
    if (preload != nullptr && *preload != '\0') {
        value += std::string(":") + preload;
    }
    setenv("LD_PRELOAD", value.c_str(), 1);
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::string asanOptions = asan != nullptr ? std::string(asan) + ":" : std::string();
    asanOptions += "verify_asan_link_order=0";
    setenv("ASAN_OPTIONS", asanOptions.c_str(), 1);
    execv("/proc/self/exe", argv);
    std::perror("execv under umockdev's preload");
    std::exit(1);
}

}  // namespace zolt::testing
