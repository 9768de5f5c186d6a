// Backups in the iOS 10 and later format (Manifest.db) through the command:
// listed with their format, scanned into the same file tree, photos, videos
// and social-application files as older backups, hostile rows left out, and
// recovered into the destination only. Encrypted ones are still refused.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <functional>
#include <set>

#include "forge/forge.h"
#include "support/support.h"

namespace salvor::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const std::string kModernEncrypted =
    "salvor: This backup is encrypted: give its password in the environment variable SALVOR_BACKUP_PASSWORD, with "
    "--password-file FILE, or type it when asked (run salvor in a terminal).\n";

const char* const kGenerations[] = {"ios12-modern", "ios15-modern", "ios17-modern"};

forge::ForgedBackup forgeInto(const std::string& store, const std::string& scenario, std::uint64_t seed) {
    forge::ForgeOptions options;
    options.seed = seed;
    options.scenario = scenario;
    return forge::forgeStore(store, options).at(0);
}

void collectFiles(const json& folder, std::vector<json>& out) {
    for (const auto& f : folder["fileChildren"]) out.push_back(f);
    for (const auto& c : folder["children"]) collectFiles(c, out);
}

std::multiset<std::string> digestsBelow(const std::string& dir) {
    std::multiset<std::string> out;
    if (!fs::exists(dir)) return out;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file()) out.insert(sha1Hex(readBytes(e.path().string())));
    return out;
}

TEST(ModernBackup, ListShowsEachFormatAndEncryptedOnesAskForTheirPassword) {
    TempDir dir;
    const std::string store = dir / "store";
    const auto old = forgeInto(store, "ios6", 11);
    const auto modern = forgeInto(store, "ios12-modern", 11);
    forge::ForgeOptions cheap;
    cheap.seed = 11;
    cheap.scenario = "ios16-encrypted";
    cheap.encryption = forge::EncryptionOptions{};
    cheap.encryption->kdfIterations = 1000;  // nothing here derives the key
    const auto encrypted = forge::forgeStore(store, cheap).at(0);

    const auto listed = runSalvor({"list", "--store", store, "--json"});
    ASSERT_EQ(listed.exitCode, 0) << listed.err;
    std::map<std::string, json> byPath;
    for (const auto& e : json::parse(listed.out)) byPath[e["backUpFilePath"]] = e;
    for (const auto* b : {&old, &modern, &encrypted}) {
        const json truth = readJson(b->truthPath)["backup"];
        ASSERT_TRUE(byPath.count(b->path)) << b->path;
        for (auto it = truth.begin(); it != truth.end(); ++it) EXPECT_EQ(byPath[b->path][it.key()], it.value()) << it.key();
    }
    // The table names the format on each row, and remarks only what cannot be read.
    const auto table = runSalvor({"list", "--store", store});
    auto rowOf = [&](const std::string& path) {
        const std::size_t at = table.out.find(path);
        if (at == std::string::npos) return std::string();
        const std::size_t start = table.out.rfind('\n', at) + 1;
        return table.out.substr(start, table.out.find('\n', at) - start);
    };
    EXPECT_NE(table.out.find("Format"), std::string::npos) << table.out;
    EXPECT_NE(rowOf(old.path).find("iOS 4-9 (Manifest.mbdb)"), std::string::npos) << table.out;
    EXPECT_NE(rowOf(modern.path).find("iOS 10+ (Manifest.db)"), std::string::npos) << table.out;
    EXPECT_EQ(rowOf(modern.path).find("not readable"), std::string::npos) << table.out;
    EXPECT_NE(rowOf(encrypted.path).find("(encrypted: needs its password)"), std::string::npos)
        << table.out;

    // Without its password the encrypted one gets one sentence saying how to
    // give it, and leaves no trace anywhere.
    const fs::path work = dir / "work", tmp = dir / "tmp";
    fs::create_directories(work);
    fs::create_directories(tmp);
    const auto before = fingerprint(encrypted.path);
    for (const auto& args : std::vector<std::vector<std::string>>{{"scan", encrypted.path, "--json"},
                                                                  {"recover", encrypted.path, "--to", dir / "out"}}) {
        const auto r = runSalvor(args, work.string(), {{"TMPDIR", tmp.string()}});
        EXPECT_EQ(r.exitCode, 1) << args[0];
        EXPECT_EQ(r.err, kModernEncrypted) << args[0];
        EXPECT_EQ(r.out, "") << args[0];
    }
    EXPECT_EQ(fingerprint(encrypted.path), before);
    EXPECT_TRUE(fs::is_empty(work));
    EXPECT_TRUE(fs::is_empty(tmp));
    EXPECT_FALSE(fs::exists(dir / "out"));
}

// Every generation scans to exactly its truth: photos and videos with the
// library's dates and trash marks, social files, one tree file per usable row;
// hostile rows appear nowhere and the backup is not touched. The category
// records are compared in modern_categories_e2e_test.cpp.
TEST(ModernBackup, ScanGivesExactlyTheTruthForEachGeneration) {
    for (const char* scenario : kGenerations) {
        SCOPED_TRACE(scenario);
        TempDir dir;
        const auto b = forgeInto(dir / "store", scenario, 5);
        const json truth = readJson(b.truthPath);
        const auto before = fingerprint(b.path);
        const auto r = runSalvor({"scan", b.path, "--json"});
        // Missing stored files and refused rows are problems: a partial result.
        EXPECT_EQ(r.exitCode, 1) << r.err;
        const json scan = json::parse(r.out);
        EXPECT_EQ(fingerprint(b.path), before);

        EXPECT_EQ(scan["backup"]["backupFormat"], "manifest-db");
        auto withFolder = [&](json list, const char* key) {
            for (auto& e : list)
                if (e[key].is_string()) e[key] = b.path + "/" + e[key].get<std::string>();
            return list;
        };
        json photos = scan["photos"];
        for (auto& p : photos) p.erase("bSelected");
        EXPECT_EQ(photos, withFolder(withFolder(truth["photos"], "filePath"), "livePhotoVideoPath"));
        // HEIC pictures are photos, one of them recently deleted; a Live
        // Photo's film comes with its picture, not as a video of its own.
        int heic = 0, trashedHeic = 0, livePhotos = 0;
        for (const auto& p : truth["photos"]) {
            const std::string name = p["fileNodeName"];
            if (!name.ends_with(".HEIC")) continue;
            ++heic;
            EXPECT_EQ(p["bmov"], 0) << name;
            trashedHeic += p["bDeleted"].get<int>();
            if (p["livePhotoVideoPath"].is_string()) {
                ++livePhotos;
                for (const auto& q : truth["photos"])
                    EXPECT_NE(q["filePath"], p["livePhotoVideoPath"]) << "film listed on its own";
            }
        }
        EXPECT_EQ(heic, 2);
        EXPECT_EQ(trashedHeic, 1);
        EXPECT_EQ(livePhotos, 1);
        json social = scan["social"];
        for (auto& s : social) s.erase("bSelected");
        EXPECT_EQ(social, withFolder(truth["social"], "faceTwitterFilePath"));
        int trashed = 0;
        for (const auto& p : truth["photos"]) trashed += p["bDeleted"].get<int>();
        EXPECT_GE(trashed, 2);

        ASSERT_EQ(scan["tree"].size(), 1u);
        std::vector<json> files;
        collectFiles(scan["tree"][0], files);
        std::map<std::string, json> byPath;
        for (const auto& f : files) byPath[f["dirFilePath"].get<std::string>()] = f;
        std::set<std::string> want;
        for (const auto& rec : truth["manifest"]) {
            const std::string domainPath = rec["domain"].get<std::string>() + "/" + rec["path"].get<std::string>();
            want.insert(domainPath);
            const auto it = byPath.find(domainPath);
            ASSERT_NE(it, byPath.end()) << domainPath;
            EXPECT_EQ(it->second["filePath"], b.path + "/" + rec["storedName"].get<std::string>());
            EXPECT_EQ(it->second["isFile"], rec["stored"].get<bool>() ? 1 : 0) << domainPath;
            EXPECT_EQ(it->second["realFileSize"], rec["size"]) << domainPath;
        }
        std::set<std::string> got;
        for (const auto& [path, f] : byPath) got.insert(path);
        EXPECT_EQ(got, want);
        EXPECT_EQ(files.size(), truth["manifest"].size());
        for (const auto& f : files) {
            const std::string stored = f["filePath"].get<std::string>();
            EXPECT_EQ(stored.rfind(b.path + "/", 0), 0u) << stored;
            EXPECT_EQ(stored.find(".."), std::string::npos) << stored;
        }

        // Each kind of unusable row is reported once, with its count.
        const int refusedIds = 3, refusedNames = 3;
        ASSERT_EQ(truth["refused"].size(), static_cast<std::size_t>(refusedIds + refusedNames));
        EXPECT_NE(r.err.find("has 3 files with an invalid stored name"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("has 3 files whose path leads outside its folder"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("lists " + std::to_string(truth["missingStored"].get<int>()) + " files that it does not hold"),
                  std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find("has " + std::to_string(truth["undescribed"].get<int>()) + " files without a readable"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(r.err.find("not finished"), std::string::npos) << r.err;
    }
}

void runSql(const std::string& db, const std::string& sql) {
    sqlite3* h = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &h), SQLITE_OK);
    char* message = nullptr;
    EXPECT_EQ(sqlite3_exec(h, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK) << (message ? message : "");
    sqlite3_free(message);
    sqlite3_close(h);
}

// A file list that is no database, lacks its table, or holds values of the
// wrong types costs the scan what it cannot read, with a sentence, and
// nothing else.
TEST(ModernBackup, DamagedFileListIsReportedNotFatal) {
    struct Case {
        const char* name;
        std::function<void(const std::string& db)> damage;
        const char* problem;
        std::size_t treeFiles;
    };
    const std::vector<Case> cases = {
        {"not a database", [](const std::string& db) { writeFile(db, std::string(5000, 'x')); },
         "(Manifest.db) cannot be read: it cannot be opened as a database", 0},
        {"no Files table", [](const std::string& db) { runSql(db, "DROP TABLE Files"); },
         "(Manifest.db) cannot be read: it has no Files table", 0},
        {"Files is a view", [](const std::string& db) {
             runSql(db, "ALTER TABLE Files RENAME TO F2; CREATE VIEW Files AS WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL "
                        "SELECT i + 1 FROM n) SELECT printf('%040x', i) AS fileID, 'HomeDomain' AS domain, "
                        "'x' || i AS relativePath, 1 AS flags, NULL AS file FROM n");
         },
         "(Manifest.db) cannot be read: it has no Files table", 0},
        {"wrong types", [](const std::string& db) {
             runSql(db, "DELETE FROM Files; INSERT INTO Files VALUES (12345, 'HomeDomain', 'Library/a', 1, NULL);"
                        "INSERT INTO Files VALUES ('0123456789abcdef0123456789abcdef01234567', 'HomeDomain', "
                        "x'4c6962726172792f62', 'one', 'not an archive');"
                        "INSERT INTO Files VALUES ('1123456789abcdef0123456789abcdef01234567', NULL, NULL, NULL, x'00')");
         },
         "has 1 file with an invalid stored name", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const auto b = forgeInto(dir / "store", "ios12-modern", 2);
        c.damage(b.path + "/Manifest.db");
        const auto before = fingerprint(b.path);
        const auto r = runSalvor({"scan", b.path, "--json"});
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_NE(r.err.find(c.problem), std::string::npos) << r.err;
        const json scan = json::parse(r.out);
        std::vector<json> files;
        if (!scan["tree"].empty()) collectFiles(scan["tree"][0], files);
        EXPECT_EQ(files.size(), c.treeFiles);
        EXPECT_TRUE(scan["photos"].empty());
        EXPECT_EQ(fingerprint(b.path), before);
    }
}

TEST(ModernBackup, UnfinishedSnapshotIsWarnedAndStillScanned) {
    TempDir dir;
    const auto b = forgeInto(dir / "store", "ios15-modern-unfinished", 8);
    const json truth = readJson(b.truthPath);
    ASSERT_FALSE(truth["snapshotFinished"].get<bool>());
    const auto r = runSalvor({"scan", b.path});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("The backup was not finished (its snapshot state is \"uploading\")"), std::string::npos)
        << r.err;
    // The summary still counts what the backup holds.
    EXPECT_NE(r.out.find("Photos & videos"), std::string::npos) << r.out;
    const auto j = runSalvor({"scan", b.path, "--json"});
    EXPECT_EQ(json::parse(j.out)["photos"].size(), truth["photos"].size());
}

TEST(ModernBackup, RecoverAllWritesThePhotosIntoTheDestinationOnly) {
    TempDir dir;
    const auto b = forgeInto(dir / "store", "ios17-modern", 3);
    const json truth = readJson(b.truthPath);
    const fs::path work = dir / "work", tmp = dir / "tmp";
    fs::create_directories(work);
    fs::create_directories(tmp);
    const auto before = fingerprint(b.path);
    const std::string dest = dir / "out";
    const auto r = runSalvor({"recover", b.path, "--all", "--to", dest}, work.string(), {{"TMPDIR", tmp.string()}});
    EXPECT_NE(r.exitCode, 2) << r.err;

    // Every photo and video with its bytes, a Live Photo's film beside its picture.
    std::multiset<std::string> photos;
    for (const auto& p : truth["photos"]) {
        if (p["fileSizeNumber"].get<std::uint64_t>() > 0)
            photos.insert(sha1Hex(readBytes(b.path + "/" + p["filePath"].get<std::string>())));
        if (p["livePhotoVideoPath"].is_string())
            photos.insert(sha1Hex(readBytes(b.path + "/" + p["livePhotoVideoPath"].get<std::string>())));
    }
    EXPECT_EQ(digestsBelow(dest + "/Photo&Video"), photos);
    // No stored file of a refused row reaches the destination.
    const auto written = digestsBelow(dest);
    for (const auto& row : truth["refused"]) {
        const std::string id = row["fileID"].get<std::string>();
        if (id.size() < 2 || id.find('/') != std::string::npos) continue;
        const std::string stored = b.path + "/" + id.substr(0, 2) + "/" + id;
        if (fs::exists(stored)) {
            EXPECT_EQ(written.count(sha1Hex(readBytes(stored))), 0u) << id;
        }
    }
    for (const auto& f : filesBelow(dest)) EXPECT_EQ(fs::path(f).lexically_normal().string().rfind(dest + "/", 0), 0u);
    EXPECT_EQ(fingerprint(b.path), before);
    EXPECT_TRUE(fs::is_empty(work));
    EXPECT_TRUE(fs::is_empty(tmp));
}

}  // namespace
}  // namespace salvor::test
