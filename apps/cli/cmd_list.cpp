// `salvor list`: the backups of a backup store.
#include <cstdio>
#include <filesystem>

#include "backup/device_list.h"
#include "cli.h"
#include "cli/json_writer.h"

namespace salvor::cli {

int cmdList(const std::vector<std::string>& args) {
    std::string store;
    bool json = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--json") {
            json = true;
        } else if (args[i] == "--store" && i + 1 < args.size()) {
            store = args[++i];
        } else {
            error("list: unexpected argument '" + args[i] + "'");
            return kExitUsage;
        }
    }
    if (store.empty()) store = defaultBackupStore();
    store = absolutePath(store);

    MVIOSDeviceController devices;
    showIphoneDisk(devices, store);
    const auto& entries = devices.arrangedObjects;

    if (json) {
        JsonWriter writer(stdout, 2);
        writer.beginArray();
        for (const auto& e : entries)
            if (e) writeDeviceJson(writer, *e);
        writer.endArray();
        if (!writer.finish()) {
            error("could not write the backup list to the standard output (is the disk full?)");
            return kExitFailure;
        }
    }
    if (entries.empty()) {
        std::error_code ec;
        const bool exists = std::filesystem::is_directory(store, ec);
        std::fprintf(stderr, "No backup found in %s%s.\n", store.c_str(), exists ? "" : " (no such folder)");
        std::fprintf(stderr,
                     "Name the folder that holds your device backups with --store DIR (or set "
                     "SALVOR_BACKUP_STORE), or scan one backup folder directly with 'salvor scan BACKUP_DIR'.\n");
        return kExitFailure;
    }
    if (!json) {
        std::printf("%-24s %-12s %-8s %-14s %-16s %-23s %s\n", "Device", "Model", "Version", "Serial", "Backup time",
                    "Format", "Folder");
        for (const auto& e : entries) {
            // Encryption, and a backup that cannot be read yet, are remarked at the end of the row.
            const std::string note = backupFormatNote(*e);
            const std::string suffix = note.empty() ? std::string() : "  (" + note + ")";
            std::printf("%s %-12s %-8s %-14s %-16s %-23s %s%s\n", column(textOrEmpty(e->strDeviceName), 24).c_str(),
                        e->strDeviceType ? e->strDeviceType->c_str() : "unknown",
                        textOrEmpty(e->strIOSVersion).c_str(), textOrEmpty(e->strDeviceSerial).c_str(),
                        textOrEmpty(e->strDeviceBackUpTime).c_str(), backupFormatText(e->backupFormat).c_str(),
                        textOrEmpty(e->backUpFilePath).c_str(), suffix.c_str());
        }
    }
    return kExitOk;
}

}  // namespace salvor::cli
