// `salvor list` and `salvor scan --json` on forged backup stores, compared with
// what the forge says each backup holds.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>

#include "forge/forge.h"
#include "support/support.h"

namespace salvor::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

json scanJson(const std::string& backup) {
    auto r = runSalvor({"scan", backup, "--json"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return json::parse(r.out);
}

void collectTreeFiles(const json& dir, std::vector<json>& out) {
    for (const auto& f : dir["fileChildren"]) out.push_back(f);
    for (const auto& c : dir["children"]) collectTreeFiles(c, out);
}

TEST(ScanEndToEnd, ListShowsEveryBackupOfTheStore) {
    TempDir dir;
    forge::ForgeOptions options;
    options.seed = 7;
    options.scenario = "store";
    const auto backups = forge::forgeStore(dir / "store", options);
    ASSERT_GE(backups.size(), 4u);
    auto r = runSalvor({"list", "--store", dir / "store", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const json listed = json::parse(r.out);
    ASSERT_EQ(listed.size(), backups.size());
    std::set<std::string> paths;
    for (const auto& e : listed) paths.insert(e["backUpFilePath"].get<std::string>());
    for (const auto& b : backups) {
        ASSERT_TRUE(paths.count(b.path)) << b.path;
        const json truth = readJson(b.truthPath)["backup"];
        for (const auto& e : listed) {
            if (e["backUpFilePath"] != b.path) continue;
            for (auto it = truth.begin(); it != truth.end(); ++it) EXPECT_EQ(e[it.key()], it.value()) << it.key();
        }
    }
    // The plain table names every device too.
    auto table = runSalvor({"list"}, {}, {{"SALVOR_BACKUP_STORE", dir / "store"}});
    EXPECT_EQ(table.exitCode, 0);
    for (const auto& e : listed) EXPECT_NE(table.out.find(e["strDeviceName"].get<std::string>()), std::string::npos);
}

TEST(ScanEndToEnd, ScanReportsExactlyTheForgedMediaSocialFilesAndTree) {
    TempDir dir;
    const auto b = forgeOne(dir, "ios6", 7);
    const json truth = readJson(b.truthPath);
    const json scan = scanJson(b.path);

    EXPECT_EQ(scan["backup"]["backUpFilePath"], b.path);
    EXPECT_EQ(scan["backup"]["strDeviceName"], truth["backup"]["strDeviceName"]);
    EXPECT_EQ(scan["flags"]["currentNodeIsiOS6Version"], 1);
    EXPECT_EQ(scan["flags"]["bIOS7DeviceNode"], 0);

    // Photos, videos and audio, in manifest order; then the social-application files.
    expectListMatchesTruth(scan["photos"], truth["photos"], b.path, "photos");
    expectListMatchesTruth(scan["social"], truth["social"], b.path, "social");

    // The tree: one device folder; every manifest record with a path is one file node.
    ASSERT_EQ(scan["tree"].size(), 1u);
    EXPECT_EQ(scan["tree"][0]["fileName"], truth["backup"]["strDeviceName"]);
    std::vector<json> files;
    collectTreeFiles(scan["tree"][0], files);
    std::multiset<std::string> got, want;
    for (const auto& n : files) got.insert(n["dirFilePath"].get<std::string>());
    for (const auto& rec : truth["manifest"]) {
        std::string path = rec["path"].get<std::string>();
        if (path.empty()) continue;
        for (std::size_t p; (p = path.find("/.")) != std::string::npos;) path.replace(p, 2, "/");
        want.insert(rec["domain"].get<std::string>() + "/" + path);
    }
    EXPECT_EQ(got, want);
    // Each file node points at its stored file and knows whether it exists.
    std::map<std::string, json> byStored;
    for (const auto& rec : truth["manifest"]) byStored[b.path + "/" + rec["storedName"].get<std::string>()] = rec;
    for (const auto& n : files) {
        const auto it = byStored.find(n["filePath"].get<std::string>());
        ASSERT_NE(it, byStored.end()) << n.dump();
        const bool exists = it->second["stored"].get<bool>() && it->second["kind"] == "file";
        EXPECT_EQ(n["isFile"], exists ? 1 : 0) << n.dump();
        if (exists) {
            EXPECT_EQ(n["realFileSize"], it->second["size"]) << n.dump();
        }
    }
}

TEST(ScanEndToEnd, ScanLeavesTheBackupUntouchedAndWorksReadOnly) {
    TempDir dir;
    const auto b = forgeOne(dir, "ios6", 11);
    const auto before = fingerprint(b.path);
    const json first = scanJson(b.path);
    EXPECT_EQ(fingerprint(b.path), before);

    // A read-only copy scans to the same result (paths aside).
    const std::string copy = dir / "readonly";
    fs::copy(b.path, copy, fs::copy_options::recursive);
    for (const auto& e : fs::directory_iterator(copy)) chmod(e.path().c_str(), 0444);
    chmod(copy.c_str(), 0555);
    json second = scanJson(copy);
    chmod(copy.c_str(), 0755);
    std::string a = first.dump(), c = second.dump();
    for (std::size_t p; (p = c.find(copy)) != std::string::npos;) c.replace(p, copy.size(), b.path);
    EXPECT_EQ(json::parse(a)["photos"], json::parse(c)["photos"]);
    EXPECT_EQ(json::parse(a)["contacts"], json::parse(c)["contacts"]);
    EXPECT_EQ(json::parse(a)["messages"], json::parse(c)["messages"]);
    EXPECT_EQ(json::parse(a)["tree"], json::parse(c)["tree"]);
}

// A backup whose device name is not UTF-8 and whose manifest holds one record
// 40,000 folders deep still gives valid JSON, beside a good backup of the store.
TEST(ScanEndToEnd, HostileBackupStillGivesValidJson) {
    TempDir dir;
    const auto good = forgeOne(dir, "ios6", 5);
    const std::string hostile = dir / "store/00000000000000000000000000000000000000ff";
    fs::copy(good.path, hostile, fs::copy_options::recursive);

    const auto name = readJson(good.truthPath)["backup"]["strDeviceName"].get<std::string>();
    std::string info = readFile(hostile + "/Info.plist");
    for (std::size_t p; (p = info.find(name)) != std::string::npos;) info.replace(p, name.size(), "Ann\xFF\xC3 \x01");
    writeFile(hostile + "/Info.plist", info);

    forge::FileEntry deep;
    for (int i = 0; i < 15000; ++i) deep.domain += "d/";
    for (int i = 0; i < 25000; ++i) deep.path += "p/";
    deep.domain += "d";
    deep.path += "f";
    const auto record = forge::manifestBytes({deep});
    std::string manifest = readFile(hostile + "/Manifest.mbdb");
    manifest.append(record.begin() + 6, record.end());  // without the file header
    writeFile(hostile + "/Manifest.mbdb", manifest);

    const auto r = runSalvor({"scan", hostile, "--json", "--quiet"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const json scan = json::parse(r.out);
    EXPECT_EQ(scan["backup"]["strDeviceName"], "Ann\xEF\xBF\xBD\xEF\xBF\xBD \x01");
    const json* folder = &scan["tree"].at(0);
    int depth = 0;
    for (bool deeper = true; deeper;) {
        deeper = false;
        for (const auto& c : folder->at("children"))
            if (c["fileName"] == "d" || c["fileName"] == "p") {
                folder = &c;
                deeper = true;
                ++depth;
                break;
            }
    }
    EXPECT_EQ(depth, 40001);
    ASSERT_EQ(folder->at("fileChildren").size(), 1u);
    EXPECT_EQ(folder->at("fileChildren")[0]["dirFilePath"], deep.domain + "/" + deep.path);

    const auto listed = runSalvor({"list", "--store", dir / "store", "--json"});
    ASSERT_EQ(listed.exitCode, 0) << listed.err;
    std::set<std::string> paths;
    for (const auto& e : json::parse(listed.out)) paths.insert(e["backUpFilePath"].get<std::string>());
    EXPECT_EQ(paths, (std::set<std::string>{good.path, hostile}));
}

TEST(ScanEndToEnd, BadFoldersStoresAndUsage) {
    TempDir t;
    // An empty or missing store says so and fails.
    const auto none = runSalvor({"list", "--store", t.path()});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_NE(none.err.find("No backup found in " + t.path() + ".\n"), std::string::npos) << none.err;
    EXPECT_NE(none.err.find("--store DIR"), std::string::npos);
    EXPECT_NE(runSalvor({"list", "--store", t / "missing"}).err.find("(no such folder)"), std::string::npos);
    EXPECT_EQ(runSalvor({"list", "--bogus"}).exitCode, 2);
    auto missing = runSalvor({"scan", t / "nope"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.err.find("no such folder"), std::string::npos);
    writeFile(t / "file", "x");
    EXPECT_EQ(runSalvor({"scan", t / "file"}).exitCode, 1);
    EXPECT_EQ(runSalvor({"scan"}).exitCode, 2);
    EXPECT_EQ(runSalvor({"scan", "a", "b"}).exitCode, 2);
    EXPECT_EQ(runSalvor({"frobnicate"}).exitCode, 2);
    // A folder that is no backup at all still scans, to nothing, and says so.
    fs::create_directories(t / "empty");
    auto r = runSalvor({"scan", t / "empty"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("warning"), std::string::npos);
    EXPECT_NE(r.err.find("no file list (Manifest.mbdb)"), std::string::npos);
}

// A stop signal ends the scan through its normal path: its private copies
// are removed, one line is all it prints, and the exit status names the
// signal. The contacts stage is long (one query per person), and the signal
// comes once it has made a private copy.
TEST(ScanEndToEnd, StopSignalEndsTheScanAndRemovesItsCopies) {
    TempDir dir;
    forge::ForgeOptions options;
    options.scenario = "bench-messages";
    options.scale.contacts = 8000;
    const auto b = forge::forgeStore(dir / "store", options).at(0);
    for (int sig : {SIGINT, SIGQUIT}) {
        const std::string tmp = dir / ("tmp" + std::to_string(sig));
        fs::create_directories(tmp);
        RunningSalvor salvor({"scan", b.path}, {{"TMPDIR", tmp}});
        ASSERT_TRUE(waitFor([&] { return !filesBelow(tmp).empty(); })) << "no private copy was made";
        kill(salvor.pid(), sig);
        const CommandResult r = salvor.wait();
        EXPECT_EQ(r.exitCode, 128 + sig);
        EXPECT_FALSE(r.signalled);
        EXPECT_EQ(r.err + r.out, "salvor: stopped\n");
        EXPECT_TRUE(fs::is_empty(tmp));
    }
}

}  // namespace
}  // namespace salvor::test
