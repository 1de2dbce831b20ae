// The Windows seams: what the system reports about the executable, the thread's code page, and
// appending to a file that others hold open.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "log/log.h"
#include "platform/precise_time.h"
#include "platform/system_info.h"
#include "tests/support/test_support.h"

namespace zolt {
namespace {

TEST(WindowsSystemInfo, LogGoesBesideTheExecutable) {
    const WideText exe = HostSystemInfo().ExecutablePath();
    ASSERT_GE(exe.size(), 4u);
    EXPECT_EQ(exe.substr(exe.size() - 4), u".exe");
    const auto cut = exe.rfind(u'\\');
    ASSERT_NE(cut, WideText::npos);
    EXPECT_EQ(LogPathBeside(exe), exe.substr(0, cut + 1) + u"log.bin");
}

TEST(WindowsSystemInfo, ComputerNameMatchesTheSystem) {
    wchar_t expected[261] = {};
    DWORD size = 261;
    ASSERT_TRUE(::GetComputerNameW(expected, &size));
    const auto name = HostSystemInfo().ComputerName();
    ASSERT_TRUE(name.has_value());
    ASSERT_EQ(name->size(), size);
    for (DWORD i = 0; i < size; ++i) {
        EXPECT_EQ((*name)[i], static_cast<char16_t>(expected[i]));
    }
}

// Restores the thread's locale (and so its ANSI code page) at the end of a test.
class ScopedThreadLocale {
  public:
    explicit ScopedThreadLocale(LCID locale) : saved_(::GetThreadLocale()) {
        ok_ = ::SetThreadLocale(locale) != 0;
    }
    ~ScopedThreadLocale() { ::SetThreadLocale(saved_); }
    ScopedThreadLocale(const ScopedThreadLocale&) = delete;
    ScopedThreadLocale& operator=(const ScopedThreadLocale&) = delete;
    bool ok() const { return ok_; }

  private:
    LCID saved_;
    bool ok_ = false;
};

TEST(NarrowToWide, UsesTheThreadsAnsiCodePage) {
    // "你好" in code page 936, then a zero byte and bytes that must not be read as text.
    const char gbk[] = {'\xC4', '\xE3', '\xBA', '\xC3', '\0', '\xC4', '\xE3'};
    {
        ScopedThreadLocale chinese(
            MAKELCID(MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED), SORT_DEFAULT));
        ASSERT_TRUE(chinese.ok());
        EXPECT_EQ(NarrowToWide(gbk, sizeof gbk), u"\u4f60\u597d");
        EXPECT_EQ(NarrowToWide(gbk, 2), u"\u4f60");  // never past the length
    }
    {
        ScopedThreadLocale english(
            MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT));
        ASSERT_TRUE(english.ok());
        const char latin[] = {'c', 'a', 'f', '\xE9'};  // code page 1252
        EXPECT_EQ(NarrowToWide(latin, sizeof latin), u"caf\u00e9");
    }
}

TEST(AppendToFile, AppendsWhileAnotherHandleHoldsTheFileOpen) {
    testing::TempDir dir;
    const WideText path = (dir.path() / "shared.bin").u16string();
    ASSERT_TRUE(AppendToFile(path, "one\r\n"));

    // Another writer keeps the file open for reading and writing, sharing both.
    const std::wstring native(path.begin(), path.end());
    const HANDLE other =
        ::CreateFileW(native.c_str(), GENERIC_READ | GENERIC_WRITE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(AppendToFile(path, "two\r\n"));
    ::CloseHandle(other);

    // A holder that shares nothing keeps us out; the line is lost, nothing else happens.
    const HANDLE exclusive =
        ::CreateFileW(native.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(AppendToFile(path, "lost\r\n"));
    ::CloseHandle(exclusive);

    EXPECT_EQ(testing::ReadFile(dir.path() / "shared.bin"), "one\r\ntwo\r\n");
    EXPECT_FALSE(AppendToFile(u"Z:\\no such directory\\x\\log.bin", "x"));
}

TEST(WindowsPreciseTime, CounterRunsAndLocalTimeIsPlausible) {
    PreciseTime& time = SystemPreciseTime();
    EXPECT_GT(time.CounterFrequency(), 0);
    const int64_t before = time.CounterValue();
    ::Sleep(15);
    const int64_t after = time.CounterValue();
    const double seconds =
        static_cast<double>(after - before) / static_cast<double>(time.CounterFrequency());
    EXPECT_GT(seconds, 0.010);
    EXPECT_LT(seconds, 2.0);

    const LocalTime now = time.LocalNow();
    EXPECT_GE(now.year, 2024);
    EXPECT_GE(now.month, 1);
    EXPECT_LE(now.month, 12);
    EXPECT_LE(now.hour, 23);
    EXPECT_LE(now.millisecond, 999);
}

TEST(WindowsLog, WritesBesideTheExecutableWithBackslashPath) {
    // The real path rule, not the test directory override.
    const WideText file = ProcessLog().FilePath();
    EXPECT_EQ(file, LogPathBeside(HostSystemInfo().ExecutablePath()));
    EXPECT_NE(file.find(u"\\log.bin"), WideText::npos);
}

}  // namespace
}  // namespace zolt
