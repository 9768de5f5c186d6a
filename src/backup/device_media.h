// Camera files copied from a connected device (runs only for a device backup).
#pragma once

#include <optional>
#include <string>

namespace salvor {

class ScanContext;
namespace amd {
class DeviceManager;
}

// Which device the camera copy reads and where it writes, set by whoever starts
// a device scan before the scan begins (the copy runs on the scan thread).
struct DeviceMediaSource {
    amd::DeviceManager* manager = nullptr;
    int index = 0;            // 1-based position in the manager's list
    std::string photoFolder;  // private folder for the copies
};
void setDeviceMediaSource(std::optional<DeviceMediaSource> source);

// Copies every camera folder (DCIM/1xxAPPLE) of the device's media service
// into the photo folder, posting each photo and video and the progress
// 20 + 10*i/n for the i-th of n files.
void scanDeviceMedia(ScanContext& ctx, const std::string& backupPath);

}  // namespace salvor
