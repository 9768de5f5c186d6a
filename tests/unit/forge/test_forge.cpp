// The forge is the referee of the reader tests, so its own output is checked
// here against independent readings: a separate manifest parser
// and the files that are really on disk.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <set>

#include "forge/forge.h"
#include "support/support.h"

namespace fs = std::filesystem;
using namespace salvor::forge;
using salvor::test::readBytes;
using salvor::test::readJson;
using salvor::test::TempDir;
using Json = nlohmann::json;

namespace {

std::string sha1Raw(const std::vector<std::uint8_t>& data) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), md, &len, EVP_sha1(), nullptr);
    return std::string(reinterpret_cast<const char*>(md), len);
}

// A deliberately separate, strict reader of the manifest format.
struct ParsedRecord {
    std::optional<std::string> domain, path, linkTarget, digest, key;
    std::uint16_t mode = 0;
    std::uint64_t size = 0;
    std::vector<std::pair<std::optional<std::string>, std::optional<std::string>>> properties;
};

std::vector<ParsedRecord> parseMbdb(const std::vector<std::uint8_t>& b) {
    const std::uint8_t magic[] = {0x6D, 0x62, 0x64, 0x62, 0x05, 0x00};
    if (b.size() < 6 || !std::equal(magic, magic + 6, b.begin())) throw std::runtime_error("bad magic");
    std::size_t pos = 6;
    auto need = [&](std::size_t n) {
        if (pos + n > b.size()) throw std::runtime_error("truncated manifest");
    };
    auto num = [&](std::size_t at, int width) {
        std::uint64_t v = 0;
        for (int i = 0; i < width; ++i) v = (v << 8) | b[pos + at + static_cast<std::size_t>(i)];
        return v;
    };
    auto str = [&]() -> std::optional<std::string> {
        need(2);
        const std::size_t len = (std::size_t{b[pos]} << 8) | b[pos + 1];
        pos += 2;
        if (len == 0xFFFF) return std::nullopt;
        need(len);
        pos += len;
        return std::string(b.begin() + static_cast<std::ptrdiff_t>(pos - len), b.begin() + static_cast<std::ptrdiff_t>(pos));
    };
    std::vector<ParsedRecord> out;
    while (pos < b.size()) {
        ParsedRecord r;
        r.domain = str(), r.path = str(), r.linkTarget = str(), r.digest = str(), r.key = str();
        need(40);
        r.mode = static_cast<std::uint16_t>(num(0, 2));
        r.size = num(30, 8);
        const unsigned count = b[pos + 39];
        pos += 40;
        for (unsigned i = 0; i < count; ++i) {
            auto name = str();
            r.properties.emplace_back(name, str());
        }
        out.push_back(std::move(r));
    }
    return out;
}

std::string kindOfMode(std::uint16_t mode) {
    switch (mode & 0xF000) {
    case 0x8000: return "file";
    case 0x4000: return "dir";
    case 0xA000: return "link";
    }
    return "?";
}

std::vector<ForgedBackup> forge(const std::string& dir, const std::string& scenario, std::uint64_t seed) {
    ForgeOptions o;
    o.seed = seed;
    o.scenario = scenario;
    return forgeStore(dir, o);
}

}  // namespace

TEST(ForgeNames, StoredNameSizeTextAndMediaKind) {
    EXPECT_EQ(storedName("HomeDomain", "Library/SMS/sms.db"), "3d0d7e5fb2ce288813306e4d4636395e047a3d28");
    EXPECT_EQ(sizeText(999), "999.00B");
    EXPECT_EQ(sizeText(999999), "1000.00K");
    EXPECT_EQ(sizeText(1536000), "1.54M");
    EXPECT_EQ(mediaKind("a/b.3dm"), 0);
    EXPECT_EQ(mediaKind("a/b.3gp"), 1);
    EXPECT_EQ(mediaKind("dir.jpg/noext"), -1);
}

TEST(ForgeManifest, HandMadeEntriesParseBack) {
    FileEntry file, dir, link;
    file.domain = "HomeDomain";
    file.path = std::string(310, 'p');
    file.content = {1, 2, 3};
    file.properties = {{"a", "1"}, {"b", ""}};
    dir.domain = "MediaDomain";
    dir.kind = FileEntry::Kind::Directory;
    link.domain = "HomeDomain";
    link.path = "l";
    link.kind = FileEntry::Kind::Link;
    link.linkTarget = "target";
    const auto records = parseMbdb(manifestBytes({file, dir, link}));
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].path, file.path);
    EXPECT_FALSE(records[0].linkTarget.has_value());
    EXPECT_EQ(records[0].digest, sha1Raw(file.content));
    EXPECT_FALSE(records[0].key.has_value());
    EXPECT_EQ(records[0].size, 3u);
    ASSERT_EQ(records[0].properties.size(), 2u);
    EXPECT_EQ(records[0].properties[1].second, "");  // empty, not absent
    EXPECT_EQ(kindOfMode(records[1].mode), "dir");
    EXPECT_EQ(records[1].path, "");
    EXPECT_FALSE(records[1].digest.has_value());
    EXPECT_EQ(kindOfMode(records[2].mode), "link");
    EXPECT_EQ(records[2].linkTarget, "target");
}

struct ManifestStats {
    std::size_t records = 0;
    bool sawLong = false, sawTwoProperties = false, sawLink = false;
};

// Reads the backup's manifest independently and checks it against the truth
// and against the stored files (digest and size of every file present).
ManifestStats checkManifest(const ForgedBackup& backup) {
    ManifestStats stats;
    const auto records = parseMbdb(readBytes(backup.path + "/Manifest.mbdb"));
    const Json manifest = readJson(backup.truthPath).at("manifest");
    EXPECT_EQ(records.size(), manifest.size());
    stats.records = records.size();
    for (std::size_t i = 0; i < records.size() && i < manifest.size(); ++i) {
        const ParsedRecord& r = records[i];
        const Json& t = manifest[i];
        SCOPED_TRACE(t.dump());
        EXPECT_EQ(r.domain.value_or("?"), t.at("domain").get<std::string>());
        EXPECT_EQ(r.path.value_or("?"), t.at("path").get<std::string>());
        EXPECT_EQ(kindOfMode(r.mode), t.at("kind").get<std::string>());
        EXPECT_FALSE(r.key.has_value());
        EXPECT_EQ(t.at("storedName"), storedName(r.domain.value_or(""), r.path.value_or("")));  // long paths hashed whole
        const std::string stored = backup.path + "/" + t.at("storedName").get<std::string>();
        EXPECT_EQ(fs::exists(stored), t.at("stored").get<bool>());
        if (t.at("kind") == "file") {
            EXPECT_TRUE(r.digest.has_value() && r.digest->size() == 20u);
            if (t.at("stored").get<bool>()) {
                EXPECT_EQ(r.digest.value_or(""), sha1Raw(readBytes(stored)));
                EXPECT_EQ(r.size, fs::file_size(stored));
                EXPECT_EQ(t.at("size").get<std::uint64_t>(), r.size);
            }
        } else {
            EXPECT_FALSE(r.digest.has_value());
            EXPECT_EQ(r.linkTarget.has_value(), t.at("kind") == "link");
            stats.sawLink = stats.sawLink || r.linkTarget.has_value();
        }
        stats.sawLong = stats.sawLong || r.path.value_or("").size() > 300;
        stats.sawTwoProperties = stats.sawTwoProperties || r.properties.size() == 2;
    }
    return stats;
}

TEST(ForgeManifest, WrittenManifestMatchesTruthAndStoredFiles) {
    TempDir dir;
    const auto backups = forge(dir.path(), "ios4", 11);
    ASSERT_EQ(backups.size(), 1u);
    const ManifestStats stats = checkManifest(backups[0]);
    EXPECT_TRUE(stats.sawLong && stats.sawTwoProperties && stats.sawLink);
    // Files kept under a suffixed name are there, but not under the hashed name.
    std::size_t suffixed = 0;
    const Json truth = readJson(backups[0].truthPath);  // kept alive for the loop below
    for (const Json& t : truth.at("manifest")) {
        if (!t.contains("storedAs")) continue;
        ++suffixed;
        EXPECT_FALSE(t.at("stored").get<bool>());
        EXPECT_TRUE(fs::exists(backups[0].path + "/" + t.at("storedAs").get<std::string>()));
    }
    EXPECT_GE(suffixed, 1u);
}

TEST(ForgeManifest, BenchScenariosHonourTheirSizes) {
    TempDir dir;
    ForgeOptions o;
    o.scenario = "bench-manifest";
    o.manifestRecords = 1500;
    EXPECT_EQ(checkManifest(forgeStore(dir / "m", o).at(0)).records, 1500u);

    o.scenario = "bench-media";
    o.mediaBytes = 3'000'000;
    const auto media = forgeStore(dir / "p", o).at(0);
    checkManifest(media);  // streamed content: digests and sizes must still agree
    std::uint64_t large = 0;
    const Json mediaTruth = readJson(media.truthPath);
    for (const Json& p : mediaTruth.at("photos"))
        if (p.at("fileSizeNumber").get<std::uint64_t>() > 1'000'000) large += p.at("fileSizeNumber").get<std::uint64_t>();
    EXPECT_GE(large, 3'000'000u);
}

TEST(ForgeStore, SameSeedIsByteIdenticalOtherSeedDiffers) {
    TempDir a, b, c;
    forge(a.path(), "store", 5);
    forge(b.path(), "store", 5);
    forge(c.path(), "store", 6);
    auto files = [](const std::string& root) {
        std::map<std::string, std::vector<std::uint8_t>> out;
        for (const auto& e : fs::recursive_directory_iterator(root))
            if (e.is_regular_file()) out[fs::relative(e.path(), root).string()] = readBytes(e.path().string());
        return out;
    };
    const auto filesA = files(a.path()), filesC = files(c.path());
    EXPECT_TRUE(filesA == files(b.path()));
    EXPECT_GT(filesA.size(), 50u);
    // The description files' mtimes are the backup time, so they are part of the result.
    for (const auto& [rel, bytes] : filesA)
        if (rel.ends_with("/Info.plist")) {
            EXPECT_EQ(fs::last_write_time(a / rel), fs::last_write_time(b / rel));
        }
    std::size_t sameInOther = 0;
    for (const auto& [rel, bytes] : filesC) sameInOther += filesA.count(rel);
    EXPECT_LE(sameInOther, 1u);  // only the hidden file keeps its name
}

// The store scenario holds what discovery must see through: a hidden file, an
// empty folder, a one-file folder and four backups, one without Info.plist and
// one with binary lists. (Device fields are checked end to end against the reader.)
TEST(ForgeStore, StoreLayout) {
    TempDir dir;
    const auto backups = forge(dir.path(), "store", 3);
    ASSERT_EQ(backups.size(), 4u);
    EXPECT_TRUE(fs::is_regular_file(dir / ".DS_Store"));
    std::multiset<long> entryCounts;  // per folder: empty, single file, or a backup
    for (const auto& e : fs::directory_iterator(dir.path()))
        if (e.is_directory())
            entryCounts.insert(std::min<long>(2, std::distance(fs::directory_iterator(e.path()), fs::directory_iterator())));
    EXPECT_EQ(entryCounts, (std::multiset<long>{0, 1, 2, 2, 2, 2}));
    std::set<int> majors;
    int withoutInfo = 0, binary = 0;
    for (const auto& b : backups) {
        majors.insert(b.iosMajor);
        EXPECT_EQ(fs::path(b.truthPath).parent_path(), fs::path(dir.path()));
        ASSERT_TRUE(fs::exists(b.path + "/Manifest.plist") && fs::exists(b.path + "/Manifest.mbdb"));
        withoutInfo += !fs::exists(b.path + "/Info.plist");
        binary += salvor::test::readFile(b.path + "/Manifest.plist").rfind("bplist", 0) == 0;
    }
    EXPECT_EQ(majors, (std::set<int>{4, 5, 6, 7}));
    EXPECT_EQ(withoutInfo, 1);
    EXPECT_GE(binary, 1);
}
