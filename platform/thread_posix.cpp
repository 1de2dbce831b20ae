#include <pthread.h>

#include <memory>

#include "platform/thread.h"

namespace zolt {
namespace {

void* RunBody(void* arg) {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
    (*body)();
    return nullptr;
}

}  // namespace

bool StartDetachedThread(std::function<void()> body, std::size_t stackBytes) {
    if (!body) {
        return false;
    }
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        return false;
    }
    bool started = false;
    if (pthread_attr_setstacksize(&attr, stackBytes) == 0 &&
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) == 0) {
        auto owned = std::make_unique<std::function<void()>>(std::move(body));
        pthread_t thread;
        if (pthread_create(&thread, &attr, RunBody, owned.get()) == 0) {
            owned.release();  // the thread owns it now
            started = true;
        }
    }
    pthread_attr_destroy(&attr);
    return started;
}

}  // namespace zolt
