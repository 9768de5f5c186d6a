// The row checks of Manifest.db and the MBFile decoder, on the hand-made
// archives kept with the decoder's fuzz corpus.
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sqlite3.h>

#include <random>
#include <string>
#include <vector>

#include "backup/manifest_db.h"
#include "backup/mbfile.h"
#include "backup_test_util.h"
#include "forge/hostile_modern_load.h"
#include "platform/plist.h"
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

// An archive as a phone writes it, with the variations a decoder must
// follow: a path kept in an NSString object, a negative time, a size behind
// a reference to a reference, a link target that is ASCII or not (then stored
// as UTF-16).
std::vector<std::uint8_t> variedArchive(const char* target) {
    plist_t a = plist_new_dict();
    plist_dict_set_item(a, "$archiver", plist_new_string("NSKeyedArchiver"));
    plist_t top = plist_new_dict();
    plist_dict_set_item(top, "root", plist_new_uid(1));
    plist_dict_set_item(a, "$top", top);
    plist_t file = plist_new_dict();
    plist_dict_set_item(file, "$class", plist_new_uid(2));
    plist_dict_set_item(file, "RelativePath", plist_new_uid(3));
    plist_dict_set_item(file, "Target", plist_new_uid(6));
    plist_dict_set_item(file, "Size", plist_new_uid(4));
    plist_dict_set_item(file, "Mode", plist_new_uint(0120755));
    plist_dict_set_item(file, "Birth", plist_new_uint(static_cast<std::uint64_t>(-86400)));
    plist_dict_set_item(file, "UserID", plist_new_uint(501));
    plist_t cls = plist_new_dict();
    plist_dict_set_item(cls, "$classname", plist_new_string("MBFile"));
    plist_t path = plist_new_dict();
    plist_dict_set_item(path, "NS.string", plist_new_string("Library/Notes/notes.sqlite"));
    plist_t objects = plist_new_array();
    plist_array_append_item(objects, plist_new_string("$null"));
    plist_array_append_item(objects, file);
    plist_array_append_item(objects, cls);
    plist_array_append_item(objects, path);
    plist_array_append_item(objects, plist_new_uid(5));
    plist_array_append_item(objects, plist_new_uint(4096));
    plist_array_append_item(objects, plist_new_string(target));
    plist_dict_set_item(a, "$objects", objects);
    char* bin = nullptr;
    std::uint32_t size = 0;
    plist_to_bin(a, &bin, &size);
    std::vector<std::uint8_t> bytes(bin, bin + size);
    free(bin);
    plist_free(a);
    return bytes;
}

// The archives of a manifest are read in place, apart from the general
// property-list reader; both must answer alike for any bytes, damaged ones
// included: every seed with each byte changed in turn, cut short, and
// randomly altered.
TEST(MBFile, ReadingInPlaceAnswersAsTheGeneralReader) {
    std::vector<std::vector<std::uint8_t>> seeds;
    for (const char* target : {"/var/mobile/Cafe", "/var/mobile/Caf\xC3\xA9"}) {
        seeds.push_back(variedArchive(target));
        const auto read = decodeMBFile(seeds.back().data(), seeds.back().size());
        ASSERT_TRUE(read);
        EXPECT_EQ(read->relativePath, "Library/Notes/notes.sqlite");
        EXPECT_EQ(read->target, target);
        EXPECT_EQ(read->size, 4096u);
        EXPECT_EQ(read->birth, -86400);
        EXPECT_EQ(read->userId, 501u);
    }
    for (const char* name : {"valid_file.bplist", "root_last_link.bplist", "with_key.bplist", "uid_cycle.bplist",
                             "out_of_bounds_types.bplist", "root_past_table.bplist", "other_class.bplist",
                             "shared_children_19.bplist"})
        seeds.push_back(test::readBytes(std::string(SALVOR_SOURCE_DIR) + "/tests/fuzz/corpus/mbfile/" + name));
    auto same = [](const std::vector<std::uint8_t>& b) {
        return decodeMBFile(b.data(), b.size()) == decodeMBFileGeneral(b.data(), b.size());
    };
    std::mt19937 rng(20261206);
    for (const auto& seed : seeds) {
        ASSERT_FALSE(seed.empty());
        ASSERT_TRUE(same(seed));
        for (std::size_t at = 0; at < seed.size(); ++at) {
            for (const std::uint8_t value : {0x00, 0x01, 0x0F, 0x7F, 0x80, 0xFF}) {
                auto changed = seed;
                changed[at] = value;
                ASSERT_TRUE(same(changed)) << "byte " << at << " set to " << int(value);
            }
            auto flipped = seed;
            flipped[at] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
            ASSERT_TRUE(same(flipped)) << "byte " << at << " flipped";
            const std::vector<std::uint8_t> cut(seed.begin(), seed.begin() + static_cast<std::ptrdiff_t>(at));
            ASSERT_TRUE(same(cut)) << "cut at " << at;
        }
        for (int round = 0; round < 2000; ++round) {
            auto changed = seed;
            for (int edit = 1 + static_cast<int>(rng() % 4); edit > 0; --edit)
                changed[rng() % changed.size()] = static_cast<std::uint8_t>(rng());
            ASSERT_TRUE(same(changed)) << "round " << round;
        }
    }
}

// Arrays that each hold the next one twice: a hundred and fifty bytes that
// expand to a million values when every reference is copied. The bound on the
// values of an archive is counted once per object, so such an archive is
// refused at once, read in place or through the general reader; the general
// reader keeps its own, larger bound for other property lists.
TEST(MBFile, ArchivesWhoseSharedValuesExpandFarAreRefusedWithoutExpanding) {
    const std::vector<std::uint8_t> shared = forge::sharedChildrenArchive(19);
    ASSERT_LT(shared.size(), 200u);
    EXPECT_FALSE(decodeMBFile(shared.data(), shared.size()));
    EXPECT_FALSE(decodeMBFileGeneral(shared.data(), shared.size()));
    EXPECT_TRUE(plist::Document::fromBytes(shared.data(), shared.size()));  // 2^20 values: within the general bound
    for (const int levels : {10, 11, 12}) {
        const std::vector<std::uint8_t> b = forge::sharedChildrenArchive(levels);
        const bool within = (std::uint64_t{2} << levels) + 3 <= kMaxArchiveValues;  // the arrays, the top and its three
        EXPECT_EQ(bool(plist::Document::fromBytes(b.data(), b.size(), kMaxArchiveValues)), within) << levels;
    }
    // The kept corpus entry is this archive, so the fuzz targets start from it.
    EXPECT_EQ(test::readBytes(std::string(SALVOR_SOURCE_DIR) + "/tests/fuzz/corpus/mbfile/shared_children_19.bplist"),
              shared);
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
