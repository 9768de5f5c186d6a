#include <algorithm>
#include <map>
#include <set>
#include <string>

#include "forge/carve_judge.h"

namespace salvor::forge {

using Json = nlohmann::json;

namespace {
std::string text(const Json& v) { return v.is_string() ? v.get<std::string>() : std::string(); }
std::string field(const Json& row, const char* key) { return row.contains(key) ? text(row[key]) : std::string(); }
// Rows of the notes store name their title ZTITLE, rows of the older notes file "title".
std::string titleOf(const Json& row) { return row.contains("ZTITLE") ? text(row["ZTITLE"]) : field(row, "title"); }
}  // namespace

CarveTally judgeNotes(const Json& truth, const Json& notes, const JudgeNote& note) {
    CarveTally t;
    const Json& rows = truth["notes"]["deleted"];
    std::set<std::string> liveTitles, liveBodies;
    for (const Json& row : truth["notes"]["live"]) {
        liveTitles.insert(text(row["noteTitle"]));
        liveBodies.insert(field(row, "noteContent"));
    }
    // Older versions: of a note deleted later they are that note's earlier
    // text, true though not its last; of a live note, what it held before an
    // edit (counted as stale too, never as a deleted note).
    const Json stale = truth["notes"].value("stale", Json::array());
    std::vector<const Json*> olderOfDeleted;
    std::set<std::string> staleTitles;
    for (const Json& row : stale) {
        if (row.value("ofDeleted", false)) {
            olderOfDeleted.push_back(&row);
            continue;
        }
        staleTitles.insert(titleOf(row));
        liveBodies.insert(field(row, "noteContent"));
    }
    // The phone's own recently deleted notes are listed as deleted, and are no carved rows.
    std::set<std::pair<std::string, std::string>> kept;
    for (const Json& row : truth["notes"].value("recentlyDeleted", Json::array()))
        kept.insert({text(row["noteTitle"]), text(row["noteDate"])});
    for (const Json& row : rows) {
        ++t.deleted;
        if (row.value("recoverable", false)) ++t.recoverable;
    }
    // The parts of a row whose bytes were still there (files that tell them
    // apart; otherwise the row as a whole).
    auto titleThere = [](const Json& row) { return row.value("noteRecoverable", row.value("recoverable", false)); };
    auto bodyThere = [](const Json& row) { return row.value("bodyRecoverable", row.value("recoverable", false)); };
    std::set<const Json*> found, whole;
    for (const Json& c : notes) {
        if (c.value("bDeleted", 0) != 1) continue;
        const std::string title = text(c["noteTitle"]), date = text(c["noteDate"]), content = text(c["noteContent"]);
        if (kept.count({title, date})) continue;
        ++t.reported;
        const bool hasHead = !title.empty() || !date.empty();
        // Several deleted notes may hold the same text: the report is given
        // to one not yet found, and whose surviving parts are the ones
        // reported (a body alone belongs to a note whose row is gone).
        const auto fits = [&](const Json& row) {
            return (hasHead || !titleThere(row)) && (!content.empty() || !bodyThere(row));
        };
        const Json* best = nullptr;
        int bestScore = -1;
        bool sameTitle = false;
        for (const Json& row : rows) {
            const bool head = !hasHead || (title == titleOf(row) && date == field(row, "dateText"));
            sameTitle = sameTitle || (hasHead && title == titleOf(row));
            if (!head || (!content.empty() && content != field(row, "noteContent"))) continue;
            const int score = (found.count(&row) ? 0 : 2) + (fits(row) ? 1 : 0);
            if (score > bestScore) best = &row, bestScore = score;
        }
        const bool older = !best && std::any_of(olderOfDeleted.begin(), olderOfDeleted.end(), [&](const Json* row) {
            return (!hasHead || (title == titleOf(*row) && date == field(*row, "dateText"))) &&
                   (content.empty() || content == field(*row, "noteContent"));
        });
        if (best && found.insert(best).second) {
            ++t.matched;
        } else if (older) {
            ++t.stale;
            continue;
        } else if (!best && staleTitles.count(title)) {
            ++t.stale;  // the older version of an edited note
            continue;
        } else {
            const char* verdict = best ? "duplicate" : sameTitle ? "other body" : (liveTitles.count(title) || liveBodies.count(content)) ? "live" : "phantom";
            ++(best ? t.duplicates : sameTitle ? t.wrongKey : (liveTitles.count(title) || liveBodies.count(content)) ? t.liveAsDeleted : t.phantoms);
            if (note) note(std::string(verdict) + ": \"" + title + "\" " + date + " \"" + content.substr(0, 60) + "\"");
            if (!best) continue;
        }
        if ((hasHead || !titleThere(*best)) && (!content.empty() || !bodyThere(*best))) whole.insert(best);
    }
    for (const Json& row : rows) {
        if (!row.value("recoverable", false)) continue;
        if (whole.count(&row)) {
            ++t.recoveredRows;
        } else if (note) {
            note(std::string(found.count(&row) ? "incomplete" : "missed") + ": note " + std::to_string(row.value("Z_PK", row.value("ROWID", 0L))) + " \"" + titleOf(row) + "\"");
        }
    }
    return t;
}

}  // namespace salvor::forge
