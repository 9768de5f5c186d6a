// Photos, videos, audio and social-application files found among the manifest records.
#pragma once

#include "backup/tree_nodes.h"

namespace salvor {

class SalvorAppDelegate;

void GetMediaFileByNode(SalvorAppDelegate& app, const MVTreeDirNode& node);

}  // namespace salvor
