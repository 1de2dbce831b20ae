// Where the diagnostic log goes when the directory beside the executable cannot take it.
#pragma once

#include <optional>

#include "platform/wide_text.h"

namespace zolt {

// True when `filePath` can be appended to: the file is writable, or it does not exist yet and its
// directory is writable.
bool CanAppendTo(const WideText& filePath);

// True when the executable lies in one of the system's program folders (/usr, /bin, /sbin, /lib
// and its kin, /opt): the log never goes beside it, whoever runs the program. Never on systems
// where the executable's directory is always the place.
bool InSystemProgramFolder(const WideText& executablePath);

// The user's own directory for the log of an installed program, created when missing:
// $XDG_STATE_HOME/zolt-update/ (when that is an absolute path), else ~/.local/state/zolt-update/.
// Named even when it cannot be created, so that the doctor can say which place fails; nothing
// when there is no home to put it in, and on systems where the executable's directory is always
// the place.
std::optional<WideText> UserLogDirectory();

}  // namespace zolt
