// The recovery run over the store's ticked records: a snapshot taken on the
// store's thread, written on whichever thread calls run(), with counters a
// progress display reads from another thread and a cancel that works from any.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <stop_token>
#include <string>

#include "output/recovery_run.h"

namespace salvor {

class ResultStore;
class SalvorAppDelegate;

class Recovery {
public:
    Recovery(ResultStore& store, SalvorAppDelegate& app) : store_(store), app_(app) {}

    // The ticked items as a run reads them (on the store's thread).
    RecoverySource source();
    // Writes `source` into `destination` on the calling thread. cancel() from
    // another thread stops it between files (or between the chunks of a large
    // one); so does `stop`, which also takes effect when it was requested
    // before the run began.
    RecoveryReport run(RecoverySource source, const std::string& destination, std::stop_token stop = {});
    void cancel();

    // Progress of the running (or last) run: items handled and items in all.
    std::atomic<std::int32_t> handled{0};
    std::atomic<std::int32_t> total{0};

private:
    ResultStore& store_;
    SalvorAppDelegate& app_;
    std::mutex stopMutex_;  // guards stop_ between the run and cancel()
    std::stop_source stop_;
};

}  // namespace salvor
