// Photos, videos, audio and social-application files found among the manifest records.
#pragma once

#include "core/tree_nodes.h"

namespace salvor {

class ScanContext;

void GetMediaFileByNode(ScanContext& ctx, const MVTreeDirNode& node);

}  // namespace salvor
