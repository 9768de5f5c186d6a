// The `salvor` command: list backups, scan one, recover what was found, demo.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "cli.h"
#include "platform/log.h"
#include "platform/scratch.h"

namespace {

void usage(FILE* out) {
    std::fputs(
        "usage: salvor <command> [options]\n"
        "\n"
        "commands:\n"
        "  list [--store DIR] [--json]             list the backups of a backup store\n"
        "  scan BACKUP_DIR [--json] [--quiet]      scan one backup and show what it holds\n"
        "  recover BACKUP_DIR [--to DEST] [--all | --deleted-only] [--category NAME ...]\n"
        "          [--file PATH ...] [--open]      write what was found into a folder\n"
        "  demo [--to DIR]                         forge a sample backup, scan and recover it\n"
        "\n"
        "options for every command: --verbose (diagnostic lines on stderr)\n"
        "The backup store defaults to the platform's backup folder of the current user;\n"
        "--store DIR or the environment variable SALVOR_BACKUP_STORE override it.\n",
        out);
}

// Ctrl-C, a hang-up or a termination request must not leave copies of the
// person's databases behind in the temporary folder. The signals are blocked in
// every thread and taken by one watcher thread, which can clean up safely.
void watchStopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread([set] {
        int sig = 0;
        if (sigwait(&set, &sig) != 0) return;
        salvor::scratch::removeAll();
        std::fputs("\nsalvor: stopped\n", stderr);
        _exit(128 + sig);
    }).detach();
}

}  // namespace

int main(int argc, char** argv) {
    watchStopSignals();  // first, so every later thread inherits the blocked signals
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        usage(stderr);
        return salvor::cli::kExitUsage;
    }
    // --verbose anywhere shows the diagnostic lines of the scan stages.
    const auto verbose = std::erase_if(args, [](const std::string& a) { return a == "--verbose" || a == "-v"; });
    salvor::log::setVerbosity(verbose ? salvor::log::Level::Debug : salvor::log::Level::Error);
    if (args.empty()) {
        usage(stderr);
        return salvor::cli::kExitUsage;
    }
    const std::string command = args.front();
    args.erase(args.begin());
    if (command == "-h" || command == "--help" || command == "help") {
        usage(stdout);
        return salvor::cli::kExitOk;
    }
    try {
        if (command == "list") return salvor::cli::cmdList(args);
        if (command == "scan") return salvor::cli::cmdScan(args);
        if (command == "recover") return salvor::cli::cmdRecover(args);
        if (command == "demo") return salvor::cli::cmdDemo(args);
    } catch (const std::exception& e) {
        salvor::cli::error(e.what());
        return salvor::cli::kExitFailure;
    }
    salvor::cli::error("unknown command '" + command + "'");
    usage(stderr);
    return salvor::cli::kExitUsage;
}
