// The forge's modern category databases: each system version gets the layout
// and file settings of its real files, the same seed gives the same bytes,
// and a version it carries no layout for is refused.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <map>
#include <stdexcept>
#include <string>

#include "forge/modern_category.h"
#include "support/support.h"

namespace {

using salvor::test::TempDir;

// The first column of the first row of `sql` as text ("<none>" without rows).
std::string firstText(const std::string& file, const std::string& sql) {
    sqlite3* h = nullptr;
    sqlite3_stmt* st = nullptr;
    std::string out = "<none>";
    sqlite3_open_v2(file.c_str(), &h, SQLITE_OPEN_READONLY, nullptr);
    if (sqlite3_prepare_v2(h, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
        out = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    sqlite3_finalize(st);
    sqlite3_close(h);
    return out;
}

std::map<std::string, std::string> byPath(const std::vector<salvor::forge::modern::PlantedFile>& files) {
    std::map<std::string, std::string> out;
    for (const auto& f : files) {
        EXPECT_EQ(f.domain, "HomeDomain") << f.relativePath;
        out[f.relativePath] = f.localFile;
    }
    return out;
}

// The rows a database file holds alone (its log ignored) and with its log.
std::pair<long, long> rowsWithoutAndWithLog(const std::string& file, const std::string& count) {
    const auto rows = [&](const std::string& uri) {
        sqlite3* h = nullptr;
        sqlite3_stmt* st = nullptr;
        long n = -1;
        if (sqlite3_open_v2(uri.c_str(), &h, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) == SQLITE_OK &&
            sqlite3_prepare_v2(h, count.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
            n = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
        sqlite3_close(h);
        return n;
    };
    return {rows("file:" + file + "?immutable=1"), rows("file:" + file)};
}

void expectNewestRowsOnlyInTheLog(const std::map<std::string, std::string>& files) {
    // The phone's own rows: the ones it deleted after the last checkpoint
    // (keys from 100 on, visits from 1000) are still live in the file alone.
    const std::map<std::string, std::string> counts{
        {"Library/AddressBook/AddressBook.sqlitedb", "select count(*) from ABPerson where ROWID < 100"},
        {"Library/AddressBook/AddressBookImages.sqlitedb",
         "select (select count(*) from ABFullSizeImage) + (select count(*) from ABThumbnailImage)"},
        {"Library/CallHistoryDB/CallHistory.storedata", "select count(*) from ZCALLRECORD where Z_PK < 100"},
        {"Library/Calendar/Calendar.sqlitedb", "select count(*) from CalendarItem where ROWID < 100"},
        {"Library/Safari/Bookmarks.db", "select count(*) from bookmarks where id < 100"},
        {"Library/Safari/History.db", "select count(*) from history_visits where id < 1000"}};
    for (const auto& [path, count] : counts) {
        if (!files.count(path)) continue;
        ASSERT_TRUE(files.count(path + "-wal")) << path;
        const auto [alone, withLog] = rowsWithoutAndWithLog(files.at(path), count);
        EXPECT_GT(alone, 0) << path;
        EXPECT_GT(withLog, alone) << path;
    }
}

TEST(ModernForge, EachVersionHasItsLayoutAndFileSettings) {
    struct Case {
        int ios;
        const char* addressType;   // ZCALLRECORD.ZADDRESS as stored
        const char* calendarTail;  // a CalendarItem column only the newer layout has
        const char* newestIndex;   // an index the address book has from iOS 16 on
    };
    for (const Case& c : {Case{12, "blob", "<none>", "<none>"}, Case{15, "text", "contact_name", "<none>"},
                          Case{17, "text", "contact_name", "ABMultiValueEntryParentIndex"}}) {
        TempDir dir;
        nlohmann::json truth;
        const auto files = byPath(salvor::forge::modern::writeModernCategories(dir.path(), c.ios, 4, true, truth));
        // Six databases, each with the log that holds its newest rows.
        ASSERT_EQ(files.size(), 12u) << c.ios;
        expectNewestRowsOnlyInTheLog(files);
        const std::string calls = files.at("Library/CallHistoryDB/CallHistory.storedata");
        EXPECT_EQ(firstText(calls, "select typeof(ZADDRESS) from ZCALLRECORD"), c.addressType) << c.ios;
        EXPECT_EQ(firstText(calls, "pragma auto_vacuum"), "2");
        const std::string images = files.at("Library/AddressBook/AddressBookImages.sqlitedb");
        EXPECT_EQ(firstText(images, "pragma page_size"), "8192");
        EXPECT_EQ(firstText(images, "pragma auto_vacuum"), "1");
        EXPECT_EQ(firstText(files.at("Library/Calendar/Calendar.sqlitedb"),
                            "select name from pragma_table_info('CalendarItem') where name = 'contact_name'"),
                  c.calendarTail)
            << c.ios;
        EXPECT_EQ(firstText(files.at("Library/AddressBook/AddressBook.sqlitedb"),
                            "select name from sqlite_master where name = 'ABMultiValueEntryParentIndex'"),
                  c.newestIndex)
            << c.ios;
        // Every category has records to compare.
        for (const char* category : {"contacts", "calls", "bookmarks", "calendar"})
            EXPECT_GE(truth[category]["live"].size(), 5u) << category;
    }
}

TEST(ModernForge, SameSeedSameBytesAndUnknownVersionsRefused) {
    TempDir a, b;
    nlohmann::json ta, tb;
    const auto fa = salvor::forge::modern::writeModernCategories(a.path(), 15, 21, false, ta);
    const auto fb = salvor::forge::modern::writeModernCategories(b.path(), 15, 21, false, tb);
    ASSERT_EQ(fa.size(), 8u);  // no call log, no history; each database with its log
    EXPECT_FALSE(ta.contains("calls"));
    EXPECT_EQ(ta, tb);
    for (std::size_t i = 0; i < fa.size(); ++i)
        EXPECT_EQ(salvor::test::readFile(fa[i].localFile), salvor::test::readFile(fb[i].localFile))
            << fa[i].relativePath;
    nlohmann::json t;
    EXPECT_THROW(salvor::forge::modern::writeModernCategories(a.path(), 14, 1, true, t), std::invalid_argument);
}

}  // namespace
