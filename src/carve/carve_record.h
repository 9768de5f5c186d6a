// Whole-record carving for the scans that know their table: the table's
// columns as the file's own schema declares them, the cells the database still
// uses, and a record read from the position of its second serial type by
// walking every serial type as a varint against the column kinds, so that the
// header distance comes from the record itself (wide texts, constants 0 and 1
// stored without a body, any column count) instead of fixed anchors.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "carve/carve_primitives.h"

namespace salvor::carve {

enum class ColumnKind { Integer, Real, Numeric, Text, Blob };

struct TableLayout {
    std::vector<std::string> names;
    std::vector<ColumnKind> kinds;
    std::size_t size() const { return names.size(); }
    // The column's index (names compared ignoring case), or -1.
    int index(std::string_view name) const;
};

// The columns of `table` from its CREATE TABLE text in the file's schema;
// nothing when that text is not found or cannot be read.
std::optional<TableLayout> findTableLayout(const PageImage& image, std::string_view table);

// The record starts (header-size byte) of every cell that a table leaf page
// not on the free list still points at: the rows the database holds.
class LiveCells {
public:
    explicit LiveCells(const PageImage& image);
    bool holds(std::uint64_t recordStart) const { return starts_.count(recordStart) != 0; }
    bool isFreePage(std::uint64_t page) const { return free_.count(page) != 0; }

private:
    std::set<std::uint64_t> starts_;
    std::set<std::uint64_t> free_;  // 0-based page numbers on the free list
};

// A record read out of the file: its serial types and its payload (header and
// bodies, overflow pages followed when the record spilled onto them).
struct CarvedRecord {
    std::uint64_t start = 0;          // file offset of the header-size byte
    bool headerIntact = false;        // the header-size byte still agrees
    std::vector<std::int64_t> types;  // one per column, column 0 included
    std::vector<std::uint8_t> payload;
    std::vector<std::size_t> bodyAt;  // payload offset of each column's body

    bool isNull(std::size_t k) const { return types[k] == 0; }
    // An integer column's value (types 1-6, 8, 9); nothing for NULL or another type.
    std::optional<std::int64_t> integer(std::size_t k) const;
    // A number as seconds: integers as they are, a float cut toward zero.
    std::optional<std::int64_t> seconds(std::size_t k) const;
    // A text or blob body; nothing for NULL or a number.
    std::optional<std::string> bytes(std::size_t k) const;
};

// Reads the record whose column-1 serial type lies at `field1`, column 0 being
// the row-id alias (stored NULL, its serial-type byte possibly overwritten by
// a freeblock header). Every serial type must suit its column's kind and every
// body must lie in the file (on its page, or on the overflow chain); else nothing.
std::optional<CarvedRecord> walkRecord(const PageImage& image, std::uint64_t field1, const TableLayout& layout);

// Stored text a person typed: valid UTF-8 without zero or control bytes
// (line breaks and tabs allowed when `multiline`); anything else is a body
// that later writes overwrote.
bool bCleanStoredText(std::string_view raw, bool multiline);

}  // namespace salvor::carve
