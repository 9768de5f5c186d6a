// The forge is the referee of the reader tests, so its own output is checked
// here against independent readings: a separate manifest parser, libplist,
// and the files that are really on disk.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <plist/plist.h>
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

TEST(ForgeStore, StoreLayoutAndDeviceTruth) {
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
    auto text = [](plist_t dict, const char* key) {
        char* s = nullptr;
        plist_get_string_val(plist_dict_get_item(dict, key), &s);
        std::string r = s ? s : "<none>";
        free(s);
        return r;
    };
    for (const auto& b : backups) {
        majors.insert(b.iosMajor);
        EXPECT_EQ(fs::path(b.truthPath).parent_path(), fs::path(dir.path()));
        const Json t = readJson(b.truthPath).at("backup");
        const std::string info = b.path + "/Info.plist", manifestPlist = b.path + "/Manifest.plist";
        ASSERT_TRUE(fs::exists(manifestPlist) && fs::exists(b.path + "/Manifest.mbdb"));
        const std::string described = fs::exists(info) ? info : manifestPlist;
        // The backup time is the description file's modification time, in local time.
        struct stat st {};
        ASSERT_EQ(stat(described.c_str(), &st), 0);
        char when[32];
        std::tm tm{};
        localtime_r(&st.st_mtime, &tm);
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M", &tm);
        EXPECT_EQ(t.at("strDeviceBackUpTime"), when);

        const auto bytes = readBytes(described);
        plist_t root = nullptr;
        plist_from_memory(reinterpret_cast<const char*>(bytes.data()), static_cast<std::uint32_t>(bytes.size()), &root);
        ASSERT_NE(root, nullptr);
        if (std::string(bytes.begin(), bytes.begin() + 6) == "bplist") ++binary;
        if (fs::exists(info)) {
            EXPECT_EQ(t.at("strDeviceSize"), std::to_string(fs::file_size(info)));
            EXPECT_EQ(t.at("strDeviceName"), text(root, "Device Name"));
            EXPECT_EQ(t.at("strDeviceSerial"), text(root, "Serial Number"));
            EXPECT_EQ(t.at("strIOSVersion"), text(root, "Product Version"));
            EXPECT_EQ(t.at("itunesVersion"), text(root, "iTunes Version"));
        } else {
            ++withoutInfo;
            plist_t lockdown = plist_dict_get_item(root, "Lockdown");
            ASSERT_NE(lockdown, nullptr);
            EXPECT_EQ(t.at("strDeviceSize"), "");
            EXPECT_EQ(t.at("strDeviceName"), text(lockdown, "DeviceName"));
            EXPECT_EQ(t.at("itunesVersion"), text(lockdown, "BuildVersion"));
            EXPECT_EQ(t.at("strIOSVersion"), "7.1.2");
            EXPECT_TRUE(t.at("strDeviceType").is_null());  // iPhone6,1 is not in the model table
        }
        plist_free(root);
        if (t.at("strIOSVersion") == "6.1.3") {
            EXPECT_EQ(t.at("strDeviceType"), "iPhone 5");
        }
        EXPECT_EQ(t.at("deviceImage"), "iphone");
    }
    EXPECT_EQ(majors, (std::set<int>{4, 5, 6, 7}));
    EXPECT_EQ(withoutInfo, 1);
    EXPECT_GE(binary, 1);
}

TEST(ForgeStore, MediaAndSocialTruthMatchFilesOnDisk) {
    TempDir dir;
    const auto b = forge(dir.path(), "ios5", 21).at(0);
    const Json truth = readJson(b.truthPath);
    std::map<std::string, Json> photos;
    std::multiset<std::string> photoNames;
    for (const Json& p : truth.at("photos")) {
        const std::string f = b.path + "/" + p.at("filePath").get<std::string>();
        const std::uint64_t size = fs::exists(f) ? fs::file_size(f) : 0;
        EXPECT_EQ(p.at("fileSizeNumber").get<std::uint64_t>(), size) << p.dump();
        EXPECT_EQ(p.at("fileNodeSize"), sizeText(size));
        photos[p.at("fileNodeName").get<std::string>()] = p;
        photoNames.insert(p.at("fileNodeName").get<std::string>());
    }
    EXPECT_EQ(photos.at("IMG_0001.JPG").at("bmov"), 0);
    EXPECT_EQ(photos.at("IMG_0002.MOV").at("bmov"), 1);
    EXPECT_EQ(photos.at("KQRT.mp3").at("bmov"), 1);
    EXPECT_EQ(photos.at("IMG_0004.JPG").at("fileNodeSize"), "0.00B");  // listed, stored file missing
    EXPECT_TRUE(photos.count("thumbnail.jpg"));                          // the over-long HomeDomain path
    EXPECT_TRUE(photos.count("UIApplicationAutomaticSnapshotDefault-Portrait@2x.png"));
    EXPECT_FALSE(photos.count("photo.jpg"));  // a domain the scan does not keep
    EXPECT_EQ(photoNames.count("IMG_0006.JPG"), 2u);

    std::set<std::string> social;
    for (const Json& s : truth.at("social")) {
        const std::string f = b.path + "/" + s.at("faceTwitterFilePath").get<std::string>();
        ASSERT_TRUE(fs::exists(f)) << s.dump();
        EXPECT_EQ(s.at("FileSizeNumber").get<std::uint64_t>(), fs::file_size(f));
        EXPECT_EQ(s.at("fileSize"), sizeText(fs::file_size(f)));
        social.insert(s.at("faceTwitterFileName").get<std::string>());
    }
    for (const char* kept : {"com.atebits.Tweetie2.plist", "img_1.jpg", "empty.dat"}) EXPECT_TRUE(social.count(kept));
    EXPECT_FALSE(social.count("missing_photo.jpg") || social.count("gone.plist"));
    EXPECT_EQ(truth.at("iosMajor"), 5);
}
