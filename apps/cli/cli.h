// Shared pieces of the `salvor` subcommands: argument helpers, the scan
// session that wires the controller, the result store and the main-thread
// queue together, the progress bar and the JSON form of records.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/app_delegate.h"
#include "core/notification_center.h"
#include "core/result_store.h"
#include "platform/dispatcher.h"

namespace salvor::cli {

// Exit codes: 0 success, 1 failure or partial failure, 2 bad usage.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

int cmdList(const std::vector<std::string>& args);
int cmdScan(const std::vector<std::string>& args);
int cmdDemo(const std::vector<std::string>& args);
int cmdRecover(const std::vector<std::string>& args);

// Prints "salvor: <message>" on stderr.
void error(const std::string& message);

// A progress bar on stderr, drawn only when stderr is a terminal.
class ProgressBar {
public:
    explicit ProgressBar(std::string label, bool enabled);
    ~ProgressBar();
    void update(int percent);
    void finish();

private:
    std::string label_;
    bool enabled_;
    int last_ = -1;
    bool drawn_ = false;
};

// One scan of one backup folder, run to its end on a scan thread while the
// calling (main) thread serves the main-thread queue.
class ScanSession {
public:
    ScanSession();
    ~ScanSession();
    // Describes the folder as the backup list would, sets the scan flags and
    // runs the whole pipeline. Returns an error text when the folder is unusable.
    std::optional<std::string> run(const std::string& backupDir, bool showProgress);

    NotificationCenter nc;
    QueueDispatcher dispatcher;
    SalvorAppDelegate app{nc, dispatcher};
    MVResultViewController store{app};
    bool describedAsBackup = false;  // Info.plist or Manifest.plist described the folder
};

// Absolute, lexically normal form of a path given on the command line.
std::string absolutePath(const std::string& path);

class JsonWriter;

// JSON forms of the records, keyed by their field names; absent text is null,
// bytes are {"size", "sha1"} or null, flags 0 or 1.
void writeDeviceJson(JsonWriter& writer, const MVIOSDeviceNode& n);
// The whole scan result as `salvor scan --json` prints it, streamed to `out`;
// false when the output could not be written.
bool writeScanJson(const ScanSession& session, std::FILE* out);

// Live and deleted counts per category, as the scan table shows them.
struct CategoryCount {
    std::string name;
    long live = 0;
    long deleted = 0;
};
std::vector<CategoryCount> countCategories(const MVResultViewController& store);
void printCountTable(const std::vector<CategoryCount>& counts);

}  // namespace salvor::cli
