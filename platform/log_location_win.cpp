#include "platform/log_location.h"

namespace zolt {

// On Windows the log always stays beside the executable, as it always has.
bool CanAppendTo(const WideText&) {
    return true;
}

bool InSystemProgramFolder(const WideText&) {
    return false;
}

std::optional<WideText> UserLogDirectory() {
    return std::nullopt;
}

}  // namespace zolt
