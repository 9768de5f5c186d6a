#include "engine/scan_session.h"

#include <unistd.h>

#include <filesystem>

#include "backup/device_list.h"

namespace salvor {

namespace fs = std::filesystem;

std::string absolutePath(const std::string& path) {
    std::error_code ec;
    fs::path p = fs::absolute(path, ec);
    if (ec) p = path;
    std::string s = p.lexically_normal().string();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

// ---- the session ----

ScanSession::ScanSession() = default;
ScanSession::~ScanSession() { app.waitForScan(); }

void ScanSession::cancel() {
    cancelRequested_ = true;
    app.cancelScan();
}

std::optional<std::string> ScanSession::run(const std::string& backupDir, std::function<void(int)> onProgress) {
    if (auto problem = start(backupDir, std::move(onProgress))) return problem;
    dispatcher.pumpUntil([this] { return !app.isScanning(); });
    finish();
    return std::nullopt;
}

bool ScanSession::running() const { return app.isScanning(); }

void ScanSession::finish() {
    app.waitForScan();
    feed.onProgress = nullptr;
}

std::optional<std::string> ScanSession::start(const std::string& backupDirArg, std::function<void(int)> onProgress) {
    const std::string backupDir = absolutePath(backupDirArg);
    std::error_code ec;
    if (!fs::exists(backupDir, ec)) return "no such folder: " + backupDir;
    if (!fs::is_directory(backupDir, ec)) return "not a folder: " + backupDir;
    if (access(backupDir.c_str(), R_OK | X_OK) != 0)
        return "cannot read the folder " + backupDir + " (check its permissions)";

    // Describe the folder exactly as the backup list would.
    auto& devices = app.GetMVIOSDeviceController();
    devices.removeAll();
    describedAsBackup = devices.addDeviceNodeByPath(backupDir);
    DeviceNodePtr node;
    if (describedAsBackup && !devices.arrangedObjects.empty()) {
        node = devices.arrangedObjects.back();
    } else {
        // Not described (no usable Info.plist or Manifest.plist): still scan what is
        // there, since a damaged backup may hold the very data the user needs.
        node = std::make_shared<MVIOSDeviceNode>();
        node->backUpFilePath = backupDir;
        nameAfterFolderIfUnnamed(*node, backupDir);
        describeBackupFormat(*node, backupDir);
    }
    app.bIOSRecoveryMode = false;
    app.currentNode = node;
    app.currentNodeIsiOS6Version = app.IOSVersionIOS6(node->strIOSVersion);

    store.clear();
    feed.onProgress = std::move(onProgress);
    app.onScanThreadExit = [this] { dispatcher.wake(); };
    if (!app.ScanIOSBackFile(textOrEmpty(node->backUpFilePath))) {
        feed.onProgress = nullptr;
        return std::string("another scan is running");
    }
    // A cancel that came before the scan had started is applied now.
    if (cancelRequested_) app.cancelScan();
    return std::nullopt;
}

}  // namespace salvor
