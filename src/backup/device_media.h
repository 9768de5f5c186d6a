// Camera files copied from a connected device (runs only for a device backup).
#pragma once

#include <string>

namespace salvor {

class SalvorAppDelegate;

void scanDiskAidMediaThread(SalvorAppDelegate& app, const std::string& backupPath);

}  // namespace salvor
