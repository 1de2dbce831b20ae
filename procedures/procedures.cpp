#include "procedures/procedures.h"

#include <memory>

#include "device/communication_ft32.h"
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
// adding each to the request as it succeeds. Returns the status of the last command run.
uint32_t AddIdentification(CCommunicationFT32& channel, RecordList& request, int32_t& count) {
    uint8_t chipId[ChipIdSize] = {};
    uint32_t status = channel.GetChipId(chipId);
    if (status != 0) {
        return status;
    }
    AddRecord(request, count, chipId, ChipIdSize);
    uint8_t info[InfoRecordSize] = {};
    status = channel.GetDeviceInfo(info);
    if (status == 0) {
        AddRecord(request, count, info, InfoRecordSize);
    }
    return status;
}

struct StageParameters {
    int32_t base;
    int32_t span;
    const char16_t* refreshText;
    bool (*accept)(const uint8_t*, uint32_t);
};

constexpr StageParameters Stage1{0, 80, u"Updating, please wait ...", AcceptStage1Answer};
constexpr StageParameters Stage2{80, 20, u"Updating..", AcceptStage2Answer};

// Writes every block of the reply to the interface and checks each answer. True when all n
// answers were accepted; false at the first rejected answer, or when there is no block.
bool RunBlockLoop(UpdateWindow& window, CCommunicationFT32& channel, Clock& clock,
                  const RecordList& reply, const StageParameters& stage) {
    uint32_t refreshTime = clock.TickCount();
    const int32_t n = reply.count;
    if (n <= 0) {
        return false;
    }
    for (int32_t i = 0; i < n; ++i) {
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
        if (!stage.accept(answer, answerLength)) {
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

int32_t Exchange(const ProcedureContext& context, RecordList& request, int32_t count,
                 RecordList& reply) {
    Sockets& sockets = context.sockets != nullptr ? *context.sockets : SystemSockets();
    return ExchangeRecords(request, count, reply, context.server, context.system, sockets,
                           context.replyAreaSize);
}

}  // namespace

bool AcceptStage1Answer(const uint8_t* answer, uint32_t length) {
    return length >= 2 && (answer[1] == 0 || answer[0] == 0xA7 || answer[0] == 0xA8);
}

bool AcceptStage2Answer(const uint8_t* answer, uint32_t length) {
    return length == 2 && answer[1] == 0;
}

uint32_t DeviceInfoThread(UpdateWindow& window, const ProcedureContext& context) {
    window.EnableActions(false);
    window.SetStatusText(u"Get device info...");

    auto channel = OpenChannel(window, context);
    if (!channel) {
        window.EnableActions(true);
        return 0;
    }

    {
        RecordList request(RecordList::RequestSlots, RecordList::RequestSlotCapacity);
        int32_t count = StartRequest(request, RequestDeviceInfo);
        if (channel->Reset1A() == 0) {
            AddIdentification(*channel, request, count);
        }
        channel->Reset00();

        RecordList reply(context.replySlots, RecordList::ReplySlotCapacity);
        Exchange(context, request, count, reply);
        if (reply.count > 0) {
            window.SetStatusText(u"");
            window.SetInfoText(NarrowToWide(reinterpret_cast<const char*>(reply.Slot(0)),
                                            static_cast<std::size_t>(reply.lengths[0])));
        } else {
            window.SetStatusText(u"Get device info failed.");
        }
    }

    channel->Close();
    channel.reset();
    window.EnableActions(true);
    return 0;
}

uint32_t UpdateThread(UpdateWindow& window, const ProcedureContext& context) {
    Clock& clock = context.clock;
    window.EnableActions(false);
    window.SetStatusText(u"Prepare for updating, please wait ...");

    auto channel = OpenChannel(window, context);
    if (!channel) {
        window.EnableActions(true);
        return 0;
    }

    bool success = false;
    {
        // Stage 1: the st part.
        RecordList request(RecordList::RequestSlots, RecordList::RequestSlotCapacity);
        int32_t count = StartRequest(request, RequestStFirmware);
        uint32_t identification = channel->Reset1A();
        if (identification == 0) {
            identification = AddIdentification(*channel, request, count);
        }

        bool stage1 = false;
        {
            RecordList reply(context.replySlots, RecordList::ReplySlotCapacity);
            Exchange(context, request, count, reply);
            if (reply.count > 0) {
                window.SetStatusText(u"Updating..");
            } else {
                window.SetStatusText(u"Update fail (01) ");
                clock.Sleep(NoBlockPauseMs);
            }
            stage1 = RunBlockLoop(window, *channel, clock, reply, Stage1);
            channel->Reset00();
        }

        if (identification != 0 || !stage1) {
            // Without a full st identification stage 2 does not run; the blocks decide.
            success = stage1;
        } else {
            // Stage 2: the j2534 part, behind the st identification read afresh.
            RecordList request2(RecordList::RequestSlots, RecordList::RequestSlotCapacity);
            count = StartRequest(request2, RequestJ2534Firmware);
            if (channel->Reset1A() == 0) {
                AddIdentification(*channel, request2, count);
            }
            clock.Sleep(2'000);
            const uint32_t reset2B = channel->Reset2B();
            clock.Sleep(1'000);

            bool identified = false;
            if (reset2B == 0) {
                uint8_t chipId[ChipIdSize] = {};
                if (channel->GetChipId(chipId) == 0) {
                    AddRecord(request2, count, chipId, ChipIdSize);
                    uint8_t info[InfoRecordSize] = {};
                    if (channel->GetDeviceInfo(info) == 0) {
                        AddRecord(request2, count, info, InfoRecordSize);
                        identified = true;
                    }
                }
            }

            if (identified) {
                RecordList reply(context.replySlots, RecordList::ReplySlotCapacity);
                window.SetStatusText(u"Prepare update");
                Exchange(context, request2, count, reply);
                if (reply.count > 0) {
                    window.SetStatusText(u"Updating..");
                } else {
                    window.SetStatusText(u"Update fail (02)");
                    clock.Sleep(NoBlockPauseMs);
                }
                const bool stage2 = RunBlockLoop(window, *channel, clock, reply, Stage2);
                window.SetStatusText(u"Finishing update, please wait...");
                channel->Reset00();
                success = stage2;
            }
        }
    }

    if (success) {
        SuccessEnding(window, context);
    } else {
        FailureEnding(window, clock);
    }

    channel->Close();
    channel.reset();
    window.EnableActions(true);
    return 0;
}

}  // namespace zolt
