// "Back up, copy the camera folders, scan" for a connected device: the one
// entry point that the command line and the desktop window share. Progress and
// failures reach the session's result store (progress, problems, end of scan)
// like those of any scan; the calls here return one sentence a person can act
// on when the device cannot be used.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/records.h"
#include "engine/scan_session.h"

namespace salvor {

namespace amd {
class DeviceManager;
}

// One connected device as `salvor devices` shows it.
struct ConnectedDevice {
    int index = 0;      // 1-based position in the device list
    std::string udid;
    Text name, productType, modelName, version;
    bool paired = false;  // the device trusts this computer
    std::string note;     // why values are missing (locked, not trusted...), empty when none
};

// Watches devices through `manager` (the process's shared one by default)
// and lists those connected now; the error sentence when devices cannot be
// reached at all (usbmuxd not running).
std::optional<std::string> listConnectedDevices(std::vector<ConnectedDevice>& out,
                                                amd::DeviceManager* manager = nullptr);

class DeviceScan {
public:
    explicit DeviceScan(ScanSession& session, amd::DeviceManager* manager = nullptr);
    ~DeviceScan();
    DeviceScan(const DeviceScan&) = delete;
    DeviceScan& operator=(const DeviceScan&) = delete;

    // Checks the device (the first one, or the one with `udid`), its pairing,
    // its backup settings and the tools, then starts the backup on its own
    // thread, which hands the fresh backup to the scan; returns at once.
    std::optional<std::string> start(const std::string& udid, std::function<void(int)> onProgress = {});
    // True while the backup or the scan runs (the main thread serves the session's queue meanwhile).
    bool running() const;
    // After running() turned false: why no scan was made, absent when the scan ran.
    std::optional<std::string> finish();
    // start, serve the queue until done, finish.
    std::optional<std::string> run(const std::string& udid, std::function<void(int)> onProgress = {});

    ConnectedDevice device;     // the device backed up
    std::string backupFolder;   // where its backup is kept (set by finish)
    std::string photoFolder;    // where its camera files are copied

private:
    ScanSession& session_;
    amd::DeviceManager* manager_;
};

}  // namespace salvor
