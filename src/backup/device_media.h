// Camera files copied from a connected device (runs only for a device backup).
#pragma once

#include <string>

namespace salvor {

class ScanContext;

void scanDiskAidMediaThread(ScanContext& ctx, const std::string& backupPath);

}  // namespace salvor
