// `salvor demo`: forges the bundled sample backup into a fresh temporary store,
// scans it, shows what was found and recovers everything from it.
#include <cstdlib>
#include <cstdio>
#include <filesystem>

#include "cli.h"
#include "forge/forge.h"

namespace salvor::cli {

namespace fs = std::filesystem;

int cmdDemo(const std::vector<std::string>& args) {
    std::string to;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--to" && i + 1 < args.size()) {
            to = args[++i];
        } else {
            error("demo: unexpected argument '" + args[i] + "'");
            return kExitUsage;
        }
    }

    std::string tmpl = (fs::temp_directory_path() / "salvor-demo-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) {
        error("demo: cannot create a temporary folder");
        return kExitFailure;
    }
    const std::string store = tmpl + "/Backup";
    forge::ForgeOptions options;
    options.seed = 2013;
    options.scenario = "demo";
    const auto backups = forge::forgeStore(store, options);
    if (backups.empty()) {
        error("demo: the sample backup could not be made");
        return kExitFailure;
    }
    const std::string backup = backups.front().path;
    std::printf("Sample backup store: %s\n", store.c_str());
    std::printf("Sample backup:       %s\n\n", backup.c_str());

    std::vector<std::string> recoverArgs{backup, "--all"};
    if (!to.empty()) {
        recoverArgs.push_back("--to");
        recoverArgs.push_back(to);
    }
    const int rc = cmdRecover(recoverArgs);
    std::printf("\nTry: salvor list --store '%s'\n     salvor scan '%s'\n", store.c_str(), backup.c_str());
    return rc;
}

}  // namespace salvor::cli
