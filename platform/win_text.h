// Between the system's wide text (wchar_t, UTF-16 on Windows) and ours (char16_t). The two are
// different types of the same width, so the text is copied rather than reinterpreted.
#pragma once

#include <cstddef>
#include <string>

#include "platform/wide_text.h"

namespace zolt {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide text is UTF-16");

inline std::wstring ToSystemWide(WideView text) {
    return std::wstring(text.begin(), text.end());
}

inline WideText FromSystemWide(const wchar_t* text, std::size_t length) {
    WideText out;
    out.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
        out.push_back(static_cast<char16_t>(text[i]));
    }
    return out;
}

}  // namespace zolt
