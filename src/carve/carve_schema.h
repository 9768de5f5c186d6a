// Rows of a known table found in a database file's raw pages, without an
// engine: the table's column layout as the file itself declares it (the CREATE
// TABLE text of its schema entry, read from the schema b-tree that starts on
// the first page, overflow pages followed), a record walked from the serial
// types of some of its columns, and whether a page still lists it as a live row.
//
// The carving places a record's fields by the table's real column count; a
// table that grew a column in a later system version would otherwise be read
// one byte off in every field.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "carve/carve_primitives.h"

namespace salvor::carve {

// One character per column, in column order, by the column's declared type
// (SQLite's affinity rules): 'i' integer, 't' text, 'b' blob or none, 'r' real,
// 'n' numeric. Nothing when the file has no table of that name (names compare
// ignoring case), or its schema cannot be read.
std::optional<std::string> tableColumnKinds(const PageImage& image, std::string_view table);

// The column kinds of a CREATE TABLE text (table constraints left out);
// nothing when the text holds no column list or more columns than SQLite allows.
std::optional<std::string> columnKindsOf(std::string_view createTable);

// True when a serial type may be stored in a column of the kind: NULL
// anywhere; numbers and the constants 0 and 1 in numeric columns, texts in text
// columns; a blob column takes any value.
bool bSerialTypeFits(std::int64_t serialType, char kind);

}  // namespace salvor::carve

namespace salvor::carve {

// A record found by the serial types of some of its columns: where each
// column's serial type and body lie, read as the varints they are.
struct WalkedRecord {
    std::vector<std::int64_t> types;     // one per column; column 0's taken as NULL
    std::vector<std::uint64_t> bodies;   // file offset of each column's body
    std::uint64_t firstType = 0;         // offset of column 1's serial type
    std::uint64_t end = 0;               // one past the last body byte
    bool idIntact = false;               // column 0's serial type (NULL) is still there
};

// Walks the record whose column `anchorColumn` has its serial type at `anchor`:
// back over the serial types of columns anchorColumn - 1 ... 1 and on over
// those of the later columns, each of which must fit its column's kind, then
// places the bodies after the header. Nothing when a serial type does not fit,
// or the record would reach outside [lo, hi) (its page).
std::optional<WalkedRecord> walkRecord(const PageImage& image, std::uint64_t anchor, std::size_t anchorColumn,
                                       std::string_view kinds, std::uint64_t lo, std::uint64_t hi);

// The value of an integer or real column's body (a real truncated toward
// zero; the constants 0 and 1); nothing for another serial type.
std::optional<std::int64_t> numberAt(const PageImage& image, const WalkedRecord& record, std::size_t column);
// The raw bytes of a text or blob column's body; empty for any other type.
std::string bytesAt(const PageImage& image, const WalkedRecord& record, std::size_t column);
// True when every text column of the record (by `kinds`) holds valid UTF-8
// without a zero or control byte other than tab and line breaks: what a
// later write leaves of a text seldom passes.
bool bTextsClean(const PageImage& image, const WalkedRecord& record, std::string_view kinds);

}  // namespace salvor::carve

namespace salvor::carve {

// The pages on the free list (by page index from 0), each with how many of its
// first bytes the list rewrote: a trunk's list of page numbers, none of a leaf.
std::map<std::uint64_t, std::uint32_t> freePages(const PageImage& image);

// What one page still says about the records found on it.
class PageCells {
public:
    // `free`: the file's free pages (freePages).
    PageCells(const PageImage& image, const std::map<std::uint64_t, std::uint32_t>& free, std::uint64_t page);

    std::uint64_t begin() const { return begin_; }
    std::uint64_t end() const { return end_; }
    // The record is a cell the page still lists: a live row, not a deleted one
    // (the page is in use, a table leaf, and a cell pointer leads, past the
    // cell's length, row id and header size, to the record's column 0).
    bool bListed(const WalkedRecord& record) const;
    // Part of the record was written over since it was freed: it reaches into
    // the page's current header and cell pointers (or a free-list trunk's page
    // numbers), into a cell the page lists, or into the four-byte header of
    // a block the page has freed since (its row is then an older layout's).
    bool bOverwritten(const WalkedRecord& record) const;

private:
    struct Cell {
        std::uint64_t start, column0, end;
    };
    std::uint64_t begin_, end_;
    std::uint64_t rewrittenTo_;  // bytes before this offset belong to the page's current state
    std::vector<Cell> cells_;    // the cells a table leaf in use lists
    std::vector<std::uint64_t> freeblocks_;  // where the page's free blocks begin
};

}  // namespace salvor::carve
