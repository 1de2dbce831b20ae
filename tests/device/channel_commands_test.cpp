#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <span>
#include <sstream>

#include "device/device_frame.h"
#include "tests/device/channel_rig.h"

namespace zolt {
namespace {

using sim::Fault;
using sim::Request;
using sim::SimulatedInterfaceOptions;
using testing::ChannelRig;
using testing::WithFault;

constexpr uint8_t Untouched = 0xAB;

struct CommandCase {
    const char* name;
    SimulatedInterfaceOptions options;
    uint32_t status;
    uint32_t minMs, maxMs;
};

std::vector<CommandCase> FailureCases(Request on) {
    SimulatedInterfaceOptions unplugged;
    unplugged.unplugBeforeTransfer = 1;
    return {
        {"wrong command code", WithFault(Fault::WrongCommandCode, on), DEVICE_COMMAND_FAILED, 0,
         10},
        {"non-zero result byte", WithFault(Fault::WrongResultByte, on), DEVICE_COMMAND_FAILED, 0,
         10},
        {"payload one byte short", WithFault(Fault::ShortPayload, on), DEVICE_COMMAND_FAILED, 0,
         10},
        {"payload past the frame", WithFault(Fault::PayloadPastFrame, on), DEVICE_COMMAND_FAILED, 0,
         10},
        {"4-byte frame", WithFault(Fault::ShortFrame, on), DEVICE_COMMAND_FAILED, 0, 10},
        {"silent", WithFault(Fault::Silent, on), DEVICE_COMMAND_FAILED, 22000, 22030},
        {"unplugged before the request", unplugged, DEVICE_COMMAND_FAILED, 0, 10},
    };
}

TEST(ChannelGetChipId, AcceptsOnlyAWellFormedReply) {
    auto cases = FailureCases(Request::ChipId);
    cases.push_back({"accepted", {}, 0, 0, 10});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ChannelRig rig(c.options);
        ASSERT_EQ(rig.channel.Open(), 0u);
        std::array<uint8_t, ChipIdSize + 4> id;
        id.fill(Untouched);
        const uint32_t start = rig.clock.Now();
        EXPECT_EQ(rig.channel.GetChipId(id.data()), c.status);
        EXPECT_GE(rig.ElapsedSince(start), c.minMs);
        EXPECT_LE(rig.ElapsedSince(start), c.maxMs);
        if (c.status == 0) {
            const auto expected = sim::DemoIdentity(sim::Part::St).chipId;
            EXPECT_TRUE(std::equal(expected.begin(), expected.end(), id.begin()));
            EXPECT_TRUE(std::all_of(id.begin() + ChipIdSize, id.end(),
                                    [](uint8_t b) { return b == Untouched; }));
        } else {
            EXPECT_TRUE(std::all_of(id.begin(), id.end(), [](uint8_t b) { return b == Untouched; }))
                << "the caller's result is left untouched";
        }
    }
}

TEST(ChannelGetChipId, LogsTheRequestAndTheReply) {
    ChannelRig rig;
    ASSERT_EQ(rig.channel.Open(), 0u);
    uint8_t id[ChipIdSize] = {};
    ASSERT_EQ(rig.channel.GetChipId(id), 0u);
    EXPECT_EQ(rig.capture.Lines(), (std::vector<std::string>{
                                       "Write :  06 00 01 00 D1 D6",
                                       "Read  :  0F 00 0A 00 D1 00 53 54 32 30 19 07 21 01 EF",
                                   }));
}

TEST(ChannelGetDeviceInfo, AcceptsOnlyAWellFormedReply) {
    auto cases = FailureCases(Request::DeviceInfo);
    cases.push_back({"accepted", {}, 0, 0, 10});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ChannelRig rig(c.options);
        ASSERT_EQ(rig.channel.Open(), 0u);
        std::array<uint8_t, InfoRecordSize> record;
        record.fill(Untouched);
        EXPECT_EQ(rig.channel.GetDeviceInfo(record.data()), c.status);
        if (c.status == 0) {
            const auto info = sim::DemoIdentity(sim::Part::St).info;
            const uint8_t head[] = {0x3B, 0x00, 0x32, 0x00, 0xBE, 0x00};
            EXPECT_TRUE(std::equal(std::begin(head), std::end(head), record.begin()));
            EXPECT_TRUE(std::equal(info.begin(), info.end(), record.begin() + 6));
            EXPECT_TRUE(std::all_of(record.begin() + InfoRecordFilled, record.end(), [](uint8_t b) {
                return b == Untouched;
            })) << "bytes 54 to 60 belong to the caller";
        } else {
            EXPECT_TRUE(std::all_of(record.begin(), record.end(),
                                    [](uint8_t b) { return b == Untouched; }));
        }
    }
}

TEST(ChannelGetDeviceInfo, KeepsTheFirstFiftyPayloadBytesOfALongerReply) {
    SimulatedInterfaceOptions options;
    options.st.info.resize(54);  // a 56-byte payload
    for (std::size_t i = 0; i < options.st.info.size(); ++i) {
        options.st.info[i] = static_cast<uint8_t>(0x40 + i);
    }
    ChannelRig rig(options);
    ASSERT_EQ(rig.channel.Open(), 0u);
    std::array<uint8_t, InfoRecordSize> record{};
    ASSERT_EQ(rig.channel.GetDeviceInfo(record.data()), 0u);
    EXPECT_EQ(record[4], 0xBE);
    EXPECT_EQ(record[5], 0x00);
    for (std::size_t i = 0; i < 48; ++i) {
        EXPECT_EQ(record[6 + i], 0x40 + i) << i;
    }
    EXPECT_TRUE(std::all_of(record.begin() + InfoRecordFilled, record.end(),
                            [](uint8_t b) { return b == 0; }));
}

std::vector<uint8_t> BytesOfDump(const std::string& line) {
    std::istringstream in(line.substr(line.find(":  ") + 3));
    std::vector<uint8_t> bytes;
    unsigned value = 0;
    while (in >> std::hex >> value) {
        bytes.push_back(static_cast<uint8_t>(value));
    }
    return bytes;
}

TEST(ChannelCommands, AcceptAReplyWithAWrongCheckByte) {
    uint8_t id[ChipIdSize] = {};
    std::array<uint8_t, InfoRecordSize> record{};
    struct Case {
        const char* name;
        Request on;
        std::function<uint32_t(CCommunicationFT32&)> run;
    };
    const Case cases[] = {
        {"chip identifier", Request::ChipId, [&](auto& ch) { return ch.GetChipId(id); }},
        {"information", Request::DeviceInfo,
         [&](auto& ch) { return ch.GetDeviceInfo(record.data()); }},
        {"reset 1A", Request::Reset, [](auto& ch) { return ch.Reset1A(); }},
        {"reset 2B", Request::Reset, [](auto& ch) { return ch.Reset2B(); }},
        {"reset 00", Request::Reset, [](auto& ch) { return ch.Reset00(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ChannelRig rig(WithFault(Fault::WrongCheckByte, c.on));
        ASSERT_EQ(rig.channel.Open(), 0u);
        EXPECT_EQ(c.run(rig.channel), 0u);
        const auto reads = rig.ReadLines();
        ASSERT_FALSE(reads.empty());
        const auto reply = BytesOfDump(reads.back());
        ASSERT_GE(reply.size(), FrameOverhead);
        EXPECT_NE(reply.back(), FrameCheckByte(std::span(reply).first(reply.size() - 1)))
            << "the reply taken had a wrong check byte";
    }
    const auto expected = sim::DemoIdentity(sim::Part::St).chipId;
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), std::begin(id)));
    EXPECT_EQ(record[4], 0xBE);
}

TEST(ChannelFirmwareBlock, AnAnswerShorterThanAFrameCarriesNoPayload) {
    // A 3- or 4-byte answer completes the read but yields payload length 0, so it can never be
    // taken for an accepted block (command code and result byte).
    for (uint32_t shortLength : {3u, 4u}) {
        SCOPED_TRACE(shortLength);
        SimulatedInterfaceOptions options = WithFault(Fault::ShortFrame, Request::Block);
        options.shortFrameLength = shortLength;
        ChannelRig rig(options);
        ASSERT_EQ(rig.channel.Open(), 0u);
        const uint8_t payload[] = {0x31, 0x01, 0x02, 0x03};
        const auto block = BuildDeviceFrame(payload);
        ASSERT_EQ(rig.channel.WriteFrame(block.data(), static_cast<uint32_t>(block.size())), 0u);
        std::array<uint8_t, 1000> answer;
        answer.fill(Untouched);
        uint32_t length = 99;
        EXPECT_EQ(rig.channel.ReadFrame(answer.data(), 1000, length, CommandTimeoutMs), 0u);
        EXPECT_EQ(length, 0u);
        EXPECT_EQ(answer[0], Untouched);
        EXPECT_EQ(rig.device.ReceivedBlocks(sim::Part::St).size(), 1u);
    }
}

}  // namespace
}  // namespace zolt
