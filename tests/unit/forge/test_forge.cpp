// The forge is the referee of the reader tests, so its own output is checked
// here against independent readings: a separate manifest parser
// and the files that are really on disk.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <filesystem>
#include <map>
#include <optional>

#include "forge/forge.h"
#include "support/support.h"

namespace fs = std::filesystem;
using namespace salvor::forge;
using salvor::test::fingerprint;
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
    std::size_t properties = 0;
};

std::vector<ParsedRecord> parseMbdb(const std::vector<std::uint8_t>& b) {
    const std::uint8_t magic[] = {0x6D, 0x62, 0x64, 0x62, 0x05, 0x00};
    if (b.size() < 6 || !std::equal(magic, magic + 6, b.begin())) throw std::runtime_error("bad magic");
    std::size_t pos = 6;
    auto need = [&](std::size_t n) {
        if (pos + n > b.size()) throw std::runtime_error("truncated manifest");
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
        r.mode = static_cast<std::uint16_t>((b[pos] << 8) | b[pos + 1]);
        for (int i = 0; i < 8; ++i) r.size = (r.size << 8) | b[pos + 30 + static_cast<std::size_t>(i)];
        r.properties = b[pos + 39];
        pos += 40;
        for (std::size_t i = 0; i < 2 * r.properties; ++i) str();
        out.push_back(std::move(r));
    }
    return out;
}

std::string kindOfMode(std::uint16_t mode) {
    const std::map<int, std::string> kinds = {{0x8000, "file"}, {0x4000, "dir"}, {0xA000, "link"}};
    return kinds.contains(mode & 0xF000) ? kinds.at(mode & 0xF000) : "?";
}

}  // namespace

// The manifest, read independently, agrees with the truth and with the stored
// files (digest and size of every file present); long paths are hashed whole
// and files kept under a suffixed name are not under the hashed one.
TEST(ForgeManifest, WrittenManifestMatchesTruthAndStoredFiles) {
    TempDir dir;
    const ForgedBackup backup = salvor::test::forgeOne(dir, "ios4", 11);
    const auto records = parseMbdb(readBytes(backup.path + "/Manifest.mbdb"));
    const Json manifest = readJson(backup.truthPath).at("manifest");
    ASSERT_EQ(records.size(), manifest.size());
    bool sawLong = false, sawLink = false, sawTwoProperties = false;
    std::size_t suffixed = 0;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const ParsedRecord& r = records[i];
        const Json& t = manifest[i];
        SCOPED_TRACE(t.dump());
        EXPECT_EQ(r.domain.value_or("?"), t.at("domain").get<std::string>());
        EXPECT_EQ(r.path.value_or("?"), t.at("path").get<std::string>());
        EXPECT_EQ(kindOfMode(r.mode), t.at("kind").get<std::string>());
        EXPECT_FALSE(r.key.has_value());
        EXPECT_EQ(t.at("storedName"), storedName(r.domain.value_or(""), r.path.value_or("")));
        const std::string stored = backup.path + "/" + t.at("storedName").get<std::string>();
        EXPECT_EQ(fs::exists(stored), t.at("stored").get<bool>());
        suffixed += t.contains("storedAs");
        if (t.contains("storedAs")) {
            EXPECT_TRUE(fs::exists(backup.path + "/" + t.at("storedAs").get<std::string>()));
        }
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
            sawLink = sawLink || r.linkTarget.has_value();
        }
        sawLong = sawLong || r.path.value_or("").size() > 300;
        sawTwoProperties = sawTwoProperties || r.properties == 2;
    }
    EXPECT_TRUE(sawLong && sawTwoProperties && sawLink);
    EXPECT_GE(suffixed, 1u);
}

// Byte for byte (by content digest), and the description files' mtimes, which
// are the backup time, are part of the result.
TEST(ForgeStore, SameSeedIsByteIdenticalOtherSeedDiffers) {
    TempDir a, b, c;
    for (auto [d, seed] : {std::pair<TempDir*, std::uint64_t>{&a, 5}, {&b, 5}, {&c, 6}}) {
        ForgeOptions o;
        o.seed = seed;
        o.scenario = "store";
        forgeStore(d->path(), o);
    }
    const auto fa = fingerprint(a.path()), fb = fingerprint(b.path()), fc = fingerprint(c.path());
    ASSERT_EQ(fa.size(), fb.size());
    EXPECT_GT(fa.size(), 50u);
    std::size_t sameInOther = 0;
    for (const auto& [rel, f] : fa) {
        ASSERT_TRUE(fb.contains(rel)) << rel;
        EXPECT_EQ(f.sha1, fb.at(rel).sha1) << rel;
        if (rel.ends_with("/Info.plist")) {
            EXPECT_EQ(f.mtimeNs, fb.at(rel).mtimeNs) << rel;
        }
        sameInOther += fc.contains(rel);
    }
    EXPECT_LE(sameInOther, 1u);  // only the hidden file keeps its name
}

// The benchmark scales: an address book of the asked size with its deleted
// share, and message texts run on to the asked length, each still ending in
// its own row id (what tells carved copies apart).
TEST(ForgeStore, BenchScalesReachTheirSize) {
    TempDir dir;
    ForgeOptions o;
    o.scenario = "bench-contacts";
    o.benchContacts = 300;
    o.scale.deletedPercent = 40;
    o.scale.messages = 30;
    o.scale.messageTextBytes = 400;
    const ForgedBackup b = forgeStore(dir / "store", o).at(0);
    const Json truth = readJson(b.truthPath);
    const std::size_t live = truth["contacts"]["live"].size(), deleted = truth["contacts"]["deleted"].size();
    EXPECT_GE(live + deleted, 300u);
    EXPECT_GE(deleted, 120u);
    std::size_t texts = 0;
    for (const Json& row : truth["messages"]["deleted"]) {
        const std::string text = row["text"].get<std::string>();
        EXPECT_GE(text.size(), 400u);
        EXPECT_TRUE(text.ends_with("(" + std::to_string(row["ROWID"].get<long>()) + ")")) << text;
        ++texts;
    }
    EXPECT_GT(texts, 0u);
}
