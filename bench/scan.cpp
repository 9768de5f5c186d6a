// The whole scan as `salvor scan` runs it (a ScanSession: the pipeline on a
// scan thread, the main thread serving the hand-overs) on a forged backup of
// 100,000 manifest records, idle and while another process keeps one core
// busy, beside the bare cost of reading the same manifest and naming every
// record; the ratios are printed at the end. Then the result store's message
// grouping at scale (live messages, then carved ones, into conversations) and
// the backup tree with 100,000 sibling folders placed in scan-sized batches.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/resource.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>

#include "ratio_reporter.h"
#include "backup/manifest.h"
#include "backup/mbdb_reader.h"
#include "backup/tree_controller.h"
#include "core/record_collector.h"
#include "engine/scan_session.h"
#include "forge/forge.h"
#include "platform/dispatcher.h"

namespace {

namespace fs = std::filesystem;
using namespace salvor;

struct Fixture {
    std::string store;
    std::string backup;

    Fixture() {
        std::string tmpl = (fs::temp_directory_path() / "salvor-bench-scan-XXXXXX").string();
        if (!::mkdtemp(tmpl.data())) throw std::runtime_error("cannot create a scratch folder");
        store = tmpl;
        forge::ForgeOptions options;
        options.scenario = "bench-manifest";
        options.manifestRecords = 100000;
        const auto backups = forge::forgeStore(store, options);
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

// Another process spinning on one core for as long as it lives (at most two
// minutes, should this process die without stopping it).
class BusyCore {
public:
    BusyCore() : pid_(::fork()) {
        if (pid_ == 0) {
            ::alarm(120);
            volatile unsigned long spin = 0;
            for (;;) spin = spin + 1;
        }
    }
    ~BusyCore() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    BusyCore(const BusyCore&) = delete;
    BusyCore& operator=(const BusyCore&) = delete;

private:
    pid_t pid_;
};

void scanOnce(benchmark::State& state, const std::string& backup) {
    ScanSession session;
    if (auto problem = session.run(backup)) state.SkipWithError(problem->c_str());
    benchmark::DoNotOptimize(session.store.tree().content.data());
}

double cpuMs(const timeval& t) { return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3; }

// Also the CPU time of a scan, user and system apart, over every thread of
// the process (the scan thread and the main thread that serves it).
void BM_Scan(benchmark::State& state) {
    const std::string& backup = fixture().backup;
    struct rusage before {}, after {};
    ::getrusage(RUSAGE_SELF, &before);
    for (auto _ : state) scanOnce(state, backup);
    ::getrusage(RUSAGE_SELF, &after);
    const auto n = static_cast<double>(state.iterations());
    state.counters["user_ms"] = (cpuMs(after.ru_utime) - cpuMs(before.ru_utime)) / n;
    state.counters["sys_ms"] = (cpuMs(after.ru_stime) - cpuMs(before.ru_stime)) / n;
}

void BM_ScanOneCoreBusy(benchmark::State& state) {
    const std::string& backup = fixture().backup;
    BusyCore busy;
    for (auto _ : state) scanOnce(state, backup);
}

void BM_ReadAndHash(benchmark::State& state) {
    const std::string manifest = fixture().backup + "/Manifest.mbdb";
    for (auto _ : state) {
        MbdbReader reader;
        if (!reader.open(manifest) || !reader.readMagic()) {
            state.SkipWithError("manifest unreadable");
            return;
        }
        StoredNameHasher hasher;
        MbdbRecord record;
        char hex[41];
        while (reader.next(record)) {
            hasher.name(record.domain, record.path, hex);
            benchmark::DoNotOptimize(hex);
        }
    }
}

// Live messages spread over `conversations` numbers, the first ones appearing
// early and the others one by one later; every tenth message writes its
// number without the country prefix (so only containment finds its
// conversation). Then one carved message per ten: half repeat a live one,
// the rest fall into a few hundred deleted conversations.
void BM_GroupMessages(benchmark::State& state) {
    const auto messages = static_cast<std::size_t>(state.range(0));
    const auto conversations = static_cast<std::size_t>(state.range(1));
    auto message = [](std::string phone, std::string content, Timestamp date) {
        auto m = std::make_shared<MVMessageNode>();
        m->messageName = "Someone";
        m->messagePhone = std::move(phone);
        m->messageContent = std::move(content);
        m->messageDate = date;
        return m;
    };
    auto number = [](std::size_t k) {
        char digits[32];
        std::snprintf(digits, sizeof digits, "555%07zu", k % 10000000);
        return std::string(digits);
    };
    const Timestamp kLiveDate(std::chrono::seconds(1357034400));  // 01-01-2013 10:00 UTC
    const Timestamp kGoneDate(std::chrono::seconds(1359712800));  // 02-01-2013 10:00 UTC
    std::vector<MessagePtr> live, carved;
    for (std::size_t i = 0; i < messages; ++i) {
        const std::size_t c = (i * 7919) % conversations;
        const std::string phone = (i % 10 == 9 ? "" : "+1") + number(c);
        live.push_back(message(phone, "text " + std::to_string(i), kLiveDate));
    }
    for (std::size_t i = 0; i < messages / 10; ++i) {
        if (i % 2 == 0) {
            const MessagePtr& twin = live[(i * 31) % live.size()];
            carved.push_back(message(*twin->messagePhone, *twin->messageContent, *twin->messageDate));
        } else {
            carved.push_back(message("+1" + number(conversations + i % 300), "gone", kGoneDate));
        }
    }
    for (auto _ : state) {
        ResultStore store;
        for (const MessagePtr& m : live) store.message(m);
        for (const MessagePtr& m : carved) store.deletedMessage(m);
        benchmark::DoNotOptimize(store.conversations().size());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * (live.size() + carved.size())));
}

// 100,000 records, each in its own folder beside all the others, handed over
// in batches as the store does during a scan.
void BM_TreeSiblingFolders(benchmark::State& state) {
    const auto folders = static_cast<std::uint32_t>(state.range(0));
    std::vector<TreeDirPtr> records;
    for (std::uint32_t k = 0; k < folders; ++k) {
        auto r = std::make_shared<MVTreeDirNode>();
        char name[16];
        std::snprintf(name, sizeof name, "f%08x", static_cast<unsigned>(k * 2654435761U));
        r->fileDomain = "AppDomain-com.bench.siblings";
        r->filePath = std::string("Library/") + name + "/item.dat";
        r->fileKey = "/nonexistent/" + std::to_string(k);
        records.push_back(std::move(r));
    }
    auto device = std::make_shared<MVIOSDeviceNode>();
    device->strDeviceName = "Phone";
    for (auto _ : state) {
        MVTreeController tree([&device] { return device; });
        std::vector<TreeDirPtr> batch;
        for (const TreeDirPtr& r : records) {
            batch.push_back(r);
            if (batch.size() == 4096) {
                tree.addTreeNodes(batch);
                batch.clear();
            }
        }
        tree.addTreeNodes(batch);
        benchmark::DoNotOptimize(tree.content.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * records.size()));
}

BENCHMARK(BM_ReadAndHash)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Scan)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_ScanOneCoreBusy)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_GroupMessages)->Args({200000, 500})->Args({200000, 4000})->Args({400000, 4000})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TreeSiblingFolders)->Arg(100000)->Unit(benchmark::kMillisecond);

// Keeps the wall-clock time per iteration of each benchmark for the ratios.
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
    const auto bare = reporter.real.find("BM_ReadAndHash");
    for (const auto& [name, time] : reporter.real) {
        const bool scan = name.rfind("BM_Scan/", 0) == 0 || name.rfind("BM_ScanOneCoreBusy/", 0) == 0;
        if (scan && bare != reporter.real.end() && bare->second > 0)
            std::printf("%s / read+hash (wall clock): %.1f ms / %.1f ms = %.1fx\n", name.c_str(), time, bare->second,
                        time / bare->second);
    }
    benchmark::Shutdown();
    return 0;
}
