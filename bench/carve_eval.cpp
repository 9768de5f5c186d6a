// The carving's evaluation: forges a backup of every generation, scans it with
// the command-line tool as a user would (`salvor scan DIR --json`), and judges
// every record listed as deleted against the forge's truth, per generation and
// category, with recall and precision.
//
//   bench_carve_eval [--seed N] [--show]
#include <cstdio>
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
    std::printf("%-12s %8ld %8ld %8ld %8ld %8ld %8ld %8ld %8ld %7.2f %9.2f\n", label, t.deleted, t.recoverable, t.reported,
                t.matched, t.wrongKey, t.liveAsDeleted, t.duplicates, t.phantoms, t.recall(), t.precision());
}

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t seed = 41;
    bool show = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--show") show = true;
        if (arg == "--seed" && i + 1 < argc) seed = std::stoull(argv[++i]);
    }
    const std::vector<std::string> scenarios = {"ios4", "ios4-legacy", "ios5", "ios6", "ios6-p1024", "ios7"};
    // Each category: its list in the scan's JSON and its judge.
    struct Category {
        const char* name;
        salvor::forge::CarveTally (*judge)(const Json&, const Json&, const salvor::forge::JudgeNote&);
    };
    const std::vector<Category> categories = {
        {"contacts", salvor::forge::judgeContacts},
        {"calls", salvor::forge::judgeCalls},
        {"calendar", salvor::forge::judgeCalendar},
    };
    // tallies[category][scenario]
    std::vector<std::vector<CarveTally>> tallies(categories.size(), std::vector<CarveTally>(scenarios.size()));
    for (std::size_t s = 0; s < scenarios.size(); ++s) {
        const std::string& scenario = scenarios[s];
        const std::string dir = salvor::scratch::create("salvor-carve-eval-");
        salvor::forge::ForgeOptions options;
        options.seed = seed;
        options.scenario = scenario;
        for (const auto& backup : salvor::forge::forgeStore(dir + "/store", options)) {
            const Json scan = scanJson(backup.path);
            if (!scan.is_object()) {
                std::fprintf(stderr, "%s: the scan failed\n", scenario.c_str());
                return 1;
            }
            std::ifstream in(backup.truthPath);
            const Json truth = Json::parse(in);
            for (std::size_t c = 0; c < categories.size(); ++c) {
                auto note = [&](const std::string& line) {
                    if (show) std::printf("  %s %s: %s\n", categories[c].name, scenario.c_str(), line.c_str());
                };
                tallies[c][s].add(categories[c].judge(truth, scan[categories[c].name], note));
            }
        }
        salvor::scratch::release(dir);
    }
    CarveTally pooled;
    for (std::size_t c = 0; c < categories.size(); ++c) {
        std::printf("%-12s %8s %8s %8s %8s %8s %8s %8s %8s %7s %9s\n", categories[c].name, "deleted", "recov.", "reported",
                    "matched", "wrongkey", "live", "dupl.", "phantom", "recall", "precision");
        CarveTally all;
        for (std::size_t s = 0; s < scenarios.size(); ++s) {
            printRow(scenarios[s].c_str(), tallies[c][s]);
            all.add(tallies[c][s]);
        }
        printRow("overall", all);
        std::printf("\n");
        pooled.add(all);
    }
    std::printf("all categories pooled: recall %.2f, precision %.2f\n", pooled.recall(), pooled.precision());
    return 0;
}
