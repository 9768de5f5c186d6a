// The scan controller: version flags, the stage order, one scan at a time and
// the end-of-scan call.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>
#include <utility>

#include "engine/app_delegate.h"
#include "engine/pipeline.h"
#include "engine/result_store.h"
#include "engine/scan_feed.h"
#include "support/support.h"

namespace salvor {
namespace {

TEST(Controller, VersionTest) {
    InlineDispatcher d;
    ResultStore store;
    ScanFeed feed(store, d);
    SalvorAppDelegate app(feed, d);
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

// Live records reach the store before any carved one, so a carved record
// equal to a live one can be dropped: every live stage runs before every
// deleted-record stage, and only the device-media stage waits for a device.
TEST(Controller, LiveStagesRunBeforeDeletedRecordStages) {
    const auto& stages = scanPipeline();
    std::size_t lastLive = 0, firstDeleted = stages.size();
    for (std::size_t i = 0; i < stages.size(); ++i) {
        const std::string name = stages[i].name;
        const bool deleted = name.find("Del") != std::string::npos;
        if (deleted) firstDeleted = std::min(firstDeleted, i);
        else lastLive = i;
        EXPECT_EQ(stages[i].onlyInRecoveryMode, name == "scanDeviceMedia") << name;
    }
    EXPECT_EQ(std::string(stages[0].name), "scanBackupFiles");  // the manifest feeds every other stage
    EXPECT_EQ(std::string(stages[firstDeleted].name), "scanDeletedContacts");
    EXPECT_LT(lastLive, firstDeleted);
}

// Counts the end of the scan and the records of one category as the store
// takes them, and runs `onRecord` on the scan thread after each.
struct Watcher final : ResultStoreObserver {
    Category category;
    int finishes = 0;
    int seen = 0;
    std::function<void()> onRecord;
    explicit Watcher(Category c) : category(c) {}
    void recordsAdded(Category c, std::size_t, std::size_t) override { counted(c); }
    void recordChanged(Category c, std::size_t) override { counted(c); }
    void scanFinished(bool) override { ++finishes; }
    void counted(Category c) {
        if (c != category) return;
        ++seen;
        if (onRecord) onRecord();
    }
};

// A scan cancelled inside a stage (from an observer, on the scan thread) ends
// through its finishing step, once: what was found stays, no later record or
// stage follows, and the private copies are gone.
TEST(Controller, CancelledScanKeepsWhatWasFoundAndRemovesItsCopies) {
    test::TempDir dir;
    const auto backup = test::forgeOne(dir, "ios6", 7);
    const auto truth = test::readJson(backup.truthPath);
    for (Category category : {Category::Contact, Category::Message}) {
        InlineDispatcher d;
        ResultStore store;
        ScanFeed feed(store, d);
        SalvorAppDelegate app(feed, d);
        Watcher watcher(category);
        store.addObserver(&watcher);
        app.currentNodeIsiOS6Version = true;
        int& seen = watcher.seen;
        std::string copies;
        watcher.onRecord = [&] {
            if (seen != 3) return;
            copies = app.scanContext()->scanScratchDir;
            EXPECT_FALSE(std::filesystem::is_empty(copies));
            EXPECT_FALSE(app.ScanIOSBackFile(backup.path));  // one scan at a time
            EXPECT_TRUE(app.cancelScan());
        };
        ASSERT_TRUE(app.ScanIOSBackFile(backup.path));
        app.waitForScan();
        const bool inContacts = category == Category::Contact;
        EXPECT_TRUE(app.scanWasCancelled());
        EXPECT_EQ(watcher.finishes, 1);
        EXPECT_EQ(seen, 3);
        EXPECT_FALSE(copies.empty() || std::filesystem::exists(copies));
        EXPECT_EQ(store.photos().size(), truth["photos"].size());  // the manifest stage ran whole
        EXPECT_EQ(store.contacts().size(), inContacts ? 3u : truth["contacts"]["live"].size());
        EXPECT_EQ(store.messages().size(), inContacts ? 0u : 3u);
        EXPECT_TRUE(store.notes().empty() && store.calls().empty() && store.calendarEvents().empty());
    }
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
