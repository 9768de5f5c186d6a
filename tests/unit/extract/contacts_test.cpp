#include <filesystem>

#include "extract/commit_db.h"
#include "extract/extractors.h"
#include "extract_fixture.h"

namespace salvor::test {
namespace {

constexpr const char* kAddressBook = "31bb7ba8914766d4ba40d6dfb6113c8b614be442";
constexpr const char* kImages = "cd6702cea29fe89cf280a76794405adb17f9a0ee";

std::vector<std::uint8_t> header(const std::string& path) {
    auto bytes = readBytes(path);
    bytes.resize(100);
    return bytes;
}

using ContactsTest = ExtractTest;

TEST_F(ContactsTest, PreparedCopyIsPrivateCommittedAndShared) {
    const std::string original = stored(kAddressBook);
    makeDb(original, "ios6/AddressBook.sqlitedb.sql", "INSERT INTO ABPerson(First) VALUES('Ann');");
    ASSERT_EQ(header(original)[18], 1);  // rollback journal
    std::filesystem::permissions(original, std::filesystem::perms::owner_read, std::filesystem::perm_options::replace);
    const auto before = readBytes(original);

    std::string scratch;
    {
        ScratchScope scope(ctx);
        scratch = ctx.scanScratchDir;
        ASSERT_FALSE(scratch.empty());
        const auto copy = preparedCopy(ctx, original);
        ASSERT_TRUE(copy);
        EXPECT_EQ(copy->rfind(scratch + "/", 0), 0u);
        EXPECT_EQ(header(*copy)[18], 2);
        EXPECT_EQ(header(*copy)[19], 2);
        EXPECT_EQ(preparedCopy(ctx, original), copy);  // once per scan
        {
            ScratchScope nested(ctx);  // a stage inside the scope shares its copies
            EXPECT_EQ(ctx.scanScratchDir, scratch);
        }
        EXPECT_TRUE(std::filesystem::exists(*copy));

        EXPECT_FALSE(preparedCopy(ctx, backup / "missing"));
        EXPECT_FALSE(preparedCopy(ctx, backup.path()));  // a folder is no database
    }
    EXPECT_TRUE(ctx.scanScratchDir.empty());
    EXPECT_TRUE(ctx.preparedDatabases.empty());
    EXPECT_FALSE(std::filesystem::exists(scratch));
    EXPECT_EQ(readBytes(original), before);

    // A file that is not a database: nothing is prepared and nothing fails loudly.
    writeFile(backup / "junk", "this is not a database at all, just some words....");
    ScratchScope scope(ctx);
    const auto copy = preparedCopy(ctx, backup / "junk");
    ASSERT_TRUE(copy);
    EXPECT_EQ(readFile(*copy), readFile(backup / "junk"));
    EXPECT_TRUE(logLines.empty());
}

TEST_F(ContactsTest, PersonsMultiValuesAndPictures) {
    makeDb(stored(kAddressBook), "ios6/AddressBook.sqlitedb.sql", R"(
        INSERT INTO ABPerson(ROWID, First) VALUES(0, 'Zero');
        INSERT INTO ABPerson(ROWID, First, Middle, Last, Department, JobTitle, Organization, Note, Birthday)
            VALUES(1, 'Ann', 'B.', 'Smith', 'Sales', 'Head', 'Acme', 'likes tea', '1980-01-01');
        INSERT INTO ABPerson(ROWID, Last, Organization, Note, First) VALUES(2, 'Smith', 'Acme', CAST(X'C328' AS TEXT), '');
        INSERT INTO ABMultiValue(record_id, property, value) VALUES(1, 3, '555-1');
        INSERT INTO ABMultiValue(record_id, property, value) VALUES(1, 3, '555-2');
        INSERT INTO ABMultiValue(record_id, property, value) VALUES(1, 22, 'http://a.example');
        INSERT INTO ABMultiValue(record_id, property, value) VALUES(1, 10, 'ignored');
        INSERT INTO ABMultiValue(record_id, property, value) VALUES(1, 5, 'Main Street');
        INSERT INTO ABMultiValue(record_id, property, value) VALUES(1, 4, NULL);
        INSERT INTO ABMultiValue(record_id, property, value) VALUES(1, NULL, 'no property');
        INSERT INTO ABMultiValue(record_id, property, value) VALUES(-1, 4, 'zero@example.com');
    )");
    makeDb(stored(kImages), "ios6/AddressBookImages.sqlitedb.sql", R"(
        INSERT INTO ABFullSizeImage(record_id, data) VALUES(1, X'01');
        INSERT INTO ABFullSizeImage(record_id, data) VALUES(1, X'0203');
        INSERT INTO ABFullSizeImage(record_id, data) VALUES(-1, X'09');
    )");

    runPiped(&scanContactThread, backup.path());

    EXPECT_EQ(names(), (std::vector<std::string>{"ScanContactInfo", "ScanContactInfo", "ScanContactInfo",
                                                 "ScanProgressInfo"}));
    EXPECT_EQ(progress(), std::vector<int>{40});
    const auto contacts = records<ContactPtr>(events::ScanContactInfo);
    ASSERT_EQ(contacts.size(), 3u);
    EXPECT_EQ(ctx.contactImageArray.size(), 3u);

    const auto& zero = *contacts[0];
    EXPECT_EQ(zero.rowid, -1);  // a Rowid of 0 is not taken over
    EXPECT_EQ(zero.contactName, "Zero");
    EXPECT_EQ(zero.contactEmail, " zero@example.com");  // queried with -1
    ASSERT_TRUE(zero.imageData);
    EXPECT_EQ(*zero.imageData, ByteBuffer{9});

    const auto& ann = *contacts[1];
    EXPECT_EQ(ann.contactPhone, " 555-1 555-2");
    EXPECT_EQ(ann.contactEmail, "");  // a NULL value adds nothing
    ASSERT_TRUE(ann.imageData);
    EXPECT_EQ(*ann.imageData, (ByteBuffer{2, 3}));  // the later picture row wins

    const auto& smith = *contacts[2];
    EXPECT_EQ(smith.contactName, " Smith");  // empty first name: not present
    EXPECT_EQ(smith.contactCompany, " Acme");
    EXPECT_EQ(smith.contactNote, "\xEF\xBF\xBD(");  // a cut-short sequence costs one character
    EXPECT_FALSE(smith.imageData);
    EXPECT_TRUE(logLines.empty());
    EXPECT_TRUE(ctx.scanScratchDir.empty());  // the stage's private copies are gone
}

TEST_F(ContactsTest, OlderPictureNameAndNewerLayout) {
    makeDb(stored(kAddressBook), "ios7/AddressBook.sqlitedb.sql",
           "INSERT INTO ABPerson(ROWID, First, guid) VALUES(1, 'Ann', '00000000-0000-0000-0000-000000000001');"
           "INSERT INTO ABMultiValue(record_id, property, value, guid) "
           "VALUES(1, 3, '555-1', '00000000-0000-0000-0000-000000000002');");
    makeDb(stored(std::string(kImages) + ".mddata"), "legacy/AddressBookImages.sqlitedb.mddata.sql",
           "INSERT INTO ABImage(record_id, format, data) VALUES(1, 0, X'AB');");
    runPiped(&scanContactThread, backup.path());
    const auto contacts = records<ContactPtr>(events::ScanContactInfo);
    ASSERT_EQ(contacts.size(), 1u);
    EXPECT_EQ(contacts[0]->contactPhone, " 555-1");
    ASSERT_TRUE(contacts[0]->imageData);
    EXPECT_EQ(*contacts[0]->imageData, ByteBuffer{0xAB});
}

TEST_F(ContactsTest, UnreadablePictureStoreAndFolderInPlace) {
    runPiped(&scanContactThread, "");  // no backup chosen: quietly nothing
    EXPECT_TRUE(posted.empty() && logLines.empty());
    // A picture store that is not a database does not stop the stage.
    writeFile(stored(kAddressBook), std::string(4096, 'x'));
    writeFile(stored(kImages), "garbage");
    runPiped(&scanContactThread, backup.path());
    EXPECT_EQ(names(), std::vector<std::string>{"ScanProgressInfo"});

    // A stored name that is a folder cannot even be copied.
    posted.clear();
    std::filesystem::remove(stored(kAddressBook));
    std::filesystem::create_directory(stored(kAddressBook));
    runPiped(&scanContactThread, backup.path());
    EXPECT_EQ(progress(), std::vector<int>{40});
    EXPECT_TRUE(ctx.contactArray.empty());
}

}  // namespace
}  // namespace salvor::test
