#include "platform/dispatcher.h"

#include <chrono>
#include <memory>

namespace salvor {

QueueDispatcher::QueueDispatcher() : mainId_(std::this_thread::get_id()) {}

QueueDispatcher::~QueueDispatcher() {
    for (Job* job : jobs_)
        if (job->posted) delete job;
}

void QueueDispatcher::runSync(const std::function<void()>& task) {
    if (std::this_thread::get_id() == mainId_) {
        task();
        return;
    }
    Job job;
    job.task = &task;
    std::unique_lock lock(mutex_);
    jobs_.push_back(&job);
    queued_.notify_one();
    if (onQueued_) {
        lock.unlock();
        onQueued_();
        lock.lock();
    }
    finished_.wait(lock, [&job] { return job.finished; });
    if (job.error) std::rethrow_exception(job.error);
}

void QueueDispatcher::post(std::function<void()> task) {
    if (!task) return;
    if (std::this_thread::get_id() == mainId_) {
        task();
        return;
    }
    auto job = std::make_unique<Job>();
    job->posted = std::move(task);
    job->task = &job->posted;
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(job.release());
        queued_.notify_one();
    }
    if (onQueued_) onQueued_();
}

void QueueDispatcher::wake() {
    {
        std::lock_guard lock(mutex_);
        queued_.notify_all();
    }
    if (onQueued_) onQueued_();
}

void QueueDispatcher::runFront(std::unique_lock<std::mutex>& lock) {
    Job* job = jobs_.front();
    jobs_.pop_front();
    lock.unlock();
    try {
        (*job->task)();
    } catch (...) {
        job->error = std::current_exception();
    }
    lock.lock();
    if (job->posted) {
        delete job;
        return;
    }
    job->finished = true;
    finished_.notify_all();
}

bool QueueDispatcher::pumpFor(std::chrono::milliseconds budget) {
    const auto until = std::chrono::steady_clock::now() + budget;
    std::unique_lock lock(mutex_);
    while (!jobs_.empty()) {
        if (std::chrono::steady_clock::now() >= until) return true;
        runFront(lock);
    }
    return false;
}

void QueueDispatcher::pumpUntil(const std::function<bool()>& done) {
    std::unique_lock lock(mutex_);
    for (;;) {
        while (!jobs_.empty()) runFront(lock);
        // Checked under the lock, so a wake() that follows the change of the
        // condition cannot fall between this check and the wait.
        if (done()) return;
        // The timeout covers a condition that changes without a wake().
        queued_.wait_for(lock, std::chrono::milliseconds(50), [this] { return !jobs_.empty(); });
    }
}

}  // namespace salvor
