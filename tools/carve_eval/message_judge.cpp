#include "carve_eval/message_judge.h"

#include <any>
#include <fstream>
#include <map>
#include <set>
#include <tuple>

#include <nlohmann/json.hpp>

#include "carve/deleted_messages.h"
#include "core/events.h"
#include "core/scan_context.h"
#include "engine/pipeline.h"
#include "forge/forge.h"
#include "platform/scratch.h"

namespace salvor::carve_eval {

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

MessageTally& MessageTally::operator+=(const MessageTally& o) {
    deleted += o.deleted, recoverable += o.recoverable, complete += o.complete, reported += o.reported;
    matched += o.matched;
    noAddress += o.noAddress;
    recoveredRows += o.recoveredRows, stale += o.stale, duplicates += o.duplicates;
    liveAsDeleted += o.liveAsDeleted, wrongAddress += o.wrongAddress, wrongDate += o.wrongDate;
    phantoms += o.phantoms;
    return *this;
}

MessageTally evaluateMessages(const std::string& scenario, std::uint64_t seed, std::vector<std::string>* shown) {
    const std::string dir = scratch::create("salvor-carve-eval-");
    forge::ForgeOptions options;
    options.seed = seed;
    options.scenario = scenario;
    const auto backups = forge::forgeStore(dir + "/store", options);
    MessageTally t;
    for (const auto& backup : backups) {
        const Json truth = Json::parse(std::ifstream(backup.truthPath));
        NotificationCenter nc;
        ScanContext ctx(nc, backup.path);
        ctx.scanScratchDir = scratch::create("salvor-carve-eval-copies-");
        ctx.currentNodeIsiOS6Version = backup.iosMajor == 6 || backup.iosMajor == 7;
        ctx.bIOS7DeviceNode = backup.iosMajor == 7;
        std::vector<MessagePtr> live, carved;
        nc.addObserver(events::ScanMessageInfo, [&](const std::any& o) { live.push_back(std::any_cast<MessagePtr>(o)); });
        nc.addObserver(events::ScanDelMessageInfo,
                       [&](const std::any& o) { carved.push_back(std::any_cast<MessagePtr>(o)); });
        runStage(*findStage("scanMessageThread"), ctx, backup.path);
        DelMessageScan::scanBackup(ctx, backup.path);
        scratch::release(ctx.scanScratchDir);

        std::set<Key> liveKeys;
        std::set<std::string> liveTexts;
        for (const auto& m : live) {
            liveKeys.insert({storedAddress(textOrEmpty(m->messagePhone)), textOrEmpty(m->messageContent),
                             textOrEmpty(m->messageDate)});
            liveTexts.insert(textOrEmpty(m->messageContent));
        }
        std::multimap<std::string, const Json*> deletedByText;
        for (const Json& row : truth["messages"]["deleted"]) {
            ++t.deleted;
            if (row.value("recoverable", false)) ++t.recoverable;
            if (row.value("complete", false)) ++t.complete;
            deletedByText.insert({text(row["text"]), &row});
        }
        std::set<Key> staleKeys;
        for (const Json& row : truth["messages"]["stale"])
            staleKeys.insert({storedAddress(text(row["address"])), text(row["text"]),
                              text(row.value("dateText", Json()))});
        std::set<const Json*> found;
        for (const auto& m : carved) {
            const std::string address = storedAddress(textOrEmpty(m->messagePhone));
            const std::string content = textOrEmpty(m->messageContent), date = textOrEmpty(m->messageDate);
            // What the result store drops: empty records and copies of live messages.
            if (textOrEmpty(m->messagePhone).empty() && content.empty()) continue;
            if (liveKeys.count({address, content, date})) continue;
            ++t.reported;
            const Json* exact = nullptr;
            bool sameAddress = false, sameDate = false, sameText = false;
            bool lostAddress = false;
            for (auto [it, end] = deletedByText.equal_range(content); it != end; ++it) {
                sameText = true;
                const Json& row = *it->second;
                // A row whose address is gone from the file can at best be listed as "Unknown".
                const bool gone = !row.value("addressRecoverable", true) && address == "Unknown";
                const bool a = gone || storedAddress(text(row["address"])) == address;
                const bool d = text(row["dateText"]) == date;
                if (a && d && (!exact || !found.count(it->second))) exact = it->second, lostAddress = gone;
                sameAddress = sameAddress || a;
                sameDate = sameDate || d;
            }
            const char* verdict = nullptr;
            if (exact && found.insert(exact).second) {
                ++t.matched;
                if (lostAddress) ++t.noAddress;
                if (exact->value("complete", false)) ++t.recoveredRows;
            } else if (exact) {
                ++t.duplicates, verdict = "duplicate";
            } else if (staleKeys.count({address, content, date})) {
                ++t.stale;
            } else if (sameText && !sameAddress) {
                ++t.wrongAddress, verdict = "wrong address";
            } else if (sameText) {
                ++t.wrongDate, verdict = "wrong date";
            } else if (liveTexts.count(content)) {
                ++t.liveAsDeleted, verdict = "live";
            } else {
                ++t.phantoms, verdict = "phantom";
            }
            if (shown && verdict)
                shown->push_back(scenario + ": " + verdict + ": \"" + content + "\" from \"" + address + "\" at " + date);
        }
        if (shown)
            for (const auto& [content, row] : deletedByText)
                if (row->value("complete", false) && !found.count(row))
                    shown->push_back(scenario + ": missed row " + std::to_string(row->value("ROWID", 0)) + ": \"" +
                                     content + "\" from \"" + text((*row)["address"]) + "\"");
    }
    scratch::release(dir);
    return t;
}

}  // namespace salvor::carve_eval
