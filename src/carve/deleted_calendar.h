// The deleted calendar scan: carves event records (title, note, location,
// start and end) out of the calendar database's pages and posts each one to
// the result store, which drops the copies of live events.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "carve/carve_primitives.h"
#include "carve/carve_record.h"
#include "core/records.h"

namespace salvor {

class ScanContext;

class DelCalendarScan {
public:
    // The stage: carves the prepared private copy of the backup's calendar
    // (made by the live calendar stage); without one it ends quietly.
    static void scanBackup(ScanContext& ctx, const std::string& backupPath);

    DelCalendarScan(ScanContext& ctx, const carve::PageImage& image);

    // Carves every page and posts one "scanDelCalendarInfo" per event found
    // that is not a row some page still lists (nor an older copy of one).
    // Stops early when the scan is stopped.
    void run();

private:
    // A walked event row, whether a page still lists it, its title and start.
    using Key = std::pair<std::string, std::optional<std::int64_t>>;
    struct Row {
        carve::CarvedRecord record;
        bool live = false;
        Key key;
    };
    // The event row whose organizer column's serial type is at `anchor`;
    // nothing when the bytes there are not an event row of `kinds` (the event
    // table's column kinds) or were partly written over.
    std::optional<Row> carveRow(std::uint64_t anchor, const std::string& kinds, const carve::PageCells& page) const;
    // `textLocation`: the table keeps the location's text in the row (the
    // oldest layout) rather than the number of a row of the location table.
    static CalendarPtr makeEvent(const Row& row, bool textLocation);
    void scanPage(std::uint64_t page, const std::string& kinds, bool textLocation);

    ScanContext& ctx_;
    const carve::PageImage& image_;
    std::map<std::uint64_t, std::uint32_t> free_;  // pages on the free list
    std::vector<std::pair<Key, CalendarPtr>> found_;  // carved events, by title and start
    // The rows pages still list, whole (title, start, note, location, end):
    // a carved copy equal to one adds nothing, one that differs is what the
    // row held before it was changed.
    static std::vector<std::string> identityOf(const MVCalendarNode& event);
    std::set<std::vector<std::string>> live_;
};

}  // namespace salvor
