// Category databases with one damaged page, an endless view in place of a
// table, or a damaged schema entry: each damage costs only the rows it holds,
// every stage ends, and what was lost is written to the log.
#include <functional>

#include "core/helpers.h"
#include "extract/extractors.h"
#include "extract/sqlite_db.h"
#include "extract_fixture.h"
#include "forge/forge.h"
#include "forge/hostile_modern_load.h"

namespace salvor::test {
namespace {

constexpr const char* kSms = "3d0d7e5fb2ce288813306e4d4636395e047a3d28";
constexpr const char* kCalls = "2b2b0084a1bc3a5ac8c27afdf14afb42c61a19ca";
constexpr const char* kNotes = "ca3bc056d4da0bbf88b5fb3be254f3b7147e639c";
constexpr const char* kAddressBook = "31bb7ba8914766d4ba40d6dfb6113c8b614be442";
constexpr const char* kCalendar = "2041457d5fe04d39d0ab481178355df6781e6858";

// `n` rows made by `insert`, in which "n" is the row's number (1..n).
std::string rows(int n, const std::string& insert) {
    return "WITH RECURSIVE c(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM c WHERE n < " + std::to_string(n) + ") " +
           insert + ";";
}

const std::string kSmsRows =
    "INSERT INTO handle(ROWID, id, service) VALUES(1, '555-0001', 'SMS'), (2, '555-0002', 'SMS');" +
    rows(32, "INSERT INTO message(ROWID, guid, text, handle_id, date, is_from_me) "
             "SELECT n, 'g' || n, 'text ' || n, 1 + n % 2, n, n % 2 FROM c");

// Garbles the CREATE statement of the chat table, so the schema no longer parses.
void garbleChatSchema(const std::string& path) {
    std::string bytes = readFile(path);
    const auto at = bytes.find("CREATE TABLE chat (");
    ASSERT_NE(at, std::string::npos);
    bytes.replace(at + 13, 5, "(((((");
    writeFile(path, bytes);
}

class DamagedDatabaseTest : public ExtractTest {};

TEST_F(DamagedDatabaseTest, EachDamageCostsOnlyItsRows) {
    struct Case {
        const char* what;
        void (*stage)(ScanContext&, const std::string&);
        const char* stored;
        const char* schema;
        std::string rows;
        bool ios6;
        std::function<void(const std::string&)> damage;
        std::function<void()> check;
        const char* logged;  // in one of the diagnostic lines
    };
    const auto messages = [this] { return records<MessagePtr>("message"); };
    const Case cases[] = {
        {"handle page", &scanMessages, kSms, "ios6/sms.db.sql", kSmsRows, true,
         [](const std::string& p) { forge::damageTablePage(p, "handle"); },
         [&] {
             const auto m = messages();
             ASSERT_EQ(m.size(), 32u);
             for (const auto& x : m) EXPECT_EQ(x->messagePhone, "");  // the layout keeps no address of its own
             EXPECT_EQ(ctx.chatMessageArray.size(), 2u);  // read through the handle table's index
         },
         "damaged data: 32 rows of message read without handle"},
        {"endless view for handle", &scanMessages, kSms, "ios6/sms.db.sql", kSmsRows, true,
         [](const std::string& p) {
             forge::replaceWithEndlessView(p, "handle", {"ROWID", "id", "country", "service", "uncanonicalized_id"});
         },
         [&] {
             ASSERT_EQ(messages().size(), 32u);
             EXPECT_EQ(messages()[0]->messagePhone, "");
             EXPECT_TRUE(ctx.chatMessageArray.empty());
         },
         "\"handle\" is not a table"},
        {"message leaf page", &scanMessages, kSms, "ios6/sms.db.sql",
         "INSERT INTO handle(ROWID, id, service) VALUES(1, '555-0001', 'SMS');" +
             rows(300, "INSERT INTO message(ROWID, guid, text, handle_id, date) "
                       "SELECT n, 'g' || n, 'text ' || n || ' ' || hex(zeroblob(150)), 1, n FROM c"),
         true, [](const std::string& p) { forge::damageTablePage(p, "message", true); },
         [&] {
             const auto m = messages();
             ASSERT_GT(m.size(), 250u);  // a page holds about a dozen of them
             ASSERT_LT(m.size(), 300u);
             EXPECT_EQ(m.front()->rowId, 1);
             EXPECT_EQ(m.back()->rowId, 300);  // read on after the damage
             EXPECT_EQ(m.back()->messagePhone, "555-0001");
             EXPECT_EQ(ctx.chatMessageArray.size(), 1u);
         },
         "damaged data: rows of message could not be read (row ids"},
        {"damaged schema entry", &scanMessages, kSms, "ios6/sms.db.sql", kSmsRows, true, &garbleChatSchema,
         [&] {
             ASSERT_EQ(messages().size(), 32u);
             EXPECT_EQ(messages()[0]->messagePhone, "555-0002");
         },
         "the schema is damaged"},
        {"group_member page, older layout", &scanMessages, kSms, "ios5/sms.db.sql",
         "INSERT INTO group_member(group_id, address) VALUES(1, '555-9999');" +
             rows(20, "INSERT INTO message(ROWID, address, text, flags, group_id) "
                      "SELECT n, '555-' || n, 'old ' || n, 2, 1 FROM c"),
         false, [](const std::string& p) { forge::damageTablePage(p, "group_member"); },
         [&] {
             const auto m = messages();
             ASSERT_EQ(m.size(), 20u);
             EXPECT_EQ(m[6]->messagePhone, "555-7");  // the row's own address
             EXPECT_EQ(m[6]->messageType, "Received");
         },
         "20 rows of message read without group_member"},
        {"endless view for call", &scanCallHistory, kCalls, "ios6/call_history.db.sql",
         "INSERT INTO call(address, date, duration, flags) VALUES('1', 0, 5, 4);", true,
         [](const std::string& p) {
             forge::replaceWithEndlessView(p, "call", {"ROWID", "address", "date", "duration", "flags"});
         },
         [&] {
             EXPECT_TRUE(records<CallPtr>("call").empty());
             EXPECT_EQ(progress(), std::vector<int>{60});
         },
         "\"call\" is not a table"},
        // A full-text table reads its content table sorted by row id: over an
        // endless view that fills temporary storage without end. Its schema
        // text in another spelling changes nothing.
        {"full-text table over an endless view for call", &scanCallHistory, kCalls, "ios6/call_history.db.sql",
         "INSERT INTO call(address, date, duration, flags) VALUES('1', 0, 5, 4);", true,
         [](const std::string& p) { forge::replaceWithEndlessFullText(p, "call", {"address", "date", "duration", "flags"}, true); },
         [&] { EXPECT_TRUE(records<CallPtr>("call").empty()); },
         "\"call\" is not a table"},
        {"full-text table over an endless view for handle", &scanMessages, kSms, "ios6/sms.db.sql", kSmsRows, true,
         [](const std::string& p) { forge::replaceWithEndlessFullText(p, "handle", {"id", "country", "service"}); },
         [&] {
             ASSERT_EQ(messages().size(), 32u);
             EXPECT_EQ(messages()[0]->messagePhone, "");
         },
         "\"handle\" is not a table"},
        {"note body page", &scanNotes, kNotes, "ios6/notes.sqlite.sql",
         rows(5, "INSERT INTO ZNOTE(Z_PK, ZTITLE, ZMODIFICATIONDATE) SELECT n, 'note ' || n, 0 FROM c") +
             rows(5, "INSERT INTO ZNOTEBODY(Z_PK, ZCONTENT) SELECT n, 'body' FROM c"),
         true, [](const std::string& p) { forge::damageTablePage(p, "ZNOTEBODY"); },
         [&] {
             const auto notes = records<NotePtr>("note");
             ASSERT_EQ(notes.size(), 5u);
             EXPECT_EQ(notes[4]->noteTitle, "note 5");
             EXPECT_EQ(displayDate(notes[4]->noteDate), "01-01-2001 00:00");
             EXPECT_EQ(notes[4]->noteContent, "");
         },
         "5 rows of znote read without ZNOTEBODY"},
        {"multi-value page", &scanContacts, kAddressBook, "ios6/AddressBook.sqlitedb.sql",
         rows(3, "INSERT INTO ABPerson(ROWID, First) SELECT n, 'P' || n FROM c") +
             "INSERT INTO ABMultiValue(record_id, property, value) VALUES(1, 3, '555-1');",
         true, [](const std::string& p) { forge::damageTablePage(p, "ABMultiValue"); },
         [&] {
             const auto contacts = records<ContactPtr>("contact");
             ASSERT_EQ(contacts.size(), 3u);
             EXPECT_EQ(contacts[0]->contactName, "P1");
             EXPECT_EQ(contacts[0]->contactPhone, "");
         },
         "no row of abmultivalue could be read"},
        {"location page, older calendar", &scanCalendar, kCalendar, "ios5/Calendar.sqlitedb.sql",
         "INSERT INTO Calendar(ROWID, title, supported_entity_types) VALUES(1, 'Home', 4), (2, 'Tasks', 8);"
         "INSERT INTO Location(ROWID, title) VALUES(1, 'Office');" +
             rows(3, "INSERT INTO CalendarItem(summary, location_id, start_date, calendar_id) "
                     "SELECT 'item ' || n, 1, 0, CASE n WHEN 2 THEN 2 ELSE 1 END FROM c"),
         false, [](const std::string& p) { forge::damageTablePage(p, "Location"); },
         [&] {
             const auto items = records<CalendarPtr>("calendarEvent");
             ASSERT_EQ(items.size(), 2u);  // the task-only calendar's item stays out
             EXPECT_EQ(items[1]->calTitle, "item 3");
             EXPECT_EQ(items[1]->location, "");
         },
         "2 rows of calendaritem read without location"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string path = dir / c.stored;
        makeDb(path, c.schema, c.rows);
        c.damage(path);
        const std::string before = readFile(path);
        posted.clear();
        logLines.clear();
        ctx.chatMessageArray.clear();
        ctx.contactArray.clear();
        ctx.currentNodeIsiOS6Version = c.ios6;
        runPiped(c.stage, dir.path());
        c.check();
        bool found = false;
        for (const auto& line : logLines) found = found || line.find(c.logged) != std::string::npos;
        EXPECT_TRUE(found) << ::testing::PrintToString(logLines);
        EXPECT_EQ(readFile(path), before);  // read from a private copy
    }
}

// A statement past its work bound ends the database's reading with one line;
// the rows read before are kept.
TEST_F(DamagedDatabaseTest, WorkBoundEndsTheReadingOfTheDatabase) {
    const std::string path = backup / "calls.db";
    makeDb(path, "ios6/call_history.db.sql",
           rows(20000, "INSERT INTO call(address, date, duration, flags) SELECT n, n, n, 4 FROM c"));
    const sqlite::ReadPlan plan{{"address", "call", "", {"call"}}, {}};
    {
        sqlite::Database generous(path, {}, "calls.db");
        EXPECT_EQ(sqlite::Table(generous, plan).rows(), 20000);
    }
    sqlite::Database db(path, {}, "calls.db", sqlite::Bounds{50'000, 0});
    const sqlite::Table table(db, plan);
    EXPECT_TRUE(table.ok());
    EXPECT_GT(table.rows(), 1000);  // what was read before the bound stays
    EXPECT_LT(table.rows(), 20000);
    EXPECT_STREQ(table.at(0, 0), "1");
    EXPECT_EQ(sqlite::Table(db, plan).rows(), 0);  // nothing more from this database
    ASSERT_EQ(logLines.size(), 1u);
    EXPECT_NE(logLines[0].find("calls.db: reading stopped"), std::string::npos) << logLines[0];
    EXPECT_EQ(sqlite3_hard_heap_limit64(-1), sqlite::kHeapLimit);

    // The clock bounds a read too (here at once), with its own line; the
    // connection keeps temporary storage in memory, under the heap ceiling.
    logLines.clear();
    sqlite::Database hurried(path, {}, "calls.db", sqlite::Bounds{1'000'000'000, 0, {}, {}});
    const sqlite::Table cut(hurried, plan);
    EXPECT_LT(cut.rows(), 20000);
    ASSERT_EQ(logLines.size(), 1u);
    EXPECT_NE(logLines[0].find("took longer than its bound of 0 seconds"), std::string::npos) << logLines[0];
    sqlite::Database fresh(path, {}, "calls.db");
    sqlite::Statement store(fresh, "PRAGMA temp_store");
    ASSERT_TRUE(store.step());
    EXPECT_EQ(store.int64(0), 2);  // memory
}

}  // namespace
}  // namespace salvor::test
