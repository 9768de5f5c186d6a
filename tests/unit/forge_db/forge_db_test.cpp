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

const char* kNewerMessages =
    "select message.ROWID,message.cache_has_attachments,message.text,message.date,message.handle_id,handle.id,is_from_me "
    "from message left join handle on message.handle_id=handle.ROWID";
const char* kOlderMessagesMadrid =
    "select message.ROWID,message.group_id,subject, text,date,group_member.address,svc_center,flags,association_id "
    ",is_madrid,madrid_handle, madrid_account,madrid_flags,madrid_attachmentInfo from message left join  group_member "
    "on  message.group_id= group_member.group_id";
const char* kOlderMessages =
    "select message.ROWID,message.group_id,subject, text,date,group_member.address,svc_center,flags,association_id from "
    "message left join  group_member on  message.group_id= group_member.group_id";

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

TEST_P(ForgeDbGeneration, LiveRowsMatchTruth) {
    const int ios = GetParam();
    Built b = build(ios, 1234);
    const auto& truth = b.plan.truth;
    for (const char* k : {"contacts", "messages", "conversations", "calls", "notes", "bookmarks", "calendar"}) {
        ASSERT_TRUE(truth.contains(k)) << k;
        EXPECT_TRUE(truth[k]["live"].is_array());
        EXPECT_TRUE(truth[k]["deleted"].is_array());
    }

    {  // contacts: the reader's statement, in its order
        Db ab(b, "HomeDomain", "Library/AddressBook/AddressBook.sqlitedb");
        auto rows = ab.rows("select DISTINCT Rowid, first, Department,DisplayName,firstPhonetic,jobTitle,organization,middle,"
                            "middlePhonetic,CreationDate,Last,Note,Nickname,prefix, suffix, Birthday from abperson ");
        const auto& live = truth["contacts"]["live"];
        ASSERT_EQ(rows.size(), live.size());
        for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(std::stoll(rows[i][0]), live[i]["rowid"].get<long long>());
        EXPECT_FALSE(truth["contacts"]["deleted"].empty());
        bool onlyLast = false, onlyOrg = false;
        for (const auto& c : live) {
            onlyLast |= c["contactName"] == " Whitfield";
            onlyOrg |= c["contactName"] == "" && c["contactCompany"] == " Riverside Dental Clinic";
        }
        EXPECT_TRUE(onlyLast);
        EXPECT_TRUE(onlyOrg);
        if (ios == 4) {
            const FileEntry* f = findFile(b.plan, "HomeDomain", "Library/AddressBook/AddressBookImages.sqlitedb");
            ASSERT_NE(f, nullptr);
            EXPECT_EQ(f->storedNameOverride, "cd6702cea29fe89cf280a76794405adb17f9a0ee.mddata");
        } else {
            Db img(b, "HomeDomain", "Library/AddressBook/AddressBookImages.sqlitedb");
            EXPECT_FALSE(img.rows("select record_id, data from ABFullSizeImage").empty());
        }
    }

    {  // messages: row count, addresses and texts in delivery order
        Db sms(b, "HomeDomain", "Library/SMS/sms.db");
        const auto& live = truth["messages"]["live"];
        std::vector<std::vector<std::string>> rows;
        if (ios >= 6) {
            rows = sms.rows(kNewerMessages);
        } else {
            EXPECT_EQ(sms.prepares(kOlderMessagesMadrid), ios == 5);
            rows = sms.rows(ios == 5 ? kOlderMessagesMadrid : kOlderMessages);
        }
        ASSERT_EQ(rows.size(), live.size());
        for (std::size_t i = 0; i < rows.size(); ++i) {
            if (ios >= 6) {
                EXPECT_EQ(rows[i][5], live[i]["messagePhone"]);
                EXPECT_EQ(rows[i][2], live[i]["messageContent"]);
                EXPECT_EQ(std::stoll(rows[i][0]), live[i]["rowId"].get<long long>());
            } else {
                bool imsg = ios == 5 && rows[i][9] == "1";
                EXPECT_EQ(imsg ? rows[i][10] : rows[i][5], live[i]["messagePhone"]);
                EXPECT_EQ(live[i]["bImessage"], imsg ? 1 : 0);
                if (!imsg || rows[i][13] == "<null>") {
                    EXPECT_EQ(rows[i][3], live[i]["messageContent"]);
                }
            }
        }
        std::size_t members = 0;
        for (const auto& c : truth["conversations"]["live"]) members += c["members"].size();
        EXPECT_EQ(members, live.size());
        EXPECT_GE(truth["conversations"]["live"].size(), 2u);
        // Names: some known, some unknown (null).
        int named = 0, unnamed = 0;
        for (const auto& m : live) (m["messageName"].is_null() ? unnamed : named)++;
        EXPECT_GT(named, 0);
        EXPECT_GT(unnamed, 0);
        // Deleted texts are still in the file.
        const auto& dead = truth["messages"]["deleted"];
        ASSERT_FALSE(dead.empty());
        for (const auto& d : dead) EXPECT_TRUE(contains(sms.bytes, d["text"].get<std::string>())) << d["text"];
        if (ios >= 6) {
            std::map<std::string, int> kinds;
            for (const auto& m : live) {
                if (m["attachType"].is_null()) continue;
                kinds[m["attachType"]]++;
                if (m["attachmentPath"].is_null()) continue;
                bool found = false;
                for (const auto& f : b.plan.files)
                    found |= f.domain == "MediaDomain" && db::hashedName(f.domain, f.path) == m["attachmentPath"];
                EXPECT_TRUE(found) << m["attachmentPath"];
            }
            EXPECT_EQ(kinds["Image"], 2);
            EXPECT_EQ(kinds["Mov"], 1);
            EXPECT_EQ(kinds["Contact"], 1);
            EXPECT_EQ(kinds["Location"], 1);
            auto att = sms.rows("select filename from attachment");
            ASSERT_FALSE(att.empty());
            EXPECT_EQ(att[0][0].rfind("~/Library/SMS/Attachments/", 0), 0u);
        }
    }

    {  // calls
        const char* path = "Library/CallHistory/call_history.db";
        Db calls(b, ios == 4 ? "HomeDomain" : "WirelessDomain", path);
        auto rows = calls.rows("select address,date,duration,flags from call");
        const auto& live = truth["calls"]["live"];
        ASSERT_EQ(rows.size(), live.size());
        for (std::size_t i = 0; i < rows.size(); ++i) {
            EXPECT_EQ(rows[i][0], live[i]["callPhone"]);
            EXPECT_EQ(std::stoi(rows[i][2]), live[i]["callTime"].get<int>());
        }
    }

    {  // notes: the older statement fails, the Core Data one reads every note
        Db notes(b, "HomeDomain", "Library/Notes/notes.sqlite");
        EXPECT_FALSE(notes.prepares("select TITLE,SUMMARY,MODIFICATION_DATE,CREATION_DATE,DATA from note LEFT JOIN "
                                    "NOTE_BODIES ON NOTE.ROWID = NOTE_BODIES.NOTE_ID"));
        auto rows = notes.rows("select ZTITLE,ZSUMMARY,ZMODIFICATIONDATE,ZCREATIONDATE,ZCONTENT from znote LEFT JOIN "
                               "ZNOTEBODY ON ZNOTE.Z_PK = ZNOTEBODY.Z_PK");
        ASSERT_EQ(rows.size(), truth["notes"]["live"].size());
        for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i][0], truth["notes"]["live"][i]["noteTitle"]);
        EXPECT_EQ(schemaFormat(notes.bytes), ios <= 6 ? 1u : 4u);
    }

    {  // bookmarks: database rows without the two special folders, factory bookmarks, history
        Db bm(b, "HomeDomain", "Library/Safari/Bookmarks.db");
        auto rows = bm.rows("select TITLE,URL,id, parent,type from bookmarks");
        std::size_t kept = 0;
        for (const auto& r : rows) kept += r[0] != "Root" && r[0] != "com.apple.ReadingList";
        const FileEntry* hist = findFile(b.plan, "HomeDomain", "Library/Safari/History.plist");
        ASSERT_NE(hist, nullptr);
        EXPECT_EQ(contains(hist->content, "bplist00"), ios >= 6);
        EXPECT_EQ(truth["bookmarks"]["live"].size(), kept + 5 + static_cast<std::size_t>(DatabaseScale{}.historyEntries));
        EXPECT_EQ(schemaFormat(bm.bytes), ios <= 6 ? 1u : 4u);
        for (const auto& d : truth["bookmarks"]["deleted"])
            EXPECT_TRUE(contains(bm.bytes, d["url"].get<std::string>()));
    }

    {  // calendar: the statement that the reader uses for this generation
        Db cal(b, "HomeDomain", "Library/Calendar/Calendar.sqlitedb");
        std::vector<std::vector<std::string>> rows;
        if (ios >= 6) {
            rows = cal.rows("select summary,location_id,description,start_date,end_date,start_tz,all_day,calendar_id from CalendarItem");
        } else if (ios == 5) {
            rows = cal.rows(
                "select summary,location.title as location,description,start_date,end_date,start_tz,all_day,calendar_id,"
                "supported_entity_types from calendaritem left join location on calendaritem.[location_id]=location.rowid "
                "left join Calendar on calendaritem.[calendar_id]=calendar.rowid where supported_entity_types !=8");
        } else {
            EXPECT_FALSE(cal.prepares("select summary from calendaritem"));
            rows = cal.rows("select summary,location,description,start_date,end_date,start_tz,all_day,calendar_id from event");
        }
        const auto& live = truth["calendar"]["live"];
        ASSERT_EQ(rows.size(), live.size());
        for (std::size_t i = 0; i < rows.size(); ++i) {
            EXPECT_EQ(rows[i][0], live[i]["calTitle"]);
            std::string loc = rows[i][1] == "<null>" ? "" : rows[i][1];
            EXPECT_EQ(loc, live[i]["location"]);
        }
    }
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
