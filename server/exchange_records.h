// The record exchange with the update server: the caller's request records plus the computer's
// name and the program's version go out as one record list; a reply that breaks off is collected
// over up to 30 transactions with a resume offset; the reply is checked and its records unpacked
// into the caller's reply list.
//
// Request on the wire (unsigned 32-bit little-endian integers):
//   total length | resume offset | N | N lengths | the N records back to back | 0x00
// Reply: total length | M | M lengths | the M records back to back (anything after is ignored).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/sockets.h"
#include "platform/system_info.h"
#include "platform/wide_text.h"
#include "server/record_list.h"
#include "server/server_connection.h"

namespace zolt {

// The most transactions one exchange runs: the first and up to 29 repeats.
inline constexpr int32_t MaxTransactions = 30;
// The shortest reply accepted.
inline constexpr int32_t MinReplySize = 13;

// What an exchange saw, for saying why it failed: its result, the transactions it ran, where the
// last one failed, and the reply bytes it held at the end.
struct ExchangeReport {
    int32_t result = 0;
    int32_t transactions = 0;
    TransportFailure transport;
    int32_t received = 0;
};

// Exchanges `count` caller records (request slots 0 to count-1) for the server's reply. Writes the
// computer's name and the version text into request slots count and count+1; request.count is
// not changed. On success (0) the reply list holds the server's records; on any failure it is left
// as it was. Failures: RECORD_FORMAT_ERROR (request or reply refused), REPLY_INCOMPLETE (still
// broken off after 30 transactions), HOST_NOT_FOUND_RESULT or -1 (a transaction failed).
int32_t ExchangeRecords(RecordList& request, int32_t count, RecordList& reply,
                        const ServerEndpoint& endpoint = BuiltInServer(),
                        SystemInfo& system = HostSystemInfo());
// The same over other sockets, and with reply areas of `areaSize` bytes instead of ReplyAreaSize
// (fuzzers use small ones, so that the limits are reached with small inputs).
int32_t ExchangeRecords(RecordList& request, int32_t count, RecordList& reply,
                        const ServerEndpoint& endpoint, SystemInfo& system, Sockets& sockets,
                        ExchangeReport* report = nullptr, int32_t areaSize = ReplyAreaSize);

// The steps of an exchange that need no connection.

// Checks the caller's `count` records and writes the two identity records behind them: the name
// as UTF-16 little-endian bytes (an empty record when there is no name or it does not fit a slot)
// and VersionText. 0, or RECORD_FORMAT_ERROR with a log line when the records do not fit the list.
int32_t AddIdentityRecords(RecordList& request, int32_t count,
                           const std::optional<WideText>& computerName);

// The wire image of request records 0 to recordCount-1 with resume offset 0, at exactly its total
// length. 0, or RECORD_FORMAT_ERROR with a log line when the records break the list's limits.
int32_t BuildRequestImage(const RecordList& request, int32_t recordCount,
                          std::vector<uint8_t>& image);

// Writes the resume offset (bytes 4 to 7) of a request image.
void SetResumeOffset(std::vector<uint8_t>& image, uint32_t offset);

// Checks the `size` collected reply bytes and unpacks them into `reply`: 0 when they pass (count,
// lengths and records written), RECORD_FORMAT_ERROR with a log line otherwise (reply untouched).
// Reads nothing outside collected[0, size) and writes nothing outside the reply's slots.
int32_t UnpackReply(const uint8_t* collected, int32_t size, RecordList& reply);

}  // namespace zolt
