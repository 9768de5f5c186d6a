// Backups in the iOS 10 and later format (Manifest.db) are listed with their
// format, and `scan` and `recover` refuse them before reading or writing anything.
#include <gtest/gtest.h>

#include <filesystem>

#include "forge/forge.h"
#include "support/support.h"

namespace salvor::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const std::string kModern =
    "salvor: this backup is in the iOS 10 and later format (Manifest.db), which Salvor cannot read yet\n";
const std::string kModernEncrypted =
    "salvor: this backup is encrypted and in the iOS 10 and later format (Manifest.db); Salvor cannot read either "
    "yet\n";

TEST(ModernBackup, ListedWithTheirFormatAndRefusedByScanAndRecover) {
    TempDir dir;
    const std::string store = dir / "store";
    forge::ForgeOptions options;
    options.seed = 11;
    std::vector<forge::ForgedBackup> backups;
    for (const char* scenario : {"ios6", "ios16", "ios16-encrypted"}) {
        options.scenario = scenario;
        backups.push_back(forge::forgeStore(store, options).at(0));
    }

    auto listed = runSalvor({"list", "--store", store, "--json"});
    ASSERT_EQ(listed.exitCode, 0) << listed.err;
    const json entries = json::parse(listed.out);
    ASSERT_EQ(entries.size(), backups.size());
    for (const auto& b : backups) {
        const json truth = readJson(b.truthPath)["backup"];
        bool found = false;
        for (const auto& e : entries) {
            if (e["backUpFilePath"] != b.path) continue;
            found = true;
            for (auto it = truth.begin(); it != truth.end(); ++it) EXPECT_EQ(e[it.key()], it.value()) << it.key();
        }
        EXPECT_TRUE(found) << b.path;
    }
    const auto table = runSalvor({"list", "--store", store});
    EXPECT_NE(table.out.find("(iOS 10+ format, not readable yet)"), std::string::npos) << table.out;
    EXPECT_NE(table.out.find("(iOS 10+ format, encrypted, not readable yet)"), std::string::npos) << table.out;

    // Refused with one sentence on stderr; the backup, the working folder and
    // the temporary folder stay as they were and no destination appears.
    const fs::path work = dir / "work", tmp = dir / "tmp";
    fs::create_directories(work);
    fs::create_directories(tmp);
    const std::map<std::string, std::string> env{{"TMPDIR", tmp.string()}};
    const std::pair<const forge::ForgedBackup*, const std::string*> cases[] = {{&backups[1], &kModern},
                                                                               {&backups[2], &kModernEncrypted}};
    for (const auto& [backup, sentence] : cases) {
        const auto before = fingerprint(backup->path);
        const std::vector<std::vector<std::string>> commands = {
            {"scan", backup->path},
            {"scan", backup->path, "--json"},
            {"recover", backup->path, "--to", dir / "out"},
            {"recover", backup->path, "--all"}};
        for (const auto& args : commands) {
            const auto r = runSalvor(args, work.string(), env);
            EXPECT_EQ(r.exitCode, 1) << args[0];
            EXPECT_EQ(r.err, *sentence) << args[0];
            EXPECT_EQ(r.out, "") << args[0];
        }
        EXPECT_EQ(fingerprint(backup->path), before);
    }
    EXPECT_TRUE(fs::is_empty(work));
    EXPECT_TRUE(fs::is_empty(tmp));
    EXPECT_FALSE(fs::exists(dir / "out"));
}

}  // namespace
}  // namespace salvor::test
