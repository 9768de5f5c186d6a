// Rows the modern forge deletes: gone from what SQLite reads, with their
// dependent rows; left in the bytes or not as the way they went implies
// (vacuumed away: never; deleted after the checkpoint: live in the file
// alone; written and deleted within the log: never in the file); and the
// judges leave the phone's own recently deleted rows and older versions of
// edited rows out of the carved ones.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <map>
#include <set>
#include <string>

#include "forge/carve_judge.h"
#include "forge/modern_category.h"
#include "forge/modern_notes.h"
#include "forge/modern_sms.h"
#include "support/support.h"

namespace {

using nlohmann::json;
using salvor::test::TempDir;

// count(*) of `sql` with `text` bound, on the file alone (its log ignored) or with its log.
long countOf(const std::string& file, bool withLog, const std::string& sql, const std::string& text = {}) {
    const std::string uri = "file:" + file + (withLog ? "" : "?immutable=1");
    sqlite3* h = nullptr;
    sqlite3_stmt* st = nullptr;
    long n = -1;
    if (sqlite3_open_v2(uri.c_str(), &h, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(h, sql.c_str(), -1, &st, nullptr) == SQLITE_OK) {
        if (sqlite3_bind_parameter_count(st) > 0) sqlite3_bind_text(st, 1, text.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(st) == SQLITE_ROW) n = sqlite3_column_int64(st, 0);
    }
    sqlite3_finalize(st);
    sqlite3_close(h);
    return n;
}

bool fileHas(const std::string& path, const std::string& text) {
    return salvor::test::readFile(path).find(text) != std::string::npos;
}

// Per category: the database, the query counting a deleted row by its
// distinctive text, that text's key in the truth, and a query for its
// dependent rows left behind.
struct Store {
    const char* category;
    const char* path;
    const char* byText;
    const char* key;
    const char* orphans;
};

TEST(ModernDeletions, EachWayOfDeletingLeavesTheBytesItShould) {
    const Store stores[] = {
        {"contacts", "Library/AddressBook/AddressBook.sqlitedb", "select count(*) from ABPerson where Last = ?", "Last",
         "select count(*) from ABMultiValue where record_id >= 100"},
        {"calls", "Library/CallHistoryDB/CallHistory.storedata",
         "select count(*) from ZCALLRECORD where cast(ZADDRESS as text) = ?", "address", nullptr},
        {"calendar", "Library/Calendar/Calendar.sqlitedb", "select count(*) from CalendarItem where summary = ?",
         "summary", nullptr},
        {"bookmarks", "Library/Safari/History.db", "select count(*) from history_items where url = ?", "url",
         "select count(*) from history_visits where id >= 1000"},
    };
    for (const int ios : {12, 17}) {
        SCOPED_TRACE(ios);
        TempDir dir;
        json truth;
        std::map<std::string, std::string> files;
        for (const auto& f : salvor::forge::modern::writeModernCategories(dir.path(), ios, 8, true, truth))
            files[f.relativePath] = f.localFile;
        for (const Store& s : stores) {
            SCOPED_TRACE(s.category);
            const std::string db = files.at(s.path);
            std::map<std::string, int> recoverableByHow;
            for (const json& row : truth[s.category]["deleted"]) {
                const std::string text = row[s.key].get<std::string>();
                if (std::string(s.category) == "bookmarks" && text.find(".example.com/article") == std::string::npos)
                    continue;  // a bookmark, not a page of the history
                const std::string how = row["how"].get<std::string>();
                EXPECT_EQ(countOf(db, true, s.byText, text), 0) << text;
                if (how == "vacuumed") {
                    EXPECT_FALSE(row["recoverable"].get<bool>()) << text;
                }
                if (how == "after-checkpoint") {
                    EXPECT_EQ(countOf(db, false, s.byText, text), 1) << text;
                }
                if (how == "log-only" || how == "log-same-transaction") {
                    EXPECT_FALSE(fileHas(db, text)) << text;
                    EXPECT_TRUE(!row["recoverable"].get<bool>() || fileHas(db + "-wal", text)) << text;
                }
                recoverableByHow[how] += row["recoverable"].get<bool>() ? 1 : 0;
            }
            if (s.orphans) {
                EXPECT_EQ(countOf(db, true, s.orphans), 0);
            }
            // Every way but the vacuum leaves some rows to find; pages of
            // whole runs are on the free list.
            for (const char* how : {"single", "run", "after-checkpoint", "log-only"})
                EXPECT_GT(recoverableByHow[how], 0) << how;
            EXPECT_GT(countOf(db, false, "select freelist_count from pragma_freelist_count"), 0);
            EXPECT_EQ(recoverableByHow.count("vacuumed"), std::string(s.category) == "calls" ? 1u : 0u);
        }
        // The older version of an edited row is in the file alone, the final one with the log.
        EXPECT_EQ(countOf(files.at("Library/Calendar/Calendar.sqlitedb"), false,
                          "select count(*) from CalendarItem where summary = 'Dentsit'"),
                  1);
        EXPECT_EQ(countOf(files.at("Library/Calendar/Calendar.sqlitedb"), true,
                          "select count(*) from CalendarItem where summary = 'Dentsit'"),
                  0);
    }
}

TEST(ModernDeletions, MessagesAndNotesGoWithTheirLinksAndBodiesAndStayApartFromRecentlyDeleted) {
    TempDir dir;
    json sms, notes;
    const std::string smsPath = dir.path() + "/sms.db", notesPath = dir.path() + "/NoteStore.sqlite";
    salvor::forge::writeModernSms(smsPath, 17, 5, sms);
    salvor::forge::writeModernNotes(notesPath, 17, 5, notes);
    ASSERT_FALSE(sms["carvedMessages"].empty());
    ASSERT_FALSE(sms["deletedMessages"].empty());  // the phone's recently deleted ones
    std::set<std::string> kept;
    for (const json& m : sms["deletedMessages"]) kept.insert(m["messageContent"].get<std::string>());
    for (const json& m : sms["carvedMessages"]) {
        EXPECT_FALSE(kept.count(m["text"].get<std::string>()));
        EXPECT_EQ(countOf(smsPath, true, "select count(*) from message where ROWID = " + std::to_string(m["ROWID"].get<long>())), 0);
    }
    EXPECT_EQ(countOf(smsPath, true, "select count(*) from chat_message_join where message_id >= 1000"), 0);

    EXPECT_EQ(countOf(notesPath, true, "select count(*) from ZICNOTEDATA where Z_PK >= 100"), 0);
    EXPECT_EQ(countOf(notesPath, false, "pragma auto_vacuum"), 2);
    bool some = false;
    for (const json& n : notes["carvedNotes"]) {
        some = some || n["recoverable"].get<bool>();
        // A note comes back when its title or its body does.
        EXPECT_EQ(n["recoverable"].get<bool>(), n["noteRecoverable"].get<bool>() || n["bodyRecoverable"].get<bool>());
    }
    EXPECT_TRUE(some);
}

TEST(CarveJudges, LeaveThePhonesRecentlyDeletedAndEditedRowsOutOfTheCarvedOnes) {
    const json truth = {
        {"messages",
         {{"live", {{{"messageContent", "Hi"}}}},
          {"recentlyDeleted", {{{"messagePhone", "+1555"}, {"messageContent", "Kept"}, {"messageDate", "d1"}}}},
          {"deleted",
           {{{"ROWID", 1000}, {"text", "Gone"}, {"address", "+1555"}, {"dateText", "d2"}, {"complete", true}},
            {{"ROWID", 1001}, {"text", "Lost"}, {"address", "+1555"}, {"dateText", "d3"}, {"complete", false}}}},
          {"stale", {{{"address", "+1555"}, {"text", "Draft"}, {"dateText", "d4"}}}}}}};
    const auto message = [](const char* text, const char* date, int deleted) {
        return json{{"messagePhone", "+1555"}, {"messageContent", text}, {"messageDate", date}, {"bDeleted", deleted}};
    };
    // The carved row sits in its live conversation beside the live and kept ones.
    const json scan = {{"conversations",
                        {{{"bdeleted", 0},
                          {"MessageNodeArray",
                           {message("Hi", "d0", 0), message("Kept", "d1", 1), message("Gone", "d2", 1),
                            message("Draft", "d4", 1)}}}}}};
    const auto t = salvor::forge::judgeMessages(truth, scan);
    EXPECT_EQ(t.deleted, 2);
    EXPECT_EQ(t.recoverable, 1);
    EXPECT_EQ(t.reported, 2);  // the kept one is not carved
    EXPECT_EQ(t.matched, 1);
    EXPECT_EQ(t.recoveredRows, 1);
    EXPECT_EQ(t.stale, 1);
    EXPECT_EQ(t.phantoms + t.liveAsDeleted, 0);

    // A person's older surname is stale; another name nobody had is a phantom.
    const json people = {{"contacts",
                          {{"live", {{{"contactName", "Okonkwo"}}}},
                           {"deleted", json::array()},
                           {"stale", {{{"First", nullptr}, {"Last", "Okonkow"}}}}}}};
    const json listed = {{{"contactName", "Okonkow"}, {"contactPhone", ""}, {"bDeleted", 1}},
                         {{"contactName", "Nobody"}, {"contactPhone", ""}, {"bDeleted", 1}}};
    const auto c = salvor::forge::judgeContacts(people, listed);
    EXPECT_EQ(c.stale, 1);
    EXPECT_EQ(c.phantoms, 1);
    EXPECT_DOUBLE_EQ(c.precision(), 0.5);
}

}  // namespace
