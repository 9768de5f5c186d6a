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

TEST(Media, ClassifiedByExtensionAlone) {
    TempDir dir;
    testing_backup::writeFile(dir / "stored-jpg", std::string(1536, 'j'));
    ScanHarness h;
    GetMediaFileByNode(h.ctx, node("CameraRollDomain", "Media/DCIM/100APPLE/IMG_0001.JPG", dir / "stored-jpg"));
    GetMediaFileByNode(h.ctx, node("CameraRollDomain", "Media/DCIM/100APPLE/IMG_0002.MOV", dir / "missing"));
    GetMediaFileByNode(h.ctx, node("MediaDomain", "Media/Recordings/memo.m4a", dir / "missing"));
    GetMediaFileByNode(h.ctx, node("MediaDomain", "Media/x.mp3", dir / "missing"));
    GetMediaFileByNode(h.ctx, node("MediaDomain", "Media/clip.3g2", dir / "missing"));
    GetMediaFileByNode(h.ctx, node("MediaDomain", "Media/model.3dm", dir / "missing"));
    GetMediaFileByNode(h.ctx, node("HomeDomain", "Library/wallpaper.png", dir / "missing"));
    // Nothing for unlisted extensions, names without one, or a dot only in a folder name.
    GetMediaFileByNode(h.ctx, node("HomeDomain", "Library/SMS/sms.db", dir / "missing"));
    GetMediaFileByNode(h.ctx, node("HomeDomain", "Library/README", dir / "missing"));
    GetMediaFileByNode(h.ctx, node("HomeDomain", "Library/photos.jpg/data", dir / "missing"));

    ASSERT_EQ(h.photos.size(), 7u);
    EXPECT_EQ(*h.photos[0]->fileNodeName, "IMG_0001.JPG");
    EXPECT_EQ(*h.photos[0]->filePath, dir / "stored-jpg");
    EXPECT_EQ(h.photos[0]->fileSizeNumber, 1536u);
    EXPECT_EQ(*h.photos[0]->fileNodeSize, "1.54K");
    EXPECT_EQ(h.photos[0]->bmov, 0);
    const int expectedMov[] = {0, 1, 1, 1, 1, 0, 0};
    for (std::size_t i = 0; i < h.photos.size(); ++i) EXPECT_EQ(h.photos[i]->bmov, expectedMov[i]) << i;
    // A missing stored copy is still listed, with size 0.
    EXPECT_EQ(h.photos[1]->fileSizeNumber, 0u);
    EXPECT_EQ(*h.photos[1]->fileNodeSize, "0.00B");
    EXPECT_TRUE(h.social.empty());
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
