#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "backup/media.h"
#include "backup_test_util.h"

namespace salvor {
namespace {

using testing_backup::ScanHarness;
using testing_backup::TempDir;

MVTreeDirNode node(const std::string& domain, const std::string& path, const std::string& key) {
    MVTreeDirNode n;
    n.fileDomain = domain;
    n.filePath = path;
    n.fileKey = key;
    return n;
}

TEST(Media, SocialApplicationFilesNeedAStoredCopy) {
    TempDir dir;
    testing_backup::writeFile(dir / "fb-jpg", std::string(10, 'x'));
    testing_backup::writeFile(dir / "tw-plist", std::string(2000, 'x'));
    ScanHarness h;
    GetMediaFileByNode(h.ctx, node("AppDomain-com.facebook.Facebook", "Library/Caches/pic.jpg", dir / "fb-jpg"));
    GetMediaFileByNode(h.ctx, node("AppDomain-com.atebits.Tweetie2", "Library/Preferences/t.plist", dir / "tw-plist"));
    GetMediaFileByNode(h.ctx, node("AppDomain-com.facebook.Messenger", "Library/gone.db", dir / "missing"));
    // A link, a FIFO or a folder is no stored copy: a link is not followed
    // to the file it names, and the picture behind the link is listed empty.
    std::filesystem::create_symlink(dir / "tw-plist", dir / "link");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    std::filesystem::create_directory(dir / "folder");
    GetMediaFileByNode(h.ctx, node("AppDomain-com.atebits.Tweetie2", "Library/linked.jpg", dir / "link"));
    GetMediaFileByNode(h.ctx, node("AppDomain-com.atebits.Tweetie2", "Library/fifo.plist", dir / "fifo"));
    GetMediaFileByNode(h.ctx, node("AppDomain-com.atebits.Tweetie2", "Library/folder.plist", dir / "folder"));

    // The picture gives a photo record first, then the social record for the same file.
    ASSERT_EQ(h.order.size(), 4u);
    EXPECT_EQ(h.order[0], events::ScanPhotoAndVideo);
    EXPECT_EQ(h.order[1], events::scanFaceTwitterInfo);
    EXPECT_EQ(h.order[2], events::scanFaceTwitterInfo);
    EXPECT_EQ(h.order[3], events::ScanPhotoAndVideo);
    EXPECT_EQ(h.photos.back()->fileSizeNumber, 0u);
    ASSERT_EQ(h.social.size(), 2u);
    EXPECT_EQ(*h.social[0]->faceTwitterFileName, "pic.jpg");
    EXPECT_EQ(*h.social[0]->faceTwitterFilePath, dir / "fb-jpg");
    EXPECT_EQ(h.social[0]->FileSizeNumber, 10u);
    EXPECT_EQ(*h.social[1]->faceTwitterFileName, "t.plist");
    EXPECT_EQ(*h.social[1]->fileSize, "2.00K");
}

}  // namespace
}  // namespace salvor
