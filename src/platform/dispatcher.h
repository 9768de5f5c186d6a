// Work that must run on the main thread goes through a dispatcher, so the
// scan thread can hand the window (or the CLI's main loop) a task and wait.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace salvor {

class MainThreadDispatcher {
public:
    virtual ~MainThreadDispatcher() = default;
    // Runs `task` on the main thread and returns when it has finished.
    virtual void runSync(const std::function<void()>& task) = 0;
    // Queues `task` for the main thread and returns at once. Tasks run in the
    // order they were handed over, by post or by runSync, so a runSync also
    // waits for the tasks posted before it (on the main thread itself both run
    // at once). Without a queue of its own, a dispatcher runs the task as
    // runSync does.
    virtual void post(std::function<void()> task) { runSync(task); }
    // True when every task runs directly on the calling thread: a caller then
    // gains nothing by gathering work into fewer, larger tasks.
    virtual bool runsInline() const { return false; }
};

// Runs every task directly on the calling thread (tests, single-threaded use).
class InlineDispatcher final : public MainThreadDispatcher {
public:
    void runSync(const std::function<void()>& task) override { task(); }
    bool runsInline() const override { return true; }
};

// A queue that the owning (main) thread pumps. A task posted from the main
// thread itself runs at once, so runSync never deadlocks on its own thread.
// Both sides sleep on condition variables: callers hand over work in batches,
// so a hand-over is rare enough that its wake-up cost does not matter, and a
// waiting thread never takes a core from the thread it waits for.
class QueueDispatcher final : public MainThreadDispatcher {
public:
    QueueDispatcher();  // the constructing thread is the main thread
    ~QueueDispatcher() override;
    QueueDispatcher(const QueueDispatcher&) = delete;
    QueueDispatcher& operator=(const QueueDispatcher&) = delete;
    // An exception thrown by the task on the main thread is rethrown here.
    void runSync(const std::function<void()>& task) override;
    // An exception thrown by a posted task is dropped: nobody waits for it.
    void post(std::function<void()> task) override;
    // Runs queued tasks until `done()` is true (checked after each wake-up,
    // with the queue locked: `done` must not call wake()).
    void pumpUntil(const std::function<bool()>& done);
    // Runs queued tasks, without waiting for more, until none is left or
    // `budget` has passed (a task is never cut); true when tasks remain. A
    // main thread with an event loop of its own takes the queue this way, a
    // slice per turn, so that its other events come between the slices.
    bool pumpFor(std::chrono::milliseconds budget);
    // Wakes a pumping main thread so it re-checks its condition.
    void wake();
    // Called (on the handing-over thread) whenever a task is queued or wake()
    // is called: a main thread that runs an event loop of its own, instead of
    // blocking in pumpUntil, uses it to schedule a turn that drains the queue.
    // Set it before any other thread uses the dispatcher.
    void setOnQueued(std::function<void()> hook) { onQueued_ = std::move(hook); }

private:
    struct Job {
        const std::function<void()>* task = nullptr;
        bool finished = false;  // guarded by mutex_
        std::exception_ptr error;
        std::function<void()> posted;  // a posted job owns its task and itself
    };

    // Runs the first queued task (the lock held on entry and on return, not
    // while the task runs) and settles it: a posted task is freed, a waiting
    // caller is woken.
    void runFront(std::unique_lock<std::mutex>& lock);

    std::thread::id mainId_;
    std::mutex mutex_;
    std::condition_variable queued_;
    std::condition_variable finished_;
    std::deque<Job*> jobs_;
    std::function<void()> onQueued_;  // on a waiting poster's stack, or owned by the queue when posted
};

}  // namespace salvor
