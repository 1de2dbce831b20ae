// Where the diagnostic log goes when the directory beside the executable cannot take it.
#pragma once

#include <optional>

#include "platform/wide_text.h"

namespace zolt {

// True when `filePath` can be appended to: the file is writable, or it does not exist yet and its
// directory is writable.
bool CanAppendTo(const WideText& filePath);

// The user's own directory for the log of an installed program, created when missing:
// $XDG_STATE_HOME/zolt-update/, by default ~/.local/state/zolt-update/. Nothing on systems where
// the executable's directory is always the place.
std::optional<WideText> UserLogDirectory();

}  // namespace zolt
