// Worker threads. Every thread the program starts gets the same large stack reservation, so that a
// worker can keep big working areas on its stack.
#pragma once

#include <cstddef>
#include <functional>

namespace zolt {

inline constexpr std::size_t DefaultThreadStackBytes = 50'000'000;

// Starts `body` at once on a new thread with a stack of `stackBytes`, and detaches it: nothing
// joins it, and it ends when `body` returns. Returns false, without running `body`, when the thread
// cannot be started.
bool StartDetachedThread(std::function<void()> body,
                         std::size_t stackBytes = DefaultThreadStackBytes);

}  // namespace zolt
