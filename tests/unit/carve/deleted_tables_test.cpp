// The scans that read their table's layout from the file's own schema (notes,
// bookmarks, call history, calendar) over files built with SQLite in every
// generation's real table layout, and the record walker they share. Format-1
// files store 0 and 1 as one-byte integers, format-4 files (every file a newer
// system creates) as the constants 08 and 09, and both are carved alike;
// deleted rows come back with their fields in place (the longer iOS 7.1 tables
// included), live rows and their copies are never posted, and a row's bytes
// read one column early do not make a second, shifted call.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <any>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "carve/carve_record.h"
#include "carve/deleted_bookmarks.h"
#include "carve/deleted_calendar.h"
#include "carve/deleted_calls.h"
#include "carve/deleted_notes.h"
#include "core/record_collector.h"
#include "core/helpers.h"
#include "core/scan_context.h"
#include "extract/extractors.h"
#include "support/support.h"

namespace salvor::test {
namespace {

constexpr const char* kNotes = "ca3bc056d4da0bbf88b5fb3be254f3b7147e639c";
constexpr const char* kBookmarks = "d1f062e2da26192a6625d968274bfda8d07821e4";
constexpr const char* kCalls = "2b2b0084a1bc3a5ac8c27afdf14afb42c61a19ca";
constexpr const char* kCalendar = "2041457d5fe04d39d0ab481178355df6781e6858";

// The moment of a value counted in seconds from 2001-01-01 UTC.
Timestamp from2001(std::int64_t seconds) { return Timestamp(std::chrono::seconds(seconds + 978307200)); }

class DelTableTest : public ::testing::Test {
protected:
    RecordCollector sink;
    ScanContext ctx{sink};
    TempDir backup, scratch;
    std::vector<NotePtr>& notes = sink.deletedNotes;
    std::vector<BookMarkPtr>& bookmarks = sink.deletedBookmarks;
    std::vector<CallPtr>& calls = sink.deletedCalls;
    std::vector<CalendarPtr>& events = sink.deletedCalendarEvents;
    int progressPosts() const { return static_cast<int>(sink.progressValues.size()); }

    void SetUp() override {
        ctx.scanScratchDir = scratch.path();
        ctx.stageProgress = 90;
    }

    void useFolder(const std::string& name) {
        ctx.backupPath = backup / name;
        std::filesystem::create_directory(ctx.backupPath);
        notes.clear(), bookmarks.clear(), calls.clear(), events.clear(), sink.progressValues.clear();
        ctx.removeSomeArray();
    }

    std::string path(const char* stored) const { return ctx.backupPath + "/" + stored; }

    void makeDb(const char* stored, bool formatOne, const std::string& schema, const std::string& sql, int pageSize = 4096) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path(stored).c_str(), &db), SQLITE_OK);
        if (formatOne) sqlite3_db_config(db, SQLITE_DBCONFIG_LEGACY_FILE_FORMAT, 1, nullptr);
        const std::string all = "PRAGMA page_size=" + std::to_string(pageSize) + "; PRAGMA secure_delete=OFF;\n" +
                                readFile(std::string(SALVOR_SCHEMA_DIR) + "/" + schema) + "BEGIN;" + sql + "COMMIT;";
        char* err = nullptr;
        EXPECT_EQ(sqlite3_exec(db, all.c_str(), nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "");
        sqlite3_free(err);
        sqlite3_close(db);
    }

    // The live stages prepare the private copies the carving reads.
    void scanNotesWithDeleted() {
        scanNotes(ctx, ctx.backupPath);
        DelNoteScan::scanBackup(ctx, ctx.backupPath);
    }
    void scanBookmarksWithDeleted() {
        scanBookmarks(ctx, ctx.backupPath);
        DelBookMarkScan::scanBackup(ctx, ctx.backupPath);
    }
};

// A note row and its body row as the phone writes them (Core Data: entity 3
// and 4, the body numbered as its note); `ios7` adds the sequence column.
std::string noteRows(int pk, const std::string& title, const std::string& html, bool ios7, int modified) {
    const std::string id = std::to_string(pk);
    return "INSERT INTO ZNOTE VALUES (" + id + ", 3, 1, 0, 0, 0, 0, " + (ios7 ? "NULL, " : "") + "-4294967296, " + id +
           ", 0, " + id + ", 1, 380000000, " + std::to_string(modified) + ".5, NULL, 'GUID-" + id + "', NULL, '" +
           title + " summary', '" + title + "');\n" + "INSERT INTO ZNOTEBODY VALUES (" + id + ", 4, 1, " + id + ", '" +
           html + "', NULL, NULL);\n";
}

std::string deleteNote(int pk) {
    return "DELETE FROM ZNOTEBODY WHERE Z_PK = " + std::to_string(pk) + "; DELETE FROM ZNOTE WHERE Z_PK = " +
           std::to_string(pk) + ";\n";
}

std::string longHtml() {
    std::string html = "Trip";
    for (int k = 0; html.size() < 2600; ++k) html += "<div>" + std::to_string(k) + ". pack the <b>blue</b> bag&nbsp;now</div>";
    return html;
}

// Both schema formats and both note tables (19 columns, and 20 with the
// newer sequence column): the deleted notes come back with title, date and
// body (a long one too, beyond what a two-byte serial type of the older
// carving could describe, on overflow pages with small pages, where the
// table's own statement spills onto one as well), the live note is not listed.
TEST_F(DelTableTest, DeletedNotesOfEitherSchemaFormat) {
    for (const auto& [schema, formatOne, pageSize] :
         {std::tuple{"ios5/notes.sqlite.sql", true, 4096}, std::tuple{"ios7/notes.sqlite.sql", false, 4096},
          std::tuple{"ios7/notes.sqlite.sql", true, 4096}, std::tuple{"ios5/notes.sqlite.sql", true, 1024}}) {
        SCOPED_TRACE(std::string(schema) + (formatOne ? " format 1 " : " format 4 ") + std::to_string(pageSize));
        const bool ios7 = std::string(schema).find("ios7") != std::string::npos;
        useFolder(std::string(formatOne ? "f1-" : "f4-") + (ios7 ? "7-" : "5-") + std::to_string(pageSize));
        makeDb(kNotes, formatOne, schema,
               noteRows(1, "First", "First one", ios7, 380000500) + noteRows(4, "Keep", "Keep<div>this</div>", ios7, 380001000) +
                   noteRows(2, "Milk", "Milk<div>eggs</div><br>bread&nbsp;x", ios7, 380002000) +
                   noteRows(3, "Trip", longHtml(), ios7, 380003000) + deleteNote(1) + deleteNote(2) + deleteNote(3),
               pageSize);
        scanNotesWithDeleted();
        ASSERT_EQ(notes.size(), 3u);
        std::sort(notes.begin(), notes.end(), [](const NotePtr& a, const NotePtr& b) { return *a->noteTitle < *b->noteTitle; });
        // Note 1's body names its owner with the constant 1 in a format-4 file.
        EXPECT_EQ(*notes[0]->noteTitle + "|" + *notes[0]->noteContent, "First|First one");
        EXPECT_EQ(*notes[1]->noteTitle, "Milk");
        EXPECT_EQ(*notes[1]->noteContent, "Milk\neggs\n\nbread x");
        EXPECT_EQ(notes[1]->noteDate, from2001(380002000));
        EXPECT_EQ(*notes[2]->noteTitle, "Trip");
        // With small pages the long body lay on overflow pages, the first of
        // which became the free list's trunk: the body is cut, the note keeps
        // its title and date.
        EXPECT_EQ(*notes[2]->noteContent, pageSize == 1024 ? "" : cleanNoteContent(longHtml()));
    }
}

// A note whose body record was overwritten still comes back with its title
// and date; a record cut by the end of the file is not read past it.
TEST_F(DelTableTest, NoteWithoutItsBodyAndRecordCutByTheEndOfTheFile) {
    useFolder("nobody");
    makeDb(kNotes, false, "ios7/notes.sqlite.sql",
           noteRows(1, "Keep", "Keep it", true, 380001000) + noteRows(2, "Gone", "Gone body text here", true, 380002000) +
               deleteNote(2));
    std::string bytes = readFile(path(kNotes));
    const std::size_t body = bytes.find("Gone body text here");
    ASSERT_NE(body, std::string::npos);
    bytes.replace(body, 4, std::string(4, '\x01'));  // a later write over the body
    writeFile(path(kNotes), bytes);
    scanNotesWithDeleted();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(*notes[0]->noteTitle, "Gone");
    EXPECT_EQ(notes[0]->noteDate, from2001(380002000));
    EXPECT_EQ(*notes[0]->noteContent, "");

    // A note row that ends with the file is read; the same row cut by the
    // end of the file is not, and nothing past the end is taken for its bytes.
    const std::uint8_t row[] = {21, 0, 0x01, 0x09, 0x08, 0x08, 0x08, 0x08, 0x00, 0x01, 0x01, 0x08, 0x01, 0x09,
                                0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x15, 3, 1, 2, 2, 0x16, 0xA6, 0x0E, 0x80, 'G', 'o', 'n', 'e'};
    std::vector<std::uint8_t> image(bytes.begin(), bytes.begin() + 4096);
    image.resize(8192, 0);
    std::copy(std::begin(row), std::end(row), image.end() - sizeof row);
    const std::uint64_t field1 = image.size() - sizeof row + 2;
    const auto whole = carve::PageImage::open(image, "whole");
    ASSERT_TRUE(whole);
    const auto layout = carve::findTableLayout(*whole, "ZNOTE");
    ASSERT_TRUE(layout);
    const auto read = carve::walkRecord(*whole, field1, 1, layout->kinds, 4096, 8192, true);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->bytes(static_cast<std::size_t>(layout->index("ZTITLE"))), "Gone");
    EXPECT_EQ(read->number(static_cast<std::size_t>(layout->index("ZMODIFICATIONDATE"))), std::nullopt);
    image.resize(image.size() - 2);
    const auto cut = carve::PageImage::open(image, "cut");
    ASSERT_TRUE(cut);
    EXPECT_FALSE(carve::walkRecord(*cut, field1, 1, layout->kinds, 4096, 8192, true));
}

// A note edited before it was deleted leaves each version's rows behind: it
// comes back once, with its last title and body (the highest version count),
// in both schema formats.
TEST_F(DelTableTest, EditedNoteComesBackOnceAsItsLastVersion) {
    for (const bool formatOne : {true, false}) {
        SCOPED_TRACE(formatOne);
        useFolder(formatOne ? "edited-f1" : "edited-f4");
        const std::string edit = "UPDATE ZNOTEBODY SET Z_OPT = 3, ZCONTENT = 'Plan<div>the second and much longer "
                                 "version of the plan, with more to say</div>' WHERE Z_PK = 2;\n"
                                 "UPDATE ZNOTE SET Z_OPT = 3, ZTITLE = 'Plan B', ZSUMMARY = 'Plan B and its longer summary "
                                 "text', ZMODIFICATIONDATE = 380009000 WHERE Z_PK = 2;\n";
        makeDb(kNotes, formatOne, "ios6/notes.sqlite.sql",
               noteRows(1, "Keep", "Keep it", false, 380001000) + noteRows(2, "Plan", "Plan<div>first</div>", false, 380002000) +
                   noteRows(3, "Other", "Other text", false, 380003000) + edit + deleteNote(2));
        scanNotesWithDeleted();
        ASSERT_EQ(notes.size(), 1u);
        EXPECT_EQ(textOrEmpty(notes[0]->noteTitle) + "|" + textOrEmpty(notes[0]->noteContent),
                  "Plan B|Plan\nthe second and much longer version of the plan, with more to say");
        EXPECT_EQ(notes[0]->noteDate, from2001(380009000));
    }
}

std::string bookmarkRow(int id, int parent, int type, const std::string& title, const char* url, int columns) {
    std::string row = "INSERT INTO bookmarks VALUES (" + std::to_string(id) + ", 0, " + std::to_string(parent) + ", " +
                      std::to_string(type) + ", '" + title + "', " + (url ? "'" + std::string(url) + "'" : "NULL") +
                      ", 0, 1, 1, " + (columns > 11 ? "0, 0, " : "") + std::to_string(id) + ", 'UUID-" +
                      std::to_string(id) + "'";
    for (int k = 14; k <= columns; ++k) row += ", NULL";
    return row + ");\n";
}

// The 11-column format-1 table and the 29-column format-4 table: a deleted
// folder and the bookmark in it come back; the root folder and live rows do not.
TEST_F(DelTableTest, DeletedBookmarksAndFoldersOfEitherSchemaFormat) {
    for (const auto& [schema, columns, formatOne] : {std::tuple{"ios4/Bookmarks.db.sql", 11, true},
                                                     std::tuple{"ios7/Bookmarks.db.sql", 29, false}}) {
        SCOPED_TRACE(schema);
        useFolder(std::to_string(columns));
        makeDb(kBookmarks, formatOne, schema,
               bookmarkRow(0, 0, 1, "Root", nullptr, columns) + bookmarkRow(1, 0, 0, "Live", "http://live.example/", columns) +
                   bookmarkRow(2, 0, 1, "Old trips", nullptr, columns) +
                   bookmarkRow(3, 2, 0, "Lisbon hotel", "https://hotel.example/lisbon?id=3", columns) +
                   "DELETE FROM bookmarks WHERE id IN (0, 2, 3);\n");
        scanBookmarksWithDeleted();
        std::vector<std::string> got;
        for (const BookMarkPtr& b : bookmarks) got.push_back(*b->bookMarkTitle + "|" + textOrEmpty(b->bookMarkURL));
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, (std::vector<std::string>{"Lisbon hotel|https://hotel.example/lisbon?id=3", "Old trips|"}));
    }
}

// A call row of the generation's table: number, date, duration, flags, id -1,
// then the columns the longer tables add.
std::string call(int generation, int rowid, const std::string& number, long date, int duration, int flags) {
    std::string row = std::to_string(rowid) + ", '" + number + "', " + std::to_string(date) + ", " + std::to_string(duration) +
                      ", " + std::to_string(flags) + ", -1, NULL, '310'";
    if (generation >= 5) row += ", '410'";
    if (generation >= 6) row += ", 1, 0, NULL, '" + number + "'";
    if (generation >= 7) row += ", 1";
    return "INSERT INTO call VALUES (" + row + ");\n";
}

// Every generation's table, the 14 columns of iOS 7.1 included, gives back the
// deleted calls with every field in place: one-byte durations (whose bytes
// also match the anchor one column early), several-byte ones, missed and
// cancelled calls; the live calls are never posted as deleted.
TEST_F(DelTableTest, DeletedCallsOfEveryTableComeBackOnceAndInPlace) {
    for (int generation : {4, 5, 6, 7}) {
        SCOPED_TRACE(generation);
        useFolder("calls" + std::to_string(generation));
        std::string sql;
        const int durations[] = {7, 61, 3700, 40000, 0, 0, 125, 1};
        const int flags[] = {4, 5, 4, 5, 5, 4, 4, 5};
        for (int i = 0; i < 8; ++i)
            sql += call(generation, i + 1, "55501" + std::to_string(i), 1300000000L + 1000L * i, durations[i], flags[i]);
        makeDb(kCalls, false, "ios" + std::to_string(generation) + "/call_history.db.sql",
               sql + "DELETE FROM call WHERE ROWID IN (1, 2, 3, 4, 5, 6);\n", 1024);
        scanCallHistory(ctx, ctx.backupPath);
        DelCallScan::scanBackup(ctx, ctx.backupPath);
        EXPECT_EQ(progressPosts(), 2);  // one from each stage
        ASSERT_EQ(calls.size(), 6u);
        std::sort(calls.begin(), calls.end(), [](const CallPtr& a, const CallPtr& b) { return a->callPhone < b->callPhone; });
        for (int i = 0; i < 6; ++i) {
            const MVCallHistoryNode& c = *calls[static_cast<std::size_t>(i)];
            EXPECT_EQ(textOrEmpty(c.callPhone), "55501" + std::to_string(i));
            EXPECT_EQ(c.callDate, Timestamp(std::chrono::seconds(1300000000L + 1000L * i)));  // read from 1970
            EXPECT_EQ(c.callTime, durations[i]);
            EXPECT_EQ(c.callType, flags[i] == 5 ? "Outgoing" : "Incoming");
        }
        EXPECT_EQ(displayCallDuration(*calls[4]), "Cancelled");
        EXPECT_EQ(displayCallDuration(*calls[5]), "Missed");
    }
}

// Calls of every kind the flags tell (FaceTime and Wi-Fi calling set bits up
// to 24: three- and four-byte integers) and every contact id width (-1, the
// constants 0 and 1, two bytes) come back from the 14-column table.
TEST_F(DelTableTest, DeletedCallsOfEveryFlagsAndIdWidth) {
    useFolder("call-kinds");
    const std::pair<long, int> kinds[] = {{16777220, -1}, {16777221, 0}, {65541, 1}, {1048580, 3000}, {5, 0}, {4, 300}};
    std::string sql;
    for (int i = 0; i < 6; ++i) {
        const std::string n = std::to_string(i + 1);
        sql += "INSERT INTO call VALUES (" + n + ", '55502" + n + "', " + std::to_string(410000000L + 999L * i) + ", " +
               std::to_string(30 * i) + ", " + std::to_string(kinds[i].first) + ", " + std::to_string(kinds[i].second) +
               ", NULL, '310', '410', 1, 0, NULL, '55502" + n + "', " + (i ? "1" : "0") + ");\n";
    }
    makeDb(kCalls, false, "ios7/call_history.db.sql", sql + "DELETE FROM call WHERE ROWID IN (1, 2, 3, 4, 5, 6);\n", 1024);
    DelCallScan::scanBackup(ctx, ctx.backupPath);
    scanCallHistory(ctx, ctx.backupPath);
    DelCallScan::scanBackup(ctx, ctx.backupPath);
    ASSERT_EQ(calls.size(), 6u);
    std::sort(calls.begin(), calls.end(), [](const CallPtr& a, const CallPtr& b) { return a->callPhone < b->callPhone; });
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(calls[static_cast<std::size_t>(i)]->callTime, 30 * i);
        EXPECT_EQ(calls[static_cast<std::size_t>(i)]->callDate, from2001(410000000L + 999L * i));  // before 1990 as from 1970
    }
}

// The carving searches a page's free space only, and each call says where it
// was found. A hundred calls deleted at once empty whole leaves, which go to
// the free list; ten calls written afterwards fill the root from its end, so
// a call deleted in the middle lies in a free block and the last one (at the
// start of the cells) in the gap the page gives back. The live
// calls are never carved; an updated call's older bytes come back beside it
// (they differ from the live row), an unchanged copy does not.
TEST_F(DelTableTest, CallsComeFromFreeSpaceAndSayWhereTheyWereFound) {
    const auto ten = [] {
        std::string rows;
        for (int i = 1; i <= 10; ++i) rows += call(6, i, "55500" + std::to_string(10 + i), 1300000000L + 60L * i, 30 + i, 4);
        return rows;
    };
    const auto carved = [this] {
        scanCallHistory(ctx, ctx.backupPath);
        DelCallScan::scanBackup(ctx, ctx.backupPath);
        std::map<std::string, std::vector<CallPtr>> byNumber;
        for (const CallPtr& c : calls) {
            EXPECT_TRUE(c->carvedFrom) << textOrEmpty(c->callPhone);
            EXPECT_GT(c->carvedPage, 1);
            byNumber[textOrEmpty(c->callPhone)].push_back(c);
        }
        return byNumber;
    };
    useFolder("regions");
    std::string sql;
    for (int i = 1001; i <= 1100; ++i) sql += call(6, i, "5551" + std::to_string(i), 1300000000L + 60L * i, 20, 5);
    sql += "COMMIT; DELETE FROM call; BEGIN;" + ten() + "COMMIT; DELETE FROM call WHERE ROWID IN (5, 10); BEGIN;";
    makeDb(kCalls, false, "ios6/call_history.db.sql", sql, 1024);
    auto byNumber = carved();
    int onFreePages = 0;
    for (int i = 1001; i <= 1100; ++i)
        for (const CallPtr& c : byNumber["5551" + std::to_string(i)]) onFreePages += c->carvedFrom == "freelist";
    EXPECT_GT(onFreePages, 50);
    std::erase_if(byNumber, [](const auto& entry) { return entry.first.rfind("5551", 0) == 0; });
    // Of the ten, the two deleted only.
    ASSERT_EQ(byNumber.size(), 2u);
    ASSERT_EQ(byNumber["5550015"].size(), 1u);
    EXPECT_EQ(byNumber["5550015"][0]->carvedFrom, "freeblock");
    ASSERT_EQ(byNumber["5550020"].size(), 1u);
    EXPECT_EQ(byNumber["5550020"][0]->carvedFrom, "unallocated");

    // A row grown by an update moves; its old bytes stay in a free block.
    useFolder("update");
    makeDb(kCalls, false, "ios6/call_history.db.sql", ten() + "UPDATE call SET duration = 100000 WHERE ROWID = 3;", 1024);
    byNumber = carved();
    ASSERT_EQ(byNumber.size(), 1u);
    ASSERT_EQ(byNumber["5550013"].size(), 1u);
    EXPECT_EQ(byNumber["5550013"][0]->callTime, 33);
    EXPECT_EQ(byNumber["5550013"][0]->carvedFrom, "freeblock");
}

// An event row of the generation's table (the oldest has the location text in
// the row, later ones the number of a location row).
std::string event(int generation, int rowid, const std::string& title, const std::string& note, long start, long end) {
    const std::string n = note.empty() ? "NULL" : "'" + note + "'";
    if (generation == 4)
        return "INSERT INTO Event (ROWID, summary, location, description, start_date, start_tz, end_date, all_day, "
               "calendar_id, orig_event_id, orig_start_date, organizer_id, organizer_is_self, self_attendee_id, status, "
               "availability, privacy_level, unique_identifier, hidden) VALUES (" +
               std::to_string(rowid) + ", '" + title + "', 'Room " + std::to_string(rowid) + "', " + n + ", " +
               std::to_string(start) + ", 'Europe/London', " + std::to_string(end) + ", 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 'uid', 0);\n";
    std::string row = "INSERT INTO CalendarItem (ROWID, summary, location_id, description, start_date, start_tz, end_date, "
                      "all_day, calendar_id, orig_item_id, orig_date, organizer_id, self_attendee_id, status, "
                      "invitation_status, availability, privacy_level, unique_identifier, external_rep, UUID, entity_type) "
                      "VALUES (" +
                      std::to_string(rowid) + ", '" + title + "', " + std::to_string(rowid) + ", " + n + ", " +
                      std::to_string(start) + ", 'Europe/London', " + std::to_string(end) + ", 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, " +
                      "'uid', " + (generation == 7 ? "zeroblob(90)" : "NULL") + ", 'UUID', 2);\n";
    return row;
}

// The event tables of 31, 41, 51 and 52 columns (the last with a two-byte
// serial type for its synchronisation blob) give back the deleted events with
// title, note and dates in place; the live event is not posted.
TEST_F(DelTableTest, DeletedEventsOfEveryTableComeBackInPlace) {
    ctx.stageProgress = 100;
    for (int generation : {4, 5, 6, 7}) {
        SCOPED_TRACE(generation);
        useFolder("calendar" + std::to_string(generation));
        ctx.currentNodeIsiOS6Version = generation >= 6;
        // Two pages of events at the small page size, so that the schema entry
        // of the longest table runs over into an overflow page.
        std::string sql;
        for (int i = 1; i <= 9; ++i)
            sql += event(generation, i, "Event " + std::to_string(i), i % 2 ? "Bring papers " + std::to_string(i) : "",
                         400000000L + 3600L * i, 400000000L + 3600L * i + 1800);
        makeDb(kCalendar, false, "ios" + std::to_string(generation) + "/Calendar.sqlitedb.sql",
               sql + "DELETE FROM " + (generation == 4 ? "Event" : "CalendarItem") + " WHERE ROWID IN (2, 3, 5, 8);\n", 1024);
        scanCalendar(ctx, ctx.backupPath);
        DelCalendarScan::scanBackup(ctx, ctx.backupPath);
        EXPECT_EQ(progressPosts(), 1);
        std::vector<std::string> got;
        std::sort(events.begin(), events.end(), [](const CalendarPtr& a, const CalendarPtr& b) { return a->calTitle < b->calTitle; });
        for (const CalendarPtr& e : events) {
            got.push_back(textOrEmpty(e->calTitle) + "|" + textOrEmpty(e->calNote) + "|" + textOrEmpty(e->location));
            const long start = 400000000L + 3600L * (textOrEmpty(e->calTitle).back() - '0');
            EXPECT_EQ(e->startDate, from2001(start));
            EXPECT_EQ(e->endDate, from2001(start + 1800));
        }
        const std::string room = generation == 4 ? "Room " : "";
        auto want = [&](int i, const std::string& note) {
            return "Event " + std::to_string(i) + "|" + note + "|" + (room.empty() ? "" : room + std::to_string(i));
        };
        EXPECT_EQ(got, (std::vector<std::string>{want(2, ""), want(3, "Bring papers 3"), want(5, "Bring papers 5"), want(8, "")}));
    }
}

// The column layout comes from the file's own schema text; table constraints,
// quoted names and texts are read as such. A file whose schema cannot be
// walked still gives the statement that stands whole in its bytes.
TEST(CarveRecord, TableLayoutFollowsTheDeclaredTypes) {
    const auto layout = carve::tableLayoutIn(
        "CREATE TABLE x (a); CREATE TABLE t (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, \"a b\" TEXT NOT NULL, "
        "c BLOB, d REAL DEFAULT (0.5), e, f VARCHAR(20), g NUMERIC, h INT DEFAULT 'x, (y', UNIQUE (c, d))",
        "T");
    ASSERT_TRUE(layout);
    EXPECT_EQ(layout->kinds, "itbrbtni");
    EXPECT_EQ(layout->index("A B"), 1);
    EXPECT_EQ(carve::tableLayoutIn("CREATE TABLE t", "t"), std::nullopt);
    EXPECT_EQ(carve::tableLayoutIn("CREATE TABLE tt (a INTEGER)", "t"), std::nullopt);

    std::vector<std::uint8_t> bytes(2048, 0);
    bytes[16] = 0x04;  // page size 1024; page 1 is no b-tree page
    const std::string sql = "create table call (ROWID INTEGER, address TEXT)";
    std::copy(sql.begin(), sql.end(), bytes.begin() + 1500);
    const auto image = carve::PageImage::open(bytes, "test");
    ASSERT_TRUE(image);
    const auto found = carve::findTableLayout(*image, "call");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->kinds, "it");
}

// Bytes that only look like the anchor, or a row whose header was cut short,
// at the page's edges: the walk answers nothing and never reads outside.
TEST(CarveRecord, WalkRefusesRowsThatDoNotFitOrLeaveThePage) {
    std::vector<std::uint8_t> bytes(2048, 0);
    bytes[16] = 0x04;  // page size 1024
    // Page 1: a shifted call (date's serial type where the duration's belongs).
    const std::uint8_t row[] = {0x09, 0x00, 0x19, 0x04, 0x01, 0x01, 0x01, 0x00, 0x13};
    std::copy(std::begin(row), std::end(row), bytes.begin() + 1024 + 100);
    const auto image = carve::PageImage::open(bytes, "test");
    ASSERT_TRUE(image);
    const std::string kinds = "itiiiittt";  // the iOS 5 call table
    EXPECT_TRUE(carve::walkRecord(*image, 1024 + 105, 4, kinds, 1024, 2048).has_value());   // flags at its place
    EXPECT_FALSE(carve::walkRecord(*image, 1024 + 104, 4, kinds, 1024, 2048).has_value());  // one column early
    EXPECT_FALSE(carve::walkRecord(*image, 1024 + 2, 4, kinds, 1024, 2048).has_value());    // would begin before the page
    EXPECT_FALSE(carve::walkRecord(*image, 2046, 4, kinds, 1024, 2048).has_value());        // header runs past its end
}

// A leaf's free regions from its header: the gap, then each free block by its
// size. A damaged chain (blocks that overlap, run past the page, or lead back)
// still gives each byte of the page at most once, so a page never costs more
// than its size; a page no b-tree uses is searched whole.
TEST(CarveRecord, FreeRegionsOfALeafAndOfADamagedChain) {
    std::vector<std::uint8_t> bytes(3072, 0);
    bytes[16] = 0x04;  // page size 1024
    auto put16 = [&](std::size_t at, unsigned v) { bytes[at] = static_cast<std::uint8_t>(v >> 8), bytes[at + 1] = static_cast<std::uint8_t>(v); };
    // Page 2: a table leaf with two cells, gap [12, 600), free blocks at 700 (40 bytes) and 800 (10 bytes).
    std::uint8_t* leaf = bytes.data() + 1024;
    leaf[0] = 0x0D;
    put16(1024 + 1, 700), put16(1024 + 3, 2), put16(1024 + 5, 600), put16(1024 + 8, 900), put16(1024 + 10, 950);
    put16(1024 + 700, 800), put16(1024 + 702, 40), put16(1024 + 800, 0), put16(1024 + 802, 10);
    // Page 3: a leaf whose blocks each claim the rest of the page and lead back.
    bytes[2048] = 0x0D;
    put16(2048 + 1, 100), put16(2048 + 5, 20);
    for (unsigned at = 100; at < 1000; at += 4) put16(2048 + at, at + 4 < 1000 ? at + 4 : 100), put16(2048 + at + 2, 0xFFFF);
    const auto image = carve::PageImage::open(bytes, "test");
    ASSERT_TRUE(image);
    const std::map<std::uint64_t, std::uint32_t> none;
    using R = std::tuple<std::uint64_t, std::uint64_t, carve::FoundIn>;
    auto regions = [&](std::uint64_t page) {
        std::vector<R> out;
        const carve::PageCells cells(*image, none, page);
        for (const carve::FreeRegion& r : cells.freeRegions()) out.emplace_back(r.begin, r.end, r.kind);
        return out;
    };
    EXPECT_EQ(regions(1), (std::vector<R>{{1024 + 12, 1024 + 600, carve::FoundIn::unallocated},
                                          {1024 + 700, 1024 + 740, carve::FoundIn::freeblock},
                                          {1024 + 800, 1024 + 810, carve::FoundIn::freeblock}}));
    const carve::PageCells two(*image, none, 1);
    EXPECT_EQ(two.foundIn(1024 + 720), carve::FoundIn::freeblock);
    EXPECT_EQ(two.listedRecords().size(), 2u);
    std::uint64_t total = 0, last = 0;
    for (const auto& [from, to, kind] : regions(2)) {
        EXPECT_GE(from, last);
        total += to - from, last = to;
    }
    EXPECT_LE(total, 1024u);
    // Page 3 marked as a free-list leaf: all of it, found on the free list.
    const std::map<std::uint64_t, std::uint32_t> free{{2, 0}};
    const carve::PageCells freed(*image, free, 2);
    EXPECT_EQ(freed.foundIn(2048 + 500), carve::FoundIn::freelist);
    EXPECT_TRUE(freed.listedRecords().empty());
}

}  // namespace
}  // namespace salvor::test
