// The deleted-contacts scan over address books built with SQLite in the real
// table layout: persons removed with their rows left in free space come back
// with their names, and with their numbers when the row id that the numbers
// name was read from the person's own cell; a live person's carved copy is
// never reported.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <any>
#include <filesystem>
#include <string>
#include <vector>

#include "carve/deleted_contacts.h"
#include "core/record_collector.h"
#include "core/scan_context.h"
#include "extract/extractors.h"
#include "support/support.h"

namespace salvor::test {
namespace {

constexpr const char* kAddressBook = "31bb7ba8914766d4ba40d6dfb6113c8b614be442";

// A person row as the phone writes it (sort keys, dates, language indexes).
std::string person(int rowid, const std::string& first, const std::string& last, const std::string& middle,
                   const std::string& job, const std::string& nickname, bool company = true) {
    auto q = [](const std::string& s) { return s.empty() ? std::string("NULL") : "'" + s + "'"; };
    const std::string sort = first + " " + last;
    return "INSERT INTO ABPerson (ROWID, First, Last, Middle, Organization, Department, Kind, Birthday, JobTitle, "
           "Nickname, FirstSort, LastSort, CreationDate, ModificationDate, StoreID) VALUES (" +
           std::to_string(rowid) + ", " + q(first) + ", " + q(last) + ", " + q(middle) + (company ? ", 'Acme', 'Sales'" : ", NULL, NULL") + ", 0, " +
           "'-3600.000000', " + q(job) + ", " + q(nickname) + ", '" + sort + " ', '" + sort + "  ', 300000000, " +
           "300000100, 0);\n";
}

std::string value(int uid, int record, int property, const std::string& text, int label = 1) {
    return "INSERT INTO ABMultiValue VALUES (" + std::to_string(uid) + ", " + std::to_string(record) + ", " +
           std::to_string(property) + ", 0, " + std::to_string(label) + ", '" + text + "');\n";
}

class DelContactTest : public ::testing::Test {
protected:
    RecordCollector sink;
    ScanContext ctx{sink};
    TempDir backup, scratch;
    std::vector<ContactPtr>& live = sink.contacts;
    std::vector<ContactPtr>& carved = sink.deletedContacts;
    int progressPosts() const { return static_cast<int>(sink.progressValues.size()); }

    void SetUp() override {
        ctx.backupPath = backup.path();
        ctx.scanScratchDir = scratch.path();  // as the controller does for a whole scan
        ctx.stageProgress = 75;
    }

    std::string folder() const { return ctx.backupPath; }
    void useFolder(const std::string& path) {
        std::filesystem::create_directory(path);
        ctx.backupPath = path;
        live.clear(), carved.clear(), sink.progressValues.clear();
        ctx.removeSomeArray();
    }

    void makeBook(int pageSize, const std::string& sql) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((folder() + "/" + kAddressBook).c_str(), &db), SQLITE_OK);
        const std::string all = "PRAGMA page_size=" + std::to_string(pageSize) + "; PRAGMA secure_delete=OFF; BEGIN;\n" +
                                readFile(std::string(SALVOR_SCHEMA_DIR) + "/ios6/AddressBook.sqlitedb.sql") + sql + "COMMIT;";
        char* err = nullptr;
        EXPECT_EQ(sqlite3_exec(db, all.c_str(), nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "");
        sqlite3_free(err);
        sqlite3_close(db);
    }

    // The live stage prepares the private copy the carving reads.
    void scan() {
        scanContacts(ctx, folder());
        DelContactScan::scanBackup(ctx, folder());
    }

    const MVContactNode* carvedNamed(const std::string& name) const {
        for (const ContactPtr& c : carved)
            if (textOrEmpty(c->contactName) == name) return c.get();
        return nullptr;
    }
};

// Three persons, the middle one and its numbers deleted; the live person's
// phone rows were written out of id order, and the table's first row stores
// both its record id and its label as constants.
std::string threePersons() {
    return person(1, "Ann", "Smith", "Lee", "Engineer", "Nicky") + value(5, 1, 3, "415-555-0105") +
           value(2, 1, 3, "415-555-0102", 2) + value(6, 1, 4, "ann@example.org") + person(2, "Ben", "Miller", "", "", "") +
           value(7, 2, 3, "212-555-0200") + value(8, 2, 3, "212-555-0201") + value(9, 2, 22, "http://ben.example.com") +
           person(3, "Clara", "Brown", "", "Nurse", "") + value(10, 3, 3, "617-555-0300") +
           "DELETE FROM ABMultiValue WHERE record_id = 2; DELETE FROM ABPerson WHERE ROWID = 2;\n";
}

// The same content at either page size carves the same persons. The deleted
// one lies between two live ones, so freeing its cell overwrote the row id at
// its start: it comes back by name without numbers, and its numbers, which
// still name its id, come back as a record of their own without a name
// rather than under a person guessed from the neighbours. A live person's
// carved copy is never reported. Without the private copy the live stage
// prepares, the carving ends quietly.
TEST_F(DelContactTest, DeletedPersonComesBackAndItsNumbersAreNotJoinedByGuess) {
    std::string more;
    const char* names[] = {"Dora", "Emil", "Fay", "Gus", "Hana", "Ivo", "Jill", "Kurt", "Lena", "Max", "Nina", "Otto"};
    for (int i = 0; i < 12; ++i) more += person(10 + i, names[i], "Young", "", "", "", false);
    for (int pageSize : {1024, 4096}) {
        SCOPED_TRACE(pageSize);
        useFolder(backup / std::to_string(pageSize));
        makeBook(pageSize, more + threePersons());  // nothing written after the deletion
        DelContactScan::scanBackup(ctx, folder());
        DelContactScan::scanBackup(ctx, "");
        ASSERT_TRUE(carved.empty() && progressPosts() == 0);
        scan();
        EXPECT_EQ(progressPosts(), 2);  // one from each stage

        const MVContactNode* ben = carvedNamed("Ben Miller");
        ASSERT_NE(ben, nullptr);
        EXPECT_TRUE(ben->contactPhoneValues.empty() && ben->contactHomepageValues.empty());
        EXPECT_EQ(textOrEmpty(ben->contactCompany), "Acme Sales");
        const MVContactNode* numbers = carvedNamed(kNamelessValue);
        ASSERT_NE(numbers, nullptr);
        EXPECT_EQ(numbers->contactPhoneValues, (std::vector<std::string>{"212-555-0200", "212-555-0201"}));
        EXPECT_EQ(numbers->contactHomepageValues, (std::vector<std::string>{"http://ben.example.com"}));
        EXPECT_EQ(textOrEmpty(numbers->contactFirstName) + textOrEmpty(numbers->contactLastName), "");
        EXPECT_EQ(carved.size(), 2u);

        ASSERT_EQ(live.size(), 14u);
        for (const ContactPtr& l : live) EXPECT_EQ(carvedNamed(textOrEmpty(l->contactName)), nullptr) << *l->contactName;
    }
}

// Values whose person is not a deleted one: a number a live person no longer
// holds is its deleted number, listed under its name; the numbers it still
// holds (their carved rows) are not listed; values of two unknown persons are
// two records, never one. (The new rows reuse the space of Ben's numbers.)
TEST_F(DelContactTest, ValuesOfLiveAndUnknownPersonsAreListedByTheirRecordId) {
    makeBook(4096, threePersons() + value(11, 1, 3, "415-555-0999") + value(12, 3, 4, "clara@example.org") +
                       value(13, 40, 3, "900-555-0400") + value(14, 41, 3, "900-555-0410") +
                       "DELETE FROM ABMultiValue WHERE UID IN (11, 13, 14);\n");
    scan();
    const MVContactNode* ann = carvedNamed("Ann Lee Smith");
    ASSERT_NE(ann, nullptr);
    EXPECT_EQ(ann->contactPhoneValues, (std::vector<std::string>{"415-555-0999"}));
    EXPECT_EQ(carvedNamed("Clara Brown"), nullptr);
    std::vector<std::string> nameless;
    for (const ContactPtr& c : carved)
        if (textOrEmpty(c->contactName) == kNamelessValue) nameless.push_back(textOrEmpty(c->contactPhone));
    std::sort(nameless.begin(), nameless.end());
    EXPECT_EQ(nameless, (std::vector<std::string>{" 900-555-0400", " 900-555-0410"}));
}

// A deleted person's carved copy reads like the live reader's record: first,
// middle and last name, the job title (not the nickname), and every number,
// the one whose record id and label are stored as constants included.
TEST_F(DelContactTest, CarvedPersonReadsLikeTheLiveRecord) {
    makeBook(4096, threePersons() + "DELETE FROM ABMultiValue WHERE record_id = 1; DELETE FROM ABPerson WHERE ROWID = 1;\n");
    scan();
    const MVContactNode* ann = carvedNamed("Ann Lee Smith");
    ASSERT_NE(ann, nullptr);
    EXPECT_EQ(ann->rowid, 1);
    EXPECT_EQ(textOrEmpty(ann->contactJobtitle) + "|" + textOrEmpty(ann->contactEmail), "Engineer| ann@example.org");
    std::vector<std::string> phones = ann->contactPhoneValues;
    std::sort(phones.begin(), phones.end());
    EXPECT_EQ(phones, (std::vector<std::string>{"415-555-0102", "415-555-0105"}));
}

// Rowid-less persons are given ids after every page they turn up on, not only
// after the first: a file laid out by hand from one real person row, copied
// with other names, with and without the intact cell header that names it.
TEST_F(DelContactTest, EveryRowidLessPersonIsReported) {
    makeBook(1024, person(1, "Ann", "Smith", "", "", "", false));
    const std::string bytes = readFile(folder() + "/" + kAddressBook);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((folder() + "/" + kAddressBook).c_str(), &db), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "SELECT rootpage FROM sqlite_master WHERE name = 'ABPerson'", -1, &st, nullptr);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    const std::size_t P = 1024, root = static_cast<std::size_t>(sqlite3_column_int(st, 0) - 1) * P;
    sqlite3_finalize(st);
    sqlite3_close(db);
    const std::size_t cellAt = root + ((static_cast<std::uint8_t>(bytes[root + 8]) << 8) | static_cast<std::uint8_t>(bytes[root + 9]));
    const std::string cell = bytes.substr(cellAt, root + P - cellAt);
    ASSERT_LT(cell.size(), 180u);

    std::vector<std::uint8_t> image(3 * P, 0);
    std::copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(P), image.begin());
    auto place = [&](std::size_t page, std::size_t at, const std::string& name, bool named) {
        std::string c = cell;
        c.replace(c.find("Ann"), 3, name);
        if (!named) std::fill(c.begin(), c.begin() + 3, '\0');  // as a freed cell's first bytes are overwritten
        std::copy(c.begin(), c.end(), image.begin() + static_cast<std::ptrdiff_t>(page * P + at));
        if (image[page * P + 9] == 0) {  // the page's first cell
            image[page * P] = 0x0D;
            image[page * P + 8] = static_cast<std::uint8_t>(at >> 8);
            image[page * P + 9] = static_cast<std::uint8_t>(at & 0xFF);
        }
    };
    place(2, 200, "Bob", false);  // carved first: no id read yet
    place(1, 200, "Cal", true);   // id 1
    place(1, 400, "Dan", false);  // below id 1 nothing can be inferred
    place(1, 600, "Eve", false);
    const auto pages = carve::PageImage::open(image, "test");
    ASSERT_TRUE(pages);
    DelContactScan(ctx, *pages).run();

    std::vector<std::pair<std::string, int>> got;
    for (const ContactPtr& c : carved) got.emplace_back(textOrEmpty(c->contactName), c->rowid);
    EXPECT_EQ(got, (std::vector<std::pair<std::string, int>>{{"Bob Smith", 1}, {"Cal Smith", 1}, {"Eve Smith", 2}, {"Dan Smith", 3}}));
}

}  // namespace
}  // namespace salvor::test
