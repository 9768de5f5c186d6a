// The scan controller: version flags, the stage order, one scan at a time and
// the end-of-scan call.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "core/app_delegate.h"
#include "core/events.h"
#include "core/pipeline.h"
#include "core/result_store.h"

namespace salvor {
namespace {

TEST(Controller, VersionTest) {
    NotificationCenter nc;
    InlineDispatcher d;
    SalvorAppDelegate app(nc, d);
    EXPECT_FALSE(app.IOSVersionIOS6(std::nullopt));
    EXPECT_FALSE(app.IOSVersionIOS6(std::string()));
    EXPECT_FALSE(app.IOSVersionIOS6(std::string("5.1.1")));
    EXPECT_FALSE(app.bIOS7DeviceNode);
    EXPECT_TRUE(app.IOSVersionIOS6(std::string("6.1")));
    EXPECT_FALSE(app.bIOS7DeviceNode);
    EXPECT_TRUE(app.IOSVersionIOS6(std::string("7.0.4")));
    EXPECT_TRUE(app.bIOS7DeviceNode);
    // Nothing sets the iOS 7 flag back during the run.
    EXPECT_TRUE(app.IOSVersionIOS6(std::string("6.1")));
    EXPECT_TRUE(app.bIOS7DeviceNode);
    EXPECT_FALSE(app.IOSVersionIOS6(std::string("10.3")));
    EXPECT_FALSE(app.IOSVersionIOS6(std::string("16")));
}

TEST(Controller, PipelineOrder) {
    const auto& stages = scanPipeline();
    const char* expected[] = {"scanDirAnalyThread",    "scanDiskAidMediaThread", "scanContactThread",
                              "scanMessageThread",     "scanNoteThread",         "scanCallHistoryThread",
                              "scanBookMarkThread",    "scanCalenderThread",     "scanDelContactThread",
                              "scanDelMessageThread",  "scanDelNoteThread",      "scanDelCallHistoryThread",
                              "ScanDelBookMarkThread", "ScanDelCalenderThread"};
    for (std::size_t i = 0; i < stages.size(); ++i) {
        EXPECT_STREQ(stages[i].name, expected[i]);
        EXPECT_EQ(stages[i].onlyInRecoveryMode, i == 1);
    }
}

TEST(Controller, ScanOfAMissingFolderEndsQuietlyAndFinishesOnce) {
    NotificationCenter nc;
    QueueDispatcher d;
    SalvorAppDelegate app(nc, d);
    MVResultViewController store(app);
    std::atomic<int> finishes{0};
    // The end-of-scan step runs on the main thread; count the queued tasks that ran.
    app.onScanThreadExit = [&] { d.wake(); };
    int progress = 0;
    nc.addObserver(events::ScanProgressInfo, [&](const std::any&) { ++progress; });
    ASSERT_TRUE(app.ScanIOSBackFile("/nonexistent/salvor-test-backup"));
    EXPECT_FALSE(app.ScanIOSBackFile("/nonexistent/other"));  // one scan at a time
    d.pumpUntil([&] { return !app.isScanning(); });
    app.waitForScan();
    ++finishes;
    EXPECT_EQ(finishes, 1);
    EXPECT_EQ(progress, 0);
    EXPECT_TRUE(app.treeFileArray.empty());
    EXPECT_TRUE(app.scanScratchDir.empty());
    EXPECT_TRUE(store.categoryButtonsEnabled);  // the finishing step ran
    // A second scan may start once the first has ended.
    ASSERT_TRUE(app.ScanIOSBackFile("/nonexistent/again"));
    d.pumpUntil([&] { return !app.isScanning(); });
    app.waitForScan();
}

TEST(Controller, NotificationsAreSynchronousAndOrdered) {
    NotificationCenter nc;
    std::vector<int> seen;
    auto t1 = nc.addObserver("e", [&](const std::any& o) { seen.push_back(std::any_cast<int>(o)); });
    nc.addObserver("e", [&](const std::any& o) { seen.push_back(10 * std::any_cast<int>(o)); });
    nc.addObserver("other", [&](const std::any&) { seen.push_back(-1); });
    nc.post("e", 2);
    EXPECT_EQ(seen, (std::vector<int>{2, 20}));
    nc.removeObserver(t1);
    nc.post("e", 3);
    EXPECT_EQ(seen, (std::vector<int>{2, 20, 30}));
}

TEST(Controller, QueueDispatcherRunsTasksOnTheMainThread) {
    QueueDispatcher d;
    const auto mainId = std::this_thread::get_id();
    std::atomic<bool> done{false};
    std::thread::id ranOn;
    std::thread worker([&] {
        d.runSync([&] { ranOn = std::this_thread::get_id(); });
        done = true;
        d.wake();
    });
    d.pumpUntil([&] { return done.load(); });
    worker.join();
    EXPECT_EQ(ranOn, mainId);
    // Many quick hand-overs in a row (one per manifest record in a scan): none is
    // lost, they run in order, and the pump returns once the worker is done.
    std::vector<int> order;
    std::atomic<bool> finished{false};
    std::thread burst([&] {
        for (int i = 0; i < 20000; ++i) {
            d.runSync([&order, i] { order.push_back(i); });
            if (i % 5000 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));  // let the pump sleep
        }
        finished = true;
        d.wake();
    });
    d.pumpUntil([&] { return finished.load(); });
    burst.join();
    ASSERT_EQ(order.size(), 20000u);
    for (int i = 0; i < 20000; ++i) ASSERT_EQ(order[static_cast<std::size_t>(i)], i);
    bool inline_ = false;
    d.runSync([&] { inline_ = true; });  // from the main thread itself: runs at once
    EXPECT_TRUE(inline_);
}

}  // namespace
}  // namespace salvor
