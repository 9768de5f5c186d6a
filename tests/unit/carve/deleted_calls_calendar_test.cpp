// The deleted call-history and calendar scans over files built with SQLite in
// every generation's real table layout: deleted rows come back with their
// fields in place (the longer iOS 7.1 tables included), live rows and their
// copies are never posted, and a row's bytes read one column early do not
// make a second, shifted call.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <any>
#include <filesystem>
#include <string>
#include <vector>

#include "carve/carve_schema.h"
#include "carve/deleted_calendar.h"
#include "carve/deleted_calls.h"
#include "core/events.h"
#include "core/helpers.h"
#include "core/scan_context.h"
#include "extract/extractors.h"
#include "support/support.h"

namespace salvor::test {
namespace {

constexpr const char* kCalls = "2b2b0084a1bc3a5ac8c27afdf14afb42c61a19ca";
constexpr const char* kCalendar = "2041457d5fe04d39d0ab481178355df6781e6858";

class DelCallCalendarTest : public ::testing::Test {
protected:
    NotificationCenter nc;
    ScanContext ctx{nc};
    TempDir backup, scratch;
    std::vector<CallPtr> calls;
    std::vector<CalenderPtr> events;
    int progressPosts = 0;

    void SetUp() override {
        nc.addObserver(events::ScanDelCallHistoryInfo, [this](const std::any& o) { calls.push_back(std::any_cast<CallPtr>(o)); });
        nc.addObserver(events::scanDelCalenderInfo, [this](const std::any& o) { events.push_back(std::any_cast<CalenderPtr>(o)); });
        nc.addObserver(events::ScanProgressInfo, [this](const std::any&) { ++progressPosts; });
        ctx.scanScratchDir = scratch.path();
        ctx.stageProgress = 90;
    }

    void useFolder(const std::string& name) {
        ctx.backupPath = backup / name;
        std::filesystem::create_directory(ctx.backupPath);
        calls.clear(), events.clear(), progressPosts = 0;
    }

    void makeDb(const char* stored, int pageSize, const std::string& schema, const std::string& sql) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((ctx.backupPath + "/" + stored).c_str(), &db), SQLITE_OK);
        const std::string all = "PRAGMA page_size=" + std::to_string(pageSize) + "; PRAGMA secure_delete=OFF; BEGIN;\n" +
                                readFile(std::string(SALVOR_SCHEMA_DIR) + "/" + schema) + sql + "COMMIT;";
        char* err = nullptr;
        EXPECT_EQ(sqlite3_exec(db, all.c_str(), nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "");
        sqlite3_free(err);
        sqlite3_close(db);
    }
};

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
TEST_F(DelCallCalendarTest, DeletedCallsOfEveryTableComeBackOnceAndInPlace) {
    for (int generation : {4, 5, 6, 7}) {
        SCOPED_TRACE(generation);
        useFolder("calls" + std::to_string(generation));
        std::string sql;
        const int durations[] = {7, 61, 3700, 40000, 0, 0, 125, 1};
        const int flags[] = {4, 5, 4, 5, 5, 4, 4, 5};
        for (int i = 0; i < 8; ++i)
            sql += call(generation, i + 1, "55501" + std::to_string(i), 1300000000L + 1000L * i, durations[i], flags[i]);
        makeDb(kCalls, 1024, "ios" + std::to_string(generation) + "/call_history.db.sql",
               sql + "DELETE FROM call WHERE ROWID IN (1, 2, 3, 4, 5, 6);\n");
        scanCallHistoryThread(ctx, ctx.backupPath);
        DelCallScan::scanBackup(ctx, ctx.backupPath);
        EXPECT_EQ(progressPosts, 2);  // one from each stage
        ASSERT_EQ(calls.size(), 6u);
        std::sort(calls.begin(), calls.end(), [](const CallPtr& a, const CallPtr& b) { return a->callPhone < b->callPhone; });
        for (int i = 0; i < 6; ++i) {
            const MVCallHistoryNode& c = *calls[static_cast<std::size_t>(i)];
            EXPECT_EQ(textOrEmpty(c.callPhone), "55501" + std::to_string(i));
            EXPECT_EQ(c.callDate, dateText(1300000000L + 1000L * i, 0));
            EXPECT_EQ(c.callTime, durations[i]);
            EXPECT_EQ(c.callType, flags[i] == 5 ? "Outgoing" : "Incoming");
        }
        EXPECT_EQ(calls[4]->callDuration, "Cancelled");
        EXPECT_EQ(calls[5]->callDuration, "Missed");
    }
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
TEST_F(DelCallCalendarTest, DeletedEventsOfEveryTableComeBackInPlace) {
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
        makeDb(kCalendar, 1024, "ios" + std::to_string(generation) + "/Calendar.sqlitedb.sql",
               sql + "DELETE FROM " + (generation == 4 ? "Event" : "CalendarItem") + " WHERE ROWID IN (2, 3, 5, 8);\n");
        scanCalenderThread(ctx, ctx.backupPath);
        DelCalenderScan::scanBackup(ctx, ctx.backupPath);
        EXPECT_EQ(progressPosts, 1);
        std::vector<std::string> got;
        std::sort(events.begin(), events.end(), [](const CalenderPtr& a, const CalenderPtr& b) { return a->calTitle < b->calTitle; });
        for (const CalenderPtr& e : events) {
            got.push_back(textOrEmpty(e->calTitle) + "|" + textOrEmpty(e->calNote) + "|" + textOrEmpty(e->location));
            const long start = 400000000L + 3600L * (textOrEmpty(e->calTitle).back() - '0');
            EXPECT_EQ(e->startDate, dateText(start, 1));
            EXPECT_EQ(e->endDate, dateText(start + 1800, 1));
        }
        const std::string room = generation == 4 ? "Room " : "";
        auto want = [&](int i, const std::string& note) {
            return "Event " + std::to_string(i) + "|" + note + "|" + (room.empty() ? "" : room + std::to_string(i));
        };
        EXPECT_EQ(got, (std::vector<std::string>{want(2, ""), want(3, "Bring papers 3"), want(5, "Bring papers 5"), want(8, "")}));
    }
}

// The column layout comes from the file's own schema text; table constraints
// and quoted names are read as such.
TEST(CarveSchema, ColumnKindsFollowTheDeclaredTypes) {
    EXPECT_EQ(carve::columnKindsOf("CREATE TABLE t (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, \"a b\" TEXT NOT NULL, "
                                   "c BLOB, d REAL DEFAULT (0.5), e, f VARCHAR(20), g NUMERIC, UNIQUE (c, d))"),
              std::optional<std::string>("itbrbtn"));
    EXPECT_EQ(carve::columnKindsOf("CREATE TABLE t"), std::nullopt);
}

// Bytes that only look like the anchor, or a row whose header was cut short,
// at the page's edges: the walk answers nothing and never reads outside.
TEST(CarveSchema, WalkRefusesRowsThatDoNotFitOrLeaveThePage) {
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

}  // namespace
}  // namespace salvor::test
