#include "forge/carve_judge.h"

#include <map>
#include <set>
#include <vector>

namespace salvor::forge {

using Json = nlohmann::json;

void CarveTally::add(const CarveTally& o) {
    deleted += o.deleted;
    recoverable += o.recoverable;
    reported += o.reported;
    matched += o.matched;
    wrongKey += o.wrongKey;
    liveAsDeleted += o.liveAsDeleted;
    duplicates += o.duplicates;
    phantoms += o.phantoms;
    recoveredRows += o.recoveredRows;
    stale += o.stale;
    lostSecondKey += o.lostSecondKey;
}

namespace {

std::string text(const Json& v) { return v.is_string() ? v.get<std::string>() : std::string(); }

// The name as the live reader builds it: First Middle Last, blanks skipped.
std::string personName(const Json& row) {
    std::string name;
    for (const char* key : {"First", "Middle", "Last"}) {
        const std::string part = row.contains(key) ? text(row[key]) : std::string();
        if (part.empty()) continue;
        if (!name.empty()) name += ' ';
        name += part;
    }
    return name;
}

// Whether a listed text of values joined by spaces (" a b c") is made of
// values in `candidates`, each used once; a value may hold spaces itself.
bool madeOf(std::string listed, const std::vector<std::string>& candidates) {
    if (!listed.empty() && listed.front() == ' ') listed.erase(0, 1);
    std::multiset<std::string> unused(candidates.begin(), candidates.end());
    while (!listed.empty()) {
        auto best = unused.end();
        for (auto it = unused.begin(); it != unused.end(); ++it)
            if (listed.compare(0, it->size(), *it) == 0 && (listed.size() == it->size() || listed[it->size()] == ' ') &&
                (best == unused.end() || it->size() > best->size()))
                best = it;
        if (best == unused.end()) return false;
        listed.erase(0, std::min(listed.size(), best->size() + 1));
        unused.erase(best);
    }
    return true;
}

// How a listed phone text (" a b c") fits the row's numbers: `stranger` when
// it holds a number not the row's; `whole` when it holds every number whose
// bytes were still in the files (a number whose row was overwritten cannot
// come back, so its absence is not held against it); else `part`: true but
// short, like a note listed without its body.
enum class Fit { stranger, part, whole };
Fit phonesOfRow(const Json& row, std::string listed) {
    std::vector<std::string> all;
    std::set<std::string> present;
    for (const Json& v : row["multiValues"]) {
        if (v["property"] != 3) continue;
        all.push_back(text(v["value"]));
        if (v.value("recoverable", false)) present.insert(text(v["value"]));
    }
    if (!listed.empty() && listed.front() == ' ') listed.erase(0, 1);
    std::set<std::string> used;
    while (!listed.empty()) {
        // The longest unused number the rest of the text begins with.
        const std::string* best = nullptr;
        for (const std::string& p : all)
            if (!used.count(p) && listed.compare(0, p.size(), p) == 0 &&
                (listed.size() == p.size() || listed[p.size()] == ' ') && (!best || p.size() > best->size()))
                best = &p;
        if (!best) return Fit::stranger;
        used.insert(*best);
        listed.erase(0, std::min(listed.size(), best->size() + 1));
    }
    for (const std::string& p : present)
        if (!used.count(p)) return Fit::part;
    return Fit::whole;
}

}  // namespace

CarveTally judgeContacts(const Json& truth, const Json& contacts, const JudgeNote& note) {
    CarveTally t;
    std::set<std::string> liveNames;
    for (const Json& row : truth["contacts"]["live"]) liveNames.insert(text(row["contactName"]));
    // Values listed apart from their person: those of deleted persons (listed
    // without a name when the person's row id is gone) and the deleted values
    // of live persons (listed under that person's name).
    std::vector<std::string> deletedPhones, deletedOther;
    std::map<std::string, std::vector<std::string>> liveDeleted;  // live name -> its deleted values
    std::map<long, std::string> liveById;
    for (const Json& row : truth["contacts"]["live"])
        if (row.contains("ROWID")) liveById[row["ROWID"].get<long>()] = text(row["contactName"]);
    auto file = [&](const Json& v) { (v["property"] == 3 ? deletedPhones : deletedOther).push_back(text(v["value"])); };
    for (const Json& row : truth["contacts"]["deleted"])
        for (const Json& v : row["multiValues"]) file(v);
    for (const Json& v : truth["contacts"].value("deletedValues", Json::array())) {
        file(v);
        const auto owner = liveById.find(v["record_id"].get<long>());
        if (owner != liveById.end()) liveDeleted[owner->second].push_back(text(v["value"]));
    }
    std::multimap<std::string, const Json*> deletedByName;
    for (const Json& row : truth["contacts"]["deleted"]) {
        ++t.deleted;
        if (row.value("recoverable", false)) ++t.recoverable;
        deletedByName.insert({personName(row), &row});
    }
    // The older versions of edited people, by name.
    std::set<std::string> staleNames;
    for (const Json& row : truth["contacts"].value("stale", Json::array())) staleNames.insert(personName(row));
    std::set<const Json*> found;
    for (const Json& c : contacts) {
        if (c.value("bDeleted", 0) != 1) continue;
        ++t.reported;
        const std::string name = text(c["contactName"]), phone = text(c["contactPhone"]);
        if (staleNames.count(name) && !deletedByName.count(name)) {
            ++t.stale;
            continue;
        }
        if (name == "number without a name" || (liveDeleted.count(name) && !deletedByName.count(name))) {
            // Right when every value listed is a deleted one (of a live
            // person: one of that person's); none of a row's recall.
            const std::string email = text(c["contactEmail"]);
            const auto& phones = name == "number without a name" ? deletedPhones : liveDeleted[name];
            const auto& others = name == "number without a name" ? deletedOther : liveDeleted[name];
            if ((!phone.empty() || !email.empty()) && madeOf(phone, phones) && madeOf(email, others)) {
                ++t.matched;
                continue;
            }
            ++(name == "number without a name" ? t.phantoms : t.liveAsDeleted);
            if (note) note("values of nobody deleted: \"" + name + "\" phone \"" + phone + "\" e-mail \"" + email + "\"");
            continue;
        }
        // The row of that name not yet found whose numbers fit best.
        const Json* exact = nullptr;
        int bestScore = -1;
        bool wholeFit = false;
        bool sameName = false;
        for (auto [it, end] = deletedByName.equal_range(name); it != end; ++it) {
            sameName = true;
            const Fit fit = phonesOfRow(*it->second, phone);
            if (fit == Fit::stranger) continue;
            const int score = (found.count(it->second) ? 0 : 2) + (fit == Fit::whole ? 1 : 0);
            if (score > bestScore) exact = it->second, bestScore = score, wholeFit = fit == Fit::whole;
        }
        if (exact && found.insert(exact).second) {
            ++t.matched;
            if (wholeFit && exact->value("recoverable", false)) ++t.recoveredRows;
            else if (note) note("incomplete: \"" + name + "\" phone \"" + phone + "\"");
            continue;
        }
        const char* verdict = exact ? "duplicate" : sameName ? "other numbers" : liveNames.count(name) ? "live" : "phantom";
        ++(exact ? t.duplicates : sameName ? t.wrongKey : liveNames.count(name) ? t.liveAsDeleted : t.phantoms);
        if (note) note(std::string(verdict) + ": \"" + name + "\" phone \"" + phone + "\"");
    }
    if (note)
        for (const Json& row : truth["contacts"]["deleted"])
            if (row.value("recoverable", false) && !found.count(&row))
                note("missed: row " + std::to_string(row["ROWID"].get<long>()) + " \"" + personName(row) + "\"");
    return t;
}

}  // namespace salvor::forge
