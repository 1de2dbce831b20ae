#include "tests/support/test_support.h"

#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>

namespace zolt {

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

namespace zolt::testing {

TempDir::TempDir() {
    static std::atomic<int> counter{0};
    path_ = std::filesystem::temp_directory_path() /
            ("zolt-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

ScopedTestLog::ScopedTestLog() {
    auto& log = ProcessLog();
    log.SetPreciseTime(time_);
    log.SetDirectoryOverride(dir_.path().u16string());
    log.ResetElapsed();
}

ScopedTestLog::~ScopedTestLog() {
    auto& log = ProcessLog();
    log.SetPreciseTime(SystemPreciseTime());
    log.SetDirectoryOverride(std::nullopt);
    log.ResetElapsed();
}

std::string ScopedTestLog::Contents() const {
    return ReadFile(file());
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

}  // namespace zolt::testing
