// Finding a category database in a backup that lists its files in
// Manifest.db, and reading a table whose columns change with every system
// version: columns are chosen by name, never by position.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace salvor {

class ScanContext;
namespace sqlite {
class Database;
}

namespace modern {

// One place where a system version keeps a database: its domain, its path on
// the device and its stored name (the SHA-1 of "domain-path").
struct Place {
    const char* domain;
    const char* relativePath;
    const char* storedName;
};

// A database found in the backup folder and the write-ahead log stored
// beside it, when the manifest lists one (its path with "-wal"): a backup may
// hold rows the phone had not yet moved into the database file.
struct Found {
    std::string stored;  // empty: not in the backup
    std::string log;     // empty: none
};

// The stored file of the first place that the backup holds: first by the
// manifest's records (domain and path), then by the stored name alone (a
// manifest stage that kept no record of that domain), and with `anyDomain`
// finally by the path in whatever domain the manifest lists it.
Found findDatabase(const ScanContext& ctx, std::initializer_list<Place> places, bool anyDomain = false);

// The prepared private copy of a found database (see preparedCopy), its log
// folded in the first time. Absent when the database cannot be copied; a log
// that cannot be copied is left out.
std::optional<std::string> preparedCopy(ScanContext& ctx, const Found& found);

// The columns of one table, read once from the file's own layout.
class TableColumns {
public:
    TableColumns(const sqlite::Database& db, std::string table);

    // The table is there and has columns.
    bool exists() const { return !names_.empty(); }
    bool has(std::string_view column) const;
    // The column as a select-list term, or NULL when the table lacks it, so a
    // statement over a layout without it still reads every other column.
    std::string ref(std::string_view column) const;
    // ref() of each column, joined by commas, in the given order.
    std::string select(std::initializer_list<std::string_view> columns) const;
    const std::string& table() const { return table_; }

private:
    std::string table_;
    std::vector<std::string> names_;
};

}  // namespace modern
}  // namespace salvor
