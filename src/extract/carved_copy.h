// The deleted rows of a database, made readable by the same statements that
// read its live rows: the rows the carving engine found in the stored file
// and its write-ahead log are written, beside the live rows of the tables
// they join to, into a private database of the same columns. A reader then
// runs over it as over the live copy and lists as deleted exactly the rows
// the carving found (each says where it survived); live rows there only give
// joins their other side.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace salvor {

class ScanContext;

namespace modern {

struct Found;

struct CarvedOrigin {
    std::string carvedFrom;  // "freeblock", "unallocated", "freelist", "wal-frame-N", "journal"
    std::uint32_t page = 0;
};

struct CarvePlan {
    // Tables whose deleted rows are records of the category.
    std::vector<std::string> mainTables;
    // Tables read for joins only (their live and deleted rows).
    std::vector<std::string> joinTables;
    // The columns that tell one row of a main table from another, so an
    // edited row's older copy is not listed as a deleted one.
    std::map<std::string, std::vector<std::string>> identity;
    // A deleted row that lost its id (its cell's first bytes were reused)
    // cannot be joined. Where a table's ids rise with a creation time, the
    // id is told by the rows around it in time: between two known rows, the
    // ids no row holds that rows of `referencing` name in `column` are given,
    // in time order, to the lost rows created between them, when there are
    // exactly as many; otherwise none.
    struct IdsByCreation {
        std::string table;
        std::vector<std::string> created;  // the first of these columns the table has
        std::string referencing, column;
    };
    std::vector<IdsByCreation> idsByCreation;
};

class CarvedCopy {
public:
    std::string path;
    // Where the deleted row with this row id (in the private database) of a
    // main table was found; null for a live row.
    const CarvedOrigin* originOf(std::string_view table, std::int64_t rowid) const;
    std::size_t deletedRows() const { return deleted_; }
    // A deleted row whose own id was lost got an id of the private database
    // from this one up: no column of another row can name it.
    static constexpr std::int64_t kFreshIds = std::int64_t{1} << 40;
    static bool idWasLost(std::int64_t rowid) { return rowid >= kFreshIds; }

    std::map<std::string, std::map<std::int64_t, CarvedOrigin>> origins;  // lower-case table name -> rows
    std::size_t deleted_ = 0;
};

// Marks a record read from the private database as the deleted row the
// carving found at `origin`.
template <class Record>
void markCarved(Record& record, const CarvedOrigin& origin) {
    record.bDeleted = 1;
    record.carvedFrom = origin.carvedFrom;
    record.carvedPage = origin.page;
}

// Carves the stored database of `found` (its log read too; both decrypted
// when the backup is encrypted) and writes the private database. `liveCopy`
// is the prepared live copy whose rows of the plan's tables are copied in.
// Nothing when no main table has a deleted row, or the copy cannot be made
// (a problem of the scan says why).
std::optional<CarvedCopy> carvedCopy(ScanContext& ctx, const Found& found, const std::string& liveCopy,
                                     const CarvePlan& plan, const std::string& label);

}  // namespace modern
}  // namespace salvor
