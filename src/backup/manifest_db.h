// The file list of iOS 10 and later backups ("Manifest.db", SQLite): reading
// it without ever writing the backup, the checks every row passes before its
// texts become paths, and the manifest stage for such backups.
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace salvor {

class ScanContext;

// Exactly 40 lower-case hex digits: the only stored-file names that become paths.
bool isValidFileId(std::string_view id);
// A relative path inside its domain: not absolute, no "." or ".." component,
// no NUL byte. Empty is the domain itself.
bool isSafeRelativePath(std::string_view path);
// A domain name that can stand as one folder name: not empty, no "/", not "." or "..", no NUL byte.
bool isSafeDomain(std::string_view domain);

// Opens a database of the backup for reading only, immutable (no lock, no
// journal, nothing written beside it); null with `error` set on failure.
// Stops the connection's statements once `stop` is requested.
sqlite3* openBackupDatabase(const std::string& path, std::string& error);
// An ordinary table of that name (case-insensitive) is in the schema: not a
// view, a virtual table or a shadow table of one.
bool isOrdinaryTable(sqlite3* db, const std::string& name);
// Names of the columns of `table` (a real table, not a view), in order; empty
// when there is no such table.
std::vector<std::string> tableColumns(sqlite3* db, const std::string& table);
// The column of `columns` equal to `name` ignoring case, quoted for SQL; empty when absent.
std::string quotedColumn(const std::vector<std::string>& columns, std::string_view name);

// Read-only view of one Manifest.db. The file is opened immutable: SQLite
// takes no lock and creates no journal or shared-memory file beside it.
class ManifestDb {
public:
    // One row of the Files table. Views are valid during the visit only;
    // missing or NULL values are empty (flags 0).
    struct Row {
        std::string_view fileId;
        std::string_view domain;
        std::string_view relativePath;
        std::int64_t flags = 0;
        const std::uint8_t* file = nullptr;  // the MBFile archive
        std::size_t fileSize = 0;
    };

    static constexpr std::int64_t kFlagFile = 1;
    static constexpr std::int64_t kFlagDirectory = 2;
    static constexpr std::int64_t kFlagLink = 4;
    // Larger "file" values are read as absent: a real archive has some hundred bytes.
    static constexpr std::size_t kMaxArchiveSize = 1 << 20;

    explicit ManifestDb(const std::string& path, std::stop_token stop = {});
    ~ManifestDb();
    ManifestDb(const ManifestDb&) = delete;
    ManifestDb& operator=(const ManifestDb&) = delete;

    // Empty when the file opened and holds a Files table with the columns
    // fileID, domain and relativePath; otherwise why not, for the person.
    const std::string& problem() const { return problem_; }
    bool ok() const { return problem_.empty(); }

    // Rows in the table (0 when unknown); for progress only.
    std::uint64_t rowCount();
    // Visits every row in stored order; false when reading ended on an error
    // (then problem() says so) rather than at the end of the table.
    bool forEachRow(const std::function<void(const Row&)>& visit);
    // The file ID listed for (domain, relativePath) when it is a valid one;
    // its MBFile archive into `archive` when one is asked for.
    std::optional<std::string> fileIdOf(const std::string& domain, const std::string& relativePath,
                                        std::string* archive = nullptr);

private:
    sqlite3* db_ = nullptr;
    std::stop_token stop_;
    std::string problem_;
    std::string select_;  // the columns found, by name
};

// The manifest stage for a Manifest.db backup: posts every usable row for the
// file tree, keeps the rows of the looked-up domains (and of the notes and
// Safari containers, for lookups by path only), reports camera-roll
// media (dated and trash-marked from the photo library when the backup holds
// one) and social-application files, and reports rows it could not use.
void scanManifestDb(ScanContext& ctx, const std::string& backupPath);

}  // namespace salvor
