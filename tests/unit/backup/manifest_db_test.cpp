// The row checks of Manifest.db and the MBFile decoder, on the hand-made
// archives kept with the decoder's fuzz corpus.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

#include "backup/manifest_db.h"
#include "backup/mbfile.h"
#include "backup_test_util.h"
#include "support/support.h"

namespace salvor {
namespace {

TEST(ManifestDbRows, OnlyNamesThatStayInsideTheBackupPass) {
    EXPECT_TRUE(isValidFileId("3d0d7e5fb2ce288813306e4d4636395e047a3d28"));
    for (const char* id : {"3D0D7E5FB2CE288813306E4D4636395E047A3D28", "3d0d7e5fb2ce288813306e4d4636395e047a3d2",
                           "3d0d7e5fb2ce288813306e4d4636395e047a3d281", "../../../../../../../../etc/passwd/xxxxx",
                           "3d0d7e5fb2ce288813306e4d4636395e047a3d2g", ""})
        EXPECT_FALSE(isValidFileId(id)) << id;
    EXPECT_FALSE(isValidFileId(std::string("3d0d7e5fb2ce288813306e4d4636395e047a3d2\0", 40)));

    for (const char* path : {"", "Library/SMS/sms.db", "Media/DCIM/100APPLE/IMG_0001.JPG", "a..b/c..", "..hidden"})
        EXPECT_TRUE(isSafeRelativePath(path)) << path;
    for (const char* path : {"..", "../x", "a/../../b", "a/..", "/etc/passwd", "a/./b", "."})
        EXPECT_FALSE(isSafeRelativePath(path)) << path;
    EXPECT_FALSE(isSafeRelativePath(std::string("a\0/../b", 7)));

    EXPECT_TRUE(isSafeDomain("AppDomainGroup-group.com.apple.notes"));
    for (const char* domain : {"", ".", "..", "Home/Domain"}) EXPECT_FALSE(isSafeDomain(domain)) << domain;
}

std::optional<MBFileAttributes> decodeSeed(const std::string& name) {
    const auto bytes = test::readBytes(std::string(SALVOR_SOURCE_DIR) + "/tests/fuzz/corpus/mbfile/" + name);
    EXPECT_FALSE(bytes.empty()) << name;
    return decodeMBFile(bytes.data(), bytes.size());
}

TEST(MBFile, ReadsArchivesAndRefusesWhatIsNotOne) {
    const auto file = decodeSeed("valid_file.bplist");
    ASSERT_TRUE(file);
    EXPECT_EQ(file->size, 1234u);
    EXPECT_EQ(file->mode, 0100644u);
    EXPECT_EQ(file->lastModified, 1600000100);  // Unix seconds, as stored
    EXPECT_EQ(file->birth, 1600000000);
    EXPECT_EQ(file->protectionClass, 3);
    EXPECT_EQ(file->relativePath, "Library/SMS/sms.db");
    EXPECT_FALSE(file->hasEncryptionKey);

    // The root is wherever "$top" says, not the second object.
    const auto link = decodeSeed("root_last_link.bplist");
    ASSERT_TRUE(link);
    EXPECT_EQ(link->mode, 0120755u);
    EXPECT_EQ(link->relativePath, "Library/link");
    EXPECT_EQ(link->target, "/var/mobile/x");

    EXPECT_TRUE(decodeSeed("with_key.bplist")->hasEncryptionKey);

    // Rings of references and references past the table give absent values;
    // values of the wrong type are absent, the rest is still read.
    const auto cycle = decodeSeed("uid_cycle.bplist");
    ASSERT_TRUE(cycle);
    EXPECT_FALSE(cycle->relativePath);
    EXPECT_FALSE(cycle->size);
    EXPECT_EQ(cycle->mode, 0100644u);
    const auto odd = decodeSeed("out_of_bounds_types.bplist");
    ASSERT_TRUE(odd);
    EXPECT_FALSE(odd->relativePath);
    EXPECT_FALSE(odd->mode);
    EXPECT_FALSE(odd->size);
    EXPECT_EQ(odd->inode, 42u);

    EXPECT_FALSE(decodeSeed("root_past_table.bplist"));
    EXPECT_FALSE(decodeSeed("other_class.bplist"));
    const std::uint8_t garbage[] = {'b', 'p', 'l', 'i', 's', 't', '0', '0', 0xFF, 0x00};
    EXPECT_FALSE(decodeMBFile(garbage, sizeof garbage));
    EXPECT_FALSE(decodeMBFile(nullptr, 0));
}

// The category readers find their databases by relative path, wherever newer
// devices keep them, at the stored file's place in its two-digit folder.
TEST(ManifestDbStage, DatabasesAreFoundByPathInTheirTwoDigitFolders) {
    testing_backup::TempDir dir;
    const std::string backup = dir.path();
    testing_backup::writeFile(backup + "/Manifest.db", std::string());
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((backup + "/Manifest.db").c_str(), &db), SQLITE_OK);
    const char* sql =
        "CREATE TABLE Files (fileID TEXT PRIMARY KEY, domain TEXT, relativePath TEXT, flags INTEGER, file BLOB);"
        "INSERT INTO Files VALUES ('3d0d7e5fb2ce288813306e4d4636395e047a3d28', 'HomeDomain', 'Library/SMS/sms.db', 1, NULL);"
        "INSERT INTO Files VALUES ('4f98687d8ab0d6d1a371110e6b7300f6e465bef2', 'AppDomainGroup-group.com.apple.notes', "
        "'NoteStore.sqlite', 1, NULL);"
        "INSERT INTO Files VALUES ('1111111111111111111111111111111111111111', 'AppDomain-com.example.other', "
        "'Library/other.db', 1, NULL);";
    ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);

    testing_backup::ScanHarness h;
    h.ctx.backupPath = backup;
    scanManifestDb(h.ctx, backup);
    EXPECT_TRUE(h.ctx.modernFormat);
    EXPECT_EQ(h.records.size(), 3u);
    EXPECT_EQ(h.ctx.getFileKeyBytheFilepath("Library/SMS/sms.db"),
              backup + "/3d/3d0d7e5fb2ce288813306e4d4636395e047a3d28");
    EXPECT_EQ(h.ctx.getFileKeyBytheFilepath("NoteStore.sqlite"),
              backup + "/4f/4f98687d8ab0d6d1a371110e6b7300f6e465bef2");
    EXPECT_EQ(h.ctx.storedPath("3d0d7e5fb2ce288813306e4d4636395e047a3d28"),
              *h.ctx.getFileKeyBytheFilepath("Library/SMS/sms.db"));
    EXPECT_FALSE(h.ctx.getFileKeyBytheFilepath("Library/other.db"));
}

}  // namespace
}  // namespace salvor
