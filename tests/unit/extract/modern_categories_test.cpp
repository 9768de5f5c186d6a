// Contacts, calls, Safari and calendar of backups that list their files in
// Manifest.db: the forged databases of each system layout read back record by
// record, the stored files found in their two-level folders through the
// manifest's records, and layouts the readers did not expect.
#include <filesystem>

#include "core/helpers.h"
#include "extract/modern_calendar.h"
#include "extract/modern_calls.h"
#include "extract/modern_contacts.h"
#include "extract/modern_safari.h"
#include "extract_fixture.h"
#include "forge/modern_calendar.h"
#include "forge/modern_calls.h"
#include "forge/modern_contacts.h"
#include "forge/modern_safari.h"

namespace salvor::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

json text(const Text& t) { return t ? json(*t) : json(); }
json bytes(const Bytes& b) { return b ? forge::db::bytesJson(b.get()) : json(); }

json asJson(const MVContactNode& c) {
    return {{"rowid", c.rowid},
            {"contactName", text(c.contactName)},
            {"contactPhone", text(c.contactPhone)},
            {"contactEmail", text(c.contactEmail)},
            {"contactHomepage", text(c.contactHomepage)},
            {"contactCompany", text(c.contactCompany)},
            {"contactBirthday", text(c.contactBirthday)},
            {"contactJobtitle", text(c.contactJobtitle)},
            {"contactNote", text(c.contactNote)},
            {"contactAdress", text(c.contactAdress)},
            {"contactFirstName", text(c.contactFirstName)},
            {"contactMiddleName", text(c.contactMiddleName)},
            {"contactLastName", text(c.contactLastName)},
            {"imageData", bytes(c.imageData)},
            {"bDeleted", c.bDeleted},
            {"bSelected", c.bSelected}};
}
json asJson(const MVCallHistoryNode& c) {
    return {{"callName", text(c.callName)}, {"callPhone", text(c.callPhone)}, {"callDate", text(displayDate(c.callDate))},
            {"callType", text(c.callType)}, {"callTime", c.callTime},         {"callDuration", displayCallDuration(c)},
            {"bSelected", c.bSelected},     {"bDeleted", c.bDeleted}};
}
json asJson(const MVBookMarkNode& b) {
    return {{"bookMarkTitle", text(b.bookMarkTitle)},
            {"bookMarkURL", text(b.bookMarkURL)},
            {"bSelected", b.bSelected},
            {"bDeleted", b.bDeleted}};
}
json asJson(const MVCalendarNode& e) {
    return {{"calTitle", text(e.calTitle)},   {"calNote", text(e.calNote)}, {"location", text(e.location)},
            {"startDate", text(displayDate(e.startDate))}, {"endDate", text(displayDate(e.endDate))}, {"bDeleted", e.bDeleted},
            {"bSelected", e.bSelected}};
}

class ModernTest : public ExtractTest {
protected:
    TempDir forged;
    void SetUp() override {
        ExtractTest::SetUp();
        ctx.modernFormat = true;
        ctx.backupPath = backup.path();
    }

    // Stores a file as a modern backup does (two-digit folder) and lists it
    // in the manifest records under `domain`.
    std::string plant(const std::string& domain, const std::string& relativePath, const std::string& local) {
        const std::string name = forge::db::hashedName(domain, relativePath);
        fs::create_directories(backup / name.substr(0, 2));
        const std::string stored = backup / (name.substr(0, 2) + "/" + name);
        fs::copy_file(local, stored, fs::copy_options::overwrite_existing);
        auto node = std::make_shared<MVTreeDirNode>();
        node->fileDomain = domain;
        node->filePath = relativePath;
        node->fileKey = stored;
        node->fileMode = 0100644;
        ctx.treeFileArray.push_back(node);
        return stored;
    }
    void plantAll(const std::vector<forge::modern::PlantedFile>& files) {
        for (const auto& f : files) plant(f.domain, f.relativePath, f.localFile);
    }

    template <class Node>
    json delivered(const char* event) const {
        json out = json::array();
        for (const auto& r : records<std::shared_ptr<Node>>(event)) out.push_back(asJson(*r));
        return out;
    }
};

void expectRecords(const json& got, const json& want, const std::string& what) {
    ASSERT_EQ(got.size(), want.size()) << what << "\n" << got.dump(1);
    for (std::size_t i = 0; i < want.size(); ++i)
        for (auto it = want[i].begin(); it != want[i].end(); ++it)
            EXPECT_EQ(got[i][it.key()], it.value()) << what << "[" << i << "]." << it.key();
}

class ModernCategoryLayouts : public ModernTest, public ::testing::WithParamInterface<int> {};

// Every forged record comes back with every field, through the pipeline's
// stage guard, with the stages' progress values.
TEST_P(ModernCategoryLayouts, EveryRecordMatchesTheForgedTruth) {
    const int ios = GetParam();
    json truth;
    for (const auto& f : forge::modern::writeModernCategories(forged.path(), ios, 7, true, truth)) {
        // Newer systems have listed the history under Safari's own domain.
        const bool appDomain = ios == 17 && f.relativePath.starts_with("Library/Safari/History.db");
        plant(appDomain ? "AppDomain-com.apple.mobilesafari" : f.domain, f.relativePath, f.localFile);
    }
    const json &contacts = truth["contacts"], &calls = truth["calls"], &safari = truth["bookmarks"],
               &calendar = truth["calendar"];

    for (auto stage :
         {&scanModernContacts, &scanModernCallHistory, &scanModernSafari, &scanModernCalendar})
        runPiped(stage, backup.path());

    expectRecords(delivered<MVContactNode>("contact"), contacts["live"], "contacts");
    expectRecords(delivered<MVCallHistoryNode>("call"), calls["live"], "calls");
    expectRecords(delivered<MVBookMarkNode>("bookmark"), safari["live"], "safari");
    expectRecords(delivered<MVCalendarNode>("calendarEvent"), calendar["live"], "calendar");
    EXPECT_EQ(progress(), (std::vector<int>{40, 60}));
    EXPECT_TRUE(sink.problems.empty());
    // Some calls are with people of the address book, by name.
    EXPECT_TRUE(std::any_of(calls["live"].begin(), calls["live"].end(),
                            [](const json& c) { return c["callName"].is_string(); }));
}

INSTANTIATE_TEST_SUITE_P(Versions, ModernCategoryLayouts, ::testing::Values(12, 15, 17),
                         [](const auto& info) { return "ios" + std::to_string(info.param); });

// An unencrypted backup holds neither the call log nor the browser history:
// the person is told why there are no calls, once, and the bookmarks still come.
TEST_F(ModernTest, MissingCallHistoryIsExplainedOnce) {
    json safari;
    plantAll(forge::modern::writeModernSafari(forged.path(), 15, 3, safari, false));
    runPiped(&scanModernCallHistory, backup.path());
    runPiped(&scanModernCallHistory, backup.path());
    runPiped(&scanModernSafari, backup.path());
    EXPECT_EQ(sink.problems,
              std::vector<std::string>{"Call history is not in this backup: iOS keeps it only in encrypted backups."});
    EXPECT_TRUE(records<CallPtr>("call").empty());
    expectRecords(delivered<MVBookMarkNode>("bookmark"), safari["live"], "bookmarks");
}

// A manifest record whose stored file is missing, or that points outside the
// backup folder, does not hide the file kept under its stored name; a
// directory record is no file.
TEST_F(ModernTest, StoredNameFoundWhenTheRecordPointsNowhere) {
    json calendar;
    const auto files = forge::modern::writeModernCalendar(forged.path(), 12, 5, calendar);
    plant(files[0].domain, files[0].relativePath, files[0].localFile);
    ASSERT_EQ(files.at(1).relativePath, files[0].relativePath + "-wal");
    plant(files[1].domain, files[1].relativePath, files[1].localFile);
    const std::string outside = forged / "outside.db";
    makeDb(outside, "", "CREATE TABLE CalendarItem (summary TEXT); INSERT INTO CalendarItem VALUES ('Outside');");
    const MVTreeDirNode record = *ctx.treeFileArray.front();
    const TreeDirPtr log = ctx.treeFileArray.back();
    ctx.treeFileArray.clear();
    for (const auto& [key, mode] : std::vector<std::pair<std::string, std::uint16_t>>{
             {backup / "ab/abababababababababababababababababababab", 0100644},
             {outside, 0100644},
             {backup / ("../" + fs::path(forged.path()).filename().string() + "/outside.db"), 0100644},
             {files[0].localFile, 040755}}) {
        ctx.treeFileArray.push_back(std::make_shared<MVTreeDirNode>(record));
        ctx.treeFileArray.back()->fileKey = key;
        ctx.treeFileArray.back()->fileMode = mode;
    }
    // The log's record is sound: the file found by its stored name takes it.
    ctx.treeFileArray.push_back(log);
    runPiped(&scanModernCalendar, backup.path());
    expectRecords(delivered<MVCalendarNode>("calendarEvent"), calendar["live"], "calendar");
}

// A person added while the phone still held the change in the database's
// write-ahead log (listed beside it in the manifest) is read with the others;
// the log is folded into the private copy, never into the backup.
TEST_F(ModernTest, RowsStillInTheWriteAheadLogAreRead) {
    json contacts;
    const auto files = forge::modern::writeModernContacts(forged.path(), 17, 9, contacts);
    const std::string book = files[0].localFile;
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(book.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, R"(PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0;
        INSERT INTO ABPerson (ROWID, First, guid) VALUES (99, 'Walter', 'g-99');
        INSERT INTO ABMultiValue (UID, record_id, property, value, guid) VALUES (99, 99, 3, '+1 202 555 0199', 'v-99');)",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    // Both files as the connection leaves them before any checkpoint.
    plant(files[0].domain, files[0].relativePath, book);
    const std::string log = plant(files[0].domain, files[0].relativePath + "-wal", book + "-wal");
    const std::string elsewhere = forged / "elsewhere-wal";
    fs::copy_file(book + "-wal", elsewhere);
    sqlite3_close(db);
    const auto before = fingerprint(backup.path());

    runPiped(&scanModernContacts, backup.path());
    const auto got = records<ContactPtr>("contact");
    ASSERT_EQ(got.size(), contacts["live"].size() + 1);
    EXPECT_EQ(got.back()->contactName, "Walter");
    EXPECT_EQ(got.back()->contactPhone, " +1 202 555 0199");
    EXPECT_EQ(fingerprint(backup.path()), before);

    // Without its manifest record the log is not taken, and a stored log that
    // is a link (it could lead anywhere on the machine) is not followed.
    for (const bool link : {false, true}) {
        posted.clear();
        ctx.contactArray.clear();
        ctx.contactImageArray.clear();
        if (link) {
            fs::remove(log);
            fs::create_symlink(elsewhere, log);
        } else {
            ctx.treeFileArray.pop_back();
        }
        runPiped(&scanModernContacts, backup.path());
        // The forge leaves the newest person of the truth in the log as well;
        // the people it deleted after the checkpoint (keys from 100) are
        // still live in the file alone.
        std::size_t own = 0;
        for (const auto& c : records<ContactPtr>("contact")) own += c->rowid < 100 ? 1 : 0;
        EXPECT_EQ(own, contacts["live"].size() - 1) << link;
        if (!link) plant(files[0].domain, files[0].relativePath + "-wal", elsewhere);
    }
}

// Layouts nobody forged: columns missing, moved or added, tables absent, a
// view in place of a table. What is there is read; nothing else is made up.
TEST_F(ModernTest, UnexpectedLayoutsDegradeToWhatCanBeRead) {
    const auto make = [&](const std::string& domain, const std::string& path, const std::string& sql) {
        const std::string local = forged / fs::path(path).filename().string();
        makeDb(local, "", sql);
        plant(domain, path, local);
    };
    make("HomeDomain", "Library/AddressBook/AddressBook.sqlitedb", R"(
        CREATE TABLE ABPerson (ROWID INTEGER PRIMARY KEY, Last TEXT, Shiny BLOB);
        INSERT INTO ABPerson VALUES (5, 'Okafor', x'00');
        CREATE TABLE ABMultiValue (UID INTEGER PRIMARY KEY, value TEXT, property INTEGER, record_id INTEGER);
        INSERT INTO ABMultiValue VALUES (1, '+1 555 0100', 3, 5), (2, 'x@example.com', 4, 9);)");
    make("HomeDomain", "Library/AddressBook/AddressBookImages.sqlitedb",
         "CREATE TABLE ABThumbnailImage (record_id INTEGER); INSERT INTO ABThumbnailImage VALUES (5);");
    make("HomeDomain", "Library/CallHistoryDB/CallHistory.storedata", R"(
        CREATE TABLE ZCALLRECORD (Z_PK INTEGER PRIMARY KEY, ZNEWTHING TEXT, ZADDRESS BLOB, ZDATE TIMESTAMP);
        INSERT INTO ZCALLRECORD VALUES (1, 'x', CAST('+1 555 0100' AS BLOB), 700000000.9),
                                       (2, 'y', x'FFFE00', NULL);)");
    make("HomeDomain", "Library/Calendar/Calendar.sqlitedb", R"(
        CREATE TABLE CalendarItem (ROWID INTEGER PRIMARY KEY, summary TEXT, start_date REAL, location_id INTEGER);
        INSERT INTO CalendarItem VALUES (1, 'Standalone', 0, 3);)");
    make("HomeDomain", "Library/Safari/Bookmarks.db", R"(
        CREATE TABLE bookmarks (id INTEGER PRIMARY KEY, url TEXT, title TEXT);
        INSERT INTO bookmarks VALUES (0, NULL, 'Root'), (1, 'https://a.example/', 'A');)");
    make("HomeDomain", "Library/Safari/History.db", R"(
        CREATE TABLE history_items (id INTEGER PRIMARY KEY, url TEXT);
        INSERT INTO history_items VALUES (1, 'https://b.example/');
        CREATE VIEW history_visits AS SELECT 1 AS history_item, 5.0 AS visit_time, 'Loop' AS title;)");

    for (auto stage :
         {&scanModernContacts, &scanModernCallHistory, &scanModernSafari, &scanModernCalendar})
        runPiped(stage, backup.path());

    const auto contacts = records<ContactPtr>("contact");
    ASSERT_EQ(contacts.size(), 1u);
    EXPECT_EQ(contacts[0]->rowid, 5);
    EXPECT_EQ(contacts[0]->contactName, " Okafor");
    EXPECT_EQ(contacts[0]->contactPhone, " +1 555 0100");
    EXPECT_EQ(contacts[0]->contactEmail, "");
    EXPECT_FALSE(contacts[0]->imageData);

    const auto calls = records<CallPtr>("call");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0]->callPhone, "+1 555 0100");
    EXPECT_EQ(displayDate(calls[0]->callDate), "03-08-2023 20:26");
    EXPECT_EQ(calls[0]->callName, " Okafor");
    EXPECT_EQ(calls[0]->callTime, -1);  // no duration column
    EXPECT_EQ(calls[0]->callType, "");
    EXPECT_EQ(calls[1]->callPhone, "");  // a blob that is no text
    EXPECT_FALSE(calls[1]->callDate);

    const auto events = records<CalendarPtr>("calendarEvent");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]->calTitle, "Standalone");
    EXPECT_EQ(displayDate(events[0]->startDate), "01-01-2001 00:00");
    EXPECT_EQ(events[0]->location, "");  // no Location table to name it

    // The bookmark by its columns' names; the history page without the view's visits.
    expectRecords(delivered<MVBookMarkNode>("bookmark"),
                  json::array({{{"bookMarkTitle", "A"}, {"bookMarkURL", "https://a.example/"}},
                               {{"bookMarkTitle", nullptr}, {"bookMarkURL", "https://b.example/"}}}),
                  "safari");
}

}  // namespace
}  // namespace salvor::test
