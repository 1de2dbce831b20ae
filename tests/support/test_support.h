// Helpers shared by the test programs.
#pragma once

#include <filesystem>
#include <string>

#include "log/log.h"

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
