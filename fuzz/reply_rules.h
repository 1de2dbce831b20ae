// The reply rules, written out plainly, for the fuzzers that check the record exchange's reply
// handling against them.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "server/record_list.h"
#include "server/server_connection.h"

namespace zolt::fuzz {

inline uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// The reply as the rules read it, written as plainly as possible.
struct Expected {
    const char16_t* refusal = nullptr;  // the log tag, or nullptr when accepted
    int32_t count = 0;
    std::vector<std::vector<uint8_t>> records;
};

inline Expected ParseReference(const std::vector<uint8_t>& bytes, int32_t slots, int32_t capacity) {
    Expected e;
    const std::size_t size = bytes.size();
    if (size < 13) {
        e.refusal = u"=SRE001=";
        return e;
    }
    if (Le32(bytes.data()) != size) {
        e.refusal = u"=SRE002=";
        return e;
    }
    const auto count = static_cast<int32_t>(Le32(bytes.data() + 4));
    if (count < 0 || count > slots) {
        e.refusal = u"=SRE004=";
        return e;
    }
    const std::size_t tableEnd = 8 + 4 * static_cast<std::size_t>(count);
    if (tableEnd > size) {
        e.refusal = u"=SRE006=";
        return e;
    }
    std::vector<std::size_t> lengths;
    std::size_t end = tableEnd;
    for (int32_t j = 0; j < count; ++j) {
        const auto length = static_cast<int32_t>(Le32(bytes.data() + 8 + 4 * j));
        if (length < 0 || length > capacity) {
            e.refusal = u"=SRE005=";
            return e;
        }
        lengths.push_back(static_cast<std::size_t>(length));
        end += static_cast<std::size_t>(length);
    }
    if (end > size) {
        e.refusal = u"=SRE006=";
        return e;
    }
    e.count = count;
    std::size_t at = tableEnd;
    for (const std::size_t length : lengths) {
        e.records.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                               bytes.begin() + static_cast<std::ptrdiff_t>(at + length));
        at += length;
    }
    return e;
}

// Whether the result and the list match what the rules say of the bytes.
inline void CheckOutcome(int32_t result, const Expected& e, const RecordList& reply,
                         const QuietLog& log) {
    if (e.refusal != nullptr) {
        Check(result == RECORD_FORMAT_ERROR, "a broken reply was not refused with 240");
        Check(log.FirstStartingWith(e.refusal) != nullptr, "refused without its reason's log line");
        return;
    }
    Check(result == 0, "a well-formed reply was refused");
    Check(reply.count == e.count, "reply count differs from the bytes");
    for (int32_t i = 0; i < e.count; ++i) {
        const auto& record = e.records[static_cast<std::size_t>(i)];
        Check(reply.lengths[static_cast<std::size_t>(i)] == static_cast<int32_t>(record.size()),
              "record length differs from the bytes");
        Check(record.empty() || std::memcmp(reply.Slot(i), record.data(), record.size()) == 0,
              "record bytes differ from the bytes");
    }
}

}  // namespace zolt::fuzz
