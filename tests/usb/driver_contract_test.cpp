// One contract, every driver: the calls of d2xx.h as each implementation answers them. The vendor
// library is played by the tests' stand-in (a loopback device), libftdi1 by the emulated chip.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "device/libftdi_driver.h"
#include "device/vendor_driver.h"
#include "platform/clock.h"
#include "sim/interface/simulated_interface.h"
#include "tests/support/test_support.h"
#include "tests/usb/emulated_ftdi_chip.h"

namespace zolt {
namespace {

struct Subject {
    std::unique_ptr<testing::UsbBus> bus;  // for the emulated chip
    std::unique_ptr<D2xxDriver> driver;
    std::string description;
};

struct Maker {
    const char* name;
    std::function<Subject()> make;
};

const Maker Makers[] = {
    {"simulated interface",
     [] {
         Subject s;
         sim::SimulatedInterfaceOptions o;
         o.timing = sim::Timing::LineRate;
         o.fineTime = &SystemPreciseTime();
         s.driver = std::make_unique<sim::SimulatedInterface>(SystemClock(), o);
         s.description = "ZOLT";
         return s;
     }},
    {"libftdi1 on the emulated chip",
     [] {
         Subject s;
         s.bus = std::make_unique<testing::UsbBus>();
         s.bus->AddInterface();
         s.driver = MakeLibftdiDriver();
         s.description = "ZOLT";
         return s;
     }},
    {"vendor library (stand-in)",
     [] {
         Subject s;
         s.driver = LoadVendorDriver(ZOLT_STANDIN_LIBRARY);
         s.description = "PRYN Interface 171071";
         return s;
     }},
};

TEST(DriverContract, EveryDriverAnswersTheCallsAlike) {
    testing::ScopedTestLog log;
    for (const Maker& maker : Makers) {
        SCOPED_TRACE(maker.name);
        Subject s = maker.make();
        ASSERT_NE(s.driver, nullptr);
        D2xxDriver& d = *s.driver;

        uint32_t count = 0;
        EXPECT_EQ(d.ListDevices(&count), FT_OK);
        EXPECT_GE(count, 1u);

        FT_HANDLE untouched = reinterpret_cast<FT_HANDLE>(0x1234);
        EXPECT_EQ(d.OpenEx("no such description", &untouched), FT_DEVICE_NOT_FOUND);
        EXPECT_EQ(untouched, reinterpret_cast<FT_HANDLE>(0x1234)) << "left as it was";

        FT_HANDLE handle = nullptr, again = nullptr;
        ASSERT_EQ(d.OpenEx(s.description.c_str(), &handle), FT_OK);
        EXPECT_EQ(d.OpenEx(s.description.c_str(), &again), FT_OK);
        EXPECT_EQ(again, handle) << "a description held already gives the held handle";

        EXPECT_EQ(d.SetBaudRate(handle, 115200), FT_OK);
        EXPECT_EQ(d.SetDataCharacteristics(handle, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE),
                  FT_OK);
        EXPECT_EQ(d.SetLatencyTimer(handle, 0), FT_OK);
        EXPECT_EQ(d.SetLatencyTimer(handle, 16), FT_OK);

        const uint8_t request[] = {0x06, 0x00, 0x01, 0x00, 0xD1, 0xD6};
        uint32_t written = 0;
        EXPECT_EQ(d.Write(handle, request, sizeof request, &written), FT_OK);
        EXPECT_EQ(written, sizeof request);

        uint32_t rx = 0, tx = 0, event = 0;
        const auto start = std::chrono::steady_clock::now();
        while (rx == 0 && std::chrono::steady_clock::now() - start < std::chrono::seconds(2)) {
            EXPECT_EQ(d.GetStatus(handle, &rx, &tx, &event), FT_OK);
        }
        ASSERT_GT(rx, 0u) << "something comes back";
        uint8_t buffer[64] = {};
        uint32_t returned = 0;
        const auto reading = std::chrono::steady_clock::now();
        EXPECT_EQ(d.Read(handle, buffer, sizeof buffer, &returned), FT_OK);
        EXPECT_GE(returned, 1u);
        EXPECT_LE(returned, sizeof buffer);
        EXPECT_LT(std::chrono::steady_clock::now() - reading, std::chrono::milliseconds(50))
            << "a read never waits";

        EXPECT_EQ(d.Close(handle), FT_OK);
        EXPECT_EQ(d.Close(handle), FT_INVALID_HANDLE) << "a handle not held";
        EXPECT_EQ(d.SetBaudRate(handle, 115200), FT_INVALID_HANDLE);
    }
}

}  // namespace
}  // namespace zolt
