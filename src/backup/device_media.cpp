#include "backup/device_media.h"

#include "platform/log.h"

namespace salvor {

// A backup of the store carries its camera files in the manifest; only a backup
// made from a connected device has a separate camera folder to copy, and device
// backups are not made on this platform, so the stage has no input and ends.
void scanDiskAidMediaThread(ScanContext&, const std::string&) {
    log::line("no connected-device media to copy", log::Level::Debug);
}

}  // namespace salvor
