// The deleted-record stages against a plain read of the file they carve: a
// forged message database of over 100 MB (120,000 long messages, a third of
// them deleted), an address book of 20,000 persons (two in five deleted), a
// call history of 200,000 calls and a calendar of 20,000 events (a fifth
// deleted). The live stages run first, as in the pipeline, so the private
// copies and the live records exist; only the carving stage is timed. At the
// end the ratio carving / read is printed for each file, then the carving
// stage's peak memory, measured in a child process per stage, against the
// file's size.
//
// DELCARVE_SKIP_MESSAGES=1 (or _CONTACTS, _CALLS, _CALENDAR) leaves a file out.
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
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "ratio_reporter.h"
#include "carve/deleted_calendar.h"
#include "carve/deleted_calls.h"
#include "carve/deleted_contacts.h"
#include "carve/deleted_messages.h"
#include "core/record_collector.h"
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
constexpr const char* kCallHistory = "2b2b0084a1bc3a5ac8c27afdf14afb42c61a19ca";
constexpr const char* kCalendar = "2041457d5fe04d39d0ab481178355df6781e6858";

// One forged backup after its live stages: the context the carving stage
// starts from, and the private copy it carves.
struct Prepared {
    std::string store;
    std::string backup;
    std::string copy;
    std::uint64_t copyBytes = 0;
    RecordCollector sink;
    ScanContext live{sink};

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
        sink.onDelivery = [this](const std::string& kind) {
            if (kind == "contact" || kind == "message" || kind == "call" || kind == "calendarEvent") ++liveRecords;
        };
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
        RecordCollector sink;
        ScanContext ctx(sink, backup);
        static_cast<ScanCollections&>(ctx) = live;
        ctx.currentNodeIsiOS6Version = live.currentNodeIsiOS6Version;
        ctx.bIOS7DeviceNode = live.bIOS7DeviceNode;
        ctx.scanScratchDir = live.scanScratchDir;
        ctx.preparedDatabases = live.preparedDatabases;
        stage(ctx, backup);
        const std::size_t posted = sink.deletedContacts.size() + sink.deletedMessages.size() +
                                   sink.deletedCalls.size() + sink.deletedCalendarEvents.size();
        benchmark::DoNotOptimize(posted);
        lastPosted = posted;
    }
    std::size_t lastPosted = 0;
    std::size_t liveRecords = 0;  // posted by the live stages
};

bool skip(const char* what) { return std::getenv(what) && std::string(std::getenv(what)) == "1"; }

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

using Stage = void (*)(ScanContext&, const std::string&);

// A file to carve: how it is forged, its stored name, the live stages before
// its carving stage, and that stage.
struct Subject {
    const char* name;  // "Contacts" gives BM_ReadContacts and BM_CarveContacts
    const char* skipVariable;
    std::function<forge::ForgeOptions()> options;
    const char* stored;
    std::vector<const char*> liveStages;
    Stage carve;

    // Constructed in place on first use (Prepared holds a context that cannot move).
    Prepared& fixture() const {
        auto& p = fixtures()[name];
        if (!p) p = std::make_unique<Prepared>(options(), stored, liveStages);
        return *p;
    }
    // Released by main before exit: a static destroyed after the scratch
    // registry could not remove its folders.
    static std::map<std::string, std::unique_ptr<Prepared>>& fixtures() {
        static std::map<std::string, std::unique_ptr<Prepared>> made;
        return made;
    }
};

const std::vector<Subject>& subjects() {
    static const std::vector<Subject> all = {
        {"Contacts", "DELCARVE_SKIP_CONTACTS",
         [] {
             forge::ForgeOptions options;
             options.scenario = "bench-contacts";
             options.benchContacts = 20000;
             options.scale.deletedPercent = 40;
             return options;
         },
         kAddressBook, {"scanContacts"}, [](ScanContext& c, const std::string& b) { DelContactScan::scanBackup(c, b); }},
        {"Messages", "DELCARVE_SKIP_MESSAGES",
         [] {
             forge::ForgeOptions options;
             options.scenario = "bench-messages";
             options.scale.messages = 120000;
             options.scale.conversations = 400;
             options.scale.contacts = 500;
             options.scale.messageTextBytes = 640;
             options.scale.deletedPercent = 33;
             return options;
         },
         kSms, {"scanContacts", "scanMessages"},
         [](ScanContext& c, const std::string& b) { DelMessageScan::scanBackup(c, b); }},
        {"Calls", "DELCARVE_SKIP_CALLS",
         [] {
             forge::ForgeOptions options;
             options.scenario = "ios6";
             options.scale.calls = 200000;
             options.scale.contacts = 500;
             return options;
         },
         kCallHistory, {"scanContacts", "scanCallHistory"},
         [](ScanContext& c, const std::string& b) { DelCallScan::scanBackup(c, b); }},
        {"Calendar", "DELCARVE_SKIP_CALENDAR",
         [] {
             forge::ForgeOptions options;
             options.scenario = "ios6";
             options.scale.calendarEvents = 20000;
             return options;
         },
         kCalendar, {"scanCalendar"}, [](ScanContext& c, const std::string& b) { DelCalendarScan::scanBackup(c, b); }},
    };
    return all;
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
long peakGrowthKiB(Prepared& p, Stage stage) {
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
    std::vector<const Subject*> chosen;
    for (const Subject& subject : subjects())
        if (!skip(subject.skipVariable)) chosen.push_back(&subject);
    try {
        for (const Subject* subject : chosen) {
            const Prepared& p = subject->fixture();
            std::printf("%s: %.1f MB, %zu live records\n", subject->name, static_cast<double>(p.copyBytes) / 1e6,
                        p.liveRecords);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cannot forge the benchmark backups: %s\n", e.what());
        Subject::fixtures().clear();
        return 1;
    }
    for (const Subject* subject : chosen) {
        benchmark::RegisterBenchmark((std::string("BM_Read") + subject->name).c_str(), [subject](benchmark::State& state) {
            Prepared& p = subject->fixture();
            for (auto _ : state) benchmark::DoNotOptimize(readWhole(p.copy, p.copyBytes));
            state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * p.copyBytes));
        })->Unit(benchmark::kMillisecond)->UseRealTime();
        benchmark::RegisterBenchmark((std::string("BM_Carve") + subject->name).c_str(), [subject](benchmark::State& state) {
            Prepared& p = subject->fixture();
            for (auto _ : state) p.carve(subject->carve);
            state.counters["posted"] = static_cast<double>(p.lastPosted);
            state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * p.copyBytes));
        })->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const Subject* subject : chosen) {
        const std::string carve = std::string("BM_Carve") + subject->name, read = std::string("BM_Read") + subject->name;
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
    for (const Subject* subject : chosen) {
        Prepared& p = subject->fixture();
        const long growth = peakGrowthKiB(p, subject->carve);
        const double file = static_cast<double>(p.copyBytes) / (1024.0 * 1024.0);
        if (growth < 0)
            std::printf("%s carving: peak memory not measurable here\n", subject->name);
        else
            std::printf("%s carving: peak memory +%.1f MiB for a %.1f MiB file (%.2fx the file, +%.1f MiB over it)\n",
                        subject->name, static_cast<double>(growth) / 1024.0, file,
                        static_cast<double>(growth) / 1024.0 / file, static_cast<double>(growth) / 1024.0 - file);
    }
    Subject::fixtures().clear();
    benchmark::Shutdown();
    return 0;
}
