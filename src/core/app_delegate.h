// The application controller: owns the state of the one scan that may run at a
// time, the scan's working collections and the fourteen-stage pipeline.
// Library code receives the controller explicitly; there is no global instance
// apart from the one an application chooses to register.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "backup/device_node.h"
#include "backup/tree_nodes.h"
#include "core/notification_center.h"
#include "core/records.h"
#include "platform/dispatcher.h"

namespace salvor {

class MVResultViewController;
class MVIOSDeviceController;

class SalvorAppDelegate {
public:
    SalvorAppDelegate(NotificationCenter& nc, MainThreadDispatcher& dispatcher);
    ~SalvorAppDelegate();
    SalvorAppDelegate(const SalvorAppDelegate&) = delete;
    SalvorAppDelegate& operator=(const SalvorAppDelegate&) = delete;

    // The instance an application registered with setAppControllor (may be null).
    static SalvorAppDelegate* GetAppControllor();
    static void setAppControllor(SalvorAppDelegate* app);

    MVResultViewController* GetresultViewController() const { return resultViewController; }
    MVIOSDeviceController& GetMVIOSDeviceController() { return *deviceController; }
    void setResultViewController(MVResultViewController* store) { resultViewController = store; }

    // ---- scan state ----
    DeviceNodePtr currentNode;
    std::atomic<bool> currentNodeIsiOS6Version{false};
    std::atomic<bool> bIOS7DeviceNode{false};
    std::atomic<bool> bIOSRecoveryMode{false};
    Text udidString;
    std::atomic<bool> bDeviceHasConnected{false};
    std::int32_t theIOSdevice = 0;
    std::int32_t secondTime = 0;
    std::unique_ptr<MVIOSDeviceController> deviceController;
    MVResultViewController* resultViewController = nullptr;  // not owned
    NotificationCenter& nc;
    MainThreadDispatcher& dispatcher;

    // ---- working collections of one scan (created by ScanIOSBackFile, released by removeSomeArray) ----
    std::vector<TreeDirPtr> treeFileArray;
    std::vector<ContactPtr> contactArray;
    std::vector<std::shared_ptr<MVContactImageNode>> contactImageArray;
    std::vector<std::shared_ptr<MVChatMessageNode>> chatMessageArray;
    std::vector<MessagePtr> messageArray;
    std::vector<std::shared_ptr<MVMessageAttachNode>> meesageAttachArray;
    Bytes messageContactData;
    std::vector<ContactPtr> delContactArray;
    std::vector<std::shared_ptr<DelContactValue>> delContactValueArray;
    std::vector<ContactPtr> delUnKnowContactArray;
    std::vector<NotePtr> noteArray;
    std::vector<std::shared_ptr<MVNoteValueNode>> noteValueArray;

    // Private scratch folder of the running scan: databases are prepared on
    // copies here so the backup folder is never written. Empty between scans.
    std::string scanScratchDir;
    // Stored database path -> its prepared private copy in scanScratchDir, so
    // every stage of one scan reads the same copy.
    std::map<std::string, std::string> preparedDatabases;

    // ---- scan operations ----
    // Tests the system version text; a major version of 7 also sets bIOS7DeviceNode.
    bool IOSVersionIOS6(const Text& version);
    // Creates the working collections and starts the scan thread; returns at once.
    // Refuses (returns false) while another scan runs: one scan at a time.
    bool ScanIOSBackFile(const std::string& backupPath);
    // The pipeline body, run on the scan thread.
    void ScanIOSBackUpFilehand(const std::string& backupPath);
    void removeSomeArray();
    bool isScanning() const { return scanning_.load(); }
    // Joins a finished (or finishing) scan thread; call from the thread that started it.
    void waitForScan();
    // Called when the scan thread has finished, after removeSomeArray (for a CLI main loop).
    std::function<void()> onScanThreadExit;

    // ---- text, number and date helpers ----
    static std::string GetStringFormChar(const char* utf8);
    static std::size_t Char2Unicode(const char* utf8, char32_t* out, std::size_t count);
    // Date text of a timestamp; fileType 1 counts from 2001, any other value uses the 1990 rule.
    static std::optional<std::u32string> GetDateTime(std::int64_t seconds, std::uint8_t fileType);
    static std::string GetNSStringDate(const std::u32string& chars);
    // GetDateTime then GetNSStringDate; absent when no date could be formed.
    static Text dateText(std::int64_t seconds, std::uint8_t fileType);
    static std::string size_to_unit(std::uint64_t size);
    std::string getCallHistoryDuration(std::int32_t seconds) const;
    static std::int32_t GetImageType(const char* ext);
    static std::int32_t GetViedoType(const char* ext);
    static std::int32_t GetAudioType(const char* ext);
    static std::string getFullName(std::uint64_t number);
    // Contact name for a phone number, from contactArray; absent when none matches.
    Text getNameByPhoneNumber(const Text& phone) const;
    // As above but the key must be at least 6 characters; also leaves the
    // matching contact's picture in messageContactData. `withData` is not read.
    Text getNameByPhoneNumber(const Text& phone, const void* withData);

private:
    std::thread scanBackFileThreader;
    std::atomic<bool> scanning_{false};
};

}  // namespace salvor
