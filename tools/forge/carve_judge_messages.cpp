#include <map>
#include <set>
#include <tuple>

#include "forge/carve_judge.h"

namespace salvor::forge {

namespace {

using Json = nlohmann::json;
using Key = std::tuple<std::string, std::string, std::string>;  // address, text, date

std::string text(const Json& v) { return v.is_string() ? v.get<std::string>() : std::string(); }

// The address as the result store files it: too short to tell anyone apart is "Unknown".
std::string storedAddress(const std::string& phone) {
    std::string compact;
    for (char c : phone)
        if (c != ' ') compact += c;
    return compact.size() < 3 ? "Unknown" : phone;
}

}  // namespace

CarveTally judgeMessages(const Json& truth, const Json& scan, const JudgeNote& note) {
    CarveTally t;
    std::set<std::string> liveTexts;
    for (const Json& row : truth["messages"]["live"]) liveTexts.insert(text(row["messageContent"]));
    std::multimap<std::string, const Json*> deletedByText;
    for (const Json& row : truth["messages"]["deleted"]) {
        ++t.deleted;
        if (row.value("complete", false)) ++t.recoverable;
        deletedByText.insert({text(row["text"]), &row});
    }
    std::set<Key> staleKeys;
    for (const Json& row : truth["messages"]["stale"])
        staleKeys.insert({storedAddress(text(row["address"])), text(row["text"]), text(row.value("dateText", Json()))});

    // What the phone itself keeps as recently deleted is listed as deleted
    // too, but is no carved row: it is neither counted nor judged here.
    std::set<Key> kept;
    for (const Json& row : truth["messages"].value("recentlyDeleted", Json::array()))
        kept.insert({text(row["messagePhone"]), text(row["messageContent"]), text(row["messageDate"])});

    std::set<const Json*> found;
    for (const Json& conversation : scan["conversations"]) {
        // A deleted conversation is all carved; a live one may hold deleted
        // messages of its chat among the live ones.
        const bool deletedConversation = conversation.value("bdeleted", 0) == 1;
        for (const Json& m : conversation["MessageNodeArray"]) {
            if (!deletedConversation && m.value("bDeleted", 0) != 1) continue;
            const std::string address = text(m["messagePhone"]), content = text(m["messageContent"]),
                              date = text(m["messageDate"]);
            if (kept.count({address, content, date})) continue;
            ++t.reported;
            const Json* exact = nullptr;
            bool sameText = false, lost = false;
            for (auto [it, end] = deletedByText.equal_range(content); it != end; ++it) {
                sameText = true;
                const Json& row = *it->second;
                // A row whose address is gone from the file can at best be listed as "Unknown".
                const bool gone = !row.value("addressRecoverable", true) && address == "Unknown";
                const bool a = gone || storedAddress(text(row["address"])) == address;
                if (a && text(row["dateText"]) == date && (!exact || !found.count(it->second))) exact = it->second, lost = gone;
            }
            const char* verdict = nullptr;
            if (exact && found.insert(exact).second) {
                ++t.matched;
                if (lost) ++t.lostSecondKey;
                if (exact->value("complete", false)) ++t.recoveredRows;
            } else if (exact) {
                ++t.duplicates, verdict = "duplicate";
            } else if (staleKeys.count({address, content, date})) {
                ++t.stale;
            } else if (sameText) {
                ++t.wrongKey, verdict = "other address or date";
            } else if (liveTexts.count(content)) {
                ++t.liveAsDeleted, verdict = "live";
            } else {
                ++t.phantoms, verdict = "phantom";
            }
            if (note && verdict) note(std::string(verdict) + ": \"" + content + "\" from \"" + address + "\" at " + date);
        }
    }
    if (note)
        for (const auto& [content, row] : deletedByText)
            if (row->value("complete", false) && !found.count(row))
                note("missed: row " + std::to_string(row->value("ROWID", 0)) + " \"" + content + "\" from \"" +
                     text((*row)["address"]) + "\"");
    return t;
}

}  // namespace salvor::forge
