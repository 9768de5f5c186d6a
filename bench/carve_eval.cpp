// Recall and precision of the deleted-record carving on forged backups of
// every generation, judged against the forge's truth. Contacts: each reported
// person is a deleted row (name and numbers equal), a deleted row with other
// numbers, a live person listed as deleted, a duplicate, or a phantom.
// Messages: each reported message is a deleted row (text, address and date
// equal), a duplicate, a stale older version of an edited row, a deleted
// row's text under a wrong address or date, a live message, or a phantom.
#include <any>
#include <cstdio>
#include <fstream>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "carve/deleted_contacts.h"
#include "carve_eval/message_judge.h"
#include "core/events.h"
#include "core/scan_context.h"
#include "engine/pipeline.h"
#include "forge/forge.h"
#include "platform/log.h"
#include "platform/scratch.h"

namespace fs = std::filesystem;
using salvor::ContactPtr;
using salvor::textOrEmpty;
using Json = nlohmann::json;

namespace {

std::string text(const Json& v) { return v.is_string() ? v.get<std::string>() : std::string(); }

// The name as the live reader builds it: First Middle Last, blanks skipped.
std::string personName(const Json& row) {
    std::string name;
    for (const char* key : {"First", "Middle", "Last"}) {
        const std::string part = text(row[key]);
        if (part.empty()) continue;
        if (!name.empty()) name += ' ';
        name += part;
    }
    return name;
}

// The numbers of a truth row, in id order.
std::vector<std::string> phones(const Json& row) {
    std::map<long, std::string> byId;
    for (const Json& v : row["multiValues"])
        if (v["property"] == 3) byId[v["UID"].get<long>()] = text(v["value"]);
    std::vector<std::string> out;
    for (auto& [id, value] : byId) out.push_back(value);
    return out;
}

struct Tally {
    long deleted = 0, recoverable = 0, reported = 0, matched = 0, wrongNumbers = 0, liveAsDeleted = 0,
         duplicates = 0, phantoms = 0, recoveredRows = 0;
};

constexpr const char* kScenarios[] = {"ios4", "ios4-legacy", "ios5", "ios6", "ios6-p1024", "ios7"};
bool g_show = false;  // --show: print every record not judged a deleted row

Tally evaluate(const std::string& scenario) {
    const std::string dir = salvor::scratch::create("salvor-carve-eval-");
    salvor::forge::ForgeOptions options;
    options.seed = 41;
    options.scenario = scenario;
    const auto backups = salvor::forge::forgeStore(dir + "/store", options);
    Tally t;
    for (const auto& backup : backups) {
        const Json truth = Json::parse(std::ifstream(backup.truthPath));
        salvor::NotificationCenter nc;
        salvor::ScanContext ctx(nc, backup.path);
        ctx.scanScratchDir = salvor::scratch::create("salvor-carve-eval-copies-");
        std::vector<ContactPtr> live, carved;
        nc.addObserver(salvor::events::ScanContactInfo,
                       [&](const std::any& o) { live.push_back(std::any_cast<ContactPtr>(o)); });
        nc.addObserver(salvor::events::ScanDelContactInfo,
                       [&](const std::any& o) { carved.push_back(std::any_cast<ContactPtr>(o)); });
        salvor::runStage(*salvor::findStage("scanContactThread"), ctx, backup.path);
        salvor::DelContactScan::scanBackup(ctx, backup.path);
        salvor::scratch::release(ctx.scanScratchDir);

        // What the result store keeps: carved persons equal to no live one (name and phone text).
        std::set<std::pair<std::string, std::string>> liveKeys;
        for (const auto& c : live) liveKeys.insert({textOrEmpty(c->contactName), textOrEmpty(c->contactPhone)});
        std::set<std::string> liveNames;
        for (const Json& row : truth["contacts"]["live"]) liveNames.insert(text(row["contactName"]));

        std::multimap<std::string, const Json*> deletedByName;
        for (const Json& row : truth["contacts"]["deleted"]) {
            ++t.deleted;
            if (row.value("recoverable", false)) ++t.recoverable;
            deletedByName.insert({personName(row), &row});
        }
        std::set<const Json*> found;
        for (const auto& c : carved) {
            const std::string name = textOrEmpty(c->contactName);
            if (liveKeys.count({name, textOrEmpty(c->contactPhone)})) continue;  // dropped by the store
            ++t.reported;
            const Json* exact = nullptr;
            bool sameName = false;
            for (auto [it, end] = deletedByName.equal_range(name); it != end; ++it) {
                sameName = true;
                if (phones(*it->second) == c->contactPhoneValues) exact = it->second;
            }
            if (exact && found.insert(exact).second) {
                ++t.matched;
                if (exact->value("recoverable", false)) ++t.recoveredRows;
            } else if (exact) {
                ++t.duplicates;
            } else if (sameName) {
                ++t.wrongNumbers;
            } else if (liveNames.count(name)) {
                ++t.liveAsDeleted;
            } else {
                ++t.phantoms;
            }
            if (g_show && !(exact && found.count(exact)))
                std::printf("  %s: \"%s\" phone \"%s\"\n", scenario.c_str(), name.c_str(),
                            textOrEmpty(c->contactPhone).c_str());
        }
    }
    salvor::scratch::release(dir);
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    g_show = argc > 1 && std::string(argv[1]) == "--show";
    salvor::log::setSink([](salvor::log::Level, const std::string&) {});
    std::printf("%-12s %8s %8s %8s %8s %8s %8s %8s %8s %7s %9s\n", "generation", "deleted", "recov.", "reported",
                "matched", "numbers", "live", "dupl.", "phantom", "recall", "precision");
    Tally all;
    for (const char* scenario : kScenarios) {
        const Tally t = evaluate(scenario);
        const double recall = t.recoverable ? double(t.recoveredRows) / double(t.recoverable) : 0;
        const double precision = t.reported ? double(t.matched) / double(t.reported) : 0;
        std::printf("%-12s %8ld %8ld %8ld %8ld %8ld %8ld %8ld %8ld %7.2f %9.2f\n", scenario, t.deleted, t.recoverable,
                    t.reported, t.matched, t.wrongNumbers, t.liveAsDeleted, t.duplicates, t.phantoms, recall,
                    precision);
        all.recoverable += t.recoverable;
        all.recoveredRows += t.recoveredRows;
        all.reported += t.reported;
        all.matched += t.matched;
    }
    std::printf("contacts overall: recall %.2f, precision %.2f\n",
                all.recoverable ? double(all.recoveredRows) / double(all.recoverable) : 0,
                all.reported ? double(all.matched) / double(all.reported) : 0);

    std::printf("\n%-12s %7s %6s %6s %8s %7s %6s %6s %6s %6s %6s %6s %7s %7s %9s\n", "generation", "deleted",
                "recov.", "whole", "reported", "matched", "no ad.", "stale", "dupl.", "live", "addr.", "date", "phantom", "recall",
                "precision");
    salvor::carve_eval::MessageTally messages;
    for (const char* scenario : kScenarios) {
        std::vector<std::string> shown;
        const auto t = salvor::carve_eval::evaluateMessages(scenario, 41, g_show ? &shown : nullptr);
        std::printf("%-12s %7ld %6ld %6ld %8ld %7ld %6ld %6ld %6ld %6ld %6ld %6ld %7ld %7.2f %9.2f\n", scenario,
                    t.deleted, t.recoverable, t.complete, t.reported, t.matched, t.noAddress, t.stale, t.duplicates,
                    t.liveAsDeleted, t.wrongAddress, t.wrongDate, t.phantoms, t.recall(), t.precision());
        for (const std::string& line : shown) std::printf("  %s\n", line.c_str());
        messages += t;
    }
    std::printf("messages overall: recall %.2f, precision %.2f\n", messages.recall(), messages.precision());
    return 0;
}
