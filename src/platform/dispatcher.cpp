#include "platform/dispatcher.h"

#include <chrono>

namespace salvor {

QueueDispatcher::QueueDispatcher() : mainId_(std::this_thread::get_id()) {}

void QueueDispatcher::runSync(const std::function<void()>& task) {
    if (std::this_thread::get_id() == mainId_) {
        task();
        return;
    }
    auto job = std::make_shared<Job>();
    job->task = task;
    std::unique_lock lock(mutex_);
    jobs_.push_back(job);
    queued_.notify_all();
    finished_.wait(lock, [&] { return job->finished; });
}

void QueueDispatcher::wake() {
    std::lock_guard lock(mutex_);
    queued_.notify_all();
}

void QueueDispatcher::pumpUntil(const std::function<bool()>& done) {
    std::unique_lock lock(mutex_);
    for (;;) {
        while (!jobs_.empty()) {
            auto job = jobs_.front();
            jobs_.pop_front();
            lock.unlock();
            job->task();
            lock.lock();
            job->finished = true;
            finished_.notify_all();
        }
        lock.unlock();
        const bool stop = done();
        lock.lock();
        if (stop && jobs_.empty()) return;
        // The timeout guards against a wake() that raced the check above.
        queued_.wait_for(lock, std::chrono::milliseconds(50), [&] { return !jobs_.empty(); });
    }
}

}  // namespace salvor
