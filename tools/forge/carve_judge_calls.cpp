// Deleted calls: a listed call is a deleted row when its number and date are
// the row's; its duration and direction are the second key.
#include <map>
#include <set>

#include "forge/carve_judge.h"

namespace salvor::forge {

using Json = nlohmann::json;

namespace {
std::string text(const Json& v) { return v.is_string() ? v.get<std::string>() : std::string(); }
}  // namespace

CarveTally judgeCalls(const Json& truth, const Json& calls, const JudgeNote& note) {
    CarveTally t;
    std::set<std::pair<std::string, std::string>> live;
    for (const Json& row : truth["calls"]["live"]) live.insert({text(row["callPhone"]), text(row["callDate"])});
    std::multimap<std::pair<std::string, std::string>, const Json*> deleted;
    for (const Json& row : truth["calls"]["deleted"]) {
        ++t.deleted;
        if (row.value("recoverable", false)) ++t.recoverable;
        deleted.insert({{text(row["address"]), text(row["dateText"])}, &row});
    }
    std::set<std::pair<std::string, std::string>> stale;  // older versions of edited calls
    for (const Json& row : truth["calls"].value("stale", Json::array()))
        stale.insert({text(row["address"]), text(row["dateText"])});
    std::set<const Json*> found;
    for (const Json& c : calls) {
        if (c.value("bDeleted", 0) != 1) continue;
        ++t.reported;
        const std::pair<std::string, std::string> key{text(c["callPhone"]), text(c["callDate"])};
        if (stale.count(key) && !deleted.count(key)) {
            ++t.stale;
            continue;
        }
        const std::string type = text(c["callType"]);
        const long seconds = c.value("callTime", -1L);
        const Json* exact = nullptr;
        bool sameKey = false;
        for (auto [it, end] = deleted.equal_range(key); it != end; ++it) {
            sameKey = true;
            const Json& row = *it->second;
            const bool second = row["duration"].get<long>() == seconds &&
                                (row["flags"].get<int>() == 5 ? "Outgoing" : "Incoming") == type;
            if (second && (!exact || !found.count(it->second))) exact = it->second;
        }
        if (exact && found.insert(exact).second) {
            ++t.matched;
            if (exact->value("recoverable", false)) ++t.recoveredRows;
            continue;
        }
        const char* verdict = exact ? "duplicate" : sameKey ? "other duration" : live.count(key) ? "live" : "phantom";
        ++(exact ? t.duplicates : sameKey ? t.wrongKey : live.count(key) ? t.liveAsDeleted : t.phantoms);
        if (note)
            note(std::string(verdict) + ": call \"" + key.first + "\" " + key.second + " " + type + " " +
                 std::to_string(seconds) + "s");
    }
    if (note)
        for (const Json& row : truth["calls"]["deleted"])
            if (row.value("recoverable", false) && !found.count(&row))
                note("missed: call " + std::to_string(row["ROWID"].get<long>()) + " \"" + text(row["address"]) + "\" " +
                     text(row["dateText"]) + " " + std::to_string(row["duration"].get<long>()) + "s");
    return t;
}

}  // namespace salvor::forge
