// The application controller: owns the state of the one scan that may run at a
// time, the scan's working collections and the fourteen-stage pipeline.
// Library code receives the controller explicitly; there is no global instance
// apart from the one an application chooses to register.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <stop_token>
#include <thread>
#include <vector>

#include "backup/backup_unlock.h"
#include "core/device_node.h"
#include "core/scan_context.h"
#include "core/records.h"
#include "platform/dispatcher.h"

namespace salvor {

class ScanFeed;
class MVIOSDeviceController;
namespace amd {
class DeviceManager;
class MVDeviceNotify;
}

class SalvorAppDelegate {
public:
    // The scan's records go to `feed`; `dispatcher` reaches the main thread.
    SalvorAppDelegate(ScanFeed& feed, MainThreadDispatcher& dispatcher);
    ~SalvorAppDelegate();
    SalvorAppDelegate(const SalvorAppDelegate&) = delete;
    SalvorAppDelegate& operator=(const SalvorAppDelegate&) = delete;

    MVIOSDeviceController& GetMVIOSDeviceController() { return *deviceController; }

    // ---- scan state ----
    DeviceNodePtr currentNode;
    std::atomic<bool> currentNodeIsiOS6Version{false};
    std::atomic<bool> bIOS7DeviceNode{false};
    std::atomic<bool> bIOSRecoveryMode{false};
    Text udidString;
    std::atomic<bool> bDeviceHasConnected{false};
    std::int32_t theIOSdevice = 0;
    std::unique_ptr<MVIOSDeviceController> deviceController;
    ScanFeed& feed;
    MainThreadDispatcher& dispatcher;

    // The running (or last) scan's context: its working collections, private
    // copies and stop token. Null before the first scan.
    ScanContext* scanContext() { return scan_.get(); }

    // ---- scan operations ----
    // Tests the system version text; a major version of 7 also sets bIOS7DeviceNode.
    bool IOSVersionIOS6(const Text& version);
    // Creates the working collections and starts the scan thread; returns at once.
    // Refuses (returns false) while another scan runs: one scan at a time.
    bool ScanIOSBackFile(const std::string& backupPath);
    // The pipeline body, run on the scan thread.
    void ScanIOSBackUpFilehand(const std::string& backupPath);
    // Releases the scan's working collections (the context itself stays until the next scan).
    void removeSomeArray();
    bool isScanning() const { return scanning_.load(); }
    // Asks the running scan to stop, from any thread: it ends at the next check
    // (between stages, inside long loops and queries), then finishes through
    // the normal path, so what was found so far stays listed and its private
    // copies are removed. Returns false when no scan runs.
    bool cancelScan();
    // Whether the last scan ended because it was cancelled.
    bool scanWasCancelled() const { return cancelled_.load(); }
    // Joins a finished (or finishing) scan thread; call from the thread that started it.
    void waitForScan();
    // Called when the scan thread has finished, after removeSomeArray (for a CLI main loop).
    std::function<void()> onScanThreadExit;

    // ---- encrypted backups ----
    // What opens the next scan's backup when it is encrypted: the password or
    // a key derived from it earlier. The scan unlocks the backup on its own
    // thread (key derivation takes seconds) and wipes the password when done.
    void setBackupSecret(BackupSecret secret);
    bool hasBackupSecret() const;
    // The key the last successful unlock derived (a copy, for a later scan
    // without the password); empty when there was none.
    crypto::SecretBytes derivedKey() const;
    // Why the last scan could not read its backup at all (a wrong or missing
    // password, an unusable keybag); absent when it could.
    std::optional<std::string> scanFailure() const;
    // The key store of the last scan's encrypted backup (null for a plain
    // one), safe to ask for from any thread while the scan runs.
    BackupCipherPtr backupCipher() const;
    // The last scan failed because the password (or key) was not right.
    bool scanFailedOnPassword() const { return wrongPassword_.load(); }

    // ---- the connected device ----
    amd::DeviceManager* manager = nullptr;  // set by initDeviceManagement
    // Watches device arrival and removal through `deviceManager` from now on
    // (the process's shared manager by default).
    void initDeviceManagement(amd::DeviceManager* deviceManager = nullptr);
    // Handlers of "DeviceConnect" / "DeviceDisConnect" (the event's index).
    void DeviceConnectHandle(int index);
    void DeviceDisConnectHandle(int index);
    // Shown when the device goes away (the window puts up an alert, the CLI prints it).
    std::function<void(const std::string&)> onDeviceAlert;
    // Starts the device backup of the device udidString names into `backupRoot` on its own
    // thread, which then scans the fresh backup (StartBackupDeviceThread).
    // Refuses while a backup or a scan runs.
    bool StartBackupAction(const std::string& backupRoot);
    // The backup thread's body: the backup tool, its checks, the list filled
    // from the root and the scan started on the first entry.
    void StartBackupDeviceThread(const std::string& backupRoot, const std::string& udid);
    bool isBackingUp() const { return backingUp_.load(); }
    // Why the last device backup did not lead to a scan (absent when it did).
    std::optional<std::string> backupFailure() const;
    // The backup folder the last device backup wrote (empty before one).
    std::string deviceBackupFolder() const;
    // Called when the backup thread ends (a scan may have started by then).
    std::function<void()> onBackupThreadExit;

private:
    void failBackup(const std::string& why);
    std::unique_ptr<amd::MVDeviceNotify> deviceNotify_;
    std::thread backupThread_;
    std::atomic<bool> backingUp_{false};
    std::atomic<bool> backupCancelled_{false};
    mutable std::mutex backupMutex_;  // guards the two below
    std::optional<std::string> backupFailure_;
    std::string deviceBackupFolder_;
    std::thread scanBackFileThreader;
    std::atomic<bool> scanning_{false};
    std::atomic<bool> cancelled_{false};
    std::mutex stopMutex_;  // guards stopSource_ between the scan's start and cancelScan
    std::stop_source stopSource_;
    std::unique_ptr<ScanContext> scan_;
    // Unlocks the scan's encrypted backup; false when it cannot be read.
    bool unlockScan(ScanContext& ctx, const std::string& backupPath);
    mutable std::mutex secretMutex_;  // guards the three below
    BackupSecret secret_;
    crypto::SecretBytes derivedKey_;
    BackupCipherPtr cipher_;
    std::optional<std::string> scanFailure_;
    std::atomic<bool> wrongPassword_{false};
};

}  // namespace salvor
