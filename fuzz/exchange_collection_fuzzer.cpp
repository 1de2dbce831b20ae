// Reply collection: a whole ExchangeRecords, into a reply list of the program's size, over sockets
// that play the server from the input. Up to 32 transactions each hand over the next bytes of the
// input, in pieces, and then close or fail.
//
// Input: t | t x (bytes (16 bits), piece size (16 bits), ends with a failure) | the bytes sent
//
// Checked: the exchange runs exactly the transactions it must (a repeat after every one that broke
// off with bytes, at most 30), each repeat carries the bytes collected so far as its resume offset
// and is otherwise the first request, thirty break-offs give 10752 with the list untouched, and the
// bytes collected back to back are refused or unpacked exactly as the reply rules say.
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

void CheckExchange(fuzz::InputReader& in, const fuzz::QuietLog& log) {
    // The program's own sizes; the list is made once and reset between inputs.
    static RecordList reply(RecordList::ReplySlots, RecordList::ReplySlotCapacity);
    reply.count = 0;
    std::fill(reply.lengths.begin(), reply.lengths.end(), 0);

    const std::size_t transactions = in.Byte() % 33;
    std::vector<Transaction> script(transactions);
    std::vector<std::size_t> sizes(transactions);
    for (std::size_t i = 0; i < transactions; ++i) {
        sizes[i] = in.Le16();
        script[i].pieceSize = std::max<std::size_t>(in.Le16(), 1);
        script[i].fails = (in.Byte() & 1) != 0;
    }
    for (std::size_t i = 0; i < transactions; ++i) {
        script[i].bytes = in.Bytes(sizes[i]);
    }

    // What the exchange must do with this script: repeat while a transaction fails after some
    // bytes, at most 30 transactions, collecting the bytes back to back.
    std::vector<uint8_t> collected;
    std::vector<std::size_t> offsets;  // the resume offset each transaction must carry
    bool brokenOff = true;
    for (std::size_t t = 0; t < static_cast<std::size_t>(MaxTransactions) && brokenOff; ++t) {
        offsets.push_back(collected.size());
        const Transaction* played = t < script.size() ? &script[t] : nullptr;
        const std::size_t got = played != nullptr ? played->bytes.size() : 0;
        if (played != nullptr) {
            collected.insert(collected.end(), played->bytes.begin(), played->bytes.end());
        }
        brokenOff = played != nullptr && played->fails && got > 0;
    }

    RecordList request(RecordList::RequestSlots, RecordList::RequestSlotCapacity);
    request.lengths[0] = 2;
    request.Slot(0)[0] = 0x0A;
    request.Slot(0)[1] = 0x01;
    FixedName system;
    ScriptedSockets sockets(std::move(script));
    const int32_t result =
        ExchangeRecords(request, 1, reply, ServerEndpoint{"fuzz", 4006, 1}, system, sockets);

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
    if (brokenOff) {
        Check(result == REPLY_INCOMPLETE, "thirty broken-off transactions did not give 10752");
        Check(reply.count == 0, "an incomplete exchange changed the reply count");
        return;
    }
    const Expected e =
        fuzz::ParseReference(collected, RecordList::ReplySlots, RecordList::ReplySlotCapacity);
    fuzz::CheckOutcome(result, e, reply, log);
    if (e.refusal != nullptr) {
        Check(reply.count == 0 && std::all_of(reply.lengths.begin(), reply.lengths.end(),
                                              [](int32_t n) { return n == 0; }),
              "a refused reply changed the reply list");
    }
}

}  // namespace
}  // namespace zolt

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace zolt;
    static fuzz::QuietLog log(true);
    log.Clear();
    fuzz::InputReader in(data, size);
    CheckExchange(in, log);
    return 0;
}
