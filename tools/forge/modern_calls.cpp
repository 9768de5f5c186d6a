#include "forge/modern_calls.h"

#include <cctype>
#include <cstdio>
#include <optional>

#include "forge/modern_deletions.h"

namespace salvor::forge::modern {

namespace {

using db::V;

struct Call {
    std::string address;
    double date;
    double duration;
    bool outgoing;
    bool answered;
    int callType;  // 1 phone, 8 FaceTime video, 16 FaceTime audio
    const char* provider;
};

}  // namespace

std::vector<PlantedFile> writeModernCalls(const std::string& outDir, int iosMajor, std::uint64_t seed,
                                          const nlohmann::json& contacts, nlohmann::json& truth) {
    checkVersion(iosMajor);
    Rng rng(seed ^ 0xCA11ULL);
    // The people of the address book, as the reader's name lookup sees them.
    const std::vector<db::LookupEntry> book = lookupBook(contacts);
    std::vector<std::string> known;
    if (contacts.is_object() && contacts.contains("live") && contacts.contains("phoneNumbers"))
        for (std::size_t i = 0; i < contacts["live"].size() && i < contacts["phoneNumbers"].size(); ++i)
            for (const auto& n : contacts["phoneNumbers"][i]) known.push_back(n.get<std::string>());
    const double base = seconds2001(iosMajor == 12 ? 2019 : iosMajor == 15 ? 2022 : 2024, 5, 2, 9, 0);
    std::vector<Call> calls;
    const char* phone = "com.apple.Telephony";
    const char* facetime = "com.apple.FaceTime";
    for (std::size_t i = 0; i < known.size() && i < 3; ++i)
        calls.push_back({dialled(known[i]), base + 3600.0 * static_cast<double>(i), 125.4 + static_cast<double>(i),
                         i % 2 == 0, true, 1, phone});
    calls.push_back({"+44 20 7946 0" + db::digits(rng, 3), base + 86400.0, 0.0, false, false, 1, phone});  // missed
    calls.push_back({"+4915112345678", base + 90000.0, 0.0, true, false, 1, phone});                       // cancelled
    calls.push_back({"friend@example.com", base + 100000.0, 3700.9, false, true, 8, facetime});
    calls.push_back({"+33 1 23 45 67 89", base + 200000.0, 59.0, true, true, 16, facetime});
    calls.push_back({"+18005550199", base - 86400.0 * 400, 7300.0, false, true, 1, phone});
    if (!known.empty()) calls.push_back({dialled(known.front()), base + 300000.0, 0.0, false, false, 1, phone});

    const bool older = iosMajor < 15;
    db::DbFile db(outDir + "/CallHistory.storedata.building", false, 4096);
    // As on the phone: incremental auto-vacuum.
    db.exec("PRAGMA auto_vacuum=INCREMENTAL");
    db.exec(
        db::schemaText(older ? "modern/ios11/CallHistory.storedata.sql" : "modern/ios17/CallHistory.storedata.sql"));
    db.begin();
    insertNamed(db, "Z_PRIMARYKEY", {{"Z_ENT", 1}, {"Z_NAME", "CallDBProperties"}, {"Z_SUPER", 0}, {"Z_MAX", 1}});
    insertNamed(
        db, "Z_PRIMARYKEY",
        {{"Z_ENT", 2}, {"Z_NAME", "CallRecord"}, {"Z_SUPER", 0}, {"Z_MAX", static_cast<std::int64_t>(calls.size())}});
    std::vector<db::Blob> addresses;
    addresses.reserve(calls.size() + 64);

    // Calls deleted from the log, keys past the live ones.
    const std::int64_t gonePast = 100;
    Rng goneRng(seed ^ 0xDE1E7EDULL);  // apart, so that the live rows stay as they were
    DeletionPlan deletionPlan;
    deletionPlan.seed = seed;
    deletionPlan.incrementalVacuum = true;
    deletionPlan.runLength = 48;  // short rows: more of them to empty a page
    deletionPlan.insert = [&](int index, bool padded) {
        char number[32];
        std::snprintf(number, sizeof number, "+44 7700 900%03d", 100 + index * 7);
        const std::string address = number;
        const double date = base + 86400.0 * 2 + 5400.0 * index + 0.5;
        const bool outgoing = index % 2 == 0;
        const double duration = 30.0 + index + (padded ? 0.25 : 0.0);
        addresses.emplace_back(address.begin(), address.end());
        insertNamed(db, "ZCALLRECORD",
                    {{"Z_PK", gonePast + index},
                     {"Z_ENT", 2},
                     {"Z_OPT", 1},
                     {"ZANSWERED", 1},
                     {"ZCALL_CATEGORY", 1},
                     {"ZCALLTYPE", 1},
                     {"ZORIGINATED", outgoing ? 1 : 0},
                     {"ZREAD", 1},
                     {"ZDATE", date},
                     {"ZDURATION", duration},
                     {"ZISO_COUNTRY_CODE", "gb"},
                     {"ZSERVICE_PROVIDER", phone},
                     {"ZUNIQUE_ID", db::uuid(goneRng)},
                     {"ZADDRESS", older ? V(addresses.back()) : V(address)}});
        DoomedRow row;
        row.row = {{"ROWID", gonePast + index},
                   {"address", address},
                   {"dateText", db::dateText(static_cast<std::int64_t>(date), 1)},
                   {"duration", static_cast<long>(duration)},
                   {"flags", outgoing ? 5 : 4}};
        row.marks = {address};
        return row;
    };
    deletionPlan.erase = [&](int index) {
        db.exec("DELETE FROM ZCALLRECORD WHERE Z_PK = " + std::to_string(gonePast + index));
    };
    // A missed call seen: the file holds it unread.
    deletionPlan.draft = [&] { db.exec("UPDATE ZCALLRECORD SET ZREAD = 0 WHERE Z_PK = 1"); };
    deletionPlan.settle = [&] { db.exec("UPDATE ZCALLRECORD SET ZREAD = 1 WHERE Z_PK = 1"); };
    if (!calls.empty())
        deletionPlan.stale = {{"address", calls[0].address},
                              {"dateText", db::dateText(static_cast<std::int64_t>(calls[0].date), 1)}};
    Deletions deletions(db, deletionPlan);

    for (std::size_t i = 0; i < calls.size(); ++i) {
        const Call& c = calls[i];
        if (i + 1 == calls.size()) {  // the latest call only in the log
            deletions.inFile();
            logFromHere(db);
        }
        addresses.emplace_back(c.address.begin(), c.address.end());
        insertNamed(db, "ZCALLRECORD",
                    {{"Z_PK", static_cast<std::int64_t>(i) + 1},
                     {"Z_ENT", 2},
                     {"Z_OPT", 1},
                     {"ZANSWERED", c.answered ? 1 : 0},
                     {"ZCALL_CATEGORY", 1},
                     {"ZCALLTYPE", c.callType},
                     {"ZORIGINATED", c.outgoing ? 1 : 0},
                     {"ZREAD", 1},
                     {"ZDATE", c.date},
                     {"ZDURATION", c.duration},
                     {"ZISO_COUNTRY_CODE", "us"},
                     {"ZSERVICE_PROVIDER", c.provider},
                     {"ZUNIQUE_ID", db::uuid(rng)},
                     // The older layout keeps the address as a blob.
                     {"ZADDRESS", older ? V(addresses.back()) : V(c.address)}});
    }
    deletions.inLog();
    db.commit();
    std::vector<PlantedFile> files =
        finishWithLogInto(db, outDir + "/CallHistory.storedata.building", outDir, "CallHistory.storedata",
                          "HomeDomain", "Library/CallHistoryDB/CallHistory.storedata");
    const nlohmann::json gone = deletions.judgedAt(outDir + "/CallHistory.storedata");

    nlohmann::json live = nlohmann::json::array();
    for (const Call& c : calls) {
        const auto hit = db::lookupContact(book, c.address, false);
        const auto seconds = static_cast<std::int32_t>(c.duration);
        std::string duration = !c.outgoing && !c.answered ? "Missed"
                               : seconds != 0             ? db::durationText(seconds)
                               : c.outgoing               ? "Cancelled"
                                                          : "Missed";
        live.push_back({{"callName", hit ? nlohmann::json(*book[*hit].name) : nlohmann::json()},
                        {"callPhone", c.address},
                        {"callDate", db::dateText(static_cast<std::int64_t>(c.date), 1)},
                        {"callType", c.outgoing ? "Outgoing" : "Incoming"},
                        {"callTime", seconds},
                        {"callDuration", duration},
                        {"bSelected", 0},
                        {"bDeleted", 0}});
    }
    truth = {{"live", std::move(live)}, {"deleted", gone}, {"stale", deletions.stale()}};
    return files;
}

}  // namespace salvor::forge::modern
