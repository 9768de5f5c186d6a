// The deleted call-history scan: carves call records (number, date, duration,
// direction) out of the call-history database's pages and posts each one to
// the result store, which drops the copies of live calls.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "carve/carve_primitives.h"
#include "carve/carve_record.h"
#include "core/records.h"

namespace salvor {

class ScanContext;

class DelCallScan {
public:
    // The stage: carves the prepared private copy of the backup's call history
    // (made by the live call-history stage); without one it ends quietly.
    static void scanBackup(ScanContext& ctx, const std::string& backupPath);

    DelCallScan(ScanContext& ctx, const carve::PageImage& image);

    // Carves every page and posts one "ScanDelCallHistoryInfo" per call found
    // that is not a row some page still lists (nor an older copy of one).
    // Stops early when the scan is stopped.
    void run();

private:
    // A walked call row, whether a page still lists it, and its number and date.
    struct Row {
        carve::CarvedRecord record;
        bool live = false;
        std::pair<std::string, std::int64_t> key;
    };
    using Key = std::pair<std::string, std::int64_t>;
    // The call row whose flags column's serial type is at `anchor`; nothing
    // when the bytes there are not a call row of `kinds` (the call table's
    // column kinds) or were partly written over.
    std::optional<Row> carveRow(std::uint64_t anchor, const std::string& kinds, const carve::PageCells& page) const;
    static CallPtr makeCall(const Row& row);
    void scanPage(std::uint64_t page, const std::string& kinds);

    ScanContext& ctx_;
    const carve::PageImage& image_;
    std::map<std::uint64_t, std::uint32_t> free_;  // pages on the free list
    std::vector<std::pair<Key, CallPtr>> found_;  // carved calls, by number and date
    // The rows pages still list, whole (number, date, duration, direction):
    // a carved copy equal to one adds nothing, one that differs is what the
    // row held before it was changed.
    using Identity = std::tuple<std::string, std::int64_t, std::int32_t, std::string>;
    static Identity identityOf(const Key& key, const MVCallHistoryNode& call);
    std::set<Identity> live_;
};

}  // namespace salvor
