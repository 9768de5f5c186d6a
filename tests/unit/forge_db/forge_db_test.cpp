// The forge's category databases: files open with SQLite, their live rows
// match the expected records, deleted rows keep their bytes, and the output is
// reproducible from the seed.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "forge/db_common.h"
#include "forge/forge.h"
#include "support/support.h"

using namespace salvor::forge;

namespace {

struct Built {
    BackupPlan plan;
    std::unique_ptr<salvor::test::TempDir> dir = std::make_unique<salvor::test::TempDir>();
};

Built build(int ios, std::uint64_t seed, const DatabaseScale& scale = {}, int pageSize = 4096) {
    Built b;
    b.plan.iosMajor = ios;
    b.plan.dbPageSize = pageSize;
    Rng rng(seed);
    addCategoryDatabases(b.plan, rng, scale, *b.dir / "scratch");
    return b;
}

const FileEntry* findFile(const BackupPlan& plan, const std::string& domain, const std::string& path) {
    for (const auto& f : plan.files)
        if (f.domain == domain && f.path == path) return &f;
    return nullptr;
}

const std::vector<std::uint8_t>& bytesOf(const Built& b, const std::string& path) {
    const FileEntry* f = findFile(b.plan, "HomeDomain", path);
    if (!f) throw std::runtime_error("missing " + path);
    return f->content;
}

// The first column of the first row of `sql`, run on the database bytes written to disk.
std::string firstText(const Built& b, const std::vector<std::uint8_t>& bytes, const std::string& sql) {
    const std::string file = *b.dir / "query.db";
    salvor::test::writeFile(file, std::string(bytes.begin(), bytes.end()));
    sqlite3* h = nullptr;
    sqlite3_stmt* st = nullptr;
    std::string out = "<none>";
    sqlite3_open_v2(file.c_str(), &h, SQLITE_OPEN_READONLY, nullptr);
    if (sqlite3_prepare_v2(h, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
        out = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    sqlite3_finalize(st);
    sqlite3_close(h);
    return out;
}

bool contains(const std::vector<std::uint8_t>& hay, const std::string& needle) {
    // Compare as bytes: a signed char never equals a byte above 0x7F.
    const std::vector<std::uint8_t> n(needle.begin(), needle.end());
    return std::search(hay.begin(), hay.end(), n.begin(), n.end()) != hay.end();
}

// Big-endian header fields: page size (offset 16) and free-list page count (offset 36).
unsigned pageSizeOf(const std::vector<std::uint8_t>& b) { return (unsigned{b.at(16)} << 8) | b.at(17); }
std::uint32_t freePages(const std::vector<std::uint8_t>& b) {
    return (std::uint32_t{b.at(36)} << 24) | (std::uint32_t{b.at(37)} << 16) | (std::uint32_t{b.at(38)} << 8) | b.at(39);
}

std::string textOr(const nlohmann::json& v) { return v.is_string() ? v.get<std::string>() : ""; }

// Checks the "recoverable" flags of deleted and stale rows against the file
// bytes, independently of how the forge decides them: a row marked
// recoverable has its text (a person: the name as stored, the note) in the
// file; a message or phone number marked lost has lost its text. Returns how
// many were lost.
int checkRecoverable(const nlohmann::json& truth, const std::vector<std::uint8_t>& sms,
                     const std::vector<std::uint8_t>& ab) {
    int lost = 0;
    for (const char* key : {"deleted", "stale"}) {
        for (const auto& d : truth["messages"][key]) {
            EXPECT_EQ(d.at("recoverable").get<bool>(), contains(sms, d["text"].get<std::string>())) << d;
            lost += !d["recoverable"].get<bool>();
        }
    }
    for (const auto& d : truth["contacts"]["deleted"]) {
        const std::string name = textOr(d["First"]) + textOr(d["Last"]) + textOr(d["Middle"]);
        if (d.at("recoverable").get<bool>()) {
            EXPECT_TRUE(contains(ab, name)) << d;
            EXPECT_TRUE(contains(ab, textOr(d["Note"]))) << d;
        } else {
            ++lost;
        }
        for (const auto& v : d["multiValues"]) {
            if (!v["value"].is_string()) continue;
            // Phone numbers are unique to one row: their text is there exactly when the row is.
            const bool present = contains(ab, v["value"].get<std::string>());
            if (v["property"] == 3) {
                EXPECT_EQ(v.at("recoverable").get<bool>(), present) << v;
            } else if (v.at("recoverable").get<bool>()) {
                EXPECT_TRUE(present) << v;
            }
        }
    }
    for (const auto& st : truth["contacts"]["stale"]) {
        EXPECT_TRUE(contains(ab, st["newNote"].get<std::string>()));  // the live row
        if (st.at("recoverable").get<bool>()) {
            EXPECT_TRUE(contains(ab, textOr(st["Note"])));
        }
        lost += !st["recoverable"].get<bool>();
    }
    return lost;
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

    const auto& sms = bytesOf(b, "Library/SMS/sms.db");
    const auto& ab = bytesOf(b, "Library/AddressBook/AddressBook.sqlitedb");
    ASSERT_FALSE(truth["messages"]["deleted"].empty());
    checkRecoverable(truth, sms, ab);
    // Whole pages of deleted rows went to the free list; edited rows list their old version.
    EXPECT_GT(freePages(sms), 0u);
    EXPECT_GT(freePages(ab), 0u);
    EXPECT_EQ(pageSizeOf(sms), 4096u);
    ASSERT_EQ(truth["messages"]["stale"].size(), 2u);
    ASSERT_EQ(truth["contacts"]["stale"].size(), 2u);
    for (const auto& st : truth["messages"]["stale"]) {
        const auto rowid = st["ROWID"].get<std::int64_t>();
        EXPECT_EQ(firstText(b, sms, "select text from message where ROWID = " + std::to_string(rowid)), st["newText"]);
        EXPECT_NE(st["newText"], st["text"]);
        int listed = 0;  // the live list carries the new text only
        for (const auto& m : truth["messages"]["live"]) {
            listed += m["messageContent"] == st["newText"];
            EXPECT_NE(m["messageContent"], st["text"]);
        }
        EXPECT_EQ(listed, 1);
    }
    for (const auto& st : truth["contacts"]["stale"])
        EXPECT_EQ(firstText(b, ab, "select Note from ABPerson where ROWID = " + std::to_string(st["ROWID"].get<std::int64_t>())),
                  st["newNote"]);
    if (ios >= 6) {
        for (const auto& m : truth["messages"]["live"]) {
            if (!m["attachmentPath"].is_string()) continue;
            bool found = false;
            for (const auto& f : b.plan.files)
                found |= f.domain == "MediaDomain" && db::hashedName(f.domain, f.path) == m["attachmentPath"];
            EXPECT_TRUE(found) << m["attachmentPath"];
        }
        EXPECT_EQ(firstText(b, sms, "select filename from attachment").rfind("~/Library/SMS/Attachments/", 0), 0u);
    }

    // Notes and bookmarks of iOS 4-6 are legacy-format files (0/1 stored as one-byte integers).
    EXPECT_EQ(schemaFormat(bytesOf(b, "Library/Notes/notes.sqlite")), ios <= 6 ? 1u : 4u);
    const auto& bm = bytesOf(b, "Library/Safari/Bookmarks.db");
    EXPECT_EQ(schemaFormat(bm), ios <= 6 ? 1u : 4u);
    for (const auto& d : truth["bookmarks"]["deleted"]) EXPECT_TRUE(contains(bm, d["url"].get<std::string>()));
    const FileEntry* hist = findFile(b.plan, "HomeDomain", "Library/Safari/History.plist");
    ASSERT_NE(hist, nullptr);
    EXPECT_EQ(contains(hist->content, "bplist00"), ios >= 6);
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
        EXPECT_NE(a.plan.truth, build(ios, 100).plan.truth);
    }
}

// Small pages: every database uses them, and more rows are lost to reuse.
TEST(ForgeDb, SmallPagesAndLostRows) {
    Built b = build(6, 1234, {}, 1024);
    const auto& sms = bytesOf(b, "Library/SMS/sms.db");
    const auto& ab = bytesOf(b, "Library/AddressBook/AddressBook.sqlitedb");
    for (const auto& f : b.plan.files)
        if (f.domain == "HomeDomain" && f.content.size() > 100 && contains(f.content, "SQLite format 3")) {
            EXPECT_EQ(pageSizeOf(f.content), 1024u) << f.path;
        }
    EXPECT_GT(freePages(sms), 0u);
    EXPECT_GT(checkRecoverable(b.plan.truth, sms, ab), 0);  // later rows took some freed space

    salvor::test::TempDir store;
    ForgeOptions o;
    o.scenario = "ios6-p1024";
    const auto out = forgeStore(store.path(), o);
    ASSERT_EQ(out.size(), 1u);
    const std::string smsPath = out[0].path + "/" + storedName("HomeDomain", "Library/SMS/sms.db");
    EXPECT_EQ(pageSizeOf(salvor::test::readBytes(smsPath)), 1024u);
}

TEST(ForgeDb, LargeScale) {
    DatabaseScale big;
    big.contacts = 2000;
    big.messages = 20000;
    big.conversations = 200;
    big.calls = 2000;
    Built b = build(7, 5, big);
    const auto& t = b.plan.truth;
    // Rows of the planned range are either live or deleted; later ones come on top.
    auto planned = [&](const char* cat, const char* liveKey, const char* deadKey, std::int64_t n) {
        std::size_t k = 0;
        for (const auto& r : t[cat]["live"]) k += r[liveKey].get<std::int64_t>() <= n;
        for (const auto& r : t[cat]["deleted"]) k += r[deadKey].get<std::int64_t>() <= n;
        return k;
    };
    EXPECT_EQ(planned("contacts", "rowid", "ROWID", 2000), 2000u);
    EXPECT_EQ(planned("messages", "rowId", "ROWID", 20000), 20000u);
    EXPECT_LE(t["conversations"]["live"].size(), 200u);
    EXPECT_GE(t["conversations"]["live"].size(), 150u);
}
