// Every live record of every category, for each iOS generation, compared field
// by field with what the forge put into the backup.
#include <gtest/gtest.h>

#include <sstream>

#include "forge/forge.h"
#include "support/support.h"

namespace salvor::test {
namespace {

using nlohmann::json;

class LiveRecords : public ::testing::TestWithParam<std::string> {};

TEST_P(LiveRecords, MatchTheForgedTruth) {
    TempDir dir;
    const auto b = forgeOne(dir, GetParam(), 41);
    const json truth = readJson(b.truthPath);
    const auto r = runSalvor({"scan", b.path, "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const json scan = json::parse(r.out);

    for (const char* category : {"contacts", "calls", "notes", "bookmarks", "calendar"})
        expectListMatchesTruth(scan[category], truth[category]["live"], b.path, category);
    // Messages: the live ones as forged, the carved ones as the forge deleted them.
    expectListMatchesTruth(withDeletedFlag(scan["messages"], false), truth["messages"]["live"], b.path, "messages");
    expectDeletedMessagesMatchTruth(scan, truth);

    // Conversations: grouping of the delivered messages (the carved ones
    // follow them, in conversations of their own).
    const json& convWant = truth["conversations"]["live"];
    const json convGot = withDeletedFlag(scan["conversations"], false, "bdeleted");
    expectListMatchesTruth(convGot, convWant, b.path, "conversations");
    for (std::size_t i = 0; i < convWant.size(); ++i) {
        const std::string where = "conversations[" + std::to_string(i) + "]";
        const json& members = convWant[i]["members"];
        ASSERT_EQ(convGot[i]["MessageNodeArray"].size(), members.size()) << where;
        for (std::size_t m = 0; m < members.size(); ++m)
            EXPECT_EQ(convGot[i]["MessageNodeArray"][m], scan["messages"][members[m].get<std::size_t>()])
                << where << " member " << m;
    }
}

INSTANTIATE_TEST_SUITE_P(Generations, LiveRecords, ::testing::Values("ios4", "ios4-legacy", "ios5", "ios6", "ios7"),
                         [](const auto& info) {
                             std::string name = info.param;
                             for (char& c : name)
                                 if (c == '-') c = '_';
                             return name;
                         });

}  // namespace
}  // namespace salvor::test
