#include "log/log.h"

#include <cstdio>

#include "platform/log_location.h"

namespace zolt {

namespace {

constexpr char16_t FirstColumn[] = u"    -   ";
constexpr char16_t LongGapColumn[] = u"   --   ";
constexpr double LongGapSeconds = 10.0;

}  // namespace

WideText FormatTimestamp(const LocalTime& t) {
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
    static constexpr char16_t Digits[] = u"0123456789ABCDEF";
    WideText out;
    if (data == nullptr || length <= 0) {
        return out;
    }
    out.reserve(static_cast<std::size_t>(length) * 3);
    for (int32_t i = 0; i < length; ++i) {
        if (i > 0) {
            out.push_back(u' ');
        }
        out.push_back(Digits[data[i] >> 4]);
        out.push_back(Digits[data[i] & 0x0F]);
    }
    return out;
}

std::string EncodeLogText(WideView text) {
    std::string out;
    out.reserve(text.size() + 2);
    for (char16_t unit : text) {
        if (unit == u'\0') {
            break;
        }
        if (unit == u'\n') {
            out += "\r\n";
        } else if (unit <= 0xFF) {
            out.push_back(static_cast<char>(unit));
        } else {
            out.push_back('?');  // no byte for it in the one-byte encoding
        }
    }
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
    // Beside the executable when that place takes it; an installed program's directory does not,
    // and then the user's own state directory keeps the one record of what went wrong.
    WideText beside = LogPathBeside(system_->ExecutablePath());
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
    std::lock_guard lock(mutex_);

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

    const WideView shown = message.substr(0, message.find(u'\0'));
    if (observer_ != nullptr) {
        observer_->OnLogMessage(shown);
    }

    WideText line = u"[";
    line += FormatTimestamp(time_->LocalNow());
    line += u"|";
    line += column;
    line += u"]";
    line += shown;
    line += u"\n";
    AppendToFile(FilePathLocked(), EncodeLogText(line));  // a lost line is not reported
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

DiagnosticLog& ProcessLog() {
    static DiagnosticLog log(SystemPreciseTime(), HostSystemInfo());
    return log;
}

void WriteLog(WideView message) {
    ProcessLog().Write(message);
}

LogCapture::LogCapture() {
    ProcessLog().SetObserver(this);
}
LogCapture::~LogCapture() {
    ProcessLog().SetObserver(nullptr);
}

void LogCapture::OnLogMessage(WideView message) {
    std::lock_guard lock(mutex_);
    messages_.emplace_back(message);
}

std::vector<std::string> LogCapture::Lines() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    out.reserve(messages_.size());
    for (const auto& m : messages_) {
        out.push_back(ToUtf8(m));
    }
    return out;
}

void LogCapture::Clear() {
    std::lock_guard lock(mutex_);
    messages_.clear();
}

}  // namespace zolt
