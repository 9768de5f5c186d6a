// The list of backups in the backup store and the reading of a backup folder's
// description files (Info.plist, Manifest.plist).
#pragma once

#include <optional>
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
    // Display name of a product type such as "iPhone4,1": the model's own
    // name for a known type, else the old pattern search for a text holding
    // an old type; "iPhone" for an absent or empty type, absent when unknown.
    static Text GetDevcieType(const Text& productType);
    // Host version numbers; this platform has no such test and reports 10, 0, 0.
    static void getSystemVersionMajor(int& major, int& minor, int& bugFix);
};

// Gives a backup without a usable device name (missing, blank, not a text) the
// name of its folder: the backup tree is rooted at the device name, and
// without one every file of the backup would be left out.
void nameAfterFolderIfUnnamed(MVIOSDeviceNode& node, const std::string& folderPath);

// The store path for the current login name, unless overridden by the
// environment variable SALVOR_BACKUP_STORE.
std::string defaultBackupStore();
// Empties the list and fills it from the folders of `storeDir` (names starting with "." skipped).
void showIphoneDisk(MVIOSDeviceController& list, const std::string& storeDir);

// Which manifest the folder holds. A folder with both keeps the older reading.
BackupFormat detectBackupFormat(const std::string& folderPath);
// Sets the entry's format and encryption flag from the folder's files; for a
// folder that addDeviceNodeByPath could not describe (it sets them itself).
void describeBackupFormat(MVIOSDeviceNode& node, const std::string& folderPath);
// A short remark for a backup list ("encrypted: needs its password"); empty
// when there is nothing to say.
std::string backupFormatNote(const MVIOSDeviceNode& node);
// The format as a backup list names it: "iOS 10+ (Manifest.db)", "iOS 4-9 (Manifest.mbdb)", "unknown".
std::string backupFormatText(BackupFormat format);

}  // namespace salvor
