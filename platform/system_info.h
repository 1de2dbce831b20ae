// What the program asks of the operating system about itself and the computer it runs on.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "platform/wide_text.h"

namespace zolt {

class SystemInfo {
  public:
    virtual ~SystemInfo() = default;
    // The running executable's full path, as the system reports it.
    virtual WideText ExecutablePath() = 0;
    // The computer's name, or nothing when it cannot be read.
    virtual std::optional<WideText> ComputerName() = 0;
};

SystemInfo& HostSystemInfo();

// Converts narrow text from outside (the server's text) to UTF-16. Reads at most `length` bytes and
// stops at the first zero byte. On Windows with the thread's ANSI code page; elsewhere, whatever
// the locale, as UTF-8 when the text is valid UTF-8 and otherwise byte by byte as Windows-1252.
// No byte is dropped.
WideText NarrowToWide(const char* text, std::size_t length);

// The separator after which the log file's name follows the executable's directory.
#ifdef _WIN32
inline constexpr char16_t PathSeparator = u'\\';
#else
inline constexpr char16_t PathSeparator = u'/';
#endif

// Appends bytes to a file, creating it when missing, and closes it again. Other processes may read
// and write the file meanwhile. Returns false when the file could not be opened or written;
// `opened`, when given, tells which: whether the file could be opened for appending.
bool AppendToFile(const WideText& path, const std::string& bytes, bool* opened = nullptr);

}  // namespace zolt
