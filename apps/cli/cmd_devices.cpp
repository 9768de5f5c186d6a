// `salvor devices`: the iPhones and iPads connected by USB; and the device
// half of `salvor scan --device` / `salvor recover --device`.
#include <cstdio>

#include "cli.h"
#include "cli/json_writer.h"
#include "engine/device_scan.h"

namespace salvor::cli {

int cmdDevices(const std::vector<std::string>& args) {
    bool json = false;
    for (const auto& a : args) {
        if (a == "--json") json = true;
        else {
            error("devices: unexpected argument '" + a + "'");
            return kExitUsage;
        }
    }
    std::vector<ConnectedDevice> devices;
    if (auto why = listConnectedDevices(devices)) {
        error(*why);
        return kExitFailure;
    }
    if (json) {
        JsonWriter w(stdout, 2);
        w.beginArray();
        for (const auto& d : devices) {
            w.beginObject();
            auto text = [&w](const char* name, const Text& t) {
                w.key(name);
                if (t) w.string(*t);
                else w.null();
            };
            w.key("index");
            w.number(d.index);
            w.key("udid");
            w.string(d.udid);
            text("name", d.name);
            text("productType", d.productType);
            text("model", d.modelName);
            text("version", d.version);
            w.key("paired");
            w.number(d.paired ? 1 : 0);
            text("note", d.note.empty() ? Text() : Text(d.note));
            w.endObject();
        }
        w.endArray();
        if (!w.finish()) {
            error("could not write the device list to the standard output");
            return kExitFailure;
        }
    }
    if (devices.empty()) {
        std::fprintf(stderr, "No iPhone or iPad is connected: connect one with a USB cable and unlock it.\n");
        return kExitFailure;
    }
    if (!json) {
        std::printf("%-24s %-14s %-8s %-42s %s\n", "Device", "Model", "Version", "Identifier", "Paired");
        for (const auto& d : devices) {
            const std::string model = d.modelName ? *d.modelName : textOrEmpty(d.productType);
            std::printf("%s %-14s %-8s %-42s %s\n", column(textOrEmpty(d.name), 24).c_str(), model.c_str(),
                        textOrEmpty(d.version).c_str(), d.udid.c_str(), d.paired ? "yes" : "no");
            if (!d.note.empty()) std::printf("  %s\n", d.note.c_str());
        }
    }
    return kExitOk;
}

std::optional<std::string> runDeviceScan(ScanSession& session, const std::string& udid, bool showProgress,
                                         const SecretOptions& secrets) {
    // Whether the device encrypts its backups is known only once it is reached:
    // a password given in advance is handed over, none is asked for.
    if (auto why = giveBackupSecret(session, secrets, false, {})) return why;
    DeviceScan scan(session);
    // The backup fills the bar's first fifth, the camera copy the next tenth.
    ProgressBar bar("Backing up and scanning", showProgress);
    auto problem = scan.run(udid, [&bar](int percent) { bar.update(percent); });
    bar.finish();
    if (!scan.backupFolder.empty())
        std::fprintf(stderr, "salvor: the device backup is kept in %s (camera files in %s)\n",
                     scan.backupFolder.c_str(), scan.photoFolder.c_str());
    if (problem) return problem;
    if (auto failure = session.app.scanFailure(); failure && !session.cancelled()) return failure;
    return saveDerivedKey(session, secrets);
}

}  // namespace salvor::cli
