// Work that must run on the main thread goes through a dispatcher, so the
// scan thread can hand the window (or the CLI's main loop) a task and wait.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace salvor {

class MainThreadDispatcher {
public:
    virtual ~MainThreadDispatcher() = default;
    // Runs `task` on the main thread and returns when it has finished.
    virtual void runSync(const std::function<void()>& task) = 0;
};

// Runs every task directly on the calling thread (tests, single-threaded use).
class InlineDispatcher final : public MainThreadDispatcher {
public:
    void runSync(const std::function<void()>& task) override { task(); }
};

// A queue that the owning (main) thread pumps. A task posted from the main
// thread itself runs at once, so runSync never deadlocks on its own thread.
class QueueDispatcher final : public MainThreadDispatcher {
public:
    QueueDispatcher();  // the constructing thread is the main thread
    void runSync(const std::function<void()>& task) override;
    // Runs queued tasks until `done()` is true (checked after each wake-up).
    void pumpUntil(const std::function<bool()>& done);
    // Wakes a pumping main thread so it re-checks its condition.
    void wake();

private:
    struct Job {
        std::function<void()> task;
        std::atomic<bool> finished{false};
        std::atomic<bool> waiting{false};  // the poster sleeps on finished_
    };
    void runQueued();

    std::thread::id mainId_;
    std::mutex mutex_;
    std::condition_variable queued_;
    std::condition_variable finished_;
    std::deque<std::shared_ptr<Job>> jobs_;
    std::atomic<int> queuedCount_{0};
    std::atomic<bool> mainSleeping_{false};
};

}  // namespace salvor
