// The diagnostic log: one text file, "log.bin", beside the executable (or, when that directory
// cannot take it or is a system program folder, in the user's state directory). Every call appends
// exactly one line "[timestamp|elapsed]message" ended by CR LF, and closes the file again, so a
// crash loses no line already written. Failures to write are silent: the log never disturbs the
// caller.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "platform/precise_time.h"
#include "platform/system_info.h"
#include "platform/wide_text.h"

namespace zolt {

void WriteLog(WideView message);
// The same line as WriteLog(prefix + BytesToHex(data, length)), with the dump laid out straight
// in the line's bytes rather than built as text first: the transfers' dumps are the longest lines.
void WriteLogDump(WideView prefix, const uint8_t* data, int32_t length);

// Local time as "%4d-%.2d-%.2d %.2d:%.2d:%.2d:%.3d".
WideText FormatTimestamp();
WideText FormatTimestamp(const LocalTime& time);

// "%d".
WideText IntToText(int32_t value);

// Each byte as "%02X", one space between bytes. A length of 0 or less gives empty text.
WideText BytesToHex(const uint8_t* data, int32_t length);

// The one-byte file encoding of a message: code units up to U+00FF as that byte, any other as '?',
// each line feed as CR LF. Stops at the first NUL.
std::string EncodeLogText(WideView text);

// The log file beside an executable: its path cut after the last separator, then "log.bin"; the
// name alone when the path has no separator.
WideText LogPathBeside(WideView executablePath);

// Receives every message the log writes, in order, whether or not the file could be written.
class LogObserver {
  public:
    virtual ~LogObserver() = default;
    virtual void OnLogMessage(WideView message) = 0;
};

// Where the log's finished lines go instead of the file; for tests and fuzzers.
class LogSink {
  public:
    virtual ~LogSink() = default;
    // False: the sink wants no lines, so none are laid out (the observer still hears every
    // message).
    virtual bool TakesLines() const { return true; }
    // One whole line, CR LF included.
    virtual void Append(const std::string& line) = 0;
};

// Drops every line: nothing is laid out, no file is opened.
class DiscardingLogSink final : public LogSink {
  public:
    bool TakesLines() const override { return false; }
    void Append(const std::string&) override {}
};

// The process-wide log state. One lock around every write keeps lines from interleaving and
// keeps every update of the previous counter reading.
class DiagnosticLog {
  public:
    DiagnosticLog(PreciseTime& time, SystemInfo& system) : time_(&time), system_(&system) {}

    void Write(WideView message);
    // Write(prefix + BytesToHex(data, length)), without building that text.
    void WriteDump(WideView prefix, const uint8_t* data, int32_t length);
    // Where the next line goes; empty when there is no place for it.
    WideText FilePath();

    // Test seams: another time source, another directory, a fresh first line, an observer.
    void SetPreciseTime(PreciseTime& time);
    void SetSystemInfo(SystemInfo& system);
    void SetDirectoryOverride(std::optional<WideText> directory);
    void ResetElapsed();
    void SetObserver(LogObserver* observer);
    // Lines go to `sink` instead of the file; nullptr: to the file again.
    void SetSink(LogSink* sink);

  private:
    WideText FilePathLocked();
    void AppendLocked(const std::string& line);
    // One line: `message` up to its first NUL, then (when the message has none) the dump.
    void WriteLine(WideView message, const uint8_t* dump, int32_t dumpLength);

    std::mutex mutex_;
    PreciseTime* time_;
    SystemInfo* system_;
    std::optional<WideText> directory_;
    LogObserver* observer_ = nullptr;
    LogSink* sink_ = nullptr;
    int64_t frequency_ = 0;
    int64_t previous_ = 0;  // zero until the first line
};

DiagnosticLog& ProcessLog();

}  // namespace zolt
