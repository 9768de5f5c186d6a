// The search service (including rapid superseding searches, published on the
// main thread) and sorting by the category table's typed values.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "engine/search.h"
#include "store_fixture.h"

namespace salvor {
namespace {

using StoreSearch = StoreFixture;

std::vector<std::string> contactNames(const std::vector<AnyRecord>& rows) {
    std::vector<std::string> out;
    for (const AnyRecord& r : rows) out.push_back(*std::get<ContactPtr>(r)->contactName);
    return out;
}

// Runs searches on a queued main thread (this one) and waits for the last.
struct Searcher {
    QueueDispatcher dispatcher;
    Search search{dispatcher};
    std::optional<std::vector<AnyRecord>> found;
    int published = 0;
    void start(const std::string& text, Category category, std::vector<AnyRecord> rows) {
        search.start(text, category, std::move(rows), [this](std::vector<AnyRecord> hits) {
            found = std::move(hits);
            ++published;
        });
    }
    void finish() {
        std::atomic<bool> done{false};
        std::thread waiter([&] {
            search.wait();
            done = true;
            dispatcher.wake();
        });
        dispatcher.pumpUntil([&] { return done.load(); });
        waiter.join();
        dispatcher.pumpUntil([] { return true; });
    }
};

TEST_F(StoreSearch, FindsByEitherFieldCaseInsensitivelyAndOnlyTheNewestPublishes) {
    store.contact(contact("Ann Lee", " 555-1234"));
    store.contact(contact("Bob", " 777"));
    store.contact(contact("annabel", " 000"));
    Searcher s;
    s.start("ANN", Category::Contact, store.records(Category::Contact));
    s.finish();
    ASSERT_TRUE(s.found);
    EXPECT_EQ(contactNames(*s.found), (std::vector<std::string>{"Ann Lee", "annabel"}));
    s.start("777", Category::Contact, store.records(Category::Contact));
    s.finish();
    EXPECT_EQ(contactNames(*s.found), (std::vector<std::string>{"Bob"}));

    // Bookmarks are not searched: nothing is found in them.
    store.bookmark(std::make_shared<MVBookMarkNode>());
    s.start("x", Category::BookMark, store.records(Category::BookMark));
    s.finish();
    EXPECT_TRUE(s.found->empty());

    // Many searches in a row: only the newest one's hits arrive.
    for (int i = 0; i < 3000; ++i) store.contact(contact("name" + std::to_string(i), " " + std::to_string(i * 7)));
    s.published = 0;
    const std::vector<std::string> texts = {"n", "na", "nam", "name", "name1", "name12", "7", "name2", "name29"};
    for (int round = 0; round < 5; ++round)
        for (const std::string& t : texts) s.start(t, Category::Contact, store.records(Category::Contact));
    s.finish();
    EXPECT_EQ(s.published, 1);
    EXPECT_EQ(s.found->size(), 111u);  // name29, name290..299, name2900..2999
    for (const std::string& name : contactNames(*s.found)) EXPECT_EQ(name.rfind("name29", 0), 0u);

    // A cancelled search publishes nothing.
    s.published = 0;
    s.start("name", Category::Contact, store.records(Category::Contact));
    s.search.cancel();
    s.finish();
    EXPECT_EQ(s.published, 0);
}

TEST_F(StoreSearch, SortsByNumberSizeAndMomentNotByTheirTexts) {
    auto photo = [](const char* name, std::uint64_t bytes) {
        auto p = std::make_shared<MVPhotoAndVideoNode>();
        p->fileNodeName = name;
        p->fileSizeNumber = bytes;
        return p;
    };
    store.photo(photo("00000010.JPG", 2000));
    store.photo(photo("00000009.MOV", 1500000));
    store.photo(photo("00000100.PNG", 999));
    auto names = [](const std::vector<AnyRecord>& rows) {
        std::string out;
        for (const AnyRecord& r : rows) out += std::visit([](const auto& p) {
            if constexpr (std::is_same_v<std::decay_t<decltype(p)>, PhotoPtr>) return p->fileNodeName->substr(6, 2);
            else if constexpr (std::is_same_v<std::decay_t<decltype(p)>, CallPtr>) return *p->callName;
            else return std::string("?");
        }, r);
        return out;
    };
    std::vector<AnyRecord> rows = store.records(Category::PhotoAndVideo);
    // Each sort must change the order it finds, or a sort that does nothing would pass.
    sortRows(rows, Category::PhotoAndVideo, 0, true);  // Name
    EXPECT_EQ(names(rows), "091000");
    sortRows(rows, Category::PhotoAndVideo, 1, true);  // Size: 999 bytes, 2K, 1.5M (not "1.50M" < "2.00K")
    EXPECT_EQ(names(rows), "001009");
    sortRows(rows, Category::PhotoAndVideo, 1, false);
    EXPECT_EQ(names(rows), "091000");
    sortRows(rows, Category::PhotoAndVideo, 99, true);  // no such column: the order stays
    EXPECT_EQ(names(rows), "091000");

    store.call(call("b", "1", "12-31-2012 23:59"));
    store.call(call("c", "2", "01-01-2013 00:00"));
    store.call(call("a", "3", "02-15-2011 10:00"));
    store.call(call("d", "4", ""));
    rows = store.records(Category::CallHistory);
    sortRows(rows, Category::CallHistory, 2, true);  // Date: a row without one first, then by the moment
    EXPECT_EQ(names(rows), "dabc");
    sortRows(rows, Category::CallHistory, 2, false);
    EXPECT_EQ(names(rows), "cbad");
    sortRows(rows, Category::CallHistory, 0, true);
    EXPECT_EQ(names(rows), "abcd");
}

}  // namespace
}  // namespace salvor
