// The console's text: server text made safe, the progress line, and the failure reasons from
// real runs against the simulated interface and the reference server.
#include <gtest/gtest.h>

#include <cstdio>

#include "cli/console_text.h"
#include "cli/console_window.h"
#include "cli/failure_text.h"
#include "platform/tone.h"
#include "sim/interface/simulated_interface.h"
#include "sim/server/reference_server.h"
#include "tests/server/server_test_support.h"
#include "tests/support/test_support.h"

namespace zolt {
namespace {

TEST(TerminalSafe, EscapesControlsButLineFeedAndTab) {
    const std::pair<WideText, std::string> cases[] = {
        {u"Chip ID: 5354\n\tok", "Chip ID: 5354\n\tok"},
        {u"\x1b[2J\x1b]0;title\x07", "\\x1B[2J\\x1B]0;title\\x07"},
        {u"Update failed.\rUpdate success", "Update failed.\\x0DUpdate success"},
        {u"line 1\r\nline 2\r\n\r\r\n", "line 1\nline 2\n\\x0D\n"},  // CR LF is a line end
        {WideText(u"a\u007fb\u009bc\u0000d", 7), "a\\x7Fb\\x9Bc\\x00d"},
        {u"caf\u00e9 \\x41", "caf\xC3\xA9 \\\\x41"},  // a backslash of its own stays readable
    };
    for (const auto& [text, safe] : cases) {
        EXPECT_EQ(TerminalSafe(text), safe);
    }
}

TEST(ConsoleBar, NeverWiderThanTheTerminal) {
    const std::string status = "Updating, please wait ...";
    for (const int columns : {20, 21, 33, 40, 80, 120, 400}) {
        SCOPED_TRACE(columns);
        for (const int32_t percent : {0, 37, 100}) {
            const std::string line = ConsoleWindow::BarLine(columns, percent, status);
            EXPECT_LE(line.size(), static_cast<std::size_t>(columns - 1));
            EXPECT_NE(line.find(std::to_string(percent) + "%"), std::string::npos) << line;
        }
    }
    EXPECT_NE(ConsoleWindow::BarLine(120, 50, status).find(status), std::string::npos);
    EXPECT_EQ(ConsoleWindow::BarLine(10, 0, status).size(), 19u);  // 20 columns at the least
}

std::string Captured(std::FILE* file) {
    std::rewind(file);
    std::string out;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, file) != nullptr) {
        out += buffer;
    }
    return out;
}

// A short update's calls, as the procedure makes them, ending in success.
void PlayRun(ConsoleWindow& window) {
    window.SetStatusText(u"Prepare for updating, please wait ...");
    window.SetStatusText(u"Updating..");
    for (int32_t p : {0, 40, 80, 90}) {
        window.SetProgress(p);
    }
    window.SetStatusText(u"Finishing update, please wait...");
    window.SetProgress(0);
    window.SetStatusText(u"Update success");
    window.Finish(true);
}

TEST(ConsoleWindow, OneLineOnATerminalPlainLinesOtherwiseOnlyTheResultWhenQuiet) {
    struct Case {
        ConsoleStyle style;
        std::string expectedEnd;
        int newlines;
    };
    const Case cases[] = {
        {{40, -1, false}, "[#############] 100% Update success\x1b[K\n", 1},
        {{0, -1, false},
         "Progress: 90%\nFinishing update, please wait...\nProgress: 0%\nUpdate success\n",
         9},
        {{0, -1, true}, "Update success\n", 1},
        {{40, -1, true}, "Update success\n", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.style.columns * 10 + c.style.quiet);
        std::FILE* file = std::tmpfile();
        ASSERT_NE(file, nullptr);
        ConsoleWindow window(file, c.style);
        PlayRun(window);
        const std::string out = Captured(file);
        std::fclose(file);
        ASSERT_GE(out.size(), c.expectedEnd.size()) << out;
        EXPECT_EQ(out.substr(out.size() - c.expectedEnd.size()), c.expectedEnd) << out;
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), c.newlines) << out;
    }
}

TEST(ConsoleWindow, ServerTextReachesTheTerminalEscaped) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    ConsoleWindow window(file, ConsoleStyle{80, -1, false});
    window.SetInfoText(u"Chip ID: 5354\x1b[2J\x1b]0;owned\x07\rUpdate success\n");
    const std::string out = Captured(file);
    std::fclose(file);
    EXPECT_EQ(out,
              "Device information:\nChip ID: 5354\\x1B[2J\\x1B]0;owned\\x07\\x0DUpdate "
              "success\n\n");
}

// Runs an update against the simulated interface (virtual time) and a server, and says why it
// failed as the console does.
struct FailureRun {
    std::string text;
    RunResult result;
};

FailureRun RunUpdate(sim::SimulatedInterfaceOptions device, ServerEndpoint server) {
    testing::ScopedTestLog log;
    VirtualClock clock;
    sim::SimulatedInterface interface(clock, std::move(device));
    testing::FixedSystemInfo system(u"PC1");
    RecordingTone tone;
    struct NullWindow final : UpdateWindow {
        void SetStatusText(const WideText&) override {}
        void SetInfoText(const WideText&) override {}
        void SetProgress(int32_t p) override { position = p; }
        int32_t GetProgress() override { return position; }
        void EnableActions(bool) override {}
        int32_t position = 0;
    } window;
    const RunOutcome outcome =
        UpdateThread(window, ProcedureContext{interface, clock, tone, system, server});
    return {FailureText(outcome, RunKind::Update, server), outcome.result};
}

TEST(FailureText, SaysWhatTheRunSaw) {
    sim::ReferenceServer good;
    ASSERT_TRUE(good.Start());
    sim::ReferenceServerOptions silentOptions;
    silentOptions.silent = true;
    sim::ReferenceServer silent(silentOptions);
    ASSERT_TRUE(silent.Start());
    sim::ReferenceServerOptions closingOptions;
    closingOptions.closeWithoutAnswer = true;
    sim::ReferenceServer closing(closingOptions);
    ASSERT_TRUE(closing.Start());
    const uint16_t unused = testing::UnusedPort();

    sim::SimulatedInterfaceOptions unanswered;
    unanswered.faults.push_back({sim::Fault::Silent, sim::Request::Block, 17, {}});
    sim::SimulatedInterfaceOptions refused;
    refused.rejectBlock = sim::BlockRejection{sim::Part::J2534, 0};
    sim::SimulatedInterfaceOptions noStChipId;
    noStChipId.faults.push_back({sim::Fault::Silent, sim::Request::ChipId, 1, {}});

    struct Case {
        const char* name;
        sim::SimulatedInterfaceOptions device;
        ServerEndpoint server;
        RunResult result;
        std::string text;
    };
    const Case cases[] = {
        {"refused",
         {},
         {"127.0.0.1", unused, 2'000},
         RunResult::Failed,
         "the update server 127.0.0.1:" + std::to_string(unused) +
             " refused the connection (Windows Sockets error 10061, connection refused)"},
        {"built-in name",
         {},
         BuiltInServer(),
         RunResult::Failed,
         "this build names no update server (" + BuiltInServer().host +
             "): use --server HOST[:PORT]"},
        {"silent",
         {},
         {"127.0.0.1", silent.Port(), 300},
         RunResult::Failed,
         "did not answer within 1 s"},
        {"closes",
         {},
         {"127.0.0.1", closing.Port(), 2'000},
         RunResult::Failed,
         "closed the connection without a reply"},
        {"block unanswered",
         unanswered,
         {"127.0.0.1", good.Port(), 2'000},
         RunResult::Failed,
         "the interface did not answer block 17 of 24 of the st part within 20 s"},
        {"block refused",
         refused,
         {"127.0.0.1", good.Port(), 2'000},
         RunResult::Failed,
         "the interface refused block 1 of 24 of the j2534 part (answer"},
        {"st only",
         noStChipId,
         {"127.0.0.1", good.Port(), 2'000},
         RunResult::StOnlyUpdated,
         "warning: only the st part was updated: its identification failed at GetChipId "
         "(device status 7, no valid answer to the command)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const FailureRun run = RunUpdate(c.device, c.server);
        EXPECT_EQ(run.result, c.result);
        EXPECT_NE(run.text.find(c.text), std::string::npos) << run.text;
    }
}

}  // namespace
}  // namespace zolt
