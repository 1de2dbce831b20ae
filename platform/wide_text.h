// Wide text: UTF-16 code units, the one text type across the system. Window texts, status lines,
// log messages and the records sent to the update server are all defined on UTF-16 code units.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zolt {

using WideText = std::u16string;
using WideView = std::u16string_view;

// The program's version, shown in the window title and the log's start line and sent to the server.
inline constexpr char16_t VersionText[] = u"1.0.6";

// Widens 7-bit ASCII text (string literals, numbers); each byte becomes one code unit.
WideText WidenAscii(std::string_view text);

// UTF-8 for the console, Qt and file names. Unpaired surrogates become U+FFFD.
std::string ToUtf8(WideView text);

// UTF-8 into UTF-16. Each byte of a malformed or cut-off sequence becomes U+FFFD; no byte after
// it is lost.
WideText FromUtf8(std::string_view text);

// Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or code points past U+10FFFF).
bool IsValidUtf8(std::string_view text);

// Windows-1252 into UTF-16, one code unit per byte. The five bytes the code page leaves undefined
// (81, 8D, 8F, 90, 9D) become the C1 controls of the same value, as Windows maps them.
WideText FromWindows1252(std::string_view text);

}  // namespace zolt
