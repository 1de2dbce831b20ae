#include "cli/console_text.h"

#include <cstdio>

namespace zolt {

std::string TerminalSafe(WideView text) {
    WideText kept;
    std::string out;
    const auto flush = [&] {
        out += ToUtf8(kept);
        kept.clear();
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') {
            continue;  // a CR LF line end is a line end; only a lone CR could overwrite a line
        }
        const bool control = (c < 0x20 && c != u'\n' && c != u'\t') || (c >= 0x7F && c <= 0x9F);
        if (!control && c != u'\\') {
            kept.push_back(c);
            continue;
        }
        flush();
        if (c == u'\\') {
            out += "\\\\";
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(c));
            out += escaped;
        }
    }
    flush();
    return out;
}

}  // namespace zolt
