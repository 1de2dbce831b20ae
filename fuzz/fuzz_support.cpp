#include "fuzz/fuzz_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace zolt::fuzz {

QuietLog::QuietLog(bool keepMessages, std::vector<WideText> skipped)
    : keep_(keepMessages), skipped_(std::move(skipped)) {
    ProcessLog().SetSink(&discard_);
    if (keep_) {
        ProcessLog().SetObserver(this);  // without one, the messages are not even built
    }
}

QuietLog::~QuietLog() {
    ProcessLog().SetObserver(nullptr);
    ProcessLog().SetSink(nullptr);
}

void QuietLog::OnLogMessage(WideView message) {
    if (!keep_ || messages_.size() >= 4096) {
        return;
    }
    for (const auto& prefix : skipped_) {
        if (message.substr(0, prefix.size()) == prefix) {
            return;
        }
    }
    messages_.emplace_back(message);
}

const WideText* QuietLog::FirstStartingWith(WideView prefix) const {
    for (const auto& m : messages_) {
        if (WideView(m).substr(0, prefix.size()) == prefix) {
            return &m;
        }
    }
    return nullptr;
}

uint8_t InputReader::Byte() {
    return at_ < size_ ? data_[at_++] : 0;
}

uint16_t InputReader::Le16() {
    const uint16_t low = Byte();
    return static_cast<uint16_t>(low | (Byte() << 8));
}

uint32_t InputReader::Le32() {
    const uint32_t low = Le16();
    return low | (static_cast<uint32_t>(Le16()) << 16);
}

std::vector<uint8_t> InputReader::Bytes(std::size_t count) {
    const std::size_t n = std::min(count, size_ - at_);
    std::vector<uint8_t> out(data_ + at_, data_ + at_ + n);
    at_ += n;
    return out;
}

std::vector<uint8_t> InputReader::Rest() {
    return Bytes(size_ - at_);
}

void Broken(const std::string& what) {
    std::fprintf(stderr, "property broken: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace zolt::fuzz
