// Recovery run against copying the same files with `cp`.
//
// Forges a backup with a camera roll of the given size and 50,000 messages in
// 500 conversations, fills a result store with what a scan of it delivers
// (the forge's expected results), ticks every photo and conversation, and
// times the recovery run beside `cp` of the same source files. Prints both
// times, their ratio and the peak resident memory, which must stay bounded
// whatever the media size (no file is read whole).
//
// Usage: bench_recover [media size, e.g. 2G, 256M; default 2G] [work folder]

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <thread>
#include <algorithm>
#include <atomic>
#include <string>

#include <nlohmann/json.hpp>

#include "engine/app_delegate.h"
#include "engine/recovery.h"
#include "engine/result_store.h"
#include "engine/scan_feed.h"
#include "forge/forge.h"
#include "output/recovery_run.h"
#include "platform/dispatcher.h"

#include "size_argument.h"

namespace fs = std::filesystem;
using namespace salvor;

namespace {


Text text(const nlohmann::json& j, const char* key) {
    const auto it = j.find(key);
    if (it == j.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

// The moment of a listed date ("MM-DD-YYYY HH:MM", read as UTC); none for
// anything else.
std::optional<Timestamp> listedDate(const Text& listed) {
    unsigned month = 0, day = 0, hour = 0, minute = 0;
    int year = 0;
    if (!listed || std::sscanf(listed->c_str(), "%u-%u-%d %u:%u", &month, &day, &year, &hour, &minute) != 5)
        return std::nullopt;
    const std::chrono::year_month_day ymd{std::chrono::year(year), std::chrono::month(month), std::chrono::day(day)};
    if (!ymd.ok()) return std::nullopt;
    return std::chrono::sys_days(ymd) + std::chrono::hours(hour) + std::chrono::minutes(minute);
}

// Resident memory now, in MiB (second field of /proc/self/statm, in pages).
long rssMiB() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (::sysconf(_SC_PAGESIZE) / 1024) / 1024;
}

double seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t mediaBytes = argc > 1 ? bench_args::parseSize(argv[1]) : (2ULL << 30);
    if (mediaBytes == 0) {
        std::cerr << "usage: bench_recover [media size, e.g. 2G or 256M] [work folder]\n";
        return 2;
    }
    std::random_device rd;
    const fs::path work = argc > 2 ? fs::path(argv[2])
                                   : fs::temp_directory_path() / ("salvor-bench-recover-" + std::to_string(rd()));
    fs::create_directories(work);

    forge::ForgeOptions options;
    options.scenario = "bench-media";
    options.mediaBytes = mediaBytes;
    options.scale.messages = 50000;
    options.scale.conversations = 500;
    options.scale.deletedPercent = 0;  // all 50,000 messages stay live
    std::cout << "forging " << (mediaBytes >> 20) << " MiB of media and 50000 messages in " << work << " ...\n";
    const auto backups = forge::forgeStore((work / "store").string(), options);
    if (backups.empty()) {
        std::cerr << "the forge wrote no backup\n";
        return 1;
    }
    const fs::path backup = backups.front().path;
    nlohmann::json truth;
    std::ifstream(backups.front().truthPath) >> truth;

    InlineDispatcher dispatcher;
    ResultStore resultStore;
    ScanFeed feed(resultStore, dispatcher);
    SalvorAppDelegate app(feed, dispatcher);
    Recovery recovery(resultStore, app);
    RecoverySource store;  // what the run is given: every item ticked
    app.currentNode = std::make_shared<MVIOSDeviceNode>();
    app.currentNode->strDeviceName = text(truth["backup"], "strDeviceName").value_or("Phone");

    // Every photo and conversation is ticked; `sources` lists what the run copies.
    std::vector<std::string> sources;
    for (const auto& p : truth["photos"]) {
        auto photo = std::make_shared<MVPhotoAndVideoNode>();
        photo->fileNodeName = text(p, "fileNodeName");
        photo->filePath = (backup / p["filePath"].get<std::string>()).string();
        photo->fileSizeNumber = p["fileSizeNumber"].get<std::uint64_t>();
        photo->bmov = static_cast<Flag>(p["bmov"].get<int>());
        photo->bSelected = 1;
        if (photo->fileSizeNumber > 0) sources.push_back(*photo->filePath);
        store.photoAndVideoArray.push_back(photo);
    }
    const auto& live = truth["messages"]["live"];
    std::size_t messages = 0;
    for (const auto& c : truth["conversations"]["live"]) {
        auto conv = std::make_shared<MVMessageTreeNode>();
        conv->messageTreeNodeName = text(c, "messageTreeNodeName");
        conv->messageTreeNodeAdress = text(c, "messageTreeNodeAdress");
        conv->bSelected = 1;
        for (const auto& index : c["members"]) {
            const auto& m = live.at(index.get<std::size_t>());
            auto msg = std::make_shared<MVMessageNode>();
            msg->messageName = text(m, "messageName");
            msg->messagePhone = text(m, "messagePhone");
            msg->messageContent = text(m, "messageContent");
            msg->messageDate = listedDate(text(m, "messageDate"));
            msg->messageType = text(m, "messageType");
            msg->isHasAttach = static_cast<Flag>(m["isHasAttach"].get<int>());
            msg->attachType = text(m, "attachType");
            if (const Text path = text(m, "attachmentPath")) {
                msg->attachmentPath = (backup / *path).string();
                sources.push_back(*msg->attachmentPath);
            }
            conv->MessageNodeArray.push_back(msg);
            ++messages;
        }
        store.messageTreeArray.push_back(conv);
    }
    std::cout << store.photoAndVideoArray.size() << " photos and videos, " << store.messageTreeArray.size()
              << " conversations, " << messages << " messages\n";

    // `cp` of the same files, fed through xargs so any number of files fits
    // (an attachment shared by several messages is given to cp once).
    std::sort(sources.begin(), sources.end());
    sources.erase(std::unique(sources.begin(), sources.end()), sources.end());
    const fs::path list = work / "sources.txt";
    {
        std::ofstream out(list, std::ios::binary);
        for (const auto& s : sources) out << s << '\0';
    }
    auto runCp = [&]() {
        const fs::path target = work / "cp-out";
        fs::remove_all(target);
        fs::create_directories(target);
        const std::string command =
            "xargs -0 cp --reflink=never -t '" + target.string() + "' < '" + list.string() + "'";
        const auto start = std::chrono::steady_clock::now();
        const int rc = std::system(command.c_str());
        const double t = seconds(std::chrono::steady_clock::now() - start);
        fs::remove_all(target);
        return rc == 0 ? t : -1.0;
    };
    // The highest resident memory seen while the run works, sampled every 5 ms.
    long rssPeak = 0;
    auto runRecovery = [&](RecoveryReport& report) {
        const fs::path target = work / "recovered";
        fs::remove_all(target);
        std::atomic<bool> done{false};
        std::thread sampler([&] {
            while (!done) {
                rssPeak = std::max(rssPeak, rssMiB());
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
        const auto start = std::chrono::steady_clock::now();
        RecoverySource selected = store;
        selected.device = app.currentNode;
        report = recovery.run(std::move(selected), target.string());
        const double t = seconds(std::chrono::steady_clock::now() - start);
        done = true;
        sampler.join();
        fs::remove_all(target);
        return t;
    };

    runCp();  // both sides then start from the same (warm) page cache
    RecoveryReport report;
    const long rssBefore = rssMiB();
    const double tRecover = runRecovery(report);
    const double tCp = runCp();
    if (tCp < 0) {
        std::cerr << "cp failed\n";
        return 1;
    }

    std::printf("recovery run: %.3f s (%lld items, %zu failures)\n", tRecover,
                static_cast<long long>(report.itemsHandled), report.failures.size());
    std::printf("cp:           %.3f s (%zu files)\n", tCp, sources.size());
    std::printf("ratio recovery/cp: %.2f\n", tCp > 0 ? tRecover / tCp : 0.0);
    std::printf("resident memory: %ld MiB before the run, at most %ld MiB during it (media %llu MiB)\n", rssBefore, rssPeak,
                static_cast<unsigned long long>(mediaBytes >> 20));
    for (const auto& f : report.failures) std::cerr << "failed: " << f.item << ": " << f.reason << "\n";

    if (argc <= 2) fs::remove_all(work);
    // Memory must not grow with the media: the copy buffer is 8 MiB.
    const bool bounded = rssPeak - rssBefore < 64;
    if (!bounded) std::cerr << "memory grew by " << (rssPeak - rssBefore) << " MiB during the run\n";
    // Reported failures are listed above (the forged backup leaves some
    // attachments without a stored file on purpose); only memory decides.
    return bounded ? 0 : 1;
}
