// A view follows the store through its announcements alone: what they say
// must add up to what the store holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <mutex>

#include "core/events.h"
#include "engine/scan_session.h"
#include "store_fixture.h"
#include "support/support.h"

namespace salvor {
namespace {

// Records every announcement; safe to call from the scan thread and the main thread.
class Recorder : public ResultStoreObserver {
public:
    using Lock = std::lock_guard<std::mutex>;
    explicit Recorder(const MVResultViewController& store) : store_(store) {}

    void recordsAdded(Category c, std::size_t first, std::size_t count) override {
        // The announced rows are already readable, and reading them from here must not block.
        const bool readable = store_.recordCount(c) >= first + count && store_.snapshot(c).size() >= first + count;
        Lock l(mutex);
        ranges[c].push_back({first, count});
        if (!readable) ++unreadable;
        if (finished) ++afterFinish;
    }
    void conversationChanged(std::size_t index) override { Lock l(mutex); grown.push_back(index); }
    void backupTreeChanged() override { Lock l(mutex); ++treeChanges; }
    void progressChanged(int percent) override { Lock l(mutex); progress.push_back(percent); }
    void deviceInfoChanged(const DeviceInfoDisplay& info) override { Lock l(mutex); deviceName = info.deviceName; }
    void scanFinished(bool cancelled) override { Lock l(mutex); ++finished; wasCancelled = cancelled; }
    void displayedListChanged(Category c, std::size_t rows) override { Lock l(mutex); shown.push_back({c, rows}); }
    void searchResultsPublished(std::size_t count) override { Lock l(mutex); searches.push_back(count); }
    void selectionChanged(std::int32_t n) override { Lock l(mutex); selections.push_back(n); }

    std::mutex mutex;
    std::map<Category, std::vector<std::pair<std::size_t, std::size_t>>> ranges;
    std::vector<std::size_t> grown;
    std::vector<int> progress;
    std::vector<std::pair<Category, std::size_t>> shown;
    std::vector<std::size_t> searches;
    std::vector<std::int32_t> selections;
    std::string deviceName;
    int treeChanges = 0, finished = 0, afterFinish = 0, unreadable = 0;
    bool wasCancelled = true;

private:
    const MVResultViewController& store_;
};

TEST(StoreObserver, AnnouncementsAddUpToTheStoreAfterAScan) {
    test::TempDir dir;
    const auto backup = test::forgeOne(dir, "ios6", 11);
    ScanSession session;
    Recorder seen(session.store);
    session.store.addObserver(&seen);
    ASSERT_FALSE(session.run(backup.path));
    session.store.removeObserver(&seen);

    const MVResultViewController& store = session.store;
    EXPECT_EQ(seen.finished, 1);
    EXPECT_FALSE(seen.wasCancelled);
    EXPECT_EQ(seen.afterFinish, 0);
    EXPECT_EQ(seen.unreadable, 0);
    // Every category's rows were announced once each, in order, and nothing else.
    for (Category c : {Category::PhotoAndVideo, Category::Contact, Category::Message, Category::CallHistory,
                       Category::Note, Category::BookMark, Category::Calendar, Category::FaceTwitter}) {
        std::size_t next = 0;
        for (const auto& [first, count] : seen.ranges[c]) {
            EXPECT_EQ(first, next) << static_cast<int>(c);
            next = first + count;
        }
        EXPECT_EQ(next, store.recordCount(c)) << static_cast<int>(c);
    }
    EXPECT_GT(store.recordCount(Category::Contact), 0u);
    // A message either opened a conversation or joined one; a carved message
    // that joins a deleted conversation is listed only there.
    std::size_t joinedDeleted = 0;
    for (const auto& conversation : store.messageTreeArray)
        if (conversation->bdeleted == 1) joinedDeleted += conversation->MessageNodeArray.size() - 1;
    EXPECT_GT(joinedDeleted, 0u);
    EXPECT_EQ(seen.ranges[Category::Message].size() + seen.grown.size(), store.messageArray.size() + joinedDeleted);
    for (std::size_t index : seen.grown) EXPECT_LT(index, store.recordCount(Category::Message));
    EXPECT_GT(seen.treeChanges, 0);
    EXPECT_EQ(seen.deviceName, textOrEmpty(session.app.currentNode->strDeviceName));
    EXPECT_FALSE(seen.deviceName.empty());
    // The stages' values arrive in pipeline order, after the manifest's.
    std::vector<int> stages;
    std::copy_if(seen.progress.begin(), seen.progress.end(), std::back_inserter(stages),
                 [](int p) { return p >= 40; });
    EXPECT_EQ(stages, (std::vector<int>{40, 50, 70, 60, 75, 80, 85, 90, 95, 100}));
    // The end of the scan shows the conversations.
    ASSERT_FALSE(seen.shown.empty());
    EXPECT_EQ(seen.shown.back(), std::make_pair(Category::Message, store.recordCount(Category::Message)));
}

class StoreObserverViews : public StoreFixture {};

TEST_F(StoreObserverViews, ListSearchAndSelectionAreAnnounced) {
    Recorder seen(store);
    store.addObserver(&seen);
    nc.post(events::ScanContactInfo, std::any(contact("Amy", "1")));
    nc.post(events::ScanContactInfo, std::any(contact("Zed", "2")));
    nc.post(events::ScanDelContactInfo, std::any(contact("Old", "3")));
    nc.post(events::ScanDelContactInfo, std::any(contact("Amy", "1")));  // equals a live one: dropped
    ASSERT_EQ(seen.ranges[Category::Contact].size(), 3u);
    EXPECT_EQ(seen.ranges[Category::Contact][2], std::make_pair(std::size_t{2}, std::size_t{1}));

    store.actContact();
    EXPECT_EQ(seen.shown.back(), std::make_pair(Category::Contact, std::size_t{3}));
    store.actCheck(true);  // deleted only
    EXPECT_EQ(seen.shown.back(), std::make_pair(Category::Contact, std::size_t{1}));
    store.actCheck(false);
    store.ClickSelectAll(true);
    EXPECT_EQ(seen.selections.back(), 3);
    store.controlTextDidChange("zed");
    store.waitForSearch();
    EXPECT_EQ(seen.searches, std::vector<std::size_t>{1});
    EXPECT_EQ(store.displayedSnapshot().size(), 1u);
    store.tableViewDidClickTableColumn("Name");
    EXPECT_EQ(seen.shown.back(), std::make_pair(Category::Contact, std::size_t{1}));

    store.removeObserver(&seen);
    const std::size_t before = seen.selections.size();
    store.ClickSelectAll(false);
    EXPECT_EQ(seen.selections.size(), before);  // a removed observer hears nothing
}

}  // namespace
}  // namespace salvor
