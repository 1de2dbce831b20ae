// Reply parsing: arbitrary collected bytes into the reply checks and the unpacking of the record
// exchange (UnpackReply, which ExchangeRecords runs on the bytes it collected).
//
// Input: slots | slot capacity (16 bits) | the collected bytes
//
// Checked: no access outside any area (ASan: the collected bytes lie in a heap block of exactly
// their size); every refusal gives 240 with the log line of its reason and leaves every byte of
// the reply list as it was; every acceptance writes exactly the count, lengths and record bytes
// that the bytes describe and nothing else.
#include <algorithm>
#include <cstring>
#include <memory>

#include "fuzz/fuzz_support.h"
#include "fuzz/reply_rules.h"
#include "server/exchange_records.h"
#include "server/record_list.h"

namespace zolt {
namespace {

using fuzz::Check;
using fuzz::Expected;

// A copy of a reply list's whole state, to tell whether anything changed.
struct ListImage {
    int32_t count;
    std::vector<int32_t> lengths;
    std::vector<uint8_t> slots;
};

ListImage Snapshot(const RecordList& list) {
    ListImage image{list.count, list.lengths, {}};
    const auto bytes =
        static_cast<std::size_t>(list.SlotCount()) * static_cast<std::size_t>(list.SlotCapacity());
    if (bytes > 0) {
        image.slots.assign(list.Slot(0), list.Slot(0) + bytes);
    }
    return image;
}

// The small-list mode: every byte of the list is compared before and after.
void CheckUnpack(fuzz::InputReader& in, const fuzz::QuietLog& log) {
    const int32_t slots = in.Byte() % 65;
    const int32_t capacity = in.Le16() % 1201;
    const std::vector<uint8_t> bytes = in.Rest();

    RecordList reply(slots, capacity);
    for (int32_t i = 0; i < slots; ++i) {
        std::memset(reply.Slot(i), 0x5A ^ i, static_cast<std::size_t>(capacity));
        reply.lengths[static_cast<std::size_t>(i)] = -7;
    }
    reply.count = -3;
    const ListImage before = Snapshot(reply);

    // Exactly the bytes, in a heap block of their own size.
    const std::unique_ptr<uint8_t[]> collected(new uint8_t[bytes.size()]);
    if (!bytes.empty()) {
        std::memcpy(collected.get(), bytes.data(), bytes.size());
    }
    const int32_t result = UnpackReply(collected.get(), static_cast<int32_t>(bytes.size()), reply);
    const Expected e = fuzz::ParseReference(bytes, slots, capacity);
    fuzz::CheckOutcome(result, e, reply, log);

    const ListImage after = Snapshot(reply);
    if (e.refusal != nullptr) {
        Check(after.count == before.count && after.lengths == before.lengths &&
                  after.slots == before.slots,
              "a refused reply changed the reply list");
        return;
    }
    // Beyond the records' bytes nothing changed: not the lengths, not the slots.
    for (int32_t i = 0; i < slots; ++i) {
        const auto at = static_cast<std::size_t>(i);
        const std::size_t first = i < e.count ? e.records[at].size() : static_cast<std::size_t>(0);
        if (i >= e.count) {
            Check(after.lengths[at] == before.lengths[at], "a length beyond the count changed");
        }
        const std::size_t base = at * static_cast<std::size_t>(capacity);
        Check(std::equal(after.slots.begin() + static_cast<std::ptrdiff_t>(base + first),
                         after.slots.begin() + static_cast<std::ptrdiff_t>(base + capacity),
                         before.slots.begin() + static_cast<std::ptrdiff_t>(base + first)),
              "slot bytes past a record changed");
    }
}

}  // namespace
}  // namespace zolt

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace zolt;
    static fuzz::QuietLog log(true);
    log.Clear();
    fuzz::InputReader in(data, size);
    CheckUnpack(in, log);
    return 0;
}
