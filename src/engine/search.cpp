#include "engine/search.h"

#include <algorithm>

namespace salvor {

Search::~Search() {
    cancel();
    wait();
}

void Search::start(std::string text, Category category, std::vector<AnyRecord> records,
                   std::function<void(std::vector<AnyRecord>)> done) {
    std::lock_guard<std::mutex> starting(threadMutex_);
    const std::uint64_t generation = ++generation_;
    if (!categoryInfo(category).searched) records.clear();
    // Each search thread first waits for its predecessor, so at most one
    // search body runs at a time; the main thread never waits for a search.
    std::thread previous = std::move(thread_);
    thread_ = std::thread([this, generation, text = std::move(text), records = std::move(records),
                           done = std::move(done), previous = std::move(previous)]() mutable {
        if (previous.joinable()) previous.join();
        auto current = [this, generation] { return generation_.load() == generation; };
        std::vector<AnyRecord> found;
        for (const AnyRecord& record : records) {
            if (!current()) return;
            if (recordMatches(record, text)) found.push_back(record);
        }
        if (!current()) return;
        dispatcher_.runSync([&] {
            // Checked on the main thread: a newer search or a cancel wins.
            if (current()) done(std::move(found));
        });
    });
}

void Search::wait() {
    std::thread last;
    {
        std::lock_guard<std::mutex> starting(threadMutex_);
        last = std::move(thread_);
    }
    // The last thread joined every earlier one before it ran.
    if (last.joinable()) last.join();
}

void sortRows(std::vector<AnyRecord>& rows, Category category, std::size_t column, bool ascending) {
    const auto& columns = categoryInfo(category).columns;
    if (column >= columns.size()) return;
    const Column& c = columns[column];
    std::vector<std::pair<SortValue, AnyRecord>> keyed;
    keyed.reserve(rows.size());
    for (AnyRecord& r : rows) keyed.emplace_back(c.value(r), std::move(r));
    std::stable_sort(keyed.begin(), keyed.end(), [ascending](const auto& a, const auto& b) {
        return ascending ? a.first < b.first : b.first < a.first;
    });
    for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = std::move(keyed[i].second);
}

}  // namespace salvor
