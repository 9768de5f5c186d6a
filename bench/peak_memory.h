// Peak memory of a piece of work, measured in a child process so that what
// the parent already holds (the fixture, earlier runs) does not count.
#pragma once

#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>

namespace bench_memory {

inline long statusKiB(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(in, line))
        if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + key.size());
    return -1;
}

// Runs `work` in a child process and answers how far its resident memory
// rose above what it held when the work began (KiB); -1 when unknown.
inline long peakGrowthKiB(const std::function<void()>& work) {
    int fds[2];
    if (::pipe(fds) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        ::close(fds[0]);
        ::malloc_trim(0);
        { std::ofstream("/proc/self/clear_refs") << "5"; }
        const long before = statusKiB("VmRSS");
        const long hwmBefore = statusKiB("VmHWM");
        work();
        const long peak = statusKiB("VmHWM");
        const long growth = before < 0 || peak < 0 || hwmBefore > before + 4096 ? -1 : peak - before;
        const ssize_t ignored = ::write(fds[1], &growth, sizeof growth);
        (void)ignored;
        ::_exit(0);
    }
    ::close(fds[1]);
    long growth = -1;
    if (::read(fds[0], &growth, sizeof growth) != sizeof growth) growth = -1;
    ::close(fds[0]);
    ::waitpid(pid, nullptr, 0);
    return growth;
}

}  // namespace bench_memory
