#include <algorithm>
#include <filesystem>

#include "extract/commit_db.h"
#include "extract/extractors.h"
#include "extract_fixture.h"

namespace salvor::test {
namespace {

namespace fs = std::filesystem;

using BackupUntouchedTest = ExtractTest;

// Every database in rollback-journal mode, so preparing it in place would
// change its header; the folder and its files are read-only.
TEST_F(BackupUntouchedTest, ReadOnlyBackupScansFullyAndKeepsEveryByte) {
    makeDb(stored("31bb7ba8914766d4ba40d6dfb6113c8b614be442"), "ios6/AddressBook.sqlitedb.sql",
           "INSERT INTO ABPerson(First) VALUES('Ann');"
           "INSERT INTO ABMultiValue(record_id, property, value) VALUES(1, 3, '555-123-4567');");
    makeDb(stored("cd6702cea29fe89cf280a76794405adb17f9a0ee"), "ios6/AddressBookImages.sqlitedb.sql",
           "INSERT INTO ABFullSizeImage(record_id, data) VALUES(1, X'0102');");
    makeDb(stored("3d0d7e5fb2ce288813306e4d4636395e047a3d28"), "ios6/sms.db.sql",
           "INSERT INTO handle(ROWID, id, service) VALUES(1, '5551234567', 'SMS');"
           "INSERT INTO message(guid, text, handle_id, date) VALUES('g', 'hi', 1, 0);");
    makeDb(stored("2b2b0084a1bc3a5ac8c27afdf14afb42c61a19ca"), "ios6/call_history.db.sql",
           "INSERT INTO call(address, date, duration, flags) VALUES('5551234567', 0, 5, 4);");
    makeDb(stored("ca3bc056d4da0bbf88b5fb3be254f3b7147e639c"), "ios6/notes.sqlite.sql",
           "INSERT INTO ZNOTE(Z_PK, ZTITLE) VALUES(1, 'n');");
    makeDb(stored("d1f062e2da26192a6625d968274bfda8d07821e4"), "ios6/Bookmarks.db.sql",
           "INSERT INTO bookmarks(title, url, order_index) VALUES('b', 'http://b.example', 0);");
    makeDb(stored("2041457d5fe04d39d0ab481178355df6781e6858"), "ios6/Calendar.sqlitedb.sql",
           "INSERT INTO CalendarItem(summary, start_date) VALUES('c', 0);");
    for (const auto& e : fs::directory_iterator(backup.path()))
        fs::permissions(e.path(), fs::perms::owner_read | fs::perms::group_read, fs::perm_options::replace);
    fs::permissions(backup.path(), fs::perms::owner_read | fs::perms::owner_exec, fs::perm_options::replace);
    const auto before = fingerprint(backup.path());
    ASSERT_EQ(before.size(), 7u);

    // As inside a scan: one scratch folder shared by every stage.
    TempDir scratch;
    ctx.scanScratchDir = scratch.path();
    ctx.currentNodeIsiOS6Version = true;
    for (auto* stage : {&scanContactThread, &scanMessageThread, &scanNoteThread, &scanCallHistoryThread,
                        &scanBookMarkThread, &scanCalenderThread}) {
        runPiped(stage, backup.path());
    }

    EXPECT_EQ(fingerprint(backup.path()), before);  // same files, bytes and times
    EXPECT_EQ(records<ContactPtr>(events::ScanContactInfo).size(), 1u);
    const auto messages = records<MessagePtr>(events::ScanMessageInfo);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0]->messageName, "Ann");
    EXPECT_EQ(records<CallPtr>(events::ScanCallHistoryInfo).size(), 1u);
    EXPECT_EQ(records<NotePtr>(events::ScanNoteInfo).size(), 1u);
    EXPECT_EQ(records<BookMarkPtr>(events::scanBookMarkInfo).size(), 6u);  // one row + five factory
    EXPECT_EQ(records<CalenderPtr>(events::scanCalenderInfo).size(), 1u);
    EXPECT_EQ(progress(), (std::vector<int>{40, 50, 70, 60}));

    // The prepared copies stay for the later stages of the scan, in write-ahead-log mode.
    EXPECT_EQ(ctx.scanScratchDir, scratch.path());
    EXPECT_EQ(ctx.preparedDatabases.size(), 7u);
    for (const auto& [original, copy] : ctx.preparedDatabases) {
        EXPECT_EQ(copy.rfind(scratch.path() + "/", 0), 0u) << copy;
        EXPECT_EQ(readBytes(copy).at(18), 2) << original;
    }
    const auto again = preparedCopy(ctx, stored("31bb7ba8914766d4ba40d6dfb6113c8b614be442"));
    EXPECT_EQ(again, ctx.preparedDatabases.at(stored("31bb7ba8914766d4ba40d6dfb6113c8b614be442")));
    ctx.scanScratchDir.clear();
}

// Databases cut short after their first pages: every stage ends quietly, the
// progress values still come, and nothing is delivered twice or crashes.
TEST_F(BackupUntouchedTest, TruncatedDatabasesEndQuietly) {
    // Enough rows to fill several pages.
    const std::string rows = " FROM (SELECT 1 UNION SELECT 2 UNION SELECT 3 UNION SELECT 4 UNION SELECT 5 UNION "
                             "SELECT 6 UNION SELECT 7 UNION SELECT 8 UNION SELECT 9);";
    struct Db {
        const char* name;
        const char* schema;
        std::string rows;
    };
    const Db dbs[] = {
        {"31bb7ba8914766d4ba40d6dfb6113c8b614be442", "ios6/AddressBook.sqlitedb.sql",
         "INSERT INTO ABPerson(First, Note) SELECT 'Ann', hex(randomblob(300))" + rows},
        {"3d0d7e5fb2ce288813306e4d4636395e047a3d28", "ios6/sms.db.sql",
         "INSERT INTO message(guid, text) SELECT hex(randomblob(16)), hex(randomblob(500))" + rows},
        {"2b2b0084a1bc3a5ac8c27afdf14afb42c61a19ca", "ios6/call_history.db.sql",
         "INSERT INTO call(address) SELECT hex(randomblob(400))" + rows},
        {"ca3bc056d4da0bbf88b5fb3be254f3b7147e639c", "ios6/notes.sqlite.sql",
         "INSERT INTO ZNOTEBODY(ZCONTENT) SELECT hex(randomblob(400))" + rows},
        {"d1f062e2da26192a6625d968274bfda8d07821e4", "ios6/Bookmarks.db.sql", ""},
        {"2041457d5fe04d39d0ab481178355df6781e6858", "ios6/Calendar.sqlitedb.sql", ""},
    };
    for (const Db& db : dbs) {
        const std::string full = backup / (std::string(db.name) + ".full");
        makeDb(full, db.schema, db.rows);
        auto bytes = readBytes(full);
        bytes.resize(std::min<std::size_t>(bytes.size(), 3 * 4096 + 100));
        writeFile(stored(db.name), std::string(bytes.begin(), bytes.end()));
        fs::remove(full);
    }
    ctx.currentNodeIsiOS6Version = true;
    for (auto* stage : {&scanContactThread, &scanMessageThread, &scanNoteThread, &scanCallHistoryThread,
                        &scanBookMarkThread, &scanCalenderThread}) {
        runPiped(stage, backup.path());
    }
    EXPECT_EQ(progress(), (std::vector<int>{40, 50, 70, 60}));
    EXPECT_TRUE(ctx.scanScratchDir.empty());
}

// Per stage: the diagnostic for a missing database, and the progress it still
// reports when its database is present but unreadable.
TEST_F(BackupUntouchedTest, MissingAndUnreadableDatabasesPerStage) {
    struct Stage {
        void (*run)(ScanContext&, const std::string&);
        const char* stored;
        std::vector<std::string> missingLog;
        std::vector<int> unreadableProgress;
    };
    const Stage stages[] = {
        {&scanContactThread, "31bb7ba8914766d4ba40d6dfb6113c8b614be442", {"contactDB is not exist"}, {40}},
        {&scanMessageThread, "3d0d7e5fb2ce288813306e4d4636395e047a3d28", {}, {50}},
        {&scanCallHistoryThread, "2b2b0084a1bc3a5ac8c27afdf14afb42c61a19ca", {}, {60}},
        {&scanNoteThread, "ca3bc056d4da0bbf88b5fb3be254f3b7147e639c", {"messageDB is not exist"}, {70}},
        {&scanCalenderThread, "2041457d5fe04d39d0ab481178355df6781e6858", {"CalenderDB is not exist"}, {}},
    };
    for (bool newer : {false, true}) {
        ctx.currentNodeIsiOS6Version = newer;
        for (const Stage& st : stages) {
            SCOPED_TRACE(st.stored);
            TempDir empty;
            posted.clear();
            logLines.clear();
            runPiped(st.run, empty.path());
            EXPECT_TRUE(posted.empty());
            EXPECT_EQ(logLines, st.missingLog);

            writeFile(empty / st.stored, std::string(4096, 'x'));
            logLines.clear();
            runPiped(st.run, empty.path());
            EXPECT_EQ(progress(), st.unreadableProgress);
            EXPECT_EQ(posted.size(), st.unreadableProgress.size());  // nothing but progress
            EXPECT_TRUE(logLines.empty());
        }
    }
}

}  // namespace
}  // namespace salvor::test
