// The live b-trees of a database, walked from their roots over the pages as
// the database reads them now: which page belongs to which tree and in what
// role, and every cell a table leaf lists. A page is entered once (a child
// pointer that leads back into a tree is a cycle and is not followed), the
// depth is bounded, and overflow chains stop at a page already used.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "carve/btree_page.h"
#include "carve/sqlite_image.h"
#include "carve/table_carver.h"

namespace salvor::carve {

enum class PageRole : std::uint8_t { unknown, tableLeaf, tableInterior, index, overflow, freeTrunk, freeLeaf };

struct PageUse {
    PageRole role = PageRole::unknown;
    std::int32_t tree = -1;  // the root page of the tree it belongs to
};

struct LiveCell {
    std::uint32_t page = 0;
    std::uint32_t offset = 0;
    TableCell cell;
    Bytes bytes;  // the page
};

class BtreeWalk {
public:
    explicit BtreeWalk(const DatabaseImage& image);

    // Calls `visit` for each cell of every leaf of the table tree at `root`.
    void walkTable(std::uint32_t root, const std::function<void(const LiveCell&)>& visit);
    // Marks the pages of the index tree at `root` (and its overflow pages).
    void walkIndex(std::uint32_t root);
    // Marks the free list's trunk and leaf pages.
    void walkFreelist();

    // The cell's whole payload: its bytes on the page, then the overflow
    // chain's (current pages). False, with what could be read in `out`, when
    // the chain breaks (a page out of range, or one another tree uses).
    bool payload(Bytes page, const TableCell& cell, std::vector<std::uint8_t>& out, bool markOverflow);
    // Decodes a listed cell against a table; false when it does not fit.
    bool decode(const LiveCell& cell, const TableSchema& table, std::vector<Value>& values);

    const PageUse& use(std::uint32_t page) const;
    const std::vector<std::string>& diagnostics() const { return diagnostics_; }
    const DatabaseImage& image() const { return image_; }

private:
    bool claim(std::uint32_t page, PageRole role, std::uint32_t tree);

    const DatabaseImage& image_;
    std::vector<PageUse> uses_;
    std::vector<std::uint8_t> scratch_;
    std::vector<std::string> diagnostics_;
};

// Decodes a complete record (header and bodies in `payload`) against a table;
// the row id fills the row-id column. False when the record is malformed or a
// value does not fit its column.
bool decodeRecord(Bytes payload, const TableSchema& table, TextEncoding encoding, std::int64_t rowid,
                  std::vector<Value>& values, bool allowShorter = true);

}  // namespace salvor::carve
