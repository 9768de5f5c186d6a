// Every live record of every category, for each iOS generation, compared field
// by field with what the forge put into the backup.
#include <gtest/gtest.h>

#include <sstream>

#include "forge/forge.h"
#include "support/support.h"

namespace salvor::test {
namespace {

using nlohmann::json;

// Field-by-field comparison of one scanned record with its expected form; the
// expected form may name a path inside the backup relative to the folder.
void expectRecord(const json& got, json want, const std::string& backup, const std::string& where) {
    for (const char* k : {"attachmentPath", "filePath", "faceTwitterFilePath"})
        if (want.contains(k) && want[k].is_string()) want[k] = backup + "/" + want[k].get<std::string>();
    for (auto it = want.begin(); it != want.end(); ++it) {
        if (it.key() == "members" || it.key() == "factory") continue;  // annotations of the forge
        ASSERT_TRUE(got.contains(it.key())) << where << ": no field " << it.key();
        EXPECT_EQ(got[it.key()], it.value()) << where << "." << it.key();
    }
}

class LiveRecords : public ::testing::TestWithParam<std::string> {};

TEST_P(LiveRecords, MatchTheForgedTruth) {
    TempDir dir;
    forge::ForgeOptions options;
    options.seed = 41;
    options.scenario = GetParam();
    const auto backups = forge::forgeStore(dir / "store", options);
    ASSERT_EQ(backups.size(), 1u);
    const auto& b = backups[0];
    const json truth = readJson(b.truthPath);
    const auto r = runSalvor({"scan", b.path, "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const json scan = json::parse(r.out);

    for (const char* category : {"contacts", "messages", "calls", "notes", "bookmarks", "calendar"}) {
        SCOPED_TRACE(category);
        ASSERT_TRUE(truth.contains(category));
        const json& want = truth[category]["live"];
        const json& got = scan[category];
        ASSERT_EQ(got.size(), want.size()) << category;
        for (std::size_t i = 0; i < want.size(); ++i) {
            std::ostringstream where;
            where << category << "[" << i << "]";
            expectRecord(got[i], want[i], b.path, where.str());
        }
    }

    // Conversations: grouping of the delivered messages.
    const json& convWant = truth["conversations"]["live"];
    const json& convGot = scan["conversations"];
    ASSERT_EQ(convGot.size(), convWant.size());
    for (std::size_t i = 0; i < convWant.size(); ++i) {
        std::ostringstream where;
        where << "conversations[" << i << "]";
        expectRecord(convGot[i], convWant[i], b.path, where.str());
        const json& members = convWant[i]["members"];
        ASSERT_EQ(convGot[i]["MessageNodeArray"].size(), members.size()) << where.str();
        for (std::size_t m = 0; m < members.size(); ++m)
            EXPECT_EQ(convGot[i]["MessageNodeArray"][m], scan["messages"][members[m].get<std::size_t>()])
                << where.str() << " member " << m;
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
