#include "forge/modern_db.h"

#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace salvor::forge::db {

void insertNamed(DbFile& db, const std::string& table, const Named& values) {
    std::string names, marks;
    for (const auto& [name, value] : values) {
        names += (names.empty() ? "" : ",") + std::string(name);
        marks += marks.empty() ? "?" : ",?";
    }
    const std::string sql = "INSERT INTO " + table + "(" + names + ") VALUES(" + marks + ")";
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db.handle(), sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
        throw std::runtime_error("forge: " + sql + ": " + sqlite3_errmsg(db.handle()));
    int i = 1;
    for (const auto& [name, v] : values) {
        switch (v.k) {
            case V::K::Null: sqlite3_bind_null(st, i); break;
            case V::K::Int: sqlite3_bind_int64(st, i, v.i); break;
            case V::K::Real: sqlite3_bind_double(st, i, v.d); break;
            case V::K::Text: sqlite3_bind_text(st, i, v.s.data(), static_cast<int>(v.s.size()), SQLITE_TRANSIENT); break;
            case V::K::Bytes:
                sqlite3_bind_blob(st, i, v.b->data(), static_cast<int>(v.b->size()), SQLITE_TRANSIENT);
                break;
        }
        ++i;
    }
    const int rc = sqlite3_step(st);
    const std::string err = sqlite3_errmsg(db.handle());
    sqlite3_finalize(st);
    if (rc != SQLITE_DONE) throw std::runtime_error("forge: " + sql + ": " + err);
}

void startLog(DbFile& db) {
    db.exec("PRAGMA journal_mode=WAL");
    db.exec("PRAGMA wal_autocheckpoint=0");
}

namespace {

Blob readAll(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return {};
    std::ifstream in(path, std::ios::binary);
    Blob bytes(static_cast<std::size_t>(std::filesystem::file_size(path, ec)));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!in) throw std::runtime_error("forge: cannot read " + path);
    return bytes;
}

}  // namespace

FileAndLog finishWithLog(DbFile& db, const std::string& path) {
    // Read while the connection is open: closing checkpoints the log into
    // the file and deletes it.
    FileAndLog out{readAll(path), readAll(path + "-wal")};
    db.finish();
    return out;
}

void writeBytes(const std::string& path, const Blob& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("forge: cannot write " + path);
}

}  // namespace salvor::forge::db
