// The two worker procedures behind the window's buttons. Each runs from start to end on a worker
// thread of its own and reports to the user only through the window operations.
#pragma once

#include <cstdint>

#include "device/d2xx.h"
#include "platform/clock.h"
#include "platform/system_info.h"
#include "platform/tone.h"
#include "procedures/update_window.h"
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
    // The reply's area and record list; smaller in the fuzzers.
    int32_t replyAreaSize = ReplyAreaSize;
    int32_t replySlots = RecordList::ReplySlots;
};

// "Device Info": identify the interface, ask the server, show its text. Always returns 0.
uint32_t DeviceInfoThread(UpdateWindow& window, const ProcedureContext& context);

// "Update": both stages, the st part then the j2534 part. Always returns 0.
uint32_t UpdateThread(UpdateWindow& window, const ProcedureContext& context);

// The rules by which an answer to a firmware block is accepted, exposed for tests.
bool AcceptStage1Answer(const uint8_t* answer, uint32_t length);
bool AcceptStage2Answer(const uint8_t* answer, uint32_t length);

}  // namespace zolt
