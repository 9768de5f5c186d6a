// The carving's evaluation: forges a backup of every generation, the older
// ones and the iOS 10 and later layouts, scans it with the command-line tool
// as a user would (`salvor scan DIR --json`), and judges every record listed
// as deleted against the forge's truth, per generation and category, with
// recall and precision. Stale: the older version of an edited row, counted as
// found. What the phone keeps as recently deleted is no carved row and is
// left out. Two more tables: where the scan says each carved record was
// found ("carvedFrom"), and, for the newer layouts, how each deleted row went
// (a single row, a run of whole pages, after the last checkpoint, only in
// the log, vacuumed away) with how many of those could and did come back.
//
//   bench_carve_eval [--seed N]... [--show]
#include <cstdio>
#include <functional>
#include <map>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "forge/carve_judge.h"
#include "forge/forge.h"
#include "platform/scratch.h"

namespace {

using Json = nlohmann::json;
using salvor::forge::CarveTally;

// The scan's JSON, or null when the tool failed.
Json scanJson(const std::string& backup) {
    const std::string command = std::string("'") + SALVOR_CLI_PATH + "' scan '" + backup + "' --json 2>/dev/null";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return nullptr;
    std::string out;
    char buffer[65536];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    ::pclose(pipe);
    return Json::parse(out, nullptr, false);
}

// The place a carved record names, its frame number left out ("wal-frame-7": "wal-frame").
std::string placeOf(const Json& record) {
    if (!record.contains("carvedFrom") || !record["carvedFrom"].is_string()) return "(not told)";
    std::string place = record["carvedFrom"].get<std::string>();
    if (place.rfind("wal-frame", 0) == 0) place = "wal-frame";
    return place;
}

// Every record the scan lists as deleted, per category, the carved messages
// included wherever their conversation is.
std::vector<std::pair<std::string, const Json*>> deletedRecords(const Json& scan) {
    std::vector<std::pair<std::string, const Json*>> out;
    for (const char* category : {"contacts", "notes", "calls", "bookmarks", "calendar"})
        if (scan.contains(category))
            for (const Json& r : scan[category])
                if (r.value("bDeleted", 0) == 1) out.emplace_back(category, &r);
    if (scan.contains("conversations"))
        for (const Json& c : scan["conversations"])
            for (const Json& m : c["MessageNodeArray"])
                if (c.value("bdeleted", 0) == 1 || m.value("bDeleted", 0) == 1) out.emplace_back("messages", &m);
    return out;
}

// The phone's own recently deleted records: listed as deleted, but not carved.
bool keptByPhone(const Json& truth, const std::string& category, const Json& record) {
    if (!truth.contains(category)) return false;
    for (const Json& kept : truth[category].value("recentlyDeleted", Json::array())) {
        bool same = true;
        for (const char* key : {"messageContent", "messageDate", "noteTitle", "noteDate"})
            if (kept.contains(key) && kept[key] != record.value(key, Json())) same = false;
        if (same) return true;
    }
    return false;
}

void printRow(const char* label, const CarveTally& t) {
    std::printf("%-12s %8ld %8ld %8ld %8ld %6ld %8ld %6ld %6ld %8ld %7.2f %9.2f\n", label, t.deleted, t.recoverable,
                t.reported, t.matched, t.stale, t.wrongKey, t.liveAsDeleted, t.duplicates, t.phantoms, t.recall(),
                t.precision());
}

}  // namespace

// One category's judge over a backup's truth and the scan's JSON.
struct Category {
    const char* name;
    std::function<CarveTally(const Json& truth, const Json& scan, const salvor::forge::JudgeNote&)> judge;
};

int main(int argc, char** argv) {
    std::vector<std::uint64_t> seeds;
    bool show = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--show") show = true;
        if (arg == "--seed" && i + 1 < argc) seeds.push_back(std::stoull(argv[++i]));
    }
    if (seeds.empty()) seeds = {41};
    const std::vector<Category> categories = {
        {"contacts", [](const Json& truth, const Json& scan, const auto& note) {
             return salvor::forge::judgeContacts(truth, scan["contacts"], note);
         }},
        {"messages", [](const Json& truth, const Json& scan, const auto& note) {
             return salvor::forge::judgeMessages(truth, scan, note);
         }},
        {"notes", [](const Json& truth, const Json& scan, const auto& note) {
             return salvor::forge::judgeNotes(truth, scan["notes"], note);
         }},
        {"calls", [](const Json& truth, const Json& scan, const auto& note) {
             return salvor::forge::judgeCalls(truth, scan["calls"], note);
         }},
        {"bookmarks", [](const Json& truth, const Json& scan, const auto& note) {
             return salvor::forge::judgeBookmarks(truth, scan["bookmarks"], note);
         }},
        {"calendar", [](const Json& truth, const Json& scan, const auto& note) {
             return salvor::forge::judgeCalendar(truth, scan["calendar"], note);
         }},
    };
    // The forge writes no category database of the iOS 18 layout (only its
    // photo library is known): iOS 17 stands for the newest phones.
    const std::vector<std::string> scenarios = {"ios4", "ios4-legacy", "ios5", "ios6", "ios6-p1024", "ios7",
                                                "ios12-modern", "ios15-modern", "ios17-modern"};

    // Scan every generation once per seed; judge every category on the same scans.
    std::map<std::string, std::vector<std::pair<Json, Json>>> scans;  // scenario -> (truth, scan)
    for (const std::uint64_t seed : seeds)
        for (const std::string& scenario : scenarios) {
            const std::string dir = salvor::scratch::create("salvor-carve-eval-");
            salvor::forge::ForgeOptions options;
            options.seed = seed;
            options.scenario = scenario;
            for (const auto& backup : salvor::forge::forgeStore(dir + "/store", options)) {
                Json scan = scanJson(backup.path);
                if (!scan.is_object()) {
                    std::fprintf(stderr, "%s: the scan failed\n", scenario.c_str());
                    return 1;
                }
                std::ifstream in(backup.truthPath);
                scans[scenario].emplace_back(Json::parse(in), std::move(scan));
            }
            salvor::scratch::release(dir);
        }
    std::printf("seeds:");
    for (const std::uint64_t seed : seeds) std::printf(" %llu", static_cast<unsigned long long>(seed));
    std::printf("\n\n");

    CarveTally pooled;
    std::map<std::string, CarveTally> byGeneration;  // every category of one generation
    for (const Category& category : categories) {
        std::printf("%-12s %8s %8s %8s %8s %6s %8s %6s %6s %8s %7s %9s\n", category.name, "deleted", "recov.",
                    "reported", "matched", "stale", "wrongkey", "live", "dupl.", "phantom", "recall", "precision");
        CarveTally all;
        for (const std::string& scenario : scenarios) {
            CarveTally t;
            auto note = [&](const std::string& line) {
                if (show) std::printf("  %s: %s\n", scenario.c_str(), line.c_str());
            };
            for (const auto& [truth, scan] : scans[scenario]) t.add(category.judge(truth, scan, note));
            printRow(scenario.c_str(), t);
            all.add(t);
            byGeneration[scenario].add(t);
        }
        std::printf("%s overall: recall %.2f, precision %.2f\n\n", category.name, all.recall(), all.precision());
        pooled.add(all);
    }
    std::printf("pooled over all categories: recall %.2f, precision %.2f\n\n", pooled.recall(), pooled.precision());
    std::printf("pooled per generation:\n");
    for (const std::string& scenario : scenarios)
        std::printf("  %-14s recall %.2f, precision %.2f\n", scenario.c_str(), byGeneration[scenario].recall(),
                    byGeneration[scenario].precision());
    std::printf("\n");

    // Where the carved records were found, as the scan tells it.
    std::printf("carved records by the place the scan names (all categories)\n");
    std::map<std::string, std::map<std::string, long>> places;  // place -> scenario -> records
    for (const std::string& scenario : scenarios)
        for (const auto& [truth, scan] : scans[scenario])
            for (const auto& [category, record] : deletedRecords(scan))
                if (!keptByPhone(truth, category, *record)) ++places[placeOf(*record)][scenario];
    std::printf("%-16s", "place");
    for (const std::string& scenario : scenarios) std::printf(" %12s", scenario.c_str());
    std::printf("\n");
    for (const auto& [place, counts] : places) {
        std::printf("%-16s", place.c_str());
        for (const std::string& scenario : scenarios) std::printf(" %12ld", counts.count(scenario) ? counts.at(scenario) : 0L);
        std::printf("\n");
    }

    // The newer layouts: how each deleted row went, whether its bytes were
    // left, and whether the scan brought it back (each category's judge run
    // on the rows of one kind only).
    std::printf("\ndeleted rows of the newer layouts by how they went: deleted / recoverable / recovered\n");
    const std::vector<std::string> modern = {"ios12-modern", "ios15-modern", "ios17-modern"};
    const char* const kinds[] = {"single", "run", "vacuumed", "after-checkpoint", "log-only", "log-same-transaction"};
    std::printf("%-12s %-21s", "category", "how");
    for (const std::string& scenario : modern) std::printf(" %16s", scenario.c_str());
    std::printf("\n");
    for (const Category& category : categories) {
        for (const char* kind : kinds) {
            std::printf("%-12s %-21s", category.name, kind);
            for (const std::string& scenario : modern) {
                CarveTally t;
                for (const auto& [truth, scan] : scans[scenario]) {
                    Json only = truth;
                    Json rows = Json::array();
                    for (const Json& row : truth[category.name].value("deleted", Json::array()))
                        if (row.value("how", "") == kind) rows.push_back(row);
                    only[category.name]["deleted"] = std::move(rows);
                    t.add(category.judge(only, scan, {}));
                }
                char cell[32];
                std::snprintf(cell, sizeof cell, "%ld/%ld/%ld", t.deleted, t.recoverable, t.recoveredRows);
                std::printf(" %16s", cell);
            }
            std::printf("\n");
        }
    }
    return 0;
}
