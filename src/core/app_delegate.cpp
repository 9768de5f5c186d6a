#include "core/app_delegate.h"

#include <atomic>
#include <exception>
#include <filesystem>
#include <cstdlib>

#include "backup/device_list.h"
#include "core/pipeline.h"
#include "core/result_store.h"
#include "platform/log.h"
#include "platform/scratch.h"

namespace salvor {

namespace fs = std::filesystem;

namespace {
std::atomic<SalvorAppDelegate*> g_app{nullptr};

}  // namespace

SalvorAppDelegate::SalvorAppDelegate(NotificationCenter& center, MainThreadDispatcher& mainThread)
    : deviceController(std::make_unique<MVIOSDeviceController>()), nc(center), dispatcher(mainThread) {}

SalvorAppDelegate::~SalvorAppDelegate() {
    if (scanBackFileThreader.joinable()) scanBackFileThreader.join();
    SalvorAppDelegate* self = this;
    g_app.compare_exchange_strong(self, nullptr);
}

SalvorAppDelegate* SalvorAppDelegate::GetAppControllor() { return g_app.load(); }
void SalvorAppDelegate::setAppControllor(SalvorAppDelegate* app) { g_app.store(app); }

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
    bool expected = false;
    if (!scanning_.compare_exchange_strong(expected, true)) {
        log::line("a scan is already running", log::Level::Error);
        return false;
    }
    if (scanBackFileThreader.joinable()) scanBackFileThreader.join();
    removeSomeArray();
    messageContactData = std::make_shared<ByteBuffer>();
    scanScratchDir = scratch::create("salvor-scan-");
    scanBackFileThreader = std::thread([this, backupPath] {
        ScanIOSBackUpFilehand(backupPath);
        if (onScanThreadExit) onScanThreadExit();
    });
    return true;
}

void SalvorAppDelegate::ScanIOSBackUpFilehand(const std::string& backupPath) {
    for (const PipelineStage& stage : scanPipeline()) {
        if (stage.onlyInRecoveryMode && !bIOSRecoveryMode) continue;
        // One guard per stage: an unexpected failure costs that stage, not the scan.
        try {
            stage.run(*this, backupPath);
        } catch (const std::exception& e) {
            log::line(std::string(stage.name) + " failed: " + e.what(), log::Level::Error);
        } catch (...) {
            log::line(std::string(stage.name) + " failed", log::Level::Error);
        }
    }
    if (resultViewController) resultViewController->ScanThreadFinish();
    removeSomeArray();
    if (!scanScratchDir.empty()) {
        scratch::release(scanScratchDir);
        scanScratchDir.clear();
    }
    preparedDatabases.clear();
    scanning_ = false;
}

void SalvorAppDelegate::removeSomeArray() {
    if (messageContactData) messageContactData.reset();
    treeFileArray = {};
    contactArray = {};
    contactImageArray = {};
    chatMessageArray = {};
    messageArray = {};
    meesageAttachArray = {};
    delContactArray = {};
    delContactValueArray = {};
    delUnKnowContactArray = {};
    noteArray = {};
    noteValueArray = {};
}

void SalvorAppDelegate::waitForScan() {
    if (scanBackFileThreader.joinable()) scanBackFileThreader.join();
}

}  // namespace salvor
