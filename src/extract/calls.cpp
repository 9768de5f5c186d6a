// Call history: one record per row of the call table.
#include <memory>
#include <unordered_map>

#include "extract/commit_db.h"
#include "extract/extract_util.h"
#include "extract/extractors.h"

namespace salvor {

using namespace extract_detail;

namespace {
// WirelessDomain first, then the HomeDomain file of older systems.
constexpr const char* kCallFiles[] = {"2b2b0084a1bc3a5ac8c27afdf14afb42c61a19ca",
                                      "ff1324e6b949111b2fb449ecddb50c89c3699a78"};
const sqlite::ReadPlan kCalls{{"address,date,duration,flags", "call", "", {"call"}}, {}};
}  // namespace

void scanCallHistory(ScanContext& ctx, const std::string& backupPath) {
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
    if (const auto copy = preparedCopy(ctx, stored)) {
        sqlite::Database db(*copy, ctx.stop, "call_history.db");
        sqlite::Table table(db, kCalls);
        std::unordered_map<std::string, Text> names;
        for (int r = 0; r < table.rows() && !ctx.stopRequested(); ++r) {
            auto call = std::make_shared<MVCallHistoryNode>();
            setText(call->callPhone, table.at(r, 0));
            setDate(call->callDate, table.at(r, 1), 0);
            if (const char* v = table.at(r, 2); sqlite::hasText(v))
                call->callTime = static_cast<std::int32_t>(sqlite::parseInteger(v));
            if (const char* v = table.at(r, 3); sqlite::hasText(v))
                call->callType = sqlite::parseInteger(v) == 5 ? "Outgoing" : "Incoming";
            // The contact list is fixed while calls are read: one lookup per number.
            const std::string& phone = textOrEmpty(call->callPhone);
            auto known = names.find(phone);
            if (known == names.end()) known = names.emplace(phone, ctx.contacts().getNameByPhoneNumber(call->callPhone)).first;
            call->callName = known->second;
            ctx.sink.call(call);
        }
    }
    ctx.postStageProgress();
}

}  // namespace salvor
