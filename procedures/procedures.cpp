#include "procedures/procedures.h"

#include <memory>

#include "device/communication_ft32.h"
#include "log/log.h"
#include "server/exchange_records.h"
#include "server/record_list.h"

namespace zolt {

namespace {

constexpr uint8_t RequestMarker = 0x0A;
constexpr uint8_t RequestDeviceInfo = 0x04;
constexpr uint8_t RequestStFirmware = 0x01;
constexpr uint8_t RequestJ2534Firmware = 0x02;

constexpr uint32_t AnswerAreaSize = 1000;
constexpr uint32_t BlockAnswerTimeoutMs = 20'000;
constexpr uint32_t RefreshIntervalMs = 1'000;
constexpr uint32_t NoBlockPauseMs = 1'500;

// Appends one record to a request list, bounded by the slot's capacity.
void AddRecord(RecordList& list, int32_t& count, const uint8_t* data, int32_t length) {
    if (count >= list.SlotCount() || length < 0 || length > list.SlotCapacity()) {
        return;
    }
    std::copy(data, data + length, list.Slot(count));
    list.lengths[count] = length;
    ++count;
}

int32_t StartRequest(RecordList& list, uint8_t code) {
    int32_t count = 0;
    const uint8_t record[2] = {RequestMarker, code};
    AddRecord(list, count, record, 2);
    return count;
}

// Reads the chip identifier and then the info record of the part the interface answers for,
// adding each to the request as it succeeds. Returns the status of the last command run and, when
// it failed, names it in `failed`.
uint32_t AddIdentification(CCommunicationFT32& channel, RecordList& request, int32_t& count,
                           const char** failed = nullptr) {
    const auto note = [&](uint32_t status, const char* command) {
        if (status != 0 && failed != nullptr) {
            *failed = command;
        }
        return status;
    };
    uint8_t chipId[ChipIdSize] = {};
    uint32_t status = channel.GetChipId(chipId);
    if (status != 0) {
        return note(status, "GetChipId");
    }
    AddRecord(request, count, chipId, ChipIdSize);
    uint8_t info[InfoRecordSize] = {};
    status = channel.GetDeviceInfo(info);
    if (status == 0) {
        AddRecord(request, count, info, InfoRecordSize);
    }
    return note(status, "GetDeviceInfo");
}

// Reset1A and the st identification.
uint32_t IdentifySt(CCommunicationFT32& channel, RecordList& request, int32_t& count,
                    const char** failed = nullptr) {
    const uint32_t reset = channel.Reset1A();
    if (reset != 0) {
        if (failed != nullptr) {
            *failed = "Reset1A";
        }
        return reset;
    }
    return AddIdentification(channel, request, count, failed);
}

struct StageParameters {
    FirmwarePart part;
    uint8_t requestCode;
    const char16_t* askingText;  // shown before the exchange; null: the text stays
    const char16_t* noBlockText;
    int32_t base;
    int32_t span;
    const char16_t* refreshText;
    bool (*accept)(const uint8_t*, uint32_t);
    const char16_t* finishingText;  // shown before the closing Reset00; null: none
};

constexpr StageParameters Stage1{FirmwarePart::St,
                                 RequestStFirmware,
                                 nullptr,
                                 u"Update fail (01) ",
                                 0,
                                 80,
                                 u"Updating, please wait ...",
                                 AcceptStage1Answer,
                                 nullptr};
constexpr StageParameters Stage2{FirmwarePart::J2534,
                                 RequestJ2534Firmware,
                                 u"Prepare update",
                                 u"Update fail (02)",
                                 80,
                                 20,
                                 u"Updating..",
                                 AcceptStage2Answer,
                                 u"Finishing update, please wait..."};

const char16_t* PartText(FirmwarePart part) {
    return part == FirmwarePart::St ? u"st" : u"j2534";
}

// True once a stop was asked for; the first time, logs where the update stops.
bool StopAsked(const ProcedureContext& context, RunOutcome& outcome, const WideText& where) {
    if (context.stop == nullptr || !context.stop->load()) {
        return false;
    }
    if (outcome.result != RunResult::Interrupted) {
        outcome.result = RunResult::Interrupted;
        WriteLog(u"Update interrupted: stopping " + where);
    }
    return true;
}

// Writes every block of the reply to the interface and checks each answer. True when all n
// answers were accepted; false at the first rejected answer, when there is no block, or when a
// stop was asked for (checked before each block, so a block in flight always gets its answer).
bool RunBlockLoop(UpdateWindow& window, CCommunicationFT32& channel,
                  const ProcedureContext& context, const RecordList& reply,
                  const StageParameters& stage, RunOutcome& outcome) {
    Clock& clock = context.clock;
    uint32_t refreshTime = clock.TickCount();
    const int32_t n = reply.count;
    if (n <= 0) {
        return false;
    }
    outcome.blockCount = n;
    outcome.blockIndex = -1;
    outcome.blockInFlight = true;
    for (int32_t i = 0; i < n; ++i) {
        if (StopAsked(context, outcome,
                      u"after block " + IntToText(i) + u" of " + IntToText(n) + u" of the " +
                          PartText(stage.part) + u" part")) {
            return false;
        }
        channel.WriteFrame(reply.Slot(i), static_cast<uint32_t>(reply.lengths[i]));
        // 64-bit product: span × i stays exact for any count the list can hold.
        window.SetProgress(stage.base + static_cast<int32_t>((int64_t{stage.span} * i) / n));
        if (i >= 2 && TicksSince(clock.TickCount(), refreshTime) > RefreshIntervalMs) {
            window.SetStatusText(stage.refreshText);
            refreshTime = clock.TickCount();
        }
        uint8_t answer[AnswerAreaSize] = {};
        uint32_t answerLength = 0;
        channel.ReadFrame(answer, AnswerAreaSize, answerLength, BlockAnswerTimeoutMs);
        outcome.blockIndex = i;
        if (!stage.accept(answer, answerLength)) {
            outcome.failure = FailureKind::Block;
            outcome.answerLength = answerLength;
            outcome.answer[0] = answer[0];
            outcome.answer[1] = answer[1];
            return false;
        }
    }
    return true;
}

void SuccessEnding(UpdateWindow& window, const ProcedureContext& context) {
    window.SetProgress(0);
    window.SetStatusText(u"Update success");
    context.tone.Beep(600, 200);
    context.clock.Sleep(200);
    context.tone.Beep(600, 200);
}

void FailureEnding(UpdateWindow& window, Clock& clock) {
    for (int32_t k = window.GetProgress(); k >= 0; --k) {
        clock.Sleep(5);
        window.SetProgress(k);
        window.SetStatusText(u"Update failed.");
    }
}

// Creates the run's channel and opens it (retrying for up to 10 s). When no device opens, closes
// and releases the channel, says "Device not found" and returns null.
std::unique_ptr<CCommunicationFT32> OpenChannel(UpdateWindow& window,
                                                const ProcedureContext& context) {
    auto channel = std::make_unique<CCommunicationFT32>(context.driver, context.clock);
    if (channel->Open() != 0) {
        channel->Close();
        window.SetStatusText(u"Device not found");
        return nullptr;
    }
    return channel;
}

void Exchange(const ProcedureContext& context, RecordList& request, int32_t count,
              RecordList& reply, RunOutcome& outcome) {
    Sockets& sockets = context.sockets != nullptr ? *context.sockets : SystemSockets();
    ExchangeRecords(request, count, reply, context.server, context.system, sockets,
                    &outcome.exchange, context.replyAreaSize);
    if (reply.count <= 0) {
        outcome.failure =
            outcome.exchange.result != 0 ? FailureKind::Exchange : FailureKind::NoRecords;
    }
}

// One stage after its identification: asks the server for the part's blocks, writes them, and
// ends with Reset00. True when every block was accepted.
bool RunStage(UpdateWindow& window, CCommunicationFT32& channel, const ProcedureContext& context,
              const StageParameters& stage, RecordList& request, int32_t count,
              RunOutcome& outcome) {
    outcome.part = stage.part;
    outcome.blockInFlight = false;
    bool accepted = false;
    {
        RecordList reply(context.replySlots, RecordList::ReplySlotCapacity);
        if (!StopAsked(context, outcome,
                       WideText(u"before asking for the ") + PartText(stage.part) + u" firmware")) {
            if (stage.askingText != nullptr) {
                window.SetStatusText(stage.askingText);
            }
            Exchange(context, request, count, reply, outcome);
            if (reply.count > 0) {
                window.SetStatusText(u"Updating..");
            } else {
                window.SetStatusText(stage.noBlockText);
                context.clock.Sleep(NoBlockPauseMs);
            }
            accepted = RunBlockLoop(window, channel, context, reply, stage, outcome);
        }
        if (stage.finishingText != nullptr) {
            window.SetStatusText(stage.finishingText);
        }
        channel.Reset00();
    }
    return accepted;
}

}  // namespace

bool AcceptStage1Answer(const uint8_t* answer, uint32_t length) {
    return length >= 2 && (answer[1] == 0 || answer[0] == 0xA7 || answer[0] == 0xA8);
}

bool AcceptStage2Answer(const uint8_t* answer, uint32_t length) {
    return length == 2 && answer[1] == 0;
}

RunOutcome DeviceInfoThread(UpdateWindow& window, const ProcedureContext& context) {
    RunOutcome outcome;
    window.EnableActions(false);
    window.SetStatusText(u"Get device info...");

    auto channel = OpenChannel(window, context);
    if (!channel) {
        window.EnableActions(true);
        outcome.result = RunResult::DeviceNotFound;
        return outcome;
    }

    {
        RecordList request(RecordList::RequestSlots, RecordList::RequestSlotCapacity);
        int32_t count = StartRequest(request, RequestDeviceInfo);
        if (channel->Reset1A() == 0) {
            AddIdentification(*channel, request, count);
        }
        channel->Reset00();

        RecordList reply(context.replySlots, RecordList::ReplySlotCapacity);
        Exchange(context, request, count, reply, outcome);
        if (reply.count > 0) {
            window.SetStatusText(u"");
            window.SetInfoText(NarrowToWide(reinterpret_cast<const char*>(reply.Slot(0)),
                                            static_cast<std::size_t>(reply.lengths[0])));
            outcome.result = RunResult::Success;
        } else {
            window.SetStatusText(u"Get device info failed.");
        }
    }

    channel->Close();
    channel.reset();
    window.EnableActions(true);
    return outcome;
}

RunOutcome UpdateThread(UpdateWindow& window, const ProcedureContext& context) {
    RunOutcome outcome;
    Clock& clock = context.clock;
    window.EnableActions(false);
    window.SetStatusText(u"Prepare for updating, please wait ...");

    auto channel = OpenChannel(window, context);
    if (!channel) {
        window.EnableActions(true);
        outcome.result = RunResult::DeviceNotFound;
        return outcome;
    }

    bool success = false;
    {
        RecordList request(RecordList::RequestSlots, RecordList::RequestSlotCapacity);
        int32_t count = StartRequest(request, Stage1.requestCode);
        const char* stFailed = "";
        const uint32_t identification = IdentifySt(*channel, request, count, &stFailed);
        const bool stage1 = RunStage(window, *channel, context, Stage1, request, count, outcome);

        if (identification != 0 || !stage1) {
            // Without a full st identification stage 2 does not run; the blocks decide.
            success = stage1;
            if (stage1) {
                outcome.failure = FailureKind::Command;
                outcome.command = stFailed;
                outcome.deviceStatus = identification;
            }
        } else if (!StopAsked(context, outcome, u"before the j2534 part")) {
            // Stage 2: the j2534 part, behind the st identification read afresh.
            RecordList request2(RecordList::RequestSlots, RecordList::RequestSlotCapacity);
            count = StartRequest(request2, Stage2.requestCode);
            IdentifySt(*channel, request2, count);
            clock.Sleep(2'000);
            const uint32_t reset2B = channel->Reset2B();
            clock.Sleep(1'000);

            const char* failed = "Reset2B";
            const uint32_t j2534 =
                reset2B != 0 ? reset2B : AddIdentification(*channel, request2, count, &failed);
            if (j2534 != 0) {
                // Without the j2534 identification: the failure ending, without Reset00.
                outcome.part = FirmwarePart::J2534;
                outcome.failure = FailureKind::Command;
                outcome.command = failed;
                outcome.deviceStatus = j2534;
            } else {
                success = RunStage(window, *channel, context, Stage2, request2, count, outcome);
            }
        }
    }

    if (success) {
        SuccessEnding(window, context);
        outcome.result =
            outcome.failure == FailureKind::Command ? RunResult::StOnlyUpdated : RunResult::Success;
    } else {
        FailureEnding(window, clock);
        if (outcome.result != RunResult::Interrupted) {
            outcome.result = RunResult::Failed;
        }
    }

    channel->Close();
    channel.reset();
    window.EnableActions(true);
    return outcome;
}

}  // namespace zolt
