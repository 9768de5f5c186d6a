// The deleted calendar scan: carves event records (title, note, location,
// start and end) out of the calendar database's pages and posts each one to
// the result store, which drops the copies of live events.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <utility>
#include <vector>
#include <string>

#include "carve/carve_primitives.h"
#include "carve/carve_schema.h"
#include "core/records.h"

namespace salvor {

class ScanContext;

class DelCalenderScan {
public:
    // The stage: carves the prepared private copy of the backup's calendar
    // (made by the live calendar stage); without one it ends quietly.
    static void scanBackup(ScanContext& ctx, const std::string& backupPath);

    DelCalenderScan(ScanContext& ctx, const carve::PageImage& image);

    // Carves every page and posts one "scanDelCalenderInfo" per event found
    // that is not a row some page still lists (nor an older copy of one).
    // Stops early when the scan is stopped.
    void run();

    // The event whose organizer column's serial type is at `anchor` on page
    // `page`; nothing when the bytes there are not an event row of
    // `kinds` (the event table's column kinds) or were partly written over;
    // `live` tells whether the page still lists the row. `textLocation`: the table
    // keeps the location's text in the row (the oldest layout) rather than
    // the number of a row of the location table.
    static CalenderPtr carveEvent(const carve::PageImage& image, std::uint64_t anchor, const std::string& kinds,
                                  bool textLocation, const carve::PageCells& page, bool& live);

private:
    void scanPage(std::uint64_t page, const std::string& kinds, bool textLocation);

    ScanContext& ctx_;
    const carve::PageImage& image_;
    std::map<std::uint64_t, std::uint32_t> free_;  // pages on the free list
    std::vector<std::pair<std::pair<std::string, std::string>, CalenderPtr>> found_;  // carved records, by their key
    std::set<std::pair<std::string, std::string>> live_;  // keys of the rows pages still list
};

}  // namespace salvor
