// Calls from worker threads into the window's thread. A worker hands a task to the window's thread
// and waits until it has run there. Once the window closes, every waiting and every later call
// returns at once without running its task, so a worker can neither reach a window that is gone
// nor keep the program from ending.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

class QObject;
class QThread;

namespace zolt {

class WindowCalls : public std::enable_shared_from_this<WindowCalls> {
  public:
    // `window` is the object whose thread runs the tasks; created on that thread.
    static std::shared_ptr<WindowCalls> Create(QObject& window);

    WindowCalls(const WindowCalls&) = delete;
    WindowCalls& operator=(const WindowCalls&) = delete;

    // Runs `task` on the window's thread (at once when called there) and returns when it has run:
    // true. False when the window has closed, before or while waiting; the task then never runs.
    bool Call(std::function<void()> task);

    // Runs `task` on the window's thread later, unless the window closes first. Does not wait.
    bool Post(std::function<void()> task);

    // On the window's thread, when it closes: wakes every waiting caller, drops every task not yet
    // run and every later one.
    void Close();
    bool IsClosed() const;

  private:
    explicit WindowCalls(QObject& window);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    QObject* window_;  // null once closed
    QThread* const thread_;
};

}  // namespace zolt
