// Photos, videos, audio and social-application files found among the manifest records.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/records.h"
#include "core/tree_nodes.h"

namespace salvor {

class ScanContext;

// What the device's photo library says about one camera-roll file.
struct PhotoFacts {
    std::optional<Timestamp> createDate;  // when the picture or film was taken
    bool trashed = false;  // in the library's "Recently Deleted" album
};

// `facts`, when given, is set on the photo or video the record stands for.
void GetMediaFileByNode(ScanContext& ctx, const MVTreeDirNode& node, const PhotoFacts* facts = nullptr);

// The photos and videos of one file list, held until the list is read to its
// end and then posted in listing order: a Live Photo's film (the ".MOV" of the
// camera roll beside a picture of the same name in the same folder, listed
// before or after it) goes with its picture as its livePhotoVideo and is not
// posted as a video of its own. Social-application files are posted at once.
class MediaList {
public:
    // As GetMediaFileByNode, but holding the photo or video.
    void add(ScanContext& ctx, const MVTreeDirNode& node, const PhotoFacts* facts = nullptr);
    // Pairs the Live Photos and posts what is held; the list is then empty.
    void finish(ScanContext& ctx);

private:
    struct Held {
        std::shared_ptr<MVPhotoAndVideoNode> record;
        std::string pairKey;  // camera-roll domain, folder and name without extension; empty: never paired
        enum class Role { None, Picture, Film } role = Role::None;
    };
    std::vector<Held> held_;
};

}  // namespace salvor
