// Bounds-checked reading of one b-tree page image and of the SQLite record
// format: varints, the page header and its cell pointers, the free-block
// chain, a table cell's payload split between the page and its overflow chain.
// Every read checks its range; a value that points outside the page is cut
// or refused, never followed.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace salvor::carve {

using Bytes = std::span<const std::uint8_t>;

// A varint of 1 to 9 bytes at `at`; its length 0 when it runs past the end.
struct Varint {
    std::uint64_t value = 0;
    std::uint32_t length = 0;
};
Varint readVarint(Bytes bytes, std::size_t at);
std::uint32_t readU16(Bytes bytes, std::size_t at);  // 0 past the end
std::uint32_t readU32(Bytes bytes, std::size_t at);  // 0 past the end

// Body length of a serial type; 0 for NULL, the constants and reserved types.
std::uint64_t serialLength(std::uint64_t serialType);

enum class PageKind : std::uint8_t { tableLeaf = 0x0D, tableInterior = 0x05, indexLeaf = 0x0A, indexInterior = 0x02, other = 0 };

// One byte range of a page, [begin, end).
struct Range {
    std::uint32_t begin = 0, end = 0;
};

// The header of a b-tree page and what it lists. `headerAt` is 100 on page 1.
struct BtreePage {
    PageKind kind = PageKind::other;
    std::uint32_t headerAt = 0;
    std::uint32_t cellCount = 0;
    std::uint32_t contentStart = 0;    // start of the cell content area
    std::uint32_t rightChild = 0;      // interior pages
    std::vector<std::uint32_t> cells;  // cell offsets inside the usable area, in pointer order
    std::vector<Range> freeblocks;     // the free-block chain, each block whole
    Range unallocated;                 // between the pointer array and the content area
    bool damaged = false;              // a pointer, block or count was out of place

    std::uint32_t pointerArrayEnd() const { return headerAt + (isInterior() ? 12u : 8u) + 2 * cellCount; }
    bool isInterior() const { return kind == PageKind::tableInterior || kind == PageKind::indexInterior; }
    bool isTable() const { return kind == PageKind::tableLeaf || kind == PageKind::tableInterior; }
};

// Reads the page header at `headerAt`; nothing when the kind byte is not a
// b-tree page's or the header does not fit. Free blocks are followed in
// increasing order only (a chain that turns back or leaves the page ends
// there, marked damaged); cell pointers outside the content area are dropped.
std::optional<BtreePage> readBtreePage(Bytes page, std::uint32_t usable, std::uint32_t headerAt);

// How SQLite splits a table-leaf payload of `payload` bytes: the bytes kept on
// the page (the rest goes to overflow pages, each holding usable - 4 bytes
// after its 4-byte link to the next).
std::uint64_t localPayload(std::uint64_t payload, std::uint32_t usable);

// A table-leaf cell read at `at`: its payload length, row id and where the
// payload starts; the first overflow page when the payload spills.
struct TableCell {
    std::uint64_t payload = 0;
    std::int64_t rowid = 0;
    std::uint32_t payloadAt = 0;
    std::uint64_t local = 0;
    std::uint32_t overflow = 0;  // 0 when all of it is on the page
    std::uint32_t end = 0;       // one past the cell's last byte on the page
};
std::optional<TableCell> readTableCell(Bytes page, std::uint32_t usable, std::uint32_t at);

}  // namespace salvor::carve
