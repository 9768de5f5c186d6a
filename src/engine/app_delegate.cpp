#include "engine/app_delegate.h"
#include "engine/scan_feed.h"

#include <atomic>
#include <filesystem>
#include <cstdlib>

#include "backup/amd_device.h"
#include "backup/device_list.h"
#include "engine/pipeline.h"
#include "extract/modern_lookup.h"
#include "engine/result_store.h"
#include "platform/device_support.h"
#include "platform/log.h"
#include "platform/plist.h"
#include "platform/scratch.h"

namespace salvor {

namespace fs = std::filesystem;

SalvorAppDelegate::SalvorAppDelegate(ScanFeed& scanFeed, MainThreadDispatcher& mainThread)
    : deviceController(std::make_unique<MVIOSDeviceController>()), feed(scanFeed), dispatcher(mainThread) {}

SalvorAppDelegate::~SalvorAppDelegate() {
    if (backupThread_.joinable()) backupThread_.join();
    if (scanBackFileThreader.joinable()) scanBackFileThreader.join();
    if (manager) manager->setNotify(nullptr);
}


bool SalvorAppDelegate::IOSVersionIOS6(const Text& version) {
    if (!version || version->empty()) return false;
    const std::string& v = *version;
    const std::string first = v.substr(0, v.find('.'));
    if (first == "6") return true;
    if (first == "7") {
        bIOS7DeviceNode = true;
        return true;
    }
    return false;
}

bool SalvorAppDelegate::ScanIOSBackFile(const std::string& backupPath) {
    {
        // Claiming the scan and arming its stop source happen together, so a
        // cancel that comes in between is never lost.
        std::lock_guard<std::mutex> lock(stopMutex_);
        bool expected = false;
        if (!scanning_.compare_exchange_strong(expected, true)) {
            log::line("a scan is already running", log::Level::Error);
            return false;
        }
        stopSource_ = std::stop_source();
        cancelled_ = false;
    }
    if (scanBackFileThreader.joinable()) scanBackFileThreader.join();
    scan_ = std::make_unique<ScanContext>(feed, backupPath);
    scan_->currentNodeIsiOS6Version = currentNodeIsiOS6Version;
    scan_->bIOS7DeviceNode = bIOS7DeviceNode;
    scan_->bIOSRecoveryMode = bIOSRecoveryMode;
    scan_->stop = stopSource_.get_token();
    scan_->scanScratchDir = scratch::create("salvor-scan-");
    scan_->backupEncrypted = currentNode && currentNode->bEncrypted;
    {
        std::lock_guard<std::mutex> lock(secretMutex_);
        scanFailure_.reset();
        wrongPassword_ = false;
        cipher_.reset();
    }
    scan_->prepareModernDatabase = [](ScanContext& ctx, const std::string& stored, const std::string& log) {
        return modern::preparedCopy(ctx, modern::Found{stored, log});
    };
    // The device panel shows the backup being scanned from its first moment.
    if (currentNode) feed.device(currentNode);
    scanBackFileThreader = std::thread([this, backupPath] {
        ScanIOSBackUpFilehand(backupPath);
        if (onScanThreadExit) onScanThreadExit();
    });
    return true;
}

bool SalvorAppDelegate::cancelScan() {
    std::lock_guard<std::mutex> lock(stopMutex_);
    if (!scanning_ && backingUp_) {
        // The backup tool is left to finish (or to the stop signal it got too);
        // its backup is then not scanned.
        backupCancelled_ = true;
        cancelled_ = true;
        return true;
    }
    if (!scanning_) return false;
    cancelled_ = true;
    stopSource_.request_stop();
    return true;
}

void SalvorAppDelegate::ScanIOSBackUpFilehand(const std::string& backupPath) {
    ScanContext& ctx = *scan_;
    const bool readable = !ctx.backupEncrypted || unlockScan(ctx, backupPath);
    for (const PipelineStage& stage : scanPipeline()) {
        // A cancelled scan skips the stages still to come but finishes as usual.
        if (ctx.stopRequested() || !readable) break;
        if (stage.onlyInRecoveryMode && !ctx.bIOSRecoveryMode) continue;
        runStage(stage, ctx, backupPath);
    }
    feed.finish(scanWasCancelled());
    removeSomeArray();
    if (!ctx.scanScratchDir.empty()) {
        scratch::release(ctx.scanScratchDir);
        ctx.scanScratchDir.clear();
    }
    ctx.preparedDatabases.clear();
    scanning_ = false;
}

bool SalvorAppDelegate::unlockScan(ScanContext& ctx, const std::string& backupPath) {
    feed.status("Unlocking the backup…");
    BackupSecret secret;
    {
        std::lock_guard<std::mutex> lock(secretMutex_);
        secret.derivedKey = secret_.derivedKey.clone();
        secret.password = secret_.password.clone();
    }
    UnlockResult result = unlockBackup(backupPath, secret);
    {
        std::lock_guard<std::mutex> lock(secretMutex_);
        // The password is needed no longer: the derived key opens the backup again.
        secret_.password.wipe();
        if (result.status == UnlockResult::Status::ok) {
            derivedKey_ = std::move(result.derivedKey);
        } else {
            scanFailure_ = result.message;
            wrongPassword_ = result.status == UnlockResult::Status::wrongPassword;
        }
    }
    feed.status(std::string());
    if (result.status != UnlockResult::Status::ok) {
        // Said once, by the front end, as the scan's failure.
        log::line(result.message, log::Level::Info);
        return false;
    }
    ctx.cipher = std::move(result.cipher);
    std::lock_guard<std::mutex> lock(secretMutex_);
    cipher_ = ctx.cipher;
    return true;
}

BackupCipherPtr SalvorAppDelegate::backupCipher() const {
    std::lock_guard<std::mutex> lock(secretMutex_);
    return cipher_;
}

void SalvorAppDelegate::setBackupSecret(BackupSecret secret) {
    std::lock_guard<std::mutex> lock(secretMutex_);
    secret_ = std::move(secret);
}

bool SalvorAppDelegate::hasBackupSecret() const {
    std::lock_guard<std::mutex> lock(secretMutex_);
    return !secret_.empty();
}

crypto::SecretBytes SalvorAppDelegate::derivedKey() const {
    std::lock_guard<std::mutex> lock(secretMutex_);
    return derivedKey_.clone();
}

std::optional<std::string> SalvorAppDelegate::scanFailure() const {
    std::lock_guard<std::mutex> lock(secretMutex_);
    return scanFailure_;
}

void SalvorAppDelegate::removeSomeArray() {
    if (scan_) scan_->removeSomeArray();
}

void SalvorAppDelegate::waitForScan() {
    if (backupThread_.joinable()) backupThread_.join();
    if (scanBackFileThreader.joinable()) scanBackFileThreader.join();
}

// ---- the connected device ----

void SalvorAppDelegate::initDeviceManagement(amd::DeviceManager* deviceManager) {
    if (manager) return;
    manager = deviceManager ? deviceManager : &amd::DeviceManager::sharedManager();
    deviceNotify_ = std::make_unique<amd::MVDeviceNotify>([this](int index) { DeviceConnectHandle(index); },
                                                          [this](int index) { DeviceDisConnectHandle(index); });
    manager->setNotify(deviceNotify_.get());
    manager->subscribe();
}

void SalvorAppDelegate::DeviceConnectHandle(int index) {
    bDeviceHasConnected = true;
    theIOSdevice = index;
    amd::BaseInfo info(*manager);
    if (info.open(index) == 0) {
        // A locked or untrusting device gives nothing; the identifier then
        // comes from the device's handle when a backup is asked for.
        if (Text udid = info.uniqueDeviceID()) udidString = udid;
    }
}

void SalvorAppDelegate::DeviceDisConnectHandle(int) {
    bDeviceHasConnected = false;
    if (onDeviceAlert) onDeviceAlert("Device disconnected. Please reconnect your device to this computer and scan again.");
}

std::optional<std::string> SalvorAppDelegate::backupFailure() const {
    std::lock_guard lock(backupMutex_);
    return backupFailure_;
}

std::string SalvorAppDelegate::deviceBackupFolder() const {
    std::lock_guard lock(backupMutex_);
    return deviceBackupFolder_;
}

bool SalvorAppDelegate::StartBackupAction(const std::string& backupRoot) {
    bool expected = false;
    if (isScanning() || !backingUp_.compare_exchange_strong(expected, true)) {
        log::line("a device backup or a scan is already running", log::Level::Error);
        return false;
    }
    if (backupThread_.joinable()) backupThread_.join();
    {
        std::lock_guard lock(backupMutex_);
        backupFailure_.reset();
        deviceBackupFolder_.clear();
    }
    backupCancelled_ = false;
    // Taken now: a later arrival may change udidString while the backup runs.
    const std::string udid = textOrEmpty(udidString);
    backupThread_ = std::thread([this, backupRoot, udid] {
        StartBackupDeviceThread(backupRoot, udid);
        backingUp_ = false;
        if (onBackupThreadExit) onBackupThreadExit();
    });
    return true;
}

void SalvorAppDelegate::failBackup(const std::string& why) {
    {
        std::lock_guard lock(backupMutex_);
        backupFailure_ = why;
    }
    log::line("device backup: " + why, log::Level::Error);
    feed.problem(why);
    feed.finish(scanWasCancelled());
}

void SalvorAppDelegate::StartBackupDeviceThread(const std::string& backupRoot, const std::string& udid) {
    if (udid.empty()) {
        failBackup("the device's identifier could not be read: unlock the device and tap Trust on it");
        return;
    }
    auto tool = manager->support().backupTool();
    // The tool's own progress, on the 0..20 part of the bar.
    const device::BackupRun run = tool->run(udid, backupRoot, [this](int percent) {
        feed.progress(percent);
    });
    const std::string folder = backupRoot + "/" + udid;
    {
        std::lock_guard lock(backupMutex_);
        deviceBackupFolder_ = folder;
    }
    if (!run.outputTail.empty()) log::line("backup tool: " + run.outputTail, log::Level::Debug);
    if (backupCancelled_) {
        failBackup("the device backup was stopped; nothing was scanned");
        return;
    }
    if (!bDeviceHasConnected) {
        failBackup("the device was disconnected during the backup; reconnect it and start again");
        return;
    }
    if (!run.started) {
        failBackup("the backup tool could not be started");
        return;
    }
    if (run.exitStatus != 0) {
        failBackup("the backup tool failed (exit status " + std::to_string(run.exitStatus) +
                   "); the unfinished backup is not scanned. Unlock the device, keep it connected and try again");
        return;
    }
    // A backup the tool did not mark as finished may be half written.
    const plist::Document status = plist::Document::fromFile(folder + "/Status.plist");
    const auto state = status.rootDict().string("SnapshotState");
    if (!state || *state != "finished") {
        failBackup("the backup tool did not finish the backup (snapshot state: " + (state ? *state : "none") +
                   "); the unfinished backup is not scanned");
        return;
    }
    log::line("device backup kept in " + folder, log::Level::Info);

    // The list is filled from the root as from a backup store.
    auto& list = GetMVIOSDeviceController();
    showIphoneDisk(list, backupRoot);
    if (list.arrangedObjects.empty()) {
        failBackup("the backup tool wrote no usable backup into " + backupRoot);
        return;
    }
    DeviceNodePtr node = list.arrangedObjects.front();
    for (const auto& entry : list.arrangedObjects)
        if (entry && textOrEmpty(entry->backUpFilePath) == folder) node = entry;
    if (node->bEncrypted && !hasBackupSecret()) {
        failBackup("backup encryption is on for this device, so its backup is encrypted: give the backup password "
                   "and scan again; the backup was kept in " + folder);
        return;
    }
    currentNode = node;
    currentNodeIsiOS6Version = IOSVersionIOS6(node->strIOSVersion);
    bIOSRecoveryMode = true;
    if (!ScanIOSBackFile(textOrEmpty(node->backUpFilePath))) {
        failBackup("another scan is running");
        return;
    }
    // A stop that came while the scan was being started.
    if (backupCancelled_) cancelScan();
}

}  // namespace salvor
