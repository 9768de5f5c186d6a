// `salvor scan`: runs the whole scan pipeline on one backup folder.
#include <cstdio>

#include "cli.h"

namespace salvor::cli {

int cmdScan(const std::vector<std::string>& args) {
    std::string backup;
    bool json = false;
    bool quiet = false;
    bool fromDevice = false;
    std::string udid;
    SecretOptions secrets;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (parseSecretOption(args, i, secrets)) continue;
        if (a == "--json") json = true;
        else if (a == "--device") fromDevice = true;
        else if (a == "--udid" && i + 1 < args.size()) {
            udid = args[++i];
            fromDevice = true;
        }
        else if (a == "--quiet" || a == "-q") quiet = true;
        else if (!a.empty() && a[0] == '-') {
            error("scan: unknown option '" + a + "'");
            return kExitUsage;
        } else if (backup.empty()) backup = a;
        else {
            error("scan: only one backup folder can be scanned at a time");
            return kExitUsage;
        }
    }
    if (fromDevice && !backup.empty()) {
        error("scan: scan either a backup folder or the connected device (--device), not both");
        return kExitUsage;
    }
    if (backup.empty() && !fromDevice) {
        error("scan: name the backup folder to scan (see 'salvor list'), or --device for the connected device");
        return kExitUsage;
    }

    ScanSession session;
    // A stop ends the scan through its normal path, which removes its private
    // copies; what was found until then is not shown.
    StopScope stop;
    stop.cancelWith([&session] { session.cancel(); });
    const auto problem = fromDevice ? runDeviceScan(session, udid, !quiet, secrets) : runScan(session, backup, !quiet, secrets);
    if (stopSignal() != 0) {
        error("stopped");
        return stopExitCode();
    }
    if (problem) {
        error(*problem);
        return kExitFailure;
    }
    if (!fromDevice && !session.describedAsBackup && !quiet)
        std::fprintf(stderr, "salvor: warning: %s has no readable Info.plist or Manifest.plist; scanned what it holds\n",
                     absolutePath(backup).c_str());

    if (json) {
        if (!writeScanJson(session, stdout)) {
            error("could not write the scan result to the standard output (is the disk full?)");
            return kExitFailure;
        }
        return printProblems(session.store) ? kExitFailure : kExitOk;
    }
    if (!quiet) {
        const auto& node = session.app.currentNode;
        std::printf("Backup of %s (%s, iOS %s) at %s\n\n", textOrEmpty(node->strDeviceName).c_str(),
                    node->strDeviceType ? node->strDeviceType->c_str() : "unknown model",
                    textOrEmpty(node->strIOSVersion).c_str(), textOrEmpty(node->backUpFilePath).c_str());
    }
    printCountTable(countCategories(session.store));
    return printProblems(session.store) ? kExitFailure : kExitOk;
}

}  // namespace salvor::cli
