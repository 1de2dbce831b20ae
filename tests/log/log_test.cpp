#include "log/log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/log_location.h"
#include "tests/support/test_support.h"

namespace zolt {
namespace {

using testing::ScopedTestLog;

// Splits the raw file into lines on CR LF; fails the test if a bare LF appears.
std::vector<std::string> FileLines(const std::string& bytes) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < bytes.size()) {
        const auto end = bytes.find("\r\n", start);
        if (end == std::string::npos) {
            ADD_FAILURE() << "unterminated line: " << bytes.substr(start);
            break;
        }
        lines.push_back(bytes.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

TEST(DiagnosticLog, LinesMatchTheLayoutByteForByte) {
    ScopedTestLog log;
    log.time().local = {2024, 3, 7, 9, 5, 2, 47};
    log.time().frequency = 1'000'000;
    log.time().counter = 5'000'000;
    WriteLog(u"ZOLT Update 1.0.6 start");
    log.time().counter += 7'464'830;
    log.time().local = {2024, 3, 7, 9, 5, 9, 512};
    WriteLog(u"---------------------------  reset 1A");

    EXPECT_EQ(log.Contents(),
              "[2024-03-07 09:05:02:047|    -   ]ZOLT Update 1.0.6 start\r\n"
              "[2024-03-07 09:05:09:512|7.464830]---------------------------  reset 1A\r\n");
}

TEST(DiagnosticLog, ElapsedColumnForms) {
    struct Case {
        int64_t gapTicks;  // at 1,000,000 ticks a second
        const char* column;
    };
    const Case cases[] = {
        {2'500'000, "2.500000"},
        {10'000'000, "10.000000"},  // exactly ten seconds still shows a
                                    // number
        {10'000'001, "   --   "},
        {12'000'000, "   --   "},
        {0, "0.000000"},
    };
    for (const auto& c : cases) {
        ScopedTestLog log;
        log.time().counter = 1'000;
        WriteLog(u"first");
        log.time().counter += c.gapTicks;
        WriteLog(u"second");
        const auto lines = FileLines(log.Contents());
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0].substr(24, 10), "|    -   ]");
        EXPECT_EQ(lines[1].substr(24), std::string("|") + c.column + "]second")
            << "gap " << c.gapTicks;
    }
}

TEST(DiagnosticLog, EncodesOneBytePerCodeUnit) {
    ScopedTestLog log;
    WriteLog(u"caf\u00e9 \u4e2d x");
    WriteLog(u"two\nlines");
    WriteLog(WideView(u"cut\0hidden", 10));
    const std::string bytes = log.Contents();
    EXPECT_NE(bytes.find("]caf\xE9 ? x\r\n"), std::string::npos);
    EXPECT_NE(bytes.find("]two\r\nlines\r\n"), std::string::npos);
    EXPECT_NE(bytes.find("]cut\r\n"), std::string::npos);
    EXPECT_EQ(bytes.find("hidden"), std::string::npos);
}

TEST(DiagnosticLog, AppendsToAnExistingFile) {
    ScopedTestLog log;
    {
        std::ofstream f(log.file(), std::ios::binary);
        ASSERT_TRUE(f);
        f << "earlier run\r\n";
    }
    WriteLog(u"new line");
    const std::string bytes = log.Contents();
    EXPECT_EQ(bytes.rfind("earlier run\r\n[", 0), 0u);
    EXPECT_NE(bytes.find("]new line\r\n"), std::string::npos);
}

TEST(DiagnosticLog, UnwritableDirectoryLosesTheLineButKeepsMeasuring) {
    ScopedTestLog log;
    log.time().counter = 1'000;
    ProcessLog().SetDirectoryOverride((log.file().parent_path() / "missing").u16string());
    LogCapture capture;
    WriteLog(u"lost");  // no file, no error
    EXPECT_EQ(capture.Lines(), std::vector<std::string>{"lost"});

    ProcessLog().SetDirectoryOverride(log.file().parent_path().u16string());
    log.time().counter += 1'500'000;
    WriteLog(u"kept");
    const auto lines = FileLines(log.Contents());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(24), "|1.500000]kept");  // measured from the lost line
}

TEST(DiagnosticLog, ConcurrentWritersGiveWholeLines) {
    ScopedTestLog log;
    constexpr int Threads = 8;
    constexpr int PerThread = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([t] {
            const WideText message = u"thread " + IntToText(t) + u" " + WideText(300, u'x');
            for (int i = 0; i < PerThread; ++i) {
                WriteLog(message);
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    const auto lines = FileLines(log.Contents());
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(Threads * PerThread));
    const std::regex shape(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d:\d{3}\|.{8}\]thread \d x{300})");
    int first = 0;
    for (const auto& line : lines) {
        EXPECT_TRUE(std::regex_match(line, shape)) << line;
        first += line.find("|    -   ]") != std::string::npos;
    }
    EXPECT_EQ(first, 1);
}

TEST(LogText, BytesToHexAndIntToText) {
    const uint8_t bytes[] = {0x0A, 0x04, 0x00, 0xFF, 0xbe};
    EXPECT_EQ(BytesToHex(bytes, 2), u"0A 04");
    EXPECT_EQ(BytesToHex(bytes + 2, 1), u"00");
    EXPECT_EQ(BytesToHex(bytes, 5), u"0A 04 00 FF BE");
    EXPECT_EQ(BytesToHex(bytes, 0), u"");
    EXPECT_EQ(BytesToHex(bytes, -3), u"");

    const std::pair<int32_t, const char16_t*> ints[] = {
        {-5, u"-5"}, {0, u"0"}, {10752, u"10752"}, {INT32_MIN, u"-2147483648"}};
    for (const auto& [value, text] : ints) {
        EXPECT_EQ(IntToText(value), text);
    }
}

TEST(LogText, DumpsAndEncodesLongTransfersExactly) {
    // Every byte value once, as a firmware block dump would carry it.
    std::vector<uint8_t> bytes(256);
    std::string expected;
    for (int i = 0; i < 256; ++i) {
        bytes[static_cast<std::size_t>(i)] = static_cast<uint8_t>(i);
        char cell[4];
        std::snprintf(cell, sizeof cell, "%02X", i);
        expected += (i > 0 ? " " : "") + std::string(cell);
    }
    const WideText hex = BytesToHex(bytes.data(), 256);
    EXPECT_EQ(ToUtf8(hex), expected);
    EXPECT_EQ(EncodeLogText(u"Write :  " + hex), "Write :  " + expected);

    struct Case {
        WideText text;
        std::string bytes;
    };
    const Case cases[] = {
        {u"", ""},
        {u"\n", "\r\n"},
        {u"\na\n\nb\n", "\r\na\r\n\r\nb\r\n"},
        {u"\u00ff\u0100\uffff ok", "\xFF?? ok"},
        {WideText(u"before\0after\n", 13), "before"},
        {WideText(3000, u'x') + u"\n" + WideText(3000, u'\u4e2d'),
         std::string(3000, 'x') + "\r\n" + std::string(3000, '?')},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EncodeLogText(c.text), c.bytes) << ToUtf8(c.text.substr(0, 20));
    }
}

TEST(DiagnosticLog, DumpLineIsTheLineOfItsTextForm) {
    std::vector<uint8_t> block(1100);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<uint8_t>(i * 37 + 11);
    }
    struct Case {
        WideText prefix;
        const uint8_t* data;
        int32_t length;
    };
    const Case cases[] = {
        {u"Write :  ", block.data(), 1100},
        {u"Read  :  ", block.data(), 7},
        {u"Write :  ", block.data(), 1},
        {u"Write :  ", block.data(), 0},
        {u"Write :  ", block.data(), -4},
        {u"Write :  ", nullptr, 5},
        {u"", block.data(), 3},
        {WideText(u"cut\0here: ", 11), block.data(), 3},  // the line ends at the NUL
        {u"two\nlines \u4e2d ", block.data(), 2},
    };
    for (const auto& c : cases) {
        const auto run = [&](bool dump) {
            ScopedTestLog log;
            LogCapture capture;
            WriteLog(u"first");
            if (dump) {
                WriteLogDump(c.prefix, c.data, c.length);
            } else {
                WriteLog(c.prefix + BytesToHex(c.data, c.length));
            }
            return std::make_pair(log.Contents(), capture.Lines());
        };
        EXPECT_EQ(run(true), run(false)) << ToUtf8(c.prefix) << " " << c.length;
    }
}

// A sink gets exactly the bytes the file would; a discarding one leaves no file behind while the
// observer still hears every message, dumps and cut lines alike.
TEST(DiagnosticLog, SinkTakesTheFileBytesOrDiscardsThem) {
    class Recording final : public LogSink {
      public:
        void Append(const std::string& line) override { bytes += line; }
        std::string bytes;
    };
    const uint8_t data[] = {0x06, 0x00, 0xD1};
    const auto write = [&] {
        WriteLog(u"first");
        WriteLogDump(u"Write :  ", data, 3);
        WriteLog(WideText(u"cut\0here", 8));
    };
    const auto run = [&](LogSink* sink) {
        ScopedTestLog log;
        LogCapture capture;
        ProcessLog().SetSink(sink);
        write();
        ProcessLog().SetSink(nullptr);
        return std::make_tuple(log.Contents(), capture.Lines());
    };
    const auto [file, fileMessages] = run(nullptr);
    ASSERT_FALSE(file.empty());

    Recording recording;
    const auto [recorded, recordedMessages] = run(&recording);
    EXPECT_EQ(recorded, "");
    EXPECT_EQ(recording.bytes, file);
    EXPECT_EQ(recordedMessages, fileMessages);

    DiscardingLogSink discard;
    const auto [left, heard] = run(&discard);
    EXPECT_EQ(left, "");
    EXPECT_EQ(heard, fileMessages);
}

TEST(LogText, TimestampLaidOutAsThePrintfPattern) {
    const auto printed = [](const LocalTime& t) {
        char buffer[96];
        std::snprintf(buffer, sizeof buffer, "%4d-%.2d-%.2d %.2d:%.2d:%.2d:%.3d", t.year, t.month,
                      t.day, t.hour, t.minute, t.second, t.millisecond);
        return WidenAscii(buffer);
    };
    const LocalTime cases[] = {
        {2024, 3, 7, 9, 5, 2, 47},
        {1999, 12, 31, 23, 59, 59, 999},
        {2000, 1, 1, 0, 0, 0, 0},
        {5, 1, 2, 3, 4, 5, 6},
        {0, 0, 0, 0, 0, 0, 0},
        {100, 10, 10, 10, 10, 10, 100},
        {9999, 99, 99, 99, 99, 99, 999},
        // Outside the usual ranges the pattern itself decides.
        {10000, 1, 1, 0, 0, 0, 0},
        {-1, 1, 1, 0, 0, 0, 0},
        {2024, 100, 1, 0, 0, 0, 1000},
        {2024, -3, 7, 9, 5, 2, -47},
    };
    for (const auto& t : cases) {
        EXPECT_EQ(FormatTimestamp(t), printed(t)) << ToUtf8(printed(t));
    }
}

TEST(LogText, TimestampAndPath) {
    EXPECT_EQ(FormatTimestamp(LocalTime{2024, 3, 7, 9, 5, 2, 47}), u"2024-03-07 09:05:02:047");
    EXPECT_EQ(FormatTimestamp().size(), 23u);
    const char16_t sep = PathSeparator;
    const WideText exe = WideText(u"") + sep + u"opt" + sep + u"zolt" + sep + u"zolt-update";
    EXPECT_EQ(LogPathBeside(exe), WideText(u"") + sep + u"opt" + sep + u"zolt" + sep + u"log.bin");
    EXPECT_EQ(LogPathBeside(u"zolt-update"), u"log.bin");
}

}  // namespace
}  // namespace zolt

// The state-directory fallback exists on Linux only; on Windows the log stays beside the program.
#ifndef _WIN32
namespace zolt {
namespace {

class FixedSystem final : public SystemInfo {
  public:
    explicit FixedSystem(WideText exe) : exe_(std::move(exe)) {}
    WideText ExecutablePath() override { return exe_; }
    std::optional<WideText> ComputerName() override { return u"PC1"; }

  private:
    WideText exe_;
};

TEST(LogLocation, SystemProgramFolders) {
    const std::pair<const char*, bool> cases[] = {
        {"/usr/bin/zolt-update", true},
        {"/usr/local/bin/zolt-update", true},
        {"/bin/zolt-update", true},
        {"/sbin/zolt-update", true},
        {"/lib/zolt/zolt-update", true},
        {"/lib64/zolt-update", true},
        {"/opt/zolt/zolt-update", true},
        {"/home/u/build/cli/zolt-update-cli", false},
        {"/usrx/bin/zolt-update", false},
        {"/optional/zolt-update", false},
        {"/tmp/zolt-1.0.6/zolt-update", false},
        {"zolt-update", false},
    };
    for (const auto& [path, system] : cases) {
        EXPECT_EQ(InSystemProgramFolder(FromUtf8(path)), system) << path;
    }
}

// Sets the two variables the state directory comes from for one scope.
class ScopedEnvironment {
  public:
    ScopedEnvironment(std::initializer_list<std::pair<const char*, const char*>> values) {
        for (const auto& [name, value] : values) {
            const char* old = std::getenv(name);
            saved_.push_back({name, old ? std::optional<std::string>(old) : std::nullopt});
            if (value) {
                ::setenv(name, value, 1);
            } else {
                ::unsetenv(name);
            }
        }
    }
    ~ScopedEnvironment() {
        for (const auto& [name, value] : saved_) {
            if (value) {
                ::setenv(name.c_str(), value->c_str(), 1);
            } else {
                ::unsetenv(name.c_str());
            }
        }
    }

  private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST(DiagnosticLog, GoesBesideTheExecutableOrToTheUserStateDirectory) {
    testing::TempDir dir;
    const std::string home = (dir.path() / "home").string();
    const std::string state = (dir.path() / "state").string();
    const std::string portableExe = (dir.path() / "zolt-update").string();
    // An installed program that is not there: a line written beside it could not land anywhere.
    const std::string installedExe = "/opt/zolt-update-no-such-dir/zolt-update";
    const std::string unwritableExe = (dir.path() / "no-such-dir" / "zolt-update").string();
    struct Case {
        const char* name;
        std::string exe;
        const char* stateHome;
        std::string expected;  // empty: no place
    };
    const Case cases[] = {
        {"run from its own folder", portableExe, state.c_str(), (dir.path() / "log.bin").string()},
        {"installed", installedExe, state.c_str(), state + "/zolt-update/log.bin"},
        // Writable for the superuser, and still not the place (only asked, never written here).
        {"installed in /usr/bin", "/usr/bin/zolt-update", state.c_str(),
         state + "/zolt-update/log.bin"},
        {"installed, state home not absolute", installedExe, "relative/state",
         home + "/.local/state/zolt-update/log.bin"},
        {"installed, state home unset", installedExe, nullptr,
         home + "/.local/state/zolt-update/log.bin"},
        {"installed, state home unusable", installedExe, "/proc/no-such/state",
         "/proc/no-such/state/zolt-update/log.bin"},
        {"own folder not writable", unwritableExe, state.c_str(), state + "/zolt-update/log.bin"},
    };
    auto& log = ProcessLog();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedEnvironment env{{"XDG_STATE_HOME", c.stateHome}, {"HOME", home.c_str()}};
        FixedSystem system(FromUtf8(c.exe));
        log.SetSystemInfo(system);
        EXPECT_EQ(ToUtf8(log.FilePath()), c.expected);
    }

    {
        ScopedEnvironment env{{"XDG_STATE_HOME", state.c_str()}, {"HOME", home.c_str()}};
        FixedSystem installed(FromUtf8(installedExe));
        log.SetSystemInfo(installed);
        WriteLog(u"kept in the state directory");
        EXPECT_NE(testing::ReadFile(state + "/zolt-update/log.bin")
                      .find("]kept in the state directory\r\n"),
                  std::string::npos);
    }
    {
        ScopedEnvironment env{{"XDG_STATE_HOME", nullptr}, {"HOME", "relative-home"}};
        FixedSystem installed(FromUtf8(installedExe));
        log.SetSystemInfo(installed);
        EXPECT_EQ(log.FilePath(), u"");
        WriteLog(u"lost without a fuss");
    }
    log.SetSystemInfo(HostSystemInfo());
}

}  // namespace
}  // namespace zolt
#endif  // _WIN32
