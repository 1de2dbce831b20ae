// Reading the diagnostic log back: the file streamed in fixed-size pieces, each line taken apart
// into "[timestamp|elapsed]message". Memory stays bounded whatever the file holds: a line longer
// than the reader's limit keeps its first bytes only, and damage (a cut last line, bytes of
// another kind of file, lines without the line head) is counted rather than stored.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace zolt::logread {

enum class Elapsed {
    First,       // "    -   ": the first line the process wrote
    LongGap,     // "   --   ": more than ten seconds after the line before
    Seconds,     // a number of seconds
    Unreadable,  // anything else
};

struct LogLine {
    uint64_t number = 0;    // the physical line it starts on, from 1
    std::string timestamp;  // as written, "2026-12-11 13:05:02:047"
    bool timeValid = false;
    int64_t timeMs = 0;  // the timestamp in milliseconds since 1970-01-01 (local time)
    Elapsed elapsed = Elapsed::Unreadable;
    double seconds = 0;      // for Elapsed::Seconds
    std::string message;     // the stored bytes; a CR LF inside the message reads as LF
    bool truncated = false;  // longer than the reader's limit: only the first bytes are here
    uint64_t length = 0;     // the message's stored length, also when truncated
};

// Takes apart one physical line (its CR LF removed). False when it does not begin with the line
// head "[" timestamp "|" elapsed "]".
bool ParseLine(std::string_view physical, LogLine& line);

// Milliseconds since 1970-01-01 of "%4d-%.2d-%.2d %.2d:%.2d:%.2d:%.3d"; false when the text does
// not have that form or holds an impossible date or time.
bool ParseTimestamp(std::string_view text, int64_t& ms);

struct ReadProblems {
    uint64_t bytes = 0;  // read from the file
    uint64_t physicalLines = 0;
    uint64_t malformedLines = 0;  // no line head and not a continuation of a message
    uint64_t firstMalformedLine = 0;
    uint64_t truncatedLines = 0;  // longer than the limit
    uint64_t longestLine = 0;     // in bytes
    uint64_t longestLineNumber = 0;
    bool cutAtEnd = false;  // the last line has no line break: the file ends inside it
    bool readError = false;
    uint64_t goodLines = 0;  // lines with a line head
};

class LineReader {
  public:
    static constexpr std::size_t DefaultLineLimit = 64 * 1024;

    // Reads `file` (not closed here) from its current position.
    explicit LineReader(std::FILE* file, std::size_t lineLimit = DefaultLineLimit);

    // The next line with a line head, continuation lines of its message joined to it; false at
    // the end of the file.
    bool Next(LogLine& line);
    const ReadProblems& Problems() const { return problems_; }

  private:
    // The next physical line into `physical_` (at most the limit kept); false at the end.
    bool NextPhysical();
    bool FillBuffer();

    std::FILE* file_;
    std::size_t limit_;
    std::vector<char> buffer_;
    std::size_t at_ = 0, end_ = 0;
    bool eof_ = false;
    std::string physical_;
    uint64_t physicalLength_ = 0;  // including what the limit dropped
    bool physicalEnded_ = false;   // ended by a line feed
    bool havePending_ = false;
    LogLine pending_;
    ReadProblems problems_;
};

// Bytes in hexadecimal pairs separated by single blanks, "0A 04"; false at anything else. Stops
// quietly after `most` bytes.
bool ParseHexBytes(std::string_view text, std::vector<uint8_t>& bytes, std::size_t most = 1 << 20);

}  // namespace zolt::logread
