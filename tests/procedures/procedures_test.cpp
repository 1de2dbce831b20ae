// The two procedures against the simulated interface (in virtual time) and the reference update
// server (over loopback), checked by the window operations they make.
#include "procedures/procedures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <optional>

#include "device/communication_ft32.h"
#include "log/log.h"
#include "sim/interface/simulated_interface.h"
#include "sim/server/reference_server.h"
#include "tests/procedures/recording_window.h"
#include "tests/support/test_support.h"

namespace zolt {
namespace {

using Bytes = std::vector<uint8_t>;
using sim::Part;

class FixedSystem final : public SystemInfo {
  public:
    WideText ExecutablePath() override { return u"/nowhere/zolt-update"; }
    std::optional<WideText> ComputerName() override { return u"PC1"; }
};

Bytes InfoRecordOf(const sim::PartIdentity& id) {
    Bytes record(InfoRecordSize, 0);
    const uint8_t header[] = {0x3B, 0x00, 0x32, 0x00, 0xBE, 0x00};
    std::copy(std::begin(header), std::end(header), record.begin());
    std::copy(id.info.begin(), id.info.begin() + 48, record.begin() + 6);
    return record;
}

Bytes ChipIdOf(const sim::PartIdentity& id) {
    return Bytes(id.chipId.begin(), id.chipId.end());
}

const Bytes ComputerNameRecord = {'P', 0, 'C', 0, '1', 0};
const Bytes VersionRecord = {'1', 0, '.', 0, '0', 0, '.', 0, '6', 0};

// One run: a simulated interface, a reference server and a recording window.
struct Rig {
    explicit Rig(sim::SimulatedInterfaceOptions deviceOptions = {},
                 sim::ReferenceServerOptions serverOptions = {})
        : device(clock, std::move(deviceOptions)), server(std::move(serverOptions)) {
        EXPECT_TRUE(server.Start());
    }

    ProcedureContext Context() {
        return ProcedureContext{device, clock, tone, system,
                                ServerEndpoint{"127.0.0.1", server.Port(), 2'000}};
    }
    RunOutcome Update() { return UpdateThread(window, Context()); }
    void DeviceInfo() { DeviceInfoThread(window, Context()); }

    std::vector<std::vector<Bytes>> RequestRecords() const {
        std::vector<std::vector<Bytes>> out;
        for (const auto& raw : server.Requests()) {
            const auto parsed = sim::ParseRequest(raw);
            EXPECT_TRUE(parsed.ok) << parsed.error;
            out.push_back(parsed.records);
        }
        return out;
    }
    int Count(const std::vector<std::string>& lines, const std::string& line) const {
        return static_cast<int>(std::count(lines.begin(), lines.end(), line));
    }

    testing::ScopedTestLog log;
    LogCapture capture;
    VirtualClock clock;
    RecordingTone tone;
    FixedSystem system;
    sim::SimulatedInterface device;
    sim::ReferenceServer server;
    testing::RecordingWindow window;
};

sim::ReferenceServerOptions Firmware(int stBlocks, int j2534Blocks, int blockSize = 64) {
    sim::ReferenceServerOptions options;
    options.stFirmware = sim::DemoFirmware(sim::RequestStFirmware, stBlocks, blockSize);
    options.j2534Firmware = sim::DemoFirmware(sim::RequestJ2534Firmware, j2534Blocks, blockSize);
    return options;
}

void ExpectBracketedByEnable(const testing::RecordingWindow& window) {
    ASSERT_FALSE(window.ops.empty());
    EXPECT_EQ(window.ops.front(), "disable");
    EXPECT_EQ(window.ops.back(), "enable");
    EXPECT_EQ(std::count(window.ops.begin(), window.ops.end(), "disable"), 1);
    EXPECT_EQ(std::count(window.ops.begin(), window.ops.end(), "enable"), 1);
}

const std::string Banner00 = "---------------------------  reset 00";

TEST(UpdateProcedure, WholeTwoStageUpdateWritesEveryBlockToItsPart) {
    Rig rig({}, Firmware(24, 12, 1100));
    rig.Update();

    EXPECT_EQ(rig.window.DistinctStatuses(),
              (std::vector<std::string>{"Prepare for updating, please wait ...", "Updating..",
                                        "Prepare update", "Updating..",
                                        "Finishing update, please wait...", "Update success"}));
    EXPECT_EQ(rig.device.ReceivedBlocks(Part::St),
              sim::DemoFirmware(sim::RequestStFirmware, 24, 1100));
    EXPECT_EQ(rig.device.ReceivedBlocks(Part::J2534),
              sim::DemoFirmware(sim::RequestJ2534Firmware, 12, 1100));
    EXPECT_EQ(rig.window.progress, 0);  // emptied, not filled
    EXPECT_EQ(rig.window.positions.back(), 0);
    EXPECT_EQ(*std::max_element(rig.window.positions.begin(), rig.window.positions.end()),
              80 + (20 * 11) / 12);
    ASSERT_EQ(rig.tone.played.size(), 2u);
    for (const auto& beep : rig.tone.played) {
        EXPECT_EQ(beep.frequencyHz, 600u);
        EXPECT_EQ(beep.durationMs, 200u);
    }
    EXPECT_FALSE(rig.device.HandleOpen());
    ExpectBracketedByEnable(rig.window);
    EXPECT_EQ(rig.Count(rig.capture.Lines(), Banner00), 2);
}

TEST(UpdateProcedure, RequestRecordsOfEachStage) {
    Rig rig({}, Firmware(2, 2));
    rig.Update();
    const auto st = sim::DemoIdentity(Part::St);
    const auto j = sim::DemoIdentity(Part::J2534);
    const auto requests = rig.RequestRecords();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(
        requests[0],
        (std::vector<Bytes>{
            {0x0A, 0x01}, ChipIdOf(st), InfoRecordOf(st), ComputerNameRecord, VersionRecord}));
    EXPECT_EQ(requests[1], (std::vector<Bytes>{{0x0A, 0x02},
                                               ChipIdOf(st),
                                               InfoRecordOf(st),
                                               ChipIdOf(j),
                                               InfoRecordOf(j),
                                               ComputerNameRecord,
                                               VersionRecord}));
}

TEST(UpdateProcedure, ProgressPositionsUseIntegerDivision) {
    struct Case {
        int blocks;
        std::vector<int32_t> positions;  // every SetProgress of the run
    };
    const Case cases[] = {
        {1, {0, 80, 0}},
        {3, {0, 26, 53, 80, 86, 93, 0}},
    };
    for (const auto& c : cases) {
        Rig rig({}, Firmware(c.blocks, c.blocks));
        rig.Update();
        EXPECT_EQ(rig.window.positions, c.positions) << c.blocks << " blocks";
        EXPECT_EQ(rig.window.statuses.back(), "Update success");
    }
}

TEST(UpdateProcedure, StatusRefreshesAtMostOnceASecondFromTheThirdBlock) {
    sim::SimulatedInterfaceOptions slow;
    slow.timing = sim::Timing::LineRate;  // a 1,100-byte block and its answer take about 96 ms
    Rig rig(slow, Firmware(30, 30, 1100));
    rig.Update();
    const auto& s = rig.window.statuses;
    const auto refreshes = std::count(s.begin(), s.end(), "Updating, please wait ...");
    // 30 blocks of about 96 ms: about 2.9 s in stage 1, so two or three refreshes.
    EXPECT_GE(refreshes, 2);
    EXPECT_LE(refreshes, 3);
    EXPECT_EQ(s.back(), "Update success");
}

TEST(UpdateProcedure, AcceptanceRules) {
    struct Case {
        Bytes answer;
        bool stage1;
        bool stage2;
    };
    const Case cases[] = {
        {{0xB1, 0x00}, true, true},
        {{0xB1, 0x01}, false, false},
        {{0xA7, 0x01}, true, false},
        {{0xA8, 0x05}, true, false},
        {{0xA7, 0x00}, true, true},
        {{0xB1, 0x00, 0x00}, true, false},
        {{0xA7, 0x01, 0x00}, true, false},
        {{0x00}, false, false},
        {{}, false, false},
    };
    for (const auto& c : cases) {
        const auto n = static_cast<uint32_t>(c.answer.size());
        EXPECT_EQ(AcceptStage1Answer(c.answer.data(), n), c.stage1)
            << ::testing::PrintToString(c.answer);
        EXPECT_EQ(AcceptStage2Answer(c.answer.data(), n), c.stage2)
            << ::testing::PrintToString(c.answer);
    }
}

TEST(UpdateProcedure, RejectedBlockStopsTheStageAndCountsDown) {
    sim::SimulatedInterfaceOptions device;
    device.rejectBlock = sim::BlockRejection{Part::St, 2};
    Rig rig(device, Firmware(5, 5));
    rig.Update();

    EXPECT_EQ(rig.device.ReceivedBlocks(Part::St).size(), 3u);  // nothing after block 2
    EXPECT_TRUE(rig.device.ReceivedBlocks(Part::J2534).empty());
    std::vector<int32_t> expected = {0, 16, 32};
    for (int k = 32; k >= 0; --k) {
        expected.push_back(k);
    }
    EXPECT_EQ(rig.window.positions, expected);
    EXPECT_EQ(rig.window.DistinctStatuses(),
              (std::vector<std::string>{"Prepare for updating, please wait ...", "Updating..",
                                        "Update failed."}));
    EXPECT_EQ(rig.Count(rig.capture.Lines(), Banner00), 1);
    EXPECT_EQ(rig.server.Requests().size(), 1u);
    EXPECT_TRUE(rig.tone.played.empty());
    EXPECT_FALSE(rig.device.HandleOpen());
    ExpectBracketedByEnable(rig.window);
}

TEST(UpdateProcedure, NoBlocksFromTheServer) {
    struct Case {
        int stBlocks;
        int j2534Blocks;
        std::vector<std::string> statuses;
        std::vector<int32_t> positions;
        int reset00;
    };
    const Case cases[] = {
        {0,
         3,
         {"Prepare for updating, please wait ...", "Update fail (01) ", "Update failed."},
         {0},
         1},
        {3,
         0,
         {"Prepare for updating, please wait ...", "Updating..", "Prepare update",
          "Update fail (02)", "Finishing update, please wait...", "Update failed."},
         {0, 26, 53, 53, 52},  // checked as a prefix: the count-down runs on to 0
         2},
    };
    for (const auto& c : cases) {
        Rig rig({}, Firmware(c.stBlocks, c.j2534Blocks));
        const uint32_t start = rig.clock.Now();
        rig.Update();
        EXPECT_EQ(rig.window.DistinctStatuses(), c.statuses);
        ASSERT_GE(rig.window.positions.size(), c.positions.size());
        EXPECT_TRUE(
            std::equal(c.positions.begin(), c.positions.end(), rig.window.positions.begin()));
        EXPECT_EQ(rig.window.positions.back(), 0);
        EXPECT_EQ(rig.Count(rig.capture.Lines(), Banner00), c.reset00);
        EXPECT_GE(rig.clock.Now() - start, 1'500u);  // the pause after "Update fail"
        EXPECT_FALSE(rig.device.HandleOpen());
    }
}

TEST(UpdateProcedure, FailedStIdentificationStillUpdatesStageOneOnly) {
    sim::SimulatedInterfaceOptions device;
    device.faults.push_back({sim::Fault::WrongResultByte, sim::Request::ChipId, 1, {}});
    Rig rig(device, Firmware(3, 3));
    rig.Update();

    EXPECT_EQ(rig.window.statuses.back(), "Update success");
    EXPECT_EQ(rig.tone.played.size(), 2u);
    const auto requests = rig.RequestRecords();
    ASSERT_EQ(requests.size(), 1u);  // stage 2 did not run
    EXPECT_EQ(requests[0], (std::vector<Bytes>{{0x0A, 0x01}, ComputerNameRecord, VersionRecord}));
    EXPECT_EQ(rig.device.ReceivedBlocks(Part::St).size(), 3u);
    EXPECT_TRUE(rig.device.ReceivedBlocks(Part::J2534).empty());
}

TEST(UpdateProcedure, StageTwoIdentificationFailuresEndAtOnce) {
    // Reset sequences send their frame twice; 1A, 00 and 1A again come before 2B.
    const std::pair<const char*, std::vector<sim::FaultRule>> cases[] = {
        {"reset 2B",
         {{sim::Fault::Silent, sim::Request::Reset, 7, {}},
          {sim::Fault::Silent, sim::Request::Reset, 8, {}}}},
        {"j2534 chip id", {{sim::Fault::WrongResultByte, sim::Request::ChipId, 3, {}}}},
        {"j2534 info", {{sim::Fault::WrongCommandCode, sim::Request::DeviceInfo, 3, {}}}},
    };
    for (const auto& [name, faults] : cases) {
        sim::SimulatedInterfaceOptions device;
        device.faults = faults;
        Rig rig(device, Firmware(3, 3));
        rig.Update();
        SCOPED_TRACE(name);
        const auto statuses = rig.window.DistinctStatuses();
        EXPECT_EQ(statuses.back(), "Update failed.");
        EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "Prepare update"), 0);
        EXPECT_EQ(rig.server.Requests().size(), 1u);             // no second exchange
        EXPECT_EQ(rig.Count(rig.capture.Lines(), Banner00), 1);  // no final reset
        // The count-down starts from the last stage-1 position.
        const auto& p = rig.window.positions;
        ASSERT_GE(p.size(), 4u);
        EXPECT_EQ(p[2], 53);
        EXPECT_EQ(p[3], 53);
        EXPECT_EQ(p.back(), 0);
        EXPECT_FALSE(rig.device.HandleOpen());
        ExpectBracketedByEnable(rig.window);
    }
}

TEST(Procedures, DeviceNotFound) {
    const std::pair<const char*, std::function<void(Rig&)>> runs[] = {
        {"Prepare for updating, please wait ...", [](Rig& r) { r.Update(); }},
        {"Get device info...", [](Rig& r) { r.DeviceInfo(); }},
    };
    for (const auto& [first, run] : runs) {
        sim::SimulatedInterfaceOptions absent;
        absent.attached = false;
        Rig rig(absent);
        const uint32_t start = rig.clock.Now();
        run(rig);
        EXPECT_EQ(rig.window.ops,
                  (std::vector<std::string>{"disable", std::string("status:") + first,
                                            "status:Device not found", "enable"}));
        EXPECT_GE(rig.clock.Now() - start, OpenWindowMs);
        EXPECT_TRUE(rig.server.Requests().empty());
    }
}

TEST(DeviceInfoProcedure, ShowsTheServersTextAndSendsTheIdentification) {
    Rig rig;
    rig.DeviceInfo();
    const auto st = sim::DemoIdentity(Part::St);
    EXPECT_EQ(rig.window.ops.front(), "disable");
    EXPECT_EQ(rig.window.ops[1], "status:Get device info...");
    EXPECT_EQ(rig.window.ops[rig.window.ops.size() - 3], "status:");
    EXPECT_EQ(rig.window.ops.back(), "enable");
    EXPECT_NE(ToUtf8(rig.window.info).find("ZOLT st firmware 2.4.1"), std::string::npos)
        << ToUtf8(rig.window.info);
    EXPECT_TRUE(rig.window.positions.empty());  // never touches the bar
    const auto requests = rig.RequestRecords();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(
        requests[0],
        (std::vector<Bytes>{
            {0x0A, 0x04}, ChipIdOf(st), InfoRecordOf(st), ComputerNameRecord, VersionRecord}));
    EXPECT_EQ(rig.Count(rig.capture.Lines(), Banner00), 1);
    EXPECT_FALSE(rig.device.HandleOpen());
}

TEST(DeviceInfoProcedure, IdentificationFailuresShortenTheRequest) {
    const auto st = sim::DemoIdentity(Part::St);
    struct Case {
        const char* name;
        std::vector<sim::FaultRule> faults;
        std::vector<Bytes> records;
    };
    const Case cases[] = {
        {"reset 1A",
         {{sim::Fault::Silent, sim::Request::Reset, 1, {}},
          {sim::Fault::Silent, sim::Request::Reset, 2, {}}},
         {{0x0A, 0x04}, ComputerNameRecord, VersionRecord}},
        {"chip id",
         {{sim::Fault::WrongResultByte, sim::Request::ChipId, 1, {}}},
         {{0x0A, 0x04}, ComputerNameRecord, VersionRecord}},
        {"device info",
         {{sim::Fault::ShortPayload, sim::Request::DeviceInfo, 1, {}}},
         {{0x0A, 0x04}, ChipIdOf(st), ComputerNameRecord, VersionRecord}},
    };
    for (const auto& c : cases) {
        sim::SimulatedInterfaceOptions device;
        device.faults = c.faults;
        Rig rig(device);
        rig.DeviceInfo();
        SCOPED_TRACE(c.name);
        const auto requests = rig.RequestRecords();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0], c.records);
        EXPECT_EQ(rig.Count(rig.capture.Lines(), Banner00), 1);  // still reset
        EXPECT_EQ(rig.window.statuses.back(), "");
    }
}

TEST(DeviceInfoProcedure, ReplyTextRules) {
    struct Case {
        const char* name;
        std::vector<Bytes> records;          // empty: a reply the exchange refuses
        std::optional<std::u16string> info;  // nothing: the box is not touched
        std::string status;
    };
    const Case cases[] = {
        {"no zero byte", {{'O', 'K'}}, u"OK", ""},
        {"zero byte inside", {{'A', 0, 'B'}}, u"A", ""},
        {"several records", {{'f', 'i', 'r', 's', 't'}, {'s', 'e', 'c'}}, u"first", ""},
        {"empty first record", {{}, {'x'}}, u"", ""},
        {"no records", {}, std::nullopt, "Get device info failed."},
    };
    for (const auto& c : cases) {
        sim::ReferenceServerOptions server;
        server.fixedReply =
            c.records.empty() ? Bytes{8, 0, 0, 0, 0, 0, 0, 0} : sim::BuildReply(c.records);
        Rig rig({}, server);
        rig.DeviceInfo();
        SCOPED_TRACE(c.name);
        const bool touched =
            std::count_if(rig.window.ops.begin(), rig.window.ops.end(),
                          [](const std::string& op) { return op.rfind("info:", 0) == 0; }) > 0;
        EXPECT_EQ(touched, c.info.has_value());
        if (c.info) {
            EXPECT_EQ(rig.window.info, *c.info);
        }
        EXPECT_EQ(rig.window.statuses.back(), c.status);
        ExpectBracketedByEnable(rig.window);
    }
}

TEST(UpdateProcedure, OutcomeSaysHowTheRunEnded) {
    struct Case {
        const char* name;
        std::vector<sim::FaultRule> faults;
        std::optional<sim::BlockRejection> rejection;
        RunResult result;
        FailureKind failure;
        FirmwarePart part;
        const char* command;
    };
    const Case cases[] = {
        {"all accepted", {}, {}, RunResult::Success, FailureKind::None, FirmwarePart::J2534, ""},
        {"st chip identifier unread: only the st part",
         {{sim::Fault::Silent, sim::Request::ChipId, 1, {}}},
         {},
         RunResult::StOnlyUpdated,
         FailureKind::Command,
         FirmwarePart::St,
         "GetChipId"},
        {"a st block refused",
         {},
         sim::BlockRejection{Part::St, 2},
         RunResult::Failed,
         FailureKind::Block,
         FirmwarePart::St,
         ""},
        {"the j2534 information unread",
         {{sim::Fault::Silent, sim::Request::DeviceInfo, 3, {}}},
         {},
         RunResult::Failed,
         FailureKind::Command,
         FirmwarePart::J2534,
         "GetDeviceInfo"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim::SimulatedInterfaceOptions device;
        device.faults = c.faults;
        device.rejectBlock = c.rejection;
        Rig rig(device, Firmware(4, 3));
        const RunOutcome outcome = rig.Update();
        EXPECT_EQ(outcome.result, c.result);
        EXPECT_EQ(outcome.failure, c.failure);
        EXPECT_EQ(outcome.part, c.part);
        EXPECT_STREQ(outcome.command, c.command);
        if (c.failure == FailureKind::Block) {
            EXPECT_EQ(outcome.blockIndex, 2);
            EXPECT_EQ(outcome.blockCount, 4);
            EXPECT_GE(outcome.answerLength, 2u);
        }
        // The window still shows the designed texts.
        EXPECT_EQ(rig.window.statuses.back(),
                  c.result == RunResult::Failed ? "Update failed." : "Update success");
    }

    sim::SimulatedInterfaceOptions absent;
    absent.attached = false;
    Rig none(absent);
    EXPECT_EQ(none.Update().result, RunResult::DeviceNotFound);

    sim::ReferenceServerOptions empty;
    empty.fixedReply = std::vector<uint8_t>{13, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};  // no records
    Rig nothing({}, empty);
    const RunOutcome unserved = nothing.Update();
    EXPECT_EQ(unserved.result, RunResult::Failed);
    EXPECT_EQ(unserved.failure, FailureKind::NoRecords);
}

// Asks for a stop while the nth block is in flight: written, its answer not yet read.
class StoppingWindow final : public UpdateWindow {
  public:
    StoppingWindow(UpdateWindow& inner, std::atomic<bool>& stop, int afterPositions)
        : inner_(inner), stop_(stop), left_(afterPositions) {}
    void SetStatusText(const WideText& text) override { inner_.SetStatusText(text); }
    void SetInfoText(const WideText& text) override { inner_.SetInfoText(text); }
    void SetProgress(int32_t position) override {
        inner_.SetProgress(position);
        if (--left_ == 0) {
            stop_.store(true);
        }
    }
    int32_t GetProgress() override { return inner_.GetProgress(); }
    void EnableActions(bool enable) override { inner_.EnableActions(enable); }

  private:
    UpdateWindow& inner_;
    std::atomic<bool>& stop_;
    int left_;
};

TEST(UpdateProcedure, AStopWaitsForTheBlockInFlightThenEndsAsAFailure) {
    Rig rig({}, Firmware(24, 12));
    std::atomic<bool> stop{false};
    StoppingWindow window(rig.window, stop, 5);
    ProcedureContext context = rig.Context();
    context.stop = &stop;
    const RunOutcome outcome = UpdateThread(window, context);

    EXPECT_EQ(outcome.result, RunResult::Interrupted);
    EXPECT_EQ(outcome.blockIndex, 4);  // the fifth block was finished
    EXPECT_EQ(rig.device.ReceivedBlocks(Part::St).size(), 5u);
    EXPECT_EQ(rig.device.BlockResults(Part::St).size(), 5u);  // each one answered
    EXPECT_EQ(rig.device.UnfinishedFrameBytes(), 0u);
    EXPECT_TRUE(rig.device.ReceivedBlocks(Part::J2534).empty());
    EXPECT_FALSE(rig.device.HandleOpen());
    const auto lines = rig.capture.Lines();
    EXPECT_EQ(rig.Count(lines, "Update interrupted: stopping after block 5 of 24 of the st part"),
              1);
    EXPECT_EQ(rig.Count(lines, Banner00), 1);  // the stage's closing reset
    EXPECT_EQ(rig.window.statuses.back(), "Update failed.");
    EXPECT_EQ(rig.window.progress, 0);
    ExpectBracketedByEnable(rig.window);
}

}  // namespace
}  // namespace zolt
