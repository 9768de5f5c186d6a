// One scan of one backup folder, run to its end on a scan thread while the
// calling (main) thread serves the main-thread queue, with the store it fills
// and the services a front end uses on the person's behalf (selection,
// recovery). Shared by the command line and the window.
#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/app_delegate.h"
#include "engine/recovery.h"
#include "engine/result_store.h"
#include "engine/scan_feed.h"
#include "engine/selection.h"
#include "platform/dispatcher.h"

namespace salvor {

class ScanSession {
public:
    ScanSession();
    ~ScanSession();
    ScanSession(const ScanSession&) = delete;
    ScanSession& operator=(const ScanSession&) = delete;

    // Describes the folder as the backup list would, sets the scan flags and
    // runs the whole pipeline, reporting each progress value. Returns an error
    // text when the folder is unusable.
    std::optional<std::string> run(const std::string& backupDir, std::function<void(int)> onProgress = {});
    // run() in two halves, for a main thread that serves `dispatcher` from an
    // event loop of its own (the window) instead of blocking in run(): start()
    // describes the folder and starts the scan thread, then returns; the main
    // thread serves the queue until running() is false and then calls finish().
    std::optional<std::string> start(const std::string& backupDir, std::function<void(int)> onProgress = {});
    bool running() const;
    void finish();
    // Stops the scan from any thread (also before it has started): it ends
    // through the normal finishing path and run() returns.
    void cancel();
    bool cancelled() const { return cancelRequested_.load(); }

    QueueDispatcher dispatcher;  // the constructing thread is the store's
    ResultStore store;
    ScanFeed feed{store, dispatcher};
    SalvorAppDelegate app{feed, dispatcher};
    Selection selection{store};
    Recovery recovery{store, app};
    bool describedAsBackup = false;  // Info.plist or Manifest.plist described the folder

private:
    std::atomic<bool> cancelRequested_{false};
};

// Absolute, lexically normal form of a path, without a trailing "/".
std::string absolutePath(const std::string& path);


}  // namespace salvor
