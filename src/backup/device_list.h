// The list of backups in the backup store and the reading of a backup folder's
// description files (Info.plist, Manifest.plist).
#pragma once

#include <string>
#include <vector>

#include "core/device_node.h"

namespace salvor {

class MVIOSDeviceController {
public:
    // The entries, in the order the folders were added (directory listing order).
    std::vector<DeviceNodePtr> arrangedObjects;

    void removeAll() { arrangedObjects.clear(); }
    // Describes one folder and appends an entry; returns whether one was added.
    bool addDeviceNodeByPath(const std::string& folderPath);
    // Display name of a product type such as "iPhone4,1"; absent when unknown.
    static Text GetDevcieType(const Text& productType);
    // Host version numbers; this platform has no such test and reports 10, 0, 0.
    static void getSystemVersionMajor(int& major, int& minor, int& bugFix);
};

// The store path for the current login name, unless overridden by the
// environment variable SALVOR_BACKUP_STORE.
std::string defaultBackupStore();
// Empties the list and fills it from the folders of `storeDir` (names starting with "." skipped).
void showIphoneDisk(MVIOSDeviceController& list, const std::string& storeDir);

}  // namespace salvor
