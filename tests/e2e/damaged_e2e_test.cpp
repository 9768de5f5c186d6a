// Backups damaged on purpose: what can be read is read, and what was lost is
// said, in the summary and in the exit status.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

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

// Runs salvor but gives up after a minute, so a command that waits forever
// fails its test instead of stopping the suite.
CommandResult runBounded(const std::vector<std::string>& args) {
    RunningSalvor running(args);
    const bool ended = waitFor([&] {
        siginfo_t info{};
        return ::waitid(P_PID, static_cast<id_t>(running.pid()), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               info.si_pid == running.pid();
    });
    if (!ended) {
        ADD_FAILURE() << "salvor did not end";
        ::kill(running.pid(), SIGKILL);
    }
    return running.wait();
}

// The stored name of a manifest record, as a path inside the backup.
std::string storedFile(const forge::ForgedBackup& b, const nlohmann::json& truth, const std::string& domain,
                       const std::string& path) {
    for (const auto& rec : truth["manifest"])
        if (rec["domain"] == domain && rec["path"] == path) return b.path + "/" + rec["storedName"].get<std::string>();
    ADD_FAILURE() << "no record " << domain << "/" << path;
    return b.path + "/none";
}

// A hostile backup puts a FIFO, a link to a file outside it or a folder where
// a stored file should be. Nothing waits on the FIFO, no link is followed,
// nothing is copied from the folder, and nothing is made in their place.
TEST(DamagedBackups, StoredFilesThatAreNotRegularFilesAreNeitherWaitedOnNorFollowed) {
    TempDir t;
    const auto forged = forgeOne(t, "ios6", 5);
    const std::string secret = "not for the recovery: 8d1f0c";
    writeFile(t / "secret", secret);
    std::string picture, card;
    const auto truth = readJson(forged.truthPath);
    for (const auto& m : truth["messages"]["live"]) {
        if (!m["attachmentPath"].is_string()) continue;
        if (m["attachType"] == "Image") picture = forged.path + "/" + m["attachmentPath"].get<std::string>();
        if (m["attachType"] == "Contact") card = forged.path + "/" + m["attachmentPath"].get<std::string>();
    }
    const std::string social =
        storedFile(forged, truth, "AppDomain-com.facebook.Facebook", "Library/Caches/FBImages/img_1.jpg");
    const std::string photo = storedFile(forged, truth, "CameraRollDomain", "Media/DCIM/100APPLE/IMG_0001.JPG");
    const std::string database = storedFile(forged, truth, "HomeDomain", "Library/AddressBook/AddressBook.sqlitedb");
    fs::copy_file(database, t / "outside.sqlitedb");
    const std::vector<std::string> treeFile{"--file", "CameraRollDomain/Media/DCIM/100APPLE/IMG_0001.JPG"};
    const std::string treeCopy = "Work phone/CameraRollDomain/Media/DCIM/100APPLE/IMG_0001.JPG";
    enum class Swap { Fifo, Link, Folder };
    const struct {
        const char* what;
        std::string stored;
        Swap swap;
        std::vector<std::string> args;
        std::string absent;  // in the destination
        int exit;
    } cases[] = {
        {"social FIFO", social, Swap::Fifo, {"--category", "social"}, "FaceBook&Twitter/img_1.jpg", 0},
        {"social link", social, Swap::Link, {"--category", "social"}, "FaceBook&Twitter/img_1.jpg", 0},
        {"social folder", social, Swap::Folder, {"--category", "social"}, "FaceBook&Twitter/img_1.jpg", 0},
        {"picture FIFO", picture, Swap::Fifo, {"--category", "messages"}, "Message/IMG_1000.JPG", 0},
        {"card FIFO", card, Swap::Fifo, {"--category", "messages"}, "Message/Contact.vcf", 0},
        {"card link", card, Swap::Link, {"--category", "messages"}, "Message/Contact.vcf", 0},
        {"photo link", photo, Swap::Link, {"--category", "photos"}, "Photo&Video/IMG_0001.JPG", 0},
        {"tree link", photo, Swap::Link, treeFile, treeCopy, 1},
        {"tree FIFO", photo, Swap::Fifo, treeFile, treeCopy, 1},
        {"database link", database, Swap::Link, {"--category", "contacts"}, "Contact", 0},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto original = readBytes(c.stored);
        fs::remove(c.stored);
        if (c.swap == Swap::Fifo) {
            ASSERT_EQ(::mkfifo(c.stored.c_str(), 0600), 0);
        } else if (c.swap == Swap::Link) {
            fs::create_symlink(c.stored == database ? t / "outside.sqlitedb" : t / "secret", c.stored);
        } else {
            fs::create_directory(c.stored);
        }
        const std::string dest = t / ("out" + std::to_string(++n));
        std::vector<std::string> args{"recover", forged.path, "--to", dest};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto r = runBounded(args);
        EXPECT_EQ(r.exitCode, c.exit) << r.out << r.err;
        EXPECT_FALSE(fs::exists(fs::symlink_status(dest + "/" + c.absent))) << r.out;
        for (const auto& f : filesBelow(dest)) EXPECT_EQ(readFile(f).find(secret), std::string::npos) << f;
        fs::remove(c.stored);
        writeFile(c.stored, std::string(original.begin(), original.end()));
    }
}

// Listed files that the backup does not hold are said, and nothing is made
// for them; a directory record is no such file but a folder. A run makes only
// the folders and lists that its selection fills.
TEST(DamagedBackups, WhatTheBackupDoesNotHoldIsSaidAndNothingIsMadeForIt) {
    TempDir t;
    const auto forged = forgeOne(t, "ios6", 5);
    const std::string device = "Work phone/";
    const struct {
        std::vector<std::string> args;
        int exit;
        int missing;  // items said not to be in the backup
        std::vector<std::string> made, absent;  // below the destination
    } cases[] = {
        {{"--file", "AppDomain-com.atebits.Tweetie2/Documents/gone.plist"}, 1, 1, {}, {""}},
        {{"--file", "CameraRollDomain/Media/DCIM/100APPLE/IMG_0004.JPG"}, 1, 1, {}, {""}},
        // The folder's own record and the link record below it hold no stored file.
        {{"--file", "AppDomain-com.example.app/Documents"}, 0, 1,
         {device + "AppDomain-com.example.app/Documents/photo.jpg"},
         {device + "AppDomain-com.example.app/Documents/latest.jpg"}},
        {{"--category", "photos"}, 0, 2, {"Photo&Video/IMG_0001.JPG"}, {"Photo&Video/IMG_0004.JPG", "Contact"}},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[1]);
        const std::string dest = t / ("out" + std::to_string(++n));
        std::vector<std::string> args{"recover", forged.path, "--to", dest};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto r = runSalvor(args);
        EXPECT_EQ(r.exitCode, c.exit) << r.out << r.err;
        EXPECT_NE(r.out.find(std::to_string(c.missing) + " item(s) are not in the backup"), std::string::npos) << r.out;
        for (const auto& p : c.made) EXPECT_TRUE(fs::is_regular_file(dest + "/" + p)) << p;
        for (const auto& p : c.absent) EXPECT_FALSE(fs::exists(dest + "/" + p)) << p;
    }
    // A second run of the same selection adds its copies, and no list of another category.
    runSalvor({"recover", forged.path, "--to", t / "out4", "--category", "photos"});
    EXPECT_EQ(std::distance(fs::directory_iterator(t / "out4"), fs::directory_iterator()), 1);
    EXPECT_TRUE(fs::exists(t / "out4/Photo&Video/IMG_0001 (2).JPG"));
}

}  // namespace
}  // namespace salvor::test
