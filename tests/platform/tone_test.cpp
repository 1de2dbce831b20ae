#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <vector>

#include "platform/tone.h"

namespace zolt {
namespace {

// Sign changes between non-zero samples: two per cycle of a sine.
int ZeroCrossings(const std::vector<int16_t>& samples) {
    int crossings = 0;
    int last = 0;
    for (int16_t s : samples) {
        const int sign = (s > 0) - (s < 0);
        if (sign != 0) {
            if (last != 0 && sign != last) {
                ++crossings;
            }
            last = sign;
        }
    }
    return crossings;
}

TEST(RenderTone, HasTheAskedFrequencyAndLength) {
    struct Case {
        uint32_t hz;
        uint32_t ms;
        uint32_t rate;
    };
    for (const Case c : {Case{600, 200, 48'000}, Case{600, 200, 44'100}, Case{440, 1'000, 8'000},
                         Case{1'000, 50, 48'000}, Case{3'000, 100, 22'050}}) {
        SCOPED_TRACE(std::to_string(c.hz) + " Hz " + std::to_string(c.ms) + " ms at " +
                     std::to_string(c.rate));
        const std::vector<int16_t> tone = RenderTone(c.hz, c.ms, c.rate);
        ASSERT_EQ(tone.size(), static_cast<std::size_t>(uint64_t{c.ms} * c.rate / 1000));
        const int expected = static_cast<int>(2ull * c.hz * c.ms / 1000);  // two per cycle
        EXPECT_NEAR(ZeroCrossings(tone), expected, 2);
        const int peak =
            std::abs(*std::max_element(tone.begin(), tone.end(), [](int16_t a, int16_t b) {
                return std::abs(a) < std::abs(b);
            }));
        EXPECT_GT(peak, 15'000);  // half of full scale
        EXPECT_LE(peak, 16'384);
        // Starts and ends at silence, so neither edge clicks.
        EXPECT_EQ(tone.front(), 0);
        EXPECT_LT(std::abs(tone.back()), 200);
    }
}

TEST(RenderTone, NothingToRenderGivesAnEmptyTone) {
    EXPECT_TRUE(RenderTone(0, 200, 48'000).empty());
    EXPECT_TRUE(RenderTone(600, 0, 48'000).empty());
    EXPECT_TRUE(RenderTone(600, 200, 0).empty());
}

TEST(RenderToneInto, PiecesJoinIntoTheWholeToneAndStayInTheirBuffer) {
    const std::vector<int16_t> whole = RenderTone(600, 200, 48'000);
    std::vector<int16_t> joined;
    std::vector<int16_t> piece(1'000 + 2, 0x7777);  // two guard samples past the piece
    uint64_t at = 0;
    while (true) {
        const std::size_t n =
            RenderToneInto(std::span<int16_t>(piece).first(1'000), 600, 48'000, at, whole.size());
        EXPECT_EQ(piece[1'000], 0x7777);
        EXPECT_EQ(piece[1'001], 0x7777);
        if (n == 0) {
            break;
        }
        joined.insert(joined.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(n));
        at += n;
    }
    EXPECT_EQ(joined, whole);
}

TEST(SystemTone, ReturnsWithinTheToneWhetherOrNotASoundDeviceIsThere) {
    const auto start = std::chrono::steady_clock::now();
    SystemTone().Beep(600, 50);
    SystemTone().Beep(0, 50);  // nothing to sound
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

}  // namespace
}  // namespace zolt
