// The lines of the diagnostic log sorted by what they record: the start line, the reset banners
// and their steps, the transfers with their bytes, and the server transaction's and exchange's
// steps and failures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "logread/log_lines.h"

namespace zolt::logread {

enum class Kind {
    Start,
    Reset,  // a banner; `text` holds the code
    Open1,
    Open2,
    OpenFailed,
    Fail00,
    Fail00Second,
    Write,
    Read,
    HostIp,
    HostNotFound,
    NoData,
    LookupFailed,
    StartupFailed,
    SocketFailed,
    ConnectFailed,
    SendFailed,
    ShutdownFailed,
    RecvStart,
    BytesReceived,
    TotalLength,
    ConnectionClosed,
    RecvFailed,
    TransactionTooLarge,
    Resume,
    FormatError,  // `text` "=SRE00n=", numbers in a, b
    ExchangeTooLarge,
    NoMemory,
    DriverNote,  // what the driver layer says of a failed open, "libftdi1: ..."
    Other,
};

struct Event {  // one line, sorted
    Kind kind = Kind::Other;
    std::string text;
    std::vector<uint8_t> bytes;
    int64_t a = 0, b = 0;
    bool hasB = false;
    bool bytesCut = false;  // the hexadecimal was cut with its line
};

// What one line records. Transfers carry their bytes (a dump cut with its line keeps its whole
// bytes); numbered lines their numbers.
Event Classify(const LogLine& line);

}  // namespace zolt::logread
