#include "extract/modern_lookup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <vector>

#include "core/scan_context.h"
#include "core/stored_file.h"
#include "extract/commit_db.h"
#include "extract/extract_util.h"
#include "extract/sqlite_db.h"

namespace salvor::modern {

namespace {

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// A stored name is 40 hex digits, in the backup folder or in its folder of
// the name's first two digits; nothing else is read, whatever a record says.
bool storedNameInside(const std::string& path, const std::string& folder) {
    if (folder.empty() || path.size() <= folder.size() + 1 || path.compare(0, folder.size(), folder) != 0 ||
        path[folder.size()] != '/')
        return false;
    const std::string_view rest = std::string_view(path).substr(folder.size() + 1);
    const auto hex = [](std::string_view s) {
        return std::all_of(s.begin(), s.end(),
                           [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
    };
    if (rest.size() == 40) return hex(rest);
    return rest.size() == 43 && rest[2] == '/' && rest.substr(0, 2) == rest.substr(3, 2) && hex(rest.substr(3));
}

// The stored file of a manifest record, when the record is a file that the
// backup folder holds.
std::string storedFileOf(const ScanContext& ctx, const MVTreeDirNode& node) {
    if (node.isDirectoryRecord() || !node.fileKey || !storedNameInside(*node.fileKey, ctx.backupPath)) return {};
    return extract_detail::fileExists(*node.fileKey) ? *node.fileKey : std::string();
}

// The stored log that the manifest lists beside `relativePath` of `domain`.
std::string logOf(const ScanContext& ctx, const std::string& domain, const std::string& relativePath) {
    const std::string logPath = relativePath + "-wal";
    for (const TreeDirPtr& node : ctx.treeFileArray) {
        if (!node || !node->filePath.textIs(logPath) || textOrEmpty(node->fileDomain) != domain) continue;
        if (std::string stored = storedFileOf(ctx, *node); !stored.empty()) return stored;
    }
    return {};
}

Found found(const ScanContext& ctx, const MVTreeDirNode& node, std::string stored) {
    return {std::move(stored), logOf(ctx, textOrEmpty(node.fileDomain), textOrEmpty(node.filePath))};
}

// Copies (decrypting in an encrypted backup) the regular stored file `from`,
// never through a link, to the private file `to`.
bool copyRegularFile(const ScanContext& ctx, const std::string& from, const std::string& to) {
    struct Fd {
        int fd;
        ~Fd() {
            if (fd >= 0) ::close(fd);
        }
    };
    const Fd source{openStoredFile(from, O_RDONLY | O_NONBLOCK)};
    struct stat st {};
    if (source.fd < 0 || ::fstat(source.fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    const Fd target{::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600)};
    if (target.fd < 0) return false;
    std::string why, note;
    return copyStoredFile(ctx.cipher.get(), source.fd, from, target.fd, why, note);
}

}  // namespace

Found findDatabase(const ScanContext& ctx, std::initializer_list<Place> places, bool anyDomain) {
    for (const Place& place : places) {
        for (const TreeDirPtr& node : ctx.treeFileArray) {
            if (!node || !node->filePath.textIs(place.relativePath) || textOrEmpty(node->fileDomain) != place.domain)
                continue;
            if (std::string stored = storedFileOf(ctx, *node); !stored.empty())
                return found(ctx, *node, std::move(stored));
        }
    }
    for (const Place& place : places) {
        std::string stored = ctx.storedPath(place.storedName);
        if (extract_detail::fileExists(stored))
            return {std::move(stored), logOf(ctx, place.domain, place.relativePath)};
    }
    if (anyDomain) {
        for (const Place& place : places) {
            for (const TreeDirPtr& node : ctx.treeFileArray) {
                if (!node || !node->filePath.textIs(place.relativePath)) continue;
                if (std::string stored = storedFileOf(ctx, *node); !stored.empty())
                    return found(ctx, *node, std::move(stored));
            }
        }
    }
    return {};
}

std::optional<std::string> preparedCopy(ScanContext& ctx, const Found& database) {
    auto copy = salvor::preparedCopy(ctx, database.stored);
    if (!copy || database.log.empty()) return copy;
    // Each copy takes its log once: the entry records that it was folded in.
    const std::string log = *copy + "-wal";
    if (const auto it = ctx.preparedDatabases.find(database.log);
        it != ctx.preparedDatabases.end() && it->second == log)
        return copy;
    // The copy is in write-ahead-log mode: opened with the log beside it, the
    // log's complete transactions are read and checkpointed into the copy.
    if (copyRegularFile(ctx, database.log, log)) commitDB(*copy);
    ctx.preparedDatabases[database.log] = log;
    return copy;
}

TableColumns::TableColumns(const sqlite::Database& db, std::string table) : table_(std::move(table)) {
    // Only a real table is asked for its columns (a view could run any query).
    if (db.kindOf(table_) != sqlite::Database::Kind::Table) return;
    sqlite::Statement query(db, "select name from pragma_table_info(:table)");
    if (!query.ok()) return;
    sqlite3_bind_text(query.raw(), 1, table_.c_str(), static_cast<int>(table_.size()), SQLITE_TRANSIENT);
    while (query.step())
        if (const char* name = query.text(0); sqlite::hasText(name)) names_.emplace_back(name);
}

bool TableColumns::has(std::string_view column) const {
    return std::any_of(names_.begin(), names_.end(), [&](const std::string& n) { return sameName(n, column); });
}

std::string TableColumns::ref(std::string_view column) const {
    // Names are the reader's own constants, never text from the file.
    if (!has(column)) return "NULL";
    return table_ + "." + std::string(column);
}

std::string TableColumns::select(std::initializer_list<std::string_view> columns) const {
    std::string out;
    for (std::string_view column : columns) {
        if (!out.empty()) out += ", ";
        out += ref(column);
    }
    return out;
}

}  // namespace salvor::modern
