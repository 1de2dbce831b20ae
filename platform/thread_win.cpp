#include <windows.h>

#include <process.h>

#include <limits>
#include <memory>

#include "platform/thread.h"

namespace zolt {
namespace {

unsigned __stdcall RunBody(void* arg) {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
    (*body)();
    return 0;
}

}  // namespace

bool StartDetachedThread(std::function<void()> body, std::size_t stackBytes) {
    if (!body) {
        return false;
    }
    // The size is the thread's stack reservation (not the first commit); 0 means the
    // executable's default.
    if (stackBytes > std::numeric_limits<unsigned>::max()) {
        return false;
    }
    auto owned = std::make_unique<std::function<void()>>(std::move(body));
    const uintptr_t thread =
        ::_beginthreadex(nullptr, static_cast<unsigned>(stackBytes), &RunBody, owned.get(),
                         STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == 0) {
        return false;
    }
    owned.release();                                  // the thread owns it now
    ::CloseHandle(reinterpret_cast<HANDLE>(thread));  // detached: nothing joins it
    return true;
}

}  // namespace zolt
