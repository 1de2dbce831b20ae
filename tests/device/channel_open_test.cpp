#include <gtest/gtest.h>

#include "tests/device/channel_rig.h"

namespace zolt {
namespace {

using sim::SimulatedInterfaceOptions;
using testing::ChannelRig;

TEST(ChannelOpen, FindsTheInterfaceWithinTheWindow) {
    struct Case {
        const char* name;
        bool attached;
        std::optional<uint32_t> attachAtMs;
        const char* description;
        bool permissionDenied;
        uint32_t status;
        uint32_t minMs, maxMs;
    };
    const Case cases[] = {
        {"absent", false, std::nullopt, "ZOLT", false, DEVICE_NOT_FOUND, 10000, 10010},
        {"appears after 3 s", false, 3000, "ZOLT", false, 0, 3000, 3010},
        {"first description", true, std::nullopt, "ZOLT", false, 0, 0, 10},
        {"second description", true, std::nullopt, "PRYN Interface 171213", false, 0, 0, 10},
        {"third description", true, std::nullopt, "PRYN Interface 171071", false, 0, 0, 10},
        {"unknown description", true, std::nullopt, "PRYN Interface", false, DEVICE_NOT_FOUND,
         10000, 10010},
        {"permission denied", true, std::nullopt, "ZOLT", true, DEVICE_NOT_FOUND, 10000, 10010},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SimulatedInterfaceOptions options;
        options.attached = c.attached;
        options.attachAtMs = c.attachAtMs;
        options.description = c.description;
        options.permissionDenied = c.permissionDenied;
        ChannelRig rig(options);

        const uint32_t start = rig.clock.Now();
        EXPECT_EQ(rig.channel.Open(), c.status);
        const uint32_t elapsed = rig.ElapsedSince(start);
        EXPECT_GE(elapsed, c.minMs);
        EXPECT_LE(elapsed, c.maxMs);

        const bool opened = c.status == 0;
        EXPECT_EQ(rig.channel.IsOpen(), opened);
        EXPECT_EQ(rig.device.HandleOpen(), opened);
        const auto stats = rig.device.Stats();
        if (opened) {
            EXPECT_EQ(stats.openedDescription, c.description);
            EXPECT_TRUE(stats.line.baudSet);
            EXPECT_EQ(stats.line.baudRate, 115200u);
            EXPECT_TRUE(stats.line.formatSet);
            EXPECT_EQ(stats.line.dataBits, 8);
            EXPECT_EQ(stats.line.stopBits, 0);  // one stop bit
            EXPECT_EQ(stats.line.parity, 0);
        } else {
            EXPECT_EQ(stats.opens, 0u);
        }
        EXPECT_TRUE(rig.capture.Lines().empty()) << "opening writes nothing to the log";
    }
}

TEST(ChannelOpen, TryOpenMakesOneAttempt) {
    SimulatedInterfaceOptions options;
    options.attached = false;
    ChannelRig rig(options);
    const uint32_t start = rig.clock.Now();
    EXPECT_EQ(rig.channel.TryOpen(), DEVICE_NOT_FOUND);
    EXPECT_LE(rig.ElapsedSince(start), 2u);
    EXPECT_EQ(rig.device.Stats().listCalls, 1u);
    EXPECT_EQ(rig.device.Stats().openCalls, 0u) << "no description is tried without a device";
}

TEST(ChannelOpen, ReopenHandsBackTheHeldHandleAndCloseReleasesIt) {
    ChannelRig rig;
    ASSERT_EQ(rig.channel.Open(), 0u);
    const FT_HANDLE first = rig.channel.Handle();

    EXPECT_EQ(rig.channel.Open(), 0u);  // as the reset sequences do
    EXPECT_EQ(rig.channel.Handle(), first);
    EXPECT_EQ(rig.device.Stats().opens, 1u);
    EXPECT_EQ(rig.device.Stats().reopens, 1u);

    rig.channel.Close();
    EXPECT_FALSE(rig.channel.IsOpen());
    EXPECT_FALSE(rig.device.HandleOpen());
    rig.channel.Close();  // closed already: nothing happens
    EXPECT_EQ(rig.device.Stats().closes, 1u);

    ASSERT_EQ(rig.channel.Open(), 0u);
    EXPECT_NE(rig.channel.Handle(), first);
    EXPECT_EQ(rig.device.Stats().opens, 2u);
    rig.channel.Close();
    EXPECT_FALSE(rig.device.HandleOpen());
}

TEST(ChannelOpen, ReopenAfterTheDeviceCameBackClosesTheStaleHandle) {
    ChannelRig rig;
    ASSERT_EQ(rig.channel.Open(), 0u);
    const FT_HANDLE stale = rig.channel.Handle();
    rig.device.Unplug();
    rig.device.Plug();

    ASSERT_EQ(rig.channel.Open(), 0u);  // as a reset sequence does after the device came back
    EXPECT_NE(rig.channel.Handle(), stale);
    EXPECT_EQ(rig.device.Stats().closes, 1u) << "the stale handle is closed";
    rig.channel.Close();
    EXPECT_FALSE(rig.device.HandleOpen()) << "a handle was left open in the driver";
    EXPECT_EQ(rig.device.Stats().closes, 2u);
}

TEST(ChannelOpen, ClosedChannelKeepsItsHandleAwayFromTheDriver) {
    ChannelRig rig;
    ASSERT_EQ(rig.channel.Open(), 0u);
    rig.channel.Close();
    const uint8_t bytes[] = {0x03, 0x00, 0x1A};
    EXPECT_EQ(rig.channel.Write(bytes, sizeof bytes), FT_INVALID_HANDLE);
    EXPECT_EQ(rig.device.Stats().transfers, 0u);
    EXPECT_EQ(rig.capture.Lines(), std::vector<std::string>{"Write :  03 00 1A"});
    uint8_t area[ReceiveAreaSize];
    uint32_t count = 77;
    EXPECT_EQ(rig.channel.ReadOnce(area, count), FT_INVALID_HANDLE);
    EXPECT_EQ(count, 77u);
}

}  // namespace
}  // namespace zolt
