// Text from the server or the device made safe for a terminal.
#pragma once

#include <string>

#include "platform/wide_text.h"

namespace zolt {

// UTF-8 of `text` with every control character other than line feed and tab shown escaped as
// \xHH (C0 controls, DEL and the C1 controls U+0080 to U+009F), and a backslash shown as \\, so
// that no escape sequence or carriage return reaches the terminal and the escapes read back
// unambiguously. A carriage return that ends a line before a line feed (the server's own line
// ends) is dropped rather than shown.
std::string TerminalSafe(WideView text);

}  // namespace zolt
