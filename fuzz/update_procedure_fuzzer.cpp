// The update procedure: UpdateThread, through its public entry, against the simulated interface
// with fuzzed device answers and a server in memory with fuzzed replies, one reply per part.
//
// Input: flags (bit 0: no device; bits 1-2: reply area size; bits 3-4: reply list slots) |
//        the device's reply piece size |
//        for the st part, then the j2534 part: the server's reply (see ReadReply) |
//        r | r device fault rules (fault, request kind, occurrence, raw length, raw bytes) |
//        rejected block (0: none; else bit 0 the part, bits 1 to 7 its index)
//
// Checked on every input, from what the interface and the server were sent and what the window
// shows: "Update success" only when every block of each stage that ran was answered as the
// acceptance rules require (and then always, when both stages ran); the j2534 stage only after the
// st stage's blocks were all accepted; each part was written exactly the blocks of its reply, in
// order, up to the first rejected answer and none after it; the bar never leaves 0 to 100; the
// channel is closed and the buttons enabled at the end.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include "device/communication_ft32.h"
#include "device/device_frame.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/reply_rules.h"
#include "platform/clock.h"
#include "platform/tone.h"
#include "procedures/procedures.h"
#include "server/exchange_records.h"
#include "sim/interface/simulated_interface.h"
#include "sim/server/reference_server.h"

namespace zolt {
namespace {

using fuzz::Check;
using Bytes = std::vector<uint8_t>;

constexpr int32_t AreaSizes[] = {64, 4'096, 65'536, 262'144};
constexpr int32_t SlotCounts[] = {3, 12, 100, 1'000};
constexpr std::size_t AnswerCapacity = 1000;  // the block loop's answer area
constexpr uint8_t CodeSt = 0x01, CodeJ2534 = 0x02;

// What the driver, the server and the window saw, in order.
// The beeps of a successful run, which the harness does not judge.
class SilentTone final : public Tone {
  public:
    void Beep(uint32_t, uint32_t) override {}
};

struct Event {
    enum Kind { Write, Read, Close, Exchange } kind;
    Bytes bytes;       // Write, Read
    uint8_t code = 0;  // Exchange: the request code
};
using Events = std::vector<Event>;

// Passes every call to the simulated interface and notes the transfers and closes.
class RecordingDriver final : public D2xxDriver {
  public:
    RecordingDriver(sim::SimulatedInterface& device, Events& events)
        : device_(device), events_(events) {}

    FT_STATUS ListDevices(uint32_t* count) override { return device_.ListDevices(count); }
    FT_STATUS OpenEx(const char* description, FT_HANDLE* handle) override {
        return device_.OpenEx(description, handle);
    }
    FT_STATUS SetBaudRate(FT_HANDLE h, uint32_t baud) override {
        return device_.SetBaudRate(h, baud);
    }
    FT_STATUS SetDataCharacteristics(FT_HANDLE h, uint8_t bits, uint8_t stop,
                                     uint8_t parity) override {
        return device_.SetDataCharacteristics(h, bits, stop, parity);
    }
    FT_STATUS SetLatencyTimer(FT_HANDLE h, uint8_t ms) override {
        return device_.SetLatencyTimer(h, ms);
    }
    FT_STATUS Write(FT_HANDLE h, const void* data, uint32_t size, uint32_t* written) override {
        const auto* p = static_cast<const uint8_t*>(data);
        events_.push_back({Event::Write, Bytes(p, p + size)});
        return device_.Write(h, data, size, written);
    }
    FT_STATUS GetStatus(FT_HANDLE h, uint32_t* rx, uint32_t* tx, uint32_t* event) override {
        return device_.GetStatus(h, rx, tx, event);
    }
    FT_STATUS Read(FT_HANDLE h, void* data, uint32_t size, uint32_t* returned) override {
        const FT_STATUS status = device_.Read(h, data, size, returned);
        if (status == FT_OK && returned != nullptr && *returned > 0) {
            const auto* p = static_cast<const uint8_t*>(data);
            events_.push_back({Event::Read, Bytes(p, p + std::min(*returned, size))});
        }
        return status;
    }
    FT_STATUS Close(FT_HANDLE h) override {
        events_.push_back({Event::Close, {}});
        return device_.Close(h);
    }
    bool ListDescriptions(std::vector<std::string>& descriptions) override {
        return device_.ListDescriptions(descriptions);
    }
    OpenProblem LastOpenProblem() const override { return device_.LastOpenProblem(); }

  private:
    sim::SimulatedInterface& device_;
    Events& events_;
};

// One part's reply as the server plays it: its bytes, and break-offs after `breakAfter` bytes in
// each of the first `breaks` transactions.
struct ServerReply {
    Bytes bytes;
    std::size_t breakAfter = 0;
    std::size_t breaks = 0;
};

// The server in memory: takes each request apart, answers the st or j2534 reply from the resume
// offset the request carries, breaking off as the reply says.
class ScriptedServer final : public Sockets {
  public:
    ScriptedServer(ServerReply st, ServerReply j2534, Events& events)
        : st_(std::move(st)), j2534_(std::move(j2534)), events_(events) {}

    int32_t Startup() override { return 0; }
    void Cleanup() override {}
    SocketHandle OpenTcpSocket() override {
        request_.clear();
        answering_ = false;
        return 9;
    }
    bool ResolveHost(const std::string&, HostEntry& entry) override {
        entry.addressFamily = AddressFamilyIpv4;
        entry.addresses = {0x7F000001};
        return true;
    }
    int32_t Connect(SocketHandle, Ipv4Address, uint16_t) override { return 0; }
    int32_t Send(SocketHandle, const uint8_t* data, int32_t length) override {
        request_.insert(request_.end(), data, data + length);
        return length;
    }
    int32_t ShutdownSend(SocketHandle) override { return 0; }
    int32_t SetReceiveTimeout(SocketHandle, uint32_t) override { return 0; }
    int32_t Receive(SocketHandle, uint8_t* buffer, int32_t capacity) override {
        if (!answering_) {
            Answer();
        }
        if (reply_ == nullptr || at_ >= end_) {
            return failAtEnd_ ? SocketError : 0;
        }
        const std::size_t n =
            std::min({pieceSize_, end_ - at_, static_cast<std::size_t>(std::max(capacity, 0))});
        std::memcpy(buffer, reply_->bytes.data() + at_, n);
        at_ += n;
        return static_cast<int32_t>(n);
    }
    int32_t Close(SocketHandle) override { return 0; }
    int32_t LastError() override { return SocketErrors::TimedOut; }

  private:
    void Answer() {
        answering_ = true;
        reply_ = nullptr;
        failAtEnd_ = false;
        const sim::ParsedRequest parsed = sim::ParseRequest(request_);
        Check(parsed.ok, "the procedure sent a request the server cannot read");
        Check(!parsed.records.empty() && parsed.records[0].size() == 2 &&
                  parsed.records[0][0] == 0x0A,
              "a request without its request code");
        const uint8_t code = parsed.records[0][1];
        events_.push_back({Event::Exchange, {}, code});
        std::size_t& transactions = code == CodeSt ? stTransactions_ : j2534Transactions_;
        reply_ = code == CodeSt ? &st_ : code == CodeJ2534 ? &j2534_ : nullptr;
        if (reply_ == nullptr) {
            return;
        }
        at_ = std::min<std::size_t>(parsed.resumeOffset, reply_->bytes.size());
        end_ = reply_->bytes.size();
        if (transactions++ < reply_->breaks) {
            end_ = std::min(end_, at_ + reply_->breakAfter);
            failAtEnd_ = true;
        }
        pieceSize_ = std::max<std::size_t>((end_ - at_) / 8, 1);
    }

    ServerReply st_, j2534_;
    Events& events_;
    Bytes request_;
    bool answering_ = false;
    const ServerReply* reply_ = nullptr;
    std::size_t at_ = 0, end_ = 0, pieceSize_ = 1;
    bool failAtEnd_ = false;
    std::size_t stTransactions_ = 0, j2534Transactions_ = 0;
};

class RecordingWindow final : public UpdateWindow {
  public:
    void SetStatusText(const WideText& text) override { statuses.push_back(text); }
    void SetInfoText(const WideText&) override {}
    void SetProgress(int32_t position) override {
        Check(position >= 0 && position <= 100, "the bar left 0 to 100");
        progress = position;
    }
    int32_t GetProgress() override { return progress; }
    void EnableActions(bool enable) override { enabled = enable; }

    std::vector<WideText> statuses;
    int32_t progress = 0;
    bool enabled = false;
};

class FixedName final : public SystemInfo {
  public:
    WideText ExecutablePath() override { return u"/fuzz/zolt-update"; }
    std::optional<WideText> ComputerName() override { return u"FUZZ"; }
};

// A reply: mode 0 demo blocks (count, size), 1 records from the input, 2 raw bytes from the
// input, 3 nothing; then break-offs (bytes before each, 16 bits; transactions, up to 31).
ServerReply ReadReply(fuzz::InputReader& in, uint8_t code) {
    ServerReply r;
    const uint8_t mode = in.Byte() % 4;
    if (mode == 0) {
        const int blocks = 1 + in.Byte() % 12;
        const int size =
            sim::MinBlockSize + in.Le16() % (sim::MaxBlockSize - sim::MinBlockSize + 1);
        r.bytes = sim::BuildReply(sim::DemoFirmware(code, blocks, size));
    } else if (mode == 1) {
        std::vector<Bytes> records(in.Byte() % 8);
        for (auto& record : records) {
            record = in.Bytes(in.Byte());
        }
        r.bytes = sim::BuildReply(records);
    } else if (mode == 2) {
        r.bytes = in.Bytes(in.Le16() % 2048);
    }
    r.breakAfter = in.Le16();
    r.breaks = in.Byte() % 32;
    return r;
}

// The records the exchange must hand the block loop for this reply, over areas of `areaSize`
// bytes into a list of `slots` records: none unless the collected bytes make a reply the rules
// accept.
std::vector<Bytes> ExpectedRecords(const ServerReply& r, int32_t areaSize, int32_t slots) {
    if (r.bytes.size() > static_cast<std::size_t>(areaSize)) {
        return {};
    }
    std::size_t have = 0;
    bool complete = false;
    for (std::size_t t = 0; t < static_cast<std::size_t>(MaxTransactions) && !complete; ++t) {
        const std::size_t got =
            t < r.breaks ? std::min(r.breakAfter, r.bytes.size() - have) : r.bytes.size() - have;
        have += got;
        complete = t >= r.breaks || got == 0;  // a close, or a failure before any byte
    }
    if (!complete) {
        return {};  // still broken off after the last transaction
    }
    const Bytes collected(r.bytes.begin(), r.bytes.begin() + static_cast<std::ptrdiff_t>(have));
    const fuzz::Expected e = fuzz::ParseReference(collected, slots, RecordList::ReplySlotCapacity);
    return e.refusal != nullptr ? std::vector<Bytes>{} : e.records;
}

// Whether the bytes read after a block make an answer the stage accepts: exactly one whole frame
// the receive area holds, its payload length within it, and the stage's rule on the payload.
bool Accepted(const Bytes& read, uint8_t code) {
    if (read.size() < 2 || ReadLe16(read.data()) != read.size() || read.size() > ReceiveAreaSize) {
        return false;
    }
    std::size_t length = 0;
    if (read.size() >= FrameOverhead) {
        length = ReadLe16(read.data() + 2);
        if (length > read.size() - FrameOverhead) {
            return false;
        }
    }
    length = std::min(length, AnswerCapacity);
    const uint8_t b0 = length >= 1 ? read[4] : 0;
    const uint8_t b1 = length >= 2 ? read[5] : 0;
    if (code == CodeSt) {
        return length >= 2 && (b1 == 0 || b0 == 0xA7 || b0 == 0xA8);
    }
    return length == 2 && b1 == 0;
}

// Checks the blocks written after the last exchange of `code` (events from `start` on) against
// the records expected: exactly those, in order, up to and including the first rejected answer,
// up to the next close. True when all were written and accepted.
bool CheckStage(const Events& events, std::size_t start, uint8_t code,
                const std::vector<Bytes>& records) {
    std::size_t written = 0;
    bool rejected = false;
    std::size_t i = start;
    while (i < events.size() && events[i].kind != Event::Close) {
        if (events[i].kind != Event::Write) {
            ++i;
            continue;
        }
        Check(!rejected, "a block was written after a rejected answer");
        Check(written < records.size(), "more blocks written than the reply holds");
        Check(events[i].bytes == records[written], "a block differs from the reply's record");
        ++written;
        Bytes read;
        for (++i; i < events.size() && events[i].kind == Event::Read; ++i) {
            read.insert(read.end(), events[i].bytes.begin(), events[i].bytes.end());
        }
        rejected = !Accepted(read, code);
    }
    Check(rejected || written == records.size(), "the block loop stopped before a rejection");
    return !records.empty() && !rejected;
}

}  // namespace
}  // namespace zolt

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace zolt;
    static fuzz::QuietLog log;
    fuzz::InputReader in(data, size);

    const uint8_t flags = in.Byte();
    const int32_t areaSize = AreaSizes[(flags >> 1) % std::size(AreaSizes)];
    const int32_t slots = SlotCounts[(flags >> 3) % std::size(SlotCounts)];
    sim::SimulatedInterfaceOptions options;
    options.attached = (flags & 1) == 0;
    options.replyPieceSize = in.Byte() % 32;
    options.pieceIntervalMs = 1;
    options.keepBlocks = false;
    const ServerReply st = ReadReply(in, CodeSt);
    const ServerReply j2534 = ReadReply(in, CodeJ2534);
    const std::size_t rules = in.Byte() % 8;
    for (std::size_t r = 0; r < rules; ++r) {
        sim::FaultRule rule;
        rule.fault = static_cast<sim::Fault>(in.Byte() % (static_cast<int>(sim::Fault::Raw) + 1));
        rule.on =
            static_cast<sim::Request>(in.Byte() % (static_cast<int>(sim::Request::Block) + 1));
        rule.occurrence = in.Byte() % 16;
        if (rule.fault == sim::Fault::Raw) {
            rule.raw = in.Bytes(in.Byte());
        }
        options.faults.push_back(std::move(rule));
    }
    if (const uint8_t reject = in.Byte(); reject != 0) {
        options.rejectBlock =
            sim::BlockRejection{(reject & 1) != 0 ? sim::Part::J2534 : sim::Part::St,
                                static_cast<std::size_t>(reject >> 1)};
    }

    Events events;
    // A clock read moves time on by 50 ms: a wait of 20 s takes some 400 reads.
    VirtualClock clock(0, 50);
    sim::SimulatedInterface device(clock, options);
    RecordingDriver driver(device, events);
    ScriptedServer server(st, j2534, events);
    SilentTone tone;
    FixedName system;
    RecordingWindow window;
    const ProcedureContext context{
        driver,  clock,   tone,     system, ServerEndpoint{"fuzz", 4006, 1},
        &server, nullptr, areaSize, slots};
    UpdateThread(window, context);

    // The last exchange of each part, and what its blocks gave.
    std::optional<std::size_t> stAt, j2534At;
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (events[i].kind == Event::Exchange) {
            Check(events[i].code == CodeSt || events[i].code == CodeJ2534,
                  "the update asked the server for something else");
            (events[i].code == CodeSt ? stAt : j2534At) = i;
        }
    }
    const bool shownSuccess = std::find(window.statuses.begin(), window.statuses.end(),
                                        WideText(u"Update success")) != window.statuses.end();
    bool stagesAccepted = stAt.has_value();
    if (stAt) {
        const bool stOk = CheckStage(events, *stAt, CodeSt, ExpectedRecords(st, areaSize, slots));
        stagesAccepted = stOk;
        if (j2534At) {
            Check(stOk, "the j2534 stage ran after a failed st stage");
            Check(*j2534At > *stAt, "the j2534 exchange came before the st one");
        }
    }
    if (j2534At) {
        const bool j2534Ok =
            CheckStage(events, *j2534At, CodeJ2534, ExpectedRecords(j2534, areaSize, slots));
        stagesAccepted = stagesAccepted && j2534Ok;
        Check(shownSuccess == stagesAccepted, "both stages ran: success differs from the answers");
    }
    if (shownSuccess) {
        Check(stagesAccepted, "\"Update success\" without every block accepted");
        Check(window.statuses.back() == u"Update success", "success was not the last word");
    }
    Check(!device.HandleOpen(), "the channel was left open");
    Check(window.enabled, "the buttons were left disabled");
    return 0;
}
