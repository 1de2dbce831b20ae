// The libftdi1 backend against an emulated FTDI chip: the real libftdi1 and libusb, the usbfs
// requests they make answered at the device file, the chip's packets and latency timer, and the
// simulated interface behind the chip. The procedures run whole through it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli/doctor.h"
#include "device/communication_ft32.h"
#include "device/libftdi_driver.h"
#include "log/log.h"
#include "platform/thread.h"
#include "platform/tone.h"
#include "procedures/procedures.h"
#include "sim/server/reference_server.h"
#include "tests/procedures/recording_window.h"
#include "tests/server/server_test_support.h"
#include "tests/support/test_support.h"
#include "tests/usb/emulated_ftdi_chip.h"

namespace zolt {
namespace {

using testing::EmulatedFtdiChip;
using testing::UsbBus;
using Lines = std::vector<std::string>;
using Steady = std::chrono::steady_clock;

constexpr int StBlocks = 4, J2534Blocks = 3, BlockSize = 64;

const Lines UpdateSuccess = {
    "Prepare for updating, please wait ...", "Updating..",    "Prepare update", "Updating..",
    "Finishing update, please wait...",      "Update success"};
const Lines StageOneFailure = {"Prepare for updating, please wait ...", "Updating..",
                               "Update failed."};

// Real time running `factor` times faster, so that the design's waits (the 10 s open window, the
// 1 s pause after reset 2B) take a fraction of their length while libusb runs in real time.
class FastClock final : public Clock {
  public:
    explicit FastClock(uint32_t factor) : factor_(factor) {}
    uint32_t TickCount() override {
        std::lock_guard lock(mutex_);
        return NowLocked();
    }
    void Sleep(uint32_t ms) override {
        uint32_t factor = 1;
        {
            std::lock_guard lock(mutex_);
            factor = factor_;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(ms / factor));
    }
    void SetFactor(uint32_t factor) {
        std::lock_guard lock(mutex_);
        base_ = NowLocked();
        since_ = Steady::now();
        factor_ = factor;
    }

  private:
    uint32_t NowLocked() const {
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - since_);
        return base_ + static_cast<uint32_t>(ms.count()) * factor_;
    }

    std::mutex mutex_;
    Steady::time_point since_ = Steady::now();
    uint32_t base_ = 0;
    uint32_t factor_;
};

// The status texts as a user sees them change, without the refresh text that the block loop
// shows when a block takes long (real time decides that here).
Lines Statuses(const testing::RecordingWindow& window) {
    Lines out;
    for (const auto& s : window.DistinctStatuses()) {
        if (s != "Updating, please wait ..." && (out.empty() || out.back() != s)) {
            out.push_back(s);
        }
    }
    return out;
}

bool Contains(const Lines& lines, const std::string& part) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(part) != std::string::npos; });
}

// A bus with chips on it, then the driver (libusb starts after the devices are there), the
// reference server and a window.
struct ChipRig {
    ChipRig()
        : server([] {
              sim::ReferenceServerOptions o;
              o.stFirmware = sim::DemoFirmware(sim::RequestStFirmware, StBlocks, BlockSize);
              o.j2534Firmware =
                  sim::DemoFirmware(sim::RequestJ2534Firmware, J2534Blocks, BlockSize);
              return o;
          }()) {
        EXPECT_TRUE(server.Start());
        endpoint = testing::Loopback(server.Port(), 5000);
    }

    void StartDriver() { driver = MakeLibftdiDriver(); }

    enum class Run { Update, DeviceInfo };
    bool RunOnWorker(Run run) {
        auto done = std::make_shared<std::promise<void>>();
        const ProcedureContext context{*driver, clock, tone, system, endpoint, nullptr};
        if (!StartDetachedThread([this, run, context, done] {
                if (run == Run::Update) {
                    UpdateThread(window, context);
                } else {
                    DeviceInfoThread(window, context);
                }
                done->set_value();
            })) {
            return false;
        }
        return done->get_future().wait_for(std::chrono::seconds(40)) == std::future_status::ready;
    }

    testing::ScopedTestLog log;
    LogCapture capture;
    UsbBus bus;
    std::unique_ptr<D2xxDriver> driver;
    FastClock clock{4};
    RecordingTone tone;
    testing::FixedSystemInfo system{u"PC1"};
    ServerEndpoint endpoint;
    sim::ReferenceServer server;
    testing::RecordingWindow window;
};

TEST(LibftdiOnChip, DeviceInfoThroughTheRealLibraries) {
    ChipRig rig;
    EmulatedFtdiChip& chip = rig.bus.AddInterface();
    rig.StartDriver();
    ASSERT_TRUE(rig.RunOnWorker(ChipRig::Run::DeviceInfo));
    EXPECT_NE(ToUtf8(rig.window.info).find("ZOLT reference update server"), std::string::npos)
        << ToUtf8(rig.window.info);
    EXPECT_EQ(rig.server.Requests().size(), 1u);

    const auto stats = chip.Stats();
    EXPECT_NEAR(chip.BaudRate(), 115200, 115200 * 0.03) << "divisor " << stats.baudValue;
    EXPECT_EQ(stats.baudValue, 26) << "3 MHz / 26: the chip's divisor for 115,200 baud";
    EXPECT_EQ(stats.lineProperty, 0x0008) << "8 data bits, no parity, 1 stop bit";
    const std::vector<uint8_t> resetLatencies = {255, 1, 127};  // 0 goes to the chip as 1
    EXPECT_TRUE(std::search(stats.latencies.begin(), stats.latencies.end(), resetLatencies.begin(),
                            resetLatencies.end()) != stats.latencies.end());
    EXPECT_GT(stats.detaches, 0u);
    EXPECT_EQ(stats.detaches, stats.attaches) << "the serial driver is given back on every close";
    EXPECT_TRUE(chip.KernelDriverBound());
}

TEST(LibftdiOnChip, WholeUpdateEachPartGetsExactlyTheBlocksSent) {
    ChipRig rig;
    EmulatedFtdiChip& chip = rig.bus.AddInterface();
    rig.bus.AddAdapter(testing::ForeignAdapter());  // another adapter on the bus changes nothing
    const int contextsBefore = testing::LibusbContextsCreated();
    rig.StartDriver();
    ASSERT_TRUE(rig.RunOnWorker(ChipRig::Run::Update));
    EXPECT_EQ(Statuses(rig.window), UpdateSuccess);
    EXPECT_EQ(chip.Model()->ReceivedBlocks(sim::Part::St),
              sim::DemoFirmware(sim::RequestStFirmware, StBlocks, BlockSize));
    EXPECT_EQ(chip.Model()->ReceivedBlocks(sim::Part::J2534),
              sim::DemoFirmware(sim::RequestJ2534Firmware, J2534Blocks, BlockSize));
    EXPECT_EQ(rig.tone.played.size(), 2u);
    EXPECT_TRUE(chip.KernelDriverBound());
    // Every open and close of the run on one libusb context; libftdi makes one more for the
    // device's own context, which is given up at once for the shared one.
    EXPECT_LE(testing::LibusbContextsCreated() - contextsBefore, 2);
}

// A reply reaches the queue when the chip sends it, not one latency period later.
TEST(LibftdiOnChip, AReplyIsReadableAsSoonAsTheChipSendsIt) {
    ChipRig rig;
    EmulatedFtdiChip& chip = rig.bus.AddInterface();
    rig.StartDriver();
    D2xxDriver& driver = *rig.driver;
    FT_HANDLE handle = nullptr;
    ASSERT_EQ(driver.OpenEx("ZOLT", &handle), FT_OK);
    driver.SetBaudRate(handle, 115200);
    driver.SetDataCharacteristics(handle, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE);
    constexpr uint8_t LatencyMs = 100;
    ASSERT_EQ(driver.SetLatencyTimer(handle, LatencyMs), FT_OK);
    EXPECT_EQ(chip.Latency(), LatencyMs);

    const uint8_t getChipId[] = {0x06, 0x00, 0x01, 0x00, 0xD1, 0xD6};
    constexpr uint32_t ReplySize = 15;
    for (int round = 0; round < 3; ++round) {
        uint32_t written = 0;
        const auto sent = Steady::now();
        ASSERT_EQ(driver.Write(handle, getChipId, sizeof getChipId, &written), FT_OK);
        uint32_t rx = 0, tx = 0, event = 0;
        while (rx < ReplySize && Steady::now() - sent < std::chrono::seconds(2)) {
            driver.GetStatus(handle, &rx, &tx, &event);
        }
        const auto arrived = Steady::now();
        ASSERT_EQ(rx, ReplySize);
        const auto afterChip = std::chrono::duration_cast<std::chrono::milliseconds>(
            arrived - chip.LastDataPacketAt());
        const auto afterRequest =
            std::chrono::duration_cast<std::chrono::milliseconds>(arrived - sent);
        EXPECT_LT(afterChip.count(), LatencyMs / 2) << "the reply waited in the driver";
        EXPECT_LT(afterRequest.count(), 2 * LatencyMs - 10) << "at most one latency period";
        uint8_t reply[ReplySize] = {};
        uint32_t got = 0;
        ASSERT_EQ(driver.Read(handle, reply, ReplySize, &got), FT_OK);
        EXPECT_EQ(got, ReplySize);
        EXPECT_EQ(reply[4], 0xD1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(3 * LatencyMs));  // idle
    EXPECT_GT(chip.Stats().statusOnlyPackets, 0u) << "an idle chip sends status packets";
    uint32_t rx = 0, tx = 0, event = 0;
    EXPECT_EQ(driver.GetStatus(handle, &rx, &tx, &event), FT_OK);
    EXPECT_EQ(rx, 0u) << "status packets carry no data";
    const auto closing = Steady::now();
    EXPECT_EQ(driver.Close(handle), FT_OK);
    EXPECT_LT(Steady::now() - closing, std::chrono::milliseconds(LatencyMs / 2))
        << "Close waited for the chip's next packet";
}

// Only some other FTDI adapter attached: the open window finds nothing, and it reads that
// adapter's description once, on one libusb context, instead of opening it on every attempt.
TEST(LibftdiOnChip, AForeignAdapterIsReadOnceInAFailedOpenWindow) {
    ChipRig rig;
    EmulatedFtdiChip& adapter = rig.bus.AddAdapter(testing::ForeignAdapter());
    const int contextsBefore = testing::LibusbContextsCreated();
    rig.StartDriver();
    VirtualClock clock(0, 20);  // some 500 attempts in the 10 s window
    CCommunicationFT32 channel(*rig.driver, clock);
    EXPECT_EQ(channel.Open(), DEVICE_NOT_FOUND);
    EXPECT_EQ(adapter.Stats().opens, 1u) << "its description is read once";
    EXPECT_EQ(adapter.Stats().claims, 0u);
    EXPECT_EQ(testing::LibusbContextsCreated() - contextsBefore, 1);

    std::vector<std::string> descriptions;
    EXPECT_TRUE(rig.driver->ListDescriptions(descriptions));
    EXPECT_EQ(descriptions, std::vector<std::string>{"FT230X Basic UART"});
}

TEST(LibftdiOnChip, PermissionAndBusyAreToldApart) {
    struct Case {
        const char* name;
        bool denied;
        bool held;
        OpenProblem problem;
        const char* logged;
    };
    const Case cases[] = {
        {"access denied", true, false, OpenProblem::Permission, "permission denied"},
        {"held by another program", false, true, OpenProblem::Busy, "libftdi1: open failed: -5"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ChipRig rig;
        EmulatedFtdiChip& chip = rig.bus.AddInterface();
        chip.SetAccessDenied(c.denied);
        chip.SetHeldElsewhere(c.held);
        rig.StartDriver();
        FT_HANDLE handle = nullptr;
        EXPECT_EQ(rig.driver->OpenEx("ZOLT", &handle), FT_DEVICE_NOT_OPENED);
        EXPECT_EQ(rig.driver->LastOpenProblem(), c.problem);
        EXPECT_TRUE(Contains(rig.capture.Lines(), c.logged));
        VirtualClock clock(0, 50);
        CCommunicationFT32 channel(*rig.driver, clock);
        EXPECT_EQ(channel.Open(), DEVICE_NOT_FOUND);
        EXPECT_LE(chip.Stats().opens, c.denied ? 0u : 1000u);
        if (c.denied) {
            std::vector<std::string> descriptions;
            rig.driver->ListDescriptions(descriptions);
            EXPECT_EQ(descriptions,
                      std::vector<std::string>{"(description not readable: permission denied)"});
        }
    }
}

// The doctor, on a device this user may not open, names the permission problem and its remedy.
TEST(LibftdiOnChip, DoctorNamesAPermissionProblem) {
    ChipRig rig;
    rig.bus.AddInterface().SetAccessDenied(true);
    rig.StartDriver();
    const ServerEndpoint endpoint = testing::Loopback(rig.server.Port(), 2000);
    const DoctorVerdict v = RunDoctor(DoctorSetup{
        *rig.driver, "libftdi1", endpoint, SystemSockets(), WidenAscii(rig.log.file().string())});
    std::string all;
    for (const auto& line : v.lines) {
        all += line + "\n";
    }
    EXPECT_FALSE(v.interfaceReachable);
    EXPECT_NE(all.find("may not open it"), std::string::npos) << all;
    EXPECT_NE(all.find("60-zolt-update.rules"), std::string::npos) << all;
    EXPECT_NE(all.find("group plugdev"), std::string::npos) << all;
    EXPECT_EQ(all.find("none of the attached FTDI devices"), std::string::npos) << all;
}

// Unplugged in the middle of the second st block: the update fails and says so; plugged in again
// (under a new address) while reset 00 waits for it, the final reset goes through.
void UnplugDuringABlock(bool replug) {
    {
        ChipRig rig;
        EmulatedFtdiChip& chip = rig.bus.AddInterface();
        rig.StartDriver();
        // 1A twice, chip identifier, information: 3 + 3 + 6 + 6 bytes; then a block and a half.
        chip.UnplugAfterBulkOutBytes(18 + BlockSize + BlockSize / 2);
        const uint8_t firstAddress = chip.Address();
        std::thread plugger([&] {
            const auto start = Steady::now();
            while (chip.Plugged() && Steady::now() - start < std::chrono::seconds(20)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            if (!replug) {
                rig.clock.SetFactor(25);  // nothing more comes from the chip: wait faster
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            chip.Unplug();  // its removal surely told
            chip.Plug();
        });
        ASSERT_TRUE(rig.RunOnWorker(ChipRig::Run::Update));
        if (plugger.joinable()) {
            plugger.join();
        }
        EXPECT_EQ(Statuses(rig.window), StageOneFailure);
        EXPECT_EQ(rig.window.progress, 0);
        EXPECT_TRUE(rig.tone.played.empty());
        const Lines lines = rig.capture.Lines();
        EXPECT_EQ(Contains(lines, "00 fail"), !replug);
        if (replug) {
            EXPECT_NE(chip.Address(), firstAddress);
            EXPECT_TRUE(Contains(lines, "Write :  03 00 00"));
        }
        EXPECT_EQ(chip.Model()->ReceivedBlocks(sim::Part::St).size(), 1u);
    }
}

TEST(LibftdiOnChip, UnplugDuringABlock) {
    UnplugDuringABlock(false);
}

TEST(LibftdiOnChip, UnplugDuringABlockThenPlugInAgain) {
    UnplugDuringABlock(true);
}

}  // namespace
}  // namespace zolt
