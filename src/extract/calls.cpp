// Call history: one record per row of the call table.
#include <memory>
#include <unordered_map>

#include "extract/carved_copy.h"
#include "extract/commit_db.h"
#include "extract/extract_util.h"
#include "extract/extractors.h"
#include "extract/modern_lookup.h"

namespace salvor {

using namespace extract_detail;

namespace {
// WirelessDomain first, then the HomeDomain file of older systems.
constexpr const char* kCallFiles[] = {"2b2b0084a1bc3a5ac8c27afdf14afb42c61a19ca",
                                      "ff1324e6b949111b2fb449ecddb50c89c3699a78"};
const sqlite::ReadPlan kCalls{{"address,date,duration,flags", "call", "", {"call"}}, {}};
const sqlite::ReadPlan kCarvedCalls{{"address,date,duration,flags,ROWID", "call", "", {"call"}}, {}};
}  // namespace

void scanCallHistoryThread(ScanContext& ctx, const std::string& backupPath) {
    if (backupPath.empty()) return;
    std::string stored;
    for (const char* name : kCallFiles) {
        if (fileExists(storedPath(backupPath, name))) {
            stored = storedPath(backupPath, name);
            break;
        }
    }
    if (stored.empty()) return;
    ScratchScope scratch(ctx);
    // With `carved`, the database is the private one of carved rows: only the
    // deleted calls the carving engine found are posted, each with where it was.
    const auto read = [&](const std::string& path, const modern::CarvedCopy* carved) {
        sqlite::Database db(path, ctx.stop, "call_history.db");
        sqlite::Table table(db, carved ? kCarvedCalls : kCalls);
        std::unordered_map<std::string, Text> names;
        for (int r = 0; r < table.rows() && !ctx.stopRequested(); ++r) {
            const modern::CarvedOrigin* origin = nullptr;
            if (carved) {
                const char* id = table.at(r, 4);
                origin = sqlite::hasText(id) ? carved->originOf("call", sqlite::parseInteger(id)) : nullptr;
                if (!origin) continue;
            }
            auto call = std::make_shared<MVCallHistoryNode>();
            setText(call->callPhone, table.at(r, 0));
            setDate(call->callDate, table.at(r, 1), 0);
            if (const char* v = table.at(r, 2); sqlite::hasText(v))
                call->callTime = static_cast<std::int32_t>(sqlite::parseInteger(v));
            if (const char* v = table.at(r, 3); sqlite::hasText(v))
                call->callType = sqlite::parseInteger(v) == 5 ? "Outgoing" : "Incoming";
            if (call->callTime != 0)
                call->callDuration = getCallHistoryDuration(call->callTime);
            else
                call->callDuration = call->callType == "Outgoing" ? "Cancelled" : "Missed";
            // The contact list is fixed while calls are read: one lookup per number.
            const std::string& phone = textOrEmpty(call->callPhone);
            auto known = names.find(phone);
            if (known == names.end()) known = names.emplace(phone, ctx.contacts().getNameByPhoneNumber(call->callPhone)).first;
            call->callName = known->second;
            if (origin) {
                call->bDeleted = 1;
                call->carvedFrom = origin->carvedFrom;
                call->carvedPage = origin->page;
                ctx.nc.post(events::ScanDelCallHistoryInfo, std::any(call));
            } else {
                ctx.nc.post(events::ScanCallHistoryInfo, std::any(call));
            }
        }
    };
    if (const auto copy = preparedCopy(ctx, stored)) {
        read(*copy, nullptr);
        modern::CarvePlan plan;
        plan.mainTables = {"call"};
        plan.identity["call"] = {"address", "date"};
        if (const auto carved = modern::carvedCopy(ctx, modern::Found{stored, ""}, *copy, plan, "call_history.db"))
            read(carved->path, &*carved);
    }
    ctx.postStageProgress();
}

}  // namespace salvor
