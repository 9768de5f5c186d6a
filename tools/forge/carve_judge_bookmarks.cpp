#include <set>
#include <string>
#include <utility>

#include "forge/carve_judge.h"

namespace salvor::forge {

using Json = nlohmann::json;

namespace {
std::string text(const Json& v) { return v.is_string() ? v.get<std::string>() : std::string(); }
}  // namespace

CarveTally judgeBookmarks(const Json& truth, const Json& bookmarks, const JudgeNote& note) {
    CarveTally t;
    const Json& rows = truth["bookmarks"]["deleted"];
    std::set<std::pair<std::string, std::string>> live;
    for (const Json& row : truth["bookmarks"]["live"]) live.insert({text(row["bookMarkTitle"]), text(row["bookMarkURL"])});
    for (const Json& row : rows) {
        ++t.deleted;
        if (row.value("recoverable", false)) ++t.recoverable;
    }
    std::set<std::pair<std::string, std::string>> stale;  // older versions of edited bookmarks
    for (const Json& row : truth["bookmarks"].value("stale", Json::array()))
        stale.insert({text(row["title"]), text(row["url"])});
    std::set<const Json*> found;
    for (const Json& c : bookmarks) {
        if (c.value("bDeleted", 0) != 1) continue;
        ++t.reported;
        const std::string title = text(c["bookMarkTitle"]), url = text(c["bookMarkURL"]);
        if (stale.count({title, url})) {
            ++t.stale;
            continue;
        }
        // A history entry whose visits did not survive with it is listed
        // without a title: true, but short of the whole row (as a note
        // without its body).
        const bool untitled = title.empty();
        const Json* exact = nullptr;
        bool sameTitle = false;
        for (const Json& row : rows) {
            if (!untitled && text(row["title"]) != title) continue;
            sameTitle = sameTitle || !untitled;
            if (text(row["url"]) == url && (!exact || found.count(exact))) exact = &row;
        }
        if (exact && found.insert(exact).second) {
            ++t.matched;
            if (exact->value("recoverable", false) && (!untitled || text((*exact)["title"]).empty())) ++t.recoveredRows;
            else if (untitled && note) note("incomplete: \"\" \"" + url + "\"");
            continue;
        }
        const bool isLive = live.count({title, url}) != 0;
        const char* verdict = exact ? "duplicate" : sameTitle ? "other address" : isLive ? "live" : "phantom";
        ++(exact ? t.duplicates : sameTitle ? t.wrongKey : isLive ? t.liveAsDeleted : t.phantoms);
        if (note) note(std::string(verdict) + ": \"" + title + "\" \"" + url + "\"");
    }
    if (note)
        for (const Json& row : rows)
            if (row.value("recoverable", false) && !found.count(&row))
                note("missed: bookmark " + std::to_string(row["id"].get<long>()) + " \"" + text(row["title"]) + "\"");
    return t;
}

}  // namespace salvor::forge
