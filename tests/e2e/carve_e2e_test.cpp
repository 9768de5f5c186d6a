// Deleted records of every generation, scanned as a user would, judged against
// the forge's truth. The floors sit a little below what the carving measures,
// so a change that loses deleted records or lists live ones as deleted fails.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <map>
#include <set>
#include <sstream>
#include <vector>

#include "forge/carve_judge.h"
#include "support/support.h"

namespace salvor::test {
namespace {

using nlohmann::json;

class DeletedRecords : public ::testing::TestWithParam<std::string> {};

TEST_P(DeletedRecords, AreFoundAndLiveOnesAreNotListedAsDeleted) {
    TempDir dir;
    const auto b = forgeOne(dir, GetParam(), 41);
    const json truth = readJson(b.truthPath);
    const auto r = runSalvor({"scan", b.path, "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const json scan = json::parse(r.out);

    std::string notes;
    const auto contacts = forge::judgeContacts(truth, scan["contacts"], [&](const std::string& n) { notes += n + "\n"; });
    EXPECT_GT(contacts.recoverable, 0);
    EXPECT_GE(contacts.recall(), 0.95) << notes;
    EXPECT_GE(contacts.precision(), 0.95) << notes;
    EXPECT_EQ(contacts.liveAsDeleted + contacts.wrongKey, 0) << notes;

    notes.clear();
    const auto messages = forge::judgeMessages(truth, scan, [&](const std::string& n) { notes += n + "\n"; });
    EXPECT_GT(messages.recoverable, 10);
    EXPECT_GE(messages.recall(), 0.95) << notes;
    EXPECT_GE(messages.precision(), 0.95) << notes;
    EXPECT_EQ(messages.liveAsDeleted + messages.wrongKey, 0) << notes;

    // Notes and bookmarks of every schema format; the older notes file's
    // layout is not carved, so only precision holds there.
    std::string missed;
    const auto note = [&](const std::string& n) { missed += n + "\n"; };
    const auto deletedNotes = forge::judgeNotes(truth, scan["notes"], note);
    const auto bookmarks = forge::judgeBookmarks(truth, scan["bookmarks"], note);
    EXPECT_GT(bookmarks.recoverable, 0);
    if (GetParam() != "ios4-legacy") {
        EXPECT_GE(deletedNotes.recall(), 0.95) << missed;
        if (GetParam() != "ios6-p1024") {
            EXPECT_GT(deletedNotes.recoverable, 0);
        }
    }
    EXPECT_GE(deletedNotes.precision(), 0.95) << missed;
    EXPECT_GE(bookmarks.recall(), 0.95) << missed;
    EXPECT_GE(bookmarks.precision(), 0.95) << missed;
    EXPECT_EQ(deletedNotes.liveAsDeleted + deletedNotes.wrongKey + bookmarks.liveAsDeleted + bookmarks.wrongKey, 0) << missed;

    // Calls and events: every generation's table, the longer iOS 7.1 ones included.
    auto callNote = [&](const std::string& n) { notes += n + "\n"; };
    for (const auto& [name, tally] : {std::pair{"calls", forge::judgeCalls(truth, scan["calls"], callNote)},
                                      std::pair{"calendar", forge::judgeCalendar(truth, scan["calendar"], callNote)}}) {
        SCOPED_TRACE(name);
        EXPECT_GT(tally.recoverable, 0);
        EXPECT_GE(tally.recall(), 0.95) << notes;
        EXPECT_GE(tally.precision(), 0.95) << notes;
        EXPECT_EQ(tally.liveAsDeleted + tally.wrongKey, 0) << notes;
    }
}

// The summary table counts every carved message, not only the first of each
// deleted conversation (the only one the store lists as a record).
TEST(DeletedRecordsTable, CountsEveryCarvedMessage) {
    TempDir dir;
    const auto b = forgeOne(dir, "ios6", 41);
    const json scan = json::parse(runSalvor({"scan", b.path, "--json"}).out);
    long carved = 0, conversations = 0;
    for (const json& c : scan["conversations"])
        if (c.value("bdeleted", 0) == 1) carved += static_cast<long>(c["MessageNodeArray"].size()), ++conversations;
    ASSERT_GT(carved, conversations);
    const std::string table = runSalvor({"scan", b.path}).out;
    std::istringstream lines(table);
    std::string line;
    long live = -1, deleted = -1;
    while (std::getline(lines, line))
        if (line.rfind("Messages ", 0) == 0) std::istringstream(line.substr(9)) >> live >> deleted;
    EXPECT_EQ(deleted, carved) << table;
}

// Every carved record says where it was found and on which page; a live record
// carries none of that. A call updated in place (its row grown, so SQLite
// moves it and leaves the old bytes in a free block) lists its older self
// under "earlierVersions", which is not counted as a deleted call.
TEST(CarvedRecordsJson, SayWhereTheyWereFoundAndKeepEarlierVersionsWithLiveRecords) {
    TempDir dir;
    const auto b = forgeOne(dir, "ios6", 41);
    const std::string calls = b.path + "/2b2b0084a1bc3a5ac8c27afdf14afb42c61a19ca";
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(calls.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* old = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT duration FROM call WHERE duration < 100 ORDER BY ROWID LIMIT 1", -1, &old, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(old), SQLITE_ROW);
    const int before = sqlite3_column_int(old, 0);
    sqlite3_finalize(old);
    ASSERT_EQ(sqlite3_exec(db,
                           "PRAGMA secure_delete=OFF; UPDATE call SET duration = 987654 WHERE ROWID = "
                           "(SELECT ROWID FROM call WHERE duration < 100 ORDER BY ROWID LIMIT 1)",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);

    const auto r = runSalvor({"scan", b.path, "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const json scan = json::parse(r.out);
    const std::set<std::string> kinds = {"freeblock", "unallocated", "freelist"};
    std::map<std::string, int> carved;
    auto check = [&](const char* category, const json& record) {
        if (record.value("bDeleted", 0) == 1) {
            ASSERT_TRUE(record.contains("carvedFrom")) << category << ": " << record.dump();
            EXPECT_TRUE(kinds.count(record["carvedFrom"].get<std::string>())) << record.dump();
            EXPECT_GE(record["carvedPage"].get<long>(), 2) << record.dump();
            ++carved[category];
        } else {
            EXPECT_FALSE(record.contains("carvedFrom") || record.contains("carvedPage")) << category << ": " << record.dump();
        }
    };
    for (const char* category : {"contacts", "calls", "notes", "bookmarks", "calendar"})
        for (const json& record : scan[category]) check(category, record);
    for (const json& conversation : scan["conversations"])
        for (const json& message : conversation["MessageNodeArray"]) check("messages", message);
    for (const char* category : {"contacts", "calls", "notes", "bookmarks", "calendar", "messages"})
        EXPECT_GT(carved[category], 0) << category;

    std::vector<json> updated;
    for (const json& call : scan["calls"])
        if (call.contains("earlierVersions")) updated.push_back(call);
    ASSERT_EQ(updated.size(), 1u);
    EXPECT_EQ(updated[0].value("bDeleted", 1), 0);
    EXPECT_EQ(updated[0]["callTime"], 987654);
    ASSERT_EQ(updated[0]["earlierVersions"].size(), 1u);
    const json& earlier = updated[0]["earlierVersions"][0];
    EXPECT_EQ(earlier["callTime"], before);
    EXPECT_EQ(earlier["callPhone"], updated[0]["callPhone"]);
    EXPECT_EQ(earlier["callDate"], updated[0]["callDate"]);
    EXPECT_EQ(earlier["carvedFrom"], "freeblock");
    // Not listed a second time as a deleted call of its own.
    for (const json& call : scan["calls"])
        EXPECT_FALSE(call.value("bDeleted", 0) == 1 && call["callPhone"] == earlier["callPhone"] &&
                     call["callDate"] == earlier["callDate"])
            << call.dump();
}

INSTANTIATE_TEST_SUITE_P(Generations, DeletedRecords,
                         ::testing::Values("ios4", "ios4-legacy", "ios5", "ios6", "ios6-p1024", "ios7"),
                         [](const auto& info) {
                             std::string name = info.param;
                             for (char& c : name)
                                 if (c == '-') c = '_';
                             return name;
                         });

}  // namespace
}  // namespace salvor::test
