// Explains the diagnostic log run by run. The log is cut into runs at each start line (and at the
// first line of a procedure that follows a finished one); each run's transfers are put back
// together into what the procedure did: the reset sequences and their answers, the chip
// identifiers and information records, the server transactions and exchanges, the firmware
// blocks and their answers. From that follow the procedure, its outcome and, for a failure, the
// step and the reason in words. Everything a run keeps is bounded, so a log of any size streams.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "logread/log_events.h"
#include "logread/log_lines.h"

namespace zolt::logread {

enum class Procedure { Unknown, Update, DeviceInfo };
enum class Outcome {
    Succeeded,       // the update (both parts, or the st part alone) or the information request
    Failed,          // the procedure ended with a failure
    DeviceNotFound,  // nothing logged after the start line
    Unfinished,      // the run stops before the procedure's end (program ended, log cut)
};

// Where the transfers of a run went, in the order the procedure reaches them.
enum class PartName { St, J2534 };

struct ResetReport {
    std::string code;  // "1A", "2B", "00"
    bool answered = false;
    std::string problem;   // why not, in words; empty when answered
    double atSeconds = 0;  // since the run's first line
    uint64_t line = 0;
};

struct IdentityReport {
    PartName part = PartName::St;
    bool chipId = true;  // else the information block
    bool ok = false;
    std::string problem;
    std::vector<uint8_t> data;  // the chip identifier (8 bytes) or the information's data
    uint64_t line = 0;
};

struct TransactionReport {
    std::string address;      // "Host ip : " text, empty when not reached
    int64_t bytes = 0;        // "Total length" at its end
    int chunks = 0;           // "Bytes received" lines
    int32_t result = 0;       // 0, 10752, 11001 or -1
    std::string end;          // how it ended, in words
    int32_t socketError = 0;  // the Windows Sockets code it ended with, 0 none
    uint64_t line = 0;
};

struct ExchangeReport {
    std::vector<TransactionReport> transactions;  // the first 32
    int transactionCount = 0;
    int resumes = 0;  // "re " lines
    int64_t collected = 0;
    bool ok = false;      // the reply passed the program's checks
    std::string refusal;  // the check that refused the reply ("=SRE002=100,99"), or empty
    std::string problem;  // why it failed, in words
    uint64_t line = 0;
};

struct BlockLoopReport {
    PartName part = PartName::St;
    int written = 0;
    int accepted = 0;
    bool failed = false;
    std::string problem;            // the answer that stopped the loop, in words
    std::string rejectedAnswer;     // its bytes in hexadecimal
    std::optional<int> blockCount;  // how many the server sent, when the log tells
    double slowestAnswer = 0;       // seconds from a block's write to its whole answer
    int slowestBlock = 0;           // 1-based
    double seconds = 0;             // from the first block's write to the last answer
    uint64_t lineBytes = 0;         // bytes written and read in the loop
    // The time the loop's bytes take at 115,200 baud 8N1 over the time the loop took.
    double lineRateFraction = 0;
};

struct PauseReport {
    double seconds = 0;
    std::string before;  // the line the pause ended at, shortened
    uint64_t line = 0;
};

struct RunReport {
    int index = 0;  // from 1
    uint64_t firstLine = 0, lastLine = 0;
    std::string startedAt;   // the first line's timestamp
    bool startLine = false;  // the run begins with the program's start line
    std::string version;     // from the start line
    Procedure procedure = Procedure::Unknown;
    Outcome outcome = Outcome::Unfinished;
    std::string step;     // the step that failed, in words
    std::string reason;   // the reason, in words
    bool stOnly = false;  // an update that ended after the st part

    std::optional<double> deviceFoundAfter;  // seconds from the start line to the first reset
    std::vector<ResetReport> resets;
    std::vector<IdentityReport> identities;
    std::vector<ExchangeReport> exchanges;
    std::vector<BlockLoopReport> blockLoops;
    std::vector<PauseReport> pauses;  // the longest ten, in log order
    double totalSeconds = 0;
    std::vector<std::string> notes;  // lines the explainer did not expect, and other remarks
    uint64_t lines = 0;
};

// What was wrong with the file as a whole.
struct FileReport {
    ReadProblems read;
    bool notALog = false;  // no line of it has the log's line head
    int runs = 0;
};

// Reads the log from `file` and hands each run to `onRun` as soon as it is complete.
FileReport ExplainLog(std::FILE* file, const std::function<void(const RunReport&)>& onRun,
                      std::size_t lineLimit = LineReader::DefaultLineLimit);

// "#3  2026-12-11 13:05  Update  failed: the interface rejected block 17 of 24 ..."
std::string SummaryLine(const RunReport& run);
// The run in detail, several lines.
std::string DetailText(const RunReport& run);
// The run as one JSON object.
std::string RunJson(const RunReport& run);
// Remarks on the file as a whole (damage, a cut line, not a log); empty when there are none.
std::vector<std::string> FileRemarks(const FileReport& file);
std::string FileJson(const FileReport& file);

// Text as a JSON string; the log's bytes read as ISO 8859-1.
std::string JsonString(const std::string& text);

const char* ProcedureName(Procedure procedure);
const char* PartText(PartName part);

}  // namespace zolt::logread
