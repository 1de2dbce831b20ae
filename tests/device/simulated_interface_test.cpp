#include "sim/interface/simulated_interface.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "device/communication_ft32.h"
#include "device/device_frame.h"
#include "tests/device/channel_rig.h"

namespace zolt {
namespace {

using sim::Part;
using sim::SimulatedInterface;
using sim::SimulatedInterfaceOptions;
using testing::ChannelRig;

std::vector<uint8_t> Block(uint8_t code, std::size_t dataBytes, uint8_t seed) {
    std::vector<uint8_t> payload = {code};
    for (std::size_t i = 0; i < dataBytes; ++i) {
        payload.push_back(static_cast<uint8_t>(seed + i * 7));
    }
    return BuildDeviceFrame(payload);
}

// Sends a block and returns the answer's payload (empty when no frame came).
std::vector<uint8_t> SendBlock(CCommunicationFT32& channel, const std::vector<uint8_t>& block) {
    EXPECT_EQ(channel.WriteFrame(block.data(), static_cast<uint32_t>(block.size())), 0u);
    uint8_t answer[1000] = {};
    uint32_t length = 0;
    if (channel.ReadFrame(answer, sizeof answer, length, CommandTimeoutMs) != 0) {
        return {};
    }
    return {answer, answer + length};
}

TEST(SimulatedInterface, KeepsAndAnswersEachPartsBlocks) {
    SimulatedInterfaceOptions options;
    options.rejectBlock = sim::BlockRejection{Part::J2534, 1};
    ChannelRig rig(options);
    ASSERT_EQ(rig.channel.Open(), 0u);

    const std::vector<std::vector<uint8_t>> stBlocks = {Block(0x31, 100, 1), Block(0x32, 900, 2)};
    std::vector<uint8_t> corrupt = Block(0x33, 20, 3);
    corrupt.back() ^= 0x5A;  // wrong check byte
    const std::vector<std::vector<uint8_t>> jBlocks = {Block(0x41, 10, 4), Block(0x42, 10, 5),
                                                       Block(0x43, 10, 6)};

    ASSERT_EQ(rig.channel.Reset1A(), 0u);
    for (const auto& block : stBlocks) {
        EXPECT_EQ(SendBlock(rig.channel, block), (std::vector<uint8_t>{block[4], 0x00}));
    }
    EXPECT_EQ(SendBlock(rig.channel, corrupt), (std::vector<uint8_t>{0x33, 0x01}));
    ASSERT_EQ(rig.channel.Reset2B(), 0u);
    std::vector<std::vector<uint8_t>> answers;
    for (const auto& block : jBlocks) {
        answers.push_back(SendBlock(rig.channel, block));
    }
    EXPECT_EQ(answers,
              (std::vector<std::vector<uint8_t>>{{0x41, 0x00}, {0x42, 0x02}, {0x43, 0x00}}));

    auto expectedSt = stBlocks;
    expectedSt.push_back(corrupt);
    EXPECT_EQ(rig.device.ReceivedBlocks(Part::St), expectedSt);
    EXPECT_EQ(rig.device.ReceivedBlocks(Part::J2534), jBlocks);
    EXPECT_EQ(rig.device.BlockResults(Part::St), (std::vector<uint8_t>{0, 0, 1}));
    EXPECT_EQ(rig.device.BlockResults(Part::J2534), (std::vector<uint8_t>{0, 2, 0}));
}

TEST(SimulatedInterface, FaultRulesHitTheirOccurrenceOnly) {
    SimulatedInterfaceOptions options;
    options.faults.push_back({sim::Fault::WrongResultByte, sim::Request::Block, 2, {}});
    ChannelRig rig(options);
    ASSERT_EQ(rig.channel.Open(), 0u);
    std::vector<uint8_t> results;
    for (uint8_t i = 0; i < 3; ++i) {
        const auto answer = SendBlock(rig.channel, Block(static_cast<uint8_t>(0x50 + i), 4, i));
        ASSERT_EQ(answer.size(), 2u);
        results.push_back(answer[1]);
    }
    EXPECT_EQ(results, (std::vector<uint8_t>{0, 1, 0}));
    uint8_t id[ChipIdSize];
    EXPECT_EQ(rig.channel.GetChipId(id), 0u) << "a block rule leaves other requests alone";
}

TEST(SimulatedInterface, LineRateDelaysAnAnswerUntilBothCrossedTheLine) {
    VirtualClock clock(0, 0);  // time moves only when the test says so
    SimulatedInterface device(clock, sim::DemoInterfaceOptions());
    FT_HANDLE handle = nullptr;
    ASSERT_EQ(device.OpenEx("ZOLT", &handle), FT_OK);

    // 1,000 block bytes, then the 7-byte answer, at 86.8 us a byte: 86.8 ms, then 87.4 ms.
    const auto block = Block(0x31, 994, 9);
    ASSERT_EQ(block.size(), 1000u);
    uint32_t written = 0;
    ASSERT_EQ(device.Write(handle, block.data(), 1000, &written), FT_OK);
    EXPECT_EQ(written, 1000u);
    uint32_t rx = 0, tx = 0, event = 0;
    clock.Advance(86);  // the block is still crossing
    ASSERT_EQ(device.GetStatus(handle, &rx, &tx, &event), FT_OK);
    EXPECT_EQ(rx, 0u);
    clock.Advance(1);  // the answer is crossing
    ASSERT_EQ(device.GetStatus(handle, &rx, &tx, &event), FT_OK);
    EXPECT_GT(rx, 0u);
    EXPECT_LT(rx, 7u);
    clock.Advance(1);
    ASSERT_EQ(device.GetStatus(handle, &rx, &tx, &event), FT_OK);
    EXPECT_EQ(rx, 7u);

    // The reply to a chip-identifier request trickles in a byte at a time.
    const uint8_t request[] = {0x06, 0x00, 0x01, 0x00, 0xD1, 0xD6};
    uint8_t answer[7];
    ASSERT_EQ(device.Read(handle, answer, 7, &written), FT_OK);
    ASSERT_EQ(device.Write(handle, request, 6, &written), FT_OK);
    clock.Advance(1);  // 6 + 5 bytes have crossed
    ASSERT_EQ(device.GetStatus(handle, &rx, &tx, &event), FT_OK);
    EXPECT_GT(rx, 0u);
    EXPECT_LT(rx, 15u);
    clock.Advance(1);
    ASSERT_EQ(device.GetStatus(handle, &rx, &tx, &event), FT_OK);
    EXPECT_EQ(rx, 15u);
    device.Close(handle);
}

TEST(SimulatedInterface, HowWritesSplitTheStreamDoesNotMatter) {
    // After a reset: a request, blocks (one corrupt, one rejected) and a short non-frame, as one
    // stream cut into writes in several ways.
    std::vector<uint8_t> stream = {0x06, 0x00, 0x01, 0x00, 0xD1, 0xD6};
    const auto append = [&](const std::vector<uint8_t>& bytes) {
        stream.insert(stream.end(), bytes.begin(), bytes.end());
    };
    append(Block(0x31, 1095, 1));
    auto corrupt = Block(0x32, 300, 2);
    corrupt.back() ^= 0x01;
    append(corrupt);
    append({0x02, 0x00});  // no frame: dropped
    append(Block(0x33, 40, 3));
    append(Block(0x34, 1, 4));

    struct Run {
        std::vector<uint8_t> replies;
        std::vector<std::vector<uint8_t>> blocks;
        std::vector<uint8_t> results;
    };
    const auto play = [&](sim::Timing timing, const std::vector<std::size_t>& cuts) {
        VirtualClock clock(0, 0);
        SimulatedInterfaceOptions options;
        options.timing = timing;
        options.rejectBlock = sim::BlockRejection{Part::St, 2};
        SimulatedInterface device(clock, options);
        FT_HANDLE handle = nullptr;
        EXPECT_EQ(device.OpenEx("ZOLT", &handle), FT_OK);
        const uint8_t reset[] = {0x03, 0x00, 0x1A};
        uint32_t n = 0;
        EXPECT_EQ(device.Write(handle, reset, 3, &n), FT_OK);
        clock.Advance(100);  // the part has restarted
        std::size_t from = 0;
        for (std::size_t cut : cuts) {
            cut = std::min(cut, stream.size());
            uint32_t written = 0;
            EXPECT_EQ(device.Write(handle, stream.data() + from, static_cast<uint32_t>(cut - from),
                                   &written),
                      FT_OK);
            from = cut;
        }
        clock.Advance(1'000);
        Run run;
        uint32_t rx = 0, tx = 0, event = 0;
        EXPECT_EQ(device.GetStatus(handle, &rx, &tx, &event), FT_OK);
        run.replies.resize(rx);
        uint32_t got = 0;
        EXPECT_EQ(device.Read(handle, run.replies.data(), rx, &got), FT_OK);
        run.blocks = device.ReceivedBlocks(Part::St);
        run.results = device.BlockResults(Part::St);
        device.Close(handle);
        return run;
    };

    std::vector<std::size_t> everyByte;
    for (std::size_t i = 1; i <= stream.size(); ++i) {
        everyByte.push_back(i);
    }
    for (const auto timing : {sim::Timing::Immediate, sim::Timing::LineRate}) {
        const Run bytewise = play(timing, everyByte);
        EXPECT_EQ(bytewise.results, (std::vector<uint8_t>{0, 1, 2, 0}));
        EXPECT_EQ(bytewise.replies.size(), 7u + 15u + 4 * 7u);  // reset, chip id, blocks
        const std::vector<std::vector<std::size_t>> splits = {
            {stream.size()},
            {1, 2, 3, 7, 9, 10, 500, 1106, 1107, 1111, stream.size()},
            {4, 1200, stream.size() - 1, stream.size()}};
        for (const auto& cuts : splits) {
            const Run run = play(timing, cuts);
            EXPECT_EQ(run.replies, bytewise.replies);
            EXPECT_EQ(run.blocks, bytewise.blocks);
            EXPECT_EQ(run.results, bytewise.results);
        }
    }
}

TEST(SimulatedInterface, BlocksNeedNotBeKept) {
    SimulatedInterfaceOptions options;
    options.keepBlocks = false;
    options.rejectBlock = sim::BlockRejection{Part::St, 1};
    ChannelRig rig(options);
    ASSERT_EQ(rig.channel.Open(), 0u);
    EXPECT_EQ(SendBlock(rig.channel, Block(0x31, 50, 1)), (std::vector<uint8_t>{0x31, 0x00}));
    EXPECT_EQ(SendBlock(rig.channel, Block(0x32, 50, 2)), (std::vector<uint8_t>{0x32, 0x02}));
    EXPECT_EQ(SendBlock(rig.channel, Block(0x33, 50, 3)), (std::vector<uint8_t>{0x33, 0x00}));
    EXPECT_TRUE(rig.device.ReceivedBlocks(Part::St).empty());
    EXPECT_EQ(rig.device.BlockResults(Part::St), (std::vector<uint8_t>{0, 2, 0}));
    rig.channel.Close();
}

TEST(SimulatedInterface, FineTimeMakesAnAnswerReadableAsSoonAsItCrossed) {
    VirtualClock clock(0, 0);  // whole milliseconds stay at 0
    VirtualPreciseTime fine;
    fine.frequency = 1'000'000'000;
    fine.counter = 5'000;
    SimulatedInterfaceOptions options = sim::DemoInterfaceOptions();
    options.fineTime = &fine;
    SimulatedInterface device(clock, options);
    FT_HANDLE handle = nullptr;
    ASSERT_EQ(device.OpenEx("ZOLT", &handle), FT_OK);

    // 1,000 block bytes and the 7-byte answer: 1,007 x 86,806 ns = 87,413,642 ns.
    const auto block = Block(0x31, 994, 9);
    uint32_t written = 0;
    ASSERT_EQ(device.Write(handle, block.data(), 1000, &written), FT_OK);
    uint32_t rx = 0, tx = 0, event = 0;
    fine.counter = 5'000 + 87'413'641;
    ASSERT_EQ(device.GetStatus(handle, &rx, &tx, &event), FT_OK);
    EXPECT_EQ(rx, 6u);
    fine.counter += 1;
    ASSERT_EQ(device.GetStatus(handle, &rx, &tx, &event), FT_OK);
    EXPECT_EQ(rx, 7u);
    device.Close(handle);
}

TEST(SimulatedInterface, ResetRestartLosesTheRepeatedFrame) {
    // Two reset frames back to back: the second arrives while the part restarts, so one reply.
    VirtualClock clock;
    SimulatedInterface device(clock);
    FT_HANDLE handle = nullptr;
    ASSERT_EQ(device.OpenEx("ZOLT", &handle), FT_OK);
    const uint8_t reset[] = {0x03, 0x00, 0x00};
    uint32_t n = 0;
    ASSERT_EQ(device.Write(handle, reset, 3, &n), FT_OK);
    ASSERT_EQ(device.Write(handle, reset, 3, &n), FT_OK);
    clock.Advance(100);
    uint32_t rx = 0, tx = 0, event = 0;
    ASSERT_EQ(device.GetStatus(handle, &rx, &tx, &event), FT_OK);
    EXPECT_EQ(rx, 7u);
}

TEST(SimulatedInterface, UnplugMakesTheHandleStaleUntilClosed) {
    VirtualClock clock;
    SimulatedInterface device(clock);
    FT_HANDLE handle = nullptr;
    ASSERT_EQ(device.OpenEx("ZOLT", &handle), FT_OK);
    FT_HANDLE again = nullptr;
    ASSERT_EQ(device.OpenEx("ZOLT", &again), FT_OK);
    EXPECT_EQ(again, handle) << "already open: the same handle";

    device.Unplug();
    uint32_t count = 9, rx = 0, tx = 0, event = 0;
    EXPECT_EQ(device.ListDevices(&count), FT_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_NE(device.GetStatus(handle, &rx, &tx, &event), FT_OK);
    uint8_t byte = 0;
    EXPECT_NE(device.Write(handle, &byte, 1, &count), FT_OK);
    EXPECT_NE(device.OpenEx("ZOLT", &again), FT_OK);
    EXPECT_TRUE(device.HandleOpen());
    EXPECT_EQ(device.Close(handle), FT_OK);
    EXPECT_FALSE(device.HandleOpen());
    EXPECT_EQ(device.Close(handle), FT_INVALID_HANDLE);

    device.Plug();
    ASSERT_EQ(device.OpenEx("ZOLT", &again), FT_OK);
    EXPECT_NE(again, handle);
    device.Close(again);
}

TEST(SimulatedInterface, CanBeInspectedWhileAWorkerUsesIt) {
    ChannelRig rig;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        CCommunicationFT32& channel = rig.channel;
        channel.Open();
        for (int round = 0; round < 20; ++round) {
            channel.Reset1A();
            uint8_t id[ChipIdSize];
            channel.GetChipId(id);
            SendBlock(channel, Block(0x31, 200, static_cast<uint8_t>(round)));
        }
        channel.Reset00();
        done = true;
    });
    std::size_t seen = 0;
    while (!done) {
        seen = std::max(seen, rig.device.ReceivedBlocks(Part::St).size());
        (void)rig.device.HandleOpen();
        (void)rig.device.Stats();
    }
    worker.join();
    EXPECT_EQ(rig.device.ReceivedBlocks(Part::St).size(), 20u);
    EXPECT_LE(seen, 20u);
    EXPECT_FALSE(rig.device.HandleOpen());
}

}  // namespace
}  // namespace zolt
