// Searching (including rapid superseding searches) and sorting.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/events.h"
#include "store_fixture.h"

namespace salvor {
namespace {

using StoreSearch = StoreFixture;

std::vector<std::string> contactNames(const std::vector<AnyRecord>& rows) {
    std::vector<std::string> out;
    for (const AnyRecord& r : rows) out.push_back(*std::get<ContactPtr>(r)->contactName);
    return out;
}

TEST_F(StoreSearch, FindsByEitherFieldCaseInsensitively) {
    nc.post(events::ScanContactInfo, std::any(contact("Ann Lee", " 555-1234")));
    nc.post(events::ScanContactInfo, std::any(contact("Bob", " 777")));
    nc.post(events::ScanContactInfo, std::any(contact("annabel", " 000")));
    store.actContact();
    store.controlTextDidChange("ANN");
    store.waitForSearch();
    EXPECT_EQ(contactNames(store.displayedList), (std::vector<std::string>{"Ann Lee", "annabel"}));
    EXPECT_EQ(store.searchArray.size(), 2u);
    store.controlTextDidChange("777");
    store.waitForSearch();
    EXPECT_EQ(contactNames(store.displayedList), (std::vector<std::string>{"Bob"}));
    EXPECT_FALSE(store.bSearchThreadStart);

    // Clearing the box restores the full list of the shown category.
    store.controlTextDidChange("");
    EXPECT_EQ(store.displayedList.size(), 3u);

    // Categories without searchable fields show an empty result.
    nc.post(events::scanBookMarkInfo, std::any(std::make_shared<MVBookMarkNode>()));
    store.actBookMark();
    store.controlTextDidChange("x");
    store.waitForSearch();
    EXPECT_TRUE(store.displayedList.empty());
}

TEST_F(StoreSearch, NewerSearchesSupersedeOlderOnes) {
    for (int i = 0; i < 3000; ++i) {
        nc.post(events::ScanContactInfo, std::any(contact("name" + std::to_string(i), " " + std::to_string(i * 7))));
    }
    store.actContact();
    const std::vector<std::string> texts = {"n", "na", "nam", "name", "name1", "name12", "7", "name2", "name29"};
    for (int round = 0; round < 5; ++round) {
        for (const std::string& t : texts) store.controlTextDidChange(t);
    }
    store.waitForSearch();
    EXPECT_EQ(store.displayedList.size(), 111u);  // name29, name290..299, name2900..2999
    for (const std::string& name : contactNames(store.displayedList)) EXPECT_EQ(name.rfind("name29", 0), 0u);
    EXPECT_EQ(store.searchArray.size(), 111u);

    // A category change while a search runs keeps the newly shown list.
    store.controlTextDidChange("name");
    store.actNote();
    store.waitForSearch();
    EXPECT_EQ(store.currentCategory, Category::Note);
    EXPECT_TRUE(store.displayedList.empty());
}

TEST(StoreSearchQueued, SearchesPublishThroughTheMainThreadQueue) {
    NotificationCenter nc;
    QueueDispatcher dispatcher;  // this thread is the main thread
    SalvorAppDelegate app(nc, dispatcher);
    MVResultViewController store(app);
    for (int i = 0; i < 500; ++i) {
        auto c = std::make_shared<MVContactNode>();
        c->contactName = "n" + std::to_string(i);
        nc.post(events::ScanContactInfo, std::any(c));
    }
    store.actContact();
    // Searches started on the main thread never wait for one another there.
    for (const char* t : {"n1", "n2", "n3", "n49", "n499"}) store.controlTextDidChange(t);
    std::atomic<bool> done{false};
    std::thread waiter([&] {
        store.waitForSearch();
        done = true;
        dispatcher.wake();
    });
    dispatcher.pumpUntil([&] { return done.load(); });
    waiter.join();
    ASSERT_EQ(store.displayedList.size(), 1u);
    EXPECT_EQ(*std::get<ContactPtr>(store.displayedList[0])->contactName, "n499");
}

TEST_F(StoreSearch, SortsByNumberSizeAndDate) {
    auto photo = [](const char* name, std::uint64_t size) {
        auto p = std::make_shared<MVPhotoAndVideoNode>();
        p->fileNodeName = name;
        p->fileSizeNumber = size;
        return p;
    };
    nc.post(events::ScanPhotoAndVideo, std::any(photo("00000010.JPG", 2000)));
    nc.post(events::ScanPhotoAndVideo, std::any(photo("00000009.MOV", 1500000)));
    nc.post(events::ScanPhotoAndVideo, std::any(photo("00000100.PNG", 999)));
    store.actPhoto();
    auto names = [&] {
        std::string out;
        for (const AnyRecord& r : store.displayedList) out += std::visit([](const auto& p) {
            if constexpr (std::is_same_v<std::decay_t<decltype(p)>, PhotoPtr>) return p->fileNodeName->substr(6, 2);
            else if constexpr (std::is_same_v<std::decay_t<decltype(p)>, CallPtr>) return *p->callName;
            else return std::string("?");
        }, r);
        return out;
    };
    // Each click must change the order it finds, or a sort that does nothing would pass.
    store.tableViewDidClickTableColumn("Name");  // first click: ascending, by number
    EXPECT_EQ(names(), "091000");
    store.tableViewDidClickTableColumn("Size");  // ascending: 999 bytes, 2K, 1.5M
    EXPECT_EQ(names(), "001009");
    store.tableViewDidClickTableColumn("Size");
    EXPECT_EQ(names(), "091000");
    const int nameOrder = store.nameOrder, sizeOrder = store.sizeOrder;
    store.tableViewDidClickTableColumn("bSelected");  // the check box column does not sort
    EXPECT_EQ(store.sizeOrder, sizeOrder);
    EXPECT_EQ(store.nameOrder, nameOrder);
    EXPECT_EQ(MVResultViewController::sizeFormString("2.00T"), 2000000000000u);
    for (const char* junk : {"", "M", "-5.00K", "junkB"}) EXPECT_EQ(MVResultViewController::sizeFormString(junk), 0u);
    EXPECT_EQ(MVResultViewController::sizeFormString("1e300T"), UINT64_MAX);

    nc.post(events::ScanCallHistoryInfo, std::any(call("b", "1", "12-31-2012 23:59")));
    nc.post(events::ScanCallHistoryInfo, std::any(call("c", "2", "01-01-2013 00:00")));
    nc.post(events::ScanCallHistoryInfo, std::any(call("a", "3", "02-15-2011 10:00")));
    store.actCallHistory();
    store.tableViewDidClickTableColumn("Name");  // one name order for all tables: already ascending, so this descends
    EXPECT_EQ(names(), "cba");
    store.tableViewDidClickTableColumn("Date");
    EXPECT_EQ(names(), "abc");  // by date, not by the text's month first
    store.tableViewDidClickTableColumn("Date");
    EXPECT_EQ(names(), "cba");
    EXPECT_EQ(store.selectedRow, std::optional<std::size_t>(0));
}

}  // namespace
}  // namespace salvor
