// The deleted-notes scan: carves note records (number of their body, date,
// title) and body records (number of their note, text) out of the notes
// store's pages, joins each body to its note and posts the notes the database
// no longer holds.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "carve/carve_primitives.h"
#include "carve/carve_record.h"
#include "core/records.h"

namespace salvor {

class ScanContext;

class DelNoteScan {
public:
    // The stage: carves the prepared private copy of the backup's notes store
    // (made by the live notes stage); without one it ends quietly.
    static void scanBackup(ScanContext& ctx, const std::string& backupPath);

    // `note` and `body` are the layouts of the note and note-body tables.
    DelNoteScan(ScanContext& ctx, const carve::PageImage& image, carve::TableLayout note, carve::TableLayout body);

    // Carves every page, then posts one "ScanDelNoteInfo" per deleted body and
    // per deleted note whose body is gone. Stops early when the scan is stopped.
    void run();


private:
    struct Carved {
        std::int64_t number = 0;
        std::int64_t version = 0;  // Z_OPT: counts the row's edits
        std::string title, content;
        std::optional<Timestamp> date;  // none when absent or not showable
        bool live = false;
        carve::FoundIn where = carve::FoundIn::unallocated;
        std::uint64_t page = 0;
    };
    void carveAt(std::uint64_t p, const carve::PageCells& page);

    ScanContext& ctx_;
    const carve::PageImage& image_;
    carve::TableLayout note_, body_;
    std::map<std::uint64_t, std::uint32_t> free_;  // pages on the free list
    int noteEnt_, noteBody_, noteDate_, noteTitle_, noteCreated_, noteOpt_, bodyOpt_, bodyEnt_, bodyOwner_, bodyContent_;
    std::vector<Carved> notes_, bodies_;
    carve::FoundIn where_ = carve::FoundIn::unallocated;  // the region carveAt searches
};

}  // namespace salvor
