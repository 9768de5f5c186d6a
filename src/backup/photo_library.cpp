#include "backup/photo_library.h"

#include <chrono>
#include <cmath>
#include <filesystem>

#include "backup/manifest_db.h"
#include "core/helpers.h"

namespace salvor {

namespace {

// What one read of the library may do. The library is the phone's file: a
// statement ends when the scan stops, after a number of virtual-machine steps
// in proportion to the file (real libraries take some tens per asset row, a
// few per KiB), or after a time, for steps that cost more than their count.
struct ReadBudget {
    static constexpr int kTickSteps = 1000;
    std::stop_token stop;
    std::uint64_t ticksLeft = 0;
    std::chrono::steady_clock::time_point deadline;
    bool tripped = false;

    static int onProgress(void* p) {
        auto* b = static_cast<ReadBudget*>(p);
        if (b->stop.stop_requested()) return 1;
        if (b->ticksLeft == 0 || (b->ticksLeft % 64 == 0 && std::chrono::steady_clock::now() > b->deadline)) {
            b->tripped = true;
            return 1;
        }
        --b->ticksLeft;
        return 0;
    }
};

void boundConnection(sqlite3* db) {
    sqlite3_limit(db, SQLITE_LIMIT_EXPR_DEPTH, 200);
    sqlite3_limit(db, SQLITE_LIMIT_COMPOUND_SELECT, 64);
    sqlite3_limit(db, SQLITE_LIMIT_VDBE_OP, 250'000);
    sqlite3_limit(db, SQLITE_LIMIT_ATTACHED, 0);
    sqlite3_limit(db, SQLITE_LIMIT_TRIGGER_DEPTH, 8);
    sqlite3_limit(db, SQLITE_LIMIT_LENGTH, 64 << 20);
    // Sorts and temporary indexes in memory, where the process's ceiling on
    // SQLite's heap bounds them; as files they would have no bound.
    sqlite3_exec(db, "PRAGMA temp_store=MEMORY;", nullptr, nullptr, nullptr);
}

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
    boundConnection(db);
    ReadBudget budget;
    budget.stop = stop;
    {
        std::error_code ec;
        const auto bytes = std::filesystem::file_size(storedPath, ec);
        const std::uint64_t kib = ec ? 0 : bytes / 1024;
        budget.ticksLeft = (20'000'000 + 8'000 * kib) / ReadBudget::kTickSteps;
        budget.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30) +
                          std::chrono::milliseconds(200) * static_cast<std::int64_t>(kib / 1024);
    }
    sqlite3_progress_handler(db, ReadBudget::kTickSteps, &ReadBudget::onProgress, &budget);
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
                facts.createDate = shownTimestampOf(static_cast<std::int64_t>(std::floor(seconds)), 1);
        }
        facts.trashed = sqlite3_column_type(st, 3) == SQLITE_INTEGER && sqlite3_column_int64(st, 3) == 1;
        library.facts["Media/" + dir + "/" + name] = std::move(facts);
    }
    if (budget.tripped)
        library.problem = "reading it took more than its bound; the assets read so far are kept";
    else if (rc != SQLITE_DONE && !stop.stop_requested())
        library.problem = sqlite3_errmsg(db);
    sqlite3_finalize(st);
    sqlite3_close(db);
    return library;
}

}  // namespace salvor
