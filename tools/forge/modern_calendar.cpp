#include "forge/modern_calendar.h"

#include <optional>
#include <stdexcept>

#include "forge/modern_deletions.h"

namespace salvor::forge::modern {

namespace {

using db::V;

// The CREATE TABLE statement of `table` inside a layout text.
std::pair<std::size_t, std::size_t> statementOf(const std::string& text, const std::string& table) {
    const std::size_t at = text.find("CREATE TABLE " + table + " (");
    const std::size_t end = at == std::string::npos ? at : text.find(");", at);
    if (end == std::string::npos) throw std::runtime_error("forge: no table " + table + " in the calendar layout");
    return {at, end + 2 - at};
}

// The iOS 11.2 layout, its item and participant tables as iOS 14.3 has them.
std::string layoutFor(int iosMajor) {
    std::string text = db::schemaText("modern/ios11/Calendar.sqlitedb.sql");
    if (iosMajor < 15) return text;
    const std::string& newer = db::schemaText("modern/ios14/Calendar.sqlitedb.sql");
    for (const char* table : {"CalendarItem", "Participant"}) {
        const auto [at, length] = statementOf(text, table);
        const auto [nat, nlength] = statementOf(newer, table);
        text.replace(at, length, newer.substr(nat, nlength));
    }
    return text;
}

struct Event {
    std::string summary;
    std::optional<std::string> description;
    int location = 0;  // Location row, 0 for none
    double start = 0, end = 0;
    bool allDay = false;
    int calendar = 1;
};

}  // namespace

std::vector<PlantedFile> writeModernCalendar(const std::string& outDir, int iosMajor, std::uint64_t seed,
                                             nlohmann::json& truth) {
    checkVersion(iosMajor);
    Rng rng(seed ^ 0xCA1E5DA5ULL);
    const int year = iosMajor == 12 ? 2019 : iosMajor == 15 ? 2022 : 2024;
    const std::vector<std::pair<std::string, std::string>> places = {{"Dr. Patel's surgery", "14 Mill Lane, Oxford"},
                                                                     {"Café Central", "Herrengasse 14, 1010 Wien"},
                                                                     {"Conference room B", ""}};
    std::vector<Event> events;
    auto at = [&](int month, int day, int hour, int minute) { return seconds2001(year, month, day, hour, minute); };
    events.push_back({"Dentist", "Bring the insurance card", 1, at(3, 4, 9, 30), at(3, 4, 10, 15), false, 1});
    events.push_back({"Lunch with Ann", std::nullopt, 2, at(3, 7, 12, 0) + 0.5, at(3, 7, 13, 30), false, 1});
    events.push_back({"Team review", "Agenda:\n1. Numbers\n2. Plans", 3, at(4, 1, 15, 0), at(4, 1, 16, 0), false, 2});
    events.push_back({"Mum's birthday 🎂", std::nullopt, 0, at(5, 12, 0, 0), at(5, 13, 0, 0), true, 1});
    events.push_back({"Flight to Lisbon", "TP 1351, seat 14C", 0, at(6, 20, 6, 45), at(6, 20, 9, 5), false, 1});
    // An event before 2001: its date is negative.
    events.push_back(
        {"School reunion", std::nullopt, 0, seconds2001(1999, 12, 31, 20, 0), seconds2001(2000, 1, 1, 2, 0), false, 1});
    // An item of a calendar that holds only reminders: not an event.
    const std::string reminder = "Buy stamps";

    db::DbFile db(outDir + "/Calendar.sqlitedb.building", false, 4096);
    db.exec(layoutFor(iosMajor));
    db.begin();
    insertNamed(db, "Store", {{"ROWID", 1}, {"name", "Default"}, {"type", 0}, {"disabled", 0}});
    insertNamed(
        db, "Calendar",
        {{"ROWID", 1}, {"store_id", 1}, {"title", "Home"}, {"supported_entity_types", 4}, {"UUID", db::uuid(rng)}});
    insertNamed(
        db, "Calendar",
        {{"ROWID", 2}, {"store_id", 1}, {"title", "Work"}, {"supported_entity_types", 4}, {"UUID", db::uuid(rng)}});
    insertNamed(db, "Calendar",
                {{"ROWID", 3},
                 {"store_id", 1},
                 {"title", "Reminders"},
                 {"supported_entity_types", 8},
                 {"UUID", db::uuid(rng)}});
    std::int64_t rowid = 0;
    auto item = [&](const std::string& summary, const std::optional<std::string>& description, int location,
                    double start, double end, bool allDay, int calendar, int entityType) {
        ++rowid;
        if (location > 0)
            insertNamed(db, "Location",
                        {{"ROWID", location},
                         {"title", places[static_cast<std::size_t>(location - 1)].first},
                         {"address", places[static_cast<std::size_t>(location - 1)].second},
                         {"item_owner_id", rowid}});
        insertNamed(db, "CalendarItem",
                    {{"ROWID", rowid},
                     {"summary", summary},
                     {"location_id", location > 0 ? V(location) : V(0)},
                     {"description", V::opt(description)},
                     {"start_date", start},
                     {"start_tz", allDay ? "_float" : "Europe/London"},
                     {"end_date", end},
                     {"end_tz", allDay ? "_float" : "Europe/London"},
                     {"all_day", allDay ? 1 : 0},
                     {"calendar_id", calendar},
                     {"entity_type", entityType},
                     {"UUID", db::uuid(rng)},
                     {"unique_identifier", db::uuid(rng)},
                     {"creation_date", start - 86400.0 * 7},
                     {"last_modified", start - 86400.0},
                     {"hidden", 0},
                     {"has_recurrences", 0}});
    };
    // Events deleted for good, keys past the live ones.
    const std::int64_t gonePast = 100;
    Rng goneRng(seed ^ 0xDE1E7EDULL);  // apart, so that the live rows stay as they were
    DeletionPlan deletionPlan;
    deletionPlan.seed = seed;
    deletionPlan.insert = [&](int index, bool padded) {
        const std::int64_t id = gonePast + index;
        const std::string summary = "Dinner at the " + plantedName(index) + "s'";
        const std::string description =
            padded ? "Bring the wine and the cheese board; parking behind the church, ring twice, the bell is "
                     "broken, and the dog is friendly but loud."
                   : "Bring wine";
        const double start = at(7 + index / 28, 1 + index % 28, 19, 30), end = start + 3 * 3600.0;
        insertNamed(db, "CalendarItem",
                    {{"ROWID", id},
                     {"summary", summary},
                     {"location_id", 0},
                     {"description", description},
                     {"start_date", start},
                     {"start_tz", "Europe/London"},
                     {"end_date", end},
                     {"end_tz", "Europe/London"},
                     {"all_day", 0},
                     {"calendar_id", 1},
                     {"entity_type", 2},
                     {"UUID", db::uuid(goneRng)},
                     {"unique_identifier", db::uuid(goneRng)},
                     {"creation_date", start - 86400.0 * 7},
                     {"last_modified", start - 86400.0},
                     {"hidden", 0},
                     {"has_recurrences", 0}});
        DoomedRow row;
        row.row = {{"ROWID", id},
                   {"summary", summary},
                   {"description", description},
                   {"location", ""},
                   {"startDate", db::dateText(static_cast<std::int64_t>(start), 1)},
                   {"endDate", db::dateText(static_cast<std::int64_t>(end), 1)}};
        row.marks = {summary};
        return row;
    };
    deletionPlan.erase = [&](int index) {
        db.exec("DELETE FROM CalendarItem WHERE ROWID = " + std::to_string(gonePast + index));
    };
    // A typo put right: the file holds the first title.
    deletionPlan.draft = [&] { db.exec("UPDATE CalendarItem SET summary = 'Dentsit' WHERE summary = 'Dentist'"); };
    deletionPlan.settle = [&] { db.exec("UPDATE CalendarItem SET summary = 'Dentist' WHERE summary = 'Dentsit'"); };
    deletionPlan.stale = {{"summary", "Dentsit"},
                          {"startDate", db::dateText(static_cast<std::int64_t>(events[0].start), 1)}};
    Deletions deletions(db, deletionPlan);

    for (std::size_t i = 0; i < events.size(); ++i) {
        const Event& e = events[i];
        if (i + 1 == events.size()) {  // the last event only in the log
            deletions.inFile();
            logFromHere(db);
        }
        item(e.summary, e.description, e.location, e.start, e.end, e.allDay, e.calendar, 2);
        if (i == 2) item(reminder, std::nullopt, 0, at(4, 2, 9, 0), at(4, 2, 9, 0), false, 3, 3);
    }
    deletions.inLog();
    db.commit();
    std::vector<PlantedFile> files = finishWithLogInto(db, outDir + "/Calendar.sqlitedb.building", outDir,
                                                       "Calendar.sqlitedb", "HomeDomain",
                                                       "Library/Calendar/Calendar.sqlitedb");
    const nlohmann::json gone = deletions.judgedAt(outDir + "/Calendar.sqlitedb");

    nlohmann::json live = nlohmann::json::array();
    for (const Event& e : events)
        live.push_back({{"calTitle", e.summary},
                        {"calNote", e.description.value_or("")},
                        {"location", e.location > 0 ? places[static_cast<std::size_t>(e.location - 1)].first : ""},
                        {"startDate", db::dateText(static_cast<std::int64_t>(e.start), 1)},
                        {"endDate", db::dateText(static_cast<std::int64_t>(e.end), 1)},
                        {"bDeleted", 0},
                        {"bSelected", 0}});
    truth = {{"live", std::move(live)}, {"deleted", gone}, {"stale", deletions.stale()}};
    return files;
}

}  // namespace salvor::forge::modern
