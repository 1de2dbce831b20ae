#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <clocale>
#include <cstring>
#include <fstream>

#include "platform/clock.h"
#include "platform/log_location.h"
#include "platform/system_info.h"
#include "platform/wide_text.h"
#include "tests/support/test_support.h"

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

#ifndef _WIN32  // Windows widens with the thread's code page
TEST(NarrowToWide, Utf8WhenValidElseWindows1252WhateverTheLocale) {
    struct Case {
        const char* bytes;
        WideText wide;
    };
    const Case cases[] = {
        {"caf\xC3\xA9 \xE2\x82\xAC", u"caf\u00e9 \u20ac"},        // valid UTF-8
        {"caf\xE9", u"caf\u00e9"},                                // Windows-1252 e acute
        {"\x80 \x93x\x94 \x81", u"\u20ac \u201cx\u201d \u0081"},  // the code page's 80-9F
        {"Serial 1234\xE9"
         "ab",
         u"Serial 1234\u00e9ab"},   // a high byte near the end
        {"ok \xC3", u"ok \u00c3"},  // UTF-8 cut off at the end
        {"\xE2\x82", u"\u00e2\u201a"},
    };
    const char* const locales[] = {"C", "C.UTF-8", ""};
    for (const char* locale : locales) {
        const std::string before = std::setlocale(LC_ALL, nullptr);
        std::setlocale(LC_ALL, locale);
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(locale) + ": " + c.bytes);
            EXPECT_EQ(NarrowToWide(c.bytes, std::strlen(c.bytes)), c.wide);
        }
        std::setlocale(LC_ALL, before.c_str());
    }
}
#endif

TEST(WideText, Utf8RoundTrip) {
    const WideText samples[] = {u"", u"ZOLT Update", u"caf\u00e9", u"\u786e\u5b9a", u"\U0001F600"};
    for (const auto& s : samples) {
        EXPECT_EQ(FromUtf8(ToUtf8(s)), s);
    }
    EXPECT_EQ(FromUtf8("\xC3"), u"\uFFFD");  // cut-off sequence
    EXPECT_EQ(FromUtf8("\xE9"
                       "ab"),
              u"\uFFFDab");  // a cut-off lead keeps what follows it
    EXPECT_TRUE(IsValidUtf8("caf\xC3\xA9 \xEF\xBF\xBD"));
    EXPECT_FALSE(IsValidUtf8("caf\xE9"));
    EXPECT_FALSE(IsValidUtf8("\xC0\x80"));  // overlong
    EXPECT_EQ(FromUtf8("a\xFF"
                       "b"),
              u"a\uFFFDb");  // invalid byte
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

TEST(SystemInfo, ExecutablePathStaysTheSame) {
    auto& info = HostSystemInfo();
    const WideText first = info.ExecutablePath();
    EXPECT_FALSE(first.empty());
    EXPECT_EQ(info.ExecutablePath(), first);
}

#ifndef _WIN32
TEST(LogLocation, CanAppendTo) {
    testing::TempDir dir;
    const auto path = [&](const std::string& relative) {
        return FromUtf8((dir.path() / relative).string());
    };
    std::ofstream(dir.path() / "existing.bin") << "x";
    std::ofstream(dir.path() / "read-only.bin") << "x";
    ::chmod((dir.path() / "read-only.bin").c_str(), 0444);
    std::filesystem::create_directory(dir.path() / "locked");
    ::chmod((dir.path() / "locked").c_str(), 0555);

    EXPECT_TRUE(CanAppendTo(path("existing.bin")));
    EXPECT_TRUE(CanAppendTo(path("new.bin")));                // missing, its folder writable
    EXPECT_FALSE(CanAppendTo(path("missing/log.bin")));       // no such folder
    EXPECT_FALSE(CanAppendTo(path("existing.bin/log.bin")));  // a file where a folder should be
    if (::geteuid() != 0) {  // permission bits do not stop the superuser
        EXPECT_FALSE(CanAppendTo(path("read-only.bin")));
        EXPECT_FALSE(CanAppendTo(path("locked/log.bin")));
    }
}
#endif

}  // namespace
}  // namespace zolt
