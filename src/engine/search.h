// Searching a list for a text, on a thread of its own so a long list never
// stalls the window. A newer search supersedes an older one: only the newest
// reports, on the main thread, through the dispatcher.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/categories.h"
#include "platform/dispatcher.h"

namespace salvor {

class Search {
public:
    explicit Search(MainThreadDispatcher& dispatcher) : dispatcher_(dispatcher) {}
    ~Search();
    Search(const Search&) = delete;
    Search& operator=(const Search&) = delete;

    // Looks for `text` in `records` (a snapshot taken by the caller) and hands
    // `done` the records found, in their order, on the main thread, unless a
    // newer search or cancel() came first. Categories that are not searched
    // find nothing.
    void start(std::string text, Category category, std::vector<AnyRecord> records,
               std::function<void(std::vector<AnyRecord>)> done);
    // The running search (if any) reports nothing.
    void cancel() { ++generation_; }
    // Waits until no search runs. The result comes through the dispatcher, so
    // with a queued one call this from a thread other than the one that pumps it.
    void wait();

private:
    MainThreadDispatcher& dispatcher_;
    std::atomic<std::uint64_t> generation_{0};
    std::mutex threadMutex_;  // serialises starting and joining search threads
    std::thread thread_;
};

// Orders rows by one of their category's columns (index into the category
// table's columns), stably; rows without a value come first when ascending.
void sortRows(std::vector<AnyRecord>& rows, Category category, std::size_t column, bool ascending);

}  // namespace salvor
