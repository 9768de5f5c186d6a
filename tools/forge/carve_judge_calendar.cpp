// Deleted calendar events: a listed event is a deleted row when its title and
// start are the row's; its note, end and (where the layout keeps it in the
// row) location are the second key.
#include <map>
#include <set>

#include "forge/carve_judge.h"

namespace salvor::forge {

using Json = nlohmann::json;

namespace {
std::string text(const Json& v) { return v.is_string() ? v.get<std::string>() : std::string(); }
}  // namespace

CarveTally judgeCalendar(const Json& truth, const Json& events, const JudgeNote& note) {
    CarveTally t;
    std::set<std::pair<std::string, std::string>> live;
    for (const Json& row : truth["calendar"]["live"]) live.insert({text(row["calTitle"]), text(row["startDate"])});
    std::multimap<std::pair<std::string, std::string>, const Json*> deleted;
    for (const Json& row : truth["calendar"]["deleted"]) {
        ++t.deleted;
        if (row.value("recoverable", false)) ++t.recoverable;
        deleted.insert({{text(row["summary"]), text(row["startDate"])}, &row});
    }
    std::set<std::pair<std::string, std::string>> stale;  // older versions of edited events
    for (const Json& row : truth["calendar"].value("stale", Json::array()))
        stale.insert({text(row["summary"]), text(row["startDate"])});
    std::set<const Json*> found;
    for (const Json& e : events) {
        if (e.value("bDeleted", 0) != 1) continue;
        ++t.reported;
        const std::pair<std::string, std::string> key{text(e["calTitle"]), text(e["startDate"])};
        if (stale.count(key) && !deleted.count(key)) {
            ++t.stale;
            continue;
        }
        const std::string location = text(e["location"]);
        const Json* exact = nullptr;
        bool sameKey = false;
        for (auto [it, end] = deleted.equal_range(key); it != end; ++it) {
            sameKey = true;
            const Json& row = *it->second;
            const bool second = text(row["description"]) == text(e["calNote"]) && text(row["endDate"]) == text(e["endDate"]) &&
                                (location.empty() || location == text(row["location"]));
            if (second && (!exact || !found.count(it->second))) exact = it->second;
        }
        if (exact && found.insert(exact).second) {
            ++t.matched;
            if (exact->value("recoverable", false)) ++t.recoveredRows;
            continue;
        }
        const char* verdict = exact ? "duplicate" : sameKey ? "other note or end" : live.count(key) ? "live" : "phantom";
        ++(exact ? t.duplicates : sameKey ? t.wrongKey : live.count(key) ? t.liveAsDeleted : t.phantoms);
        if (note)
            note(std::string(verdict) + ": event \"" + key.first + "\" " + key.second + " note \"" + text(e["calNote"]) +
                 "\" end " + text(e["endDate"]));
    }
    if (note)
        for (const Json& row : truth["calendar"]["deleted"])
            if (row.value("recoverable", false) && !found.count(&row))
                note("missed: event " + std::to_string(row["ROWID"].get<long>()) + " \"" + text(row["summary"]) + "\" " +
                     text(row["startDate"]));
    return t;
}

}  // namespace salvor::forge
