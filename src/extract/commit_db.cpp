#include "extract/commit_db.h"

#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

#include "core/scan_context.h"
#include "platform/log.h"
#include "platform/scratch.h"

namespace salvor {

namespace fs = std::filesystem;

void commitDB(const std::string& path) {
    sqlite3* db = nullptr;
    // Never create a file that is not there.
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        if (db != nullptr) sqlite3_close(db);
        return;
    }
    if (sqlite3_exec(db, "PRAGMA journal_mode=WAL;", nullptr, nullptr, nullptr) == SQLITE_OK) {
        if (sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr) != SQLITE_OK) {
            log::line("Failed to commit");
        }
    }
    // The connection is closed on every path, a failed checkpoint included.
    sqlite3_close_v2(db);
}

namespace {

bool insideDir(const std::string& path, const std::string& dir) {
    return !dir.empty() && path.size() > dir.size() + 1 && path.compare(0, dir.size(), dir) == 0 &&
           path[dir.size()] == '/';
}

}  // namespace

std::optional<std::string> preparedCopy(ScanContext& ctx, const std::string& storedPath) {
    std::error_code ec;
    // A stopped scan makes no further copies.
    if (ctx.stopRequested()) return std::nullopt;
    if (storedPath.empty() || !fs::is_regular_file(storedPath, ec)) return std::nullopt;

    if (ctx.scanScratchDir.empty()) {
        ctx.scanScratchDir = scratch::create("salvor-extract-");
        if (ctx.scanScratchDir.empty()) {
            ctx.reportProblem("No private folder could be made in the temporary folder (" + scratch::lastError() +
                              "), so the backup's databases could not be read. Free some space or set TMPDIR to "
                              "another folder, and scan again.");
            return std::nullopt;
        }
    }
    // A cached copy counts only when it belongs to the current scratch folder
    // (a previous scan's folder is gone) and is still there.
    if (auto it = ctx.preparedDatabases.find(storedPath); it != ctx.preparedDatabases.end()) {
        if (insideDir(it->second, ctx.scanScratchDir) && fs::is_regular_file(it->second, ec)) return it->second;
        ctx.preparedDatabases.erase(it);
    }

    const fs::path copy = fs::path(ctx.scanScratchDir) /
                          (std::to_string(ctx.preparedDatabases.size()) + "-" + fs::path(storedPath).filename().string());
    fs::remove(copy, ec);
    if (!fs::copy_file(storedPath, copy, fs::copy_options::overwrite_existing, ec) || ec) {
        const std::string why = ec ? ec.message() : std::string("copy failed");
        fs::remove(copy, ec);
        ctx.reportProblem("A private copy of the database " + fs::path(storedPath).filename().string() +
                          " could not be made in " + ctx.scanScratchDir + " (" + why +
                          "), so its records are missing. Free some space or set TMPDIR to another folder, and "
                          "scan again.");
        return std::nullopt;
    }
    // The copy inherits the stored file's mode; it is ours, so make it writable.
    fs::permissions(copy, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace, ec);
    commitDB(copy.string());
    ctx.preparedDatabases[storedPath] = copy.string();
    return copy.string();
}

ScratchScope::ScratchScope(ScanContext& ctx) : ctx_(ctx), owned_(ctx.scanScratchDir.empty()) {
    // Created at once, so stages run inside this scope share its copies.
    if (owned_) ctx_.scanScratchDir = scratch::create("salvor-extract-");
}

ScratchScope::~ScratchScope() {
    if (!owned_ || ctx_.scanScratchDir.empty()) return;
    scratch::release(ctx_.scanScratchDir);
    for (auto it = ctx_.preparedDatabases.begin(); it != ctx_.preparedDatabases.end();) {
        if (insideDir(it->second, ctx_.scanScratchDir))
            it = ctx_.preparedDatabases.erase(it);
        else
            ++it;
    }
    ctx_.scanScratchDir.clear();
}

}  // namespace salvor
