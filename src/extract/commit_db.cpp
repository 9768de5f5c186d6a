#include "extract/commit_db.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "core/records.h"
#include "core/scan_context.h"
#include "core/stored_file.h"
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
    // Only ever run on our own scratch copies, which are thrown away after the
    // scan: waiting for the disk to confirm each write gains nothing.
    sqlite3_exec(db, "PRAGMA synchronous=OFF;", nullptr, nullptr, nullptr);
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

// The name the backup's file list gives the stored file (its last path
// component, "sms.db"), for messages; the stored name when it lists none.
std::string listedName(const ScanContext& ctx, const std::string& storedPath) {
    for (const TreeDirPtr& node : ctx.treeFileArray) {
        if (!node || !node->fileKey.textIs(storedPath)) continue;
        const std::string path = textOrEmpty(node->filePath);
        if (!path.empty()) return path.substr(path.rfind('/') + 1);
    }
    return fs::path(storedPath).filename().string();
}

// Why the database file `path` (a private copy) cannot be read at all, from
// its first page; empty when it can. A damaged schema entry does not count:
// the readers skip such entries and read the rest.
std::string unreadableDatabase(const std::string& path) {
    // The 100-byte header first, for a reason the person can act on.
    unsigned char header[100] = {};
    if (const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC); fd >= 0) {
        const ssize_t n = ::read(fd, header, sizeof header);
        ::close(fd);
        if (n == 0) return {};  // an empty file is an empty database
        if (n < static_cast<ssize_t>(sizeof header) || std::memcmp(header, "SQLite format 3", 16) != 0)
            return "it does not start as an SQLite database does";
        // Bytes 16-17: the page size, big-endian; 1 stands for 65536.
        const unsigned pageSize = (unsigned{header[16]} << 8) | header[17];
        if (pageSize != 1 && (pageSize < 512 || (pageSize & (pageSize - 1)) != 0))
            return "its header gives the impossible page size " + std::to_string(pageSize);
    }
    sqlite3* db = nullptr;
    std::string why;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        why = db ? sqlite3_errmsg(db) : "it cannot be opened";
    } else {
        sqlite3_exec(db, "PRAGMA writable_schema=ON", nullptr, nullptr, nullptr);
        char* message = nullptr;
        if (sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, &message) != SQLITE_OK)
            why = message ? message : "it is not a database";
        sqlite3_free(message);
    }
    sqlite3_close(db);
    return why;
}

}  // namespace

std::optional<std::string> preparedCopy(ScanContext& ctx, const std::string& storedPath) {
    std::error_code ec;
    // A stopped scan makes no further copies.
    if (ctx.stopRequested()) return std::nullopt;
    if (storedPath.empty()) return std::nullopt;
    // Only a regular file of the backup is copied, read through the descriptor
    // that was checked: a link is never followed (it could lead anywhere on
    // the machine) and a FIFO is opened without waiting on it.
    struct Fd {
        int fd;
        ~Fd() {
            if (fd >= 0) ::close(fd);
        }
    };
    const Fd source{openStoredFile(storedPath, O_RDONLY | O_NONBLOCK)};
    struct stat st {};
    if (source.fd < 0 || ::fstat(source.fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;

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
    std::string why, note;
    {
        Fd target{::open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)};
        if (target.fd < 0) why = std::strerror(errno);
        else copyStoredFile(ctx.cipher.get(), source.fd, storedPath, target.fd, why, note);
        if (target.fd >= 0 && ::close(std::exchange(target.fd, -1)) != 0 && why.empty()) why = std::strerror(errno);
    }
    const std::string name = fs::path(storedPath).filename().string();
    if (!why.empty()) {
        fs::remove(copy, ec);
        if (needsDecryption(ctx.cipher.get(), static_cast<std::uint64_t>(st.st_size)))
            ctx.reportProblem("The database " + name + " could not be decrypted (" + why + "), so its records are missing.");
        else
            ctx.reportProblem("A private copy of the database " + name + " could not be made in " + ctx.scanScratchDir +
                              " (" + why +
                              "), so its records are missing. Free some space or set TMPDIR to another folder, and "
                              "scan again.");
        return std::nullopt;
    }
    if (!note.empty()) log::line("The database " + name + ": " + note, log::Level::Info);
    commitDB(copy.string());
    ctx.preparedDatabases[storedPath] = copy.string();
    // Said once, here, for every reader: otherwise a file that is no database
    // would read as one without records. The copy is still handed out (its
    // readers find nothing in it, the carving may).
    if (const std::string why = unreadableDatabase(copy.string()); !why.empty())
        ctx.reportProblem("The database " + listedName(ctx, storedPath) + " could not be read (" + why +
                          "), so its records are missing.");
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
