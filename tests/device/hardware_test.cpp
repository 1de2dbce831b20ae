// The opt-in check on real hardware: with ZOLT_HARDWARE=1 set and the interface plugged in, runs
// reset 1A, the chip identifier, the information block and reset 00 through whatever driver the
// program finds, and prints the identity. Skipped otherwise. The log (log.bin beside this test
// program) holds every transfer.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device/communication_ft32.h"
#include "log/log.h"

namespace zolt {
namespace {

TEST(Hardware, IdentifiesTheAttachedInterface) {
    const char* wanted = std::getenv("ZOLT_HARDWARE");
    if (wanted == nullptr || std::strcmp(wanted, "1") != 0) {
        GTEST_SKIP() << "set ZOLT_HARDWARE=1 with the interface plugged in to run this check";
    }
    std::printf("driver: %s\n", ProcessDriverName());
    CCommunicationFT32 channel;  // the program's driver and clock
    ASSERT_EQ(channel.Open(), 0u) << "no interface opened within 10 s";
    EXPECT_EQ(channel.Reset1A(), 0u);
    uint8_t chipId[ChipIdSize] = {};
    uint8_t info[InfoRecordSize] = {};
    const uint32_t chip = channel.GetChipId(chipId);
    const uint32_t described = channel.GetDeviceInfo(info);
    const uint32_t reset = channel.Reset00();
    channel.Close();
    EXPECT_EQ(chip, 0u);
    EXPECT_EQ(described, 0u);
    EXPECT_EQ(reset, 0u);
    std::printf("chip identifier: %s\n", ToUtf8(BytesToHex(chipId, ChipIdSize)).c_str());
    std::printf("info record:     %s\n", ToUtf8(BytesToHex(info, InfoRecordFilled)).c_str());
}

}  // namespace
}  // namespace zolt
