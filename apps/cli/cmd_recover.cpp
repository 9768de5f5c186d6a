// `salvor recover`: scans a backup, ticks what was asked for through the result
// store's own selection operations and writes it into a destination folder.
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <stop_token>
#include <thread>

#include "cli.h"
#include "core/record_collector.h"
#include "core/scan_context.h"
#include "extract/extractors.h"
#include "output/destination.h"
#include "output/recovery_run.h"
#include "platform/device_folder.h"

namespace salvor::cli {

namespace fs = std::filesystem;

namespace {

// "contacts, messages, ... or files": every category's word, in the window's order.
std::string categoryWords() {
    std::string out;
    const auto& table = categoryTable();
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (i > 0) out += i + 1 == table.size() ? " or " : ", ";
        out += table[i].cliName;
    }
    return out;
}

}  // namespace

int cmdRecover(const std::vector<std::string>& args) {
    std::string backup, to;
    bool toGiven = false;
    bool all = false, deletedOnly = false, open = false;
    bool fromDevice = false;
    std::string udid;
    std::vector<std::string> categories, files;
    SecretOptions secrets;
    ExportOptions exports;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (parseSecretOption(args, i, secrets)) continue;
        if (a == "--to" && hasValue) {
            to = args[++i];
            toGiven = true;
        }
        else if (a == "--all") all = true;
        else if (a == "--deleted-only") deletedOnly = true;
        else if (a == "--open") open = true;
        else if (a == "--device") fromDevice = true;
        else if (a == "--udid" && hasValue) {
            udid = args[++i];
            fromDevice = true;
        }
        else if (a == "--category" && hasValue) categories.push_back(args[++i]);
        else if (a == "--format" && hasValue) {
            std::string why;
            const auto formats = parseExportFormats(args[++i], why);
            if (!formats) {
                error("recover: " + (why.empty() ? std::string("--format needs a list of formats") : why));
                return kExitUsage;
            }
            exports.formats = *formats;
        }
        else if (a == "--file" && hasValue) files.push_back(args[++i]);
        else if (!a.empty() && a[0] == '-') {
            error("recover: unknown or incomplete option '" + a + "'");
            return kExitUsage;
        } else if (backup.empty()) backup = a;
        else {
            error("recover: only one backup folder can be recovered at a time");
            return kExitUsage;
        }
    }
    if (fromDevice && !backup.empty()) {
        error("recover: recover either from a backup folder or from the connected device (--device), not both");
        return kExitUsage;
    }
    if (backup.empty() && !fromDevice) {
        error("recover: name the backup folder to recover from (see 'salvor list'), or --device for the connected "
              "device");
        return kExitUsage;
    }
    if (all && deletedOnly) {
        error("recover: choose either --all or --deleted-only");
        return kExitUsage;
    }
    bool treeWanted = false;
    std::vector<Category> chosen;
    for (const auto& c : categories) {
        const auto category = categoryFromCliName(c);
        if (!category) {
            error("recover: unknown category '" + c + "' (use " + categoryWords() + ")");
            return kExitUsage;
        }
        if (*category == Category::BackupTree) treeWanted = true;
        else chosen.push_back(*category);
    }
    // Without a narrower choice everything is recovered.
    if (chosen.empty() && !treeWanted && files.empty()) {
        for (const CategoryInfo& info : categoryTable())
            if (info.id != Category::BackupTree) chosen.push_back(info.id);
        treeWanted = !deletedOnly;
    }
    if (toGiven && to.empty()) {
        error("recover: --to needs a folder name");
        return kExitUsage;
    }
    const std::string destination = absolutePath(to.empty() ? proposedRecoveryName(std::time(nullptr)) : to);
    // Said before the scan, not after it: nothing is scanned for a run that cannot be written.
    // A device's backup is kept in the private folder: nothing is written there either.
    const std::string source = fromDevice ? device::privateFoldersBase() : absolutePath(backup);
    if (auto problem = destinationProblem(destination, source)) {
        error("recover: " + *problem);
        return kExitFailure;
    }

    if (exports.formats.pdf) {
        // Made here, on the main thread, before any other thread starts.
        auto writer = startPdfWriter();
        if (!writer) {
            error("recover: this build of salvor cannot write PDF documents; leave pdf out of --format");
            return kExitUsage;
        }
        exports.conversationDocument = std::move(*writer);
    }

    ScanSession session;
    std::stop_source runStop;
    // A stop first ends the scan, later the recovery run (between files);
    // either way the command finishes through its normal path.
    StopScope stop;
    stop.cancelWith([&session] { session.cancel(); });
    const auto problem = fromDevice ? runDeviceScan(session, udid, true, secrets) : runScan(session, backup, true, secrets);
    if (stopSignal() != 0) {
        error("stopped");
        return stopExitCode();
    }
    if (problem) {
        error(*problem);
        return kExitFailure;
    }
    const ResultStore& store = session.store;
    if (session.app.currentNodeIsiOS6Version && session.app.currentNode && (exports.formats.ics || exports.formats.csv)) {
        // These backups name a calendar item's place by its row of a table of
        // places; the calendar file and spreadsheet give the place's name.
        RecordCollector quiet;  // the place names are read, nothing is delivered
        const std::string folder = textOrEmpty(session.app.currentNode->backUpFilePath);
        ScanContext ctx(quiet, folder);
        ctx.cipher = std::const_pointer_cast<BackupCipher>(session.app.backupCipher());
        exports.calendarPlaces = readCalendarLocationTitles(ctx, folder);
        exports.calendarPlaces.emplace("0", std::string());  // row 0: the item has no place
    }
    printCountTable(countCategories(store));
    const bool scanLostData = printProblems(store);

    // Tick through the selection service, as the person would in the browser.
    Selection& selection = session.selection;
    for (Category c : chosen) selection.selectCategory(c, true, deletedOnly);
    if (treeWanted)
        for (const auto& root : store.tree().content)
            if (root && root->isSelected != 1) selection.toggleFolder(*root);
    for (const auto& f : files) {
        if (!selection.selectTreePath(f)) {
            error("recover: no file or folder '" + f + "' in the backup's file tree");
            return kExitFailure;
        }
    }
    if (selection.selectedCount() == 0) {
        std::printf("\nNothing to recover: the selection is empty.\n");
        return scanLostData ? kExitFailure : kExitOk;
    }

    // The run works on its own thread; this thread serves the main-thread queue
    // and draws progress from the run's counters.
    stop.cancelWith([&runStop] { runStop.request_stop(); });
    ProgressBar bar("Recovering", true);
    std::atomic<bool> done{false};
    RecoveryReport report;
    RecoverySource selected = session.recovery.source();
    selected.exports = exports;
    std::thread worker([&] {
        report = session.recovery.run(std::move(selected), destination, runStop.get_token());
        done = true;
        session.dispatcher.wake();
    });
    // Short naps, so the end of a run (a stopped one above all) is seen at once.
    while (!done) {
        session.dispatcher.pumpUntil([&] { return true; });
        bar.update(recoveryPercent(session.recovery.handled, session.recovery.total));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    worker.join();
    session.dispatcher.pumpUntil([] { return true; });
    bar.finish();

    if (report.folders.empty()) {
        std::printf("\nNothing was written into %s\n", report.destination.c_str());
    } else {
        std::printf("\nRecovered into %s\n", report.destination.c_str());
        std::printf("%-28s %8s %8s\n", "Folder", "Items", "Files");
        for (const auto& f : report.folders)
            std::printf("%s %8zu %8zu\n", column(f.folder, 28).c_str(), f.items, f.files);
    }
    if (!report.failures.empty()) {
        std::printf("\n%zu item(s) could not be written:\n", report.failures.size());
        for (const auto& f : report.failures) std::printf("  %s: %s\n", f.item.c_str(), f.reason.c_str());
    }
    if (!report.notInBackup.empty()) {
        std::printf("\n%zu item(s) are not in the backup:\n", report.notInBackup.size());
        for (const auto& f : report.notInBackup) std::printf("  %s: %s\n", f.item.c_str(), f.reason.c_str());
    }
    if (report.cancelled) {
        // Every file listed is complete; the one being copied was removed.
        std::printf("\nStopped after %lld of %lld items.\n", static_cast<long long>(report.itemsHandled),
                    static_cast<long long>(report.itemsTotal));
    }
    if (stopSignal() != 0) {
        std::fflush(stdout);
        error("stopped");
        return stopExitCode();
    }
    if (open) {
        // Show the destination in the desktop's file viewer when there is one;
        // the path goes to it as one argument, never through a shell.
        std::string prog = "xdg-open", dest = report.destination;
        char* argv[] = {prog.data(), dest.data(), nullptr};
        // The viewer gets the ordinary signal handling back: none blocked
        // (this process leaves its stop signals to one watcher thread), none ignored.
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t none, ignored;
        sigemptyset(&none);
        sigemptyset(&ignored);
        sigaddset(&ignored, SIGPIPE);
        sigaddset(&ignored, SIGXFSZ);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &ignored);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        pid_t pid = 0;
        if (posix_spawnp(&pid, "xdg-open", nullptr, &attr, argv, environ) != 0)
            std::fprintf(stderr, "salvor: could not open a file viewer; the files are in %s\n",
                         report.destination.c_str());
        posix_spawnattr_destroy(&attr);
    }
    return report.succeeded() && !scanLostData ? kExitOk : kExitFailure;
}

}  // namespace salvor::cli
