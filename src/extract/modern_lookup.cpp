#include "extract/modern_lookup.h"

#include <algorithm>
#include <cctype>

#include "core/scan_context.h"
#include "extract/extract_util.h"
#include "extract/sqlite_db.h"

namespace salvor::modern {

namespace {

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// The stored file of a manifest record, when the record is a file that the
// backup folder holds.
std::string storedFileOf(const MVTreeDirNode& node) {
    if (node.isDirectoryRecord() || !node.fileKey || node.fileKey->empty()) return {};
    return extract_detail::fileExists(*node.fileKey) ? *node.fileKey : std::string();
}

}  // namespace

std::string findDatabase(const ScanContext& ctx, std::initializer_list<Place> places, bool anyDomain) {
    for (const Place& place : places) {
        for (const TreeDirPtr& node : ctx.treeFileArray) {
            if (!node || textOrEmpty(node->filePath) != place.relativePath || textOrEmpty(node->fileDomain) != place.domain)
                continue;
            if (std::string stored = storedFileOf(*node); !stored.empty()) return stored;
        }
    }
    for (const Place& place : places) {
        const std::string stored = ctx.storedPath(place.storedName);
        if (extract_detail::fileExists(stored)) return stored;
    }
    if (anyDomain) {
        for (const Place& place : places) {
            for (const TreeDirPtr& node : ctx.treeFileArray) {
                if (!node || textOrEmpty(node->filePath) != place.relativePath) continue;
                if (std::string stored = storedFileOf(*node); !stored.empty()) return stored;
            }
        }
    }
    return {};
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
