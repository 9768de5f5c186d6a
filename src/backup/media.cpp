#include "backup/media.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>
#include <unordered_map>

#include "core/scan_context.h"
#include "core/helpers.h"

namespace salvor {

namespace {

constexpr std::array<std::string_view, 3> kSocialDomains = {
    "AppDomain-com.facebook.Facebook", "AppDomain-com.atebits.Tweetie2", "AppDomain-com.facebook.Messenger"};

constexpr std::string_view kCameraRollDomain = "CameraRollDomain";

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

// The same, with the size a person should see: an encrypted file's ciphertext
// is longer than its content by its padding.
StoredFile storedFileOf(const ScanContext& ctx, const std::string& path) {
    StoredFile stored = statStored(path);
    if (stored.exists && ctx.cipher) stored.size = ctx.cipher->plainSize(BackupCipher::storedNameOf(path), stored.size);
    return stored;
}

// What a manifest record is, by the extension of its path: a picture, a film
// (or sound, listed with the films), a social-application file.
struct Kind {
    bool picture = false, movie = false, social = false;
    std::string ext;
};

Kind kindOf(const MVTreeDirNode& node) {
    Kind k;
    const std::string& path = textOrEmpty(node.filePath);
    k.ext = extensionOf(path);
    if (!k.ext.empty()) {
        // The tables compare without regard to case: ".heic" is ".HEIC".
        k.picture = GetImageType(k.ext.c_str()) >= 0;
        // Audio is listed with the videos.
        k.movie = !k.picture && (GetAudioType(k.ext.c_str()) >= 0 || GetViedoType(k.ext.c_str()) >= 0);
    }
    k.social = std::find(kSocialDomains.begin(), kSocialDomains.end(), textOrEmpty(node.fileDomain)) !=
               kSocialDomains.end();
    return k;
}

std::shared_ptr<MVPhotoAndVideoNode> photoRecord(const MVTreeDirNode& node, const Kind& kind,
                                                 const StoredFile& stored, const PhotoFacts* facts) {
    // A missing copy is still listed, with the size 0.
    auto photo = std::make_shared<MVPhotoAndVideoNode>();
    photo->filePath = textOrEmpty(node.fileKey);
    photo->fileSizeNumber = stored.size;
    photo->fileNodeName = std::string(lastComponent(textOrEmpty(node.filePath)));
    photo->bmov = kind.movie ? 1 : 0;
    if (facts) {
        photo->fileCreateDate = facts->createDate;
        photo->bDeleted = facts->trashed ? 1 : 0;
    }
    return photo;
}

void postSocial(ScanContext& ctx, const MVTreeDirNode& node, const StoredFile& stored) {
    auto file = std::make_shared<MVFaceTwitterNode>();
    file->faceTwitterFilePath = textOrEmpty(node.fileKey);
    file->faceTwitterFileName = std::string(lastComponent(textOrEmpty(node.filePath)));
    file->fileSizeNumber = stored.size;
    ctx.sink.socialFile(FaceTwitterPtr(std::move(file)));
}

std::string lowered(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

void GetMediaFileByNode(ScanContext& ctx, const MVTreeDirNode& node, const PhotoFacts* facts) {
    const Kind kind = kindOf(node);
    if (!kind.picture && !kind.movie && !kind.social) return;
    const StoredFile stored = storedFileOf(ctx, textOrEmpty(node.fileKey));
    if (kind.picture || kind.movie)
        ctx.sink.photo(PhotoPtr(photoRecord(node, kind, stored, facts)));
    if (kind.social && stored.exists) postSocial(ctx, node, stored);
}

void MediaList::add(ScanContext& ctx, const MVTreeDirNode& node, const PhotoFacts* facts) {
    const Kind kind = kindOf(node);
    if (!kind.picture && !kind.movie && !kind.social) return;
    const StoredFile stored = storedFileOf(ctx, textOrEmpty(node.fileKey));
    if (kind.picture || kind.movie) {
        Held h{photoRecord(node, kind, stored, facts)};
        // The camera keeps a Live Photo as a picture (HEIC, or JPEG on older
        // phones and in "Most Compatible" mode) and a QuickTime film of the
        // same name beside it.
        const std::string ext = lowered(kind.ext);
        if (textOrEmpty(node.fileDomain) == kCameraRollDomain) {
            if (ext == "heic" || ext == "heif" || ext == "jpg" || ext == "jpeg") h.role = Held::Role::Picture;
            if (ext == "mov") h.role = Held::Role::Film;
        }
        if (h.role != Held::Role::None) {
            const std::string& path = textOrEmpty(node.filePath);
            h.pairKey = lowered(path.substr(0, path.size() - kind.ext.size() - 1));
        }
        held_.push_back(std::move(h));
    }
    if (kind.social && stored.exists) postSocial(ctx, node, stored);
}

void MediaList::finish(ScanContext& ctx) {
    std::unordered_map<std::string, std::size_t> pictures;
    for (std::size_t i = 0; i < held_.size(); ++i)
        if (held_[i].role == Held::Role::Picture) pictures.emplace(held_[i].pairKey, i);
    std::vector<bool> paired(held_.size(), false);
    for (std::size_t i = 0; i < held_.size(); ++i) {
        if (held_[i].role != Held::Role::Film) continue;
        const auto it = pictures.find(held_[i].pairKey);
        if (it == pictures.end() || held_[it->second].record->livePhotoVideo) continue;
        held_[it->second].record->livePhotoVideo = held_[i].record;
        paired[i] = true;
    }
    for (std::size_t i = 0; i < held_.size(); ++i) {
        if (ctx.stopRequested()) break;
        if (!paired[i]) ctx.sink.photo(PhotoPtr(std::move(held_[i].record)));
    }
    held_.clear();
}

}  // namespace salvor
