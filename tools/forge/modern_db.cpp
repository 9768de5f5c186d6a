#include "forge/modern_db.h"

#include <sqlite3.h>

#include <cstdint>
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

std::uint32_t bigEndian(const Blob& b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) << 24 | static_cast<std::uint32_t>(b[at + 1]) << 16 |
           static_cast<std::uint32_t>(b[at + 2]) << 8 | static_cast<std::uint32_t>(b[at + 3]);
}

void putBigEndian(Blob& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

// The log's checksum: over pairs of 32-bit words, read in the byte order the
// log's magic number names, each sum carried into the next.
void walChecksum(const Blob& b, std::size_t at, std::size_t size, bool bigWords, std::uint32_t& s0,
                 std::uint32_t& s1) {
    const auto word = [&](std::size_t i) {
        if (bigWords) return bigEndian(b, i);
        return static_cast<std::uint32_t>(b[i]) | static_cast<std::uint32_t>(b[i + 1]) << 8 |
               static_cast<std::uint32_t>(b[i + 2]) << 16 | static_cast<std::uint32_t>(b[i + 3]) << 24;
    };
    for (std::size_t i = at; i + 8 <= at + size; i += 8) {
        s0 += word(i) + s1;
        s1 += word(i + 4) + s0;
    }
}

// SQLite draws the log's two salts at random; fixed ones (and the checksums
// they enter, recomputed) make the same seed give the same bytes. Header: 32
// bytes (magic, version, page size, checkpoint number, salts, checksum of the
// first 24); each frame: 24 bytes (page, size after commit, salts, running
// checksum over its first 8 bytes and the page) and the page.
void fixSalts(Blob& log) {
    if (log.size() < 32) return;
    const bool bigWords = (bigEndian(log, 0) & 1) != 0;
    const std::uint32_t pageSize = bigEndian(log, 8);
    putBigEndian(log, 16, 0x5A17F0A1);
    putBigEndian(log, 20, 0x0DDBA11C);
    std::uint32_t s0 = 0, s1 = 0;
    walChecksum(log, 0, 24, bigWords, s0, s1);
    putBigEndian(log, 24, s0);
    putBigEndian(log, 28, s1);
    for (std::size_t frame = 32; pageSize > 0 && frame + 24 + pageSize <= log.size(); frame += 24 + pageSize) {
        putBigEndian(log, frame + 8, 0x5A17F0A1);
        putBigEndian(log, frame + 12, 0x0DDBA11C);
        walChecksum(log, frame, 8, bigWords, s0, s1);
        walChecksum(log, frame + 24, pageSize, bigWords, s0, s1);
        putBigEndian(log, frame + 16, s0);
        putBigEndian(log, frame + 20, s1);
    }
}

}  // namespace

FileAndLog finishWithLog(DbFile& db, const std::string& path) {
    // Read while the connection is open: closing checkpoints the log into
    // the file and deletes it.
    FileAndLog out{readAll(path), readAll(path + "-wal")};
    db.finish();
    fixSalts(out.log);
    return out;
}

void writeBytes(const std::string& path, const Blob& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("forge: cannot write " + path);
}

}  // namespace salvor::forge::db
