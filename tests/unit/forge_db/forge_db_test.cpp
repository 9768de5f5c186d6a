// The forge's category databases: files open with SQLite, their live rows
// match the expected records, deleted rows keep their bytes, and the output is
// reproducible from the seed.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "forge/db_common.h"
#include "forge/forge.h"

using namespace salvor::forge;
namespace fs = std::filesystem;

namespace {

struct Built {
    BackupPlan plan;
    fs::path dir;
};

fs::path tempDir(const std::string& tag) {
    fs::path d = fs::temp_directory_path() /
                 ("forge_db_test_" + tag + "_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
                  std::to_string(reinterpret_cast<std::uintptr_t>(&tag) & 0xffff));
    fs::remove_all(d);
    fs::create_directories(d);
    return d;
}

Built build(int ios, std::uint64_t seed, const DatabaseScale& scale = {}) {
    Built b;
    b.plan.iosMajor = ios;
    b.dir = tempDir("ios" + std::to_string(ios));
    Rng rng(seed);
    addCategoryDatabases(b.plan, rng, scale, (b.dir / "scratch").string());
    return b;
}

const FileEntry* findFile(const BackupPlan& plan, const std::string& domain, const std::string& path) {
    for (const auto& f : plan.files)
        if (f.domain == domain && f.path == path) return &f;
    return nullptr;
}

// Writes one database of the plan to disk and opens it read-only.
class Db {
public:
    Db(const Built& b, const std::string& domain, const std::string& path) {
        const FileEntry* f = findFile(b.plan, domain, path);
        if (!f) throw std::runtime_error("missing " + path);
        bytes = f->content;
        file = b.dir / db::hashedName(domain, path);
        std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                     static_cast<std::streamsize>(bytes.size()));
        if (sqlite3_open_v2(file.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
            throw std::runtime_error("cannot open " + path);
    }
    ~Db() { sqlite3_close(h); }
    // Every row of a statement, each column as text ("<null>" for NULL).
    std::vector<std::vector<std::string>> rows(const std::string& sql) {
        std::vector<std::vector<std::string>> out;
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(h, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
            ADD_FAILURE() << "prepare failed: " << sql << ": " << sqlite3_errmsg(h);
            return out;
        }
        while (sqlite3_step(st) == SQLITE_ROW) {
            std::vector<std::string> r;
            for (int i = 0; i < sqlite3_column_count(st); ++i) {
                auto t = sqlite3_column_text(st, i);
                r.push_back(t ? reinterpret_cast<const char*>(t) : "<null>");
            }
            out.push_back(std::move(r));
        }
        sqlite3_finalize(st);
        return out;
    }
    bool prepares(const std::string& sql) {
        sqlite3_stmt* st = nullptr;
        int rc = sqlite3_prepare_v2(h, sql.c_str(), -1, &st, nullptr);
        sqlite3_finalize(st);
        return rc == SQLITE_OK;
    }
    std::vector<std::uint8_t> bytes;
    fs::path file;
    sqlite3* h = nullptr;
};

bool contains(const std::vector<std::uint8_t>& hay, const std::string& needle) {
    const std::vector<std::uint8_t> n(needle.begin(), needle.end());
    return std::search(hay.begin(), hay.end(), n.begin(), n.end()) != hay.end();
}

// The schema format number: the big-endian 32-bit value at header offset 44.
std::uint32_t schemaFormat(const std::vector<std::uint8_t>& b) {
    return (std::uint32_t{b.at(44)} << 24) | (std::uint32_t{b.at(45)} << 16) | (std::uint32_t{b.at(46)} << 8) | b.at(47);
}

}  // namespace

TEST(ForgeDbRules, DateTextAndLookup) {
    EXPECT_EQ(db::dateText(0, 1), "01-01-2001 00:00");
    EXPECT_EQ(db::dateText(0, 0), "01-01-2001 00:00");                    // below 1990: counts from 2001
    EXPECT_EQ(db::dateText(1300000000, 0), "03-13-2011 07:06");           // a 1970 reading in 2011
    EXPECT_EQ(db::dateText(380000000, 0), db::dateText(380000000, 1));    // a 1982 reading counts from 2001
    EXPECT_EQ(db::dateText(380000000LL * 1000000000LL + 999, 0), db::dateText(380000000, 1));  // nanoseconds

    std::vector<db::LookupEntry> book = {{"Nobody", "", nullptr}, {"Ann", db::normalisePhone(" (555) 123-4567 555-0000"), nullptr}};
    EXPECT_EQ(db::lookupContact(book, "555-123-4567", false), std::optional<std::size_t>(1));
    EXPECT_FALSE(db::lookupContact(book, "+1 808 999 1234", false));
    // A 7-character number gives a 4-character key: only the relaxed lookup may match.
    std::vector<db::LookupEntry> shortBook = {{"Bo", "5551234", nullptr}};
    EXPECT_TRUE(db::lookupContact(shortBook, "5551234", false));
    EXPECT_FALSE(db::lookupContact(shortBook, "5551234", true));
}

class ForgeDbGeneration : public ::testing::TestWithParam<int> {};

// What a scan cannot show: deleted rows keep their bytes for the carving, the
// file formats are those of each generation, and attachments are stored.
// (Live rows are checked against real extractor output end to end.)
TEST_P(ForgeDbGeneration, DeletedBytesFormatsAndAttachments) {
    const int ios = GetParam();
    Built b = build(ios, 1234);
    const auto& truth = b.plan.truth;
    for (const char* k : {"contacts", "messages", "conversations", "calls", "notes", "bookmarks", "calendar"}) {
        ASSERT_TRUE(truth.contains(k)) << k;
        EXPECT_TRUE(truth[k]["live"].is_array());
        EXPECT_TRUE(truth[k]["deleted"].is_array());
    }
    EXPECT_FALSE(truth["contacts"]["deleted"].empty());
    if (ios == 4) {
        const FileEntry* f = findFile(b.plan, "HomeDomain", "Library/AddressBook/AddressBookImages.sqlitedb");
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f->storedNameOverride, "cd6702cea29fe89cf280a76794405adb17f9a0ee.mddata");
    }

    Db sms(b, "HomeDomain", "Library/SMS/sms.db");
    const auto& dead = truth["messages"]["deleted"];
    ASSERT_FALSE(dead.empty());
    for (const auto& d : dead) EXPECT_TRUE(contains(sms.bytes, d["text"].get<std::string>())) << d["text"];
    if (ios >= 6) {
        for (const auto& m : truth["messages"]["live"]) {
            if (!m["attachmentPath"].is_string()) continue;
            bool found = false;
            for (const auto& f : b.plan.files)
                found |= f.domain == "MediaDomain" && db::hashedName(f.domain, f.path) == m["attachmentPath"];
            EXPECT_TRUE(found) << m["attachmentPath"];
        }
        auto att = sms.rows("select filename from attachment");
        ASSERT_FALSE(att.empty());
        EXPECT_EQ(att[0][0].rfind("~/Library/SMS/Attachments/", 0), 0u);
    }

    // Notes and bookmarks of iOS 4-6 are legacy-format files (0/1 stored as one-byte integers).
    Db notes(b, "HomeDomain", "Library/Notes/notes.sqlite");
    EXPECT_EQ(schemaFormat(notes.bytes), ios <= 6 ? 1u : 4u);
    Db bm(b, "HomeDomain", "Library/Safari/Bookmarks.db");
    EXPECT_EQ(schemaFormat(bm.bytes), ios <= 6 ? 1u : 4u);
    for (const auto& d : truth["bookmarks"]["deleted"]) EXPECT_TRUE(contains(bm.bytes, d["url"].get<std::string>()));
    const FileEntry* hist = findFile(b.plan, "HomeDomain", "Library/Safari/History.plist");
    ASSERT_NE(hist, nullptr);
    EXPECT_EQ(contains(hist->content, "bplist00"), ios >= 6);
    fs::remove_all(b.dir);
}

INSTANTIATE_TEST_SUITE_P(AllGenerations, ForgeDbGeneration, ::testing::Values(4, 5, 6, 7));

TEST(ForgeDb, SameSeedSameBytes) {
    for (int ios : {5, 7}) {
        Built a = build(ios, 99), c = build(ios, 99);
        ASSERT_EQ(a.plan.files.size(), c.plan.files.size());
        for (std::size_t i = 0; i < a.plan.files.size(); ++i) {
            EXPECT_EQ(a.plan.files[i].path, c.plan.files[i].path);
            EXPECT_TRUE(a.plan.files[i].content == c.plan.files[i].content) << a.plan.files[i].path;
        }
        EXPECT_EQ(a.plan.truth, c.plan.truth);
        Built other = build(ios, 100);
        EXPECT_NE(a.plan.truth, other.plan.truth);
        fs::remove_all(a.dir);
        fs::remove_all(c.dir);
        fs::remove_all(other.dir);
    }
}

TEST(ForgeDb, LargeScale) {
    DatabaseScale big;
    big.contacts = 2000;
    big.messages = 20000;
    big.conversations = 200;
    big.calls = 2000;
    Built b = build(7, 5, big);
    const auto& t = b.plan.truth;
    EXPECT_EQ(t["contacts"]["live"].size() + t["contacts"]["deleted"].size(), 2000u);
    EXPECT_EQ(t["messages"]["live"].size() + t["messages"]["deleted"].size(), 20000u);
    EXPECT_LE(t["conversations"]["live"].size(), 200u);
    EXPECT_GE(t["conversations"]["live"].size(), 150u);
    fs::remove_all(b.dir);
}
