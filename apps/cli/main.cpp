// The `salvor` command: list backups, scan one, recover what was found, demo.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli.h"
#include "output/output_dir.h"
#include "platform/log.h"
#include "platform/scratch.h"

// ---- stopping ----

namespace salvor::cli {

namespace {

// Every signal that asks the process to stop. Left to their default action,
// each would end the process on the spot and leave the private database
// copies in the temporary folder.
sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM}) sigaddset(&set, sig);
    return set;
}

// Never destroyed: a signal may come while static objects are torn down.
struct StopState {
    std::mutex mutex;
    std::function<void()> cancel;
    int scopes = 0;
    std::atomic<int> signal{0};
};
StopState& stopState() {
    static StopState* state = new StopState;
    return *state;
}

// The last resort: nothing is left to finish, so only what must not stay
// behind is removed before the process ends.
[[noreturn]] void stopNow(int sig) {
    scratch::removeAll();
    output::OutputDir::removeUnfinishedFiles();
    static const char kMessage[] = "\nsalvor: stopped\n";
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
    _exit(128 + sig);
}

}  // namespace

int stopSignal() { return stopState().signal.load(); }
int stopExitCode() { return 128 + stopSignal(); }

StopScope::StopScope() {
    std::lock_guard lock(stopState().mutex);
    ++stopState().scopes;
}

StopScope::~StopScope() {
    std::lock_guard lock(stopState().mutex);
    --stopState().scopes;
    stopState().cancel = nullptr;
}

void StopScope::cancelWith(std::function<void()> cancel) {
    StopState& state = stopState();
    std::lock_guard lock(state.mutex);
    state.cancel = std::move(cancel);
    if (state.signal.load() != 0 && state.cancel) state.cancel();
}

// The signals are blocked in every thread and taken by one watcher thread,
// which may lock, allocate and call the canceller as any thread can.
void watchStopSignals() {
    // A closed output pipe or a file-size limit must not end the process
    // either: each becomes a write error (EPIPE, EFBIG) that the writers report.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    const sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread([set] {
        for (;;) {
            int sig = 0;
            if (sigwait(&set, &sig) != 0) continue;
            StopState& state = stopState();
            std::unique_lock lock(state.mutex);
            int first = 0;
            if (state.scopes > 0 && state.signal.compare_exchange_strong(first, sig)) {
                if (state.cancel) state.cancel();
                continue;
            }
            lock.unlock();
            stopNow(first != 0 ? first : sig);
        }
    }).detach();
}

}  // namespace salvor::cli

namespace {

void usage(FILE* out) {
    std::fputs(
        "usage: salvor <command> [options]\n"
        "\n"
        "commands:\n"
        "  list [--store DIR] [--json]             list the backups of a backup store\n"
        "  scan BACKUP_DIR [--json] [--quiet]      scan one backup and show what it holds\n"
        "  recover BACKUP_DIR [--to DEST] [--all | --deleted-only] [--category NAME ...]\n"
        "          [--file PATH ...] [--format FORMAT[,FORMAT...]] [--open]\n"
        "                                          write what was found into a folder\n"
        "  demo [--to DIR]                         forge a sample backup, scan and recover it\n"
        "  devices [--json]                        list the iPhones and iPads connected by USB\n"
        "  scan --device [--udid ID] ...           back up the connected device, copy its camera\n"
        "  recover --device [--udid ID] ...        folders and scan (or recover) what it holds\n"
        "  carve DATABASE [--wal FILE] [--journal FILE] [--json]\n"
        "                                          list the deleted records of every table of any\n"
        "                                          SQLite database (DATABASE-wal and DATABASE-journal\n"
        "                                          beside it are read too)\n"
        "\n"
        "encrypted backups (scan, recover): the password comes from the environment variable\n"
        "SALVOR_BACKUP_PASSWORD, from --password-file FILE (its first line; - reads standard input)\n"
        "or from a prompt; --key-file FILE gives instead the key derived from it (64 hex digits),\n"
        "which --save-key FILE writes after a scan, so that later runs skip the slow derivation.\n"
        "\n"
        "recover --format: classic (the lists, cards, conversation pages and copies; the default),\n"
        "ics (the calendar as Calendar&Reminder/Calendar.ics), csv (a spreadsheet per category),\n"
        "pdf (a printable document per conversation), html (index.html, a page that opens the\n"
        "whole recovery), or all. Spreadsheet cells that begin with = + - or @ get a leading '.\n"
        "\n"
        "options for every command: --verbose (diagnostic lines on stderr)\n"
        "The backup store defaults to the platform's backup folder of the current user;\n"
        "--store DIR or the environment variable SALVOR_BACKUP_STORE override it.\n"
        "A device backup is kept in $XDG_CACHE_HOME/salvor/device/<udid> (~/.cache by default).\n"
        "Ctrl-C stops a scan or a recovery cleanly (exit status 130).\n",
        out);
}

// Whether `fd` is a pipe whose reading end has been closed.
bool readerGone(int fd) {
    pollfd p{fd, POLLOUT, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLERR) != 0;
}

int dispatch(const std::string& command, const std::vector<std::string>& args) {
    try {
        if (command == "list") return salvor::cli::cmdList(args);
        if (command == "scan") return salvor::cli::cmdScan(args);
        if (command == "recover") return salvor::cli::cmdRecover(args);
        if (command == "demo") return salvor::cli::cmdDemo(args);
        if (command == "devices") return salvor::cli::cmdDevices(args);
        if (command == "carve") return salvor::cli::cmdCarve(args);
    } catch (const std::exception& e) {
        salvor::cli::error(e.what());
        return salvor::cli::kExitFailure;
    }
    salvor::cli::error("unknown command '" + command + "'");
    usage(stderr);
    return salvor::cli::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    salvor::cli::watchStopSignals();  // first, so every later thread inherits the blocked signals
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
    int rc = dispatch(command, args);
    // With SIGPIPE ignored a closed output pipe shows up here, as a failed
    // write; only the reader going away (`salvor scan --json | head`) needs
    // no message.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        if (!readerGone(STDOUT_FILENO)) salvor::cli::error("cannot write the output");
        if (rc == salvor::cli::kExitOk) rc = salvor::cli::kExitFailure;
    }
    return rc;
}
