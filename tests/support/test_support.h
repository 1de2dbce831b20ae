// Helpers shared by the test programs: the log captured or pointed at a temporary directory, a
// tone that only records, temporary directories.
#pragma once

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "log/log.h"
#include "platform/tone.h"

namespace zolt {

// Collects the messages written while it lives; for tests. One at a time.
class LogCapture final : public LogObserver {
  public:
    LogCapture();
    ~LogCapture() override;
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    void OnLogMessage(WideView message) override;
    std::vector<std::string> Lines() const;  // UTF-8, for readable assertions
    void Clear();

  private:
    mutable std::mutex mutex_;
    std::vector<WideText> messages_;
};

// No sound; records what was asked, for tests.
class RecordingTone final : public Tone {
  public:
    struct Played {
        uint32_t frequencyHz;
        uint32_t durationMs;
    };
    std::vector<Played> played;
    void Beep(uint32_t frequencyHz, uint32_t durationMs) override {
        played.push_back({frequencyHz, durationMs});
    }
};

}  // namespace zolt

namespace zolt::testing {

// A fresh directory under the system's temporary directory, removed again at the end.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Points the process log at a temporary directory with a virtual time source and a fresh first
// line, for the life of the object; restores the real setup afterwards.
class ScopedTestLog {
  public:
    ScopedTestLog();
    ~ScopedTestLog();
    ScopedTestLog(const ScopedTestLog&) = delete;
    ScopedTestLog& operator=(const ScopedTestLog&) = delete;

    std::filesystem::path file() const { return dir_.path() / "log.bin"; }
    std::string Contents() const;  // the raw bytes of log.bin, empty when missing
    VirtualPreciseTime& time() { return time_; }

  private:
    TempDir dir_;
    VirtualPreciseTime time_;
};

std::string ReadFile(const std::filesystem::path& path);

}  // namespace zolt::testing
