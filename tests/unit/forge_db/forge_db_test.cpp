// The forge's category databases: deleted rows keep their bytes exactly when
// the truth says they are recoverable, edited rows hold their new text, and
// each generation's file formats and page size are the real ones. (Byte-for-byte
// determinism is checked over a whole forged store, databases included.)
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

Built build(int ios, std::uint64_t seed, int pageSize = 4096) {
    Built b;
    b.plan.iosMajor = ios;
    b.plan.dbPageSize = pageSize;
    Rng rng(seed);
    addCategoryDatabases(b.plan, rng, {}, *b.dir / "scratch");
    return b;
}

const std::vector<std::uint8_t>& bytesOf(const Built& b, const std::string& path) {
    for (const auto& f : b.plan.files)
        if (f.domain == "HomeDomain" && f.path == path) return f.content;
    throw std::runtime_error("missing " + path);
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

// A big-endian header field: page size (offset 16, 2 bytes), free-list page
// count (36, 4 bytes), schema format number (44, 4 bytes).
std::uint32_t field(const std::vector<std::uint8_t>& b, std::size_t at, int width) {
    std::uint32_t v = 0;
    for (int i = 0; i < width; ++i) v = (v << 8) | b.at(at + static_cast<std::size_t>(i));
    return v;
}
unsigned pageSizeOf(const std::vector<std::uint8_t>& b) { return field(b, 16, 2); }
std::uint32_t freePages(const std::vector<std::uint8_t>& b) { return field(b, 36, 4); }

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
            EXPECT_TRUE(contains(ab, name) && contains(ab, textOr(d["Note"]))) << d;
        }
        lost += !d["recoverable"].get<bool>();
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

}  // namespace

class ForgeDbGeneration : public ::testing::TestWithParam<int> {};

// What a scan cannot show: deleted rows keep their bytes for the carving, and
// the file formats are those of each generation.
// (Live rows are checked against real extractor output end to end.)
TEST_P(ForgeDbGeneration, DeletedBytesFormatsAndAttachments) {
    const int ios = GetParam();
    Built b = build(ios, 1234);
    const auto& truth = b.plan.truth;
    const auto& sms = bytesOf(b, "Library/SMS/sms.db");
    const auto& ab = bytesOf(b, "Library/AddressBook/AddressBook.sqlitedb");
    ASSERT_FALSE(truth["messages"]["deleted"].empty() || truth["contacts"]["deleted"].empty());
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
    }
    for (const auto& st : truth["contacts"]["stale"])
        EXPECT_EQ(firstText(b, ab, "select Note from ABPerson where ROWID = " + std::to_string(st["ROWID"].get<std::int64_t>())),
                  st["newNote"]);
    // Notes and bookmarks of iOS 4-6 are legacy-format files (0/1 stored as one-byte integers).
    EXPECT_EQ(field(bytesOf(b, "Library/Notes/notes.sqlite"), 44, 4), ios <= 6 ? 1u : 4u);
    const auto& bm = bytesOf(b, "Library/Safari/Bookmarks.db");
    EXPECT_EQ(field(bm, 44, 4), ios <= 6 ? 1u : 4u);
    // A deleted bookmark (a folder has no address) or note flagged recoverable is still in the file.
    for (const auto& d : truth["bookmarks"]["deleted"])
        EXPECT_TRUE(!d["recoverable"].get<bool>() ||
                    contains(bm, d["title"].get<std::string>() + (d["url"].is_string() ? d["url"].get<std::string>() : "")));
    const auto& notes = bytesOf(b, "Library/Notes/notes.sqlite");
    for (const auto& d : truth["notes"]["deleted"]) {
        EXPECT_TRUE(!d["bodyRecoverable"].get<bool>() || contains(notes, d["ZCONTENT"].get<std::string>()));
        EXPECT_TRUE(!d["noteRecoverable"].get<bool>() ||
                    contains(notes, d["ZSUMMARY"].get<std::string>() + d["ZTITLE"].get<std::string>()));
    }
    EXPECT_EQ(contains(bytesOf(b, "Library/Safari/History.plist"), "bplist00"), ios >= 6);
}

INSTANTIATE_TEST_SUITE_P(AllGenerations, ForgeDbGeneration, ::testing::Values(4, 5, 6, 7));

// Small pages: every database uses them, and more rows are lost to reuse.
TEST(ForgeDb, SmallPagesAndLostRows) {
    Built b = build(6, 1234, 1024);
    const auto& sms = bytesOf(b, "Library/SMS/sms.db");
    const auto& ab = bytesOf(b, "Library/AddressBook/AddressBook.sqlitedb");
    for (const auto& f : b.plan.files)
        if (f.domain == "HomeDomain" && f.content.size() > 100 && contains(f.content, "SQLite format 3")) {
            EXPECT_EQ(pageSizeOf(f.content), 1024u) << f.path;
        }
    EXPECT_GT(freePages(sms), 0u);
    EXPECT_GT(checkRecoverable(b.plan.truth, sms, ab), 0);  // later rows took some freed space

    salvor::test::TempDir store;  // the scenario that asks for them
    const auto out = salvor::test::forgeOne(store, "ios6-p1024", 1);
    EXPECT_EQ(pageSizeOf(salvor::test::readBytes(out.path + "/" + storedName("HomeDomain", "Library/SMS/sms.db"))), 1024u);
}
