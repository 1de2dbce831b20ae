#include "log/log.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/log_location.h"

namespace zolt {

namespace {

constexpr char16_t FirstColumn[] = u"    -   ";
constexpr char16_t LongGapColumn[] = u"   --   ";
constexpr double LongGapSeconds = 10.0;

// Appends the one-byte encoding of `text` up to its first NUL (see EncodeLogText) and returns
// the number of code units taken. One pass; the room is made once, plus a byte per line feed.
std::size_t AppendLogText(std::string& out, WideView text) {
    const std::size_t start = out.size();
    out.resize(start + text.size());
    char* p = out.data() + start;  // a local pointer: the stores below cannot move it
    std::size_t at = 0;
    std::size_t i = 0;
    for (; i < text.size(); ++i) {
        const char16_t unit = text[i];
        if (unit == u'\0') {
            break;
        }
        if (unit == u'\n') {
            out.resize(out.size() + 1);
            p = out.data() + start;
            p[at++] = '\r';
            p[at++] = '\n';
        } else {
            // No byte for a code unit above U+00FF in the one-byte encoding.
            p[at++] = unit <= 0xFF ? static_cast<char>(unit) : '?';
        }
    }
    out.resize(start + at);
    return i;
}

// " XY" for every byte value: the cells a dump is laid out from, as text and as bytes.
struct HexCells {
    char16_t text[256][3];
    char bytes[256][3];
    constexpr HexCells() : text(), bytes() {
        constexpr char Digits[] = "0123456789ABCDEF";
        for (int b = 0; b < 256; ++b) {
            const char cell[3] = {' ', Digits[b >> 4], Digits[b & 0x0F]};
            for (int k = 0; k < 3; ++k) {
                bytes[b][k] = cell[k];
                text[b][k] = static_cast<char16_t>(cell[k]);
            }
        }
    }
};
constexpr HexCells Hex;

// Appends the dump of `length` bytes: "XY" per byte, one blank between bytes.
void AppendHexBytes(std::string& out, const uint8_t* data, std::size_t length) {
    if (length == 0) {
        return;
    }
    const std::size_t start = out.size();
    out.resize(start + length * 3 - 1);
    char* p = out.data() + start;
    std::memcpy(p, Hex.bytes[data[0]] + 1, 2);  // the first cell has no blank before it
    for (std::size_t i = 1; i < length; ++i) {
        std::memcpy(p + 3 * i - 1, Hex.bytes[data[i]], 3);
    }
}

// Two digits of `value` (0 to 99) at `p`.
void PutTwoDigits(char16_t* p, int value) {
    p[0] = static_cast<char16_t>(u'0' + value / 10);
    p[1] = static_cast<char16_t>(u'0' + value % 10);
}

}  // namespace

WideText FormatTimestamp(const LocalTime& t) {
    const auto within = [](int value, int most) { return value >= 0 && value <= most; };
    if (within(t.year, 9999) && within(t.month, 99) && within(t.day, 99) && within(t.hour, 99) &&
        within(t.minute, 99) && within(t.second, 99) && within(t.millisecond, 999)) {
        // The common case, laid out by hand exactly as the pattern below would.
        WideText out = u"0000-00-00 00:00:00:000";
        char16_t* p = out.data();
        int year = t.year;
        for (int i = 3; i >= 0; --i) {
            p[i] = static_cast<char16_t>(u'0' + year % 10);
            year /= 10;
        }
        for (int i = 0; i < 3 && p[i] == u'0'; ++i) {
            p[i] = u' ';  // %4d pads with blanks
        }
        PutTwoDigits(p + 5, t.month);
        PutTwoDigits(p + 8, t.day);
        PutTwoDigits(p + 11, t.hour);
        PutTwoDigits(p + 14, t.minute);
        PutTwoDigits(p + 17, t.second);
        p[20] = static_cast<char16_t>(u'0' + t.millisecond / 100);
        PutTwoDigits(p + 21, t.millisecond % 100);
        return out;
    }
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%4d-%.2d-%.2d %.2d:%.2d:%.2d:%.3d", t.year, t.month,
                  t.day, t.hour, t.minute, t.second, t.millisecond);
    return WidenAscii(buffer);
}

WideText FormatTimestamp() {
    return FormatTimestamp(SystemPreciseTime().LocalNow());
}

WideText IntToText(int32_t value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%d", static_cast<int>(value));
    return WidenAscii(buffer);
}

WideText BytesToHex(const uint8_t* data, int32_t length) {
    WideText out;
    if (data == nullptr || length <= 0) {
        return out;
    }
    const auto count = static_cast<std::size_t>(length);
    out.reserve(count * 3);
    // Laid out in a small buffer and appended in pieces: no per-unit growth checks.
    constexpr std::size_t PieceBytes = 256;
    char16_t piece[PieceBytes * 3];
    for (std::size_t done = 0; done < count;) {
        const std::size_t n = std::min(PieceBytes, count - done);
        for (std::size_t i = 0; i < n; ++i) {
            std::memcpy(piece + 3 * i, Hex.text[data[done + i]], sizeof Hex.text[0]);
        }
        // Each cell is " XY"; the dump starts without the blank.
        const std::size_t skip = done == 0 ? 1 : 0;
        out.append(piece + skip, n * 3 - skip);
        done += n;
    }
    return out;
}

std::string EncodeLogText(WideView text) {
    std::string out;
    AppendLogText(out, text);
    return out;
}

WideText LogPathBeside(WideView executablePath) {
    const auto cut = executablePath.rfind(PathSeparator);
    if (cut == WideView::npos) {
        return u"log.bin";
    }
    WideText path(executablePath.substr(0, cut + 1));
    path += u"log.bin";
    return path;
}

WideText DiagnosticLog::FilePathLocked() {
    if (directory_) {
        WideText dir = *directory_;
        if (!dir.empty() && dir.back() != PathSeparator) {
            dir.push_back(PathSeparator);
        }
        return dir + u"log.bin";
    }
    // Beside the executable when that place takes it, but never in the system's program folders,
    // even for the superuser: there the user's own state directory keeps the record. Empty when
    // there is no place at all.
    const WideText executable = system_->ExecutablePath();
    if (InSystemProgramFolder(executable)) {
        auto dir = UserLogDirectory();
        return dir ? *dir + u"log.bin" : WideText();
    }
    WideText beside = LogPathBeside(executable);
    if (!CanAppendTo(beside)) {
        if (auto dir = UserLogDirectory()) {
            return *dir + u"log.bin";
        }
    }
    return beside;
}

WideText DiagnosticLog::FilePath() {
    std::lock_guard lock(mutex_);
    return FilePathLocked();
}

void DiagnosticLog::Write(WideView message) {
    WriteLine(message, nullptr, 0);
}

void DiagnosticLog::WriteDump(WideView prefix, const uint8_t* data, int32_t length) {
    WriteLine(prefix, data, length);
}

void DiagnosticLog::WriteLine(WideView message, const uint8_t* dump, int32_t dumpLength) {
    std::lock_guard lock(mutex_);

    if (sink_ != nullptr && !sink_->TakesLines()) {
        if (observer_ != nullptr) {
            WideText shown(message.substr(0, message.find(u'\0')));
            if (shown.size() == message.size()) {
                shown += BytesToHex(dump, dumpLength);
            }
            observer_->OnLogMessage(shown);
        }
        // The counter moves on as if the line had been written.
        if (previous_ == 0) {
            frequency_ = time_->CounterFrequency();
        }
        previous_ = time_->CounterValue();
        return;
    }

    WideText column;
    if (previous_ == 0) {
        frequency_ = time_->CounterFrequency();
        previous_ = time_->CounterValue();
        column = FirstColumn;
    } else {
        const int64_t now = time_->CounterValue();
        const double seconds =
            frequency_ > 0 ? static_cast<double>(now - previous_) / static_cast<double>(frequency_)
                           : 0.0;
        if (seconds > LongGapSeconds) {
            column = LongGapColumn;
        } else {
            char buffer[64];
            std::snprintf(buffer, sizeof buffer, "%f", seconds);
            column = WidenAscii(buffer);
        }
        previous_ = now;
    }

    // "[timestamp|elapsed]message" and the line end, encoded piece by piece straight into the
    // bytes that go to the file. The message ends at its first NUL, and then so does the line.
    const WideText timestamp = FormatTimestamp(time_->LocalNow());
    const std::size_t dumpBytes =
        dump != nullptr && dumpLength > 0 ? static_cast<std::size_t>(dumpLength) : 0;
    std::string line;
    line.reserve(timestamp.size() + column.size() + message.size() + 3 * dumpBytes + 8);
    line += '[';
    AppendLogText(line, timestamp);
    line += '|';
    AppendLogText(line, column);
    line += ']';
    const std::size_t taken = AppendLogText(line, message);
    const bool whole = taken == message.size();
    if (whole) {
        AppendHexBytes(line, dump, dumpBytes);
    }
    line += "\r\n";
    if (observer_ != nullptr) {
        WideText shown(message.substr(0, taken));
        if (whole) {
            shown += BytesToHex(dump, dumpLength);
        }
        observer_->OnLogMessage(shown);
    }
    AppendLocked(line);  // a lost line is not reported
}

void DiagnosticLog::AppendLocked(const std::string& line) {
    if (sink_ != nullptr) {
        sink_->Append(line);
        return;
    }
    if (directory_) {
        AppendToFile(FilePathLocked(), line);
        return;
    }
    // The place FilePathLocked() names, found by trying it: beside the executable, unless it
    // lies in a system program folder or the file there cannot be opened for appending. So the
    // usual line asks nothing before it is written; a line that could not be written where the
    // file opened is lost, as anywhere.
    const WideText executable = system_->ExecutablePath();
    if (!InSystemProgramFolder(executable)) {
        bool opened = false;
        if (AppendToFile(LogPathBeside(executable), line, &opened) || opened) {
            return;
        }
    }
    if (auto dir = UserLogDirectory()) {
        AppendToFile(*dir + u"log.bin", line);
    }
}

void DiagnosticLog::SetPreciseTime(PreciseTime& time) {
    std::lock_guard lock(mutex_);
    time_ = &time;
}

void DiagnosticLog::SetSystemInfo(SystemInfo& system) {
    std::lock_guard lock(mutex_);
    system_ = &system;
}

void DiagnosticLog::SetDirectoryOverride(std::optional<WideText> directory) {
    std::lock_guard lock(mutex_);
    directory_ = std::move(directory);
}

void DiagnosticLog::ResetElapsed() {
    std::lock_guard lock(mutex_);
    previous_ = 0;
    frequency_ = 0;
}

void DiagnosticLog::SetObserver(LogObserver* observer) {
    std::lock_guard lock(mutex_);
    observer_ = observer;
}

void DiagnosticLog::SetSink(LogSink* sink) {
    std::lock_guard lock(mutex_);
    sink_ = sink;
}

DiagnosticLog& ProcessLog() {
    static DiagnosticLog log(SystemPreciseTime(), HostSystemInfo());
    return log;
}

void WriteLog(WideView message) {
    ProcessLog().Write(message);
}

void WriteLogDump(WideView prefix, const uint8_t* data, int32_t length) {
    ProcessLog().WriteDump(prefix, data, length);
}

}  // namespace zolt
