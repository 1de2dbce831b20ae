// The fault matrix: the real procedures, each on a worker thread of its own as the window starts
// them, against the simulated interface (in virtual time) and the reference update server (over
// loopback), one row per fault of the device or the server. Each row checks the status texts in
// order, the log lines that tell what went wrong, the buttons enabled again, the channel closed,
// and that nothing was reported as success that was not. Leaks are the sanitizers' part.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "device/communication_ft32.h"
#include "log/log.h"
#include "logread/log_explain.h"
#include "platform/thread.h"
#include "procedures/procedures.h"
#include "sim/interface/simulated_interface.h"
#include "sim/server/reference_server.h"
#include "tests/procedures/recording_window.h"
#include "tests/server/server_test_support.h"
#include "tests/support/test_support.h"

namespace zolt {
namespace {

using sim::Fault;
using sim::Part;
using sim::Request;
using Lines = std::vector<std::string>;

constexpr int StBlocks = 4, J2534Blocks = 3, BlockSize = 64;
// Writes of a whole update: 1A twice, chip identifier, information, the st blocks, 00 twice, 1A
// twice, chip identifier, information, 2B twice, chip identifier, information, the j2534 blocks,
// 00 twice.
constexpr uint32_t FirstStBlockWrite = 5;
constexpr uint32_t Reset2BWrite = 11 + StBlocks;
constexpr uint32_t FirstJ2534BlockWrite = 15 + StBlocks;
constexpr uint32_t FinalResetWrite = 15 + StBlocks + J2534Blocks;

enum class Run { Update, DeviceInfo };

enum class Outcome {
    Success,       // "Update success": both parts got every block and accepted each
    StageOneOnly,  // "Update success" after the st blocks alone (no full st identification)
    Failure,       // "Update failed.", the bar run down to 0, no beep
    NotFound,      // "Device not found", nothing else done
    InfoShown,     // the server's text in the information box
    InfoFailed,    // "Get device info failed.", the box untouched
};

enum class Endpoint { ReferenceServer, HostNotFound, Refused };

const char* const Prepare = "Prepare for updating, please wait ...";
const char* const Updating = "Updating..";
const char* const PrepareUpdate = "Prepare update";
const char* const Finishing = "Finishing update, please wait...";
const char* const Failed = "Update failed.";
const char* const Succeeded = "Update success";
const char* const GetInfo = "Get device info...";

const Lines UpdateSuccess = {Prepare, Updating, PrepareUpdate, Updating, Finishing, Succeeded};
const Lines StageOneOnlySuccess = {Prepare, Updating, Succeeded};
const Lines StageOneFailure = {Prepare, Updating, Failed};
const Lines StageTwoFailure = {Prepare, Updating, PrepareUpdate, Updating, Finishing, Failed};
const Lines NoStBlock = {Prepare, "Update fail (01) ", Failed};

const std::string Reset1ABanner = "---------------------------  reset 1A";
const std::string Reset2BBanner = "---------------------------  reset 2B";
const std::string Reset00Banner = "---------------------------  reset 00";

struct Row {
    const char* name;
    Run run = Run::Update;
    sim::SimulatedInterfaceOptions device = {};
    std::function<void(sim::ReferenceServerOptions&)> server = {};
    Endpoint endpoint = Endpoint::ReferenceServer;
    uint32_t receiveTimeoutMs = 2'000;
    Lines statuses = {};  // the status texts as they change, in order
    // Log lines that must appear in this order; a '*' stands for any text.
    Lines log = {};
    Lines absent = {};  // log lines (patterns as above) that must not appear at all
    Outcome outcome = Outcome::Success;
    int requests = -1;  // requests the reference server received; -1 not checked
    // What `zolt-update-cli log` says of the run: text its summary line holds.
    const char* explained = "";
};

sim::SimulatedInterfaceOptions Device(std::vector<sim::FaultRule> faults = {}) {
    sim::SimulatedInterfaceOptions options;
    options.faults = std::move(faults);
    return options;
}

sim::SimulatedInterfaceOptions UnpluggedBefore(uint32_t write,
                                               std::optional<uint32_t> replugAfterMs = {}) {
    sim::SimulatedInterfaceOptions options;
    options.unplugBeforeTransfer = write;
    options.replugAfterMs = replugAfterMs;
    return options;
}

sim::SimulatedInterfaceOptions UnpluggedAtClose(uint32_t close,
                                                std::optional<uint32_t> replugAfterMs = {}) {
    sim::SimulatedInterfaceOptions options;
    options.unplugAtClose = close;
    options.replugAfterMs = replugAfterMs;
    return options;
}

sim::SimulatedInterfaceOptions AttachedAfter(uint32_t ms) {
    sim::SimulatedInterfaceOptions options;
    options.attached = false;
    options.attachAtMs = ms;
    return options;
}

sim::SimulatedInterfaceOptions Absent() {
    sim::SimulatedInterfaceOptions options;
    options.attached = false;
    return options;
}

std::function<void(sim::ReferenceServerOptions&)> BreakOffs(int times, sim::BreakOff mode) {
    return [=](sim::ReferenceServerOptions& o) {
        o.breakOffAfter = 8;  // the st reply of 4 blocks holds 280 bytes
        o.breakOffTransactions = times;
        o.breakOffMode = mode;
    };
}

// A pattern with one '*' matches every line that starts with what comes before it and ends with
// what comes after it.
bool Matches(const std::string& line, const std::string& pattern) {
    const auto star = pattern.find('*');
    if (star == std::string::npos) {
        return line == pattern;
    }
    const std::string head = pattern.substr(0, star), tail = pattern.substr(star + 1);
    return line.size() >= head.size() + tail.size() && line.rfind(head, 0) == 0 &&
           line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
}

// The first expected line not found in order, or empty when all were.
std::string MissingInOrder(const Lines& lines, const Lines& expected) {
    auto at = lines.begin();
    for (const auto& pattern : expected) {
        at = std::find_if(at, lines.end(),
                          [&](const std::string& l) { return Matches(l, pattern); });
        if (at == lines.end()) {
            return pattern;
        }
        ++at;
    }
    return {};
}

class FixedSystem final : public SystemInfo {
  public:
    WideText ExecutablePath() override { return u"/opt/zolt/zolt-update"; }
    std::optional<WideText> ComputerName() override { return u"PC1"; }
};

std::vector<Row> Matrix() {
    const auto st = [](uint32_t n) { return sim::FaultRule{Fault::Silent, Request::Block, n, {}}; };
    std::vector<Row> rows = {
        {.name = "no fault",
         .statuses = UpdateSuccess,
         .requests = 2,
         .explained = "Update  succeeded: both parts updated (4 st blocks, 3 j2534 blocks)"},
        {.name = "no fault, device info",
         .run = Run::DeviceInfo,
         .statuses = {GetInfo, ""},
         .log = {Reset1ABanner, Reset00Banner, "Host ip : 127.0.0.1", "Connection closed"},
         .outcome = Outcome::InfoShown,
         .requests = 1,
         .explained = "Device Info  succeeded: the update server answered"},
        // The device.
        {.name = "device absent",
         .device = Absent(),
         .statuses = {Prepare, "Device not found"},
         .absent = {"Write :  *", "Host ip : *"},
         .outcome = Outcome::NotFound,
         .requests = 0,
         .explained = "failed: device not found"},
        {.name = "device absent, device info",
         .run = Run::DeviceInfo,
         .device = Absent(),
         .statuses = {GetInfo, "Device not found"},
         .absent = {"Write :  *", "Host ip : *"},
         .outcome = Outcome::NotFound,
         .requests = 0,
         .explained = "failed: device not found"},
        {.name = "device attached after 3 s",
         .device = AttachedAfter(3'000),
         .statuses = UpdateSuccess,
         .log = {Reset1ABanner, "open 1.", "open 2.", Reset00Banner, Reset2BBanner, Reset00Banner},
         .requests = 2,
         .explained = "Update  succeeded: both parts updated (4 st blocks, 3 j2534 blocks)"},
        {.name = "unplugged before the first reset",
         .device = UnpluggedBefore(1),
         .statuses = StageOneFailure,
         .log = {Reset1ABanner, "open 2.", "Write :  03 00 1A", "Write :  03 00 1A", "Host ip : *",
                 Reset00Banner, "00 fail"},
         .absent = {"Read  :  *"},
         .outcome = Outcome::Failure,
         .requests = 1,
         .explained = "did not answer block 1 of 4 of the st part (before that, reset 1A failed: "
                      "no answer)"},
        {.name = "unplugged during the first reset's close",
         .device = UnpluggedAtClose(1),
         .statuses = StageOneFailure,
         .log = {Reset1ABanner, "open 1.", "open 2.", "open failed.", "Host ip : *", Reset00Banner,
                 "00 fail"},
         .absent = {"Write :  03 00 1A"},
         .outcome = Outcome::Failure,
         .requests = 1,
         .explained = "did not answer block 1 of 4 of the st part (before that, reset 1A failed: "
                      "the interface could not be opened again"},
        {.name = "unplugged during the first reset's close, plugged in again",
         .device = UnpluggedAtClose(1, 3'000),
         .statuses = UpdateSuccess,
         .log = {Reset1ABanner, "open 1.", "open 2.", "Write :  03 00 1A"},
         .absent = {"open failed."},
         .requests = 2,
         .explained = "Update  succeeded: both parts updated (4 st blocks, 3 j2534 blocks)"},
        {.name = "unplugged before the identification",
         .device = UnpluggedBefore(3),
         .statuses = StageOneFailure,
         .log = {"Write :  06 00 01 00 D1 D6", "Host ip : *", Reset00Banner, "00 fail"},
         .outcome = Outcome::Failure,
         .requests = 1,
         .explained = "did not answer block 1 of 4 of the st part (before that, the st chip "
                      "identifier failed: no answer)"},
        {.name = "unplugged before a st block",
         .device = UnpluggedBefore(FirstStBlockWrite + 1),
         .statuses = StageOneFailure,
         .log = {"Recv start", "Write :  *", "Write :  *", Reset00Banner, "00 fail"},
         .outcome = Outcome::Failure,
         .requests = 1,
         .explained = "did not answer block 2 of 4 of the st part"},
        {.name = "unplugged before the identification, plugged in again",
         .device = UnpluggedBefore(3, 1'000),
         .statuses = StageOneFailure,
         .log = {"Write :  06 00 01 00 D1 D6", "Host ip : *", Reset00Banner, "Write :  03 00 00"},
         .absent = {"00 fail*"},
         .outcome = Outcome::Failure,
         .requests = 1,
         .explained = "did not answer block 1 of 4 of the st part (before that, the st chip "
                      "identifier failed: no answer)"},
        {.name = "unplugged before a st block, plugged in again",
         .device = UnpluggedBefore(FirstStBlockWrite + 1, 1'000),
         .statuses = StageOneFailure,
         .log = {"Recv start", "Write :  *", "Write :  *", Reset00Banner, "Write :  03 00 00",
                 "Read  :  07 00 02 00 00 00 05"},
         .absent = {"00 fail*"},
         .outcome = Outcome::Failure,
         .requests = 1,
         .explained = "did not answer block 2 of 4 of the st part"},
        {.name = "unplugged before reset 2B",
         .device = UnpluggedBefore(Reset2BWrite),
         .statuses = StageOneFailure,
         .log = {Reset2BBanner, "Write :  03 00 2B", "Write :  03 00 2B"},
         .absent = {PrepareUpdate},
         .outcome = Outcome::Failure,
         .requests = 1,
         .explained = "Update  failed: reset 2B failed: no answer"},
        {.name = "unplugged before a j2534 block",
         .device = UnpluggedBefore(FirstJ2534BlockWrite + 1),
         .statuses = StageTwoFailure,
         .log = {Reset2BBanner, "Recv start", Reset00Banner, "00 fail"},
         .outcome = Outcome::Failure,
         .requests = 2,
         .explained = "did not answer block 2 of 3 of the j2534 part"},
        // The final reset's result is not consulted: every block went in and was accepted.
        {.name = "unplugged before the final reset",
         .device = UnpluggedBefore(FinalResetWrite),
         .statuses = UpdateSuccess,
         .log = {Reset2BBanner, Reset00Banner, "Write :  03 00 00", "00 fail"},
         .requests = 2,
         .explained = "Update  succeeded: both parts updated (4 st blocks, 3 j2534 blocks)"},
        // Without a full st identification only the st blocks go in, and the run ends there.
        {.name = "silent at reset 1A",
         .device = Device(
             {{Fault::Silent, Request::Reset, 1, {}}, {Fault::Silent, Request::Reset, 2, {}}}),
         .statuses = StageOneOnlySuccess,
         .log = {Reset1ABanner, "open 2.", "Host ip : *", Reset00Banner},
         .absent = {"Write :  06 00 01 00 D1 D6"},
         .outcome = Outcome::StageOneOnly,
         .requests = 1,
         .explained = "Update  succeeded: the st part only (4 blocks); the j2534 part was not "
                      "updated because reset 1A failed: no answer"},
        {.name = "silent at the chip identifier",
         .device = Device({{Fault::Silent, Request::ChipId, 1, {}}}),
         .statuses = StageOneOnlySuccess,
         .log = {"Write :  06 00 01 00 D1 D6", "Host ip : *"},
         .absent = {"Write :  06 00 01 00 BE B9"},
         .outcome = Outcome::StageOneOnly,
         .requests = 1,
         .explained = "Update  succeeded: the st part only (4 blocks); the j2534 part was not "
                      "updated because the st chip identifier failed: no answer"},
        {.name = "silent at the information block",
         .device = Device({{Fault::Silent, Request::DeviceInfo, 1, {}}}),
         .statuses = StageOneOnlySuccess,
         .log = {"Write :  06 00 01 00 BE B9", "Host ip : *"},
         .outcome = Outcome::StageOneOnly,
         .requests = 1,
         .explained = "Update  succeeded: the st part only (4 blocks); the j2534 part was not "
                      "updated because the st information block failed: no answer"},
        {.name = "silent at a st block",
         .device = Device({st(2)}),
         .statuses = StageOneFailure,
         .log = {"Recv start", Reset00Banner},
         .absent = {Reset2BBanner},
         .outcome = Outcome::Failure,
         .requests = 1,
         .explained = "did not answer block 2 of 4 of the st part"},
        // Reset 00 is not consulted either: stage 2 reopens the channel itself.
        {.name = "silent at the first reset 00",
         .device = Device(
             {{Fault::Silent, Request::Reset, 3, {}}, {Fault::Silent, Request::Reset, 4, {}}}),
         .statuses = UpdateSuccess,
         .log = {Reset00Banner, "00 fail 2", Reset1ABanner, Reset2BBanner},
         .requests = 2,
         .explained = "Update  succeeded: both parts updated (4 st blocks, 3 j2534 blocks)"},
        {.name = "silent at reset 2B",
         .device = Device(
             {{Fault::Silent, Request::Reset, 7, {}}, {Fault::Silent, Request::Reset, 8, {}}}),
         .statuses = StageOneFailure,
         .log = {Reset2BBanner},
         .absent = {PrepareUpdate},
         .outcome = Outcome::Failure,
         .requests = 1,
         .explained = "Update  failed: reset 2B failed: no answer"},
        {.name = "silent at the j2534 chip identifier",
         .device = Device({{Fault::Silent, Request::ChipId, 3, {}}}),
         .statuses = StageOneFailure,
         .log = {Reset2BBanner, "Write :  06 00 01 00 D1 D6"},
         .outcome = Outcome::Failure,
         .requests = 1,
         .explained = "Update  failed: the j2534 chip identifier failed: no answer"},
        {.name = "silent at the j2534 information block",
         .device = Device({{Fault::Silent, Request::DeviceInfo, 3, {}}}),
         .statuses = StageOneFailure,
         .log = {Reset2BBanner, "Write :  06 00 01 00 BE B9"},
         .outcome = Outcome::Failure,
         .requests = 1,
         .explained = "Update  failed: the j2534 information block failed: no answer"},
        {.name = "silent at a j2534 block",
         .device = Device({st(StBlocks + 2)}),
         .statuses = StageTwoFailure,
         .outcome = Outcome::Failure,
         .requests = 2,
         .explained = "did not answer block 2 of 3 of the j2534 part"},
        {.name = "silent at the chip identifier, device info",
         .run = Run::DeviceInfo,
         .device = Device({{Fault::Silent, Request::ChipId, 1, {}}}),
         .statuses = {GetInfo, ""},
         .log = {"Write :  06 00 01 00 D1 D6", Reset00Banner, "Host ip : *"},
         .outcome = Outcome::InfoShown,
         .requests = 1,
         .explained = "the request went without the full identification: the st chip identifier "
                      "failed: no answer"},
        {.name = "wrong command code at the j2534 chip identifier",
         .device = Device({{Fault::WrongCommandCode, Request::ChipId, 3, {}}}),
         .statuses = StageOneFailure,
         .outcome = Outcome::Failure,
         .requests = 1,
         .explained = "the j2534 chip identifier failed: answer for command 2E instead of D1"},
        {.name = "wrong result byte at the st information block",
         .device = Device({{Fault::WrongResultByte, Request::DeviceInfo, 1, {}}}),
         .statuses = StageOneOnlySuccess,
         .log = {"Read  :  37 00 32 00 BE 01*"},
         .outcome = Outcome::StageOneOnly,
         .requests = 1,
         .explained = "Update  succeeded: the st part only (4 blocks); the j2534 part was not "
                      "updated because the st information block failed: result byte 01 (BE 01)"},
        {.name = "wrong result byte at a st block",
         .device = Device({{Fault::WrongResultByte, Request::Block, 2, {}}}),
         .statuses = StageOneFailure,
         .log = {"Read  :  07 00 02 00 B1 01 B5"},
         .outcome = Outcome::Failure,
         .requests = 1,
         .explained = "the interface rejected block 2 of 4 of the st part (answer B1 01)"},
        // A st answer is judged by its result byte alone; a j2534 answer by length and result.
        {.name = "wrong command code at a st block",
         .device = Device({{Fault::WrongCommandCode, Request::Block, 2, {}}}),
         .statuses = UpdateSuccess,
         .requests = 2,
         .explained = "Update  succeeded: both parts updated (4 st blocks, 3 j2534 blocks)"},
        {.name = "wrong command code at a j2534 block",
         .device = Device({{Fault::WrongCommandCode, Request::Block, StBlocks + 1, {}}}),
         .statuses = UpdateSuccess,
         .requests = 2,
         .explained = "Update  succeeded: both parts updated (4 st blocks, 3 j2534 blocks)"},
        {.name = "wrong result byte at a j2534 block",
         .device = Device({{Fault::WrongResultByte, Request::Block, StBlocks + 1, {}}}),
         .statuses = StageTwoFailure,
         .outcome = Outcome::Failure,
         .requests = 2,
         .explained = "the interface rejected block 1 of 3 of the j2534 part (answer B2 01)"},
        {.name = "extra bytes after the chip identifier",
         .device = Device({{Fault::ExtraBytes, Request::ChipId, 1, {}}}),
         .statuses = StageOneOnlySuccess,
         .log = {"Read  :  0F 00 0A 00 D1 00*EE EE EE"},
         .outcome = Outcome::StageOneOnly,
         .requests = 1,
         .explained =
             "Update  succeeded: the st part only (4 blocks); the j2534 part was not updated "
             "because the st chip identifier failed: 3 bytes more than the frame's 15"},
        {.name = "extra bytes after a st block's answer",
         .device = Device({{Fault::ExtraBytes, Request::Block, 1, {}}}),
         .statuses = StageOneFailure,
         .log = {"Read  :  07 00 02 00 B1 00 B4 EE EE EE"},
         .outcome = Outcome::Failure,
         .requests = 1,
         .explained = "bad answer to block 1 of 4 of the st part: 3 bytes more than the frame's 7"},
        {.name = "short frame as a st block's answer",
         .device = Device({{Fault::ShortFrame, Request::Block, 1, {}}}),
         .statuses = StageOneFailure,
         .log = {"Read  :  04 00 B1 00"},
         .outcome = Outcome::Failure,
         .requests = 1,
         .explained =
             "answered block 1 of 4 of the st part with a 4-byte frame, which carries no payload"},
        {.name = "one-byte payload as a j2534 block's answer",
         .device = Device({{Fault::ShortPayload, Request::Block, StBlocks + 2, {}}}),
         .statuses = StageTwoFailure,
         .outcome = Outcome::Failure,
         .requests = 2,
         .explained = "answered block 2 of 3 of the j2534 part with a payload of 1 byte (B2); "
                      "exactly 2 are needed"},
        {.name = "payload past the frame as a st block's answer",
         .device = Device({{Fault::PayloadPastFrame, Request::Block, 1, {}}}),
         .statuses = StageOneFailure,
         .outcome = Outcome::Failure,
         .requests = 1,
         .explained = "bad answer to block 1 of 4 of the st part: an answer whose payload length "
                      "(3) does not fit its 7-byte frame"},
        {.name = "over-long frame as the chip identifier",
         .device = Device({{Fault::OverLongFrame, Request::ChipId, 1, {}}}),
         .statuses = StageOneOnlySuccess,
         .outcome = Outcome::StageOneOnly,
         .requests = 1,
         .explained = "Update  succeeded: the st part only (4 blocks); the j2534 part was not "
                      "updated because the st chip identifier failed: an answer of 6,000 bytes"},
        {.name = "over-long frame as a j2534 block's answer",
         .device = Device({{Fault::OverLongFrame, Request::Block, StBlocks + 1, {}}}),
         .statuses = StageTwoFailure,
         .outcome = Outcome::Failure,
         .requests = 2,
         .explained = "bad answer to block 1 of 3 of the j2534 part: an answer of 6,000 bytes"},

        // The server.
        {.name = "host not found",
         .endpoint = Endpoint::HostNotFound,
         .statuses = NoStBlock,
         .log = {"Host not found", Reset00Banner},
         .absent = {"Host ip : *", "re *"},
         .outcome = Outcome::Failure,
         .requests = 0,
         .explained = "Update  failed: update server not found: its name does not resolve (Windows "
                      "Sockets 11001), asked for the st firmware"},
        {.name = "host not found, device info",
         .run = Run::DeviceInfo,
         .endpoint = Endpoint::HostNotFound,
         .statuses = {GetInfo, "Get device info failed."},
         .log = {Reset00Banner, "Host not found"},
         .outcome = Outcome::InfoFailed,
         .requests = 0,
         .explained = "Device Info  failed: update server not found: its name does not resolve "
                      "(Windows Sockets 11001)"},
        {.name = "connection refused",
         .endpoint = Endpoint::Refused,
         .statuses = NoStBlock,
         .log = {"Host ip : 127.0.0.1", "Socket connect failed with error: 10061"},
         .absent = {"re *"},
         .outcome = Outcome::Failure,
         .requests = 0,
         .explained = "Update  failed: update server refused the connection (Windows Sockets "
                      "10061), asked for the st firmware"},
        {.name = "connection refused at the second exchange",
         .server = [](sim::ReferenceServerOptions& o) { o.maxTransactions = 1; },
         .statuses = {Prepare, Updating, PrepareUpdate, "Update fail (02)", Finishing, Failed},
         .log = {"Socket connect failed with error: 10061", Reset00Banner},
         .outcome = Outcome::Failure,
         .requests = 1,
         .explained = "update server refused the connection (Windows Sockets 10061), asked for the "
                      "j2534 firmware"},
        {.name = "server silent",
         .server = [](sim::ReferenceServerOptions& o) { o.silent = true; },
         .receiveTimeoutMs = 300,
         .statuses = NoStBlock,
         .log = {"Recv start", "Recv failed with error: 10060", "Total length: 0", "=SRE001=0"},
         .absent = {"re *"},
         .outcome = Outcome::Failure,
         .requests = 1,
         .explained =
             "the update server did not answer (Windows Sockets 10060, the receive timed out)"},
        {.name = "broken off once, resumed",
         .server = BreakOffs(1, sim::BreakOff::Reset),
         .statuses = UpdateSuccess,
         .log = {"Bytes received: *", "Recv failed with error: 10054", "Total length: 8", "re 1",
                 "Connection closed"},
         .absent = {"re 2"},
         .requests = 3,
         .explained = "Update  succeeded: both parts updated (4 st blocks, 3 j2534 blocks)"},
        {.name = "broken off once by silence, resumed",
         .server = BreakOffs(1, sim::BreakOff::Silence),
         .receiveTimeoutMs = 300,
         .statuses = UpdateSuccess,
         .log = {"Recv failed with error: 10060", "Total length: 8", "re 1"},
         .absent = {"re 2"},
         .requests = 3,
         .explained = "Update  succeeded: both parts updated (4 st blocks, 3 j2534 blocks)"},
        {.name = "broken off 29 times, resumed",
         .server = BreakOffs(29, sim::BreakOff::Reset),
         .statuses = UpdateSuccess,
         .log = {"re 1", "re 28", "re 29", "Connection closed", "Total length: *"},
         .absent = {"re 30"},
         .requests = 31,
         .explained = "Update  succeeded: both parts updated (4 st blocks, 3 j2534 blocks)"},
        {.name = "broken off 30 times",
         .server = BreakOffs(30, sim::BreakOff::Reset),
         .statuses = NoStBlock,
         .log = {"re 1", "re 29", "Recv failed with error: 10054", "Total length: 8",
                 Reset00Banner},
         .absent = {"re 30", "=SRE*"},
         .outcome = Outcome::Failure,
         .requests = 30,
         .explained = "the update server's reply broke off 30 times (the last after 8 bytes, "
                      "Windows Sockets 10054"},
        {.name = "closed without answer",
         .server = [](sim::ReferenceServerOptions& o) { o.closeWithoutAnswer = true; },
         .statuses = NoStBlock,
         .log = {"Recv start", "Connection closed", "Total length: 0", "=SRE001=0"},
         .outcome = Outcome::Failure,
         .requests = 1,
         .explained = "the update server closed the connection without answering"},
        {.name = "reply too short",
         .server = [](sim::ReferenceServerOptions& o) { o.truncateTo = 12; },
         .statuses = NoStBlock,
         .log = {"=SRE001=12"},
         .outcome = Outcome::Failure,
         .requests = 1,
         .explained = "the update server's reply is too short (12 bytes"},
        {.name = "wrong total length",
         .server = [](sim::ReferenceServerOptions& o) { o.totalLengthDelta = 1; },
         .statuses = NoStBlock,
         .log = {"=SRE002=*"},
         .outcome = Outcome::Failure,
         .requests = 1,
         .explained = "the update server's reply says it is 281 bytes long but 280 came"},
        {.name = "record count above 40,000",
         .server = [](sim::ReferenceServerOptions& o) { o.countAbove40000 = true; },
         .statuses = NoStBlock,
         .log = {"=SRE004=40001,40000"},
         .outcome = Outcome::Failure,
         .requests = 1,
         .explained = "the update server's reply claims 40,001 records (at most 40,000 fit)"},
        {.name = "record length above 1,100",
         .server = [](sim::ReferenceServerOptions& o) { o.lengthAbove1100 = true; },
         .statuses = NoStBlock,
         .log = {"=SRE005=4,1101"},
         .outcome = Outcome::Failure,
         .requests = 1,
         .explained = "record 5 of the update server's reply is 1,101 bytes long"},
        {.name = "records past the bytes received",
         .server = [](sim::ReferenceServerOptions& o) { o.brokenLengthTable = true; },
         .statuses = NoStBlock,
         .log = {"=SRE006=*"},
         .outcome = Outcome::Failure,
         .requests = 1,
         .explained = "the records of the update server's reply run past its end"},
        {.name = "reply of exactly 20,000,000 bytes, device info",
         .run = Run::DeviceInfo,
         .server = [](sim::ReferenceServerOptions& o) { o.padTo = 20'000'000; },
         .statuses = {GetInfo, ""},
         .log = {"Connection closed", "Total length: 20000000"},
         .absent = {"Reply larger than *"},
         .outcome = Outcome::InfoShown,
         .requests = 1,
         .explained = "Device Info  succeeded: the update server answered (20,000,000 bytes)"},
        {.name = "reply above 20,000,000 bytes",
         .server = [](sim::ReferenceServerOptions& o) { o.padTo = 20'000'001; },
         .statuses = NoStBlock,
         .log = {"Reply larger than 20000000 bytes, transaction failed", Reset00Banner},
         .absent = {"=SRE*"},
         .outcome = Outcome::Failure,
         .requests = 1,
         .explained = "the update server sent more than 20,000,000 bytes"},
    };
    return rows;
}

// One row: the parts it plays and the window it reports to.
struct RowRig {
    explicit RowRig(const Row& row)
        : device(clock, row.device), server([&] {
              sim::ReferenceServerOptions o;
              o.stFirmware = sim::DemoFirmware(sim::RequestStFirmware, StBlocks, BlockSize);
              o.j2534Firmware =
                  sim::DemoFirmware(sim::RequestJ2534Firmware, J2534Blocks, BlockSize);
              o.silenceMs = 3'000;
              if (row.server) {
                  row.server(o);
              }
              return o;
          }()) {
        EXPECT_TRUE(server.Start());
        sockets.resolved = HostEntry{AddressFamilyIpv4, {0x7F000001}};
        if (row.endpoint == Endpoint::HostNotFound) {
            sockets.resolveError = SocketErrors::HostNotFound;
        }
        const uint16_t port =
            row.endpoint == Endpoint::Refused ? testing::UnusedPort() : server.Port();
        endpoint = ServerEndpoint{"update.zolt-update.test", port, row.receiveTimeoutMs};
    }

    // Runs the procedure on a worker thread, as a press of its button does, and waits for it.
    bool RunOnWorker(Run run) {
        auto done = std::make_shared<std::promise<void>>();
        const ProcedureContext context{device, clock, tone, system, endpoint, &sockets};
        const bool started = StartDetachedThread([this, run, context, done] {
            if (run == Run::Update) {
                UpdateThread(window, context);
            } else {
                DeviceInfoThread(window, context);
            }
            done->set_value();
        });
        if (!started) {
            return false;
        }
        return done->get_future().wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    }

    testing::ScopedTestLog log;
    LogCapture capture;
    VirtualClock clock;
    RecordingTone tone;
    FixedSystem system;
    testing::TestSockets sockets;  // the system's, but names resolve to 127.0.0.1 here
    ServerEndpoint endpoint;
    sim::SimulatedInterface device;
    sim::ReferenceServer server;
    testing::RecordingWindow window;
};

// The log the row left, read back as `zolt-update-cli log` reads it: one run, whose procedure,
// outcome and reason are those of the row.
void CheckExplained(const Row& row, const std::filesystem::path& file) {
    std::FILE* f = std::fopen(file.string().c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::vector<logread::RunReport> runs;
    const logread::FileReport report =
        logread::ExplainLog(f, [&](const logread::RunReport& run) { runs.push_back(run); });
    std::fclose(f);
    EXPECT_TRUE(logread::FileRemarks(report).empty());
    ASSERT_EQ(runs.size(), 1u);
    const logread::RunReport& run = runs.front();
    const std::string summary = logread::SummaryLine(run);
    EXPECT_NE(summary.find(row.explained), std::string::npos) << summary;
    using logread::Procedure;
    const Procedure procedure = row.outcome == Outcome::NotFound ? Procedure::Unknown
                                : row.run == Run::Update         ? Procedure::Update
                                                                 : Procedure::DeviceInfo;
    EXPECT_EQ(run.procedure, procedure) << summary;
    switch (row.outcome) {
        case Outcome::Success:
        case Outcome::StageOneOnly:
        case Outcome::InfoShown:
            EXPECT_EQ(run.outcome, logread::Outcome::Succeeded) << summary;
            EXPECT_EQ(run.stOnly, row.outcome == Outcome::StageOneOnly) << summary;
            break;
        case Outcome::Failure:
        case Outcome::InfoFailed:
            EXPECT_EQ(run.outcome, logread::Outcome::Failed) << summary;
            break;
        case Outcome::NotFound:
            EXPECT_EQ(run.outcome, logread::Outcome::DeviceNotFound) << summary;
            break;
    }
}

void CheckRow(const Row& row) {
    RowRig rig(row);
    // As the front ends do before a procedure can start.
    WriteLog(u"ZOLT Update " + WideText(VersionText) + u" start");
    ASSERT_TRUE(rig.RunOnWorker(row.run)) << "the procedure did not end";
    CheckExplained(row, rig.log.file());
    const Lines lines = rig.capture.Lines();
    const auto& window = rig.window;

    EXPECT_EQ(window.DistinctStatuses(), row.statuses);
    const std::string missing = MissingInOrder(lines, row.log);
    EXPECT_TRUE(missing.empty()) << "log line missing or out of order: " << missing;
    for (const auto& pattern : row.absent) {
        EXPECT_TRUE(std::none_of(lines.begin(), lines.end(),
                                 [&](const std::string& l) { return Matches(l, pattern); }))
            << "log line that must not be there: " << pattern;
    }

    // The buttons: disabled first, enabled again last, once each.
    ASSERT_FALSE(window.ops.empty());
    EXPECT_EQ(window.ops.front(), "disable");
    EXPECT_EQ(window.ops.back(), "enable");
    EXPECT_EQ(std::count(window.ops.begin(), window.ops.end(), "disable"), 1);
    EXPECT_EQ(std::count(window.ops.begin(), window.ops.end(), "enable"), 1);
    // The channel: closed, with no handle left behind.
    EXPECT_FALSE(rig.device.HandleOpen());
    if (row.requests >= 0) {
        EXPECT_EQ(static_cast<int>(rig.server.Requests().size()), row.requests);
    }

    const auto stBlocks = rig.device.ReceivedBlocks(Part::St);
    const auto jBlocks = rig.device.ReceivedBlocks(Part::J2534);
    const auto allAccepted = [](const std::vector<uint8_t>& results) {
        return std::all_of(results.begin(), results.end(), [](uint8_t r) { return r == 0; });
    };
    const bool successShown =
        std::count(window.statuses.begin(), window.statuses.end(), std::string(Succeeded)) > 0;
    switch (row.outcome) {
        case Outcome::Success:
            EXPECT_EQ(stBlocks, sim::DemoFirmware(sim::RequestStFirmware, StBlocks, BlockSize));
            EXPECT_EQ(jBlocks,
                      sim::DemoFirmware(sim::RequestJ2534Firmware, J2534Blocks, BlockSize));
            EXPECT_TRUE(allAccepted(rig.device.BlockResults(Part::St)));
            EXPECT_TRUE(allAccepted(rig.device.BlockResults(Part::J2534)));
            EXPECT_EQ(rig.tone.played.size(), 2u);
            EXPECT_EQ(window.progress, 0);
            break;
        case Outcome::StageOneOnly:
            EXPECT_EQ(stBlocks, sim::DemoFirmware(sim::RequestStFirmware, StBlocks, BlockSize));
            EXPECT_TRUE(allAccepted(rig.device.BlockResults(Part::St)));
            EXPECT_TRUE(jBlocks.empty());
            EXPECT_EQ(rig.tone.played.size(), 2u);
            EXPECT_EQ(window.progress, 0);
            break;
        case Outcome::Failure:
            EXPECT_FALSE(successShown);
            EXPECT_TRUE(rig.tone.played.empty());
            EXPECT_EQ(window.statuses.back(), Failed);
            EXPECT_EQ(window.progress, 0);  // run down to empty
            ASSERT_FALSE(window.positions.empty());
            EXPECT_EQ(window.positions.back(), 0);
            break;
        case Outcome::NotFound:
            EXPECT_TRUE(window.positions.empty());
            EXPECT_TRUE(stBlocks.empty());
            EXPECT_EQ(rig.device.Stats().transfers, 0u);
            break;
        case Outcome::InfoShown:
            EXPECT_NE(ToUtf8(window.info).find("ZOLT reference update server"), std::string::npos)
                << ToUtf8(window.info);
            EXPECT_TRUE(window.positions.empty());
            break;
        case Outcome::InfoFailed:
            EXPECT_TRUE(window.info.empty());
            EXPECT_EQ(
                std::count_if(window.ops.begin(), window.ops.end(),
                              [](const std::string& op) { return op.rfind("info:", 0) == 0; }),
                0);
            break;
    }
    if (row.run == Run::DeviceInfo || row.outcome == Outcome::NotFound) {
        EXPECT_FALSE(successShown);
        EXPECT_TRUE(rig.tone.played.empty());
    }
}

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

class FaultMatrix : public ::testing::TestWithParam<Row> {};

TEST_P(FaultMatrix, EndsAsItShould) {
    CheckRow(GetParam());
}

// Each row is a test of its own, named after the fault.
std::string RowName(const ::testing::TestParamInfo<Row>& info) {
    std::string name;
    bool upper = true;
    for (const char c : std::string(info.param.name)) {
        if (std::isalnum(static_cast<unsigned char>(c)) != 0) {
            name.push_back(upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(c)))
                                 : c);
            upper = false;
        } else if (c == ' ' || c == '-') {
            upper = true;
        }
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultMatrix, ::testing::ValuesIn(Matrix()), RowName);

}  // namespace
}  // namespace zolt
