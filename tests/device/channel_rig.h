// A channel on the simulated interface in virtual time, with the log captured.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "device/communication_ft32.h"
#include "log/log.h"
#include "platform/clock.h"
#include "sim/interface/simulated_interface.h"
#include "tests/support/test_support.h"

namespace zolt::testing {

inline constexpr uint8_t ChipIdRequestBytes[] = {0x06, 0x00, 0x01, 0x00, 0xD1, 0xD6};
inline constexpr uint8_t DeviceInfoRequestBytes[] = {0x06, 0x00, 0x01, 0x00, 0xBE, 0xB9};

struct ChannelRig {
    explicit ChannelRig(sim::SimulatedInterfaceOptions options = {})
        : device(clock, std::move(options)), channel(device, clock) {}

    // Virtual milliseconds since `since`, without moving time on.
    uint32_t ElapsedSince(uint32_t since) const { return TicksSince(clock.Now(), since); }

    std::vector<std::string> ReadLines() const {
        std::vector<std::string> out;
        for (const auto& line : capture.Lines()) {
            if (line.rfind("Read  :  ", 0) == 0) {
                out.push_back(line);
            }
        }
        return out;
    }

    ScopedTestLog log;
    LogCapture capture;
    VirtualClock clock{1000};
    sim::SimulatedInterface device;
    CCommunicationFT32 channel;
};

inline sim::SimulatedInterfaceOptions WithFault(sim::Fault fault,
                                                sim::Request on = sim::Request::Any,
                                                std::vector<uint8_t> raw = {}) {
    sim::SimulatedInterfaceOptions options;
    options.faults.push_back({fault, on, 0, std::move(raw)});
    return options;
}

}  // namespace zolt::testing
