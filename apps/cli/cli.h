// Shared pieces of the `salvor` subcommands: messages, the progress bar and
// the JSON form of records. The scan session itself lives in the library.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/scan_session.h"

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

// Runs `session` on the backup folder with a progress bar on stderr (when
// wanted and stderr is a terminal).
std::optional<std::string> runScan(ScanSession& session, const std::string& backupDir, bool showProgress);

class JsonWriter;

// JSON forms of the records, keyed by their field names; absent text is null,
// bytes are {"size", "sha1"} or null, flags 0 or 1.
void writeDeviceJson(JsonWriter& writer, const MVIOSDeviceNode& n);
// The whole scan result as `salvor scan --json` prints it, streamed to `out`;
// false when the output could not be written.
bool writeScanJson(const ScanSession& session, std::FILE* out);

void printCountTable(const std::vector<CategoryCount>& counts);
// Prints on stderr what cost the scan data; true when there was anything.
bool printProblems(const MVResultViewController& store);

}  // namespace salvor::cli
