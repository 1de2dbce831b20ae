#include "server/exchange_records.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "log/log.h"

namespace zolt {

namespace {

constexpr int32_t IdentityRecords = 2;
constexpr int32_t RequestHeaderSize = 12;
constexpr int32_t ReplyHeaderSize = 8;

void PutLe32(uint8_t* p, uint32_t value) {
    p[0] = static_cast<uint8_t>(value & 0xFF);
    p[1] = static_cast<uint8_t>((value >> 8) & 0xFF);
    p[2] = static_cast<uint8_t>((value >> 16) & 0xFF);
    p[3] = static_cast<uint8_t>((value >> 24) & 0xFF);
}

uint32_t GetLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

int32_t GetLe32Signed(const uint8_t* p) {
    return static_cast<int32_t>(GetLe32(p));
}

// "=SRE00n=" followed by the numbers, separated by commas.
void LogFormatError(const char16_t* tag, int64_t first) {
    WideText line = tag;
    line += WidenAscii(std::to_string(first));
    WriteLog(line);
}

void LogFormatError(const char16_t* tag, int64_t first, int64_t second) {
    WideText line = tag;
    line += WidenAscii(std::to_string(first));
    line += u",";
    line += WidenAscii(std::to_string(second));
    WriteLog(line);
}

// Copies UTF-16 text into a slot as little-endian bytes; the length in bytes.
int32_t StoreWide(WideView text, uint8_t* slot) {
    int32_t at = 0;
    for (const char16_t unit : text) {
        slot[at++] = static_cast<uint8_t>(unit & 0xFF);
        slot[at++] = static_cast<uint8_t>(unit >> 8);
    }
    return at;
}

}  // namespace

int32_t AddIdentityRecords(RecordList& request, int32_t count,
                           const std::optional<WideText>& computerName) {
    const int32_t most = request.SlotCount() - IdentityRecords;
    if (count < 0 || count > most) {
        LogFormatError(u"=SRE007=", count, most);
        return RECORD_FORMAT_ERROR;
    }
    for (int32_t i = 0; i < count; ++i) {
        if (request.lengths[static_cast<std::size_t>(i)] < 0 ||
            request.lengths[static_cast<std::size_t>(i)] > request.SlotCapacity()) {
            LogFormatError(u"=SRE008=", i, request.lengths[static_cast<std::size_t>(i)]);
            return RECORD_FORMAT_ERROR;
        }
    }
    const WideView version = VersionText;
    const int64_t versionBytes = 2 * static_cast<int64_t>(version.size());
    if (versionBytes > request.SlotCapacity()) {
        LogFormatError(u"=SRE008=", count + 1, versionBytes);
        return RECORD_FORMAT_ERROR;
    }

    // A name that cannot be read, or is too long for its slot, goes out as an empty record.
    WideView name;
    if (computerName && 2 * static_cast<int64_t>(computerName->size()) <= request.SlotCapacity()) {
        name = *computerName;
    }
    request.lengths[static_cast<std::size_t>(count)] = StoreWide(name, request.Slot(count));
    request.lengths[static_cast<std::size_t>(count) + 1] =
        StoreWide(version, request.Slot(count + 1));
    return 0;
}

int32_t BuildRequestImage(const RecordList& request, int32_t recordCount,
                          std::vector<uint8_t>& image) {
    image.clear();
    if (recordCount < 0 || recordCount > request.SlotCount()) {
        LogFormatError(u"=SRE007=", recordCount, request.SlotCount());
        return RECORD_FORMAT_ERROR;
    }
    int64_t total = RequestHeaderSize + 4 * static_cast<int64_t>(recordCount) + 1;
    for (int32_t i = 0; i < recordCount; ++i) {
        const int32_t length = request.lengths[static_cast<std::size_t>(i)];
        if (length < 0 || length > request.SlotCapacity()) {
            LogFormatError(u"=SRE008=", i, length);
            return RECORD_FORMAT_ERROR;
        }
        total += length;
    }

    image.assign(static_cast<std::size_t>(total), 0);
    std::size_t at = 0;
    const auto put32 = [&](uint32_t value) {
        PutLe32(image.data() + at, value);
        at += 4;
    };
    put32(static_cast<uint32_t>(total));
    put32(0);
    put32(static_cast<uint32_t>(recordCount));
    for (int32_t i = 0; i < recordCount; ++i) {
        put32(static_cast<uint32_t>(request.lengths[static_cast<std::size_t>(i)]));
    }
    for (int32_t i = 0; i < recordCount; ++i) {
        const auto length = static_cast<std::size_t>(request.lengths[static_cast<std::size_t>(i)]);
        if (length > 0) {
            std::memcpy(image.data() + at, request.Slot(i), length);
        }
        at += length;
    }
    image[at++] = 0;  // terminator

    if (static_cast<int64_t>(at) != total) {
        LogFormatError(u"=SRE003=", total, static_cast<int64_t>(at));
        image.clear();
        return RECORD_FORMAT_ERROR;
    }
    return 0;
}

void SetResumeOffset(std::vector<uint8_t>& image, uint32_t offset) {
    if (image.size() >= 8) {
        PutLe32(image.data() + 4, offset);
    }
}

int32_t UnpackReply(const uint8_t* collected, int32_t size, RecordList& reply) {
    if (collected == nullptr || size < MinReplySize) {
        LogFormatError(u"=SRE001=", size);
        return RECORD_FORMAT_ERROR;
    }
    const int32_t total = GetLe32Signed(collected);
    if (total != size) {
        LogFormatError(u"=SRE002=", total, size);
        return RECORD_FORMAT_ERROR;
    }

    // Every limit is checked before anything is written, so a refused reply leaves the list as
    // it was.
    const int32_t count = GetLe32Signed(collected + 4);
    if (count < 0 || count > reply.SlotCount()) {
        LogFormatError(u"=SRE004=", count, reply.SlotCount());
        return RECORD_FORMAT_ERROR;
    }
    const int64_t tableEnd = ReplyHeaderSize + 4 * static_cast<int64_t>(count);
    if (tableEnd > size) {
        LogFormatError(u"=SRE006=", tableEnd, size);
        return RECORD_FORMAT_ERROR;
    }
    int64_t end = tableEnd;
    for (int32_t j = 0; j < count; ++j) {
        const int32_t length = GetLe32Signed(collected + ReplyHeaderSize + 4 * j);
        if (length < 0 || length > reply.SlotCapacity()) {
            LogFormatError(u"=SRE005=", j, length);
            return RECORD_FORMAT_ERROR;
        }
        end += length;
    }
    if (end > size) {
        LogFormatError(u"=SRE006=", end, size);
        return RECORD_FORMAT_ERROR;
    }

    reply.count = count;
    std::size_t at = static_cast<std::size_t>(tableEnd);
    for (int32_t i = 0; i < count; ++i) {
        const int32_t length = GetLe32Signed(collected + ReplyHeaderSize + 4 * i);
        reply.lengths[static_cast<std::size_t>(i)] = length;
        if (length > 0) {
            std::memcpy(reply.Slot(i), collected + at, static_cast<std::size_t>(length));
        }
        at += static_cast<std::size_t>(length);
    }
    return 0;
}

int32_t ExchangeRecords(RecordList& request, int32_t count, RecordList& reply,
                        const ServerEndpoint& endpoint, SystemInfo& system) {
    return ExchangeRecords(request, count, reply, endpoint, system, SystemSockets());
}

int32_t ExchangeRecords(RecordList& request, int32_t count, RecordList& reply,
                        const ServerEndpoint& endpoint, SystemInfo& system, Sockets& sockets,
                        ExchangeReport* report, int32_t areaSize) {
    ExchangeReport seen;
    const auto done = [&](int32_t result) {
        seen.result = result;
        if (report != nullptr) {
            *report = seen;
        }
        return result;
    };
    if (const int32_t added = AddIdentityRecords(request, count, system.ComputerName());
        added != 0) {
        return done(added);
    }
    std::vector<uint8_t> image;
    if (const int32_t built = BuildRequestImage(request, count + IdentityRecords, image);
        built != 0) {
        return done(built);
    }

    // One area for the transactions (reused: a transaction stores from its start and only its
    // first `received` bytes are read) and one for the bytes of all transactions back to back.
    // A reply that comes whole in the first transaction is read where it landed; only a repeat
    // needs the second area, and then the first area, which holds the first transaction's bytes
    // at its start already, becomes the collected reply and the repeats get a new one.
    areaSize = std::max(areaSize, 1);
    const auto newArea = [areaSize] {
        std::unique_ptr<uint8_t[]> made(new (std::nothrow)
                                            uint8_t[static_cast<std::size_t>(areaSize)]);
        AdviseHugePages(made.get(), static_cast<std::size_t>(areaSize));
        return made;
    };
    std::unique_ptr<uint8_t[]> area = newArea();
    std::unique_ptr<uint8_t[]> collected;
    if (!area) {
        WriteLog(u"No memory for the reply");
        return done(TRANSPORT_FAILURE);
    }

    ServerConnection connection(endpoint, sockets, areaSize);
    const auto imageSize = static_cast<int32_t>(image.size());
    int32_t have = 0;
    int32_t result = 0;
    for (int32_t transaction = 0; transaction < MaxTransactions; ++transaction) {
        if (transaction > 0) {
            if (result != REPLY_INCOMPLETE) {
                break;
            }
            if (!collected) {
                collected = std::move(area);
                area = newArea();
                if (!area) {
                    WriteLog(u"No memory for the reply");
                    return done(TRANSPORT_FAILURE);
                }
            }
            WriteLog(u"re " + IntToText(transaction));
            SetResumeOffset(image, static_cast<uint32_t>(have));
        }
        connection.received = 0;
        result = connection.Transact(image.data(), imageSize, area.get());
        seen.transactions = transaction + 1;
        seen.transport = connection.failure;
        if (result != 0 && result != REPLY_INCOMPLETE) {
            return done(result);  // what was collected is discarded
        }
        const int32_t got = connection.received;
        if (got < 0 || got > areaSize - have) {
            WriteLog(u"Reply larger than " + IntToText(areaSize) +
                     u" bytes over the repeats, exchange failed: " + IntToText(have) + u"," +
                     IntToText(got));
            return done(TRANSPORT_FAILURE);
        }
        if (collected && got > 0) {
            std::memcpy(collected.get() + have, area.get(), static_cast<std::size_t>(got));
        }
        have += got;
        seen.received = have;
    }
    if (result != 0) {
        return done(result);
    }
    return done(UnpackReply(collected ? collected.get() : area.get(), have, reply));
}

}  // namespace zolt
