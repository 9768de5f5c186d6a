// Calendar: one record per calendar item (or per event of the oldest store).
#include <memory>

#include "extract/commit_db.h"
#include "extract/extract_util.h"
#include "extract/extractors.h"
#include "platform/log.h"

namespace salvor {

using namespace extract_detail;

namespace {
constexpr const char* kCalendar = "2041457d5fe04d39d0ab481178355df6781e6858";
const sqlite::ReadPlan kIOS6{
    {"summary,location_id,description,start_date,end_date,start_tz,all_day,calendar_id", "CalendarItem", "",
     {"CalendarItem"}},
    {}};
// A damaged location table costs the locations; a damaged calendar table the
// filter on task-only calendars, so the items are still read.
const sqlite::ReadPlan kOtherFirst{
    {"summary,location.title as location,description,start_date,end_date,start_tz,all_day,calendar_id,"
     "supported_entity_types",
     "calendaritem left join location on calendaritem.[location_id]=location.rowid left join Calendar on "
     "calendaritem.[calendar_id]=calendar.rowid",
     "supported_entity_types !=8",
     {"calendaritem", "location", "Calendar"}},
    {{"summary,NULL as location,description,start_date,end_date,start_tz,all_day,calendar_id,supported_entity_types",
      "calendaritem left join Calendar on calendaritem.[calendar_id]=calendar.rowid",
      "supported_entity_types !=8",
      {"calendaritem", "Calendar"}},
     {"summary,NULL as location,description,start_date,end_date,start_tz,all_day,calendar_id,NULL",
      "calendaritem",
      "",
      {"calendaritem"}}}};
const sqlite::ReadPlan kLocations{{"ROWID,title", "Location", "", {"Location"}}, {}};
const sqlite::ReadPlan kOtherSecond{
    {"summary,location,description,start_date,end_date,start_tz,all_day,calendar_id", "event", "", {"event"}}, {}};
}  // namespace

void scanCalendar(ScanContext& ctx, const std::string& backupPath) {
    if (backupPath.empty()) return;
    const std::string stored = storedPath(backupPath, kCalendar);
    if (!fileExists(stored)) {
        log::line("CalenderDB is not exist");
        return;
    }
    ScratchScope scratch(ctx);
    const auto copy = preparedCopy(ctx, stored);
    if (!copy) return;
    sqlite::Database db(*copy, ctx.stop, "Calendar.sqlitedb");
    if (!db.ok()) return;

    std::unique_ptr<sqlite::Table> table;
    if (ctx.currentNodeIsiOS6Version) {
        table = std::make_unique<sqlite::Table>(db, kIOS6);
    } else {
        table = std::make_unique<sqlite::Table>(db, kOtherFirst);
        if (table->rows() == 0) table = std::make_unique<sqlite::Table>(db, kOtherSecond);
    }
    for (int r = 0; r < table->rows() && !ctx.stopRequested(); ++r) {
        auto event = std::make_shared<MVCalendarNode>();
        setText(event->calTitle, table->at(r, 0));
        setText(event->location, table->at(r, 1));
        setText(event->calNote, table->at(r, 2));
        setDate(event->startDate, table->at(r, 3), 1);
        setDate(event->endDate, table->at(r, 4), 1);
        ctx.sink.calendarEvent(event);
    }
}

std::map<std::string, std::string> readCalendarLocationTitles(ScanContext& ctx, const std::string& backupPath) {
    std::map<std::string, std::string> titles;
    if (backupPath.empty()) return titles;
    const std::string stored = storedPath(backupPath, kCalendar);
    if (!fileExists(stored)) return titles;
    ScratchScope scratch(ctx);
    const auto copy = preparedCopy(ctx, stored);
    if (!copy) return titles;
    sqlite::Database db(*copy, ctx.stop, "Calendar.sqlitedb");
    if (!db.ok()) return titles;
    const sqlite::Table table(db, kLocations);
    for (int r = 0; r < table.rows() && !ctx.stopRequested(); ++r) {
        const char* id = table.at(r, 0);
        const char* title = table.at(r, 1);
        if (sqlite::hasText(id) && sqlite::hasText(title)) titles.emplace(std::to_string(sqlite::parseInteger(id)), title);
    }
    return titles;
}

}  // namespace salvor
