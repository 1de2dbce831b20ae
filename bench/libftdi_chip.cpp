// The libftdi1 backend on the emulated FTDI chip (tests/usb/), in real time:
//   answer  the delay from a chip-identifier request to its whole reply in the driver's queue, at
//           the latency the reset sequences leave (127 ms), and how long after the chip sent it;
//   opens   how often a failed 10 s open window (only a foreign FTDI adapter attached) opens that
//           adapter's device file, and how many libusb contexts it makes;
//   update  the line-rate fraction of a whole two-stage update for blocks of 64, 256 and 1,100
//           bytes: the j2534 block loop's firmware bytes / (its time x 11,520 bytes a second),
//           with the latencies the program sets (255, 0, 127) and, as a measurement only, with
//           the chip's timer held at 1 ms.
//
//   zolt-bench-libftdi-chip [answer] [opens] [update] [--blocks N]
//
// Runs itself under umockdev's preload.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

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

namespace zolt::bench {
namespace {

using Steady = std::chrono::steady_clock;
constexpr double LineBytesPerSecond = 11'520.0;

double Ms(Steady::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

void Answer() {
    testing::ScopedTestLog log;
    testing::UsbBus bus;
    testing::EmulatedFtdiChip& chip = bus.AddInterface();
    auto driver = MakeLibftdiDriver();
    FT_HANDLE handle = nullptr;
    if (driver->OpenEx("ZOLT", &handle) != FT_OK) {
        std::printf("answer: the emulated chip did not open\n");
        return;
    }
    driver->SetBaudRate(handle, 115200);
    driver->SetDataCharacteristics(handle, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE);
    driver->SetLatencyTimer(handle, 127);
    const uint8_t request[] = {0x06, 0x00, 0x01, 0x00, 0xD1, 0xD6};
    std::vector<double> total, afterChip;
    for (int i = 0; i < 10; ++i) {
        uint32_t written = 0, rx = 0, tx = 0, event = 0;
        const auto sent = Steady::now();
        driver->Write(handle, request, sizeof request, &written);
        while (rx < 15 && Steady::now() - sent < std::chrono::seconds(3)) {
            driver->GetStatus(handle, &rx, &tx, &event);
        }
        const auto arrived = Steady::now();
        total.push_back(Ms(arrived - sent));
        afterChip.push_back(Ms(arrived - chip.LastDataPacketAt()));
        uint8_t reply[64];
        uint32_t got = 0;
        driver->Read(handle, reply, rx, &got);
    }
    std::sort(total.begin(), total.end());
    std::sort(afterChip.begin(), afterChip.end());
    std::printf(
        "answer: latency 127 ms, 10 requests: request to reply median %.1f ms "
        "(min %.1f, max %.1f); after the chip sent it median %.1f ms (max %.1f)\n",
        total[5], total.front(), total.back(), afterChip[5], afterChip.back());
    driver->Close(handle);
}

void Opens() {
    testing::ScopedTestLog log;
    testing::UsbBus bus;
    testing::EmulatedFtdiChip& adapter = bus.AddAdapter(testing::ForeignAdapter());
    const int contexts = testing::LibusbContextsCreated();
    auto driver = MakeLibftdiDriver();
    CCommunicationFT32 channel(*driver, SystemClock());
    const auto start = Steady::now();
    const uint32_t result = channel.Open();
    std::printf(
        "opens: failed open window %.0f ms (result %u): the foreign adapter opened %u "
        "times, %d libusb contexts made\n",
        Ms(Steady::now() - start), result, adapter.Stats().opens,
        testing::LibusbContextsCreated() - contexts);
}

class TimingWindow final : public UpdateWindow {
  public:
    void SetStatusText(const WideText& text) override {
        const std::string s = ToUtf8(text);
        std::lock_guard lock(mutex_);
        if (s == "Prepare update") {
            stageTwo = true;
        } else if (s == "Updating.." && stageTwo && !started) {
            loopStart = Steady::now();  // later ones are the loop's refreshes
            started = true;
        } else if (s == "Finishing update, please wait...") {
            loopEnd = Steady::now();
        } else if (s == "Update success") {
            success = true;
        }
    }
    void SetInfoText(const WideText&) override {}
    void SetProgress(int32_t) override {}
    int32_t GetProgress() override { return 0; }
    void EnableActions(bool) override {}

    std::mutex mutex_;
    Steady::time_point loopStart{}, loopEnd{};
    bool success = false;
    bool stageTwo = false, started = false;
};

void Update(int blockSize, int blocks, uint8_t forcedLatency) {
    testing::ScopedTestLog log;
    testing::UsbBus bus;
    testing::EmulatedFtdiChip& chip = bus.AddInterface();
    chip.ForceLatency(forcedLatency);
    sim::ReferenceServerOptions o;
    o.stFirmware = sim::DemoFirmware(sim::RequestStFirmware, blocks, blockSize);
    o.j2534Firmware = sim::DemoFirmware(sim::RequestJ2534Firmware, blocks, blockSize);
    sim::ReferenceServer server(o);
    if (!server.Start()) {
        std::printf("update: the reference server did not start\n");
        return;
    }
    auto driver = MakeLibftdiDriver();
    RecordingTone tone;
    testing::FixedSystemInfo system(u"PC1");
    TimingWindow window;
    const ProcedureContext context{
        *driver, SystemClock(), tone, system, testing::Loopback(server.Port(), 20000), nullptr};
    auto done = std::make_shared<std::promise<void>>();
    StartDetachedThread([&, done] {
        UpdateThread(window, context);
        done->set_value();
    });
    done->get_future().wait();
    const double seconds = Ms(window.loopEnd - window.loopStart) / 1000.0;
    const double fraction =
        blockSize * static_cast<double>(blocks) / (seconds * LineBytesPerSecond);
    std::printf(
        "update: blocks of %4d bytes, %d a stage, latency %s: %s, j2534 loop %.2f s, "
        "%.1f ms a block, line-rate fraction %.1f %%\n",
        blockSize, blocks, forcedLatency != 0 ? "held at 1 ms" : "as set (127 ms)",
        window.success ? "success" : "FAILED", seconds, seconds * 1000 / blocks, 100 * fraction);
}

}  // namespace
}  // namespace zolt::bench

int main(int argc, char** argv) {
    zolt::testing::RunUnderUmockdev(argv);
    std::vector<std::string> what;
    int blocks = 20;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--blocks") == 0 && i + 1 < argc) {
            blocks = std::max(1, std::atoi(argv[++i]));
        } else {
            what.emplace_back(argv[i]);
        }
    }
    const auto wanted = [&](const char* name) {
        return what.empty() || std::find(what.begin(), what.end(), name) != what.end();
    };
    if (wanted("answer")) {
        zolt::bench::Answer();
    }
    if (wanted("opens")) {
        zolt::bench::Opens();
    }
    if (wanted("update")) {
        for (const uint8_t forced : {uint8_t{0}, uint8_t{1}}) {
            for (const int size : {64, 256, 1100}) {
                zolt::bench::Update(size, blocks, forced);
            }
        }
    }
    return 0;
}
