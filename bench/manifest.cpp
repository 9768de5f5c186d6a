// The manifest stage on a forged backup of 100,000 manifest records, beside the
// bare cost of reading the same file and naming every record (SHA-1 of domain
// "-" path). The ratio of the two is what the stage adds: record nodes, events,
// the lookup list and the media step's file attributes.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>

#include "ratio_reporter.h"
#include "backup/manifest.h"
#include "backup/mbdb_reader.h"
#include "core/scan_context.h"
#include "core/record_collector.h"
#include "forge/forge.h"
#include "platform/dispatcher.h"

namespace {

namespace fs = std::filesystem;

struct Fixture {
    std::string store;
    std::string backup;
    std::uint64_t records = 100000;

    Fixture() {
        std::string tmpl = (fs::temp_directory_path() / "salvor-bench-manifest-XXXXXX").string();
        if (!::mkdtemp(tmpl.data())) throw std::runtime_error("cannot create a scratch folder");
        store = tmpl;
        salvor::forge::ForgeOptions options;
        options.scenario = "bench-manifest";
        options.manifestRecords = records;
        const auto backups = salvor::forge::forgeStore(store, options);
        if (backups.empty()) throw std::runtime_error("the forge wrote no backup");
        backup = backups.front().path;
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

void BM_ManifestStage(benchmark::State& state) {
    const std::string& backup = fixture().backup;
    std::size_t posted = 0;
    for (auto _ : state) {
        salvor::RecordCollector sink;
        salvor::ScanContext ctx(sink, backup);
        // One receiver, as the result store would have.
        sink.onDelivery = [&](const std::string&) {
            ++posted;
            sink.backupFiles.clear();
        };
        salvor::scanBackupFiles(ctx, backup);
        benchmark::DoNotOptimize(ctx.treeFileArray.data());
    }
    state.counters["records"] = static_cast<double>(posted) / static_cast<double>(state.iterations());
}

void BM_ReadAndHash(benchmark::State& state) {
    const std::string manifest = fixture().backup + "/Manifest.mbdb";
    std::size_t named = 0;
    for (auto _ : state) {
        salvor::MbdbReader reader;
        if (!reader.open(manifest) || !reader.readMagic()) {
            state.SkipWithError("manifest unreadable");
            return;
        }
        salvor::StoredNameHasher hasher;
        salvor::MbdbRecord record;
        char hex[41];
        while (reader.next(record)) {
            hasher.name(record.domain, record.path, hex);
            benchmark::DoNotOptimize(hex);
            ++named;
        }
    }
    state.counters["records"] = static_cast<double>(named) / static_cast<double>(state.iterations());
}

BENCHMARK(BM_ManifestStage)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadAndHash)->Unit(benchmark::kMillisecond);

// Keeps the CPU time per iteration of each benchmark so the ratio can be printed.
}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    try {
        fixture();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cannot forge the benchmark backup: %s\n", e.what());
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto stage = reporter.cpu.find("BM_ManifestStage");
    const auto bare = reporter.cpu.find("BM_ReadAndHash");
    if (stage != reporter.cpu.end() && bare != reporter.cpu.end() && bare->second > 0)
        std::printf("manifest stage / read+hash (CPU): %.2f ms / %.2f ms = %.2fx\n", stage->second, bare->second,
                    stage->second / bare->second);
    benchmark::Shutdown();
    return 0;
}
