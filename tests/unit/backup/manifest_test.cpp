#include <gtest/gtest.h>

#include <string>

#include "backup/manifest.h"
#include "backup/mbdb_reader.h"
#include "backup_test_util.h"

namespace salvor {
namespace {

using testing_backup::MbdbWriter;
using testing_backup::ScanHarness;
using testing_backup::TempDir;

// SHA-1 computed apart from the stage, as a second opinion on the stage's context-based digest.
std::string referenceName(const std::string& text) { return test::sha1Hex({text.begin(), text.end()}); }

TEST(Manifest, LongTextsHashedWholeNulEndsTextBadUtf8IsReplaced) {
    TempDir dir;
    const std::string longPath = "Library/" + std::string(292, 'x');  // 300 bytes
    const std::string longDomain = "AppDomain-" + std::string(400, 'd');
    MbdbWriter w;
    w.record("HomeDomain", longPath)
        .record(longDomain, "f")
        .record("HomeDomain", std::string_view("a.db\0junk", 9))
        .record("HomeDomain", "\xff\xfe.db")
        .record("HomeDomain", "after");
    w.save(dir.path());
    ScanHarness h;
    scanBackupFiles(h.ctx, dir.path());
    ASSERT_EQ(h.records.size(), 5u);
    EXPECT_EQ(*h.records[0]->filePath, longPath);
    EXPECT_EQ(*h.records[0]->fileKey, dir.path() + "/" + referenceName("HomeDomain-" + longPath));
    EXPECT_EQ(*h.records[1]->fileDomain, longDomain);
    EXPECT_EQ(*h.records[2]->filePath, "a.db");
    EXPECT_EQ(*h.records[2]->fileKey, dir.path() + "/" + referenceName("HomeDomain-a.db"));
    // Not UTF-8: shown with U+FFFD, but the stored name still comes from the bytes.
    EXPECT_EQ(*h.records[3]->filePath, "\xEF\xBF\xBD\xEF\xBF\xBD.db");
    EXPECT_EQ(*h.records[3]->fileKey, dir.path() + "/" + referenceName("HomeDomain-\xff\xfe.db"));
    EXPECT_EQ(*h.records[4]->filePath, "after");
}

TEST(Manifest, HostileFilesEndTheStageCleanly) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> bytes;
        std::size_t records;
    };
    // A good record, then the head of a second one: domain, path and three absent strings.
    auto okThenHead = [] {
        MbdbWriter w;
        w.record("HomeDomain", "ok").str("HomeDomain").str("p").str(std::nullopt).str(std::nullopt).str(std::nullopt);
        return w;
    };
    auto okThen = [] { return MbdbWriter().record("HomeDomain", "ok").bytes(); };
    auto wrongMagic = MbdbWriter().record("HomeDomain", "a").bytes();
    wrongMagic[4] = 0x04;  // older format number
    auto push = [](std::vector<std::uint8_t> b, std::initializer_list<std::uint8_t> tail) {
        b.insert(b.end(), tail);
        return b;
    };
    const std::vector<Case> cases = {
        {"wrong magic", wrongMagic, 0},
        {"magic only", MbdbWriter().bytes(), 0},
        {"shorter than the magic", {0x6D, 0x62, 0x64}, 0},
        {"domain length past the end", push(okThen(), {0x01, 0xF4, 'H', 'o', 'm', 'e'}), 1},
        {"attribute block cut short", okThenHead().raw({1, 2, 3, 4, 5}).bytes(), 1},
        {"property count beyond the file", okThenHead().attributes(255).str("name").str("value").bytes(), 1},
        {"all strings absent",
         MbdbWriter().record(std::nullopt, std::nullopt).str(std::nullopt).str(std::nullopt).str(std::nullopt)
             .str(std::nullopt).str(std::nullopt).attributes(0).bytes(), 2},
        {"half a length", push(okThen(), {0xFF}), 1},
        {"link target longer than the file", push(okThen(), {0, 10, 'H', 'o', 'm', 'e', 'D', 'o', 'm', 'a', 'i', 'n',
                                                             0, 1, 'p', 0xFF, 0xFE}), 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        testing_backup::writeFile(dir / "Manifest.mbdb", c.bytes);
        ScanHarness h;
        scanBackupFiles(h.ctx, dir.path());
        EXPECT_EQ(h.records.size(), c.records);
        EXPECT_LE(h.ctx.treeFileArray.size(), c.records);
    }
    // No manifest at all, or a folder in its place.
    TempDir dir;
    ScanHarness h;
    scanBackupFiles(h.ctx, dir.path());
    std::filesystem::create_directory(dir / "Manifest.mbdb");
    scanBackupFiles(h.ctx, dir.path());
    EXPECT_TRUE(h.records.empty());
}

TEST(Manifest, LookupReturnsTheLaterDuplicate) {
    TempDir dir;
    MbdbWriter w;
    w.record("HomeDomain", "Library/SMS/Attachments/x.jpg")
        .record("KeychainDomain", "shared.db")
        .record("MediaDomain", "Library/SMS/Attachments/x.jpg");
    w.save(dir.path());
    ScanHarness h;
    EXPECT_FALSE(h.ctx.getFileKeyBytheFilepath("anything"));  // empty list
    scanBackupFiles(h.ctx, dir.path());
    const Text key = h.ctx.getFileKeyBytheFilepath("Library/SMS/Attachments/x.jpg");
    ASSERT_TRUE(key);
    EXPECT_EQ(*key, dir.path() + "/" + referenceName("MediaDomain-Library/SMS/Attachments/x.jpg"));
    EXPECT_FALSE(h.ctx.getFileKeyBytheFilepath("shared.db"));  // not a kept domain
    EXPECT_FALSE(h.ctx.getFileKeyBytheFilepath("Library/SMS"));
}

}  // namespace
}  // namespace salvor
