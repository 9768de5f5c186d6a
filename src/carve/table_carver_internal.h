// The carver of one database, private to the sources that hold its work:
// the live tree, page images and free space (table_carver.cpp), and record
// layouts and one record per row (table_carver_records.cpp).
#pragma once

#include "carve/table_carver.h"

#include <algorithm>
#include <charconv>
#include <cctype>
#include <cstring>
#include <set>
#include <tuple>
#include <unordered_map>
#include <unordered_set>

#include "carve/btree_walk.h"
#include "carve/record_decoder.h"

namespace salvor::carve::detail {



inline std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// FNV-1a over the values from column `from` on, the row-id column left out
// (a carved copy often lost its row id).
inline std::uint64_t hashValues(const std::vector<Value>& values, std::size_t from, int rowidColumn) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    const auto mix = [&h](const void* p, std::size_t n) {
        const auto* b = static_cast<const std::uint8_t*>(p);
        for (std::size_t i = 0; i < n; ++i) h = (h ^ b[i]) * 0x100000001b3ULL;
    };
    for (std::size_t i = from; i < values.size(); ++i) {
        if (static_cast<int>(i) == rowidColumn) continue;
        const Value& v = values[i];
        const auto type = static_cast<std::uint8_t>(v.type);
        mix(&type, 1);
        if (v.type == Value::Type::integer) mix(&v.integer, sizeof v.integer);
        else if (v.type == Value::Type::real) mix(&v.real, sizeof v.real);
        else if (v.type != Value::Type::null) {
            const std::uint64_t n = v.bytes.size();
            mix(&n, sizeof n);
            mix(v.bytes.data(), v.bytes.size());
        }
    }
    return h;
}

// Hashes of a record's stored form, read without decoding it: its serial
// types and body bytes from column `first` on. `full` covers every column
// (only when first is 0), `suffix` every column after the first, so a record
// whose first column was lost still meets the copy it equals.
struct RawHashes {
    std::uint64_t full = 0, suffix = 0;
};
// A fast 64-bit hash of a byte range: eight bytes at a time, multiplied and
// folded; only equality of stored forms is asked of it.
inline std::uint64_t hashBytes(const std::uint8_t* p, std::size_t n, std::uint64_t h) {
    constexpr std::uint64_t k = 0x9E3779B97F4A7C15ULL;
    h ^= n * k;
    for (; n >= 8; p += 8, n -= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * k;
        h ^= h >> 31;
    }
    std::uint64_t w = 0;
    if (n) std::memcpy(&w, p, n);  // an empty body may have no bytes at all
    h = (h ^ w ^ (std::uint64_t{n} << 56)) * k;
    return h ^ (h >> 29);
}

inline RawHashes rawHashes(const std::vector<std::uint64_t>& types, std::size_t first, Bytes bodies) {
    std::uint64_t full = 0x243F6A8885A308D3ULL, suffix = 0x13198A2E03707344ULL;
    std::size_t at = 0;
    for (std::size_t i = 0; i < types.size(); ++i) {
        const std::uint64_t t = types[i];
        const std::size_t n = static_cast<std::size_t>(
            std::min<std::uint64_t>(serialLength(t), bodies.size() - std::min(at, bodies.size())));
        const std::uint64_t column = hashBytes(bodies.data() + at, n, t);
        full = (full ^ column) * 0x100000001b3ULL + column;
        if (first + i >= 1) suffix = (suffix ^ column) * 0x100000001b3ULL + column;
        at += n;
    }
    return {first == 0 ? full : 0, suffix};
}

// Hashes of the live rows, sorted on the first question: a file without
// deleted rows asks none.
struct HashSet {
    std::vector<std::uint64_t> values;
    bool sorted = false;
    bool has(std::uint64_t h) {
        if (!sorted) {
            std::sort(values.begin(), values.end());
            values.erase(std::unique(values.begin(), values.end()), values.end());
            sorted = true;
        }
        return std::binary_search(values.begin(), values.end(), h);
    }
};

// Where in a page image a record was read.
enum class Region : std::uint8_t { freeblock, unallocated, freelist, cell };

struct Source {
    const PageVersion* version = nullptr;
    bool pageInUse = false;  // a current page some live tree lists
    bool onFreelist = false; // a current page of the free list: all of it is free
    std::string label(Region region) const {
        switch (version->origin.kind) {
        case PageOrigin::Kind::walFrame:
        case PageOrigin::Kind::journal: return version->origin.label();
        case PageOrigin::Kind::file: break;
        }
        if (onFreelist) return "freelist";
        // A listed cell of a file page the log has replaced since.
        if (region == Region::cell) return version->current ? "unallocated" : "superseded-page";
        if (region == Region::freeblock) return "freeblock";
        if (region == Region::freelist) return "freelist";
        return "unallocated";
    }
};

struct LiveRow {
    std::int64_t rowid;
    std::uint32_t page;
    std::uint32_t offset;
};

struct TableState {
    const TableSchema* schema = nullptr;
    std::vector<std::size_t> identity;  // identifying columns; empty: every text column, by majority
    std::vector<LiveRow> live;          // sorted by row id
    HashSet liveFull, liveSuffix;
    std::unordered_map<std::uint64_t, std::int64_t> liveIdentity;
    std::vector<CarvedRow> found;
    std::vector<std::uint64_t> foundFull, foundSuffix;
    std::vector<std::uint32_t> foundEnd;  // one past each found record's last byte on its page
    // Lost-id rows lying in an unbroken chain from a listed cell: their ids
    // are told once every known id of the table is (see settle).
    struct Chain {
        std::vector<std::size_t> rows;  // indexes in `found`, from the listed cell outwards
        std::int64_t anchor = 0;        // the listed cell's id
        std::int64_t step = 0;          // +1 or -1: how the ids move away from it
    };
    std::vector<Chain> chains;
};

// A record's header and where its bodies lie, before its values are read.
struct Layout {
    std::vector<std::uint64_t> types;  // from column `first` on
    std::size_t first = 0;             // columns before it could not be read
    std::uint64_t payloadAt = 0;       // where the payload (header first) began on the page, maybe in lost bytes
    std::uint64_t payload = 0;         // header + bodies
    std::uint64_t bodyAt = 0;          // where the first read body begins on the page
    std::uint64_t end = 0;             // one past the record's last byte on the page
    std::optional<std::int64_t> rowid;
    int score = 0;
    bool wholeHeader = false;          // its header is vouched for: its length field read, or its end the block's
};

class Carver {
public:
    Carver(const DatabaseImage& image, const Schema& schema, const CarveOptions& options, CarveReport& report)
        : image_(image), options_(options), report_(report), walk_(image) {
        for (const TableSchema& t : schema.tables) {
            if (!options.tables.empty() && !std::any_of(options.tables.begin(), options.tables.end(), [&](const std::string& n) {
                    return lower(n) == lower(t.name);
                }))
                continue;
            TableState state;
            state.schema = &t;
            for (const auto& [name, columns] : options.identityColumns) {
                if (lower(name) != lower(t.name)) continue;
                for (const std::string& c : columns)
                    for (std::size_t i = 0; i < t.columns.size(); ++i)
                        if (lower(t.columns[i].name) == lower(c)) state.identity.push_back(i);
            }
            tables_.push_back(std::move(state));
        }
        for (std::size_t i = 0; i < tables_.size(); ++i) {
            // Its rows sit in a key-ordered tree whose freed cells keep no
            // lengths for their first columns; said, never silently skipped.
            if (tables_[i].schema->withoutRowid) {
                report.diagnostics.push_back("the table " + tables_[i].schema->name +
                                             " is stored without row ids; its deleted rows are not searched");
                continue;
            }
            byRoot_[tables_[i].schema->rootPage] = static_cast<int>(i);
            byCount_[tables_[i].schema->columns.size()].push_back(static_cast<int>(i));
        }
        schema_ = &schema;
    }

    void run();

private:
    // ---- the live database ----

    void walkLive();

    // The hash of a row's identifying columns when it holds them all.
    std::optional<std::uint64_t> wholeIdentity(const TableState& t, const std::vector<Value>& values) const;

    std::uint64_t identityHash(const TableState& t, const std::vector<Value>& values) const;

    // ---- one page image ----

    void carveVersion(const PageVersion& v);

    // A cell freed on its own lost its row id to the free block's header.
    // On a leaf whose listed cells lie in key order (as appends and the
    // rebalancing of pages lay them down), the lost rows between two cells
    // whose ids leave exactly as many gaps as there are lost rows between
    // them take those ids. Lost rows in an unbroken chain from one listed
    // cell are kept as a chain, settled once every known id is (settleChains).
    // A wrong id joins a row to a stranger's values, so nothing weaker is
    // trusted.
    void inferRowids(Bytes bytes, const BtreePage& page, int hint, std::size_t firstFound);

    // A chain's ids run on from its listed cell; they are taken only when the
    // ids free between that cell and the next id the table is known to have
    // used (live, or read whole from a carved cell) are exactly as many as
    // the chain's rows. Cells a rebalance packed together may skip ids whose
    // rows lived on another page: then the count does not agree.
    void settleChains(TableState& t);

    int hintOf(std::int32_t root) const;

    // The table most of a page's listed cells fit.
    int vote(Bytes bytes, const BtreePage& page) const;

    void carveFreeSpace(Bytes bytes, const BtreePage& page, int hint, const Source& source);

    // Every offset of [begin, end) where a whole cell (length, row id, header)
    // still stands; a cell found is skipped over.
    void scanRegion(Bytes bytes, std::uint32_t begin, std::uint32_t end, int hint, const Source& source, Region region);

    // The header of a free block at `at` (a link to a later block or none,
    // and a size that fits); a block linked to must read as one too: two old
    // cell pointers side by side read like a header whose link ends in the
    // middle of a cell.
    bool oldFreeHeader(Bytes bytes, std::uint32_t at, bool linked = false) const;

    // An old free block the page's later rewrites left in place, its header
    // still before the records it overwrote: they are rebuilt one after the
    // other. The block may run on into cells written since (the content area
    // grew down over its tail): its records up to `end` are read. Answers
    // where the scan goes on, nothing when no record was rebuilt.
    std::optional<std::uint32_t> rebuildOldBlock(Bytes bytes, std::uint32_t at, std::uint32_t end, int hint,
                                                 const Source& source, Region region, bool dryRun = false);

    // A record read in free space may have been written over later: a newer
    // cell freed since leaves its free-block header inside the older record's
    // bytes, and the older record's tail is then the newer one's; or the
    // newer cell, freed beside it, stands whole at its end. The scan goes on
    // at the first such record of the same table, of three columns or more,
    // so the newer record is read too.
    std::uint32_t newerInside(Bytes bytes, std::uint32_t at, std::uint32_t next, std::uint32_t end, const Source& source,
                              Region region);

    // Whether the lengths at `at` describe a cell that ends exactly at `end`
    // (checked before anything is decoded).
    bool endsAt(Bytes bytes, std::uint32_t at, std::uint32_t end) const;

    // A cell at `at` that ends by `limit`: where it ends when it was taken.
    std::optional<std::uint32_t> tryCell(Bytes bytes, std::uint32_t at, std::uint32_t limit, int hint, bool unlisted,
                                         const Source& source, Region region);

    // The tables a header may belong to, the page's own first.
    std::vector<int> candidates(const std::vector<std::uint64_t>& types, int hint) const;

    // A free block's first four bytes hold the link to the next block and its
    // size: the cell's length, row id and the start of its header are gone.
    // The header is rebuilt from what remains under each way the lost bytes
    // can have been laid out, and the reading that fits the table best wins.
    // Answers where the rebuilt record ends.
    std::optional<std::uint32_t> rebuildFreeblock(Bytes bytes, const Range& block, int hint, const Source& source,
                                                  Region region = Region::freeblock);

    // Sets where the record ends on the page; false when it runs past `limit`.
    bool place(Layout& l, std::size_t limit) const;

    // Reads the values of a laid-out record and keeps it when they fit.
    bool take(Bytes bytes, const Layout& l, int tableIndex, bool unlisted, const Source& source, Region region,
              bool owned = false);

    void add(TableState& table, CarvedRow&& row, const RawHashes& h, std::uint32_t end);

    // ---- one record per row ----

    const LiveRow* liveRow(const TableState& t, std::int64_t rowid) const;

    // Two versions of one row: the identifying columns agree (null on either
    // side agrees); without them, most texts both hold agree.
    bool sameRow(const TableState& t, const std::vector<Value>& a, const std::vector<Value>& b) const;

    void settle();

    // Another copy of a kept row is its earlier version, once per stored
    // form; a newer copy kept only in part (the whole one came first) adds
    // nothing and is dropped.
    static void keepEarlier(CarvedRow& kept, CarvedRow&& row, std::unordered_set<std::uint64_t>& seen, std::uint64_t full);

    static void fillRowid(CarvedRow& row, int rowidColumn);

    bool liveValues(const TableState& t, const LiveRow& l, std::vector<Value>& values);

    const DatabaseImage& image_;
    const CarveOptions& options_;
    CarveReport& report_;
    BtreeWalk walk_;
    const Schema* schema_ = nullptr;
    std::vector<TableState> tables_;
    std::map<std::uint32_t, int> byRoot_;
    std::map<std::size_t, std::vector<int>> byCount_;
    std::vector<std::uint8_t> body_;
    // Set while a record is only looked for (newerInside): take() keeps nothing.
    bool dryRun_ = false;
    int dryColumns_ = 0;  // the columns of the record a dry run found
    int dryTable_ = -1;   // and its table
    int lastTable_ = -1;  // the table of the record last kept
};

}  // namespace salvor::carve::detail
