// The two worker procedures behind the window's buttons. Each runs from start to end on a worker
// thread of its own and reports to the user only through the window operations.
#pragma once

#include <atomic>
#include <cstdint>

#include "device/d2xx.h"
#include "platform/clock.h"
#include "platform/system_info.h"
#include "platform/tone.h"
#include "procedures/update_window.h"
#include "server/exchange_records.h"
#include "server/record_list.h"
#include "server/server_connection.h"

namespace zolt {

// What a run talks to: the driver layer, the clock for pauses and waits, the tone for the success
// beeps, the system (computer name) and the update server, reached through the system's sockets
// unless others are given.
struct ProcedureContext {
    D2xxDriver& driver;
    Clock& clock;
    Tone& tone;
    SystemInfo& system;
    ServerEndpoint server;
    Sockets* sockets = nullptr;
    // When given and set, an update stops after the block in flight, as a failure, with Reset00
    // where the run would call it and the channel closed.
    const std::atomic<bool>* stop = nullptr;
    // The reply's area and record list; smaller in the fuzzers.
    int32_t replyAreaSize = ReplyAreaSize;
    int32_t replySlots = RecordList::ReplySlots;
};

enum class RunResult {
    Success,
    StOnlyUpdated,  // the st blocks went in, but without a full st identification the j2534
                    // part was not updated
    Failed,
    DeviceNotFound,
    Interrupted,
};

enum class FirmwarePart { St, J2534 };

// What went wrong (or, for StOnlyUpdated, what kept the j2534 part out).
enum class FailureKind {
    None,
    Exchange,   // the exchange with the server failed: `exchange` tells how
    NoRecords,  // the server answered with no record
    Block,      // a block's answer was missing or refused
    Command,    // a device command failed: `command` and `deviceStatus`
};

// How a run ended, with what it saw on the way to a failure.
struct RunOutcome {
    RunResult result = RunResult::Failed;
    FailureKind failure = FailureKind::None;
    FirmwarePart part = FirmwarePart::St;
    ExchangeReport exchange;     // of the last exchange run
    const char* command = "";    // the failed command: "Reset1A", "GetChipId", ...
    uint32_t deviceStatus = 0;   // its status
    int32_t blockIndex = 0;      // 0-based: the block refused, or the last one answered
    int32_t blockCount = 0;      // blocks in the stage
    uint32_t answerLength = 0;   // of the refused block's answer
    uint8_t answer[2] = {0, 0};  // its first two bytes
    bool blockInFlight = false;  // Interrupted: whether a block loop had begun
};

// "Device Info": identify the interface, ask the server, show its text.
RunOutcome DeviceInfoThread(UpdateWindow& window, const ProcedureContext& context);

// "Update": both stages, the st part then the j2534 part. The window shows the designed texts;
// the outcome says how it ended.
RunOutcome UpdateThread(UpdateWindow& window, const ProcedureContext& context);

// The rules by which an answer to a firmware block is accepted, exposed for tests.
bool AcceptStage1Answer(const uint8_t* answer, uint32_t length);
bool AcceptStage2Answer(const uint8_t* answer, uint32_t length);

}  // namespace zolt
