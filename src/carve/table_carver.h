// The carving engine that reads each table's own layout. It takes the tables
// and their columns from the file's schema, walks every live b-tree to learn
// which pages hold what, and then reads deleted rows wherever SQLite leaves
// them: the free-block chain and the unallocated gap of every table leaf, the
// pages of the free list, pages no b-tree lists any more, older images of
// pages in the write-ahead log and the rollback journal, and overflow chains
// still intact. A candidate is kept only when it fits its table's columns.
//
// Rows are merged into one record per row (the newest version, older differing
// ones kept as earlier versions), and a copy of a row the database still holds
// is not a deleted record: an older version of a live row is reported apart,
// with that row's id.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "carve/sqlite_image.h"

namespace salvor::carve {

// A table's layout as its CREATE TABLE statement declares it.
struct TableColumn {
    std::string name;
    std::string declaredType;
    char affinity = 'b';      // 'i' integer, 't' text, 'b' blob/none, 'r' real, 'n' numeric
    bool isDate = false;      // named as a date or time: numbers must be plausible dates
    bool isBoolean = false;   // declared BOOL/BOOLEAN: 0 or 1
};

struct TableSchema {
    std::string name;
    std::uint32_t rootPage = 0;
    std::vector<TableColumn> columns;
    int rowidColumn = -1;      // the INTEGER PRIMARY KEY column (stored NULL, its value is the row id)
    bool withoutRowid = false;
};

// The tables of the database's schema (sqlite_master, read from the current
// pages), indexes as roots only. Virtual tables are left out; their shadow
// tables are ordinary tables. Diagnostics go to `why`.
struct Schema {
    std::vector<TableSchema> tables;
    std::vector<std::uint32_t> indexRoots;
};
Schema readSchema(const DatabaseImage& image, std::vector<std::string>* diagnostics = nullptr);

// One decoded column value.
struct Value {
    enum class Type : std::uint8_t { null, integer, real, text, blob };
    Type type = Type::null;
    std::int64_t integer = 0;
    double real = 0;
    std::string bytes;  // text as UTF-8 (converted from the file's encoding), or the blob

    bool operator==(const Value&) const = default;
};

struct CarvedRow {
    std::optional<std::int64_t> rowid;  // lost when the cell's first bytes were overwritten
    std::vector<Value> values;          // one per column; the row-id column holds the row id when known
    std::string carvedFrom;             // "freeblock", "unallocated", "freelist", "wal-frame-N", "journal"
    std::uint32_t page = 0;             // 1-based page number it was read from
    std::uint64_t offset = 0;           // byte offset in that page image
    std::uint64_t age = 0;              // PageOrigin::age of the image: larger is newer
    bool partial = false;               // some columns could not be read (their values null)
    bool rowidInferred = false;         // the id was lost; known from the ids of the cells around it
    std::vector<CarvedRow> earlierVersions;  // older differing versions of the same row
};

struct TableCarve {
    TableSchema schema;
    std::vector<CarvedRow> deleted;  // rows the database no longer holds
    // Older versions of rows the database still holds, by the live row's id.
    std::map<std::int64_t, std::vector<CarvedRow>> earlierVersionsOfLive;
    std::uint64_t liveRows = 0;
};

struct CarveOptions {
    // Only these tables (names compared ignoring case); all when empty.
    std::set<std::string> tables;
    // Checked between pages: true stops the carving (what was found is kept).
    std::function<bool()> stopRequested;
    // The columns that identify a row of a table (its guid, its names...): a
    // carved row with a live row's id is that row's earlier version when these
    // are equal (null on either side counts as equal), a deleted row reusing
    // the id when not. Tables not named here compare every text column.
    std::map<std::string, std::vector<std::string>> identityColumns;
};

struct CarveReport {
    std::vector<TableCarve> tables;
    std::vector<std::string> diagnostics;
    // Where the deleted rows were found, by carvedFrom kind ("wal-frame" for all frames).
    std::map<std::string, std::uint64_t> foundIn;
};

CarveReport carveDatabase(const DatabaseImage& image, const CarveOptions& options = {});

// Text of a value for display and keys: integers and reals in decimal, texts
// as they are, blobs as "<N bytes>", null as empty.
std::string valueText(const Value& value);

}  // namespace salvor::carve
