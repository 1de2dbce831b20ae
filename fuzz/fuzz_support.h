// Helpers shared by the fuzzers: a log that keeps the messages of one input in memory and writes
// no file, a reader over the input bytes, and a stop that reports a broken property.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "log/log.h"

namespace zolt::fuzz {

// Sends the process log's lines to a sink that drops them without laying them out or opening a
// file, and, when asked, keeps the messages of the current input. One per process.
class QuietLog final : public LogObserver {
  public:
    // Messages that start with one of `skipped` are not kept (long runs of receive lines).
    explicit QuietLog(bool keepMessages = false, std::vector<WideText> skipped = {});
    ~QuietLog() override;
    void OnLogMessage(WideView message) override;
    void Clear() { messages_.clear(); }
    const std::vector<WideText>& Messages() const { return messages_; }
    // The first message that starts with `prefix`, or nullptr.
    const WideText* FirstStartingWith(WideView prefix) const;

  private:
    bool keep_;
    std::vector<WideText> skipped_;
    DiscardingLogSink discard_;
    std::vector<WideText> messages_;
};

// Reads the leading fields of an input; past the end every field reads 0.
class InputReader {
  public:
    InputReader(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    uint8_t Byte();
    uint16_t Le16();
    uint32_t Le32();
    // Up to `count` bytes (fewer at the end of the input).
    std::vector<uint8_t> Bytes(std::size_t count);
    // Everything not read yet.
    std::vector<uint8_t> Rest();
    std::size_t Left() const { return size_ - at_; }

  private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// Reports the broken property and aborts, so that libFuzzer keeps the input.
[[noreturn]] void Broken(const std::string& what);
inline void Check(bool condition, const char* what) {
    if (!condition) {
        Broken(what);
    }
}

}  // namespace zolt::fuzz
