#include "platform/backup_tool.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>

extern char** environ;

namespace salvor::device {

std::vector<int> percentagesIn(const std::string& text) {
    std::vector<int> out;
    for (std::size_t pos = text.find('%'); pos != std::string::npos; pos = text.find('%', pos + 1)) {
        // Digits (and a decimal part) right before the sign: "42%", "42.5%".
        std::size_t end = pos;
        std::size_t start = end;
        while (start > 0 && (std::isdigit(static_cast<unsigned char>(text[start - 1])) || text[start - 1] == '.'))
            --start;
        while (start < end && text[start] == '.') ++start;
        if (start == end) continue;
        const std::string number = text.substr(start, end - start);
        const std::size_t dot = number.find('.');
        const std::string whole = number.substr(0, dot);
        if (whole.empty() || whole.size() > 3) continue;
        // "42% (1.2 MB/3.0 MB)" is one file's transfer, not the backup's progress.
        const std::size_t next = text.find_first_not_of(' ', pos + 1);
        if (next != std::string::npos && text[next] == '(') continue;
        const int value = std::atoi(whole.c_str());
        if (value <= 100) out.push_back(value);
    }
    return out;
}

bool programOnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string dirs = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string dir = end > start ? dirs.substr(start, end - start) : ".";
        const std::string candidate = dir + "/" + program;
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

int runProgram(const std::string& program, const std::vector<std::string>& args,
               const std::function<void(const std::string&)>& onOutput, bool* started) {
    if (started) *started = false;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    // The tool gets the ordinary signal handling back, whatever this process blocks.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> argv;
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        return -1;
    }
    if (started) *started = true;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (onOutput) onOutput(std::string(buf, static_cast<std::size_t>(n)));
    }
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace salvor::device
