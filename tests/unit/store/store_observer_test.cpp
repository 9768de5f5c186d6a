// A view follows the store through its announcements alone: every change is
// announced on the store's own thread, once before and once after, and what
// the announcements say adds up to what the store holds. Run under the
// thread sanitizer too: the scan thread makes records while this thread reads
// them.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <thread>

#include "engine/scan_session.h"
#include "store_fixture.h"
#include "support/support.h"

namespace salvor {
namespace {

// Keeps its own copy of every category's rows from the announcements alone,
// reading the announced rows back from the store, as a Qt model does.
class Follower : public ResultStoreObserver {
public:
    explicit Follower(const ResultStore& store) : store_(store), owner_(std::this_thread::get_id()) {}

    void recordsAboutToBeAdded(Category c, std::size_t first, std::size_t count) override {
        check();
        if (pending_ || first != rows[c].size() || store_.recordCount(c) != first) ++misordered;
        pending_ = true;
        pendingCount_ = count;
    }
    void recordsAdded(Category c, std::size_t first, std::size_t count) override {
        check();
        if (!pending_ || count != pendingCount_ || store_.recordCount(c) != first + count) ++misordered;
        pending_ = false;
        for (const AnyRecord& r : store_.records(c, first)) {
            rows[c].push_back(r);
            // Reading the record is what a view does: the thread sanitizer
            // sees whether the scan thread is still writing it.
            keys += categoryInfo(c).columns.empty() ? 0 : categoryInfo(c).columns[0].text(r).size();
        }
        if (finished) ++afterFinish;
    }
    void recordChanged(Category c, std::size_t index) override {
        check();
        if (index >= rows[c].size()) ++misordered;
        ++changes;
    }
    void backupFilesAboutToBeAdded(std::size_t) override { check(); }
    void backupFilesAdded(std::size_t count) override {
        check();
        files += count;
    }
    void progressChanged(int percent) override {
        check();
        progress.push_back(percent);
    }
    void deviceChanged(const DeviceNodePtr& device) override {
        check();
        if (device) deviceName = textOrEmpty(device->strDeviceName);
    }
    void scanFinished(bool cancelled) override {
        check();
        ++finished;
        wasCancelled = cancelled;
    }

    std::map<Category, std::vector<AnyRecord>> rows;
    std::vector<int> progress;
    std::string deviceName;
    std::size_t files = 0, keys = 0;
    int finished = 0, afterFinish = 0, misordered = 0, offThread = 0, changes = 0;
    bool wasCancelled = true;

private:
    void check() {
        if (std::this_thread::get_id() != owner_) ++offThread;
    }
    const ResultStore& store_;
    std::thread::id owner_;
    bool pending_ = false;
    std::size_t pendingCount_ = 0;
};

class StoreObserver : public ::testing::TestWithParam<const char*> {};

TEST_P(StoreObserver, AnnouncementsAloneRebuildTheStoreOnItsOwnThread) {
    test::TempDir dir;
    const auto backup = test::forgeOne(dir, GetParam(), 11);
    ScanSession session;
    Follower seen(session.store);
    session.store.addObserver(&seen);
    ASSERT_FALSE(session.run(backup.path));
    session.store.removeObserver(&seen);

    const ResultStore& store = session.store;
    EXPECT_EQ(seen.offThread, 0);
    EXPECT_EQ(seen.misordered, 0);
    EXPECT_EQ(seen.finished, 1);
    EXPECT_FALSE(seen.wasCancelled);
    EXPECT_EQ(seen.afterFinish, 0);
    // Every category's rows, in the store's order.
    for (const CategoryInfo& info : categoryTable()) {
        if (info.id == Category::BackupTree) continue;
        EXPECT_EQ(seen.rows[info.id], store.records(info.id)) << info.cliName;
    }
    EXPECT_GT(store.recordCount(Category::Contact), 0u);
    EXPECT_GT(store.recordCount(Category::Message), 0u);
    EXPECT_GT(seen.changes, 0);  // messages joined their conversations
    EXPECT_EQ(seen.files, store.recordCount(Category::BackupTree));
    EXPECT_GT(seen.files, 0u);
    EXPECT_EQ(seen.deviceName, textOrEmpty(session.app.currentNode->strDeviceName));
    EXPECT_FALSE(seen.deviceName.empty());
    EXPECT_EQ(seen.progress.back(), 100);
}

INSTANTIATE_TEST_SUITE_P(Generations, StoreObserver, ::testing::Values("ios6", "ios17-modern"));

TEST(StoreObserverOrder, OlderStagesReportTheirProgressInPipelineOrder) {
    test::TempDir dir;
    const auto backup = test::forgeOne(dir, "ios6", 11);
    ScanSession session;
    Follower seen(session.store);
    session.store.addObserver(&seen);
    ASSERT_FALSE(session.run(backup.path));
    std::vector<int> stages;
    std::copy_if(seen.progress.begin(), seen.progress.end(), std::back_inserter(stages), [](int p) { return p >= 40; });
    EXPECT_EQ(stages, (std::vector<int>{40, 50, 70, 60, 75, 80, 85, 90, 95, 100}));

    // A removed observer hears nothing.
    session.store.removeObserver(&seen);
    const std::size_t before = seen.rows[Category::Contact].size();
    session.store.contact(std::make_shared<MVContactNode>());
    EXPECT_EQ(seen.rows[Category::Contact].size(), before);
}

}  // namespace
}  // namespace salvor
