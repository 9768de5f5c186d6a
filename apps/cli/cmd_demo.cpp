// `salvor demo`: has the sample backup forged into a fresh temporary store by
// the `salvor-forge` program installed beside this one, scans it, shows what
// was found and recovers everything from it. The forge is a program of its
// own, not a part of this one: the shipped command carries no test-data code.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>

#include "cli.h"

extern char** environ;

namespace salvor::cli {

namespace fs = std::filesystem;

namespace {

constexpr const char* kMakerProgram = "salvor-forge";

// The forge program: beside this one (where both are installed), or where a
// build tree puts it (apps/cli/salvor and tools/forge/salvor-forge).
std::optional<fs::path> sampleBackupMaker() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return std::nullopt;
    const fs::path folder = self.parent_path();
    for (const fs::path& candidate : {folder / kMakerProgram, folder / ".." / ".." / "tools" / "forge" / kMakerProgram}) {
        if (::access(candidate.c_str(), X_OK) == 0 && fs::is_regular_file(candidate, ec)) return candidate;
    }
    return std::nullopt;
}

// Runs `program` with `args`, its standard output read into `out`; its exit
// status, or -1 when it could not be started (`why` says why).
int runCapturing(const fs::path& program, const std::vector<std::string>& args, std::string& out, std::string& why) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        why = std::strerror(errno);
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    std::vector<char*> argv;
    const std::string path = program.string();
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (spawned != 0) {
        ::close(pipeFds[0]);
        why = std::strerror(spawned);
        return -1;
    }
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipeFds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    why = "it was ended by signal " + std::to_string(WTERMSIG(status));
    return -1;
}

// The backup folder the forge named for `store`: each line it prints is a
// backup folder inside the store, a space, and the file of what it holds.
std::optional<std::string> firstBackup(const std::string& out, const std::string& store) {
    const std::string prefix = store + "/";
    const std::size_t end = out.find('\n');
    const std::string line = out.substr(0, end);
    if (line.rfind(prefix, 0) != 0) return std::nullopt;
    const std::size_t space = line.find(' ', prefix.size());
    if (space == std::string::npos || space == prefix.size()) return std::nullopt;
    return line.substr(0, space);
}

}  // namespace

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

    const std::optional<fs::path> maker = sampleBackupMaker();
    if (!maker) {
        error("demo: the sample backup is made by the salvor-forge program, which is not installed beside "
              "this one; install it in the same folder (or run scripts/demo.sh from the source tree, which "
              "builds both)");
        return kExitFailure;
    }
    std::string tmpl = (fs::temp_directory_path() / "salvor-demo-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) {
        error("demo: cannot create a temporary folder");
        return kExitFailure;
    }
    const std::string store = tmpl + "/Backup";
    std::string out, why;
    const int status = runCapturing(*maker, {"--store", store, "--seed", "2013", "--scenario", "demo"}, out, why);
    const std::optional<std::string> backup = status == 0 ? firstBackup(out, store) : std::nullopt;
    if (!backup) {
        std::string reason = maker->string();
        if (status < 0) reason += " could not be run: " + why;
        else if (status != 0) reason += " failed with status " + std::to_string(status);
        else reason += " named no backup";
        error("demo: the sample backup could not be made (" + reason + ")");
        std::error_code ec;
        fs::remove_all(tmpl, ec);
        return kExitFailure;
    }
    std::printf("Sample backup store: %s\n", store.c_str());
    std::printf("Sample backup:       %s\n\n", backup->c_str());

    std::vector<std::string> recoverArgs{*backup, "--all"};
    if (!to.empty()) {
        recoverArgs.push_back("--to");
        recoverArgs.push_back(to);
    }
    const int rc = cmdRecover(recoverArgs);
    std::printf("\nTry: salvor list --store '%s'\n     salvor scan '%s'\n", store.c_str(), backup->c_str());
    return rc;
}

}  // namespace salvor::cli
