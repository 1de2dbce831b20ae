#include <gtest/gtest.h>

#include <functional>
#include <ostream>

#include "tests/device/channel_rig.h"

namespace zolt {
namespace {

using sim::Fault;
using sim::Part;
using sim::Request;
using sim::SimulatedInterfaceOptions;
using testing::ChannelRig;
using testing::WithFault;
using Lines = std::vector<std::string>;

const std::string Banner = "---------------------------  reset ";

uint32_t RunReset(CCommunicationFT32& channel, char which) {
    switch (which) {
        case '1':
            return channel.Reset1A();
        case '2':
            return channel.Reset2B();
        default:
            return channel.Reset00();
    }
}

TEST(ChannelReset, SequencesLogLatencyAndLeaveTheChannelAsDescribed) {
    struct Case {
        char which;
        Lines lines;
        bool openAfter;
        Part part;
        uint32_t minMs, maxMs;  // Reset2B waits a second for the j2534 part
    };
    const Case cases[] = {
        {'1',
         {Banner + "1A", "open 1.", "open 2.", "Write :  03 00 1A", "Read  :  07 00 02 00 1A 00 1F",
          "Write :  03 00 1A", "Read  :  07 00 02 00 1A 00 1F"},
         true,
         Part::St,
         40,
         80},
        {'2',
         {Banner + "2B", "Write :  03 00 2B", "Read  :  07 00 02 00 2B 00 2E", "Write :  03 00 2B",
          "Read  :  07 00 02 00 2B 00 2E"},
         true,
         Part::J2534,
         1040,
         1080},
        {'0',
         {Banner + "00", "Write :  03 00 00", "Write :  03 00 00", "Read  :  07 00 02 00 00 00 05"},
         false,
         Part::St,
         20,
         60},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.which);
        for (bool openBefore : {true, false}) {
            SCOPED_TRACE(openBefore ? "open before" : "closed before");
            ChannelRig rig;
            if (openBefore) {
                ASSERT_EQ(rig.channel.Open(), 0u);
            }
            const uint32_t start = rig.clock.Now();
            EXPECT_EQ(RunReset(rig.channel, c.which), 0u);
            EXPECT_GE(rig.ElapsedSince(start), c.minMs);
            EXPECT_LE(rig.ElapsedSince(start), c.maxMs);
            EXPECT_EQ(rig.capture.Lines(), c.lines);
            EXPECT_EQ(rig.device.Stats().latencyValues, (std::vector<uint8_t>{255, 0, 127}));
            EXPECT_EQ(rig.channel.IsOpen(), c.openAfter);
            EXPECT_EQ(rig.device.HandleOpen(), c.openAfter) << "no handle leaked";
            EXPECT_EQ(rig.device.ActivePart(), c.part);
            // Every reset sequence closes once and opens a fresh handle once.
            EXPECT_EQ(rig.device.Stats().opens, 2u);
        }
    }
}

// The rig's clock as a channel sees it, noting each sleep with what the device had been through.
class SleepRecorder final : public Clock {
  public:
    struct Slept {
        uint32_t ms;
        std::size_t latencyValuesSet;
        bool handleOpen;
        bool operator==(const Slept&) const = default;
        friend std::ostream& operator<<(std::ostream& out, const Slept& s) {
            return out << s.ms << " ms after " << s.latencyValuesSet << " latency values, handle "
                       << (s.handleOpen ? "open" : "closed");
        }
    };

    SleepRecorder(VirtualClock& clock, const sim::SimulatedInterface& device)
        : clock_(&clock), device_(&device) {}
    uint32_t TickCount() override { return clock_->TickCount(); }
    void Sleep(uint32_t ms) override {
        sleeps.push_back({ms, device_->Stats().latencyValues.size(), device_->HandleOpen()});
        clock_->Sleep(ms);
    }

    std::vector<Slept> sleeps;

  private:
    VirtualClock* clock_;
    const sim::SimulatedInterface* device_;
};

TEST(ChannelReset, SleepsOneMillisecondAfterTheLatencyTimerBeforeTheClose) {
    using Slept = SleepRecorder::Slept;
    const Slept pause{1, 3, true};  // all three latency values set, the handle not yet closed
    struct Case {
        const char* name;
        char which;
        SimulatedInterfaceOptions options;
        std::vector<Slept> sleeps;
    };
    const Case cases[] = {
        {"1A", '1', {}, {pause}},
        {"2B, then a second for the j2534 part", '2', {}, {pause, {1000, 3, true}}},
        {"2B failed: no second", '2', WithFault(Fault::Silent, Request::Reset), {pause}},
        {"00", '0', {}, {pause}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ChannelRig rig(c.options);
        SleepRecorder clock(rig.clock, rig.device);
        CCommunicationFT32 channel(rig.device, clock);
        ASSERT_EQ(channel.Open(), 0u);
        RunReset(channel, c.which);
        EXPECT_EQ(clock.sleeps, c.sleeps);
        channel.Close();
    }
}

TEST(ChannelReset, IdentifiesEachPartAfterItsReset) {
    ChannelRig rig;
    ASSERT_EQ(rig.channel.Open(), 0u);
    uint8_t id[ChipIdSize] = {};
    ASSERT_EQ(rig.channel.Reset1A(), 0u);
    ASSERT_EQ(rig.channel.GetChipId(id), 0u);
    EXPECT_EQ(id[0], sim::DemoIdentity(Part::St).chipId[0]);
    ASSERT_EQ(rig.channel.Reset2B(), 0u);
    ASSERT_EQ(rig.channel.GetChipId(id), 0u);
    EXPECT_EQ(id[0], sim::DemoIdentity(Part::J2534).chipId[0]);
    ASSERT_EQ(rig.channel.Reset1A(), 0u);
    ASSERT_EQ(rig.channel.GetChipId(id), 0u);
    EXPECT_EQ(id[0], sim::DemoIdentity(Part::St).chipId[0]);
    ASSERT_EQ(rig.channel.Reset00(), 0u);
    EXPECT_FALSE(rig.device.HandleOpen());
}

TEST(ChannelReset, UnplugDuringReset1AFailsTheReopen) {
    SimulatedInterfaceOptions options;
    options.unplugAtClose = 1;  // the sequence's own close
    ChannelRig rig(options);
    ASSERT_EQ(rig.channel.Open(), 0u);
    const uint32_t start = rig.clock.Now();
    EXPECT_EQ(rig.channel.Reset1A(), DEVICE_NOT_FOUND);
    EXPECT_GE(rig.ElapsedSince(start), 10000u);
    EXPECT_LE(rig.ElapsedSince(start), 10020u);
    EXPECT_EQ(rig.capture.Lines(), (Lines{Banner + "1A", "open 1.", "open 2.", "open failed."}));
    EXPECT_FALSE(rig.channel.IsOpen());
    EXPECT_FALSE(rig.device.HandleOpen());
}

TEST(ChannelReset, FailuresReturnCommandFailedWithTheirLogLines) {
    struct Case {
        const char* name;
        char which;
        SimulatedInterfaceOptions options;
        Lines tail;  // the last lines logged
        bool openAfter;
        uint32_t minMs;
    };
    SimulatedInterfaceOptions unplugFirstSend;
    unplugFirstSend.unplugBeforeTransfer = 1;
    SimulatedInterfaceOptions unplugSecondSend;
    unplugSecondSend.unplugBeforeTransfer = 2;
    const Case cases[] = {
        {"00: first send fails", '0', unplugFirstSend, {"Write :  03 00 00", "00 fail"}, true, 0},
        {"00: second send fails",
         '0',
         unplugSecondSend,
         {"Write :  03 00 00", "Write :  03 00 00", "00 fail"},
         true,
         0},
        {"00: no reply",
         '0',
         WithFault(Fault::Silent, Request::Reset),
         {"Write :  03 00 00", "Write :  03 00 00", "00 fail 2"},
         true,
         22000},
        {"1A: no reply",
         '1',
         WithFault(Fault::Silent, Request::Reset),
         {"Write :  03 00 1A"},
         true,
         5500 + 22000},
        {"1A: second send fails", '1', unplugSecondSend, {"Write :  03 00 1A"}, true, 0},
        {"2B: no reply",
         '2',
         WithFault(Fault::Silent, Request::Reset),
         {"Write :  03 00 2B"},
         true,
         5500 + 22000},
        {"2B: reply never completes",
         '2',
         WithFault(Fault::FrameLengthZero, Request::Reset),
         {"Read  :  00 00 02 00 2B 00 2E"},
         true,
         22000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ChannelRig rig(c.options);
        ASSERT_EQ(rig.channel.Open(), 0u);
        const uint32_t start = rig.clock.Now();
        EXPECT_EQ(RunReset(rig.channel, c.which), DEVICE_COMMAND_FAILED);
        EXPECT_GE(rig.ElapsedSince(start), c.minMs);
        const Lines lines = rig.capture.Lines();
        ASSERT_GE(lines.size(), c.tail.size());
        EXPECT_EQ(Lines(lines.end() - static_cast<std::ptrdiff_t>(c.tail.size()), lines.end()),
                  c.tail);
        EXPECT_EQ(rig.channel.IsOpen(), c.openAfter);
        rig.channel.Close();
        EXPECT_FALSE(rig.device.HandleOpen());
    }
}

}  // namespace
}  // namespace zolt
