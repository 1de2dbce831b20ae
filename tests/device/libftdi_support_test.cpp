#include "device/libftdi_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "device/vendor_driver.h"

namespace zolt {
namespace {

TEST(LibftdiDescription, MatchesExactlyAndSkipsUnreadableDevices) {
    using List = std::vector<std::optional<std::string>>;
    struct Case {
        const char* name;
        List descriptions;
        const char* wanted;
        std::optional<std::size_t> match;
    };
    const Case cases[] = {
        {"exact", {"FT232R USB UART", "PRYN Interface 171071"}, "PRYN Interface 171071", 1},
        {"case differs", {"zolt"}, "ZOLT", std::nullopt},
        {"prefix only", {"ZOLT A"}, "ZOLT", std::nullopt},
        {"longer wanted", {"PRYN Interface"}, "PRYN Interface 171213", std::nullopt},
        {"unreadable skipped", {std::nullopt, "ZOLT"}, "ZOLT", 1},
        {"first of two", {"ZOLT", "ZOLT"}, "ZOLT", 0},
        {"none", {}, "ZOLT", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FindDescription(c.descriptions, c.wanted), c.match) << c.name;
    }
}

TEST(LibftdiReceiveQueue, ReadsTakeAtMostWhatIsAskedWithoutWaiting) {
    ReceiveQueue queue;
    uint8_t out[8] = {};
    EXPECT_EQ(queue.Take(out, sizeof out), 0u) << "empty: returns at once";
    const uint8_t first[] = {1, 2, 3, 4, 5};
    queue.Append(first);
    EXPECT_EQ(queue.Size(), 5u);
    EXPECT_EQ(queue.Take(out, 2), 2u);
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(out[1], 2);
    EXPECT_EQ(queue.Size(), 3u);
    std::memset(out, 0xAB, sizeof out);
    EXPECT_EQ(queue.Take(out, sizeof out), 3u);
    EXPECT_EQ(out[2], 5);
    EXPECT_EQ(out[3], 0xAB) << "nothing past what was queued";

    queue.Append(first);
    queue.Fail(FT_IO_ERROR);
    EXPECT_EQ(queue.Failure(), FT_IO_ERROR);
    EXPECT_EQ(queue.Size(), 5u) << "bytes drained before the failure stay readable";
    queue.Clear();
    EXPECT_EQ(queue.Size(), 0u);
    EXPECT_EQ(queue.Failure(), FT_OK);
}

TEST(LibftdiReceiveQueue, KeepsOrderWhileAReaderThreadFillsIt) {
    ReceiveQueue queue;
    constexpr int Total = 200000;
    std::thread reader([&] {
        uint8_t chunk[61];
        for (int sent = 0; sent < Total;) {
            const int n = std::min<int>(static_cast<int>(sizeof chunk), Total - sent);
            for (int i = 0; i < n; ++i) {
                chunk[i] = static_cast<uint8_t>(sent + i);
            }
            // Only what fits goes in: the driver's reader waits for room the same way.
            sent += static_cast<int>(
                queue.Append(std::span<const uint8_t>(chunk, static_cast<std::size_t>(n))));
        }
    });
    int received = 0;
    bool inOrder = true;
    uint8_t buffer[500];
    while (received < Total) {
        const std::size_t waiting = queue.Size();
        const std::size_t n = queue.Take(buffer, std::min(waiting, sizeof buffer));
        for (std::size_t i = 0; i < n; ++i) {
            inOrder = inOrder && buffer[i] == static_cast<uint8_t>(received + static_cast<int>(i));
        }
        received += static_cast<int>(n);
    }
    reader.join();
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(queue.Size(), 0u);
}

// Every bulk IN packet starts with 2 modem-status bytes; only the rest is data. Transfers end at
// a short packet, so the last one may be short or status only.
TEST(LibftdiPackets, OnlyTheDataOfEachPacketIsQueued) {
    struct Case {
        const char* name;
        std::vector<uint8_t> transfer;
        std::size_t packetSize;
        std::vector<uint8_t> queued;
    };
    std::vector<uint8_t> twoPackets = {0x01, 0x60};
    for (uint8_t i = 0; i < 62; ++i) {
        twoPackets.push_back(i);
    }
    twoPackets.insert(twoPackets.end(), {0x01, 0x60, 0xAA, 0xBB});
    std::vector<uint8_t> expectTwo;
    for (uint8_t i = 0; i < 62; ++i) {
        expectTwo.push_back(i);
    }
    expectTwo.insert(expectTwo.end(), {0xAA, 0xBB});
    const Case cases[] = {
        {"status only", {0x01, 0x60}, 64, {}},
        {"one short packet", {0x01, 0x60, 0x07, 0x00, 0x02}, 64, {0x07, 0x00, 0x02}},
        {"a full packet and a short one", twoPackets, 64, expectTwo},
        {"empty", {}, 64, {}},
        {"status bytes of each 4-byte packet", {1, 2, 3, 4, 1, 2, 5}, 4, {3, 4, 5}},
    };
    for (const auto& c : cases) {
        ReceiveQueue queue;
        EXPECT_EQ(AppendPacketData(queue, c.transfer, c.packetSize), c.queued.size()) << c.name;
        std::vector<uint8_t> out(c.queued.size() + 1);
        out.resize(queue.Take(out.data(), out.size()));
        EXPECT_EQ(out, c.queued) << c.name;
    }
}

TEST(LibftdiReceiveQueue, HoldsNoMoreThanItsCapacity) {
    ReceiveQueue queue;
    const std::vector<uint8_t> block(ReceiveQueue::Capacity - 10, 0x55);
    EXPECT_EQ(queue.Append(block), block.size());
    EXPECT_EQ(queue.Room(), 10u);
    const uint8_t more[16] = {};
    EXPECT_EQ(queue.Append(more), 10u) << "only what fits";
    EXPECT_EQ(queue.Size(), ReceiveQueue::Capacity);
    EXPECT_EQ(queue.Room(), 0u);
    uint8_t out[4];
    EXPECT_EQ(queue.Take(out, sizeof out), 4u);
    EXPECT_EQ(queue.Room(), 4u);
}

TEST(ProcessDriverChoice, LibftdiWhenTheVendorLibraryIsAbsent) {
    void* vendor = OpenVendorLibrary(VendorLibraryName);
    if (vendor != nullptr) {
        CloseVendorLibrary(vendor);
        GTEST_SKIP() << "the vendor library is installed here";
    }
#ifdef _WIN32
    EXPECT_STREQ(ProcessDriverName(), "none (FTD2XX.dll not found)");
#else
    EXPECT_STREQ(ProcessDriverName(), "libftdi1");
#endif
    // Whatever this machine has plugged in, the count and the doctor's list of descriptions agree.
    constexpr uint32_t Unset = 0xFFFFFFFF;
    uint32_t count = Unset;
    const FT_STATUS status = ProcessDriver().ListDevices(&count);
    std::vector<std::string> descriptions;
    const bool listed = ProcessDriver().ListDescriptions(descriptions);
    if (status != FT_OK) {  // no USB access here
        EXPECT_EQ(count, Unset) << "a failed listing leaves the count";
        EXPECT_FALSE(listed);
    } else if (listed) {
        EXPECT_EQ(descriptions.size(), count);
    } else {
        EXPECT_EQ(count, 0u) << "a driver that cannot list descriptions finds no device";
    }
#ifdef _WIN32
    EXPECT_EQ(status, FT_OK);
    EXPECT_FALSE(listed);
#endif
}

}  // namespace
}  // namespace zolt
