// The carving judged on databases the forge did not write: for each seed, an
// iOS 6 and an iOS 7 backup whose address book, messages, call history and
// notes come from the second writer (tests/support/other_writer), and an
// iOS 15 and an iOS 17 backup of the modern layout whose messages, address
// book, notes, Safari history (and iOS 17's call log) come from its modern
// counterpart, scanned with the command-line tool (`salvor scan DIR --json`)
// and judged against that writer's truth, per generation and category, then
// pooled per generation over the categories.
//
//   bench_other_writer_eval [--seeds 1,2,3,4,5] [--show] [--cli PATH] [--only ios6,ios17-modern] [--keep]
//
// --cli: another build of the command-line tool, to compare before and after.
// --keep: leave each backup, its truth and scan in place (the folder is printed).
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "forge/carve_judge.h"
#include "forge/other_writer_backup.h"
#include "platform/scratch.h"

namespace {

using Json = nlohmann::json;
using salvor::forge::CarveTally;

Json scanJson(const std::string& cli, const std::string& backup) {
    const std::string command = "'" + cli + "' scan '" + backup + "' --json 2>/dev/null";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return nullptr;
    std::string out;
    char buffer[65536];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    ::pclose(pipe);
    return Json::parse(out, nullptr, false);
}

void printRow(const std::string& label, const CarveTally& t) {
    std::printf("%-14s %8ld %8ld %8ld %8ld %6ld %8ld %6ld %6ld %8ld %7.2f %9.2f\n", label.c_str(), t.deleted,
                t.recoverable, t.reported, t.matched, t.stale, t.wrongKey, t.liveAsDeleted, t.duplicates, t.phantoms,
                t.recall(), t.precision());
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::uint64_t> seeds = {1, 2, 3, 4, 5};
    bool show = false, keep = false;
    std::string cli = SALVOR_CLI_PATH;
    std::vector<std::string> generations = {"ios6", "ios7", "ios15-modern", "ios17-modern"};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--show") show = true;
        if (arg == "--keep") keep = true;
        if (arg == "--cli" && i + 1 < argc) cli = argv[++i];
        if (arg == "--seeds" && i + 1 < argc) {
            seeds.clear();
            std::stringstream list(argv[++i]);
            for (std::string s; std::getline(list, s, ',');) seeds.push_back(std::stoull(s));
        }
        if (arg == "--only" && i + 1 < argc) {
            generations.clear();
            std::stringstream list(argv[++i]);
            for (std::string s; std::getline(list, s, ',');) generations.push_back(s);
        }
    }
    using Judge = std::function<CarveTally(const Json&, const Json&, const salvor::forge::JudgeNote&)>;
    const std::vector<std::pair<const char*, Judge>> categories = {
        {"contacts", [](const Json& t, const Json& s, const auto& n) { return salvor::forge::judgeContacts(t, s["contacts"], n); }},
        {"messages", [](const Json& t, const Json& s, const auto& n) { return salvor::forge::judgeMessages(t, s, n); }},
        {"notes", [](const Json& t, const Json& s, const auto& n) { return salvor::forge::judgeNotes(t, s["notes"], n); }},
        {"calls", [](const Json& t, const Json& s, const auto& n) { return salvor::forge::judgeCalls(t, s["calls"], n); }},
        {"safari", [](const Json& t, const Json& s, const auto& n) { return salvor::forge::judgeBookmarks(t, s["bookmarks"], n); }},
    };
    // The categories each writer replaced: the older one the four files of
    // iOS 6 and 7, the modern one messages, address book, notes, history
    // (judged as "safari" with the bookmarks the forge left, listed with it)
    // and, on iOS 17, where the forge keeps one, the call log.
    const auto written = [](const std::string& generation, const std::string& category) {
        const bool modern = generation.find("modern") != std::string::npos;
        return modern ? category != "calls" || generation == "ios17-modern" : category != "safari";
    };
    std::map<std::string, std::map<std::string, CarveTally>> tallies;  // category -> generation -> pooled over seeds
    std::map<std::string, CarveTally> pooled;                          // generation -> every category
    for (const std::uint64_t seed : seeds) {
        for (const std::string& generation : generations) {
            const std::string dir = salvor::scratch::create("salvor-other-writer-");
            const bool modern = generation.find("modern") != std::string::npos;
            const int ios = std::stoi(generation.substr(3));
            const auto backup = modern ? salvor::forge::forgeOtherWriterModernBackup(dir, seed, ios, SALVOR_OTHER_WRITER_MODERN,
                                                                                    SALVOR_SCHEMA_DIR "/modern")
                                       : salvor::forge::forgeOtherWriterBackup(dir, seed, ios, SALVOR_OTHER_WRITER, SALVOR_SCHEMA_DIR);
            const Json scan = scanJson(cli, backup.path);
            if (!scan.is_object()) {
                std::fprintf(stderr, "seed %llu %s: the scan failed\n", static_cast<unsigned long long>(seed), generation.c_str());
                return 1;
            }
            for (const auto& [name, judge] : categories) {
                if (!written(generation, name)) continue;
                auto note = [&](const std::string& line) {
                    if (show)
                        std::printf("  seed %llu %s %s: %s\n", static_cast<unsigned long long>(seed), generation.c_str(), name,
                                    line.c_str());
                };
                const CarveTally t = judge(backup.truth, scan, note);
                tallies[name][generation].add(t);
                pooled[generation].add(t);
            }
            if (keep) {
                std::ofstream(dir + "/truth.json") << backup.truth.dump(1);
                std::ofstream(dir + "/scan.json") << scan.dump(1);
                std::printf("seed %llu %s: %s\n", static_cast<unsigned long long>(seed), generation.c_str(), backup.path.c_str());
            } else {
                salvor::scratch::release(dir);
            }
        }
    }
    const auto heading = [](const char* name) {
        std::printf("%-14s %8s %8s %8s %8s %6s %8s %6s %6s %8s %7s %9s\n", name, "deleted", "recov.", "reported",
                    "matched", "stale", "wrongkey", "live", "dupl.", "phantom", "recall", "precision");
    };
    for (const auto& [name, judge] : categories) {
        if (tallies[name].empty()) continue;
        heading(name);
        for (const auto& [generation, t] : tallies[name]) printRow(generation, t);
        std::printf("\n");
    }
    heading("all");
    for (const auto& [generation, t] : pooled) printRow(generation, t);
    return 0;
}
