#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include "device/device_frame.h"
#include "tests/device/channel_rig.h"

namespace zolt {
namespace {

using sim::Fault;
using sim::Request;
using sim::SimulatedInterfaceOptions;
using testing::ChannelRig;
using testing::ChipIdRequestBytes;
using testing::WithFault;

constexpr uint8_t Untouched = 0xAB;

void OpenAndAskChipId(ChannelRig& rig) {
    ASSERT_EQ(rig.channel.Open(), 0u);
    ASSERT_EQ(rig.channel.Write(ChipIdRequestBytes, sizeof ChipIdRequestBytes), 0u);
}

TEST(ChannelReadOnce, ReadsWhatIsWaitingUpToTheArea) {
    struct Case {
        const char* name;
        SimulatedInterfaceOptions options;
        std::vector<uint32_t> counts;  // of successive calls; 0 stands for a time-out
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"silent", WithFault(Fault::Silent), {0}, {}},
        {"three bytes waiting",
         WithFault(Fault::Raw, Request::ChipId, {0x01, 0x02, 0x03}),
         {3, 0},
         {"Read  :  01 02 03"}},
        {"more than 5,000 waiting", WithFault(Fault::OverLongFrame), {5000, 1000, 0}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ChannelRig rig(c.options);
        OpenAndAskChipId(rig);
        for (uint32_t expected : c.counts) {
            std::array<uint8_t, ReceiveAreaSize + 16> area;
            area.fill(Untouched);
            uint32_t count = 12345;
            const uint32_t start = rig.clock.Now();
            const uint32_t status = rig.channel.ReadOnce(area.data(), count);
            if (expected == 0) {
                EXPECT_EQ(status, DEVICE_READ_TIMEOUT);
                const uint32_t elapsed = rig.ElapsedSince(start);
                EXPECT_GE(elapsed, 5500u);
                EXPECT_LE(elapsed, 5510u);
                EXPECT_EQ(count, 12345u) << "count not written";
                EXPECT_TRUE(std::all_of(area.begin(), area.end(),
                                        [](uint8_t b) { return b == Untouched; }));
            } else {
                EXPECT_EQ(status, 0u);
                EXPECT_EQ(count, expected);
                EXPECT_TRUE(std::all_of(area.begin() + ReceiveAreaSize, area.end(), [](uint8_t b) {
                    return b == Untouched;
                })) << "wrote past the 5,000-byte destination";
            }
        }
        const auto reads = rig.ReadLines();
        if (!c.lines.empty()) {
            EXPECT_EQ(reads, c.lines);
        }
        EXPECT_EQ(reads.size(), std::count_if(c.counts.begin(), c.counts.end(),
                                              [](uint32_t n) { return n > 0; }));
    }
}

TEST(ChannelReadFrame, AssemblesOrRejectsReplies) {
    constexpr uint32_t Timeout = 1000;
    struct Case {
        const char* name;
        SimulatedInterfaceOptions options;
        uint32_t timeoutMs;
        uint32_t status;
        std::optional<uint32_t> payloadLength;  // nullopt: not written
        std::size_t readLines;
        uint32_t minMs, maxMs;
    };
    SimulatedInterfaceOptions threePieces;
    threePieces.replyPieceSize = 5;
    SimulatedInterfaceOptions unevenPieces;
    unevenPieces.replyPieceSizes = {1, 7, 3};  // 15 bytes: 1, 7, 3, 3, 1
    SimulatedInterfaceOptions twoByteFrame = WithFault(Fault::ShortFrame);
    twoByteFrame.shortFrameLength = 2;
    const Case cases[] = {
        {"whole reply", {}, Timeout, 0, 10, 1, 0, 10},
        {"three pieces", threePieces, Timeout, 0, 10, 3, 35, 50},
        {"pieces of uneven sizes", unevenPieces, Timeout, 0, 10, 5, 75, 95},
        {"frame length 0", WithFault(Fault::FrameLengthZero), Timeout, DEVICE_READ_TIMEOUT,
         std::nullopt, 1, 5500, 5520},
        {"frame length 1", WithFault(Fault::FrameLengthOne), Timeout, DEVICE_READ_TIMEOUT,
         std::nullopt, 1, 5500, 5520},
        {"6-byte frame, payload length 2",
         WithFault(Fault::Raw, Request::ChipId, {0x06, 0x00, 0x02, 0x00, 0xD1, 0xD7}), Timeout,
         DEVICE_COMMAND_FAILED, std::nullopt, 1, 0, 10},
        {"payload one past the frame", WithFault(Fault::PayloadPastFrame), Timeout,
         DEVICE_COMMAND_FAILED, std::nullopt, 1, 0, 10},
        {"10-byte frame, payload length 1",
         WithFault(Fault::Raw, Request::ChipId,
                   {0x0A, 0x00, 0x01, 0x00, 0xD1, 0x00, 0x00, 0x00, 0x00, 0x00}),
         Timeout, 0, 1, 1, 0, 10},
        {"extra bytes after the frame", WithFault(Fault::ExtraBytes), Timeout, DEVICE_READ_TIMEOUT,
         std::nullopt, 1, 5500, 5520},
        {"over-long frame", WithFault(Fault::OverLongFrame), Timeout, DEVICE_READ_TIMEOUT,
         std::nullopt, 2, 5500, 5540},
        {"4-byte frame", WithFault(Fault::ShortFrame), Timeout, 0, 0, 1, 0, 10},
        {"2-byte frame", twoByteFrame, Timeout, 0, 0, 1, 0, 10},
        {"silent, 1,000 ms", WithFault(Fault::Silent), 1000, DEVICE_READ_TIMEOUT, std::nullopt, 0,
         5500, 5510},
        {"silent, 5,500 ms", WithFault(Fault::Silent), 5500, DEVICE_READ_TIMEOUT, std::nullopt, 0,
         5500, 5510},
        {"silent, 20,000 ms", WithFault(Fault::Silent), 20000, DEVICE_READ_TIMEOUT, std::nullopt, 0,
         22000, 22030},
        {"incomplete piece, time-out 0", WithFault(Fault::FrameLengthZero), 0, DEVICE_READ_TIMEOUT,
         std::nullopt, 1, 0, 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ChannelRig rig(c.options);
        OpenAndAskChipId(rig);
        std::array<uint8_t, CommandReplyAreaSize> destination;
        destination.fill(Untouched);
        uint32_t length = 4242;
        const uint32_t start = rig.clock.Now();
        EXPECT_EQ(rig.channel.ReadFrame(destination.data(), CommandReplyAreaSize, length, c.timeoutMs),
                  c.status);
        const uint32_t elapsed = rig.ElapsedSince(start);
        EXPECT_GE(elapsed, c.minMs);
        EXPECT_LE(elapsed, c.maxMs);
        EXPECT_EQ(length, c.payloadLength.value_or(4242));
        const uint32_t copied = c.payloadLength.value_or(0);
        EXPECT_TRUE(std::all_of(destination.begin() + copied, destination.end(), [](uint8_t b) {
            return b == Untouched;
        })) << "bytes written past the payload";
        EXPECT_EQ(rig.ReadLines().size(), c.readLines);
        if (c.status == 0 && copied >= 2) {
            EXPECT_EQ(destination[0], 0xD1);
        }
    }
}

TEST(ChannelReadFrame, TimeOutCountsFromTheLastBytes) {
    // Pieces 800 ms apart complete a frame under a 1,000 ms time-out; pieces 6 s apart (longer
    // than one receive wait) complete it under 20,000 ms.
    struct Case {
        uint32_t intervalMs;
        uint32_t timeoutMs;
        uint32_t status;
    };
    const Case cases[] = {
        {800, 1000, 0},
        {6000, 20000, 0},
        {6000, 5000, DEVICE_READ_TIMEOUT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.intervalMs);
        SimulatedInterfaceOptions options;
        options.replyPieceSize = 5;
        options.pieceIntervalMs = c.intervalMs;
        ChannelRig rig(options);
        OpenAndAskChipId(rig);
        uint8_t destination[CommandReplyAreaSize] = {};
        uint32_t length = 0;
        EXPECT_EQ(rig.channel.ReadFrame(destination, sizeof destination, length, c.timeoutMs),
                  c.status);
        if (c.status == 0) {
            EXPECT_EQ(length, 10u);
            EXPECT_EQ(rig.ReadLines().size(), 3u);
        }
    }
}

TEST(ChannelReadFrame, NeverCopiesPastTheDestination) {
    ChannelRig rig;
    ASSERT_EQ(rig.channel.Open(), 0u);
    ASSERT_EQ(rig.channel.Write(testing::DeviceInfoRequestBytes, 6), 0u);
    std::array<uint8_t, 16> destination;
    destination.fill(Untouched);
    uint32_t length = 0;
    ASSERT_EQ(rig.channel.ReadFrame(destination.data(), 8, length, 1000), 0u);
    EXPECT_EQ(length, 8u) << "the payload is cut to the capacity";
    EXPECT_EQ(destination[0], 0xBE);
    EXPECT_TRUE(std::all_of(destination.begin() + 8, destination.end(),
                            [](uint8_t b) { return b == Untouched; }));
}

TEST(ChannelWrite, LogsEveryTransferEvenWhenItFails) {
    SimulatedInterfaceOptions options;
    options.unplugBeforeTransfer = 2;
    ChannelRig rig(options);
    ASSERT_EQ(rig.channel.Open(), 0u);
    EXPECT_EQ(rig.channel.Write(ChipIdRequestBytes, 6), 0u);
    const uint8_t block[] = {0x07, 0x00, 0x02, 0x00, 0x10, 0x20, 0x35};
    const uint32_t status = rig.channel.WriteFrame(block, sizeof block);
    EXPECT_NE(status, 0u) << "unplugged before the second transfer";
    EXPECT_NE(status, DEVICE_COMMAND_FAILED);
    EXPECT_EQ(rig.capture.Lines(), (std::vector<std::string>{
                                       "Write :  06 00 01 00 D1 D6",
                                       "Write :  07 00 02 00 10 20 35",
                                   }));
}

}  // namespace
}  // namespace zolt
