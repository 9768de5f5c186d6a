// The result store's merge rules: carved records against live ones, earlier
// versions, messages into conversations, and counts read from the lists.
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "engine/app_delegate.h"
#include "engine/result_store.h"
#include "platform/dispatcher.h"
#include "store_fixture.h"

namespace salvor {
namespace {

using StoreMerge = StoreFixture;

// Live records join their lists in order and are announced before and after;
// null records and backup-tree records without a path are not taken.
TEST_F(StoreMerge, LiveRecordsAreListedCountedAndAnnounced) {
    struct Seen : ResultStoreObserver {
        std::vector<std::string> calls;
        void recordsAboutToBeAdded(Category c, std::size_t first, std::size_t n) override {
            calls.push_back("before " + std::to_string(static_cast<int>(c)) + " " + std::to_string(first) + " " + std::to_string(n));
        }
        void recordsAdded(Category c, std::size_t first, std::size_t n) override {
            calls.push_back("after " + std::to_string(static_cast<int>(c)) + " " + std::to_string(first) + " " + std::to_string(n));
        }
    } seen;
    store.addObserver(&seen);
    store.contact(contact("Ann", " 555"));
    store.contact(nullptr);
    store.photo(std::make_shared<MVPhotoAndVideoNode>());
    store.note(note("t", "c"));
    store.call(call("Bob", "555", "01-01-2013 10:00"));
    store.calendarEvent(std::make_shared<MVCalendarNode>());
    store.contact(contact("Cy", " 556"));
    EXPECT_EQ(store.contacts().size(), 2u);
    EXPECT_EQ(liveTotal(), 6);
    EXPECT_EQ(live(Category::Contact), 2);
    EXPECT_EQ(deletedTotal(), 0);
    const int contactId = static_cast<int>(Category::Contact);
    EXPECT_EQ(seen.calls.front(), "before " + std::to_string(contactId) + " 0 1");
    EXPECT_EQ(seen.calls[1], "after " + std::to_string(contactId) + " 0 1");
    EXPECT_EQ(seen.calls.back(), "after " + std::to_string(contactId) + " 1 1");
    EXPECT_EQ(seen.calls.size(), 12u);
    store.removeObserver(&seen);

    // Backup tree records count only when they carry a path.
    auto record = std::make_shared<MVTreeDirNode>();
    record->fileDomain = "HomeDomain";
    record->filePath = "";
    store.backupFile(record);
    record->filePath = "Library/SMS/sms.db";
    store.backupFile(record);
    store.backupFile(record);
    EXPECT_EQ(store.recordCount(Category::BackupTree), 2u);

    // Another backup: everything goes, and is announced.
    store.clear();
    EXPECT_TRUE(store.contacts().empty() && store.tree().content.empty());
    EXPECT_EQ(store.recordCount(Category::BackupTree), 0u);
    store.deletedContact(contact("Ann", " 555"));  // nothing to merge with any more
    EXPECT_EQ(deleted(Category::Contact), 1);
}

TEST_F(StoreMerge, DeletedRecordsMergeByTheirCategoryRules) {
    // Contacts: no emptiness test; equal name, phone and e-mail means "still
    // live"; a namesake with the same (often no) number but other addresses
    // is another person.
    store.contact(contact("Ann", " 555"));
    store.deletedContact(contact("Ann", " 555"));
    store.deletedContact(contact("Ann", " 556"));
    auto namesake = contact("Ann", " 555");
    namesake->contactEmail = " ann.2@example.org";
    store.deletedContact(namesake);
    store.deletedContact(contact("", ""));
    store.deletedContact(contact("", ""));  // equals the carved one before
    ASSERT_EQ(store.contacts().size(), 4u);
    EXPECT_EQ(store.contacts()[0]->bDeleted, 0);
    EXPECT_EQ(store.contacts()[1]->bDeleted, 1);
    EXPECT_EQ(store.contacts()[2], namesake);
    EXPECT_EQ(deleted(Category::Contact), 3);

    // Notes: empty only when title and body are both absent; equal by body alone.
    store.note(note("Shopping", "milk"));
    store.deletedNote(note("Other title", "milk"));
    auto absent = note("", "");
    absent->noteTitle.reset();
    absent->noteContent.reset();
    store.deletedNote(absent);
    store.deletedNote(note("", ""));  // empty strings still count
    store.deletedNote(note("x", "eggs"));
    // Without a body, the title and date tell notes apart.
    store.deletedNote(note("Trip", ""));
    store.deletedNote(note("Trip", ""));
    EXPECT_EQ(store.notes().size(), 4u);
    EXPECT_EQ(deleted(Category::Note), 3);

    // Calls: an absent name counts as empty; equal by number and date.
    store.call(call("Bob", "555", "01-01-2013 10:00"));
    store.deletedCall(call("Someone", "555", "01-01-2013 10:00"));
    auto nameless = call("", "", "01-01-2013 11:00");
    nameless->callName.reset();
    store.deletedCall(nameless);
    store.deletedCall(call("", "555", "01-02-2013 10:00"));
    EXPECT_EQ(store.calls().size(), 2u);
    EXPECT_EQ(deleted(Category::CallHistory), 1);

    // Bookmarks: equal by address and title.
    auto bookmark = [](const char* title, const char* url) {
        auto b = std::make_shared<MVBookMarkNode>();
        b->bookMarkTitle = title, b->bookMarkURL = url;
        return b;
    };
    store.bookmark(bookmark("News", "http://n"));
    store.deletedBookmark(bookmark("News", "http://n"));
    store.deletedBookmark(bookmark("", ""));
    store.deletedBookmark(bookmark("News2", "http://n"));
    EXPECT_EQ(store.bookmarks().size(), 2u);
    EXPECT_EQ(deleted(Category::BookMark), 1);

    // Calendar: equal by title, note and start.
    auto event = [](const char* title, const char* note, const char* start) {
        auto c = std::make_shared<MVCalendarNode>();
        c->calTitle = title, c->calNote = note, c->startDate = when(start);
        return c;
    };
    store.calendarEvent(event("Dentist", "", "03-07-2013 14:05"));
    store.deletedCalendarEvent(event("Dentist", "", "03-07-2013 14:05"));
    store.deletedCalendarEvent(event("", "", ""));
    store.deletedCalendarEvent(event("Dentist", "", "03-08-2013 14:05"));
    EXPECT_EQ(store.calendarEvents().size(), 2u);
    EXPECT_EQ(deleted(Category::Calendar), 1);

    EXPECT_EQ(deletedTotal(), 3 + 3 + 1 + 1 + 1);
    EXPECT_EQ(liveTotal(), 5);
}

// A carved copy of a live record that held something else in a field the key
// leaves out is that record's earlier version: it joins the live record once,
// is never counted or listed as deleted, and the change is announced; a copy
// equal in every field it holds adds nothing. On a queued main thread the
// live record changes only when the queue is served.
TEST_F(StoreMerge, DifferingCopiesOfLiveRecordsBecomeTheirEarlierVersions) {
    struct Changes : ResultStoreObserver {
        std::vector<std::pair<Category, std::size_t>> seen;
        void recordChanged(Category c, std::size_t index) override { seen.emplace_back(c, index); }
    } changes;
    store.addObserver(&changes);
    auto live = call("Bob", "555", "01-01-2013 10:00");
    live->callTime = 300, live->callType = "Outgoing";
    store.call(call("Ann", "554", "01-01-2013 09:00"));
    store.call(live);
    auto older = call("Bob", "555", "01-01-2013 10:00");
    older->callTime = 12, older->callType = "Outgoing", older->carvedFrom = "freeblock", older->carvedPage = 3;
    store.deletedCall(older);
    auto again = std::make_shared<MVCallHistoryNode>(*older);
    store.deletedCall(again);  // the same earlier version found twice
    auto same = call("Bob", "555", "01-01-2013 10:00");
    same->callType = "Outgoing";  // no duration left: equal in what it holds
    store.deletedCall(same);
    ASSERT_EQ(store.calls().size(), 2u);
    ASSERT_EQ(live->earlierVersions.size(), 1u);
    EXPECT_EQ(live->earlierVersions[0]->callTime, 12);
    EXPECT_EQ(live->earlierVersions[0]->carvedFrom, "freeblock");
    EXPECT_EQ(deleted(Category::CallHistory), 0);
    EXPECT_EQ(deletedTotal(), 0);
    EXPECT_EQ(changes.seen, (std::vector<std::pair<Category, std::size_t>>{{Category::CallHistory, 1}}));

    // A copy of a carved (deleted) record is dropped, whatever it differs in.
    auto gone = call("", "777", "02-01-2013 10:00");
    gone->callTime = 5;
    store.deletedCall(gone);
    auto goneCopy = call("", "777", "02-01-2013 10:00");
    goneCopy->callTime = 6;
    store.deletedCall(goneCopy);
    EXPECT_EQ(deleted(Category::CallHistory), 1);
    EXPECT_TRUE(gone->earlierVersions.empty());

    // Notes: the same body under another title.
    auto liveNote = note("Shopping", "milk");
    store.note(liveNote);
    store.deletedNote(note("Groceries", "milk"));
    ASSERT_EQ(liveNote->earlierVersions.size(), 1u);
    EXPECT_EQ(liveNote->earlierVersions[0]->noteTitle, "Groceries");
    store.removeObserver(&changes);
}

// A group conversation is one conversation whoever wrote each message, and a
// one-to-one conversation with one of its members stays apart from it, in
// whichever order the two arrive.
TEST_F(StoreMerge, GroupMessagesFormOneConversationApartFromOneToOne) {
    const auto inGroup = [&](const std::string& sender, const std::string& text, const char* groupName) {
        MessagePtr m = message("", sender, text, "01-01-2023 10:00");
        m->groupName = std::string(groupName);
        m->groupAddress = std::string("+15550001, +15550002");
        return m;
    };
    store.message(inGroup("+15550001", "g1", "Family"));
    store.message(message("", "+15550001", "direct", "01-01-2023 10:01"));
    store.message(inGroup("+15550002", "g2", "Family"));
    store.message(inGroup("+15550001, +15550002", "mine", "Family"));
    // Same members, another name: another conversation.
    store.message(inGroup("+15550002", "other", "Work"));
    store.message(message("", "+15550002", "direct 2", "01-01-2023 10:02"));
    ASSERT_EQ(store.conversations().size(), 4u);
    EXPECT_EQ(textOrEmpty(store.conversations()[0]->messageTreeNodeName), "Family");
    EXPECT_EQ(textOrEmpty(store.conversations()[0]->messageTreeNodeAdress), "+15550001, +15550002");
    EXPECT_EQ(store.conversations()[0]->MessageNodeArray.size(), 3u);
    EXPECT_EQ(textOrEmpty(store.conversations()[1]->messageTreeNodeAdress), "+15550001");
    EXPECT_EQ(store.conversations()[1]->MessageNodeArray.size(), 1u);
    EXPECT_EQ(textOrEmpty(store.conversations()[2]->messageTreeNodeName), "Work");
    EXPECT_EQ(textOrEmpty(store.conversations()[3]->messageTreeNodeAdress), "+15550002");
    EXPECT_EQ(live(Category::Message), 6);
}

// A message the phone keeps as recently deleted (it arrives marked deleted)
// is a deleted message of its chat's conversation, which is live while it
// has a live message, and stays in the list of deleted messages; a carved
// message still joins only a deleted conversation. Each conversation holds
// its messages in date order, whatever order they arrive in.
TEST_F(StoreMerge, RecentlyDeletedMessagesStayInTheirLiveChatInDateOrder) {
    const auto kept = [](MessagePtr m) {
        m->bDeleted = 1;
        return m;
    };
    const auto inGroup = [](MessagePtr m) {
        m->groupName = std::string("Family");
        m->groupAddress = std::string("+15550001, +15550002");
        return m;
    };
    // The deleted message of each chat arrives first, as a low row number does.
    store.deletedMessage(kept(message("Ann", "+15550001", "gone", "03-01-2023 09:30")));
    store.deletedMessage(kept(inGroup(message("", "+15550002", "group gone", "03-01-2023 09:00"))));
    store.message(message("Ann", "+15550001", "late", "03-01-2023 11:00"));
    store.message(message("Ann", "+15550001", "early", "03-01-2023 08:15"));
    store.message(inGroup(message("", "+15550001", "group hi", "03-01-2023 10:00")));
    store.message(message("Ann", "+15550001", "undated", ""));
    store.message(message("Ann", "+15550001", "same minute", "03-01-2023 11:00"));
    // A chat whose only message is recently deleted is a deleted conversation.
    store.deletedMessage(kept(message("Bo", "+15550009", "only", "03-01-2023 12:00")));
    // Carved: the live conversation of the address does not take it.
    store.deletedMessage(message("", "+15550001", "carved", "03-01-2023 07:00"));

    ASSERT_EQ(store.conversations().size(), 4u);
    const auto texts = [&](std::size_t i) {
        std::vector<std::string> out;
        for (const auto& m : store.conversations()[i]->MessageNodeArray)
            out.push_back(textOrEmpty(m->messageContent) + (m->bDeleted ? "*" : ""));
        return out;
    };
    EXPECT_EQ(store.conversations()[0]->bdeleted, 0);
    EXPECT_EQ(texts(0), (std::vector<std::string>{"early", "gone*", "late", "same minute", "undated"}));
    EXPECT_EQ(store.conversations()[1]->bdeleted, 0);
    EXPECT_EQ(texts(1), (std::vector<std::string>{"group gone*", "group hi"}));
    EXPECT_EQ(store.conversations()[2]->bdeleted, 1);
    EXPECT_EQ(texts(2), (std::vector<std::string>{"only*"}));
    EXPECT_EQ(store.conversations()[3]->bdeleted, 1);
    EXPECT_EQ(texts(3), (std::vector<std::string>{"carved*"}));
    // Every deleted message is listed; counts add up.
    std::vector<std::string> gone;
    for (const auto& m : store.messages())
        if (m->bDeleted) gone.push_back(textOrEmpty(m->messageContent));
    EXPECT_EQ(gone, (std::vector<std::string>{"gone", "group gone", "only", "carved"}));
    EXPECT_EQ(deleted(Category::Message), 4);
    EXPECT_EQ(live(Category::Message), 5);
}

}  // namespace
}  // namespace salvor
