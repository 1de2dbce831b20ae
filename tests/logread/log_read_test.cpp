// Reading the log back: the line layout, damaged and foreign files, and runs recorded from the
// real procedures against the simulated interface and the reference server.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "log/log.h"
#include "logread/log_explain.h"
#include "logread/log_lines.h"
#include "tests/logread/recorder.h"
#include "tests/support/test_support.h"

namespace zolt::logread {
namespace {

struct Explained {
    FileReport file;
    std::vector<RunReport> runs;
};

Explained ExplainText(const std::string& text,
                      std::size_t lineLimit = LineReader::DefaultLineLimit) {
    testing::TempDir dir;
    const auto path = dir.path() / "log.bin";
    std::FILE* f = std::fopen(path.string().c_str(), "wb");
    EXPECT_NE(f, nullptr);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    f = std::fopen(path.string().c_str(), "rb");
    Explained out;
    out.file = ExplainLog(
        f, [&](const RunReport& run) { out.runs.push_back(run); }, lineLimit);
    std::fclose(f);
    return out;
}

std::vector<LogLine> ReadAll(const std::string& text, ReadProblems& problems,
                             std::size_t lineLimit = LineReader::DefaultLineLimit) {
    std::FILE* f = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), f);
    std::rewind(f);
    LineReader reader(f, lineLimit);
    std::vector<LogLine> lines;
    LogLine line;
    while (reader.Next(line)) {
        lines.push_back(line);
    }
    problems = reader.Problems();
    std::fclose(f);
    return lines;
}

TEST(LogLine, TakesTheLineHeadApart) {
    struct Case {
        const char* text;
        bool ok;
        Elapsed elapsed;
        double seconds;
        const char* message;
    };
    const Case cases[] = {
        {"[2024-03-07 09:05:02:047|    -   ]ZOLT Update 1.0.6 start", true, Elapsed::First, 0,
         "ZOLT Update 1.0.6 start"},
        {"[2024-03-07 09:05:09:512|7.464830]---------------------------  reset 1A", true,
         Elapsed::Seconds, 7.46483, "---------------------------  reset 1A"},
        {"[2024-03-07 09:05:21:512|   --   ]Recv start", true, Elapsed::LongGap, 0, "Recv start"},
        // Exactly ten seconds is still a number, nine characters wide.
        {"[2024-03-07 09:05:31:512|10.000000]Recv start", true, Elapsed::Seconds, 10, "Recv start"},
        // A decimal comma, as a locale may write it; an empty message.
        {"[2024-03-07 09:05:31:512|2,500000]", true, Elapsed::Seconds, 2.5, ""},
        {"[ 999-01-01 00:00:00:000|0.000001]a ] b | c", true, Elapsed::Seconds, 0.000001,
         "a ] b | c"},
        {"[2024-03-07 09:05:31:512|what?]x", true, Elapsed::Unreadable, 0, "x"},
        {"2024-03-07 09:05:31:512|0.1]x", false, Elapsed::Unreadable, 0, ""},
        {"[2024-13-07 09:05:31:512|0.1]x", false, Elapsed::Unreadable, 0, ""},
        {"[2024-03-07 24:05:31:512|0.1]x", false, Elapsed::Unreadable, 0, ""},
        {"[2024-03-07 09:05:31|0.1]x", false, Elapsed::Unreadable, 0, ""},
        {"[2024-03-07 09:05:31:512|0.1", false, Elapsed::Unreadable, 0, ""},
        {"[2024-03-07 09:05:31:512 0.1]x", false, Elapsed::Unreadable, 0, ""},
        {"", false, Elapsed::Unreadable, 0, ""},
    };
    for (const Case& c : cases) {
        LogLine line;
        EXPECT_EQ(ParseLine(c.text, line), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(line.elapsed, c.elapsed) << c.text;
            EXPECT_NEAR(line.seconds, c.seconds, 1e-9) << c.text;
            EXPECT_EQ(line.message, c.message) << c.text;
        }
    }
    int64_t a = 0, b = 0;
    ASSERT_TRUE(ParseTimestamp("2024-02-29 23:59:59:999", a));
    ASSERT_TRUE(ParseTimestamp("2024-03-01 00:00:00:000", b));
    EXPECT_EQ(b - a, 1);
}

TEST(LineReader, JoinsMessagesThatHoldLineBreaksAndCountsDamage) {
    static const char raw[] =
        "[2024-03-07 09:05:02:047|    -   ]first\r\n"
        "[2024-03-07 09:05:02:048|0.001000]two\r\nlines\r\n"
        "\x01\x02garbage\x00\xff\r\n"
        "[2024-03-07 09:05:02:049|0.001000]last, cut";
    ReadProblems problems;
    const std::vector<LogLine> lines = ReadAll(std::string(raw, sizeof raw - 1), problems);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].message, "two\nlines");
    EXPECT_EQ(lines[2].message, "last, cut");
    EXPECT_EQ(lines[2].number, 5u);
    EXPECT_EQ(problems.malformedLines, 1u);
    EXPECT_EQ(problems.firstMalformedLine, 4u);
    EXPECT_TRUE(problems.cutAtEnd);
}

TEST(LineReader, KeepsOnlyTheStartOfAnOverLongLine) {
    const std::string head = "[2024-03-07 09:05:02:047|0.000100]Read  :  ";
    std::string text = head;
    for (int i = 0; i < 10 * 1024 * 1024 / 3; ++i) {
        text += i == 0 ? "AB" : " AB";
    }
    text += "\r\n[2024-03-07 09:05:02:048|0.001000]Recv start\r\n";
    ReadProblems problems;
    const std::vector<LogLine> lines = ReadAll(text, problems, 4096);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0].truncated);
    EXPECT_LE(lines[0].message.size(), 4096u);
    EXPECT_EQ(lines[0].length, text.find("\r\n") - (head.size() - 9));
    EXPECT_EQ(lines[1].message, "Recv start");
    EXPECT_EQ(problems.truncatedLines, 1u);
    EXPECT_EQ(problems.longestLineNumber, 1u);
    EXPECT_FALSE(problems.cutAtEnd);
}

TEST(ExplainLog, ARunOfOnlyAStartLineFoundNoDevice) {
    const Explained e = ExplainText(
        "[2026-12-11 14:11:47:406|    -   ]ZOLT Update 1.0.6 start\r\n"
        "[2026-12-11 14:11:57:406|    -   ]ZOLT Update 1.0.6 start\r\n"
        "[2026-12-11 14:11:57:410|0.004000]libftdi1: open failed: -3 device not found\r\n");
    ASSERT_EQ(e.runs.size(), 2u);
    EXPECT_EQ(SummaryLine(e.runs[0]),
              "#1  2026-12-11 14:11  Update or Device Info  failed: device not found: nothing was "
              "logged after the start line (no interface opened within 10 s, or no procedure was "
              "started)");
    EXPECT_EQ(e.runs[1].outcome, Outcome::DeviceNotFound);
    EXPECT_NE(e.runs[1].reason.find("the driver said \"libftdi1: open failed: -3"),
              std::string::npos)
        << e.runs[1].reason;
}

TEST(ExplainLog, ForeignAndEmptyFilesGiveAClearRemark) {
    std::string binary;
    for (int i = 0; i < 200'000; ++i) {
        binary.push_back(static_cast<char>((i * 7919) & 0xFF));
    }
    const Explained foreign = ExplainText(binary);
    EXPECT_TRUE(foreign.file.notALog);
    EXPECT_TRUE(foreign.runs.empty());
    ASSERT_FALSE(FileRemarks(foreign.file).empty());
    EXPECT_NE(FileRemarks(foreign.file).front().find("not a log of this program"),
              std::string::npos);

    const Explained empty = ExplainText("");
    EXPECT_FALSE(empty.file.notALog);
    EXPECT_TRUE(empty.runs.empty());
    EXPECT_TRUE(FileRemarks(empty.file).empty());
}

TEST(ExplainLog, SplitsOneSessionIntoItsProcedures) {
    sim::SimulatedInterfaceOptions device;
    device.rejectBlock = sim::BlockRejection{sim::Part::St, 9};  // the fourth update's block 2
    testing::Recorder recorder(std::move(device));
    recorder.DeviceInfo();
    recorder.Update();
    recorder.DeviceInfo();
    recorder.Update();
    const Explained e = ExplainText(recorder.Log());
    ASSERT_EQ(e.runs.size(), 4u);
    EXPECT_TRUE(e.runs[0].startLine);
    EXPECT_EQ(e.runs[0].procedure, Procedure::DeviceInfo);
    EXPECT_EQ(e.runs[1].procedure, Procedure::Update);
    EXPECT_EQ(e.runs[1].outcome, Outcome::Succeeded);
    ASSERT_EQ(e.runs[1].blockLoops.size(), 2u);
    EXPECT_EQ(e.runs[1].blockLoops[0].written, 5);
    EXPECT_EQ(e.runs[1].blockLoops[1].written, 3);
    EXPECT_EQ(e.runs[2].procedure, Procedure::DeviceInfo);
    EXPECT_EQ(e.runs[3].outcome, Outcome::Failed);
    EXPECT_NE(e.runs[3].reason.find("rejected block 5 of 5 of the st part (answer B1 02)"),
              std::string::npos)
        << e.runs[3].reason;
    EXPECT_TRUE(FileRemarks(e.file).empty());

    // The detail and the JSON carry the same story.
    const std::string detail = DetailText(e.runs[1]);
    EXPECT_NE(detail.find("reset 2B"), std::string::npos) << detail;
    EXPECT_NE(detail.find("\"ZOLT j2534 firmware"), std::string::npos) << detail;
    EXPECT_NE(detail.find("st blocks           5 of 5 written, 5 accepted"), std::string::npos)
        << detail;
    const std::string json = RunJson(e.runs[3]);
    EXPECT_NE(json.find("\"outcome\":\"failed\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"rejected_answer\":\"07 00 02 00 B1 02 B6\""), std::string::npos) << json;
}

TEST(ExplainLog, ALogCutInsideALineEndsItsRunUnfinished) {
    testing::Recorder recorder;
    recorder.Update();
    const std::string whole = recorder.Log();
    // Inside the dump of the st part's third block.
    std::size_t at = 0;
    for (int block = 0; block < 3; ++block) {
        at = whole.find("Write :  C8 00", at + 1);
        ASSERT_NE(at, std::string::npos);
    }
    const Explained e = ExplainText(whole.substr(0, at + 40));
    ASSERT_EQ(e.runs.size(), 1u);
    EXPECT_EQ(e.runs[0].outcome, Outcome::Unfinished);
    EXPECT_NE(e.runs[0].reason.find("stops after block 3 of the st part"), std::string::npos)
        << e.runs[0].reason;
    EXPECT_TRUE(e.file.read.cutAtEnd);
    const std::vector<std::string> remarks = FileRemarks(e.file);
    ASSERT_EQ(remarks.size(), 1u);
    EXPECT_NE(remarks[0].find("ends in the middle of a line"), std::string::npos);

    // Garbage in the middle is skipped; the runs around it still read.
    const std::size_t middle = whole.find("\r\n", whole.size() / 2) + 2;
    std::string damaged =
        whole.substr(0, middle) + std::string("\x00\x01\x02\xfe\r\n", 6) + whole.substr(middle);
    const Explained d = ExplainText(damaged);
    ASSERT_EQ(d.runs.size(), 1u);
    EXPECT_EQ(d.runs[0].outcome, Outcome::Succeeded);
    EXPECT_EQ(d.file.read.malformedLines, 1u);
}

}  // namespace
}  // namespace zolt::logread
