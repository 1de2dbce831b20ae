// The reply checks on their own, over damaged replies: whatever the bytes say, nothing is read or
// written outside the areas (the sanitizers watch), and a refused reply changes nothing.
#include <gtest/gtest.h>

#include <random>

#include "server/exchange_records.h"
#include "sim/server/reference_server.h"
#include "tests/support/test_support.h"

namespace zolt {
namespace {

TEST(UnpackReply, DamagedRepliesAreTakenWholeOrNotAtAll) {
    testing::ScopedTestLog log;
    std::vector<std::vector<uint8_t>> records;
    for (int i = 0; i < 6; ++i) {
        records.emplace_back(static_cast<std::size_t>(i * 9), static_cast<uint8_t>(0x30 + i));
    }
    const std::vector<uint8_t> good = sim::BuildReply(records);

    std::mt19937 random(4006);
    int taken = 0;
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> bytes = good;
        const int damage = static_cast<int>(random() % 4);
        for (int d = 0; d < damage; ++d) {
            bytes[random() % bytes.size()] = static_cast<uint8_t>(random());
        }
        if (random() % 3 == 0) {
            bytes.resize(random() % (bytes.size() + 1));
        }
        if (random() % 4 == 0 && bytes.size() >= 4) {  // keep the total length honest
            const auto n = static_cast<uint32_t>(bytes.size());
            bytes[0] = static_cast<uint8_t>(n);
            bytes[1] = static_cast<uint8_t>(n >> 8);
            bytes[2] = bytes[3] = 0;
        }

        // A small list: 8 slots of 48 bytes, preset with a mark that a refusal must leave.
        RecordList reply(8, 48);
        reply.count = -7;
        reply.lengths.assign(8, 3);
        const int32_t result = UnpackReply(bytes.data(), static_cast<int32_t>(bytes.size()), reply);
        if (result == 0) {
            ++taken;
            ASSERT_GE(reply.count, 0);
            ASSERT_LE(reply.count, 8);
            int64_t sum = 8 + 4 * int64_t{reply.count};
            for (int32_t i = 0; i < reply.count; ++i) {
                ASSERT_GE(reply.lengths[static_cast<std::size_t>(i)], 0);
                ASSERT_LE(reply.lengths[static_cast<std::size_t>(i)], 48);
                sum += reply.lengths[static_cast<std::size_t>(i)];
            }
            ASSERT_LE(sum, static_cast<int64_t>(bytes.size()));
        } else {
            ASSERT_EQ(result, RECORD_FORMAT_ERROR);
            ASSERT_EQ(reply.count, -7);
            ASSERT_EQ(reply.lengths, std::vector<int32_t>(8, 3));
        }
    }
    EXPECT_GT(taken, 0);  // the undamaged and harmlessly damaged ones
}

TEST(UnpackReply, RecordBoundariesFollowTheLengthTable) {
    testing::ScopedTestLog log;
    const std::vector<std::vector<uint8_t>> records = {{1, 2, 3}, {}, {4}, {5, 6}};
    const auto bytes = sim::BuildReply(records);
    RecordList reply(RecordList::ReplySlots, RecordList::ReplySlotCapacity);
    ASSERT_EQ(UnpackReply(bytes.data(), static_cast<int32_t>(bytes.size()), reply), 0);
    ASSERT_EQ(reply.count, 4);
    for (int32_t i = 0; i < 4; ++i) {
        const auto& r = records[static_cast<std::size_t>(i)];
        ASSERT_EQ(reply.lengths[static_cast<std::size_t>(i)], static_cast<int32_t>(r.size()));
        EXPECT_EQ(std::vector<uint8_t>(reply.Slot(i), reply.Slot(i) + r.size()), r);
    }
}

}  // namespace
}  // namespace zolt
