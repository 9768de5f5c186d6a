#include <algorithm>
#include <filesystem>

#include "extract/commit_db.h"
#include "extract/extractors.h"
#include "extract_fixture.h"

namespace salvor::test {
namespace {

namespace fs = std::filesystem;

using BackupUntouchedTest = ExtractTest;

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
    for (auto* stage : {&scanContacts, &scanMessages, &scanNotes, &scanCallHistory,
                        &scanBookmarks, &scanCalendar}) {
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
        {&scanContacts, "31bb7ba8914766d4ba40d6dfb6113c8b614be442", {"contactDB is not exist"}, {40}},
        {&scanMessages, "3d0d7e5fb2ce288813306e4d4636395e047a3d28", {}, {50}},
        {&scanCallHistory, "2b2b0084a1bc3a5ac8c27afdf14afb42c61a19ca", {}, {60}},
        {&scanNotes, "ca3bc056d4da0bbf88b5fb3be254f3b7147e639c", {"messageDB is not exist"}, {70}},
        {&scanCalendar, "2041457d5fe04d39d0ab481178355df6781e6858", {"CalenderDB is not exist"}, {}},
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
