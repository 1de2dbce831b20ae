#include "app/qt/window_calls.h"

#include <QMetaObject>
#include <QObject>
#include <QThread>

namespace zolt {

std::shared_ptr<WindowCalls> WindowCalls::Create(QObject& window) {
    return std::shared_ptr<WindowCalls>(new WindowCalls(window));
}

WindowCalls::WindowCalls(QObject& window) : window_(&window), thread_(window.thread()) {}

bool WindowCalls::Call(std::function<void()> task) {
    if (QThread::currentThread() == thread_) {
        if (IsClosed()) {
            return false;
        }
        task();
        return true;
    }
    auto done = std::make_shared<bool>(false);  // written and read under mutex_
    auto self = shared_from_this();
    std::unique_lock lock(mutex_);
    if (window_ == nullptr) {
        return false;
    }
    // Qt drops events still queued for an object when it is destroyed, and the task checks the
    // closed state itself before it runs, so it never meets a window that has gone.
    const bool queued = QMetaObject::invokeMethod(
        window_,
        [self, done, task = std::move(task)] {
            if (self->IsClosed()) {
                return;
            }
            task();
            {
                std::lock_guard inner(self->mutex_);
                *done = true;
            }
            self->changed_.notify_all();
        },
        Qt::QueuedConnection);
    if (!queued) {
        return false;
    }
    changed_.wait(lock, [&] { return *done || window_ == nullptr; });
    return *done;
}

bool WindowCalls::Post(std::function<void()> task) {
    auto self = shared_from_this();
    std::lock_guard lock(mutex_);
    if (window_ == nullptr) {
        return false;
    }
    return QMetaObject::invokeMethod(
        window_,
        [self, task = std::move(task)] {
            if (!self->IsClosed()) {
                task();
            }
        },
        Qt::QueuedConnection);
}

void WindowCalls::Close() {
    {
        std::lock_guard lock(mutex_);
        window_ = nullptr;
    }
    changed_.notify_all();
}

bool WindowCalls::IsClosed() const {
    std::lock_guard lock(mutex_);
    return window_ == nullptr;
}

}  // namespace zolt
