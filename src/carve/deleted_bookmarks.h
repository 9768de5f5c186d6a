// The deleted-bookmarks scan: carves bookmark and folder records (title and
// address) out of the browser's bookmarks database and posts those the
// database no longer holds.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "carve/carve_primitives.h"
#include "carve/carve_record.h"

namespace salvor {

class ScanContext;

class DelBookMarkScan {
public:
    // The stage: carves the prepared private copy of the backup's bookmarks
    // database (made by the live bookmarks stage); without one it ends quietly.
    static void scanBackup(ScanContext& ctx, const std::string& backupPath);

    DelBookMarkScan(ScanContext& ctx, const carve::PageImage& image, carve::TableLayout layout);

    // Carves every page and posts one "scanDelBookMarkInfo" per deleted
    // bookmark or folder. Stops early when the scan is stopped.
    void run();

private:
    void carveAt(std::uint64_t p, const carve::PageCells& page);

    ScanContext& ctx_;
    const carve::PageImage& image_;
    carve::TableLayout layout_;
    std::map<std::uint64_t, std::uint32_t> free_;  // pages on the free list
    int type_, title_, url_;
    // A carved row (title, address) and where it was found.
    struct Found {
        std::string title, url;
        carve::FoundIn where = carve::FoundIn::unallocated;
        std::uint64_t page = 0;
    };
    carve::FoundIn where_ = carve::FoundIn::unallocated;  // the region carveAt searches
    std::set<std::pair<std::string, std::string>> liveRows_, carved_;
    std::vector<Found> found_;
};

}  // namespace salvor
