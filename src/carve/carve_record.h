// Whole-record carving for the scans that know their table: the table's
// columns as the file's own schema declares them, a record walked from the
// serial types of its columns read as the varints they are (each checked
// against its column's kind, so wide texts, the constants 0 and 1 stored
// without a body and any column count all place the fields right), and what a
// page still says about a record found on it.
//
// Fields are placed by the table's real column count: a table that grew a
// column in a later system version would otherwise be read one byte off in
// every field.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "carve/carve_primitives.h"

namespace salvor::carve {

// A table's columns in order, with one kind character per column by its
// declared type (SQLite's affinity rules): 'i' integer, 't' text, 'b' blob or
// none, 'r' real, 'n' numeric.
struct TableLayout {
    std::vector<std::string> names;
    std::string kinds;
    // The column's index (names compared ignoring case), or -1.
    int index(std::string_view name) const;
};

// The columns of `table` (its name compared ignoring case) from the first
// CREATE TABLE statement for it in `text`, table constraints left out; nothing
// when there is none, or it declares no column or more than SQLite allows.
std::optional<TableLayout> tableLayoutIn(std::string_view text, std::string_view table);

// The columns of `table` from its statement in the file's schema, read through
// the schema b-tree from the first page, overflow pages followed; when that
// holds none, from the statement still standing whole anywhere in the file.
std::optional<TableLayout> findTableLayout(const PageImage& image, std::string_view table);

// True when a serial type may be stored in a column of the kind: NULL
// anywhere; numbers and the constants 0 and 1 in numeric columns, texts in text
// columns; a blob column takes any value.
bool bSerialTypeFits(std::int64_t serialType, char kind);

// A record read out of the file.
struct CarvedRecord {
    std::uint64_t firstType = 0;       // file offset of column 1's serial type
    std::uint64_t end = 0;             // one past the record's last byte on its page
    bool idIntact = false;             // column 0's serial type (NULL) still stands before column 1's
    std::vector<std::int64_t> types;   // one per column; column 0's taken as NULL
    std::vector<std::uint8_t> bodies;  // the column bodies one after another
    std::vector<std::size_t> bodyAt;   // where each column's body begins in `bodies`

    bool isNull(std::size_t k) const { return types[k] == 0; }
    // An integer column's value (types 1-6 and the constants 0 and 1); nothing for another type.
    std::optional<std::int64_t> integer(std::size_t k) const;
    // The same, or a float cut toward zero (nothing when out of range).
    std::optional<std::int64_t> number(std::size_t k) const;
    // A text or blob body; nothing for NULL or a number.
    std::optional<std::string> bytes(std::size_t k) const;
};

// Reads the record whose column `anchorColumn` (1 or more) has its serial type
// at `anchor`: back over the serial types of columns anchorColumn - 1 ... 1 and
// on over the later ones, each of which must fit its column's kind in `kinds`.
// Column 0 is the row-id alias, stored NULL. The record's header must lie in
// [lo, hi) (its page) and so must its bodies, unless `overflow`: the record
// then spills onto overflow pages as SQLite splits a table-leaf payload, and
// the chain is followed. Else nothing.
std::optional<CarvedRecord> walkRecord(const PageImage& image, std::uint64_t anchor, std::size_t anchorColumn,
                                       std::string_view kinds, std::uint64_t lo, std::uint64_t hi,
                                       bool overflow = false);

// Stored text a person typed: valid UTF-8 without zero or control bytes
// (line breaks and tabs allowed when `multiline`); anything else is a body
// that later writes overwrote.
bool bCleanStoredText(std::string_view raw, bool multiline);
// True when every text column of the record (by `kinds`) is clean, multiline.
bool bTextsClean(const CarvedRecord& record, std::string_view kinds);

// The pages on the free list (by page index from 0), each with how many of its
// first bytes the list rewrote: a trunk's list of page numbers, none of a leaf.
std::map<std::uint64_t, std::uint32_t> freePages(const PageImage& image);

// What kind of free space a carved record was found in.
enum class FoundIn : std::uint8_t {
    freeblock,    // a block of a table leaf in use that the page has freed
    unallocated,  // between a leaf's cell pointers and its cells, or a page no b-tree lists as a leaf
    freelist,     // a page on the file's free list
};
// The word a carved record's carvedFrom holds for it.
const char* foundInText(FoundIn where);

// A run of a page's bytes that holds no live row.
struct FreeRegion {
    std::uint64_t begin = 0, end = 0;  // file offsets
    FoundIn kind = FoundIn::unallocated;
};

// What one page still says about the records found on it.
class PageCells {
public:
    // `free`: the file's free pages (freePages).
    PageCells(const PageImage& image, const std::map<std::uint64_t, std::uint32_t>& free, std::uint64_t page);

    std::uint64_t begin() const { return begin_; }
    std::uint64_t end() const { return end_; }
    // The page's number as SQLite counts pages, from 1.
    std::uint64_t number() const { return number_; }
    // Where a deleted record may begin, in increasing order: on a table leaf
    // in use its free blocks and the gap between its cell pointers and its
    // cells; on any other page everything after what the page's current
    // state rewrote (a trunk's page numbers, an interior page's pointers).
    const std::vector<FreeRegion>& freeRegions() const { return regions_; }
    // The kind of the free region holding `at`; `unallocated` outside them all.
    FoundIn foundIn(std::uint64_t at) const;
    // The row ids of the cells a table leaf in use lists, in the order of
    // their bytes on the page (read from the cell headers; no row decoded).
    std::vector<std::pair<std::uint64_t, std::int64_t>> listedRowids(const PageImage& image) const;
    // Where column 1's serial type of each listed cell lies: the anchor a
    // walk of the live row itself starts from.
    std::vector<std::uint64_t> listedRecords() const;
    // The record is a cell the page still lists: a live row, not a deleted one
    // (the page is in use, a table leaf, and a cell pointer leads, past the
    // cell's length, row id and header size, to the record's column 0).
    bool bListed(const CarvedRecord& record) const;
    // Part of the record was written over since it was freed: it reaches into
    // the page's current header and cell pointers (or a free-list trunk's page
    // numbers), into a cell the page lists, or into the four-byte header of
    // a block the page has freed since (its row is then an older layout's).
    bool bOverwritten(const CarvedRecord& record) const;

private:
    struct Cell {
        std::uint64_t start, column0, end;
    };
    std::uint64_t begin_, end_, number_;
    std::uint64_t rewrittenTo_;  // bytes before this offset belong to the page's current state
    std::vector<Cell> cells_;    // the cells a table leaf in use lists
    std::vector<std::uint64_t> freeblocks_;  // where the page's free blocks begin
    std::vector<FreeRegion> regions_;
};

}  // namespace salvor::carve
