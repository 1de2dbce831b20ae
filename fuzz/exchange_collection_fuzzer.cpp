// Reply collection: a whole ExchangeRecords, into a reply list of the program's size, over sockets
// that play the server from the input, with reply areas of a size the input picks (small ones, so
// that replies reach the areas' limits). Up to 32 transactions each hand over their bytes, in
// pieces, and then close or fail. A transaction's bytes are its part of the input with one span of
// it repeated, so that an input of a few bytes describes a reply of thousands of records.
//
// Input: area size choice (255: the largest) | t | t x (bytes (16 bits), piece size (16 bits), ends
// with a failure,
//        repeated span's start (16 bits), its length (16 bits), its repeats (16 bits)) | the bytes
//
// Checked: the exchange runs exactly the transactions it must (a repeat after every one that broke
// off with bytes, at most 30; none after one that overflows the area), each repeat carries the
// bytes collected so far as its resume offset and is otherwise the first request, a reply larger
// than the area over one transaction or over the repeats fails with -1, thirty break-offs give
// 10752, the list is untouched on every failure, and the bytes collected back to back are refused
// or unpacked exactly as the reply rules say.
#include <algorithm>
#include <cstring>
#include <optional>

#include "fuzz/fuzz_support.h"
#include "fuzz/reply_rules.h"
#include "server/exchange_records.h"
#include "server/record_list.h"

namespace zolt {
namespace {

using fuzz::Check;
using fuzz::Expected;
using fuzz::Le32;

// The area sizes a run can pick, from below the shortest reply up; all small enough for the
// allocator's quick path. Choice 255 picks one that holds a list of 40,000 records: rarely, as
// each such area is mapped and unmapped afresh.
constexpr int32_t AreaSizes[] = {12, 13, 64, 1'000, 4'096, 16'384, 65'536, 100'000};
constexpr int32_t ListArea = 262'144;
// No transaction is expanded beyond this: more than the largest area, so overflow stays reachable.
constexpr std::size_t MostTransactionBytes = ListArea + 4'096;
// The most receive calls one transaction takes: larger pieces for long transactions.
constexpr std::size_t MostPieces = 24;

// One transaction as the input plays it.
struct Transaction {
    std::vector<uint8_t> bytes;
    std::size_t pieceSize = 1;
    bool fails = false;  // the last receive fails instead of seeing the close
};

// Sockets that play the server: each connection hands over the next transaction's bytes.
class ScriptedSockets final : public Sockets {
  public:
    explicit ScriptedSockets(std::vector<Transaction> script) : script_(std::move(script)) {}

    int32_t Startup() override { return 0; }
    void Cleanup() override {}
    SocketHandle OpenTcpSocket() override {
        current_ = connections_++;
        at_ = 0;
        sent_.emplace_back();
        return 7;
    }
    bool ResolveHost(const std::string&, HostEntry& entry) override {
        entry.addressFamily = AddressFamilyIpv4;
        entry.addresses = {0x7F000001};
        return true;
    }
    int32_t Connect(SocketHandle, Ipv4Address, uint16_t) override { return 0; }
    int32_t Send(SocketHandle, const uint8_t* data, int32_t length) override {
        sent_.back().insert(sent_.back().end(), data, data + length);
        return length;
    }
    int32_t ShutdownSend(SocketHandle) override { return 0; }
    int32_t SetReceiveTimeout(SocketHandle, uint32_t) override { return 0; }
    int32_t Receive(SocketHandle, uint8_t* buffer, int32_t capacity) override {
        Check(capacity > 0, "a receive asked for no bytes");
        if (current_ >= script_.size()) {
            return 0;  // later connections are closed at once
        }
        const Transaction& t = script_[current_];
        if (at_ >= t.bytes.size()) {
            error_ = SocketErrors::TimedOut;
            return t.fails ? SocketError : 0;
        }
        const std::size_t n =
            std::min({t.pieceSize, t.bytes.size() - at_, static_cast<std::size_t>(capacity)});
        std::memcpy(buffer, t.bytes.data() + at_, n);
        at_ += n;
        return static_cast<int32_t>(n);
    }
    int32_t Close(SocketHandle) override { return 0; }
    int32_t LastError() override { return error_; }

    const std::vector<std::vector<uint8_t>>& Sent() const { return sent_; }

  private:
    std::vector<Transaction> script_;
    std::size_t connections_ = 0;
    std::size_t current_ = 0;
    std::size_t at_ = 0;
    int32_t error_ = 0;
    std::vector<std::vector<uint8_t>> sent_;
};

class FixedName final : public SystemInfo {
  public:
    WideText ExecutablePath() override { return u"/fuzz/zolt-update"; }
    std::optional<WideText> ComputerName() override { return u"FUZZ"; }
};

// The bytes a transaction hands over: `chunk` with its span [at, at + span) repeated `repeats` more
// times, cut at MostTransactionBytes.
std::vector<uint8_t> Expand(const std::vector<uint8_t>& chunk, std::size_t at, std::size_t span,
                            std::size_t repeats) {
    at = std::min(at, chunk.size());
    span = std::min(span, chunk.size() - at);
    const std::size_t rest = chunk.size() - at - span;
    const std::size_t run = std::min(span * (repeats + 1), MostTransactionBytes);
    std::vector<uint8_t> out(std::min(at + run + rest, MostTransactionBytes));
    if (out.empty()) {
        return out;
    }
    uint8_t* p = out.data();
    std::memcpy(p, chunk.data(), std::min(at + span, out.size()));
    // The run grows by copying what it holds already, doubling each time.
    for (std::size_t have = span; span > 0 && have < run && at + have < out.size();) {
        const std::size_t n = std::min({have, run - have, out.size() - at - have});
        std::memcpy(p + at + have, p + at, n);
        have += n;
    }
    if (at + run < out.size()) {
        std::memcpy(p + at + run, chunk.data() + at + span, out.size() - at - run);
    }
    return out;
}

void CheckExchange(fuzz::InputReader& in, const fuzz::QuietLog& log) {
    // The program's own list sizes; the list is made once and reset between inputs (only the
    // lengths an accepted reply wrote: a refused one must leave all of them 0).
    static RecordList reply(RecordList::ReplySlots, RecordList::ReplySlotCapacity);
    std::fill_n(reply.lengths.begin(), reply.count, 0);
    reply.count = 0;

    const uint8_t areaChoice = in.Byte();
    const int32_t areaSize =
        areaChoice == 255 ? ListArea : AreaSizes[areaChoice % std::size(AreaSizes)];
    const std::size_t transactions = in.Byte() % 33;
    std::vector<Transaction> script(transactions);
    struct Shape {
        std::size_t size, at, span, repeats;
    };
    std::vector<Shape> shapes(transactions);
    for (std::size_t i = 0; i < transactions; ++i) {
        shapes[i].size = in.Le16();
        script[i].pieceSize = std::max<std::size_t>(in.Le16(), 1);
        script[i].fails = (in.Byte() & 1) != 0;
        shapes[i].at = in.Le16();
        shapes[i].span = in.Le16();
        shapes[i].repeats = in.Le16();
    }
    for (std::size_t i = 0; i < transactions; ++i) {
        script[i].bytes =
            Expand(in.Bytes(shapes[i].size), shapes[i].at, shapes[i].span, shapes[i].repeats);
        const std::size_t fewest = (script[i].bytes.size() + MostPieces - 1) / MostPieces;
        script[i].pieceSize = std::max(script[i].pieceSize, fewest);
    }

    // What the exchange must do with this script: repeat while a transaction fails after some
    // bytes, at most 30 transactions, collecting the bytes back to back; fail as soon as a
    // transaction or the bytes so far overflow the area.
    std::vector<uint8_t> collected;
    std::vector<std::size_t> offsets;  // the resume offset each transaction must carry
    bool brokenOff = true;
    bool overflow = false;
    for (std::size_t t = 0; t < static_cast<std::size_t>(MaxTransactions) && brokenOff; ++t) {
        offsets.push_back(collected.size());
        const Transaction* played = t < script.size() ? &script[t] : nullptr;
        const std::size_t got = played != nullptr ? played->bytes.size() : 0;
        if (got > static_cast<std::size_t>(areaSize) - collected.size()) {
            overflow = true;
            break;
        }
        if (played != nullptr) {
            collected.insert(collected.end(), played->bytes.begin(), played->bytes.end());
        }
        brokenOff = played != nullptr && played->fails && got > 0;
    }

    // Made once: every exchange writes the same three records into it.
    static RecordList request(RecordList::RequestSlots, RecordList::RequestSlotCapacity);
    request.lengths[0] = 2;
    request.Slot(0)[0] = 0x0A;
    request.Slot(0)[1] = 0x01;
    FixedName system;
    ScriptedSockets sockets(std::move(script));
    const int32_t result = ExchangeRecords(request, 1, reply, ServerEndpoint{"fuzz", 4006, 1},
                                           system, sockets, nullptr, areaSize);

    const auto& sent = sockets.Sent();
    Check(sent.size() == offsets.size(), "the exchange ran another number of transactions");
    for (std::size_t t = 0; t < sent.size(); ++t) {
        Check(sent[t].size() >= 8 && Le32(sent[t].data() + 4) == offsets[t],
              "a repeat asked from the wrong resume offset");
        Check(sent[t].size() == sent[0].size() &&
                  std::equal(sent[t].begin() + 8, sent[t].end(), sent[0].begin() + 8) &&
                  std::equal(sent[t].begin(), sent[t].begin() + 4, sent[0].begin()),
              "a repeat changed more of the request than its resume offset");
    }
    if (overflow) {
        Check(result == TRANSPORT_FAILURE, "a reply larger than the area did not fail with -1");
        Check(log.FirstStartingWith(u"Reply larger than " + IntToText(areaSize)) != nullptr,
              "an overflow without its log line");
        Check(reply.count == 0, "a failed exchange changed the reply count");
        return;
    }
    if (brokenOff) {
        Check(result == REPLY_INCOMPLETE, "thirty broken-off transactions did not give 10752");
        Check(reply.count == 0, "an incomplete exchange changed the reply count");
        return;
    }
    const Expected e =
        fuzz::ParseReference(collected, RecordList::ReplySlots, RecordList::ReplySlotCapacity);
    fuzz::CheckOutcome(result, e, reply, log);
    if (e.refusal != nullptr) {
        static const std::vector<int32_t> zeros(reply.lengths.size(), 0);
        Check(reply.count == 0 && std::memcmp(reply.lengths.data(), zeros.data(),
                                              zeros.size() * sizeof zeros[0]) == 0,
              "a refused reply changed the reply list");
    }
}

}  // namespace
}  // namespace zolt

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace zolt;
    static fuzz::QuietLog log(true, {u"Bytes received: ", u"Total length: "});
    log.Clear();
    fuzz::InputReader in(data, size);
    CheckExchange(in, log);
    return 0;
}
