// An FTDI USB serial chip emulated at the device-file level, for the real libusb and libftdi1 to
// talk to. A UsbBus is a umockdev testbed: each chip on it has its sysfs entry (descriptors, bus
// and address) and an ioctl handler on its /dev/bus/usb node that answers the usbfs requests
// libusb makes: capabilities, claim and release, the kernel driver's disconnect and connect,
// control transfers (descriptors, strings and the chip's vendor requests) and bulk transfers.
//
// Bulk OUT goes into the interface model (the simulated interface, so there is one model of the
// interface); bulk IN comes back as the chip sends it: packets of 64 bytes, each led by 2
// modem-status bytes, a full packet as soon as 62 bytes wait, otherwise a short one when the
// latency timer expires (status-only when there is nothing to send).
//
// Faults: access denied on open (EACCES), another program holding the interface (EBUSY on claim),
// unplug at any moment (ENODEV on every later request, a remove event for its sysfs entry) and
// plug-in again under a new address.
//
// The test program must run under umockdev's preload (see RunUnderUmockdev).
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "sim/interface/simulated_interface.h"

namespace zolt::testing {

struct UsbIdentity {
    uint16_t productId = 0x6001;  // FT232R
    uint16_t bcdDevice = 0x0600;
    std::string manufacturer = "FTDI";
    std::string product = "ZOLT";  // the USB description
    std::string serial = "ZT000001";
};

// Another FTDI product with its own description: an adapter that is not the interface.
UsbIdentity ForeignAdapter();

struct ChipStats {
    uint32_t opens = 0;   // opens of the device file (libusb_open)
    uint32_t claims = 0;  // successful claims of the interface
    uint32_t detaches = 0, attaches = 0;
    uint32_t bulkOutBytes = 0;
    uint32_t statusOnlyPackets = 0, dataPackets = 0;
    uint16_t baudValue = 0, baudIndex = 0;  // the last divisor set
    uint16_t lineProperty = 0;              // the last data characteristics value
    std::vector<uint8_t> latencies;         // every latency set, in order
    uint32_t resets = 0, purges = 0, flowControls = 0, modemControls = 0;
};

class UsbBus;

class EmulatedFtdiChip {
  public:
    ~EmulatedFtdiChip();
    EmulatedFtdiChip(const EmulatedFtdiChip&) = delete;
    EmulatedFtdiChip& operator=(const EmulatedFtdiChip&) = delete;

    // Plugs the chip in under the next free address (a new one after every unplug).
    void Plug();
    // Gone at once: every pending and later request fails with ENODEV; libusb hears it removed.
    void Unplug();
    bool Plugged() const;
    uint8_t Address() const;

    void SetAccessDenied(bool denied);  // opening the device file fails with EACCES
    void SetHeldElsewhere(bool held);   // claiming the interface fails with EBUSY
    // Unplugged when bulk OUT has carried this many bytes in total (0: never).
    void UnplugAfterBulkOutBytes(uint32_t bytes);

    // For measurements: the chip runs its timer at this latency whatever the host sets (0: as
    // set).
    void ForceLatency(uint8_t ms);

    bool KernelDriverBound() const;
    uint8_t Latency() const;
    // The baud rate the last divisor gives on this chip (3 MHz base clock).
    double BaudRate() const;
    ChipStats Stats() const;
    // When the last packet carrying data went to the host.
    std::chrono::steady_clock::time_point LastDataPacketAt() const;

    // The interface behind the chip; null for a foreign adapter.
    sim::SimulatedInterface* Model() { return model_.get(); }

    // For the ioctl handler.
    struct Urb;
    bool HandleIoctl(void* client);

  private:
    friend class UsbBus;
    EmulatedFtdiChip(UsbBus& bus, UsbIdentity identity,
                     std::optional<sim::SimulatedInterfaceOptions> model);

    std::string NodePath() const;
    std::string SysPath() const;
    std::vector<uint8_t> Descriptors() const;
    std::vector<uint8_t> StringDescriptor(uint8_t index) const;
    void UnplugLocked();
    void CompleteControlLocked(Urb& urb);
    void BulkOutLocked(Urb& urb);
    void ServeBulkInLocked(std::chrono::steady_clock::time_point now);
    void PullFromModelLocked();

    UsbBus& bus_;
    UsbIdentity identity_;
    std::unique_ptr<sim::SimulatedInterface> model_;
    FT_HANDLE modelHandle_ = nullptr;

    mutable std::mutex mutex_;
    bool plugged_ = false;
    bool unplugPending_ = false;
    uint8_t address_ = 0;
    int port_ = 0;
    void* handler_ = nullptr;  // UMockdevIoctlBase*
    bool accessDenied_ = false;
    bool heldElsewhere_ = false;
    bool kernelDriver_ = true;
    bool claimed_ = false;
    uint32_t unplugAfterBytes_ = 0;
    uint8_t latency_ = 16;
    uint8_t forcedLatency_ = 0;
    std::deque<uint8_t> fifo_;  // data waiting in the chip for the host
    std::chrono::steady_clock::time_point lastPacketAt_{};
    std::chrono::steady_clock::time_point lastDataPacketAt_{};
    std::deque<std::shared_ptr<Urb>> bulkIn_;  // submitted, waiting for data
    std::deque<std::shared_ptr<Urb>> done_;    // ready to be reaped
    ChipStats stats_;
    std::thread remover_;  // tells libusb of an unplug that happened during a transfer
};

class UsbBus {
  public:
    UsbBus();
    ~UsbBus();
    UsbBus(const UsbBus&) = delete;
    UsbBus& operator=(const UsbBus&) = delete;

    // A chip carrying the interface model (its description is the identity's product string).
    EmulatedFtdiChip& AddInterface(UsbIdentity identity = {},
                                   sim::SimulatedInterfaceOptions model = {});
    // A chip with nothing behind it: bulk OUT is swallowed, only status packets come back.
    EmulatedFtdiChip& AddAdapter(UsbIdentity identity);

    void* Testbed() { return testbed_; }  // UMockdevTestbed*
    uint8_t NextAddress() { return nextAddress_++; }
    int NextPort() { return nextPort_++; }

  private:
    void* testbed_ = nullptr;
    uint8_t nextAddress_ = 2;  // 1 is the root hub's
    int nextPort_ = 1;
    std::vector<std::unique_ptr<EmulatedFtdiChip>> chips_;
};

// Runs the test program again under umockdev's preload unless it already runs under it; call
// first in main. Under AddressSanitizer the preload comes before the sanitizer's runtime, which
// is allowed for the run (verify_asan_link_order=0).
void RunUnderUmockdev(char** argv);

// How many libusb contexts were created since the program started (libusb_init is counted on its
// way to libusb).
int LibusbContextsCreated();

}  // namespace zolt::testing
