// One backup folder of the store and the description of the device it came from.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/records.h"

namespace salvor {

// How a backup folder lists its files. Decided by which manifest file the
// folder holds, never by the system version: iOS 10.0 and 10.1 already wrote
// Manifest.db.
enum class BackupFormat : std::uint8_t {
    None,        // neither manifest file: nothing tells what the folder holds
    Mbdb,        // "Manifest.mbdb", stored files at the folder root (iOS 4 to 9)
    ManifestDb,  // "Manifest.db" (SQLite), stored files under two-hex-digit folders (iOS 10 and later)
};

// The format's name in listings and JSON: "none", "mbdb", "manifest-db".
constexpr const char* backupFormatName(BackupFormat f) {
    switch (f) {
    case BackupFormat::Mbdb: return "mbdb";
    case BackupFormat::ManifestDb: return "manifest-db";
    case BackupFormat::None: break;
    }
    return "none";
}

struct MVIOSDeviceNode {
    Text strDeviceName = std::string();
    Text strDeviceSize = std::string();        // size of Info.plist in bytes, as text
    Text strDeviceBackUpTime = std::string();  // "YYYY-MM-DD HH:MM", local time
    Text strDeviceSerial = std::string();
    Text strDeviceType = std::string();        // absent when the model is unknown
    Text strIOSVersion = std::string();
    Text deviceImage;                          // image resource name: "ipad" or "iphone"
    Text itunesVersion = std::string();
    Text backUpFilePath = std::string();       // absolute path of the backup folder
    BackupFormat backupFormat = BackupFormat::None;
    std::uint8_t bEncrypted = 0;               // Manifest.plist's "IsEncrypted"; 0 when it does not say
};

using DeviceNodePtr = std::shared_ptr<MVIOSDeviceNode>;

}  // namespace salvor
