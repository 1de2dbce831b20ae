#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/system_info.h"
#include "platform/wide_text.h"

namespace zolt {
namespace {

TEST(VirtualClock, BusyPollMakesProgressAndSurvivesTheWrap) {
    VirtualClock clock(0xFFFFF000u);  // 4,096 ms before the counter wraps
    const uint32_t start = clock.TickCount();
    uint32_t polls = 0;
    while (TicksSince(clock.TickCount(), start) < 22'000) {
        ++polls;
    }
    EXPECT_GE(polls, 21'000u);
    EXPECT_LT(polls, 22'000u);
    EXPECT_LT(clock.Now(), 0x10000u);  // wrapped

    const uint32_t before = clock.Now();
    clock.Sleep(1'500);
    EXPECT_EQ(clock.Now() - before, 1'500u);
}

TEST(SystemClock, SleepsAndTicks) {
#ifdef _WIN32
    constexpr uint32_t TickStep = 16;  // the system tick count moves in steps of about 15.6 ms
#else
    constexpr uint32_t TickStep = 1;
#endif
    Clock& clock = SystemClock();
    const uint32_t start = clock.TickCount();
    clock.Sleep(50);
    const uint32_t elapsed = TicksSince(clock.TickCount(), start);
    EXPECT_GE(elapsed, 50u - TickStep);
    EXPECT_LT(elapsed, 2'000u);
}

TEST(NarrowToWide, StopsAtZeroAndNeverReadsPastTheLength) {
    const char text[] = {'O', 'K', '\0', 'X'};
    EXPECT_EQ(NarrowToWide(text, 4), u"OK");
    EXPECT_EQ(NarrowToWide(text, 1), u"O");
    const char unterminated[3] = {'a', 'b', 'c'};  // no zero byte at all
    EXPECT_EQ(NarrowToWide(unterminated, 3), u"abc");
    EXPECT_EQ(NarrowToWide(text, 0), u"");
    EXPECT_EQ(NarrowToWide(nullptr, 5), u"");
}

TEST(WideText, Utf8RoundTrip) {
    const WideText samples[] = {u"", u"ZOLT Update", u"caf\u00e9", u"\u786e\u5b9a", u"\U0001F600"};
    for (const auto& s : samples) {
        EXPECT_EQ(FromUtf8(ToUtf8(s)), s);
    }
    EXPECT_EQ(FromUtf8("\xC3"), u"\uFFFD");          // cut-off sequence
    EXPECT_EQ(FromUtf8("a\xFF" "b"), u"a\uFFFDb");   // invalid byte
    EXPECT_EQ(ToUtf8(WideText(1, u'\xD800')), "\xEF\xBF\xBD");
}

TEST(SystemInfo, ReportsPathAndName) {
    auto& info = HostSystemInfo();
    const WideText exe = info.ExecutablePath();
    EXPECT_NE(exe.find(u"platform_tests"), WideText::npos);
    const auto name = info.ComputerName();
    ASSERT_TRUE(name.has_value());
    EXPECT_FALSE(name->empty());
}

}  // namespace
}  // namespace zolt
