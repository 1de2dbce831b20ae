#include "logread/log_lines.h"

#include <algorithm>
#include <cstring>

namespace zolt::logread {

namespace {

constexpr std::size_t ChunkSize = 64 * 1024;
constexpr std::size_t MaxTimestamp = 40;  // a wider field is not a timestamp
constexpr std::size_t MaxColumn = 16;

bool Digits(std::string_view text, std::size_t from, std::size_t count, int& value) {
    if (from + count > text.size()) {
        return false;
    }
    value = 0;
    for (std::size_t i = from; i < from + count; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    return true;
}

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

// "%f" of a value from 0 to about 10: digits, a point (or a comma), digits.
bool ParseSeconds(std::string_view text, double& seconds) {
    while (!text.empty() && text.front() == ' ') {
        text.remove_prefix(1);
    }
    while (!text.empty() && text.back() == ' ') {
        text.remove_suffix(1);
    }
    if (text.empty() || text.size() > 12) {
        return false;
    }
    double whole = 0, fraction = 0, scale = 1;
    bool point = false, anyDigit = false;
    for (const char c : text) {
        if (c >= '0' && c <= '9') {
            anyDigit = true;
            if (point) {
                scale /= 10;
                fraction += (c - '0') * scale;
            } else {
                whole = whole * 10 + (c - '0');
            }
        } else if ((c == '.' || c == ',') && !point) {
            point = true;
        } else {
            return false;
        }
    }
    seconds = whole + fraction;
    return anyDigit;
}

// Text of a message continued on the next physical line: no control bytes but the tab.
bool LooksLikeText(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b == '\t' || (b >= 0x20 && b != 0x7F);
    });
}

}  // namespace

bool ParseTimestamp(std::string_view text, int64_t& ms) {
    // The year is "%4d": blanks before a shorter year, more digits for a longer one.
    const std::size_t dash = text.find('-');
    if (dash == std::string_view::npos || dash == 0 || dash > 6) {
        return false;
    }
    int64_t year = 0;
    bool digit = false;
    for (std::size_t i = 0; i < dash; ++i) {
        const char c = text[i];
        if (c == ' ' && !digit) {
            continue;
        }
        if (c < '0' || c > '9') {
            return false;
        }
        digit = true;
        year = year * 10 + (c - '0');
    }
    const std::string_view rest = text.substr(dash);
    // "-MM-DD HH:MM:SS:mmm"
    if (!digit || rest.size() != 19 || rest[0] != '-' || rest[3] != '-' || rest[6] != ' ' ||
        rest[9] != ':' || rest[12] != ':' || rest[15] != ':') {
        return false;
    }
    int month = 0, day = 0, hour = 0, minute = 0, second = 0, milli = 0;
    if (!Digits(rest, 1, 2, month) || !Digits(rest, 4, 2, day) || !Digits(rest, 7, 2, hour) ||
        !Digits(rest, 10, 2, minute) || !Digits(rest, 13, 2, second) ||
        !Digits(rest, 16, 3, milli)) {
        return false;
    }
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
        return false;
    }
    const int64_t days =
        DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
    ms = ((days * 24 + hour) * 60 + minute) * 60'000 + int64_t{second} * 1000 + milli;
    return true;
}

bool ParseLine(std::string_view physical, LogLine& line) {
    if (physical.empty() || physical[0] != '[') {
        return false;
    }
    const std::size_t bar = physical.find('|', 1);
    if (bar == std::string_view::npos || bar - 1 > MaxTimestamp) {
        return false;
    }
    const std::size_t close = physical.find(']', bar + 1);
    if (close == std::string_view::npos || close - bar - 1 > MaxColumn) {
        return false;
    }
    const std::string_view stamp = physical.substr(1, bar - 1);
    int64_t ms = 0;
    if (!ParseTimestamp(stamp, ms)) {
        return false;
    }
    line.timestamp.assign(stamp);
    line.timeValid = true;
    line.timeMs = ms;

    const std::string_view column = physical.substr(bar + 1, close - bar - 1);
    line.seconds = 0;
    if (column == "    -   ") {
        line.elapsed = Elapsed::First;
    } else if (column == "   --   ") {
        line.elapsed = Elapsed::LongGap;
    } else if (ParseSeconds(column, line.seconds)) {
        line.elapsed = Elapsed::Seconds;
    } else {
        line.elapsed = Elapsed::Unreadable;
    }
    line.message.assign(physical.substr(close + 1));
    line.length = line.message.size();
    line.truncated = false;
    return true;
}

bool ParseHexBytes(std::string_view text, std::vector<uint8_t>& bytes, std::size_t most) {
    bytes.clear();
    const auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'A' && c <= 'F') {
            return c - 'A' + 10;
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        return -1;
    };
    std::size_t i = 0;
    while (i < text.size()) {
        if (i > 0) {
            if (text[i] != ' ') {
                return false;
            }
            ++i;
        }
        if (i + 2 > text.size()) {
            return false;
        }
        const int high = nibble(text[i]), low = nibble(text[i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        if (bytes.size() < most) {
            bytes.push_back(static_cast<uint8_t>(high * 16 + low));
        }
        i += 2;
    }
    return true;
}

LineReader::LineReader(std::FILE* file, std::size_t lineLimit)
    : file_(file), limit_(std::max<std::size_t>(lineLimit, 64)), buffer_(ChunkSize) {}

bool LineReader::FillBuffer() {
    if (eof_ || file_ == nullptr) {
        return false;
    }
    const std::size_t n = std::fread(buffer_.data(), 1, buffer_.size(), file_);
    if (n == 0) {
        eof_ = true;
        if (std::ferror(file_) != 0) {
            problems_.readError = true;
        }
        return false;
    }
    problems_.bytes += n;
    at_ = 0;
    end_ = n;
    return true;
}

bool LineReader::NextPhysical() {
    physical_.clear();
    physicalLength_ = 0;
    physicalEnded_ = false;
    bool any = false;
    for (;;) {
        if (at_ == end_ && !FillBuffer()) {
            break;
        }
        any = true;
        const char* start = buffer_.data() + at_;
        const void* lf = std::memchr(start, '\n', end_ - at_);
        const std::size_t take =
            lf != nullptr ? static_cast<std::size_t>(static_cast<const char*>(lf) - start)
                          : end_ - at_;
        const std::size_t room = limit_ + 1 - std::min(limit_ + 1, physical_.size());
        physical_.append(start, std::min(take, room));  // one byte over: the CR may follow
        physicalLength_ += take;
        at_ += take;
        if (lf != nullptr) {
            ++at_;
            physicalEnded_ = true;
            break;
        }
    }
    if (!any) {
        return false;
    }
    if (physicalEnded_ && physicalLength_ > 0 && physicalLength_ <= physical_.size() &&
        physical_.back() == '\r') {
        physical_.pop_back();
        --physicalLength_;
    } else if (physicalEnded_ && physicalLength_ > physical_.size()) {
        --physicalLength_;  // the CR that the limit dropped
    }
    if (physical_.size() > limit_) {
        physical_.resize(limit_);
    }
    ++problems_.physicalLines;
    if (physicalLength_ > problems_.longestLine) {
        problems_.longestLine = physicalLength_;
        problems_.longestLineNumber = problems_.physicalLines;
    }
    if (physicalLength_ > limit_) {
        ++problems_.truncatedLines;
    }
    if (!physicalEnded_) {
        problems_.cutAtEnd = true;
    }
    return true;
}

bool LineReader::Next(LogLine& line) {
    while (NextPhysical()) {
        LogLine parsed;
        if (ParseLine(physical_, parsed)) {
            parsed.number = problems_.physicalLines;
            parsed.length = physicalLength_ - (physical_.size() - parsed.message.size());
            parsed.truncated = physicalLength_ > physical_.size();
            ++problems_.goodLines;
            if (havePending_) {
                line = std::move(pending_);
                pending_ = std::move(parsed);
                return true;
            }
            pending_ = std::move(parsed);
            havePending_ = true;
            continue;
        }
        // A message that held a line feed goes on here.
        if (havePending_ && LooksLikeText(physical_)) {
            pending_.message.push_back('\n');
            pending_.length += 1 + physicalLength_;
            const std::size_t room = limit_ - std::min(limit_, pending_.message.size());
            if (physical_.size() > room || physicalLength_ > physical_.size()) {
                pending_.truncated = true;
            }
            pending_.message.append(physical_, 0, std::min(room, physical_.size()));
            continue;
        }
        ++problems_.malformedLines;
        if (problems_.firstMalformedLine == 0) {
            problems_.firstMalformedLine = problems_.physicalLines;
        }
    }
    if (havePending_) {
        line = std::move(pending_);
        havePending_ = false;
        return true;
    }
    return false;
}

}  // namespace zolt::logread
