// Call history of a modern backup: one record per row of the Core Data call
// table, dates in seconds since 2001, durations in seconds (both reals).
#include "extract/modern_calls.h"

#include <memory>
#include <unordered_map>

#include "extract/carved_copy.h"
#include "extract/commit_db.h"
#include "extract/extract_util.h"
#include "extract/modern_lookup.h"

namespace salvor {

using namespace extract_detail;

namespace {
constexpr modern::Place kCallHistory{"HomeDomain", "Library/CallHistoryDB/CallHistory.storedata",
                                     "5a4935c78a5255723f707230a451d79c540d2741"};
}  // namespace

void scanModernCallHistory(ScanContext& ctx, const std::string& backupPath) {
    if (backupPath.empty()) return;
    const modern::Found database = modern::findDatabase(ctx, {kCallHistory});
    if (database.stored.empty()) {
        // Not an error: the phone puts its call log only into encrypted backups.
        ctx.reportProblem("Call history is not in this backup: iOS keeps it only in encrypted backups.");
        return;
    }
    ScratchScope scratch(ctx);
    // With `carved`, the database is the private one of carved rows: only the
    // deleted calls the carving found are posted, each with where it was.
    const auto read = [&](const std::string& path, const modern::CarvedCopy* carved) {
        sqlite::Database db(path, ctx.stop, "CallHistory.storedata");
        const modern::TableColumns table(db, "ZCALLRECORD");
        // The address was a blob on older systems and is text on newer ones;
        // as text SQLite gives the blob's bytes, checked as UTF-8 below.
        sqlite::Reader rows(db, {{table.select({"ZADDRESS", "ZDATE", "ZDURATION", "ZORIGINATED", "ZANSWERED", "Z_PK"}),
                                  "ZCALLRECORD",
                                  "",
                                  {"ZCALLRECORD"}},
                                 {}});
        std::unordered_map<std::string, Text> names;
        while (!ctx.stopRequested() && rows.step()) {
            const modern::CarvedOrigin* origin = nullptr;
            if (carved) {
                const char* pk = rows.text(5);
                origin = sqlite::hasText(pk) ? carved->originOf("ZCALLRECORD", sqlite::parseInteger(pk)) : nullptr;
                if (!origin) continue;
            }
            auto call = std::make_shared<MVCallHistoryNode>();
            if (const char* address = rows.text(0); sqlite::hasText(address)) {
                std::string bytes(address);
                // A blob address that is no text stays empty rather than showing noise.
                if (utf8::isValid(bytes)) call->callPhone = std::move(bytes);
            }
            setDate(call->callDate, rows.text(1), 1);
            if (const char* v = rows.text(2); sqlite::hasText(v))
                call->callTime = static_cast<std::int32_t>(sqlite::parseInteger(v));
            if (const char* v = rows.text(3); sqlite::hasText(v))
                call->callType = sqlite::parseInteger(v) == 1 ? "Outgoing" : "Incoming";
            const char* answered = rows.text(4);
            const bool unanswered = sqlite::hasText(answered) && sqlite::parseInteger(answered) == 0;
            call->bUnanswered = call->callType == "Incoming" && unanswered ? 1 : 0;
            // The contact list is fixed while calls are read: one lookup per number.
            const std::string& phone = textOrEmpty(call->callPhone);
            auto known = names.find(phone);
            if (known == names.end())
                known = names.emplace(phone, ctx.contacts().getNameByPhoneNumber(call->callPhone)).first;
            call->callName = known->second;
            if (origin) {
                modern::markCarved(*call, *origin);
                ctx.sink.deletedCall(call);
            } else {
                ctx.sink.call(call);
            }
        }
    };
    if (const auto copy = modern::preparedCopy(ctx, database)) {
        read(*copy, nullptr);
        modern::CarvePlan plan;
        plan.mainTables = {"ZCALLRECORD"};
        plan.identity["ZCALLRECORD"] = {"ZUNIQUE_ID"};
        if (const auto carved = modern::carvedCopy(ctx, database, *copy, plan, "CallHistory.storedata"))
            read(carved->path, &*carved);
    }
    ctx.postStageProgress();
}

}  // namespace salvor
