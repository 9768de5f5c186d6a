#include "backup/media.h"

#include <sys/stat.h>

#include <algorithm>
#include <any>
#include <array>
#include <string_view>

#include "core/scan_context.h"
#include "core/events.h"
#include "core/helpers.h"

namespace salvor {

namespace {

constexpr std::array<std::string_view, 3> kSocialDomains = {
    "AppDomain-com.facebook.Facebook", "AppDomain-com.atebits.Tweetie2", "AppDomain-com.facebook.Messenger"};

std::string_view lastComponent(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// Text after the last dot of the last component; empty when there is none.
std::string extensionOf(std::string_view path) {
    const std::string_view name = lastComponent(path);
    const std::size_t dot = name.rfind('.');
    return dot == std::string_view::npos ? std::string() : std::string(name.substr(dot + 1));
}

// Size of the stored file, and whether the backup holds one.
struct StoredFile {
    bool exists = false;
    std::uint64_t size = 0;
};

// Only a regular file is a stored file: a link is not followed (it could lead
// anywhere on the machine) and a FIFO, device or folder holds nothing to copy.
StoredFile statStored(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
    return {true, static_cast<std::uint64_t>(st.st_size)};
}

}  // namespace

void GetMediaFileByNode(ScanContext& ctx, const MVTreeDirNode& node, const PhotoFacts* facts) {
    static const std::string kPhotoEvent = events::ScanPhotoAndVideo;
    static const std::string kSocialEvent = events::scanFaceTwitterInfo;

    const std::string& path = textOrEmpty(node.filePath);
    const std::string& key = textOrEmpty(node.fileKey);
    const std::string ext = extensionOf(path);

    bool picture = false, movie = false;
    if (!ext.empty()) {
        picture = GetImageType(ext.c_str()) >= 0;
        // Audio is listed with the videos.
        movie = !picture && (GetAudioType(ext.c_str()) >= 0 ||
                             GetViedoType(ext.c_str()) >= 0);
    }
    const bool social =
        std::find(kSocialDomains.begin(), kSocialDomains.end(), textOrEmpty(node.fileDomain)) != kSocialDomains.end();
    if (!picture && !movie && !social) return;

    StoredFile stored = statStored(key);
    // An encrypted file's ciphertext is longer than its content by its padding.
    if (stored.exists && ctx.cipher) stored.size = ctx.cipher->plainSize(BackupCipher::storedNameOf(key), stored.size);
    const std::string name(lastComponent(path));

    if (picture || movie) {
        // A missing copy is still listed, with the size 0.
        auto photo = std::make_shared<MVPhotoAndVideoNode>();
        photo->filePath = key;
        photo->fileSizeNumber = stored.size;
        photo->fileNodeName = name;
        photo->fileNodeSize = size_to_unit(stored.size);
        photo->bmov = movie ? 1 : 0;
        if (facts) {
            photo->fileCreateDate = facts->createDate;
            photo->bDeleted = facts->trashed ? 1 : 0;
        }
        ctx.nc.post(kPhotoEvent, std::any(PhotoPtr(std::move(photo))));
    }
    if (social && stored.exists) {
        auto file = std::make_shared<MVFaceTwitterNode>();
        file->faceTwitterFilePath = key;
        file->faceTwitterFileName = name;
        file->FileSizeNumber = stored.size;
        file->fileSize = size_to_unit(stored.size);
        ctx.nc.post(kSocialEvent, std::any(FaceTwitterPtr(std::move(file))));
    }
}

}  // namespace salvor
