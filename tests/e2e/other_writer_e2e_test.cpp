// Deleted records carved from databases the forge did not write: the second
// writer (tests/support/other_writer) builds them with its own order of
// operations, scanned as a user would. What must never happen is judged
// strictly: a number under another person's name, a message under another
// conversation's address, a live record listed as deleted; recall and
// precision have floors a little below what the carving measures.
#include <gtest/gtest.h>

#include "forge/carve_judge.h"
#include "forge/other_writer_backup.h"
#include "support/support.h"

namespace salvor::test {
namespace {

using nlohmann::json;

class OtherWriter : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(OtherWriter, DeletedRecordsAreNeverJoinedByGuess) {
    const auto [seed, ios] = GetParam();
    TempDir dir;
    const auto b = forge::forgeOtherWriterBackup(dir.path(), static_cast<std::uint64_t>(seed), ios,
                                                 std::string(SALVOR_SOURCE_DIR) + "/tests/support/other_writer/other_writer.py",
                                                 SALVOR_SCHEMA_DIR);
    const auto r = runSalvor({"scan", b.path, "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const json scan = json::parse(r.out);
    std::string notes;
    const auto note = [&](const std::string& n) { notes += n + "\n"; };

    const auto contacts = forge::judgeContacts(b.truth, scan["contacts"], note);
    EXPECT_GT(contacts.recoverable, 0);
    EXPECT_EQ(contacts.wrongKey, 0) << notes;
    EXPECT_GE(contacts.recall(), 0.95) << notes;
    EXPECT_GE(contacts.precision(), 0.9) << notes;

    const auto messages = forge::judgeMessages(b.truth, scan, note);
    EXPECT_GT(messages.recoverable, 0);
    EXPECT_EQ(messages.wrongKey + messages.liveAsDeleted, 0) << notes;
    EXPECT_GE(messages.recall(), 0.95) << notes;

    const auto calls = forge::judgeCalls(b.truth, scan["calls"], note);
    EXPECT_GT(calls.recoverable, 0);
    EXPECT_GE(calls.recall(), 0.95) << notes;
    EXPECT_GE(calls.precision(), 0.95) << notes;

    const auto deletedNotes = forge::judgeNotes(b.truth, scan["notes"], note);
    EXPECT_GE(deletedNotes.recall(), 0.8) << notes;
    EXPECT_GE(deletedNotes.precision(), 0.8) << notes;
}

INSTANTIATE_TEST_SUITE_P(Seeds, OtherWriter,
                         ::testing::Values(std::pair{3, 6}, std::pair{3, 7}, std::pair{11, 6}, std::pair{11, 7}),
                         [](const auto& info) {
                             return "seed" + std::to_string(info.param.first) + "_ios" + std::to_string(info.param.second);
                         });

}  // namespace
}  // namespace salvor::test
