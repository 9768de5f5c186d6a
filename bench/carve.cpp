// The deleted-record stages against a plain read of the file they carve: a
// forged message database of over 100 MB (120,000 long messages, a third of
// them deleted) and an address book of 20,000 persons (two in five deleted).
// The live stages run first, as in the pipeline, so the private copies and the
// live records exist; only the carving stage is timed. At the end the ratio
// carving / read is printed for each file, then the carving stage's peak
// memory, measured in a child process per stage, against the file's size.
//
// DELCARVE_SKIP_MESSAGES=1 (or _CONTACTS) leaves one file out.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "ratio_reporter.h"
#include "carve/deleted_contacts.h"
#include "carve/deleted_messages.h"
#include "core/events.h"
#include "core/scan_context.h"
#include "engine/pipeline.h"
#include "forge/forge.h"
#include "platform/log.h"
#include "platform/scratch.h"

namespace {

namespace fs = std::filesystem;
using namespace salvor;

constexpr const char* kAddressBook = "31bb7ba8914766d4ba40d6dfb6113c8b614be442";
constexpr const char* kSms = "3d0d7e5fb2ce288813306e4d4636395e047a3d28";

// One forged backup after its live stages: the context the carving stage
// starts from, and the private copy it carves.
struct Prepared {
    std::string store;
    std::string backup;
    std::string copy;
    std::uint64_t copyBytes = 0;
    NotificationCenter nc;
    ScanContext live{nc};

    Prepared(const forge::ForgeOptions& options, const char* stored, const std::vector<const char*>& stages) {
        store = scratch::create("salvor-bench-carve-");
        if (store.empty()) throw std::runtime_error("cannot create a scratch folder");
        const auto backups = forge::forgeStore(store + "/store", options);
        if (backups.empty()) throw std::runtime_error("the forge wrote no backup");
        backup = backups.front().path;
        live.backupPath = backup;
        live.currentNodeIsiOS6Version = backups.front().iosMajor >= 6;
        live.bIOS7DeviceNode = backups.front().iosMajor >= 7;
        live.scanScratchDir = scratch::create("salvor-bench-carve-copies-");
        nc.addObserver(events::ScanContactInfo, [this](const std::any&) { ++liveRecords; });
        nc.addObserver(events::ScanMessageInfo, [this](const std::any&) { ++liveRecords; });
        for (const char* stage : stages) runStage(*findStage(stage), live, backup);
        const auto it = live.preparedDatabases.find(backup + "/" + stored);
        if (it == live.preparedDatabases.end()) throw std::runtime_error("the live stage made no private copy");
        copy = it->second;
        copyBytes = fs::file_size(copy);
    }
    ~Prepared() {
        scratch::release(live.scanScratchDir);
        scratch::release(store);
    }

    // A context as the carving stage finds it after the live stages; a fresh
    // one per run, so that carved records do not pile up.
    void carve(const std::function<void(ScanContext&, const std::string&)>& stage) {
        NotificationCenter center;
        ScanContext ctx(center, backup);
        static_cast<ScanCollections&>(ctx) = live;
        ctx.currentNodeIsiOS6Version = live.currentNodeIsiOS6Version;
        ctx.bIOS7DeviceNode = live.bIOS7DeviceNode;
        ctx.scanScratchDir = live.scanScratchDir;
        ctx.preparedDatabases = live.preparedDatabases;
        std::size_t posted = 0;
        center.addObserver(events::ScanDelContactInfo, [&](const std::any&) { ++posted; });
        center.addObserver(events::ScanDelMessageInfo, [&](const std::any&) { ++posted; });
        stage(ctx, backup);
        benchmark::DoNotOptimize(posted);
        lastPosted = posted;
    }
    std::size_t lastPosted = 0;
    std::size_t liveRecords = 0;  // posted by the live stages
};

bool skip(const char* what) { return std::getenv(what) && std::string(std::getenv(what)) == "1"; }

// Constructed in place (Prepared holds a context that cannot move).
Prepared& messagesFixture() {
    static Prepared p(
        [] {
            forge::ForgeOptions options;
            options.scenario = "bench-messages";
            options.scale.messages = 120000;
            options.scale.conversations = 400;
            options.scale.contacts = 500;
            options.scale.messageTextBytes = 640;
            options.scale.deletedPercent = 33;
            return options;
        }(),
        kSms, {"scanContactThread", "scanMessageThread"});
    return p;
}

Prepared& contactsFixture() {
    static Prepared p(
        [] {
            forge::ForgeOptions options;
            options.scenario = "bench-contacts";
            options.benchContacts = 20000;
            options.scale.deletedPercent = 40;
            return options;
        }(),
        kAddressBook, {"scanContactThread"});
    return p;
}

// One sequential read of the whole file into memory.
std::size_t readWhole(const std::string& path, std::uint64_t size) {
    std::vector<std::uint8_t> bytes(size);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    benchmark::DoNotOptimize(bytes.data());
    return got;
}

void carveContacts(ScanContext& ctx, const std::string& backup) { DelContactScan::scanBackup(ctx, backup); }
void carveMessages(ScanContext& ctx, const std::string& backup) { DelMessageScan::scanBackup(ctx, backup); }

void BM_ReadContacts(benchmark::State& state) {
    Prepared& p = contactsFixture();
    for (auto _ : state) benchmark::DoNotOptimize(readWhole(p.copy, p.copyBytes));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * p.copyBytes));
}
void BM_CarveContacts(benchmark::State& state) {
    Prepared& p = contactsFixture();
    for (auto _ : state) p.carve(carveContacts);
    state.counters["posted"] = static_cast<double>(p.lastPosted);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * p.copyBytes));
}
void BM_ReadMessages(benchmark::State& state) {
    Prepared& p = messagesFixture();
    for (auto _ : state) benchmark::DoNotOptimize(readWhole(p.copy, p.copyBytes));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * p.copyBytes));
}
void BM_CarveMessages(benchmark::State& state) {
    Prepared& p = messagesFixture();
    for (auto _ : state) p.carve(carveMessages);
    state.counters["posted"] = static_cast<double>(p.lastPosted);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * p.copyBytes));
}

// A figure of /proc/self/status, in KiB; -1 when it cannot be read.
long statusKiB(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(in, line))
        if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + key.size());
    return -1;
}

// Runs `stage` in a child process and answers how far its resident memory
// rose above what it held when the stage began (KiB); -1 when unknown.
long peakGrowthKiB(Prepared& p, void (*stage)(ScanContext&, const std::string&)) {
    int fds[2];
    if (::pipe(fds) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        ::close(fds[0]);
        // Memory the parent freed but kept would take the stage's allocations
        // without any rise: hand it back first.
        ::malloc_trim(0);
        // The peak starts again from what the process holds now.
        { std::ofstream("/proc/self/clear_refs") << "5"; }
        const long before = statusKiB("VmRSS");
        const long hwmBefore = statusKiB("VmHWM");
        p.carve(stage);
        const long peak = statusKiB("VmHWM");
        // Without a reset of the peak (it then stays far above the resident
        // size), an earlier higher peak would hide the stage's.
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

}  // namespace

int main(int argc, char** argv) {
    log::setSink([](log::Level, const std::string&) {});
    benchmark::Initialize(&argc, argv);
    const bool withContacts = !skip("DELCARVE_SKIP_CONTACTS"), withMessages = !skip("DELCARVE_SKIP_MESSAGES");
    try {
        if (withContacts) {
            const Prepared& c = contactsFixture();
            std::printf("address book: %.1f MB, %zu live persons\n", static_cast<double>(c.copyBytes) / 1e6,
                        c.liveRecords);
        }
        if (withMessages) {
            const Prepared& m = messagesFixture();
            std::printf("message database: %.1f MB, %zu live contacts and messages\n",
                        static_cast<double>(m.copyBytes) / 1e6, m.liveRecords);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cannot forge the benchmark backups: %s\n", e.what());
        return 1;
    }
    if (withContacts) {
        benchmark::RegisterBenchmark("BM_ReadContacts", BM_ReadContacts)->Unit(benchmark::kMillisecond)->UseRealTime();
        benchmark::RegisterBenchmark("BM_CarveContacts", BM_CarveContacts)
            ->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
    }
    if (withMessages) {
        benchmark::RegisterBenchmark("BM_ReadMessages", BM_ReadMessages)->Unit(benchmark::kMillisecond)->UseRealTime();
        benchmark::RegisterBenchmark("BM_CarveMessages", BM_CarveMessages)
            ->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const auto& [carve, read] : std::map<std::string, std::string>{{"BM_CarveContacts", "BM_ReadContacts"},
                                                                       {"BM_CarveMessages", "BM_ReadMessages"}}) {
        // Names carry their settings ("BM_ReadContacts/real_time").
        auto time = [&](const std::map<std::string, double>& times, const std::string& name) {
            const auto it = times.lower_bound(name + "/");
            return it != times.end() && it->first.rfind(name + "/", 0) == 0 ? it->second : -1.0;
        };
        for (const auto& [clock, times] : {std::pair{"wall clock", &reporter.real}, std::pair{"CPU", &reporter.cpu}}) {
            const double c = time(*times, carve), r = time(*times, read);
            if (c < 0 || r <= 0) continue;
            std::printf("%s / %s (%s): %.1f ms / %.2f ms = %.1fx\n", carve.c_str(), read.c_str(), clock, c, r, c / r);
        }
    }
    auto memory = [](const char* what, Prepared& p, void (*stage)(ScanContext&, const std::string&)) {
        const long growth = peakGrowthKiB(p, stage);
        const double file = static_cast<double>(p.copyBytes) / (1024.0 * 1024.0);
        if (growth < 0)
            std::printf("%s: peak memory not measurable here\n", what);
        else
            std::printf("%s: peak memory +%.1f MiB for a %.1f MiB file (%.2fx the file, +%.1f MiB over it)\n", what,
                        static_cast<double>(growth) / 1024.0, file, static_cast<double>(growth) / 1024.0 / file,
                        static_cast<double>(growth) / 1024.0 - file);
    };
    if (withContacts) memory("contacts carving", contactsFixture(), carveContacts);
    if (withMessages) memory("messages carving", messagesFixture(), carveMessages);
    benchmark::Shutdown();
    return 0;
}
