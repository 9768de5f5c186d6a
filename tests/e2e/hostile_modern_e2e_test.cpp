// `salvor scan` and `salvor recover --all` on the forge's "hostile-modern"
// store: nothing outside a backup is read or copied through a link, and a
// file list or database that cannot be read is said, never read as empty.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "forge/forge.h"
#include "support/support.h"

namespace salvor::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::size_t treeFiles(const json& node) {
    std::size_t n = 0;
    if (node.is_array()) {
        for (const auto& child : node) n += treeFiles(child);
    } else if (node.is_object()) {
        if (node.contains("fileChildren")) n += node["fileChildren"].size();
        if (node.contains("children")) n += treeFiles(node["children"]);
    }
    return n;
}

std::size_t deletedMessages(const json& scan) {
    std::size_t n = 0;
    for (const auto& conversation : withDeletedFlag(scan["conversations"], true, "bdeleted"))
        n += conversation["MessageNodeArray"].size();
    return n;
}

// Whether one problem of the scan holds every word of `words`.
bool said(const json& problems, const json& words) {
    for (const auto& p : problems) {
        const std::string text = p.get<std::string>();
        bool all = true;
        for (const auto& w : words) all = all && text.find(w.get<std::string>()) != std::string::npos;
        if (all) return true;
    }
    return false;
}

struct Scanned {
    CommandResult run;
    json out;
};

Scanned scan(const std::string& backup) {
    Scanned s{runSalvor({"scan", backup, "--json"}), json()};
    if (!s.run.out.empty()) s.out = json::parse(s.run.out);
    return s;
}

TEST(HostileModernBackups, NothingOutsideIsReadAndWhatCannotBeReadIsSaid) {
    TempDir dir;
    const std::string store = dir / "store";
    forge::ForgeOptions options;
    options.seed = 7;
    options.scenario = "hostile-modern";
    const auto backups = forge::forgeStore(store, options);

    std::map<std::string, Scanned> references;
    std::set<std::string> cases;
    for (const auto& b : backups) {
        const json truth = readJson(b.truthPath);
        if (!truth.contains("hostileCase")) continue;
        const std::string name = truth["hostileCase"];
        cases.insert(name);
        SCOPED_TRACE(name);
        const std::string referencePath = store + "/" + truth["reference"].get<std::string>();
        if (!references.count(referencePath)) references[referencePath] = scan(referencePath);
        const Scanned& reference = references[referencePath];
        ASSERT_FALSE(reference.out.is_null()) << reference.run.err;

        // The large sparse file is not read back here: its fingerprint would
        // read the whole unwritten gigabyte.
        const bool large = truth.value("large", false);
        const auto before = large ? decltype(fingerprint(b.path))() : fingerprint(b.path);
        const Scanned got = scan(b.path);
        ASSERT_FALSE(got.out.is_null()) << got.run.err;
        if (!large) {
            EXPECT_EQ(fingerprint(b.path), before) << "the backup folder was written";
        }

        const json& problems = got.out["problems"];
        if (truth.value("sameAsReference", false)) {
            EXPECT_EQ(got.run.exitCode, reference.run.exitCode) << got.run.err;
            EXPECT_EQ(problems, reference.out["problems"]);
            EXPECT_EQ(treeFiles(got.out["tree"]), treeFiles(reference.out["tree"]));
            EXPECT_GT(treeFiles(got.out["tree"]), 10u);
            EXPECT_EQ(got.out["messages"].size(), reference.out["messages"].size());
            EXPECT_EQ(got.out["photos"].size(), reference.out["photos"].size());
            continue;
        }
        if (truth.value("orSameDeletedAsReference", false) && got.run.exitCode == reference.run.exitCode) {
            // Carved after all: then exactly as without the tail.
            EXPECT_GT(deletedMessages(reference.out), 0u);
            EXPECT_EQ(deletedMessages(got.out), deletedMessages(reference.out));
            continue;
        }
        EXPECT_EQ(got.run.exitCode, truth["exit"].get<int>()) << got.run.err;
        for (const auto& words : truth["said"]) {
            EXPECT_TRUE(said(problems, words)) << words.dump() << " not in " << problems.dump();
            // The same sentences on stderr.
            EXPECT_NE(got.run.err.find(words[0].get<std::string>()), std::string::npos) << got.run.err;
        }
        if (truth.value("noMessages", false)) {
            EXPECT_GT(reference.out["messages"].size(), 0u);
            EXPECT_EQ(got.out["messages"].size(), 0u);
        }
        if (truth.value("emptyTree", false)) {
            EXPECT_GT(treeFiles(reference.out["tree"]), 0u);
            EXPECT_EQ(treeFiles(got.out["tree"]), 0u);
        }
        if (truth.value("noPhotoDates", false)) {
            std::size_t dated = 0;
            for (const auto& p : reference.out["photos"]) dated += p["fileCreateDate"].is_string() ? 1 : 0;
            EXPECT_GT(dated, 0u);
            ASSERT_EQ(got.out["photos"].size(), reference.out["photos"].size());
            for (const auto& p : got.out["photos"]) {
                EXPECT_TRUE(p["fileCreateDate"].is_null()) << p.dump();
                EXPECT_EQ(p["bDeleted"], 0) << p.dump();
            }
        }
        if (truth.contains("outside")) {
            // Everything recovered: no byte of a file outside the backup.
            std::set<std::string> planted;
            for (const auto& f : truth["outside"]) {
                ASSERT_TRUE(fs::is_regular_file(store + "/" + f.get<std::string>())) << f;
                planted.insert(sha1Hex(readBytes(store + "/" + f.get<std::string>())));
            }
            const std::string out = dir / ("out-" + name);
            const auto recovered = runSalvor({"recover", b.path, "--all", "--to", out});
            EXPECT_NE(recovered.exitCode, 0);
            for (const auto& f : filesBelow(out)) EXPECT_FALSE(planted.count(sha1Hex(readBytes(f)))) << f;
            if (!large) {
            EXPECT_EQ(fingerprint(b.path), before) << "the backup folder was written";
        }
        }
    }
    EXPECT_EQ(cases, (std::set<std::string>{"linked-folders", "linked-manifest-db", "linked-manifest-mbdb",
                                            "manifest-in-log", "random-sms", "sms-page-size-3", "sms-sparse-tail"}));
}

}  // namespace
}  // namespace salvor::test
