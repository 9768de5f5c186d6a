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
    EXPECT_EQ(h.order[0], "photo");
    EXPECT_EQ(h.order[1], "socialFile");
    EXPECT_EQ(h.order[2], "socialFile");
    EXPECT_EQ(h.order[3], "photo");
    EXPECT_EQ(h.photos.back()->fileSizeNumber, 0u);
    ASSERT_EQ(h.social.size(), 2u);
    EXPECT_EQ(*h.social[0]->faceTwitterFileName, "pic.jpg");
    EXPECT_EQ(*h.social[0]->faceTwitterFilePath, dir / "fb-jpg");
    EXPECT_EQ(h.social[0]->fileSizeNumber, 10u);
    EXPECT_EQ(*h.social[1]->faceTwitterFileName, "t.plist");
    EXPECT_EQ(h.social[1]->fileSizeNumber, 2000u);
}

// Today's camera roll by type, whatever the case of the extension, and a Live
// Photo's film listed with its picture, whichever of the two comes first.
TEST(Media, CameraRollTypesAndLivePhotosGoWithTheirPictures) {
    TempDir dir;
    for (const char* f : {"heic", "mov", "jpg", "mov2", "mov3", "heif", "dng"})
        testing_backup::writeFile(dir / f, std::string(100, 'x'));
    ScanHarness h;
    MediaList media;
    const std::string roll = "CameraRollDomain";
    // The film before its picture, in another case.
    media.add(h.ctx, node(roll, "Media/DCIM/100APPLE/IMG_0001.mov", dir / "mov"));
    media.add(h.ctx, node(roll, "Media/DCIM/100APPLE/IMG_0001.HEIC", dir / "heic"));
    media.add(h.ctx, node(roll, "Media/DCIM/100APPLE/IMG_0002.JPG", dir / "jpg"));
    media.add(h.ctx, node(roll, "Media/DCIM/100APPLE/IMG_0002.MOV", dir / "mov2"));
    // Same name in another folder, and a film with no picture: films of their own.
    media.add(h.ctx, node(roll, "Media/DCIM/101APPLE/IMG_0001.MOV", dir / "mov3"));
    media.add(h.ctx, node(roll, "Media/DCIM/101APPLE/IMG_0003.HeIf", dir / "heif"));
    media.add(h.ctx, node(roll, "Media/DCIM/101APPLE/IMG_0004.dng", dir / "dng"));
    media.add(h.ctx, node(roll, "Media/DCIM/101APPLE/IMG_0005.Mp4", dir / "missing"));
    media.add(h.ctx, node(roll, "Media/DCIM/101APPLE/IMG_0006.webp", dir / "missing"));
    media.add(h.ctx, node(roll, "Media/DCIM/101APPLE/IMG_0007.gif", dir / "missing"));
    media.add(h.ctx, node(roll, "Media/DCIM/101APPLE/IMG_0008.M4V", dir / "missing"));
    // Elsewhere a picture and film of one name are no Live Photo.
    media.add(h.ctx, node("MediaDomain", "Library/SMS/Attachments/a/IMG_0009.HEIC", dir / "missing"));
    media.add(h.ctx, node("MediaDomain", "Library/SMS/Attachments/a/IMG_0009.MOV", dir / "missing"));
    EXPECT_TRUE(h.photos.empty());  // held until the list is read to its end
    media.finish(h.ctx);

    std::vector<std::string> names;
    for (const auto& p : h.photos) names.push_back(textOrEmpty(p->fileNodeName) + (p->bmov ? " film" : " picture"));
    EXPECT_EQ(names, (std::vector<std::string>{"IMG_0001.HEIC picture", "IMG_0002.JPG picture", "IMG_0001.MOV film",
                                               "IMG_0003.HeIf picture", "IMG_0004.dng picture", "IMG_0005.Mp4 film",
                                               "IMG_0006.webp picture", "IMG_0007.gif picture",
                                               "IMG_0008.M4V film", "IMG_0009.HEIC picture",
                                               "IMG_0009.MOV film"}));
    ASSERT_TRUE(h.photos[0]->livePhotoVideo);
    EXPECT_EQ(textOrEmpty(h.photos[0]->livePhotoVideo->filePath), dir / "mov");
    EXPECT_EQ(h.photos[0]->livePhotoVideo->fileSizeNumber, 100u);
    ASSERT_TRUE(h.photos[1]->livePhotoVideo);
    EXPECT_EQ(textOrEmpty(h.photos[1]->livePhotoVideo->filePath), dir / "mov2");
    for (std::size_t i = 2; i < h.photos.size(); ++i) EXPECT_FALSE(h.photos[i]->livePhotoVideo) << i;
    // Nothing is held over for another list.
    media.finish(h.ctx);
    EXPECT_EQ(h.photos.size(), names.size());
}

}  // namespace
}  // namespace salvor
