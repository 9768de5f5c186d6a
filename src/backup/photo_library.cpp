#include "backup/photo_library.h"

#include <cmath>

#include "backup/manifest_db.h"
#include "core/helpers.h"

namespace salvor {

namespace {

int stopRequested(void* token) { return static_cast<std::stop_token*>(token)->stop_requested() ? 1 : 0; }

std::string textAt(sqlite3_stmt* st, int i) {
    if (sqlite3_column_type(st, i) != SQLITE_TEXT) return {};
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(st, i));
    return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(st, i))) : std::string();
}

}  // namespace

PhotoLibrary readPhotoLibrary(const std::string& storedPath, std::stop_token stop) {
    PhotoLibrary library;
    std::string error;
    sqlite3* db = openBackupDatabase(storedPath, error);
    if (!db) {
        library.problem = error;
        return library;
    }
    sqlite3_progress_handler(db, 4096, &stopRequested, &stop);
    // iOS 14 renamed the asset table.
    std::string table = "ZASSET";
    std::vector<std::string> columns = tableColumns(db, table);
    if (columns.empty()) columns = tableColumns(db, table = "ZGENERICASSET");
    const std::string directory = quotedColumn(columns, "ZDIRECTORY"), file = quotedColumn(columns, "ZFILENAME");
    if (columns.empty() || directory.empty() || file.empty()) {
        library.problem = "it has no table of assets";
        sqlite3_close(db);
        return library;
    }
    const std::string created = quotedColumn(columns, "ZDATECREATED"), trashed = quotedColumn(columns, "ZTRASHEDSTATE");
    const std::string sql = "SELECT " + directory + ", " + file + ", " + (created.empty() ? "NULL" : created) + ", " +
                            (trashed.empty() ? "NULL" : trashed) + " FROM \"" + table + "\"";
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
        library.problem = sqlite3_errmsg(db);
        sqlite3_finalize(st);
        sqlite3_close(db);
        return library;
    }
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        const std::string dir = textAt(st, 0), name = textAt(st, 1);
        if (dir.empty() || name.empty()) continue;
        PhotoFacts facts;
        const int dateType = sqlite3_column_type(st, 2);
        if (dateType == SQLITE_FLOAT || dateType == SQLITE_INTEGER) {
            // Seconds since 2001, stored as a real number.
            const double seconds = sqlite3_column_double(st, 2);
            if (std::isfinite(seconds) && std::fabs(seconds) < 1e11)
                facts.createDate = dateText(static_cast<std::int64_t>(std::floor(seconds)), 1);
        }
        facts.trashed = sqlite3_column_type(st, 3) == SQLITE_INTEGER && sqlite3_column_int64(st, 3) == 1;
        library.facts["Media/" + dir + "/" + name] = std::move(facts);
    }
    if (rc != SQLITE_DONE && !stop.stop_requested()) library.problem = sqlite3_errmsg(db);
    sqlite3_finalize(st);
    sqlite3_close(db);
    return library;
}

}  // namespace salvor
