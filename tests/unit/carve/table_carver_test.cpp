// The carving engine that reads each table's layout from the file: databases
// built with SQLite (secure delete off) and carved from their bytes. Deleted
// rows come back with their values in column order and the place they were
// read from; live rows, and unchanged copies of them, never do; an edited row's
// older image is that row's earlier version; rows that only the write-ahead
// log still holds are found in its frames. (Free pages, other encodings and
// damaged files are covered through `salvor carve` and the fuzz targets.)
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "carve/sqlite_image.h"
#include "carve/table_carver.h"

namespace salvor::test {
namespace {

namespace fs = std::filesystem;
using carve::CarveReport;
using carve::DatabaseImage;
using carve::Value;

std::vector<std::uint8_t> slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class Db {
public:
    explicit Db(const std::string& name) {
        dir_ = fs::temp_directory_path() / ("salvor-engine-" + std::to_string(::getpid()) + "-" + name);
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        path_ = dir_ / "test.db";
        EXPECT_EQ(sqlite3_open(path_.c_str(), &db_), SQLITE_OK);
        exec("PRAGMA secure_delete=OFF");
    }
    ~Db() {
        close();
        fs::remove_all(dir_);
    }
    void exec(const std::string& sql) {
        char* error = nullptr;
        ASSERT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "") << " in " << sql;
    }
    void close() {
        if (db_) sqlite3_close(db_);
        db_ = nullptr;
    }
    sqlite3* handle() { return db_; }
    const fs::path& path() const { return path_; }

private:
    fs::path dir_, path_;
    sqlite3* db_ = nullptr;
};

const carve::TableCarve* table(const CarveReport& report, const std::string& name) {
    for (const auto& t : report.tables)
        if (t.schema.name == name) return &t;
    return nullptr;
}

CarveReport carveBytes(const std::vector<std::uint8_t>& file, const std::vector<std::uint8_t>& wal = {},
                       const carve::CarveOptions& options = {}) {
    std::string why;
    const auto image = DatabaseImage::open(file, wal, {}, &why);
    EXPECT_TRUE(image) << why;
    if (!image) return {};
    return carve::carveDatabase(*image, options);
}

std::string text(const Value& v) { return v.type == Value::Type::text ? v.bytes : "<not text>"; }

// Names of the people carved, by the table's name column.
std::multiset<std::string> names(const carve::TableCarve& t, std::size_t column) {
    std::multiset<std::string> out;
    for (const auto& r : t.deleted) out.insert(text(r.values[column]));
    return out;
}

TEST(TableCarver, DeletedRowsComeBackWithTheirValuesAndLiveRowsDoNot) {
    for (const int pageSize : {1024, 4096}) {
        Db db("values-" + std::to_string(pageSize));
        db.exec("PRAGMA page_size=" + std::to_string(pageSize));
        db.exec("CREATE TABLE people (id INTEGER PRIMARY KEY, name TEXT, born INTEGER, height REAL, photo BLOB, "
                "created DATE)");
        db.exec("BEGIN");
        for (int i = 1; i <= 300; ++i)
            db.exec("INSERT INTO people VALUES (" + std::to_string(i) + ", 'Person number " + std::to_string(i) + "', " +
                    std::to_string(1950 + i % 50) + ", " + std::to_string(1.5 + i / 1000.0) + ", x'0102030405', " +
                    std::to_string(400000000 + i) + ")");
        db.exec("COMMIT");
        // Every seventh row, spread over all the leaves, and then a run.
        db.exec("DELETE FROM people WHERE id % 7 = 0 OR id BETWEEN 200 AND 215");
        db.close();
        const auto bytes = slurp(db.path());
        const CarveReport report = carveBytes(bytes);
        const auto* people = table(report, "people");
        ASSERT_TRUE(people);
        EXPECT_EQ(people->liveRows, 300u - 42u - 16u + 2u);  // 203 and 210 are both sevens and in the run
        // Deleted, and their names still stand in the file (a page that was
        // rebalanced may have written over some).
        std::set<std::string> expected, recoverable;
        const std::string all(bytes.begin(), bytes.end());
        for (int i = 1; i <= 300; ++i) {
            if (i % 7 != 0 && (i < 200 || i > 215)) continue;
            const std::string name = "Person number " + std::to_string(i);
            expected.insert(name);
            for (auto at = all.find(name); at != std::string::npos; at = all.find(name, at + 1))
                if (!std::isdigit(static_cast<unsigned char>(all[at + name.size()]))) recoverable.insert(name);
        }
        std::set<std::string> got;
        for (const auto& r : people->deleted) {
            const std::string name = text(r.values[1]);
            EXPECT_TRUE(expected.count(name)) << "not deleted, or garbled: " << name << " at page " << r.page;
            got.insert(name);
            // Every value is where its column is.
            const int i = std::stoi(name.substr(14));
            EXPECT_EQ(r.values[2].integer, 1950 + i % 50) << name;
            EXPECT_EQ(r.values[3].type, Value::Type::real);
            EXPECT_NEAR(r.values[3].real, 1.5 + i / 1000.0, 1e-9);
            EXPECT_EQ(r.values[4].bytes, std::string("\x01\x02\x03\x04\x05", 5));
            EXPECT_EQ(r.values[5].integer, 400000000 + i);
            EXPECT_TRUE(r.carvedFrom == "freeblock" || r.carvedFrom == "unallocated" || r.carvedFrom == "freelist")
                << r.carvedFrom;
            if (r.rowid) {
                EXPECT_EQ(*r.rowid, i);
            }
        }
        // A freed cell's first bytes are overwritten by its free-block header;
        // the first of a merged run is rebuilt, so nearly all come back.
        EXPECT_GE(recoverable.size(), 40u);
        EXPECT_GE(got.size(), recoverable.size() * 95 / 100) << "page size " << pageSize;
        EXPECT_EQ(got.size(), people->deleted.size()) << "one record per row";
    }
}

TEST(TableCarver, AnEditedRowsOlderImageIsItsEarlierVersionNotADeletedRow) {
    Db db("versions");
    db.exec("CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT, text TEXT, date INTEGER)");
    db.exec("BEGIN");
    for (int i = 1; i <= 40; ++i)
        db.exec("INSERT INTO message (guid, text, date) VALUES ('guid-" + std::to_string(i) + "', 'hello number " +
                std::to_string(i) + "', " + std::to_string(500000000 + i) + ")");
    db.exec("COMMIT");
    // A longer text moves the row; its old bytes stay behind.
    db.exec("UPDATE message SET text = 'edited, and now much longer than it was before: 12' WHERE ROWID = 12");
    db.exec("DELETE FROM message WHERE ROWID = 30");
    // A row id reused by another message is a deleted message, not a version.
    db.exec("DELETE FROM message WHERE ROWID = 40");
    db.exec("INSERT INTO message (ROWID, guid, text, date) VALUES (40, 'guid-other', 'someone else, in a message "
            "longer than the one deleted, so it is written elsewhere', 500000999)");
    db.close();
    carve::CarveOptions options;
    options.identityColumns["message"] = {"guid"};
    const CarveReport report = carveBytes(slurp(db.path()), {}, options);
    const auto* message = table(report, "message");
    ASSERT_TRUE(message);
    const auto deleted = names(*message, 2);
    EXPECT_TRUE(deleted.count("hello number 30"));
    EXPECT_TRUE(deleted.count("hello number 40"));
    EXPECT_FALSE(deleted.count("hello number 12")) << "an earlier version counted as a deleted message";
    ASSERT_TRUE(message->earlierVersionsOfLive.count(12));
    EXPECT_EQ(text(message->earlierVersionsOfLive.at(12).front().values[2]), "hello number 12");
    for (const auto& r : message->deleted) EXPECT_NE(text(r.values[1]), "guid-other");
}

TEST(TableCarver, RowsOnlyTheLogHoldsAreReadFromItsFrames) {
    Db db("wal");
    db.exec("PRAGMA journal_mode=WAL");
    db.exec("PRAGMA wal_autocheckpoint=0");
    db.exec("CREATE TABLE call (ROWID INTEGER PRIMARY KEY, address TEXT, date INTEGER, duration INTEGER)");
    db.exec("PRAGMA wal_checkpoint(TRUNCATE)");
    // Inserted and deleted after the last checkpoint: the file never held them.
    for (int i = 1; i <= 30; ++i)
        db.exec("INSERT INTO call (address, date, duration) VALUES ('+4420700" + std::to_string(10000 + i) + "', " +
                std::to_string(600000000 + i) + ", " + std::to_string(i * 3) + ")");
    db.exec("DELETE FROM call WHERE ROWID IN (3, 9, 27)");
    // Read while the connection holds the log open, as a backup copies it.
    const auto file = slurp(db.path());
    const auto wal = slurp(db.path().string() + "-wal");
    ASSERT_GT(wal.size(), 32u);
    const CarveReport report = carveBytes(file, wal);
    const auto* call = table(report, "call");
    ASSERT_TRUE(call);
    EXPECT_EQ(call->liveRows, 27u) << "the committed frames are the database's current state";
    std::set<std::int64_t> found;
    for (const auto& r : call->deleted) {
        ASSERT_TRUE(r.rowid);
        found.insert(*r.rowid);
        EXPECT_EQ(r.carvedFrom.rfind("wal-frame-", 0), 0u) << r.carvedFrom;
        EXPECT_EQ(text(r.values[1]), "+4420700" + std::to_string(10000 + *r.rowid));
    }
    EXPECT_EQ(found, (std::set<std::int64_t>{3, 9, 27}));
    // Without its log, the file holds the table and nothing else.
    const CarveReport alone = carveBytes(file);
    ASSERT_TRUE(table(alone, "call"));
    EXPECT_TRUE(table(alone, "call")->deleted.empty());
}

// The ids a freed cell lost are told by its listed neighbours only when they
// leave exactly as many ids free as there are lost rows between them; where
// they do not, no id is guessed. A table wide enough that its header takes a
// two-byte length loses that length's first byte too.
TEST(TableCarver, FreedRowsTakeTheIdsTheirNeighboursLeaveAndNoOthers) {
    for (const int columns : {4, 140}) {
        Db db("ids-" + std::to_string(columns));
        db.exec("PRAGMA page_size=8192");  // every row on one leaf, so no rebalance moves them
        std::string create = "CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT", values;
        for (int c = 0; c < columns; ++c) create += ", c" + std::to_string(c) + " INTEGER", values += ", 7";
        db.exec(create + ")");
        db.exec("BEGIN");
        // Ids 1 to 12, then a jump: 40, 41, 42.
        for (const int id : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 40, 41, 42})
            db.exec("INSERT INTO t VALUES (" + std::to_string(id) + ", 'Row number " + std::to_string(id) + "'" + values + ")");
        db.exec("COMMIT");
        // One at a time: each takes a free-block header over its first bytes.
        for (const int id : {4, 9, 40, 41}) db.exec("DELETE FROM t WHERE id = " + std::to_string(id));
        db.close();
        const CarveReport report = carveBytes(slurp(db.path()));
        const auto* t = table(report, "t");
        ASSERT_TRUE(t);
        std::map<std::string, std::optional<std::int64_t>> got;
        for (const auto& r : t->deleted) got[text(r.values[1])] = r.rowid;
        EXPECT_EQ(got.size(), 4u) << columns << " columns";
        // Between 3 and 5, between 8 and 10: one id free, one row.
        EXPECT_EQ(got["Row number 4"], std::optional<std::int64_t>(4)) << columns << " columns";
        EXPECT_EQ(got["Row number 9"], std::optional<std::int64_t>(9)) << columns << " columns";
        // Between 12 and 42 lie 29 free ids for two rows: none is guessed.
        ASSERT_TRUE(got.count("Row number 40") && got.count("Row number 41")) << columns << " columns";
        for (const char* name : {"Row number 40", "Row number 41"})
            if (got[name]) {
                EXPECT_EQ(*got[name], std::stoi(std::string(name).substr(11))) << "a guessed id";
            }
        for (const auto& r : t->deleted)
            if (r.rowidInferred) {
                EXPECT_TRUE(*r.rowid == 4 || *r.rowid == 9) << *r.rowid;
            }
    }
}

// Every row of pages freed whole comes back, the first free-list trunk's
// too: the page numbers it lists overwrote the start of the old cell pointer
// array, and the pointers left after them read like a free-block header.
TEST(TableCarver, EveryRowOfFreedPagesComesBackTheFreeListTrunksToo) {
    Db db("trunk");
    db.exec("CREATE TABLE note (id INTEGER PRIMARY KEY, title TEXT, body TEXT, flag INTEGER, other INTEGER)");
    db.exec("CREATE TABLE keep (id INTEGER PRIMARY KEY, v TEXT)");
    // A join table of two numbers: a record of it fits almost any bytes.
    db.exec("CREATE TABLE pair (a INTEGER, b INTEGER)");
    db.exec("INSERT INTO pair VALUES (1, 2)");
    db.exec("BEGIN");
    for (int i = 1; i <= 60; ++i)
        db.exec("INSERT INTO note VALUES (" + std::to_string(i) + ", 'Title " + std::to_string(i) + "', '" +
                std::string(200 + i % 7, 'a' + i % 26) + "', 0, 0)");
    db.exec("INSERT INTO keep VALUES (1, 'stays')");
    db.exec("COMMIT");
    db.exec("DELETE FROM note");
    db.close();
    const CarveReport report = carveBytes(slurp(db.path()));
    const auto* note = table(report, "note");
    ASSERT_TRUE(note);
    std::set<std::string> titles;
    for (const auto& r : note->deleted) {
        // The table's emptied root stays its own; every other page is free.
        EXPECT_TRUE(r.carvedFrom == "freelist" || (r.carvedFrom == "unallocated" && r.page == 2)) << r.carvedFrom << " " << r.page;
        titles.insert(text(r.values[1]));
    }
    EXPECT_EQ(titles.size(), 60u);
    EXPECT_EQ(note->deleted.size(), 60u) << "one record per row, and no record made of the trunk's bytes";
    ASSERT_TRUE(table(report, "pair"));
    EXPECT_TRUE(table(report, "pair")->deleted.empty()) << "a record made of the trunk's bytes";
}

// A row deleted, a smaller row written into the tail of the space it left,
// then deleted too: the older record's bytes run on into the newer one's,
// whose free-block header stands inside them. Both rows come back, the newer
// with its own values.
TEST(TableCarver, ARowWrittenOverAnOlderFreedRowsTailComesBackToo) {
    Db db("layers");
    db.exec("CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT, data BLOB, n INTEGER)");
    db.exec("BEGIN");
    for (int i = 1; i <= 5; ++i)
        db.exec("INSERT INTO t VALUES (" + std::to_string(i) + ", 'Live row " + std::to_string(i) + "', randomblob(20), " +
                std::to_string(i) + ")");
    db.exec("INSERT INTO t VALUES (10, 'Older row', randomblob(300), 10)");
    db.exec("INSERT INTO t VALUES (11, 'Live row 11', randomblob(20), 11)");  // so the older row is no edge of the gap
    db.exec("COMMIT");
    db.exec("DELETE FROM t WHERE id = 10");
    // Taken from the end of the free block the older row left.
    db.exec("INSERT INTO t VALUES (12, 'Newer row', x'0102030405060708090a0b0c0d0e0f10', 12)");
    db.exec("DELETE FROM t WHERE id = 12");
    db.close();
    const CarveReport report = carveBytes(slurp(db.path()));
    const auto* t = table(report, "t");
    ASSERT_TRUE(t);
    bool older = false, newer = false;
    for (const auto& r : t->deleted) {
        const std::string name = text(r.values[1]);
        older = older || name == "Older row";
        if (name != "Newer row") continue;
        newer = true;
        EXPECT_EQ(r.values[2].bytes, std::string("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10", 16));
        EXPECT_EQ(r.values[3].integer, 12);
    }
    EXPECT_TRUE(newer) << "the newer row inside the older one's bytes";
    EXPECT_TRUE(older);
    for (const auto& r : t->deleted) EXPECT_EQ(text(r.values[1]).rfind("Live row", 0), std::string::npos);
}

// One row found twice, once with its id and once without (its freed cell in
// the log lost it) and with a newer value: one record, with the id and the
// newer value, the older image as its earlier version.
TEST(TableCarver, ACopyThatLostItsIdIsTheSameRowWhenItsIdentityAgrees) {
    Db db("identity");
    db.exec("PRAGMA journal_mode=WAL");
    db.exec("PRAGMA wal_autocheckpoint=0");
    db.exec("CREATE TABLE history (id INTEGER PRIMARY KEY, url TEXT UNIQUE, visits INTEGER)");
    db.exec("BEGIN");
    for (int i = 1; i <= 20; ++i)
        db.exec("INSERT INTO history (url, visits) VALUES ('https://site" + std::to_string(i) + ".example.com/', 1)");
    db.exec("COMMIT");
    db.exec("PRAGMA wal_checkpoint(TRUNCATE)");
    db.exec("BEGIN");
    db.exec("UPDATE history SET visits = 2 WHERE id = 10");
    db.exec("DELETE FROM history WHERE id = 10");
    db.exec("COMMIT");
    const auto file = slurp(db.path());
    const auto wal = slurp(db.path().string() + "-wal");
    carve::CarveOptions options;
    options.identityColumns["history"] = {"url"};
    const CarveReport report = carveBytes(file, wal, options);
    const auto* history = table(report, "history");
    ASSERT_TRUE(history);
    int records = 0;
    for (const auto& r : history->deleted) {
        if (text(r.values[1]) != "https://site10.example.com/") continue;
        ++records;
        EXPECT_EQ(r.rowid, std::optional<std::int64_t>(10));
    }
    EXPECT_EQ(records, 1) << "one row, one record";
}

}  // namespace
}  // namespace salvor::test
