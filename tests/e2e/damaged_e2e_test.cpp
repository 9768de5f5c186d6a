// Backups damaged on purpose: what can be read is read, and what was lost is
// said, in the summary and in the exit status.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/support.h"

namespace salvor::test {
namespace {

namespace fs = std::filesystem;

// The "Contacts" row of the scan table: live count.
long liveContacts(const std::string& table) {
    const auto at = table.find("Contacts");
    if (at == std::string::npos) return -1;
    return std::stol(table.substr(at + 8, 20));
}

TEST(DamagedBackups, ADamagedFileListIsReportedAndTheDatabasesStillRead) {
    TempDir t;
    const auto forged = forgeOne(t, "ios6", 5);
    const std::string manifest = forged.path + "/Manifest.mbdb";
    const auto whole = readBytes(manifest);
    ASSERT_GT(whole.size(), 400u);
    const auto intact = runSalvor({"scan", forged.path});
    ASSERT_EQ(intact.exitCode, 0) << intact.err;
    EXPECT_EQ(intact.err, "");
    const long contacts = liveContacts(intact.out);
    ASSERT_GT(contacts, 0);

    struct Case {
        const char* what;
        std::string bytes;  // the manifest's new content
        bool remove;
        const char* said;
    };
    const std::string head(whole.begin(), whole.end());
    const Case cases[] = {
        {"cut in the middle of a record", head.substr(0, whole.size() / 2 + 3), false, "breaks off after"},
        {"wrong magic", "mbdx" + head.substr(4), false, "is damaged"},
        {"empty", "", false, "is empty"},
        {"missing", "", true, "has no file list"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.remove) fs::remove(manifest);
        else writeFile(manifest, c.bytes);
        const auto r = runSalvor({"scan", forged.path});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("Manifest.mbdb"), std::string::npos);
        EXPECT_EQ(liveContacts(r.out), contacts);  // the databases are found by their fixed names
    }
}

// The "Backup files" row of the scan table: how many files the tree lists.
long treeFiles(const std::string& table) {
    const auto at = table.find("Backup files");
    if (at == std::string::npos) return -1;
    return std::stol(table.substr(at + 12, 20));
}

TEST(DamagedBackups, ABackupWithoutADeviceNameStillListsAndRecoversItsFiles) {
    TempDir t;
    const auto forged = forgeOne(t, "ios6", 8);
    const long files = treeFiles(runSalvor({"scan", forged.path}).out);
    ASSERT_GT(files, 0);
    writeFile(forged.path + "/Info.plist",
              "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Device Name</key><string></string>"
              "<key>Product Version</key><string>6.1</string></dict></plist>");
    const auto scan = runSalvor({"scan", forged.path});
    EXPECT_EQ(scan.exitCode, 0) << scan.err;
    EXPECT_EQ(treeFiles(scan.out), files);
    const auto recover = runSalvor({"recover", forged.path, "--to", t / "out", "--category", "files"});
    EXPECT_EQ(recover.exitCode, 0) << recover.err;
    // The tree's folder is named after the backup folder.
    const std::string root = t / ("out/" + fs::path(forged.path).filename().string());
    long copied = 0;
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file()) ++copied;
    EXPECT_GT(copied, 0);
}

TEST(DamagedBackups, NoRoomForPrivateCopiesIsReportedNotHidden) {
    TempDir t;
    const auto forged = forgeOne(t, "ios5", 6);
    // No folder can be made there, as on a full or read-only temporary disk.
    const std::map<std::string, std::string> env{{"TMPDIR", "/proc"}};
    const auto scan = runSalvor({"scan", forged.path}, {}, env);
    EXPECT_EQ(scan.exitCode, 1);
    EXPECT_NE(scan.err.find("No private folder could be made"), std::string::npos) << scan.err;
    EXPECT_NE(scan.err.find("TMPDIR"), std::string::npos);

    const auto recover = runSalvor({"recover", forged.path, "--to", t / "out", "--category", "contacts"}, {}, env);
    EXPECT_EQ(recover.exitCode, 1);
    EXPECT_NE(recover.err.find("No private folder could be made"), std::string::npos) << recover.err;
}

TEST(DamagedBackups, DestinationsThatCannotTakeARunAreRefusedBeforeScanning) {
    TempDir t;
    const auto forged = forgeOne(t, "ios5", 9);
    const auto before = fingerprint(forged.path);
    fs::create_symlink(forged.path, t / "link-to-backup");
    writeFile(t / "a-file", "x");
    const struct {
        std::vector<std::string> args;
        std::string workDir;
        int exit;
        const char* said;
    } cases[] = {
        {{"--to", forged.path}, "", 1, "inside the backup folder"},
        {{"--to", forged.path + "/sub/deeper"}, "", 1, "inside the backup folder"},
        {{"--to", t / "link-to-backup/x"}, "", 1, "inside the backup folder"},
        {{}, forged.path, 1, "inside the backup folder"},  // the default name lands in the current folder
        {{"--to", ""}, "", 2, "needs a folder name"},
        {{"--to", t / "a-file"}, "", 1, "is not a folder"},
        {{"--to", t / "a-file/below"}, "", 1, "is not a folder"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"recover", c.workDir.empty() ? forged.path : "."};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto r = runSalvor(args, c.workDir);
        SCOPED_TRACE(args.size() > 2 ? args[3] : c.workDir);
        EXPECT_EQ(r.exitCode, c.exit);
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");  // refused before the scan: no table, nothing written
    }
    EXPECT_EQ(fingerprint(forged.path), before);
    EXPECT_EQ(readFile(t / "a-file"), "x");
}

// One hostile folder must not take the listing of every other backup down.
TEST(DamagedBackups, AHostileDescriptionCostsOnlyItsOwnBackup) {
    TempDir t;
    const auto good = forgeOne(t, "ios5", 12);
    const std::string store = fs::path(good.path).parent_path().string();
    std::string deep = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
    for (int i = 0; i < 300000; ++i) deep += std::string("<array\0>", 8);
    writeFile(store + "/hostile/Info.plist", deep);
    writeFile(store + "/hostile/Manifest.mbdb", std::string("mbdb\x05\x00", 6));
    const auto list = runSalvor({"list", "--store", store, "--json"});
    EXPECT_EQ(list.exitCode, 0) << list.err;
    const auto listed = nlohmann::json::parse(list.out);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0]["backUpFilePath"], good.path);
    const auto scan = runSalvor({"scan", store + "/hostile"});
    EXPECT_EQ(scan.exitCode, 0) << scan.err;  // scanned as an undescribed folder, with a warning
    EXPECT_NE(scan.err.find("warning"), std::string::npos);
}

}  // namespace
}  // namespace salvor::test
