#include "engine/device_scan.h"


#include "backup/amd_device.h"
#include "backup/device_list.h"
#include "backup/device_media.h"
#include "platform/device_folder.h"
#include "platform/device_support.h"
#include "platform/log.h"

namespace salvor {

namespace {

amd::DeviceManager& managerOr(amd::DeviceManager* manager) {
    return manager ? *manager : amd::DeviceManager::sharedManager();
}

std::string problemText(device::Problem p) {
    switch (p) {
        case device::Problem::Locked:
        case device::Problem::NotTrusted:
            return "the device is locked or does not trust this computer: unlock the device and tap Trust on it, "
                   "then try again";
        case device::Problem::PairingRefused:
            return "the device refused to pair with this computer: unplug it, plug it in again, unlock it and tap "
                   "Trust on it";
        default: return "could not talk to the device: unplug it, plug it in again and try again";
    }
}

const char* kNoDevice = "no iPhone or iPad is connected: connect one with a USB cable, unlock it and try again";

}  // namespace

std::optional<std::string> listConnectedDevices(std::vector<ConnectedDevice>& out, amd::DeviceManager* m) {
    amd::DeviceManager& manager = managerOr(m);
    if (auto why = manager.support().unavailable()) return why;
    if (!manager.subscribed()) manager.subscribe();
    manager.support().settle();
    out.clear();
    for (int i = 1; i <= manager.count(); ++i) {
        ConnectedDevice d;
        d.index = i;
        d.udid = manager.deviceAt(i).value_or("");
        amd::BaseInfo info(manager);
        if (info.open(i) == 0) {
            d.name = info.deviceName();
            d.paired = info.problem() == device::Problem::None && d.name.has_value();
            if (d.paired) {
                d.productType = info.productType();
                d.version = info.productVersion();
                d.modelName = MVIOSDeviceController::GetDevcieType(d.productType);
            } else {
                d.note = problemText(info.problem());
            }
        }
        out.push_back(std::move(d));
    }
    return std::nullopt;
}

DeviceScan::DeviceScan(ScanSession& session, amd::DeviceManager* manager)
    : session_(session), manager_(&managerOr(manager)) {}

DeviceScan::~DeviceScan() {
    session_.app.waitForScan();
    session_.feed.onProgress = nullptr;
    setDeviceMediaSource(std::nullopt);
}

std::optional<std::string> DeviceScan::start(const std::string& udid, std::function<void(int)> onProgress) {
    SalvorAppDelegate& app = session_.app;
    device::DeviceSupport& support = manager_->support();
    if (auto why = support.unavailable()) return why;
    app.initDeviceManagement(manager_);
    support.settle();
    if (manager_->count() == 0) return std::string(kNoDevice);
    const int index = udid.empty() ? 1 : manager_->indexOf(udid);
    if (index == 0) return "no connected device has the identifier " + udid + " (see 'salvor devices')";
    device.index = index;
    device.udid = manager_->deviceAt(index).value_or("");

    amd::BaseInfo info(*manager_);
    if (info.open(index) != 0) return std::string(kNoDevice);
    device.name = info.deviceName();
    if (!device.name) return problemText(info.problem());
    device.paired = true;
    device.productType = info.productType();
    device.modelName = MVIOSDeviceController::GetDevcieType(device.productType);
    device.version = info.productVersion();
    // An encrypted backup needs its password: said before a long backup, not after it.
    if (info.copyValue("com.apple.mobile.backup", "WillEncrypt").root().asBool().value_or(false) &&
        !session_.app.hasBackupSecret())
        return std::string("backup encryption is on for this device, so its backup will be encrypted: give the "
                           "backup password (SALVOR_BACKUP_PASSWORD, --password-file FILE, or when asked) and try "
                           "again");
    auto tool = support.backupTool();
    if (auto why = tool->missing()) return why;

    std::string error;
    const auto folders = device::privateDeviceFolders(device.udid, error);
    if (!folders) return "cannot use the private folder for the device's backup: " + error;
    photoFolder = folders->photo;
    // The copies of an earlier scan of this device are ours; a fresh copy replaces them as a set.
    device::removeFilesIn(folders->photo);
    setDeviceMediaSource(DeviceMediaSource{manager_, index, folders->photo});

    app.theIOSdevice = index;
    app.udidString = device.udid;
    app.bDeviceHasConnected = true;
    app.bIOSRecoveryMode = true;
    app.currentNode = nullptr;
    session_.store.clear();
    session_.feed.onProgress = std::move(onProgress);
    app.onScanThreadExit = [this] { session_.dispatcher.wake(); };
    app.onBackupThreadExit = [this] { session_.dispatcher.wake(); };
    log::line("backing up the device " + device.udid + " into " + folders->backup, log::Level::Info);
    if (!app.StartBackupAction(folders->backup)) return std::string("another scan is running");
    return std::nullopt;
}

bool DeviceScan::running() const { return session_.app.isBackingUp() || session_.app.isScanning(); }

std::optional<std::string> DeviceScan::finish() {
    session_.app.waitForScan();
    session_.feed.onProgress = nullptr;
    setDeviceMediaSource(std::nullopt);
    backupFolder = session_.app.deviceBackupFolder();
    return session_.app.backupFailure();
}

std::optional<std::string> DeviceScan::run(const std::string& udid, std::function<void(int)> onProgress) {
    if (auto why = start(udid, std::move(onProgress))) return why;
    session_.dispatcher.pumpUntil([this] { return !running(); });
    return finish();
}

}  // namespace salvor
