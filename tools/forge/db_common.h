// Shared pieces of the category-database builders: embedded table layouts, a
// thin SQLite wrapper that inserts full rows in the real column order, the
// expected-value rules (date text, contact lookup) and small value generators.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "forge/forge.h"

struct sqlite3;
struct sqlite3_stmt;

namespace salvor::forge::db {

using Blob = std::vector<std::uint8_t>;

// The CREATE TABLE text of one embedded layout, e.g. "ios6/sms.db.sql".
// Throws when the name is unknown.
const std::string& schemaText(std::string_view name);

// One column value of an inserted row.
struct V {
    enum class K { Null, Int, Real, Text, Bytes } k = K::Null;
    std::int64_t i = 0;
    double d = 0;
    std::string s;
    const Blob* b = nullptr;
    V() = default;
    V(std::nullptr_t) {}
    V(int v) : k(K::Int), i(v) {}
    V(std::int64_t v) : k(K::Int), i(v) {}
    V(double v) : k(K::Real), d(v) {}
    V(const char* v) : k(K::Text), s(v) {}
    V(std::string v) : k(K::Text), s(std::move(v)) {}
    V(const Blob& v) : k(K::Bytes), b(&v) {}
    static V opt(const std::optional<std::string>& t) { return t ? V(*t) : V(); }
};

// A database file being built in the scratch folder.
class DbFile {
public:
    // legacyFormat: schema format 1 (files first created by the older SQLite of iOS 5 and before).
    DbFile(const std::string& path, bool legacyFormat, int pageSize = 4096);
    ~DbFile();
    DbFile(const DbFile&) = delete;
    DbFile& operator=(const DbFile&) = delete;

    void exec(const std::string& sql);
    void begin() { exec("BEGIN"); }
    void commit() { exec("COMMIT"); }
    // Closes the connection and returns the file's bytes (the file is removed).
    Blob finish();
    sqlite3* handle() { return db_; }
    // Called before the connection closes (releases cached statements).
    void onClose(std::function<void()> f) { onClose_.push_back(std::move(f)); }

private:
    void closeStatements();
    std::string path_;
    std::vector<std::function<void()>> onClose_;
    sqlite3* db_ = nullptr;
};

// "INSERT INTO table VALUES(?,...)" with one placeholder per real column;
// insert() requires exactly that many values, so no column can be skipped or moved.
class Inserter {
public:
    Inserter(DbFile& db, const std::string& table);
    ~Inserter();
    Inserter(const Inserter&) = delete;
    Inserter& operator=(const Inserter&) = delete;
    void insert(const std::vector<V>& row);
    int columns() const { return n_; }

private:
    sqlite3_stmt* st_ = nullptr;
    int n_ = 0;
    std::string table_;
};

// Runs one statement with integer parameters (deletes by row number).
void execWithId(DbFile& db, const std::string& sql, std::int64_t id);
void execWithIds(DbFile& db, const std::string& sql, std::initializer_list<std::int64_t> ids);
// Runs one statement with a text parameter, then integer ones (row updates).
void execWithTextAndIds(DbFile& db, const std::string& sql, const std::string& text,
                        std::initializer_list<std::int64_t> ids);

// ---- what stays in the file ----

// The bytes of a record body that SQLite writes for an integer column in a
// schema-format-4 file (0 and 1 take none; others big-endian in 1-8 bytes).
Blob intBody(std::int64_t v);
// Appends text bytes to a body excerpt.
void appendText(Blob& b, const std::string& s);
// For each needle, whether it occurs in `file`: the row's bytes are still
// physically there. One pass over the file for any number of needles (an
// empty needle counts as absent).
std::vector<bool> holdsAll(const Blob& file, const std::vector<Blob>& needles);

// ---- expected values ----

// The true UTC calendar date of a stored timestamp, "%02d-%02d-%04d %02d:%02d".
// fileType 1: seconds since 2001-01-01. fileType 0: seconds since 1970, unless
// that reading falls in 1989 or earlier, then seconds since 2001. A magnitude of
// 1e11 or more is nanoseconds and is divided by 1e9 first.
std::string dateText(std::int64_t value, int fileType);
constexpr std::int64_t kEpoch2001 = 978307200;

// {"size": N, "sha1": hex} for bytes; null for none.
nlohmann::json bytesJson(const Blob* b);
std::string sha1Hex(const std::uint8_t* p, std::size_t n);
// The backup's stored-file name of domain + "-" + path.
std::string hashedName(const std::string& domain, const std::string& path);

// True when the bytes are valid UTF-8.
bool validUtf8(std::string_view s);
// A text column as the extractors deliver it: valid UTF-8 unchanged, each
// invalid sequence replaced by U+FFFD (one per maximal subpart).
std::string textAsRead(std::string_view s);

// Contact name lookup by phone number over the live contacts, in delivery order.
struct LookupEntry {
    std::optional<std::string> name;  // contactName as delivered
    std::string phones;                // contactPhone normalised, in lower case
    const Blob* picture = nullptr;     // the delivered imageData
};
std::string normalisePhone(std::string_view s);
// Index of the first matching entry, or none. strictKey: the key must have at
// least 6 characters (the lookup used for messages).
std::optional<std::size_t> lookupContact(const std::vector<LookupEntry>& book, const std::string& phone, bool strictKey);

// A call's duration as the reader words it ("2 minutes", "1 hour", "5 seconds").
std::string durationText(std::int32_t seconds);

// ---- value generators ----
std::string uuid(Rng& rng);  // 36 characters, upper-case
std::string digits(Rng& rng, int n);
Blob jpegBytes(const std::string& comment);  // a small valid 8x8 grey JPEG
Blob randomBytes(Rng& rng, std::size_t n);

// Everything the builders of one backup share.
struct Context {
    BackupPlan& plan;
    Rng& rng;
    const DatabaseScale& scale;
    std::string scratch;
    int ios = 6;
    int pageSize = 4096;  // of every database file built
    // Filled by the contacts builder; read by the messages and calls builders.
    std::vector<LookupEntry> book;
    // Phone numbers of contacts, by contact; live ones and deleted ones.
    struct Person {
        std::vector<std::string> phones;  // as stored
        bool live = true;
        std::size_t bookIndex = 0;        // index into book when live
    };
    std::vector<Person> people;
    std::vector<std::shared_ptr<Blob>> keep;  // buffers referenced by book

    // The other parties of messages and calls (chosen once, shared by both).
    struct Party {
        std::string addr;      // message address: "+1..." number or an e-mail address
        std::string callAddr;  // the same number as the phone dials it (empty for e-mail)
        int person = -1;       // index into people, or -1 for a number nobody knows
        bool email = false;
        bool imessage = false; // the party also uses iMessage
    };
    std::vector<Party> parties;
    std::vector<std::string> unknownCallers;  // numbers that only call

    void addFile(const std::string& domain, const std::string& path, Blob content, const std::string& overrideName = "");
    std::string scratchPath(const std::string& name) const;
};

void buildContacts(Context& cx);
// Chooses cx.parties and cx.unknownCallers (after the contacts, before messages and calls).
void chooseParties(Context& cx);
void buildMessages(Context& cx);
void buildCalls(Context& cx);
void buildNotes(Context& cx);
void buildBookmarks(Context& cx);
void buildCalendar(Context& cx);

// Number of rows to delete out of n for the scale's percentage.
int deletedCount(int n, int percent);

}  // namespace salvor::forge::db
