#include "platform/dispatcher.h"

#include <chrono>

namespace salvor {

namespace {
// The scan thread hands the main thread one small task per manifest record, so
// a hand-over must be cheap: both sides spin for a few microseconds before
// sleeping, and a sleeping side is woken only when it really sleeps.
constexpr int kSpinRounds = 4000;

inline void relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#else
    std::this_thread::yield();
#endif
}
}  // namespace

QueueDispatcher::QueueDispatcher() : mainId_(std::this_thread::get_id()) {}

void QueueDispatcher::runSync(const std::function<void()>& task) {
    if (std::this_thread::get_id() == mainId_) {
        task();
        return;
    }
    auto job = std::make_shared<Job>();
    job->task = task;
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(job);
        queuedCount_.fetch_add(1);
    }
    if (mainSleeping_.load()) {
        std::lock_guard lock(mutex_);
        queued_.notify_one();
    }
    for (int i = 0; i < kSpinRounds && !job->finished.load(std::memory_order_acquire); ++i) relax();
    if (job->finished.load(std::memory_order_acquire)) return;
    std::unique_lock lock(mutex_);
    job->waiting.store(true);
    finished_.wait(lock, [&] { return job->finished.load(); });
}

void QueueDispatcher::wake() {
    std::lock_guard lock(mutex_);
    queued_.notify_all();
}

void QueueDispatcher::runQueued() {
    for (;;) {
        std::shared_ptr<Job> job;
        {
            std::lock_guard lock(mutex_);
            if (jobs_.empty()) return;
            job = jobs_.front();
            jobs_.pop_front();
            queuedCount_.fetch_sub(1);
        }
        job->task();
        job->finished.store(true);
        // The poster checks `finished` after announcing that it waits, and this
        // side checks `waiting` after setting `finished`: one of them sees the other.
        if (job->waiting.load()) {
            std::lock_guard lock(mutex_);
            finished_.notify_all();
        }
    }
}

void QueueDispatcher::pumpUntil(const std::function<bool()>& done) {
    for (;;) {
        runQueued();
        if (done() && queuedCount_.load() == 0) return;
        // Spin briefly: the next task usually follows within microseconds.
        bool more = false;
        for (int i = 0; i < kSpinRounds && !more; ++i) {
            more = queuedCount_.load(std::memory_order_acquire) > 0;
            if (!more) relax();
        }
        if (more) continue;
        std::unique_lock lock(mutex_);
        mainSleeping_.store(true);
        // The timeout guards against a wake() that raced the check of `done`.
        queued_.wait_for(lock, std::chrono::milliseconds(50), [&] { return !jobs_.empty(); });
        mainSleeping_.store(false);
    }
}

}  // namespace salvor
