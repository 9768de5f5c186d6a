#include "engine/app_delegate.h"

#include <atomic>
#include <any>
#include <filesystem>
#include <cstdlib>

#include "backup/device_list.h"
#include "core/events.h"
#include "engine/pipeline.h"
#include "engine/result_store.h"
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
    scan_ = std::make_unique<ScanContext>(nc, backupPath);
    scan_->currentNodeIsiOS6Version = currentNodeIsiOS6Version;
    scan_->bIOS7DeviceNode = bIOS7DeviceNode;
    scan_->bIOSRecoveryMode = bIOSRecoveryMode;
    scan_->stop = stopSource_.get_token();
    scan_->scanScratchDir = scratch::create("salvor-scan-");
    // The device panel shows the backup being scanned from its first moment.
    if (currentNode) nc.post(events::ScanIOSDeviceInfo, std::any(currentNode));
    scanBackFileThreader = std::thread([this, backupPath] {
        ScanIOSBackUpFilehand(backupPath);
        if (onScanThreadExit) onScanThreadExit();
    });
    return true;
}

bool SalvorAppDelegate::cancelScan() {
    std::lock_guard<std::mutex> lock(stopMutex_);
    if (!scanning_) return false;
    cancelled_ = true;
    stopSource_.request_stop();
    return true;
}

void SalvorAppDelegate::ScanIOSBackUpFilehand(const std::string& backupPath) {
    ScanContext& ctx = *scan_;
    for (const PipelineStage& stage : scanPipeline()) {
        // A cancelled scan skips the stages still to come but finishes as usual.
        if (ctx.stopRequested()) break;
        if (stage.onlyInRecoveryMode && !ctx.bIOSRecoveryMode) continue;
        if (stage.onlyModern && !ctx.modernFormat) continue;
        runStage(stage, ctx, backupPath);
    }
    if (resultViewController) resultViewController->ScanThreadFinish();
    removeSomeArray();
    if (!ctx.scanScratchDir.empty()) {
        scratch::release(ctx.scanScratchDir);
        ctx.scanScratchDir.clear();
    }
    ctx.preparedDatabases.clear();
    scanning_ = false;
}

void SalvorAppDelegate::removeSomeArray() {
    if (scan_) scan_->removeSomeArray();
}

void SalvorAppDelegate::waitForScan() {
    if (scanBackFileThreader.joinable()) scanBackFileThreader.join();
}

}  // namespace salvor
