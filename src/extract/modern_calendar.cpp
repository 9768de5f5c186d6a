// Calendar events of a modern backup: one record per calendar item, its
// location's title read through the Location table, dates in seconds since
// 2001 (stored as reals).
#include "extract/modern_calendar.h"

#include <memory>

#include "extract/carved_copy.h"
#include "extract/commit_db.h"
#include "extract/extract_util.h"
#include "extract/modern_lookup.h"
#include "platform/log.h"

namespace salvor {

using namespace extract_detail;

namespace {
constexpr modern::Place kCalendar{"HomeDomain", "Library/Calendar/Calendar.sqlitedb",
                                  "2041457d5fe04d39d0ab481178355df6781e6858"};
// A calendar that holds only tasks (reminders of the systems that kept them
// in this store) has no events.
constexpr const char* kTasksOnly = "8";
}  // namespace

void scanModernCalendar(ScanContext& ctx, const std::string& backupPath) {
    if (backupPath.empty()) return;
    const modern::Found database = modern::findDatabase(ctx, {kCalendar});
    if (database.stored.empty()) {
        log::line("CalenderDB is not exist");
        return;
    }
    ScratchScope scratch(ctx);
    const auto copy = modern::preparedCopy(ctx, database);
    if (!copy) return;
    // With `carved`, the database is the private one of carved rows: only the
    // deleted events the carving found are posted, each with where it was.
    const auto read = [&](const std::string& path, const modern::CarvedCopy* carved) {
        sqlite::Database db(path, ctx.stop, "Calendar.sqlitedb");
        if (!db.ok()) return;

        const modern::TableColumns items(db, "CalendarItem");
        const modern::TableColumns location(db, "Location");
        const modern::TableColumns calendar(db, "Calendar");
        const std::string columns = items.select({"summary", "description", "start_date", "end_date"});
        const bool withLocation = items.has("location_id") && location.has("title");
        const bool withCalendar = items.has("calendar_id") && calendar.has("supported_entity_types");

        std::string from = "CalendarItem", where;
        std::vector<std::string> tables{"CalendarItem"};
        if (withLocation) {
            from += " left join Location on CalendarItem.location_id = Location.ROWID";
            tables.push_back("Location");
        }
        if (withCalendar) {
            from += " left join Calendar on CalendarItem.calendar_id = Calendar.ROWID";
            where =
                std::string("Calendar.supported_entity_types is null or Calendar.supported_entity_types != ") + kTasksOnly;
            tables.push_back("Calendar");
        }
        const std::string withTitle = columns + ", " + (withLocation ? "Location.title" : "NULL") + ", CalendarItem.ROWID";
        // A damaged Location or Calendar table costs its part, not the events.
        sqlite::ReadPlan plan{{withTitle, from, where, tables}, {}};
        if (withLocation || withCalendar)
            plan.fallbacks.push_back({columns + ", NULL, CalendarItem.ROWID", "CalendarItem", "", {"CalendarItem"}});

        sqlite::Reader rows(db, plan);
        while (!ctx.stopRequested() && rows.step()) {
            const modern::CarvedOrigin* origin = nullptr;
            if (carved) {
                const char* id = rows.text(5);
                origin = sqlite::hasText(id) ? carved->originOf("CalendarItem", sqlite::parseInteger(id)) : nullptr;
                if (!origin) continue;
            }
            auto event = std::make_shared<MVCalendarNode>();
            setText(event->calTitle, rows.text(0));
            setText(event->calNote, rows.text(1));
            setDate(event->startDate, rows.text(2), 1);
            setDate(event->endDate, rows.text(3), 1);
            setText(event->location, rows.text(4));
            if (origin) {
                modern::markCarved(*event, *origin);
                ctx.sink.deletedCalendarEvent(event);
            } else {
                ctx.sink.calendarEvent(event);
            }
        }
    };
    read(*copy, nullptr);
    modern::CarvePlan plan;
    plan.mainTables = {"CalendarItem"};
    plan.joinTables = {"Location", "Calendar"};
    plan.identity["CalendarItem"] = {"unique_identifier", "UUID"};
    if (const auto carved = modern::carvedCopy(ctx, database, *copy, plan, "Calendar.sqlitedb")) read(carved->path, &*carved);
}

}  // namespace salvor
