// The reference server's own parts: request checking, firmware files and demo firmware.
#include "sim/server/reference_server.h"

#include <gtest/gtest.h>

#include "device/device_frame.h"
#include "server/exchange_records.h"
#include "tests/support/test_support.h"

namespace zolt::sim {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes ValidRequest() {
    RecordList list(RecordList::RequestSlots, RecordList::RequestSlotCapacity);
    list.Slot(0)[0] = 0x0A;
    list.Slot(0)[1] = 0x01;
    list.lengths[0] = 2;
    Bytes image;
    EXPECT_EQ(AddIdentityRecords(list, 1, WideText(u"LAB-7")), 0);
    EXPECT_EQ(BuildRequestImage(list, 3, image), 0);
    return image;
}

TEST(ParseRequest, TakesAClientRequestApartAndRefusesBrokenOnes) {
    testing::ScopedTestLog log;
    const ParsedRequest good = ParseRequest(ValidRequest());
    ASSERT_TRUE(good.ok) << good.error;
    EXPECT_EQ(good.resumeOffset, 0u);
    ASSERT_EQ(good.records.size(), 3u);
    EXPECT_EQ(good.records[0], (Bytes{0x0A, 0x01}));
    EXPECT_EQ(good.records[1].size(), 10u);

    struct Case {
        const char* name;
        void (*breakIt)(Bytes&);
    };
    const Case cases[] = {
        {"too short", [](Bytes& b) { b.resize(12); }},
        {"total length off", [](Bytes& b) { b[0] += 1; }},
        {"no terminator", [](Bytes& b) { b.back() = 1; }},
        {"count too large", [](Bytes& b) { b[8] = 0xFF; }},
        {"lengths past the end", [](Bytes& b) { b[12] = 0xF0; }},
        {"lengths short of the data", [](Bytes& b) { b[12] = 1; }},
    };
    for (const auto& c : cases) {
        Bytes request = ValidRequest();
        c.breakIt(request);
        const ParsedRequest parsed = ParseRequest(request);
        EXPECT_FALSE(parsed.ok) << c.name;
        EXPECT_FALSE(parsed.error.empty()) << c.name;
    }
}

// Lengths 0xFFFFFFEC and 29 after a 20-byte header: summed in 32 bits they wrap to exactly the 29
// data bytes of a 30-byte request, which a 32-bit build once took for a valid request.
TEST(ParseRequest, SumsRecordLengthsWithoutWrapping) {
    Bytes request(30, 0);
    const uint8_t head[] = {30, 0, 0,    0,    0,    0,    0,  0, 2, 0,
                            0,  0, 0xEC, 0xFF, 0xFF, 0xFF, 29, 0, 0, 0};
    std::copy(std::begin(head), std::end(head), request.begin());
    const ParsedRequest parsed = ParseRequest(request);
    EXPECT_FALSE(parsed.ok);
    EXPECT_EQ(parsed.error, "record lengths run past the end");

    // The sum itself, whose width does not depend on the build's size_t.
    EXPECT_EQ(RecordsEnd(request.data() + 12, 2, 20, 29), std::nullopt);
    EXPECT_EQ(RecordsEnd(request.data() + 12, 1, 20, 0xFFFFFFFFull + 20), 0xFFFFFFECull + 20);
    const uint8_t fits[] = {4, 0, 0, 0, 5, 0, 0, 0};
    EXPECT_EQ(RecordsEnd(fits, 2, 20, 29), 29u);
    EXPECT_EQ(RecordsEnd(fits, 2, 20, 28), std::nullopt);
}

TEST(DemoFirmware, BlocksAreCompleteDeviceFramesOfTheAskedSize) {
    const auto blocks = DemoFirmware(RequestJ2534Firmware, 3, 64);
    ASSERT_EQ(blocks.size(), 3u);
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        ASSERT_EQ(blocks[i].size(), 64u);
        const ParsedFrame frame = ParseDeviceFrame(blocks[i]);
        ASSERT_TRUE(frame.ok);
        EXPECT_EQ(frame.payload[0], DemoJ2534Command);
        EXPECT_EQ(frame.payload[1], i);  // block index, little-endian
        EXPECT_EQ(frame.payload[3], 3);  // block count
    }
    EXPECT_NE(DemoFirmware(RequestStFirmware, 1)[0], DemoFirmware(RequestJ2534Firmware, 1)[0]);
    EXPECT_EQ(DemoFirmware(RequestStFirmware, 1, 5000)[0].size(), 1100u);  // a reply slot at most
    EXPECT_EQ(DemoFirmware(RequestStFirmware, 1, 1)[0].size(), 6u);
}

TEST(SplitFrames, ReadsFramesStoredBackToBack) {
    const auto blocks = DemoFirmware(RequestStFirmware, 4, 300);
    Bytes file;
    for (const auto& b : blocks) {
        file.insert(file.end(), b.begin(), b.end());
    }
    std::vector<Bytes> frames;
    std::string error;
    ASSERT_TRUE(SplitFrames(file, frames, error)) << error;
    EXPECT_EQ(frames, blocks);

    struct Case {
        const char* name;
        Bytes bytes;
    };
    Bytes badCheck = blocks[0];
    badCheck.back() ^= 0xFF;
    Bytes oversize = BuildDeviceFrame(Bytes(1200, 1));
    const Case cases[] = {
        {"cut off", Bytes(file.begin(), file.end() - 1)},
        {"one stray byte", Bytes{0x01}},
        {"bad check byte", badCheck},
        {"larger than a reply slot", oversize},
        {"frame length below a command frame", Bytes{0x05, 0x00, 0x00, 0x00, 0x05}},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(SplitFrames(c.bytes, frames, error)) << c.name;
        EXPECT_FALSE(error.empty()) << c.name;
    }
}

}  // namespace
}  // namespace zolt::sim
