// Photos, videos, audio and social-application files found among the manifest records.
#pragma once

#include "core/tree_nodes.h"

namespace salvor {

class ScanContext;

// What the device's photo library says about one camera-roll file.
struct PhotoFacts {
    Text createDate;       // when the picture or film was taken
    bool trashed = false;  // in the library's "Recently Deleted" album
};

// `facts`, when given, is set on the photo or video the record stands for.
void GetMediaFileByNode(ScanContext& ctx, const MVTreeDirNode& node, const PhotoFacts* facts = nullptr);

}  // namespace salvor
