// Listing and tree building of a Manifest.db backup of 300,000 rows (the
// manifest stage: every row checked, its archive decoded, its stored file
// looked at, then filed into the backup tree in batches as a scan does),
// beside reading the same rows with SQLite alone. Prints the time ratio and
// the peak memory of each, measured in a child process per side.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

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

}  // namespace

int main(int argc, char** argv) {
    log::setSink([](log::Level, const std::string&) {});
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
    benchmark::Shutdown();
    return 0;
}
