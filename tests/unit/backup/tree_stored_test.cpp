// The backup tree's files and the stored files they stand for: which are
// there (only regular files, never through a link), their sizes, and the
// texts a file shows, in both layouts of stored files.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "backup/manifest.h"
#include "backup/tree_controller.h"
#include "backup_test_util.h"
#include "core/helpers.h"

namespace salvor {
namespace {

namespace fs = std::filesystem;
using testing_backup::TempDir;

MVTreeDirNode record(const std::string& domain, const std::string& path, const StoredPath& key) {
    MVTreeDirNode r;
    r.fileDomain = domain;
    r.filePath = path;
    r.fileKey = key;
    r.fileMode = 0x81A4;
    return r;
}

TEST(TreeStoredFiles, OnlyRegularFilesInsideTheBackupAreThere) {
    TempDir t;
    for (const bool twoDigit : {false, true}) {
        SCOPED_TRACE(twoDigit ? "two-digit folders" : "one folder");
        const std::string backup = t / (twoDigit ? "modern" : "older");
        const std::string held = storedFileName("HomeDomain", "held.db"), gone = storedFileName("HomeDomain", "gone.db"),
                          linked = storedFileName("HomeDomain", "linked.db"), fifo = storedFileName("HomeDomain", "fifo");
        auto folderOf = [&](const std::string& name) { return twoDigit ? backup + "/" + name.substr(0, 2) : backup; };
        for (const std::string& name : {held, linked, fifo}) fs::create_directories(folderOf(name));
        test::writeFile(folderOf(held) + "/" + held, "0123456789");
        test::writeFile(t / "secret", "not the backup's");
        fs::create_symlink(t / "secret", folderOf(linked) + "/" + linked);
        ASSERT_EQ(::mkfifo((folderOf(fifo) + "/" + fifo).c_str(), 0600), 0);

        MVTreeController::RecordPreparer preparer;
        auto prepare = [&](const std::string& path, const std::string& name) {
            const auto folder = std::make_shared<const std::string>(folderOf(name));
            return preparer.prepare(record("HomeDomain", path, StoredPath(folder, name))).file;
        };
        const TreeFilePtr a = prepare("Library/held.db", held), b = prepare("Library/gone.db", gone),
                          c = prepare("Library/linked.db", linked), d = prepare("fifo", fifo);
        EXPECT_TRUE(a->isFile);
        EXPECT_EQ(a->realFileSize, 10u);
        EXPECT_EQ(*a->fileSize, displaySize(10));
        EXPECT_EQ(*a->filePath, folderOf(held) + "/" + held);
        EXPECT_EQ(*a->dirFilePath, "HomeDomain/Library/held.db");
        EXPECT_EQ(*a->treefileName, "held.db");
        EXPECT_EQ(*a->treefileType, "db");
        for (const TreeFilePtr& absent : {b, c, d}) {
            EXPECT_FALSE(absent->isFile) << *absent->dirFilePath;
            EXPECT_EQ(absent->realFileSize, 0u);
            EXPECT_EQ(*absent->fileSize, displaySize(0));
        }
        EXPECT_EQ(*b->treefileType, "db");
        EXPECT_EQ(*d->treefileType, "fifo");  // no extension: the name stands for the type
        EXPECT_EQ(*d->dirFilePath, "HomeDomain/fifo");
    }
}

TEST(TreeStoredFiles, ABackupFolderReachedThroughALinkHoldsNothing) {
    TempDir t;
    const std::string backup = t / "backup";
    const std::string name = storedFileName("HomeDomain", "a.db");
    fs::create_directories(backup);
    test::writeFile(backup + "/" + name, "abc");
    fs::create_symlink(backup, t / "link");

    MVTreeController::RecordPreparer preparer;
    const auto direct = preparer.prepare(record("HomeDomain", "a.db", backup + "/" + name)).file;
    const auto throughLink = preparer.prepare(record("HomeDomain", "a.db", t / ("link/" + name))).file;
    EXPECT_TRUE(direct->isFile);
    EXPECT_EQ(direct->realFileSize, 3u);
    EXPECT_FALSE(throughLink->isFile);
}

}  // namespace
}  // namespace salvor
