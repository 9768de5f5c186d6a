#include "extract/extractors.h"
#include "extract_fixture.h"

namespace salvor::test {
namespace {

constexpr const char* kCallsWireless = "2b2b0084a1bc3a5ac8c27afdf14afb42c61a19ca";
constexpr const char* kCallsHome = "ff1324e6b949111b2fb449ecddb50c89c3699a78";
constexpr const char* kNotes = "ca3bc056d4da0bbf88b5fb3be254f3b7147e639c";
constexpr const char* kNotesOld = "740b7eaf93d6ea5d305e88bb349c8e9643f48c3b";
constexpr const char* kCalendar = "2041457d5fe04d39d0ab481178355df6781e6858";

using CallsTest = ExtractTest;
using NotesTest = ExtractTest;
using CalendarTest = ExtractTest;

TEST_F(CallsTest, CallsWithDurationsTypesAndNames) {
    auto ann = std::make_shared<MVContactNode>();
    ann->contactName = "Ann";
    ann->contactPhone = " 555-1234";
    ctx.contactArray.push_back(ann);
    makeDb(stored(kCallsWireless), "ios7/call_history.db.sql", R"(
        INSERT INTO call(address, date, duration, flags) VALUES('5551234', 1300000000, 0, 5);
        INSERT INTO call(address, date, duration, flags) VALUES('999', 0, 0, 4);
        INSERT INTO call(address, date, duration, flags) VALUES('999', 0, 125, 4);
        INSERT INTO call(address, date, duration, flags) VALUES('999', 0, 3700, 5);
        INSERT INTO call(address, date, duration, flags) VALUES(NULL, NULL, NULL, NULL);
    )");
    runPiped(&scanCallHistoryThread, backup.path());
    EXPECT_EQ(names().back(), "ScanProgressInfo");
    EXPECT_EQ(progress(), std::vector<int>{60});
    const auto calls = records<CallPtr>(events::ScanCallHistoryInfo);
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls[0]->callDuration, "Cancelled");
    EXPECT_EQ(calls[0]->callName, "Ann");  // found through the contacts
    EXPECT_EQ(calls[1]->callDuration, "Missed");
    EXPECT_FALSE(calls[1]->callName);  // absent, not the empty default
    EXPECT_EQ(calls[2]->callDuration, "2 minutes");
    EXPECT_EQ(calls[3]->callDuration, "1 hour");
    EXPECT_EQ(calls[4]->callDuration, "-1 second");  // an all-NULL row gives empty texts
    EXPECT_EQ(calls[4]->callType, "");
    EXPECT_EQ(calls[4]->callDate, "");
}

TEST_F(CallsTest, OlderFileNameAndPreferredNameWins) {
    makeDb(stored(kCallsHome), "ios4/call_history.db.sql",
           "INSERT INTO call(address, date, duration, flags) VALUES('123', 1300000000, 61, 4);");
    runPiped(&scanCallHistoryThread, backup.path());
    const auto calls = records<CallPtr>(events::ScanCallHistoryInfo);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0]->callDuration, "1 minute");

    posted.clear();
    writeFile(stored(kCallsWireless), "not a database");  // preferred name wins, even unreadable
    runPiped(&scanCallHistoryThread, backup.path());
    EXPECT_EQ(names(), std::vector<std::string>{"ScanProgressInfo"});
}

TEST_F(NotesTest, NewerStoreCleanedBodiesAndDates) {
    makeDb(stored(kNotes), "ios6/notes.sqlite.sql", R"(
        INSERT INTO ZNOTE(Z_PK, ZTITLE, ZMODIFICATIONDATE) VALUES(1, 'Shopping', 0);
        INSERT INTO ZNOTEBODY(Z_PK, ZCONTENT) VALUES(1, 'a<div>b</div>c&nbsp;d<br>e<b>f</b>');
        INSERT INTO ZNOTE(Z_PK, ZTITLE, ZMODIFICATIONDATE) VALUES(2, CAST(X'FF' AS TEXT), NULL);
    )");
    runPiped(&scanNoteThread, backup.path());
    EXPECT_EQ(progress(), std::vector<int>{70});
    EXPECT_EQ(names().back(), "ScanProgressInfo");
    const auto notes = records<NotePtr>(events::ScanNoteInfo);
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(notes[0]->noteContent, "abc d e<b>f</b>");
    EXPECT_EQ(notes[1]->noteTitle, "\xEF\xBF\xBD");  // an invalid byte becomes U+FFFD
    EXPECT_EQ(notes[1]->noteDate, "");
}

TEST_F(NotesTest, OlderStoreUnderOlderNameAndPreferredNameWins) {
    makeDb(stored(kNotesOld), "legacy/notes.db.sql", R"(
        INSERT INTO Note(ROWID, title, modification_date) VALUES(1, 'Old', 86400);
        INSERT INTO note_bodies(note_id, data) VALUES(1, 'x</br>y');
    )");
    runPiped(&scanNoteThread, backup.path());
    auto notes = records<NotePtr>(events::ScanNoteInfo);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0]->noteContent, "x y");

    posted.clear();
    writeFile(stored(kNotes), std::string(1000, '\0'));
    runPiped(&scanNoteThread, backup.path());
    EXPECT_EQ(names(), std::vector<std::string>{"ScanProgressInfo"});
}

TEST_F(CalendarTest, StatementsByVersionAndContent) {
    const char* rows = R"(
        INSERT INTO Calendar(ROWID, title, supported_entity_types) VALUES(1, 'Home', 4);
        INSERT INTO Calendar(ROWID, title, supported_entity_types) VALUES(2, 'Tasks', 8);
        INSERT INTO Location(ROWID, title) VALUES(3, 'Office');
        INSERT INTO CalendarItem(summary, location_id, description, start_date, end_date, calendar_id)
            VALUES('Meet', 3, 'agenda', 0, 3600, 1);
        INSERT INTO CalendarItem(summary, start_date, calendar_id) VALUES('Todo', 100, 2);
    )";
    makeDb(stored(kCalendar), "ios6/Calendar.sqlitedb.sql", rows);

    ctx.currentNodeIsiOS6Version = true;
    runPiped(&scanCalenderThread, backup.path());
    auto events6 = records<CalenderPtr>(events::scanCalenderInfo);
    ASSERT_EQ(events6.size(), 2u);
    EXPECT_EQ(events6[0]->location, "3");  // the row number on these systems
    EXPECT_EQ(events6[1]->endDate, "");
    EXPECT_TRUE(progress().empty());  // the calendar reports no progress

    posted.clear();
    ctx.currentNodeIsiOS6Version = false;
    runPiped(&scanCalenderThread, backup.path());
    auto events5 = records<CalenderPtr>(events::scanCalenderInfo);
    ASSERT_EQ(events5.size(), 1u);  // items of task-only calendars are left out
    EXPECT_EQ(events5[0]->location, "Office");
    EXPECT_TRUE(logLines.empty());
}

TEST_F(CalendarTest, OldestEventTable) {
    makeDb(stored(kCalendar), "ios4/Calendar.sqlitedb.sql",
           "INSERT INTO Event(summary, location, start_date) VALUES('Dinner', 'Cafe', 0);");
    runPiped(&scanCalenderThread, backup.path());
    auto events4 = records<CalenderPtr>(events::scanCalenderInfo);
    ASSERT_EQ(events4.size(), 1u);
    EXPECT_EQ(events4[0]->location, "Cafe");
}

}  // namespace
}  // namespace salvor::test
