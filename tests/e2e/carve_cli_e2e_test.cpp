// `salvor carve` on databases built with SQLite (secure_delete off): the
// deleted rows of every table come back with their values in column order and
// where they were found, live rows never do, rows that only ever lived in the
// write-ahead log come back from its frames, and damaged or hostile files end
// with a diagnostic and an exit status instead of a crash. The files carved
// are never changed.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "support/support.h"

namespace salvor::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// A connection that throws on any failed statement, so a fixture that could
// not be built fails its test instead of carving something else.
class Sql {
public:
    explicit Sql(const std::string& path) {
        if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) throw std::runtime_error("cannot open " + path);
    }
    ~Sql() { close(); }
    Sql(const Sql&) = delete;
    Sql& operator=(const Sql&) = delete;

    void operator()(const std::string& sql) {
        char* err = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
            const std::string message = err ? err : "error";
            sqlite3_free(err);
            throw std::runtime_error(message + " in: " + sql);
        }
    }
    // Runs `sql` once per row of `rows`, binding each value in order.
    void insert(const std::string& sql, const std::vector<json>& rows) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) throw std::runtime_error(sql);
        (*this)("BEGIN");
        for (const json& row : rows) {
            sqlite3_reset(st);
            for (int i = 0; i < static_cast<int>(row.size()); ++i) {
                const json& v = row[static_cast<std::size_t>(i)];
                if (v.is_null()) sqlite3_bind_null(st, i + 1);
                else if (v.is_number_integer()) sqlite3_bind_int64(st, i + 1, v.get<std::int64_t>());
                else if (v.is_number_float()) sqlite3_bind_double(st, i + 1, v.get<double>());
                else if (v.is_string()) {
                    const std::string& s = v.get_ref<const std::string&>();
                    sqlite3_bind_text(st, i + 1, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
                } else if (v.is_binary()) {
                    const auto& b = v.get_binary();
                    sqlite3_bind_blob(st, i + 1, b.data(), static_cast<int>(b.size()), SQLITE_TRANSIENT);
                }
            }
            if (sqlite3_step(st) != SQLITE_DONE) throw std::runtime_error(std::string(sqlite3_errmsg(db_)) + " in: " + sql);
        }
        sqlite3_finalize(st);
        (*this)("COMMIT");
    }
    sqlite3* handle() { return db_; }
    void close() {
        if (db_) sqlite3_close(db_);
        db_ = nullptr;
    }

private:
    sqlite3* db_ = nullptr;
};

// ---- the users table ----

constexpr int kUsers = 40;
const std::set<int> kDeletedUsers = {20007, 20018, 20031};

std::vector<std::uint8_t> photoOf(int id) {
    std::vector<std::uint8_t> b(static_cast<std::size_t>(3 + id % 5));
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(id * 7 + static_cast<int>(i) * 31);
    return b;
}

// The row of user `id` as it is inserted: id, name, note, score, photo. Every
// third note is NULL; even scores are integral (SQLite stores those as
// integers on disk and they must still come back as reals). User 18's name
// holds a line break, a tab and a right-to-left override, which a terminal
// must not be handed as they are.
constexpr const char* kHostileName = "bad\nname\t\xE2\x80\xAE!";
json userRow(int id) {
    const int n = id - 20000;
    if (n == 18) {
        json row = userRow(20001);
        row[0] = id;
        row[1] = kHostileName;
        row[3] = 18.0;
        row[4] = json::binary(photoOf(id));
        return row;
    }
    json note = n % 3 == 0 ? json(nullptr) : json("note " + std::to_string(n) + " about this person");
    if (n == 31) note = "a long note that a table cell cannot hold: " + std::string(120, 'x');
    const double score = n % 2 == 0 ? n * 1.0 : n + 0.5;
    return json::array({id, "user" + std::to_string(n), note, score, json::binary(photoOf(id))});
}

// The JSON value `salvor carve` gives for a column value.
json carvedForm(const json& v) {
    if (!v.is_binary()) return v;
    const auto& b = v.get_binary();
    return {{"size", b.size()}, {"sha1", sha1Hex(std::vector<std::uint8_t>(b.begin(), b.end()))}};
}

struct Layout {
    int pageSize = 4096;
    int reserve = 0;  // bytes kept unused at the end of every page
};

// A database with a users table (INTEGER PRIMARY KEY, texts, reals, blobs),
// three users deleted, and a table that never held anything.
void buildUsers(const std::string& path, Layout layout = {}) {
    Sql db(path);
    db("PRAGMA page_size=" + std::to_string(layout.pageSize));
    if (layout.reserve > 0) {
        int reserve = layout.reserve;
        sqlite3_file_control(db.handle(), "main", SQLITE_FCNTL_RESERVE_BYTES, &reserve);
    }
    db("PRAGMA secure_delete=OFF");
    db("CREATE TABLE users(id INTEGER PRIMARY KEY, name TEXT, note TEXT, score REAL, photo BLOB)");
    db("CREATE TABLE empty_table(x, y)");
    std::vector<json> rows;
    for (int id = 20001; id <= 20000 + kUsers; ++id) rows.push_back(userRow(id));
    db.insert("INSERT INTO users VALUES (?, ?, ?, ?, ?)", rows);
    for (int id : kDeletedUsers) db("DELETE FROM users WHERE id = " + std::to_string(id));
}

CommandResult carve(const std::vector<std::string>& args, const std::string& workDir = {}) {
    std::vector<std::string> all = {"carve"};
    all.insert(all.end(), args.begin(), args.end());
    return runSalvor(all, workDir);
}

json carveJson(const std::string& path, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {path, "--json"};
    args.insert(args.end(), extra.begin(), extra.end());
    const CommandResult r = carve(args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    try {
        return json::parse(r.out);
    } catch (const std::exception& e) {
        ADD_FAILURE() << "not JSON: " << e.what() << "\n" << r.out.substr(0, 2000);
        return json::object();
    }
}

json tableOf(const json& doc, const std::string& name) {
    const json kNone = {{"records", json::array()}, {"columns", json::array()}};
    if (doc.is_object() && doc.contains("tables"))
        for (const json& t : doc["tables"])
            if (t.value("table", "") == name) return t;
    ADD_FAILURE() << "no table " << name << " in " << doc.dump().substr(0, 2000);
    return kNone;
}

// The record of `table` whose column `col` holds `value`; null when none.
const json* recordWith(const json& table, std::size_t col, const json& value) {
    for (const json& r : table["records"])
        if (r["values"].size() > col && r["values"][col] == value) return &r;
    return nullptr;
}

// The records of the users table, checked against what was inserted: each is
// a deleted user with every value in place (the id may be lost where SQLite
// wrote its free-block header over the cell's start, but never wrong).
std::set<int> checkedUsers(const json& users) {
    std::set<int> found;
    EXPECT_EQ(users["columns"], json({"id", "name", "note", "score", "photo"}));
    for (const json& r : users["records"]) {
        const json& v = r["values"];
        if (v.size() != 5 || !v[1].is_string()) {
            ADD_FAILURE() << "record " << r.dump();
            continue;
        }
        const std::string name = v[1];
        int n = 0;
        if (name.rfind("user", 0) == 0) n = std::atoi(name.c_str() + 4);
        else if (name == kHostileName) n = 18;
        const int id = 20000 + n;
        EXPECT_TRUE(kDeletedUsers.contains(id)) << "a live or unknown row came back: " << r.dump();
        const json want = userRow(id);
        EXPECT_TRUE(v[0] == id || v[0].is_null()) << r.dump();
        for (std::size_t c = 1; c < 5; ++c) EXPECT_EQ(v[c], carvedForm(want[c])) << "column " << c << " of " << r.dump();
        EXPECT_TRUE(v[3].is_number_float()) << "a REAL column gave " << v[3].dump();
        EXPECT_EQ(r["partial"], false) << r.dump();
        EXPECT_GE(r["page"].get<int>(), 2) << r.dump();
        found.insert(id);
    }
    return found;
}

void patch(const std::string& path, std::uint64_t at, const std::vector<std::uint8_t>& bytes) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(at));
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::uint32_t be32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return std::uint32_t{b[at]} << 24 | std::uint32_t{b[at + 1]} << 16 | std::uint32_t{b[at + 2]} << 8 | b[at + 3];
}

// ---- tests ----

TEST(CarveCli, DeletedUsersComeBackWithTheirValuesAndLiveOnesDoNot) {
    TempDir dir;
    const std::string db = dir / "users.db";
    buildUsers(db);
    const auto before = fingerprint(dir.path());
    const json doc = carveJson(db);
    EXPECT_EQ(doc["file"], db);
    const json users = tableOf(doc, "users");
    EXPECT_EQ(checkedUsers(users), kDeletedUsers);
    for (const json& r : users["records"]) EXPECT_EQ(r["carvedFrom"], "freeblock") << r.dump();
    const json empty = tableOf(doc, "empty_table");
    EXPECT_EQ(empty["columns"], json({"x", "y"}));
    EXPECT_EQ(empty["records"], json::array());
    EXPECT_EQ(fingerprint(dir.path()), before) << "the carved file was changed";
}

// Emptying a table hands its pages to the free list as they are, without
// writing a free-block header over each cell (as deleting rows one by one
// does): those rows come back with their ids.
TEST(CarveCli, RowsOfFreedPagesComeBackFromTheFreeList) {
    TempDir dir;
    const std::string db = dir / "bulk.db";
    {
        Sql sql(db);
        sql("PRAGMA secure_delete=OFF");
        sql("CREATE TABLE bulk(id INTEGER PRIMARY KEY, body TEXT)");
        std::vector<json> rows;
        for (int id = 1; id <= 400; ++id) rows.push_back({id, "bulk row " + std::to_string(id) + std::string(80, '.')});
        sql.insert("INSERT INTO bulk VALUES (?, ?)", rows);
        sql("DELETE FROM bulk");
    }
    const json bulk = tableOf(carveJson(db), "bulk");
    int fromFreelist = 0;
    std::set<int> ids;
    for (const json& r : bulk["records"]) {
        const json& v = r["values"];
        ASSERT_EQ(v.size(), 2u) << r.dump();
        ASSERT_TRUE(v[1].is_string()) << r.dump();
        const int n = std::atoi(v[1].get<std::string>().c_str() + 9);
        EXPECT_EQ(v[1], "bulk row " + std::to_string(n) + std::string(80, '.'));
        if (r["carvedFrom"] == "freelist") {
            ++fromFreelist;
            EXPECT_EQ(v[0], n) << "a cell of a freed page keeps its id: " << r.dump();
        }
        EXPECT_TRUE(v[0] == n || v[0].is_null()) << r.dump();
        ids.insert(n);
    }
    EXPECT_GT(fromFreelist, 0);
    EXPECT_GE(ids.size(), 350u) << "nearly all of the 400 rows sit on intact freed pages";
}

// The same rows at 1024 and 4096 bytes per page, with and without bytes
// reserved at the end of each page, carve to the same records.
TEST(CarveCli, PageSizeAndReservedBytesDoNotChangeWhatIsCarved) {
    TempDir dir;
    std::optional<json> reference;
    for (const Layout layout : {Layout{4096, 0}, Layout{1024, 0}, Layout{4096, 32}, Layout{1024, 40}}) {
        const std::string name = std::to_string(layout.pageSize) + "_" + std::to_string(layout.reserve);
        SCOPED_TRACE(name);
        const std::string db = dir / (name + ".db");
        buildUsers(db, layout);
        const auto header = readBytes(db);
        ASSERT_GE(header.size(), 100u);
        if (header[20] != layout.reserve) {
            ADD_FAILURE() << "SQLite did not reserve " << layout.reserve << " bytes per page";
            continue;
        }
        json users = tableOf(carveJson(db), "users");
        EXPECT_EQ(checkedUsers(users), kDeletedUsers);
        for (json& r : users["records"]) r.erase("page");
        std::sort(users["records"].begin(), users["records"].end());
        if (!reference) reference = users;
        else EXPECT_EQ(users, *reference);
    }
}

// Rows inserted and deleted after the last checkpoint live only in the log:
// they come back from its frames when the log is read (found beside the file,
// or named), and not at all from the file alone. Neither file is changed.
TEST(CarveCli, RowsThatOnlyLivedInTheLogComeBackFromItsFrames) {
    TempDir dir, elsewhere;
    const std::string db = dir / "wal.db";
    {
        Sql sql(db);
        sql("PRAGMA journal_mode=WAL");
        sql("PRAGMA wal_autocheckpoint=0");
        sql("PRAGMA secure_delete=OFF");
        sqlite3_db_config(sql.handle(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        sql("CREATE TABLE users(id INTEGER PRIMARY KEY, name TEXT, note TEXT, score REAL, photo BLOB)");
        std::vector<json> base, late;
        for (int id = 20001; id <= 20005; ++id) base.push_back(userRow(id));
        for (int id : kDeletedUsers) late.push_back(userRow(id));
        sql.insert("INSERT INTO users VALUES (?, ?, ?, ?, ?)", base);
        sql("PRAGMA wal_checkpoint(TRUNCATE)");
        sql.insert("INSERT INTO users VALUES (?, ?, ?, ?, ?)", late);
        sql("DELETE FROM users WHERE id > 20005");
    }
    ASSERT_TRUE(fs::exists(db + "-wal"));
    ASSERT_GT(fs::file_size(db + "-wal"), 0u);
    const auto before = fingerprint(dir.path());

    const CommandResult beside = carve({db, "--json"});
    ASSERT_EQ(beside.exitCode, 0) << beside.err;
    EXPECT_NE(beside.err.find(db + "-wal"), std::string::npos) << "the log found beside the file is named: " << beside.err;
    const json users = tableOf(json::parse(beside.out), "users");
    EXPECT_EQ(checkedUsers(users), kDeletedUsers);
    for (const json& r : users["records"]) {
        const std::string from = r["carvedFrom"];
        ASSERT_EQ(from.rfind("wal-frame-", 0), 0u) << r.dump();
        EXPECT_GE(std::stoi(from.substr(10)), 1) << r.dump();
    }
    EXPECT_EQ(fingerprint(dir.path()), before) << "carving changed the database or its log";

    // The same log under another name, given on the command line.
    fs::copy_file(db, elsewhere / "copy.db");
    fs::copy_file(db + "-wal", elsewhere / "log.bin");
    const json named = carveJson(elsewhere / "copy.db", {"--wal", elsewhere / "log.bin"});
    json a = users["records"], b = tableOf(named, "users")["records"];
    EXPECT_EQ(a, b);

    // Without the log the rows were never in the file.
    fs::remove(elsewhere / "log.bin");
    EXPECT_EQ(tableOf(carveJson(elsewhere / "copy.db"), "users")["records"], json::array());
}

// Texts of a UTF-16 database come back as UTF-8.
TEST(CarveCli, TextsOfAUtf16DatabaseComeBackAsUtf8) {
    TempDir dir;
    const std::string utf16 = dir / "utf16.db";
    {
        Sql sql(utf16);
        sql("PRAGMA encoding='UTF-16le'");
        sql("PRAGMA secure_delete=OFF");
        sql("CREATE TABLE notes(id INTEGER PRIMARY KEY, title TEXT, body TEXT)");
        sql.insert("INSERT INTO notes VALUES (?, ?, ?)",
                   {{1, "Zoë's café", "naïve résumé"}, {2, "日本語のメモ", "😀 emoji"}, {3, "kept", "still here"},
                    {4, "Ελληνικά", "plain"}});
        sql("DELETE FROM notes WHERE id IN (1, 2, 4)");
    }
    const json notes = tableOf(carveJson(utf16), "notes");
    ASSERT_EQ(notes["records"].size(), 3u) << notes.dump();
    EXPECT_TRUE(recordWith(notes, 1, "Zoë's café") && (*recordWith(notes, 1, "Zoë's café"))["values"][2] == "naïve résumé");
    EXPECT_TRUE(recordWith(notes, 1, "日本語のメモ") && (*recordWith(notes, 1, "日本語のメモ"))["values"][2] == "😀 emoji");
    EXPECT_NE(recordWith(notes, 1, "Ελληνικά"), nullptr);
    EXPECT_EQ(recordWith(notes, 1, "kept"), nullptr);
}

// A WITHOUT ROWID table keeps its rows in a key-ordered tree whose freed
// cells lose the lengths of their first columns: it is listed, with no
// records, and the command says its deleted rows were not searched.
TEST(CarveCli, KeyedTablesAreListedAndSaidNotToBeSearched) {
    TempDir dir;
    const std::string keyed = dir / "keyed.db";
    {
        Sql sql(keyed);
        sql("PRAGMA secure_delete=OFF");
        sql("CREATE TABLE tags(weight INTEGER, label TEXT PRIMARY KEY, colour TEXT) WITHOUT ROWID");
        std::vector<json> rows;
        for (int i = 0; i < 30; ++i) rows.push_back({i * 10, "tag-" + std::to_string(1000 + i), i % 2 ? "red" : "blue"});
        sql.insert("INSERT INTO tags VALUES (?, ?, ?)", rows);
        sql("DELETE FROM tags WHERE label IN ('tag-1003', 'tag-1017')");
    }
    const CommandResult r = carve({keyed, "--json"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const json tags = tableOf(json::parse(r.out), "tags");
    EXPECT_EQ(tags["columns"], json({"weight", "label", "colour"}));
    EXPECT_TRUE(tags["records"].empty()) << tags.dump();
    EXPECT_NE(r.err.find("tags"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("without row ids"), std::string::npos) << r.err;
}

// Rows written before ALTER TABLE added columns are shorter than the schema:
// complete records with nulls for those columns.
TEST(CarveCli, RowsOlderThanAnAddedColumnAreCompleteRecords) {
    TempDir dir;
    const std::string altered = dir / "altered.db";
    {
        Sql sql(altered);
        sql("PRAGMA secure_delete=OFF");
        sql("CREATE TABLE items(id INTEGER PRIMARY KEY, name TEXT)");
        std::vector<json> old, recent;
        for (int id = 1000; id < 1020; ++id) old.push_back({id, "old item " + std::to_string(id)});
        sql.insert("INSERT INTO items VALUES (?, ?)", old);
        sql("ALTER TABLE items ADD COLUMN price REAL");
        sql("ALTER TABLE items ADD COLUMN shop TEXT");
        for (int id = 1020; id < 1030; ++id) recent.push_back({id, "new item " + std::to_string(id), id / 4.0, "corner"});
        sql.insert("INSERT INTO items VALUES (?, ?, ?, ?)", recent);
        sql("DELETE FROM items WHERE id IN (1005, 1012, 1024)");
    }
    const json items = tableOf(carveJson(altered), "items");
    EXPECT_EQ(items["columns"], json({"id", "name", "price", "shop"}));
    ASSERT_EQ(items["records"].size(), 3u) << items.dump();
    for (const int id : {1005, 1012}) {
        const json* r = recordWith(items, 1, "old item " + std::to_string(id));
        ASSERT_NE(r, nullptr) << id;
        EXPECT_EQ((*r)["values"].size(), 4u);
        EXPECT_TRUE((*r)["values"][2].is_null() && (*r)["values"][3].is_null()) << r->dump();
        EXPECT_EQ((*r)["partial"], false) << r->dump();
    }
    const json* r = recordWith(items, 1, "new item 1024");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ((*r)["values"][2], 256.0);
    EXPECT_EQ((*r)["values"][3], "corner");
}

TEST(CarveCli, TextOutputShowsEachTableReadably) {
    TempDir dir;
    const std::string db = dir / "users.db";
    buildUsers(db);
    const CommandResult r = carve({db});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string& out = r.out;
    EXPECT_NE(out.find("users: 3 deleted records\n"), std::string::npos) << out;
    EXPECT_NE(out.find("empty_table: 0 deleted records\n"), std::string::npos) << out;
    const auto headerAt = out.find("\nid ");
    ASSERT_NE(headerAt, std::string::npos) << out;
    const std::string header = out.substr(headerAt + 1, out.find('\n', headerAt + 1) - headerAt - 1);
    for (const char* c : {"name", "note", "score", "photo", "found"}) EXPECT_NE(header.find(c), std::string::npos) << header;
    // One line per record, with where it was found; texts cut, escaped, blobs as sizes.
    EXPECT_NE(out.find("user7 "), std::string::npos) << out;
    EXPECT_NE(out.find("bad\\nname\\t\\u202e!"), std::string::npos) << "control characters are escaped:\n" << out;
    EXPECT_EQ(out.find("bad\n"), std::string::npos);
    EXPECT_NE(out.find("a long note that a table cell cannot ho…"), std::string::npos) << out;
    EXPECT_EQ(out.find(std::string(60, 'x')), std::string::npos);
    EXPECT_NE(out.find("<5 bytes>"), std::string::npos) << out;  // 20007's photo: 3 + 20007 % 5 bytes
    EXPECT_NE(out.find("7.5"), std::string::npos) << out;
    EXPECT_NE(out.find("18.0"), std::string::npos) << "an integral real stays a real: " << out;
    std::size_t lines = 0;
    for (std::size_t at = out.find("freeblock p"); at != std::string::npos; at = out.find("freeblock p", at + 1)) ++lines;
    EXPECT_EQ(lines, 3u) << out;
}

// A document small enough to read whole, compared byte for byte: the layout,
// the order of members, the number forms and the blob digests.
TEST(CarveCli, JsonDocumentMatchesTheGoldenFile) {
    TempDir dir;
    {
        Sql sql(dir / "tiny.db");
        sql("PRAGMA page_size=1024");
        sql("PRAGMA secure_delete=OFF");
        sql("CREATE TABLE people(id INTEGER PRIMARY KEY, name TEXT, height REAL, picture BLOB, age INTEGER)");
        sql("CREATE TABLE unused(a)");
        sql.insert("INSERT INTO people VALUES (?, ?, ?, ?, ?)",
                   {{20001, "Ann", 1.5, json::binary({1, 2, 3}), 41},
                    {20002, "Bob \"the\" \\ builder\n", 2.0, nullptr, -7},
                    {20003, "Cleo", nullptr, json::binary({0xFF}), 9000000000}});
        sql("DELETE FROM people WHERE id IN (20001, 20002)");
    }
    const CommandResult r = carve({"tiny.db", "--json"}, dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string golden = std::string(SALVOR_SOURCE_DIR) + "/tests/e2e/golden/carve_tiny.json";
    if (std::getenv("SALVOR_UPDATE_GOLDEN")) writeFile(golden, r.out);
    EXPECT_EQ(r.out, readFile(golden));
}

// Files that are not databases, or that cannot be read as one, are one clear
// sentence naming the file and exit status 1; bad usage is status 2.
TEST(CarveCli, UnreadableFilesAndBadUsage) {
    TempDir dir;
    const std::string text = dir / "notes.txt";
    writeFile(text, "just some words, not a database at all\n" + std::string(600, 'w'));
    writeFile(dir / "empty.db", "");
    fs::create_directory(dir / "folder.db");
    buildUsers(dir / "users.db");
    fs::create_symlink(dir / "users.db", dir / "link.db");
    {
        std::ofstream huge(dir / "huge.db", std::ios::binary);
        huge << "SQLite format 3";
    }
    fs::resize_file(dir / "huge.db", 3ULL << 30);  // sparse: no disk is used

    for (const std::string& path : {text, dir / "empty.db", dir / "folder.db", dir / "link.db", dir / "huge.db",
                                    dir / "missing.db"}) {
        const CommandResult r = carve({path, "--json"});
        EXPECT_EQ(r.exitCode, 1) << path << ": " << r.err;
        EXPECT_NE(r.err.find(path), std::string::npos) << "the message names the file: " << r.err;
        EXPECT_EQ(r.out, "") << path;
    }
    EXPECT_NE(carve({dir / "huge.db"}).err.find("larger than"), std::string::npos);
    // A log named on the command line must be readable.
    EXPECT_EQ(carve({dir / "users.db", "--wal", dir / "missing-wal"}).exitCode, 1);

    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {"--json"}, {dir / "users.db", "--frobnicate"}, {dir / "users.db", "--wal"},
             {dir / "users.db", dir / "users.db"}}) {
        const CommandResult r = carve(args);
        EXPECT_EQ(r.exitCode, 2) << r.err;
        EXPECT_FALSE(r.err.empty());
    }
}

// Damaged files: the carving ends, says what is wrong on stderr, and gives
// what can still be read.
TEST(CarveCli, DamagedFilesEndWithADiagnosticAndNoCrash) {
    TempDir dir;
    const std::string good = dir / "good.db";
    {
        Sql sql(good);
        sql("PRAGMA secure_delete=OFF");
        sql("CREATE TABLE users(id INTEGER PRIMARY KEY, name TEXT, note TEXT, score REAL, photo BLOB)");
        sql("CREATE TABLE bulk(id INTEGER PRIMARY KEY, body TEXT)");
        std::vector<json> rows, bulk;
        for (int id = 20001; id <= 20000 + kUsers; ++id) rows.push_back(userRow(id));
        for (int id = 1; id <= 300; ++id) bulk.push_back({id, "bulk row " + std::to_string(id) + std::string(80, '.')});
        sql.insert("INSERT INTO users VALUES (?, ?, ?, ?, ?)", rows);
        sql.insert("INSERT INTO bulk VALUES (?, ?)", bulk);
        for (int id : kDeletedUsers) sql("DELETE FROM users WHERE id = " + std::to_string(id));
        sql("DELETE FROM bulk WHERE id > 20");
    }
    const auto bytes = readBytes(good);
    const std::uint32_t pageSize = 4096;
    ASSERT_EQ(bytes[16] << 8 | bytes[17], 4096);
    const std::uint32_t trunk = be32(bytes, 32);
    ASSERT_GT(trunk, 1u) << "the deletion left a free list";

    struct Damage {
        std::string name;
        std::function<void(const std::string&)> apply;
        int exitCode;
    };
    const std::vector<Damage> damages = {
        {"truncated", [&](const std::string& p) { fs::resize_file(p, bytes.size() / 2 + 100); }, 0},
        {"page-size", [](const std::string& p) { patch(p, 16, {0x12, 0x34}); }, 1},
        {"trunk-cycle",
         [&](const std::string& p) {
             // The first trunk's next-trunk pointer names itself.
             patch(p, (trunk - 1) * std::uint64_t{pageSize}, {static_cast<std::uint8_t>(trunk >> 24),
                                                               static_cast<std::uint8_t>(trunk >> 16),
                                                               static_cast<std::uint8_t>(trunk >> 8),
                                                               static_cast<std::uint8_t>(trunk)});
         },
         0},
        {"cell-pointer",
         [&](const std::string& p) {
             // Every cell pointer of the users table's root leaf (page 2) points far past the page.
             const std::uint64_t page = pageSize;
             const int cells = bytes[page + 3] << 8 | bytes[page + 4];
             for (int i = 0; i < cells; ++i) patch(p, page + 8 + 2 * static_cast<std::uint64_t>(i), {0xFF, 0xF0});
         },
         0},
    };
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.name);
        const std::string path = dir / (d.name + ".db");
        fs::copy_file(good, path);
        d.apply(path);
        for (const bool asJson : {true, false}) {
            std::vector<std::string> args = {path};
            if (asJson) args.push_back("--json");
            const CommandResult r = carve(args);
            ASSERT_FALSE(r.signalled) << r.err;
            EXPECT_EQ(r.exitCode, d.exitCode) << r.err;
            EXPECT_NE(r.err.find("salvor: " + path), std::string::npos) << "a diagnostic naming the file: " << r.err;
            if (asJson && r.exitCode == 0) {
                json doc;
                ASSERT_NO_THROW(doc = json::parse(r.out)) << r.out.substr(0, 500);
                // The table that was not damaged still gives its rows.
                if (d.name != "truncated") {
                    EXPECT_FALSE(tableOf(doc, "bulk")["records"].empty());
                }
            }
        }
    }
}

}  // namespace
}  // namespace salvor::test
