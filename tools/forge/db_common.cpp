#include "forge/db_common.h"

#include <openssl/sha.h>
#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <unordered_map>

namespace salvor::forge::db {

namespace {
struct SchemaEntry {
    const char* name;
    const char* text;
};
const SchemaEntry kSchemas[] = {
#include "forge_schemas.inc"
};
}  // namespace

const std::string& schemaText(std::string_view name) {
    static const std::map<std::string, std::string, std::less<>> all = [] {
        std::map<std::string, std::string, std::less<>> m;
        for (const auto& e : kSchemas) m.emplace(e.name, e.text);
        return m;
    }();
    auto it = all.find(name);
    if (it == all.end()) throw std::runtime_error("forge: no embedded table layout " + std::string(name));
    return it->second;
}

// ---- DbFile ----

DbFile::DbFile(const std::string& path, bool legacyFormat, int pageSize) : path_(path) {
    std::error_code ec;
    std::filesystem::remove(path_, ec);
    std::filesystem::remove(path_ + "-journal", ec);
    if (sqlite3_open(path_.c_str(), &db_) != SQLITE_OK) {
        std::string msg = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw std::runtime_error("forge: cannot create " + path_ + ": " + msg);
    }
    if (legacyFormat) sqlite3_db_config(db_, SQLITE_DBCONFIG_LEGACY_FILE_FORMAT, 1, nullptr);
    // A fixed page size and no secure deletion: deleted rows keep their bytes,
    // and the same content always gives the same file.
    exec("PRAGMA page_size=" + std::to_string(pageSize));
    exec("PRAGMA secure_delete=OFF");
    exec("PRAGMA journal_mode=OFF");
    exec("PRAGMA cache_size=-131072");
    exec("PRAGMA synchronous=OFF");
}

void DbFile::closeStatements() {
    for (auto& f : onClose_) f();
    onClose_.clear();
}

DbFile::~DbFile() {
    closeStatements();
    if (db_) {
        sqlite3_close(db_);
        std::error_code ec;
        std::filesystem::remove(path_, ec);
    }
}

void DbFile::exec(const std::string& sql) {
    char* err = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
        std::string msg = err ? err : "unknown error";
        sqlite3_free(err);
        throw std::runtime_error("forge: SQL failed in " + path_ + ": " + msg);
    }
}

Blob DbFile::finish() {
    closeStatements();
    if (sqlite3_close(db_) != SQLITE_OK) throw std::runtime_error("forge: cannot close " + path_);
    db_ = nullptr;
    std::ifstream in(path_, std::ios::binary);
    Blob bytes(static_cast<std::size_t>(std::filesystem::file_size(path_)));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!in) throw std::runtime_error("forge: cannot read " + path_);
    in.close();
    std::error_code ec;
    std::filesystem::remove(path_, ec);
    return bytes;
}

// ---- Inserter ----

Inserter::Inserter(DbFile& db, const std::string& table) : table_(table) {
    // Count the real columns so every row supplies each of them in order.
    sqlite3_stmt* info = nullptr;
    std::string q = "PRAGMA table_info(" + table + ")";
    if (sqlite3_prepare_v2(db.handle(), q.c_str(), -1, &info, nullptr) != SQLITE_OK)
        throw std::runtime_error("forge: no table " + table);
    while (sqlite3_step(info) == SQLITE_ROW) ++n_;
    sqlite3_finalize(info);
    if (n_ == 0) throw std::runtime_error("forge: no table " + table);
    std::string sql = "INSERT INTO " + table + " VALUES(";
    for (int i = 0; i < n_; ++i) sql += i ? ",?" : "?";
    sql += ")";
    if (sqlite3_prepare_v2(db.handle(), sql.c_str(), -1, &st_, nullptr) != SQLITE_OK)
        throw std::runtime_error("forge: cannot prepare insert into " + table + ": " + sqlite3_errmsg(db.handle()));
}

Inserter::~Inserter() { sqlite3_finalize(st_); }

void Inserter::insert(const std::vector<V>& row) {
    if (static_cast<int>(row.size()) != n_)
        throw std::runtime_error("forge: " + table_ + " has " + std::to_string(n_) + " columns, row has " +
                                 std::to_string(row.size()));
    sqlite3_reset(st_);
    for (int i = 0; i < n_; ++i) {
        const V& v = row[static_cast<std::size_t>(i)];
        switch (v.k) {
            case V::K::Null: sqlite3_bind_null(st_, i + 1); break;
            case V::K::Int: sqlite3_bind_int64(st_, i + 1, v.i); break;
            case V::K::Real: sqlite3_bind_double(st_, i + 1, v.d); break;
            case V::K::Text:
                sqlite3_bind_text(st_, i + 1, v.s.data(), static_cast<int>(v.s.size()), SQLITE_TRANSIENT);
                break;
            case V::K::Bytes:
                sqlite3_bind_blob(st_, i + 1, v.b->data(), static_cast<int>(v.b->size()), SQLITE_TRANSIENT);
                break;
        }
    }
    if (sqlite3_step(st_) != SQLITE_DONE)
        throw std::runtime_error("forge: insert into " + table_ + " failed: " + sqlite3_errmsg(sqlite3_db_handle(st_)));
}

void execWithIds(DbFile& db, const std::string& sql, std::initializer_list<std::int64_t> ids) {
    // Statements are cached per connection and text: deletions run thousands of times.
    static thread_local std::map<std::pair<sqlite3*, std::string>, sqlite3_stmt*> cache;
    auto key = std::make_pair(db.handle(), sql);
    auto it = cache.find(key);
    sqlite3_stmt* st = nullptr;
    if (it != cache.end()) {
        st = it->second;
    } else {
        if (sqlite3_prepare_v2(db.handle(), sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
            throw std::runtime_error("forge: cannot prepare " + sql);
        cache[key] = st;
        db.onClose([key] {
            auto found = cache.find(key);
            if (found != cache.end()) {
                sqlite3_finalize(found->second);
                cache.erase(found);
            }
        });
    }
    sqlite3_reset(st);
    int i = 1;
    for (std::int64_t id : ids) sqlite3_bind_int64(st, i++, id);
    int rc = sqlite3_step(st);
    sqlite3_reset(st);
    if (rc != SQLITE_DONE) throw std::runtime_error("forge: failed: " + sql);
}

void execWithId(DbFile& db, const std::string& sql, std::int64_t id) { execWithIds(db, sql, {id}); }

void execWithTextAndIds(DbFile& db, const std::string& sql, const std::string& text,
                        std::initializer_list<std::int64_t> ids) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db.handle(), sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
        throw std::runtime_error("forge: cannot prepare " + sql);
    sqlite3_bind_text(st, 1, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    int k = 2;
    for (std::int64_t id : ids) sqlite3_bind_int64(st, k++, id);
    const int rc = sqlite3_step(st);
    sqlite3_finalize(st);
    if (rc != SQLITE_DONE) throw std::runtime_error("forge: statement failed: " + sql);
}

Blob intBody(std::int64_t v) {
    if (v == 0 || v == 1) return {};
    int n = 8;
    for (int bytes : {1, 2, 3, 4, 6}) {
        const std::int64_t lim = std::int64_t{1} << (8 * bytes - 1);
        if (v >= -lim && v < lim) {
            n = bytes;
            break;
        }
    }
    Blob b(static_cast<std::size_t>(n));
    for (int k = n - 1; k >= 0; --k, v >>= 8) b[static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(v & 0xFF);
    return b;
}

void appendText(Blob& b, const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }

std::vector<bool> holdsAll(const Blob& file, const std::vector<Blob>& needles) {
    // Needles of 8 bytes or more are found by their first 8 bytes through a
    // table (a bitmap filter keeps the per-position cost low); shorter ones
    // are searched directly.
    constexpr std::size_t kKey = 8;
    std::vector<bool> found(needles.size(), false);
    auto keyAt = [](const std::uint8_t* p) {
        std::uint64_t k = 0;
        for (std::size_t i = 0; i < kKey; ++i) k = (k << 8) | p[i];
        return k;
    };
    auto slot = [](std::uint64_t k) { return static_cast<std::size_t>((k * 0x9E3779B97F4A7C15ULL) >> 44); };  // 20 bits
    std::unordered_map<std::uint64_t, std::vector<std::size_t>> byKey;
    std::vector<bool> filter(std::size_t{1} << 20, false);
    for (std::size_t i = 0; i < needles.size(); ++i) {
        const Blob& n = needles[i];
        if (n.empty()) continue;
        if (n.size() < kKey) {
            found[i] = std::search(file.begin(), file.end(), n.begin(), n.end()) != file.end();
            continue;
        }
        const std::uint64_t k = keyAt(n.data());
        byKey[k].push_back(i);
        filter[slot(k)] = true;
    }
    if (byKey.empty() || file.size() < kKey) return found;
    std::uint64_t k = keyAt(file.data());
    for (std::size_t pos = 0;; ++pos) {
        if (filter[slot(k)]) {
            auto it = byKey.find(k);
            if (it != byKey.end()) {
                for (std::size_t i : it->second) {
                    const Blob& n = needles[i];
                    if (!found[i] && n.size() <= file.size() - pos && std::equal(n.begin(), n.end(), file.begin() + static_cast<std::ptrdiff_t>(pos)))
                        found[i] = true;
                }
            }
        }
        if (pos + kKey >= file.size()) break;
        k = (k << 8) | file[pos + kKey];
    }
    return found;
}

// ---- expected values ----

std::string dateText(std::int64_t value, int fileType) {
    std::int64_t v = value;
    if (v >= 100000000000LL || v <= -100000000000LL) v /= 1000000000LL;
    std::int64_t t = v;
    if (fileType == 1) {
        t = v + kEpoch2001;
    } else {
        // 1990-01-01 00:00:00 UTC: earlier 1970 readings count from 2001.
        if (v < 631152000LL) t = v + kEpoch2001;
    }
    std::time_t tt = static_cast<std::time_t>(t);
    std::tm tm{};
    if (!gmtime_r(&tt, &tm)) return {};
    char buf[64];
    std::snprintf(buf, sizeof buf, "%02d-%02d-%04d %02d:%02d", tm.tm_mon + 1, tm.tm_mday, tm.tm_year + 1900,
                  tm.tm_hour, tm.tm_min);
    return buf;
}

std::string sha1Hex(const std::uint8_t* p, std::size_t n) {
    unsigned char md[SHA_DIGEST_LENGTH];
    SHA1(p, n, md);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned char c : md) {
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    return out;
}

nlohmann::json bytesJson(const Blob* b) {
    if (!b) return nullptr;
    return {{"size", b->size()}, {"sha1", sha1Hex(b->data(), b->size())}};
}

std::string hashedName(const std::string& domain, const std::string& path) {
    std::string s = domain + "-" + path;
    return sha1Hex(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

bool validUtf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        int extra = 0;
        std::uint32_t cp = 0;
        if (c < 0x80) { ++i; continue; }
        if ((c & 0xE0) == 0xC0) { extra = 1; cp = c & 0x1F; }
        else if ((c & 0xF0) == 0xE0) { extra = 2; cp = c & 0x0F; }
        else if ((c & 0xF8) == 0xF0) { extra = 3; cp = c & 0x07; }
        else return false;
        if (i + static_cast<std::size_t>(extra) >= s.size()) return false;
        for (int k = 1; k <= extra; ++k) {
            auto d = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
            if ((d & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        if ((extra == 1 && cp < 0x80) || (extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000)) return false;
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += static_cast<std::size_t>(extra) + 1;
    }
    return true;
}

std::string textAsRead(std::string_view s) {
    std::string out;
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        // Length of a well-formed sequence led by c (0: c leads none) and the
        // range of its second byte.
        std::size_t need = 0;
        unsigned char lo = 0x80, hi = 0xBF;
        if (c < 0x80) need = 1;
        else if (c >= 0xC2 && c <= 0xDF) need = 2;
        else if (c >= 0xE0 && c <= 0xEF) need = 3, lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
        else if (c >= 0xF0 && c <= 0xF4) need = 4, lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
        std::size_t k = 1;
        for (; k < need && i + k < s.size(); ++k) {
            const auto d = static_cast<unsigned char>(s[i + k]);
            if (d < (k == 1 ? lo : 0x80) || d > (k == 1 ? hi : 0xBF)) break;
        }
        if (need != 0 && k == need)
            out.append(s.substr(i, k));
        else
            out += "\xEF\xBF\xBD";
        i += k;
    }
    return out;
}

std::string normalisePhone(std::string_view s) {
    std::string out;
    for (char c : s)
        if (c != '-' && c != '(' && c != ')' && c != ' ') out += c;
    return out;
}

namespace {
std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}
std::string_view keyOf(std::string_view s) {
    std::size_t L = s.size();
    return s.substr(L / 4, L / 4 + L / 2);
}
}  // namespace

std::optional<std::size_t> lookupContact(const std::vector<LookupEntry>& book, const std::string& phone, bool strictKey) {
    const std::string p = lower(normalisePhone(phone));
    const std::string_view pKey = keyOf(p);
    for (std::size_t i = 0; i < book.size(); ++i) {
        const std::string& c = book[i].phones;  // already normalised and lower-case
        if (c.empty()) continue;
        const bool fromC = c.size() < p.size();
        const std::string_view key = fromC ? keyOf(c) : pKey;
        const std::string_view hay = fromC ? std::string_view(p) : std::string_view(c);
        if (key.empty()) continue;
        if (strictKey && key.size() < 6) continue;
        if (hay.find(key) != std::string_view::npos) return i;
    }
    return std::nullopt;
}

// ---- generators ----

std::string uuid(Rng& rng) {
    static const char* hex = "0123456789ABCDEF";
    std::string s;
    for (int i = 0; i < 32; ++i) {
        if (i == 8 || i == 12 || i == 16 || i == 20) s += '-';
        s += hex[rng.below(16)];
    }
    return s;
}

std::string digits(Rng& rng, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += static_cast<char>('0' + rng.below(10));
    return s;
}

Blob jpegBytes(const std::string& comment) {
    // Baseline 8x8 greyscale picture of one flat block: one-symbol Huffman
    // tables, DC difference 0 and end-of-block, so the scan is one byte.
    Blob b = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00};
    std::size_t clen = std::min<std::size_t>(comment.size(), 60000) + 2;
    b.insert(b.end(), {0xFF, 0xFE, static_cast<std::uint8_t>(clen >> 8), static_cast<std::uint8_t>(clen & 0xFF)});
    b.insert(b.end(), comment.begin(), comment.begin() + static_cast<std::ptrdiff_t>(clen - 2));
    b.insert(b.end(), {0xFF, 0xDB, 0x00, 0x43, 0x00});
    b.insert(b.end(), 64, 0x01);
    b.insert(b.end(), {0xFF, 0xC0, 0x00, 0x0B, 0x08, 0x00, 0x08, 0x00, 0x08, 0x01, 0x01, 0x11, 0x00});
    for (std::uint8_t cls : {std::uint8_t{0x00}, std::uint8_t{0x10}}) {
        b.insert(b.end(), {0xFF, 0xC4, 0x00, 0x14, cls, 0x01});
        b.insert(b.end(), 15, 0x00);
        b.push_back(0x00);
    }
    b.insert(b.end(), {0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x3F, 0x00, 0x3F, 0xFF, 0xD9});
    return b;
}

Blob randomBytes(Rng& rng, std::size_t n) {
    Blob b(n);
    for (std::size_t i = 0; i < n; i += 8) {
        std::uint64_t r = rng.next();
        for (std::size_t k = 0; k < 8 && i + k < n; ++k) b[i + k] = static_cast<std::uint8_t>(r >> (8 * k));
    }
    return b;
}

void Context::addFile(const std::string& domain, const std::string& path, Blob content, const std::string& overrideName) {
    FileEntry e;
    e.domain = domain;
    e.path = path;
    e.content = std::move(content);
    e.storedNameOverride = overrideName;
    plan.files.push_back(std::move(e));
}

std::string Context::scratchPath(const std::string& name) const {
    return (std::filesystem::path(scratch) / ("forgedb-ios" + std::to_string(ios) + "-" + name)).string();
}

int deletedCount(int n, int percent) {
    if (n <= 0 || percent <= 0) return 0;
    return std::min(n, (n * std::min(percent, 100) + 50) / 100);
}

}  // namespace salvor::forge::db
