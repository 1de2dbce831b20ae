// Replay: a run recorded from the real procedures is played back from its log alone and must end
// the same way, with the same writes and the same status texts; a program that leaves the
// recording is stopped with the place named.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "logread/log_explain.h"
#include "logread/replay_script.h"
#include "sim/replay/replay.h"
#include "tests/logread/recorder.h"
#include "tests/server/server_test_support.h"

namespace zolt {
namespace {

enum class Run { Update, DeviceInfo };

struct Played {
    std::string log;
    std::vector<std::string> statuses;
    std::string info;
};

std::vector<std::string> WritesIn(const std::string& log) {
    std::vector<std::string> writes;
    for (std::size_t at = log.find("]Write :  "); at != std::string::npos;
         at = log.find("]Write :  ", at + 1)) {
        writes.push_back(log.substr(at + 1, log.find("\r\n", at) - at - 1));
    }
    return writes;
}

logread::RunReport OnlyRun(const std::string& log) {
    testing::TempDir dir;
    const std::string path = (dir.path() / "log.bin").string();
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(log.data(), 1, log.size(), f);
    std::fclose(f);
    f = std::fopen(path.c_str(), "rb");
    std::vector<logread::RunReport> runs;
    logread::ExplainLog(f, [&](const logread::RunReport& r) { runs.push_back(r); });
    std::fclose(f);
    EXPECT_EQ(runs.size(), 1u);
    return runs.empty() ? logread::RunReport{} : runs.front();
}

// Plays the last run of `recorded` back through the replay driver and sockets.
Played Replay(const std::string& recorded, Run run, std::string& why) {
    testing::TempDir dir;
    const std::string path = (dir.path() / "recorded.bin").string();
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(recorded.data(), 1, recorded.size(), f);
    std::fclose(f);
    logread::ReplayScript script;
    std::string error;
    EXPECT_TRUE(logread::LoadReplayScript(path, 0, script, error)) << error;

    testing::ScopedTestLog log;
    VirtualClock clock;
    testing::NoTone tone;
    testing::FixedSystem system;
    sim::ReplayVerdict verdict;
    sim::ReplayInterface device(clock, script, verdict);
    sim::ReplaySockets sockets(script, verdict);
    testing::RecordingWindow window;
    WriteLog(u"ZOLT Update " + WideText(VersionText) + u" start");
    const ProcedureContext context{
        device, clock, tone, system, ServerEndpoint{sim::ReplayServerHost, 4006, 2'000}, &sockets};
    if (run == Run::Update) {
        UpdateThread(window, context);
    } else {
        DeviceInfoThread(window, context);
    }
    why = verdict.Why();
    if (why.empty() && device.WritesLeft() > 0) {
        why = std::to_string(device.WritesLeft()) + " writes of the recording were not made";
    }
    return Played{log.Contents(), window.DistinctStatuses(), ToUtf8(window.info)};
}

struct Case {
    const char* name;
    Run run = Run::Update;
    std::function<void(sim::SimulatedInterfaceOptions&)> device = {};
    std::function<void(sim::ReferenceServerOptions&)> server = {};
    bool refused = false;
};

TEST(Replay, ARecordedRunEndsAsRecordedWithTheSameWrites) {
    const Case cases[] = {
        {"success"},
        {"block rejected", Run::Update,
         [](sim::SimulatedInterfaceOptions& d) {
             d.rejectBlock = sim::BlockRejection{sim::Part::St, 2};
         }},
        {"j2534 block unanswered", Run::Update,
         [](sim::SimulatedInterfaceOptions& d) {
             d.faults = {{sim::Fault::Silent, sim::Request::Block, 7, {}}};
         }},
        {"answers in pieces, st identification failed", Run::Update,
         [](sim::SimulatedInterfaceOptions& d) {
             d.replyPieceSizes = {3, 1, 5};
             d.faults = {{sim::Fault::WrongResultByte, sim::Request::DeviceInfo, 1, {}}};
         }},
        {"unplugged during the first reset", Run::Update,
         [](sim::SimulatedInterfaceOptions& d) { d.unplugAtClose = 1; }},
        {"reply broken off and resumed",
         Run::Update,
         {},
         [](sim::ReferenceServerOptions& o) {
             o.breakOffAfter = 100;
             o.breakOffTransactions = 2;
         }},
        {"server refused", Run::Update, {}, {}, true},
        {"reply too short",
         Run::Update,
         {},
         [](sim::ReferenceServerOptions& o) { o.truncateTo = 12; }},
        {"record too long",
         Run::Update,
         {},
         [](sim::ReferenceServerOptions& o) { o.lengthAbove1100 = true; }},
        {"device info", Run::DeviceInfo},
        {"device absent", Run::Update,
         [](sim::SimulatedInterfaceOptions& d) { d.attached = false; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string recorded;
        std::vector<std::string> statuses;
        {
            sim::SimulatedInterfaceOptions device;
            if (c.device) {
                c.device(device);
            }
            sim::ReferenceServerOptions server = testing::Recorder::SmallFirmware();
            if (c.server) {
                c.server(server);
            }
            testing::Recorder recorder(
                device, server,
                c.refused ? std::optional<uint16_t>(testing::UnusedPort()) : std::nullopt);
            c.run == Run::Update ? recorder.Update() : recorder.DeviceInfo();
            recorded = recorder.Log();
            statuses = recorder.Window().DistinctStatuses();
        }
        std::string why;
        const Played played = Replay(recorded, c.run, why);
        EXPECT_EQ(why, "");
        EXPECT_EQ(played.statuses, statuses);
        EXPECT_EQ(WritesIn(played.log), WritesIn(recorded));
        const logread::RunReport before = OnlyRun(recorded), after = OnlyRun(played.log);
        EXPECT_EQ(after.procedure, before.procedure);
        EXPECT_EQ(after.outcome, before.outcome);
        EXPECT_EQ(after.reason, before.reason);
        if (c.run == Run::DeviceInfo) {
            EXPECT_EQ(played.info, logread::StandInInfoText);
        }
    }
}

TEST(Replay, StopsWhereTheProgramLeavesTheRecording) {
    std::string recorded;
    {
        testing::Recorder recorder;
        recorder.Update();
        recorded = recorder.Log();
    }
    std::string why;
    const Played played = Replay(recorded, Run::DeviceInfo, why);
    // Device Info sends reset 00 where the update wrote its first block.
    EXPECT_NE(why.find("write 5 differs from line "), std::string::npos) << why;
    EXPECT_NE(why.find("the program wrote 03 00 00, the log has C8 00"), std::string::npos) << why;
    EXPECT_EQ(played.statuses.back(), "Get device info failed.");
}

}  // namespace
}  // namespace zolt
