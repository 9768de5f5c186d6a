// The whole scan, as `salvor scan` runs it, of a backup whose message
// database holds 400,000 messages in 4,000 conversations and nothing deleted:
// the CPU time, wall time and peak memory of the scan (each run in a child
// process, so nothing the parent holds counts), and how much of the wall time
// the deleted-record scans took (from the end of the last live stage that
// reports progress, 60, to the end of the last carving, 100).
//
//   bench_scan_messages [--messages N] [--conversations N] [--runs N]
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <time.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "engine/scan_session.h"
#include "forge/forge.h"
#include "peak_memory.h"

namespace {

namespace fs = std::filesystem;
using namespace salvor;
using Clock = std::chrono::steady_clock;

double seconds(const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; }

// What one run measured, written by the child through a pipe.
struct Figures {
    double cpu = -1, wall = -1, carving = -1;
    double messagesCarving = -1;  // the deleted-messages stage alone (reports 75, then 80)
    double carvingCpu = -1;       // the scan thread's CPU time over the carving
};

// CPU time of the calling thread, in seconds.
double threadCpu() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

Figures scanOnce(const std::string& backup, long& peakKiB) {
    int fds[2];
    if (::pipe(fds) != 0) return {};
    peakKiB = bench_memory::peakGrowthKiB([&] {
        ::close(fds[0]);
        rusage before{}, after{};
        ::getrusage(RUSAGE_SELF, &before);
        const auto start = Clock::now();
        // The live call-history stage reports 60; the carving follows it (the
        // live bookmarks and calendar stages between are a few rows here) and
        // its last stage reports 100.
        Clock::time_point liveDone{}, carved{}, contactsCarved{}, messagesCarved{};
        double cpuAtLiveDone = -1, cpuAtCarved = -1;
        ScanSession session;
        // Progress is reported on the scan thread, which runs every stage.
        const auto problem = session.run(backup, [&](int percent) {
            const auto now = Clock::now();
            if (percent == 60) liveDone = now, cpuAtLiveDone = threadCpu();
            if (percent == 100) cpuAtCarved = threadCpu();
            if (percent == 75) contactsCarved = now;
            if (percent == 80) messagesCarved = now;
            if (percent == 100) carved = now;
        });
        const auto end = Clock::now();
        ::getrusage(RUSAGE_SELF, &after);
        Figures f;
        if (!problem) {
            f.cpu = seconds(after.ru_utime) + seconds(after.ru_stime) - seconds(before.ru_utime) - seconds(before.ru_stime);
            f.wall = std::chrono::duration<double>(end - start).count();
            if (liveDone != Clock::time_point{} && carved > liveDone)
                f.carving = std::chrono::duration<double>(carved - liveDone).count();
            if (cpuAtLiveDone >= 0 && cpuAtCarved >= cpuAtLiveDone) f.carvingCpu = cpuAtCarved - cpuAtLiveDone;
            if (contactsCarved != Clock::time_point{} && messagesCarved > contactsCarved)
                f.messagesCarving = std::chrono::duration<double>(messagesCarved - contactsCarved).count();
        }
        const ssize_t ignored = ::write(fds[1], &f, sizeof f);
        (void)ignored;
    });
    ::close(fds[1]);
    Figures f;
    if (::read(fds[0], &f, sizeof f) != sizeof f) f = {};
    ::close(fds[0]);
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    int messages = 400000, conversations = 4000, runs = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        const int value = std::atoi(argv[i + 1]);
        if (arg == "--messages") messages = value;
        else if (arg == "--conversations") conversations = value;
        else if (arg == "--runs") runs = value;
    }
    std::string dir = (fs::temp_directory_path() / "salvor-bench-scan-messages-XXXXXX").string();
    if (!::mkdtemp(dir.data())) {
        std::fprintf(stderr, "cannot create a scratch folder\n");
        return 1;
    }
    forge::ForgeOptions options;
    options.scenario = "bench-messages";
    options.scale.messages = messages;
    options.scale.conversations = conversations;
    options.scale.deletedPercent = 0;
    const auto backups = forge::forgeStore(dir + "/store", options);
    if (backups.empty()) {
        std::fprintf(stderr, "the forge wrote no backup\n");
        return 1;
    }
    const std::string backup = backups.front().path;
    std::error_code ec;
    std::uintmax_t bytes = 0;
    for (const auto& entry : fs::recursive_directory_iterator(backup, ec))
        if (entry.is_regular_file(ec)) bytes += entry.file_size(ec);
    std::printf("whole scan of %d messages in %d conversations, none deleted (backup %.1f MB)\n", messages, conversations,
                double(bytes) / 1e6);
    int failed = 0;
    for (int run = 0; run < runs; ++run) {
        long peak = -1;
        const Figures f = scanOnce(backup, peak);
        if (f.cpu < 0) {
            std::printf("run %d: the scan failed\n", run + 1);
            ++failed;
            continue;
        }
        std::printf("run %d: CPU %.2f s, wall %.2f s, peak memory %.1f MB\n", run + 1, f.cpu, f.wall,
                    peak < 0 ? -1.0 : double(peak) / 1024.0);
        if (f.carving >= 0)
            std::printf("run %d: carving %.2f s of %.2f s wall (%.0f%%), of which the messages %.2f s; "
                        "carving CPU %.2f s of %.2f s (%.0f%%)\n",
                        run + 1, f.carving, f.wall, 100.0 * f.carving / f.wall, f.messagesCarving, f.carvingCpu, f.cpu,
                        100.0 * f.carvingCpu / f.cpu);
    }
    fs::remove_all(dir, ec);
    return failed ? 1 : 0;
}
