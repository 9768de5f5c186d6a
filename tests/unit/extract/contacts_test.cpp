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

TEST_F(ContactsTest, UnreadablePictureStoreAndFolderInPlace) {
    runPiped(&scanContacts, "");  // no backup chosen: quietly nothing
    EXPECT_TRUE(posted.empty() && logLines.empty());
    // A picture store that is not a database does not stop the stage.
    writeFile(stored(kAddressBook), std::string(4096, 'x'));
    writeFile(stored(kImages), "garbage");
    runPiped(&scanContacts, backup.path());
    EXPECT_EQ(names(), std::vector<std::string>{"progress"});

    // A stored name that is a folder cannot even be copied.
    posted.clear();
    std::filesystem::remove(stored(kAddressBook));
    std::filesystem::create_directory(stored(kAddressBook));
    runPiped(&scanContacts, backup.path());
    EXPECT_EQ(progress(), std::vector<int>{40});
    EXPECT_TRUE(ctx.contactArray.empty());
}

}  // namespace
}  // namespace salvor::test
