// Listing and tree building of a Manifest.db backup of 300,000 rows (the
// manifest stage: every row checked, its archive decoded, its stored file
// looked at, then filed into the backup tree in batches as a scan does),
// beside reading the same rows with SQLite alone and with Python's sqlite3
// module. Prints the time ratios and the peak memory of each: in a child
// process per side, and as whole fresh processes (this program started again
// to list once, and the Python reader), as `time -v` would show them.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "backup/manifest.h"
#include "backup/tree_controller.h"
#include "core/record_collector.h"
#include "core/scan_context.h"
#include "forge/forge.h"
#include "platform/log.h"
#include "peak_memory.h"
#include "ratio_reporter.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace salvor;

struct Fixture {
    std::string store;
    std::string backup;
    std::uint64_t rows = 300000;

    Fixture() {
        if (const char* n = std::getenv("SALVOR_BENCH_MANIFEST_ROWS")) rows = std::strtoull(n, nullptr, 10);
        std::string tmpl = (fs::temp_directory_path() / "salvor-bench-modern-XXXXXX").string();
        if (!::mkdtemp(tmpl.data())) throw std::runtime_error("cannot create a scratch folder");
        store = tmpl;
        forge::ForgeOptions options;
        options.scenario = "bench-modern-manifest";
        options.manifestRecords = rows;
        backup = forge::forgeStore(store, options).at(0).path;
    }
    ~Fixture() {
        std::error_code ec;
        fs::remove_all(store, ec);
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

// The manifest stage and the tree, as a scan builds it: records prepared on
// the scan's side and filed a few thousand at a time.
std::size_t listAndBuildTree(const std::string& backup) {
    RecordCollector sink;
    ScanContext ctx(sink, backup);
    auto device = std::make_shared<MVIOSDeviceNode>();
    device->strDeviceName = std::string("Bench iPhone");
    MVTreeController tree([device] { return device; });
    MVTreeController::RecordPreparer preparer;
    std::vector<MVTreeController::PreparedRecord> batch;
    std::size_t filed = 0;
    sink.onDelivery = [&](const std::string& kind) {
        if (kind != "backupFile") return;
        batch.push_back(preparer.prepare(*sink.backupFiles.back()));
        sink.backupFiles.clear();
        if (batch.size() == 4096) {
            tree.addTreeNodes(batch);
            filed += batch.size();
            batch.clear();
        }
    };
    scanBackupFiles(ctx, backup);
    tree.addTreeNodes(batch);
    filed += batch.size();
    return filed;
}

// The same rows through SQLite and nothing else.
std::size_t readWithSqlite(const std::string& backup) {
    sqlite3* db = nullptr;
    const std::string uri = "file:" + backup + "/Manifest.db?mode=ro&immutable=1";
    std::size_t rows = 0;
    if (sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT fileID, domain, relativePath, flags, file FROM Files", -1, &st, nullptr) ==
            SQLITE_OK) {
            std::size_t bytes = 0;
            while (sqlite3_step(st) == SQLITE_ROW) {
                for (int i = 0; i < 5; ++i) bytes += static_cast<std::size_t>(sqlite3_column_bytes(st, i));
                ++rows;
            }
            benchmark::DoNotOptimize(bytes);
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return rows;
}

void BM_ModernListingAndTree(benchmark::State& state) {
    std::size_t n = 0;
    for (auto _ : state) n = listAndBuildTree(fixture().backup);
    state.counters["rows"] = static_cast<double>(n);
}

void BM_SqliteAlone(benchmark::State& state) {
    std::size_t n = 0;
    for (auto _ : state) n = readWithSqlite(fixture().backup);
    state.counters["rows"] = static_cast<double>(n);
}

BENCHMARK(BM_ModernListingAndTree)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SqliteAlone)->Unit(benchmark::kMillisecond);

// Every row of Files, the archive column included, through Python's sqlite3
// module: one row at a time, as a reader that keeps nothing would.
constexpr const char* kPythonReader =
    "import sqlite3, sys\n"
    "con = sqlite3.connect('file:' + sys.argv[1] + '/Manifest.db?mode=ro&immutable=1', uri=True)\n"
    "n = 0\n"
    "for row in con.execute('SELECT fileID, domain, relativePath, flags, file FROM Files'):\n"
    "    n += len(row[4] or b'')\n"
    "print([l for l in open('/proc/self/status') if l.startswith('VmHWM:')][0], end='')\n";

struct ProcessCost {
    double cpuMs = -1;  // user + system
    long peakKiB = -1;  // the process's own peak resident set
};

// Runs `argv` as a fresh process, which prints its "VmHWM:" line last; what
// it cost. The peak is the process's own report: the one the kernel keeps
// for a child counts the memory of the parent it was started from.
ProcessCost runProcess(std::vector<std::string> argv) {
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    int out[2];
    if (::pipe(out) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    std::string text;
    char buffer[256];
    for (ssize_t n; rc == 0 && (n = ::read(out[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
    ::close(out[0]);
    ProcessCost cost;
    if (rc != 0) return cost;
    int status = 0;
    struct rusage usage {};
    if (::wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return cost;
    auto ms = [](const timeval& t) { return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3; };
    cost.cpuMs = ms(usage.ru_utime) + ms(usage.ru_stime);
    const std::size_t at = text.rfind("VmHWM:");
    if (at != std::string::npos) cost.peakKiB = std::atol(text.c_str() + at + 6);
    return cost;
}

// The cheapest of `runs` runs (CPU time), and the peak memory of that run.
ProcessCost bestOf(int runs, const std::vector<std::string>& argv) {
    ProcessCost best;
    for (int i = 0; i < runs; ++i) {
        const ProcessCost c = runProcess(argv);
        if (c.cpuMs >= 0 && (best.cpuMs < 0 || c.cpuMs < best.cpuMs)) best = c;
    }
    return best;
}

void compareWithPython(const std::string& backup) {
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    const ProcessCost ours = bestOf(3, {self, "--list-once", backup});
    const ProcessCost python = bestOf(3, {"python3", "-c", kPythonReader, backup});
    if (ours.cpuMs < 0 || python.cpuMs < 0 || ours.peakKiB < 0 || python.peakKiB < 0) {
        std::printf("fresh processes: not measurable here (python3 missing?)\n");
        return;
    }
    std::printf("fresh processes, listing + tree / Python's sqlite3 reading every row (CPU, best of 3): "
                "%.0f ms / %.0f ms = %.2fx\n",
                ours.cpuMs, python.cpuMs, ours.cpuMs / python.cpuMs);
    std::printf("fresh processes, peak memory: listing + tree %.1f MiB, Python's reader %.1f MiB, difference %+.1f MiB\n",
                static_cast<double>(ours.peakKiB) / 1024.0, static_cast<double>(python.peakKiB) / 1024.0,
                static_cast<double>(ours.peakKiB - python.peakKiB) / 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
    log::setSink([](log::Level, const std::string&) {});
    // Started again by compareWithPython: one listing of the given backup, then out.
    if (argc == 3 && std::string(argv[1]) == "--list-once") {
        if (listAndBuildTree(argv[2]) == 0) return 1;
        std::printf("VmHWM: %ld kB\n", bench_memory::statusKiB("VmHWM"));
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    try {
        fixture();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cannot forge the benchmark backup: %s\n", e.what());
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto stage = reporter.cpu.find("BM_ModernListingAndTree");
    const auto bare = reporter.cpu.find("BM_SqliteAlone");
    if (stage != reporter.cpu.end() && bare != reporter.cpu.end() && bare->second > 0)
        std::printf("Manifest.db of %llu rows: listing + tree / SQLite alone (CPU): %.1f ms / %.1f ms = %.2fx\n",
                    static_cast<unsigned long long>(fixture().rows), stage->second, bare->second,
                    stage->second / bare->second);
    const std::string backup = fixture().backup;
    const long tree = bench_memory::peakGrowthKiB([&] { benchmark::DoNotOptimize(listAndBuildTree(backup)); });
    const long sqlite = bench_memory::peakGrowthKiB([&] { benchmark::DoNotOptimize(readWithSqlite(backup)); });
    std::error_code ec;
    const double dbMiB = static_cast<double>(fs::file_size(backup + "/Manifest.db", ec)) / 1048576.0;
    if (tree < 0 || sqlite < 0)
        std::printf("peak memory not measurable here\n");
    else
        std::printf("peak memory for a %.1f MiB Manifest.db: listing + tree +%.1f MiB, SQLite alone +%.1f MiB\n", dbMiB,
                    static_cast<double>(tree) / 1024.0, static_cast<double>(sqlite) / 1024.0);
    compareWithPython(backup);
    benchmark::Shutdown();
    return 0;
}
