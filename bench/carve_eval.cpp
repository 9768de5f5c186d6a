// The carving's evaluation: forges a backup of every generation, scans it with
// the command-line tool as a user would (`salvor scan DIR --json`), and judges
// every record listed as deleted against the forge's truth, per generation and
// category, with recall and precision. Stale: the older version of an edited
// row, counted as found.
//
//   bench_carve_eval [--seed N] [--show]
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
    std::uint64_t seed = 41;
    bool show = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--show") show = true;
        if (arg == "--seed" && i + 1 < argc) seed = std::stoull(argv[++i]);
    }
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
    const std::vector<std::string> scenarios = {"ios4", "ios4-legacy", "ios5", "ios6", "ios6-p1024", "ios7"};

    // Scan every generation once; judge every category on the same scans.
    std::map<std::string, std::vector<std::pair<Json, Json>>> scans;  // scenario -> (truth, scan)
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

    CarveTally pooled;
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
        }
        std::printf("%s overall: recall %.2f, precision %.2f\n\n", category.name, all.recall(), all.precision());
        pooled.add(all);
    }
    std::printf("pooled over all categories: recall %.2f, precision %.2f\n", pooled.recall(), pooled.precision());
    return 0;
}
