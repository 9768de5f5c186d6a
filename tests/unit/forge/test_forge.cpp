// The forge is the referee of the reader tests, so its own output is checked
// here against independent readings: a separate manifest parser, libplist,
// and the files that are really on disk.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <plist/plist.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <set>

#include "forge/forge.h"

namespace fs = std::filesystem;
using salvor::forge::FileEntry;
using salvor::forge::ForgedBackup;
using salvor::forge::ForgeOptions;
using salvor::forge::forgeStore;
using Json = nlohmann::json;

namespace {

struct ScratchDir {
    fs::path path;
    ScratchDir() {
        std::string pattern = (fs::temp_directory_path() / "forge-test-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path = pattern;
    }
    ~ScratchDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

std::vector<std::uint8_t> readAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Json readJson(const std::string& p) {
    std::ifstream in(p);
    return Json::parse(in);
}

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

class MbdbParser {
public:
    explicit MbdbParser(std::vector<std::uint8_t> bytes) : b_(std::move(bytes)) {}
    std::vector<ParsedRecord> parse() {
        const std::uint8_t magic[] = {0x6D, 0x62, 0x64, 0x62, 0x05, 0x00};
        if (b_.size() < 6 || !std::equal(magic, magic + 6, b_.begin())) throw std::runtime_error("bad magic");
        pos_ = 6;
        std::vector<ParsedRecord> out;
        while (pos_ < b_.size()) {
            ParsedRecord r;
            r.domain = str();
            r.path = str();
            r.linkTarget = str();
            r.digest = str();
            r.key = str();
            need(40);
            r.mode = static_cast<std::uint16_t>(num(0, 2));
            r.size = num(30, 8);
            const unsigned count = b_[pos_ + 39];
            pos_ += 40;
            for (unsigned i = 0; i < count; ++i) {
                auto name = str();
                auto value = str();
                r.properties.emplace_back(name, value);
            }
            out.push_back(std::move(r));
        }
        return out;
    }

private:
    void need(std::size_t n) const {
        if (pos_ + n > b_.size()) throw std::runtime_error("truncated manifest");
    }
    std::uint64_t num(std::size_t at, int width) const {
        std::uint64_t v = 0;
        for (int i = 0; i < width; ++i) v = (v << 8) | b_[pos_ + at + static_cast<std::size_t>(i)];
        return v;
    }
    std::optional<std::string> str() {
        need(2);
        const std::size_t len = (std::size_t{b_[pos_]} << 8) | b_[pos_ + 1];
        pos_ += 2;
        if (len == 0xFFFF) return std::nullopt;
        need(len);
        std::string s(b_.begin() + static_cast<std::ptrdiff_t>(pos_), b_.begin() + static_cast<std::ptrdiff_t>(pos_ + len));
        pos_ += len;
        return s;
    }
    std::vector<std::uint8_t> b_;
    std::size_t pos_ = 0;
};

const char* kindOfMode(std::uint16_t mode) {
    switch (mode & 0xF000) {
    case 0x8000: return "file";
    case 0x4000: return "dir";
    case 0xA000: return "link";
    }
    return "?";
}

std::vector<ForgedBackup> forge(const fs::path& dir, const std::string& scenario, std::uint64_t seed) {
    ForgeOptions o;
    o.seed = seed;
    o.scenario = scenario;
    return forgeStore(dir.string(), o);
}

}  // namespace

TEST(ForgeNames, StoredNameAndSizeText) {
    EXPECT_EQ(salvor::forge::storedName("HomeDomain", "Library/SMS/sms.db"), "3d0d7e5fb2ce288813306e4d4636395e047a3d28");
    EXPECT_EQ(salvor::forge::sizeText(0), "0.00B");
    EXPECT_EQ(salvor::forge::sizeText(999), "999.00B");
    EXPECT_EQ(salvor::forge::sizeText(1000), "1.00K");
    EXPECT_EQ(salvor::forge::sizeText(999999), "1000.00K");
    EXPECT_EQ(salvor::forge::sizeText(1536000), "1.54M");
    EXPECT_EQ(salvor::forge::mediaKind("Media/DCIM/100APPLE/IMG_0001.JPG"), 0);
    EXPECT_EQ(salvor::forge::mediaKind("a/b.3dm"), 0);
    EXPECT_EQ(salvor::forge::mediaKind("a/b.3gp"), 1);
    EXPECT_EQ(salvor::forge::mediaKind("voice.m4a"), 1);
    EXPECT_EQ(salvor::forge::mediaKind("x.plist"), -1);
    EXPECT_EQ(salvor::forge::mediaKind("dir.jpg/noext"), -1);
}

TEST(ForgeManifest, HandMadeEntriesParseBack) {
    FileEntry file;
    file.domain = "HomeDomain";
    file.path = std::string(310, 'p');
    file.content = {1, 2, 3};
    file.properties = {{"a", "1"}, {"b", ""}};
    FileEntry dir;
    dir.domain = "MediaDomain";
    dir.path = "";
    dir.kind = FileEntry::Kind::Directory;
    FileEntry link;
    link.domain = "HomeDomain";
    link.path = "l";
    link.kind = FileEntry::Kind::Link;
    link.linkTarget = "target";
    const auto records = MbdbParser(salvor::forge::manifestBytes({file, dir, link})).parse();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].path, file.path);
    EXPECT_FALSE(records[0].linkTarget.has_value());
    EXPECT_EQ(records[0].digest, sha1Raw(file.content));
    EXPECT_FALSE(records[0].key.has_value());
    EXPECT_EQ(records[0].size, 3u);
    ASSERT_EQ(records[0].properties.size(), 2u);
    EXPECT_EQ(records[0].properties[1].first, "b");
    EXPECT_EQ(records[0].properties[1].second, "");  // empty, not absent
    EXPECT_STREQ(kindOfMode(records[1].mode), "dir");
    EXPECT_EQ(records[1].path, "");
    EXPECT_FALSE(records[1].digest.has_value());
    EXPECT_STREQ(kindOfMode(records[2].mode), "link");
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
    const Json truth = readJson(backup.truthPath);
    const auto records = MbdbParser(readAll(fs::path(backup.path) / "Manifest.mbdb")).parse();
    const Json& manifest = truth.at("manifest");
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
        // Long paths are hashed whole.
        EXPECT_EQ(t.at("storedName"), salvor::forge::storedName(r.domain.value_or(""), r.path.value_or("")));
        const fs::path stored = fs::path(backup.path) / t.at("storedName").get<std::string>();
        EXPECT_EQ(fs::exists(stored), t.at("stored").get<bool>());
        if (t.at("kind") == "file") {
            EXPECT_TRUE(r.digest.has_value() && r.digest->size() == 20u);
            if (t.at("stored").get<bool>()) {
                EXPECT_EQ(r.digest.value_or(""), sha1Raw(readAll(stored)));
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
    ScratchDir dir;
    const auto backups = forge(dir.path, "ios4", 11);
    ASSERT_EQ(backups.size(), 1u);
    const ManifestStats stats = checkManifest(backups[0]);
    EXPECT_TRUE(stats.sawLong);
    EXPECT_TRUE(stats.sawTwoProperties);
    EXPECT_TRUE(stats.sawLink);
    // Files kept under a suffixed name are there, but not under the hashed name.
    std::size_t suffixed = 0;
    const Json truth = readJson(backups[0].truthPath);
    for (const Json& t : truth.at("manifest")) {
        if (!t.contains("storedAs")) continue;
        ++suffixed;
        EXPECT_FALSE(t.at("stored").get<bool>());
        EXPECT_TRUE(fs::exists(fs::path(backups[0].path) / t.at("storedAs").get<std::string>()));
    }
    EXPECT_GE(suffixed, 1u);
}

TEST(ForgeManifest, BenchScenariosHonourTheirSizes) {
    ScratchDir dir;
    ForgeOptions o;
    o.scenario = "bench-manifest";
    o.manifestRecords = 1500;
    const auto manifestBackups = forgeStore((dir.path / "m").string(), o);
    ASSERT_EQ(manifestBackups.size(), 1u);
    EXPECT_EQ(checkManifest(manifestBackups[0]).records, 1500u);

    o.scenario = "bench-media";
    o.mediaBytes = 3'000'000;
    const auto mediaBackups = forgeStore((dir.path / "p").string(), o);
    ASSERT_EQ(mediaBackups.size(), 1u);
    checkManifest(mediaBackups[0]);  // streamed content: digests and sizes must still agree
    std::uint64_t large = 0;
    const Json mediaTruth = readJson(mediaBackups[0].truthPath);
    for (const Json& p : mediaTruth.at("photos"))
        if (p.at("fileSizeNumber").get<std::uint64_t>() > 1'000'000) large += p.at("fileSizeNumber").get<std::uint64_t>();
    EXPECT_GE(large, 3'000'000u);
}

TEST(ForgeStore, SameSeedIsByteIdenticalOtherSeedDiffers) {
    ScratchDir a, b, c;
    forge(a.path, "store", 5);
    forge(b.path, "store", 5);
    forge(c.path, "store", 6);
    std::map<std::string, std::vector<std::uint8_t>> filesA;
    for (const auto& e : fs::recursive_directory_iterator(a.path))
        if (e.is_regular_file()) filesA[fs::relative(e.path(), a.path).string()] = readAll(e.path());
    std::size_t compared = 0;
    for (const auto& e : fs::recursive_directory_iterator(b.path)) {
        if (!e.is_regular_file()) continue;
        const std::string rel = fs::relative(e.path(), b.path).string();
        ASSERT_TRUE(filesA.count(rel)) << rel;
        EXPECT_TRUE(filesA[rel] == readAll(e.path())) << rel << " differs";
        ++compared;
    }
    EXPECT_EQ(compared, filesA.size());
    EXPECT_GT(compared, 50u);
    for (const auto& [rel, bytes] : filesA) {
        if (rel.size() <= 41 || rel.substr(40, 1) != "/") continue;
        // Mtimes of the description files are part of the result (the backup time).
        if (rel.ends_with("/Info.plist")) {
            EXPECT_EQ(fs::last_write_time(a.path / rel), fs::last_write_time(b.path / rel));
        }
    }
    std::size_t sameInOther = 0;
    for (const auto& e : fs::recursive_directory_iterator(c.path))
        if (e.is_regular_file() && filesA.count(fs::relative(e.path(), c.path).string())) ++sameInOther;
    EXPECT_LE(sameInOther, 1u);  // only the hidden file keeps its name
}

TEST(ForgeStore, StoreLayoutAndDeviceTruth) {
    ScratchDir dir;
    const auto backups = forge(dir.path, "store", 3);
    ASSERT_EQ(backups.size(), 4u);
    EXPECT_TRUE(fs::is_regular_file(dir.path / ".DS_Store"));
    int singleFile = 0, empty = 0, backupsSeen = 0;
    for (const auto& e : fs::directory_iterator(dir.path)) {
        if (!e.is_directory()) continue;
        const auto n = std::distance(fs::directory_iterator(e.path()), fs::directory_iterator());
        if (n == 0) ++empty;
        else if (n == 1) ++singleFile;
        else ++backupsSeen;
    }
    EXPECT_EQ(singleFile, 1);
    EXPECT_EQ(empty, 1);
    EXPECT_EQ(backupsSeen, 4);

    std::set<int> majors;
    int withoutInfo = 0, binary = 0;
    for (const auto& b : backups) {
        majors.insert(b.iosMajor);
        EXPECT_EQ(fs::path(b.truthPath).parent_path(), dir.path);
        const Json t = readJson(b.truthPath).at("backup");
        const fs::path info = fs::path(b.path) / "Info.plist";
        const fs::path manifestPlist = fs::path(b.path) / "Manifest.plist";
        ASSERT_TRUE(fs::exists(manifestPlist));
        ASSERT_TRUE(fs::exists(fs::path(b.path) / "Manifest.mbdb"));
        const fs::path described = fs::exists(info) ? info : manifestPlist;
        // The backup time is the description file's modification time, in local time.
        struct stat st {};
        ASSERT_EQ(stat(described.c_str(), &st), 0);
        char when[32];
        std::tm tm{};
        localtime_r(&st.st_mtime, &tm);
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M", &tm);
        EXPECT_EQ(t.at("strDeviceBackUpTime"), when);

        const auto bytes = readAll(described);
        plist_t root = nullptr;
        plist_from_memory(reinterpret_cast<const char*>(bytes.data()), static_cast<std::uint32_t>(bytes.size()), &root);
        ASSERT_NE(root, nullptr);
        if (std::string(bytes.begin(), bytes.begin() + 6) == "bplist") ++binary;
        auto text = [](plist_t dict, const char* key) {
            char* s = nullptr;
            plist_get_string_val(plist_dict_get_item(dict, key), &s);
            std::string r = s ? s : "<none>";
            free(s);
            return r;
        };
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
        if (t.at("strIOSVersion") == "5.1.1") {
            EXPECT_EQ(t.at("strDeviceType"), "iPhone 4S");
        }
        EXPECT_EQ(t.at("deviceImage"), "iphone");
    }
    EXPECT_EQ(majors, (std::set<int>{4, 5, 6, 7}));
    EXPECT_EQ(withoutInfo, 1);
    EXPECT_GE(binary, 1);
}

TEST(ForgeStore, MediaAndSocialTruthMatchFilesOnDisk) {
    ScratchDir dir;
    const auto backups = forge(dir.path, "ios5", 21);
    ASSERT_EQ(backups.size(), 1u);
    const fs::path folder = backups[0].path;
    const Json truth = readJson(backups[0].truthPath);
    std::map<std::string, Json> photosByName;
    for (const Json& p : truth.at("photos")) {
        const fs::path f = folder / p.at("filePath").get<std::string>();
        const std::uint64_t size = fs::exists(f) ? fs::file_size(f) : 0;
        EXPECT_EQ(p.at("fileSizeNumber").get<std::uint64_t>(), size) << p.dump();
        EXPECT_EQ(p.at("fileNodeSize"), salvor::forge::sizeText(size));
        photosByName[p.at("fileNodeName").get<std::string>()] = p;
    }
    EXPECT_EQ(photosByName.at("IMG_0001.JPG").at("bmov"), 0);
    EXPECT_EQ(photosByName.at("IMG_0002.MOV").at("bmov"), 1);
    EXPECT_EQ(photosByName.at("KQRT.mp3").at("bmov"), 1);
    EXPECT_EQ(photosByName.at("IMG_0004.JPG").at("fileNodeSize"), "0.00B");  // listed, stored file missing
    EXPECT_FALSE(fs::exists(folder / photosByName.at("IMG_0004.JPG").at("filePath").get<std::string>()));
    EXPECT_TRUE(photosByName.count("thumbnail.jpg"));  // the over-long HomeDomain path
    EXPECT_TRUE(photosByName.count("UIApplicationAutomaticSnapshotDefault-Portrait@2x.png"));
    EXPECT_FALSE(photosByName.count("photo.jpg"));  // a domain the scan does not keep
    const auto twice = std::count_if(truth.at("photos").begin(), truth.at("photos").end(),
                                     [](const Json& p) { return p.at("fileNodeName") == "IMG_0006.JPG"; });
    EXPECT_EQ(twice, 2);

    std::set<std::string> socialNames;
    for (const Json& s : truth.at("social")) {
        const fs::path f = folder / s.at("faceTwitterFilePath").get<std::string>();
        ASSERT_TRUE(fs::exists(f)) << s.dump();
        EXPECT_EQ(s.at("FileSizeNumber").get<std::uint64_t>(), fs::file_size(f));
        EXPECT_EQ(s.at("fileSize"), salvor::forge::sizeText(fs::file_size(f)));
        socialNames.insert(s.at("faceTwitterFileName").get<std::string>());
    }
    EXPECT_TRUE(socialNames.count("com.atebits.Tweetie2.plist"));
    EXPECT_TRUE(socialNames.count("img_1.jpg"));
    EXPECT_TRUE(socialNames.count("empty.dat"));
    EXPECT_FALSE(socialNames.count("missing_photo.jpg"));
    EXPECT_FALSE(socialNames.count("gone.plist"));
    EXPECT_TRUE(truth.at("backup").is_object());
    EXPECT_EQ(truth.at("iosMajor"), 5);
}
