// Request parsing in the reference update server.
//
// Input, first byte even: arbitrary bytes as a received request (ParseRequest). When they are
// taken, the server's reply to them must be one the client accepts.
// Input, first byte odd: records for the client to pack (AddIdentityRecords, BuildRequestImage);
// the server must take the request and find exactly those records in it.
//   1 | n | n x (length (16 bits)) | name length | the bytes the records and the name take in turn
//
// Checked: no access outside any area (ASan); a request is taken exactly when its total length,
// terminator, count and lengths agree, and then its records are exactly the bytes they cover.
#include <algorithm>
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "server/exchange_records.h"
#include "server/record_list.h"
#include "sim/server/reference_server.h"

namespace zolt {
namespace {

using fuzz::Check;

uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// The records the request's bytes describe, or nothing when they do not agree.
std::optional<std::vector<std::vector<uint8_t>>> ReferenceRecords(const std::vector<uint8_t>& b) {
    if (b.size() < 13 || Le32(b.data()) != b.size() || b.back() != 0) {
        return std::nullopt;
    }
    const uint64_t count = Le32(b.data() + 8);
    const uint64_t dataStart = 12 + 4 * count;
    if (dataStart > b.size() - 1) {
        return std::nullopt;
    }
    uint64_t sum = 0;
    for (uint64_t i = 0; i < count; ++i) {
        sum += Le32(b.data() + 12 + 4 * i);
    }
    if (dataStart + sum != b.size() - 1) {
        return std::nullopt;
    }
    std::vector<std::vector<uint8_t>> records;
    uint64_t at = dataStart;
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t length = Le32(b.data() + 12 + 4 * i);
        records.emplace_back(b.begin() + static_cast<std::ptrdiff_t>(at),
                             b.begin() + static_cast<std::ptrdiff_t>(at + length));
        at += length;
    }
    return records;
}

void CheckReceivedBytes(const std::vector<uint8_t>& bytes) {
    const sim::ParsedRequest parsed = sim::ParseRequest(bytes);
    const auto expected = ReferenceRecords(bytes);
    Check(parsed.ok == expected.has_value(), "the server took a request it must refuse, or not");
    if (!parsed.ok) {
        Check(!parsed.error.empty(), "a refused request without a reason");
        return;
    }
    Check(parsed.records == *expected, "the server found other records than the bytes hold");
    Check(parsed.totalLength == bytes.size() && parsed.resumeOffset == Le32(bytes.data() + 4),
          "the server read the header wrong");

    // Whatever it takes, the server answers with a reply the client accepts.
    static const sim::ReferenceServer server;
    const std::vector<uint8_t> reply = server.ReplyFor(parsed);
    static RecordList list(RecordList::ReplySlots, RecordList::ReplySlotCapacity);
    list.count = 0;
    Check(UnpackReply(reply.data(), static_cast<int32_t>(reply.size()), list) == 0,
          "the client refuses the server's reply");
}

void CheckPackedRecords(fuzz::InputReader& in) {
    RecordList request(RecordList::RequestSlots, RecordList::RequestSlotCapacity);
    const int32_t count = in.Byte() % 99;  // the caller's own records, at most 98
    std::vector<std::size_t> lengths(static_cast<std::size_t>(count));
    for (auto& length : lengths) {
        length = in.Le16() % (RecordList::RequestSlotCapacity + 1);
    }
    const std::size_t nameLength = in.Byte() % 8 == 0 ? 300 : in.Byte() % 40;  // 300: too long
    std::vector<std::vector<uint8_t>> records;
    for (int32_t i = 0; i < count; ++i) {
        records.push_back(in.Bytes(lengths[static_cast<std::size_t>(i)]));
        const auto& r = records.back();
        if (!r.empty()) {
            std::memcpy(request.Slot(i), r.data(), r.size());
        }
        request.lengths[static_cast<std::size_t>(i)] = static_cast<int32_t>(r.size());
    }
    WideText name;
    for (std::size_t i = 0; i < nameLength; ++i) {
        name.push_back(static_cast<char16_t>(0x20 + in.Byte() % 0x5F));
    }

    Check(AddIdentityRecords(request, count, name) == 0, "the client refused its own records");
    std::vector<uint8_t> image;
    Check(BuildRequestImage(request, count + 2, image) == 0, "the client built no request");

    const sim::ParsedRequest parsed = sim::ParseRequest(image);
    Check(parsed.ok, "the server refused a request the client built");
    Check(parsed.records.size() == records.size() + 2, "the server found another record count");
    Check(std::equal(records.begin(), records.end(), parsed.records.begin()),
          "the server found other records than the client packed");
    const std::size_t nameBytes = 2 * name.size() <= 500 ? 2 * name.size() : 0;
    Check(parsed.records[records.size()].size() == nameBytes, "the name record has another size");
    Check(parsed.records.back().size() == 10, "the version record has another size");
}

}  // namespace
}  // namespace zolt

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace zolt;
    static fuzz::QuietLog log;
    log.Clear();
    fuzz::InputReader in(data, size);
    if ((in.Byte() & 1) == 0) {
        CheckReceivedBytes(in.Rest());
    } else {
        CheckPackedRecords(in);
    }
    return 0;
}
