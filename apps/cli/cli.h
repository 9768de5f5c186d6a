// Shared pieces of the `salvor` subcommands: messages, the progress bar and
// the JSON form of records. The scan session itself lives in the library.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/scan_session.h"
#include "output/export_options.h"

namespace salvor::cli {

// Exit codes: 0 success, 1 failure or partial failure, 2 bad usage.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

int cmdList(const std::vector<std::string>& args);
int cmdScan(const std::vector<std::string>& args);
int cmdDemo(const std::vector<std::string>& args);
int cmdRecover(const std::vector<std::string>& args);
int cmdDevices(const std::vector<std::string>& args);
int cmdCarve(const std::vector<std::string>& args);

// The writer of printable conversations, ready to run on any thread; absent
// when this build has none. Call on the main thread, before the run starts.
std::optional<ConversationDocumentWriter> startPdfWriter();

// Prints "salvor: <message>" on stderr.
void error(const std::string& message);

// ---- stopping ----
// Ctrl-C, a termination request, a hang-up and the other stop signals are
// taken by one watcher thread. While a command holds a StopScope, the first
// of them only calls the scope's canceller: the command then finishes through
// its normal path (the scan ends and removes its private copies, a recovery
// run stops between files) and returns stopExitCode(). A second one, or one
// that comes outside any scope, ends the process at once after removing the
// private copies and any file still being written.
void watchStopSignals();
// The stop signal received first; 0 while none has come.
int stopSignal();
// 128 + the stop signal, as a shell reports a process ended by it.
int stopExitCode();

class StopScope {
public:
    StopScope();
    ~StopScope();
    StopScope(const StopScope&) = delete;
    StopScope& operator=(const StopScope&) = delete;
    // What a stop cancels from now on, replacing the previous canceller; run
    // at once when a stop has already come. It runs on the watcher thread, so
    // it must be safe to call from any thread and return quickly.
    void cancelWith(std::function<void()> cancel);
};

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

// ---- encrypted backups ----
// Where the password of an encrypted backup comes from, besides
// SALVOR_BACKUP_PASSWORD and a prompt: never the command line itself.
struct SecretOptions {
    std::string passwordFile;  // --password-file FILE ("-": standard input)
    std::string keyFile;       // --key-file FILE: the derived key, 64 hex digits
    std::string saveKeyFile;   // --save-key FILE: write the derived key after the scan
};
inline constexpr const char* kNeedPassword =
    "This backup is encrypted: give its password in the environment variable SALVOR_BACKUP_PASSWORD, with "
    "--password-file FILE, or type it when asked (run salvor in a terminal).";
// Takes --password-file, --key-file or --save-key with its value at args[i];
// false when args[i] is none of them.
bool parseSecretOption(const std::vector<std::string>& args, std::size_t& i, SecretOptions& out);
// Hands the session what opens an encrypted backup: the key file, the password
// file, SALVOR_BACKUP_PASSWORD, or (when `mayPrompt` and standard input is a
// terminal) a prompt naming `what`. An error sentence when a file cannot be read.
std::optional<std::string> giveBackupSecret(ScanSession& session, const SecretOptions& options, bool mayPrompt,
                                            const std::string& what);
// For a backup folder that says it is encrypted: gets its password as above,
// or says how to give it.
std::optional<std::string> prepareEncryptedScan(ScanSession& session, const std::string& backupDir,
                                                const SecretOptions& options);
// Writes the key the scan derived into --save-key's file (mode 0600, never replacing a file).
std::optional<std::string> saveDerivedKey(ScanSession& session, const SecretOptions& options);

// Runs `session` on the backup folder with a progress bar on stderr (when
// wanted and stderr is a terminal). An encrypted backup is opened as
// `secrets` says; a wrong or missing password is the error sentence.
std::optional<std::string> runScan(ScanSession& session, const std::string& backupDir, bool showProgress,
                                   const SecretOptions& secrets = {});

// Backs up the connected device (the first one, or the one with `udid`) and
// scans the backup with its camera files, with a progress bar; says on stderr
// where the backup was kept. An error sentence when no scan could be made.
std::optional<std::string> runDeviceScan(ScanSession& session, const std::string& udid, bool showProgress,
                                         const SecretOptions& secrets = {});

class JsonWriter;

// JSON forms of the records, keyed by their field names; absent text is null,
// bytes are {"size", "sha1"} or null, flags 0 or 1.
void writeDeviceJson(JsonWriter& writer, const MVIOSDeviceNode& n);
// The whole scan result as `salvor scan --json` prints it, streamed to `out`;
// false when the output could not be written.
bool writeScanJson(const ScanSession& session, std::FILE* out);

void printCountTable(const std::vector<CategoryCount>& counts);
// `text` padded with spaces to `width` characters (not bytes), for tables.
std::string column(std::string_view text, std::size_t width);
// Prints on stderr what cost the scan data; true when there was anything.
bool printProblems(const ResultStore& store);

}  // namespace salvor::cli
