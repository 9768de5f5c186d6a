// Rows a phone deleted from a category database of the iOS 10 and later
// layouts, with their bytes left behind where SQLite leaves them: single rows
// (free blocks inside a live page), runs of rows that free whole pages (the
// free list), rows deleted after the last checkpoint (the file still holds
// them, the log holds the page without them), rows written and deleted again
// within the log, and, where the store uses incremental auto-vacuum, runs
// whose pages were vacuumed away. A live row is also edited: its older
// version is no deleted row.
//
// Whether a deleted row can come back is decided from the finished bytes (the
// file and its log): its distinctive texts must still be there.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "forge/db_common.h"

namespace salvor::forge::modern {

// One planted row: the record its category's judge reads, and the texts
// (UTF-8 or raw bytes) that must all still be in the bytes for it to be
// recoverable.
struct DoomedRow {
    nlohmann::json row;
    std::vector<std::string> marks;
    // Marks of parts judged apart (a note's title and its body): the key in
    // `row` is set to whether that part's bytes are there. A row without
    // `marks` is recoverable when any of its parts is. A "multiValues" array
    // in `row` has each value's "recoverable" set the same way.
    std::vector<std::pair<std::string, std::string>> partMarks;
};

// A category's part in the plan.
struct DeletionPlan {
    // Inserts the index-th planted row (and the rows that belong to it) and
    // returns what it is; `padded` asks for a long text, so that a run of
    // such rows fills whole pages.
    std::function<DoomedRow(int index, bool padded)> insert;
    // Deletes the row `insert` made for `index`, with its dependent rows.
    std::function<void(int index)> erase;
    // An edit of a live row: the version the file holds (`draft`, run before
    // the log starts) and the one the phone ends with (`settle`, in the log).
    // `stale` is the judge's record of the older version.
    std::function<void()> draft, settle;
    nlohmann::json stale;
    // The store runs incremental auto-vacuum (NoteStore, CallHistory).
    bool incrementalVacuum = false;
    // Rows per run; enough to empty at least one leaf page.
    int runLength = 24;
    // Varies the lengths of the runs and the number of single rows, so that
    // seeds put the deleted rows at other places of their pages.
    std::uint64_t seed = 0;
};

class Deletions {
public:
    Deletions(db::DbFile& db, DeletionPlan plan);

    // Inside the open transaction, before the database switches to its log.
    void inFile();
    // Inside the open transaction, once the log is kept; ends with a
    // transaction open.
    void inLog();

    // The deleted rows, each with "recoverable" (and every part mark's key)
    // decided from the finished file and log.
    nlohmann::json judged(const db::Blob& database, const db::Blob& log) const;
    // The same, of the database written at `path` and its "-wal" beside it.
    nlohmann::json judgedAt(const std::string& path) const;
    // The older versions of edited rows.
    nlohmann::json stale() const;

private:
    void plant(int index, bool padded);
    db::DbFile& db_;
    DeletionPlan plan_;
    int next_ = 0;
    int singles_ = 4;
    std::vector<DoomedRow> gone_;           // every row deleted
    std::vector<std::pair<int, DoomedRow>> waiting_;  // planted, deleted later
};

// Whether `needle` occurs in `a` or `b`.
bool bytesContain(const db::Blob& a, const db::Blob& b, const std::string& needle);

// A made-up surname, distinct for every index below 64 and never a part of
// another: it tells a planted row apart in the bytes.
std::string plantedName(int index);

}  // namespace salvor::forge::modern
