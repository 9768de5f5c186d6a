// The result store fed through the notification centre: counting, merging
// of carved records, the backup tree feed and the end of a scan.
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "engine/app_delegate.h"
#include "core/events.h"
#include "engine/result_store.h"
#include "platform/dispatcher.h"
#include "store_fixture.h"

namespace salvor {
namespace {

using StoreEvents = StoreFixture;

TEST_F(StoreEvents, RegistersListsCountsAndLabelsLiveRecords) {
    EXPECT_EQ(app.GetresultViewController(), &store);
    {
        auto second = std::make_unique<MVResultViewController>(app);
        EXPECT_EQ(app.GetresultViewController(), second.get());
    }
    EXPECT_EQ(app.GetresultViewController(), nullptr);
    // The destroyed store no longer listens; ours still does (exactly once).
    nc.post(events::ScanContactInfo, std::any(contact("Ann", " 555")));
    nc.post(events::ScanPhotoAndVideo, std::any(std::make_shared<MVPhotoAndVideoNode>()));
    nc.post(events::ScanNoteInfo, std::any(note("t", "c")));
    nc.post(events::ScanCallHistoryInfo, std::any(call("Bob", "555", "01-01-2013 10:00")));
    nc.post(events::scanCalendarInfo, std::any(std::make_shared<MVCalendarNode>()));
    // Objects of the wrong type, null records and no object are ignored quietly.
    nc.post(events::ScanContactInfo, std::any(42));
    nc.post(events::ScanContactInfo, std::any(ContactPtr()));
    nc.post(events::ScanContactInfo);
    EXPECT_EQ(store.contactArray.size(), 1u);
    EXPECT_EQ(store.BackUpFilesNum, 5);
    EXPECT_EQ(store.contactNum, 1);
    EXPECT_EQ(store.deleteeFilesNum, 0);

    nc.post(events::ScanDelContactInfo, std::any(contact("Old", " 1")));
    nc.post(events::ScanProgressInfo, std::any(75));
    EXPECT_EQ(store.progressText, "75%");
    EXPECT_EQ(store.countLabels[0], "Photo&Video:  1");
    EXPECT_EQ(store.countLabels[1], "Contacts:  1");
    EXPECT_EQ(store.deletedCountLabels[1], "Contacts:  1");

    // Backup tree records count only when they carry a path.
    auto record = std::make_shared<MVTreeDirNode>();
    record->fileDomain = "HomeDomain";
    record->filePath = "";
    nc.post(events::FindBackUpDirFileInfo, std::any(record));
    record->filePath = "Library/SMS/sms.db";
    nc.post(events::FindBackUpDirFileInfo, std::any(record));
    nc.post(events::FindBackUpDirFileInfo, std::any(record));
    EXPECT_EQ(store.backupfiles, 2);
}

TEST_F(StoreEvents, DeletedRecordsMergeByTheirCategoryRules) {
    // Contacts: no emptiness test; equal name, phone and e-mail means "still
    // live"; a namesake with the same (often no) number but other addresses
    // is another person.
    nc.post(events::ScanContactInfo, std::any(contact("Ann", " 555")));
    nc.post(events::ScanDelContactInfo, std::any(contact("Ann", " 555")));
    nc.post(events::ScanDelContactInfo, std::any(contact("Ann", " 556")));
    auto namesake = contact("Ann", " 555");
    namesake->contactEmail = " ann.2@example.org";
    nc.post(events::ScanDelContactInfo, std::any(namesake));
    nc.post(events::ScanDelContactInfo, std::any(contact("", "")));
    nc.post(events::ScanDelContactInfo, std::any(contact("", "")));  // equals the carved one before
    ASSERT_EQ(store.contactArray.size(), 4u);
    EXPECT_EQ(store.contactArray[0]->bDeleted, 0);
    EXPECT_EQ(store.contactArray[1]->bDeleted, 1);
    EXPECT_EQ(store.contactArray[2], namesake);
    EXPECT_EQ(store.delContactNum, 3);

    // Notes: empty only when title and body are both absent; equal by body alone.
    nc.post(events::ScanNoteInfo, std::any(note("Shopping", "milk")));
    nc.post(events::ScanDelNoteInfo, std::any(note("Other title", "milk")));
    auto absent = note("", "");
    absent->noteTitle.reset();
    absent->noteContent.reset();
    nc.post(events::ScanDelNoteInfo, std::any(absent));
    nc.post(events::ScanDelNoteInfo, std::any(note("", "")));  // empty strings still count
    nc.post(events::ScanDelNoteInfo, std::any(note("x", "eggs")));
    // Without a body, the title and date tell notes apart.
    nc.post(events::ScanDelNoteInfo, std::any(note("Trip", "")));
    nc.post(events::ScanDelNoteInfo, std::any(note("Trip", "")));
    EXPECT_EQ(store.noteArray.size(), 4u);
    EXPECT_EQ(store.delNoteNum, 3);

    // Calls: an absent name counts as empty; equal by number and date.
    nc.post(events::ScanCallHistoryInfo, std::any(call("Bob", "555", "01-01-2013 10:00")));
    nc.post(events::ScanDelCallHistoryInfo, std::any(call("Someone", "555", "01-01-2013 10:00")));
    auto nameless = call("", "", "01-01-2013 11:00");
    nameless->callName.reset();
    nc.post(events::ScanDelCallHistoryInfo, std::any(nameless));
    nc.post(events::ScanDelCallHistoryInfo, std::any(call("", "555", "01-02-2013 10:00")));
    EXPECT_EQ(store.callHistoryArray.size(), 2u);
    EXPECT_EQ(store.delCallNum, 1);

    // Bookmarks: equal by address and title.
    auto bookmark = [](const char* title, const char* url) {
        auto b = std::make_shared<MVBookMarkNode>();
        b->bookMarkTitle = title, b->bookMarkURL = url;
        return b;
    };
    nc.post(events::scanBookMarkInfo, std::any(bookmark("News", "http://n")));
    nc.post(events::scanDelBookMarkInfo, std::any(bookmark("News", "http://n")));
    nc.post(events::scanDelBookMarkInfo, std::any(bookmark("", "")));
    nc.post(events::scanDelBookMarkInfo, std::any(bookmark("News2", "http://n")));
    EXPECT_EQ(store.bookMarkArray.size(), 2u);
    EXPECT_EQ(store.delBookMarkNum, 1);

    // Calendar: equal by title, note and start.
    auto event = [](const char* title, const char* note, const char* start) {
        auto c = std::make_shared<MVCalendarNode>();
        c->calTitle = title, c->calNote = note, c->startDate = when(start);
        return c;
    };
    nc.post(events::scanCalendarInfo, std::any(event("Dentist", "", "03-07-2013 14:05")));
    nc.post(events::scanDelCalendarInfo, std::any(event("Dentist", "", "03-07-2013 14:05")));
    nc.post(events::scanDelCalendarInfo, std::any(event("", "", "")));
    nc.post(events::scanDelCalendarInfo, std::any(event("Dentist", "", "03-08-2013 14:05")));
    EXPECT_EQ(store.calendarArray.size(), 2u);
    EXPECT_EQ(store.delCalendarNum, 1);

    EXPECT_EQ(store.deleteeFilesNum, 3 + 3 + 1 + 1 + 1);
    EXPECT_EQ(store.BackUpFilesNum, 5);
}

// A carved copy of a live record that held something else in a field the key
// leaves out is that record's earlier version: it joins the live record once,
// is never counted or listed as deleted, and the change is announced; a copy
// equal in every field it holds adds nothing. On a queued main thread the
// live record changes only when the queue is served.
TEST_F(StoreEvents, DifferingCopiesOfLiveRecordsBecomeTheirEarlierVersions) {
    struct Changes : ResultStoreObserver {
        std::vector<std::pair<Category, std::size_t>> seen;
        void recordChanged(Category c, std::size_t index) override { seen.emplace_back(c, index); }
    } changes;
    store.addObserver(&changes);
    auto live = call("Bob", "555", "01-01-2013 10:00");
    live->callTime = 300, live->callType = "Outgoing";
    nc.post(events::ScanCallHistoryInfo, std::any(call("Ann", "554", "01-01-2013 09:00")));
    nc.post(events::ScanCallHistoryInfo, std::any(live));
    auto older = call("Bob", "555", "01-01-2013 10:00");
    older->callTime = 12, older->callType = "Outgoing", older->carvedFrom = "freeblock", older->carvedPage = 3;
    nc.post(events::ScanDelCallHistoryInfo, std::any(older));
    auto again = std::make_shared<MVCallHistoryNode>(*older);
    nc.post(events::ScanDelCallHistoryInfo, std::any(again));  // the same earlier version found twice
    auto same = call("Bob", "555", "01-01-2013 10:00");
    same->callType = "Outgoing";  // no duration left: equal in what it holds
    nc.post(events::ScanDelCallHistoryInfo, std::any(same));
    ASSERT_EQ(store.callHistoryArray.size(), 2u);
    ASSERT_EQ(live->earlierVersions.size(), 1u);
    EXPECT_EQ(live->earlierVersions[0]->callTime, 12);
    EXPECT_EQ(live->earlierVersions[0]->carvedFrom, "freeblock");
    EXPECT_EQ(store.delCallNum, 0);
    EXPECT_EQ(store.deleteeFilesNum, 0);
    EXPECT_EQ(changes.seen, (std::vector<std::pair<Category, std::size_t>>{{Category::CallHistory, 1}}));

    // A copy of a carved (deleted) record is dropped, whatever it differs in.
    auto gone = call("", "777", "02-01-2013 10:00");
    gone->callTime = 5;
    nc.post(events::ScanDelCallHistoryInfo, std::any(gone));
    auto goneCopy = call("", "777", "02-01-2013 10:00");
    goneCopy->callTime = 6;
    nc.post(events::ScanDelCallHistoryInfo, std::any(goneCopy));
    EXPECT_EQ(store.delCallNum, 1);
    EXPECT_TRUE(gone->earlierVersions.empty());

    // Notes: the same body under another title.
    auto liveNote = note("Shopping", "milk");
    nc.post(events::ScanNoteInfo, std::any(liveNote));
    nc.post(events::ScanDelNoteInfo, std::any(note("Groceries", "milk")));
    ASSERT_EQ(liveNote->earlierVersions.size(), 1u);
    EXPECT_EQ(liveNote->earlierVersions[0]->noteTitle, "Groceries");
    store.removeObserver(&changes);
}

TEST_F(StoreEvents, EarlierVersionsJoinOnTheMainThread) {
    QueueDispatcher queue;
    SalvorAppDelegate queuedApp{nc, queue};
    MVResultViewController queued{queuedApp};
    auto live = call("Bob", "555", "01-01-2013 10:00");
    live->callTime = 300;
    queued.ScanCallHistoryInfomationHandle(live);
    auto older = call("Bob", "555", "01-01-2013 10:00");
    older->callTime = 12;
    std::thread scan([&] { queued.ScanDelCallHistoryInfomationHandle(older); });
    scan.join();
    EXPECT_TRUE(live->earlierVersions.empty());
    queue.pumpUntil([&] { return !live->earlierVersions.empty(); });
    ASSERT_EQ(live->earlierVersions.size(), 1u);
    EXPECT_EQ(queued.delCallNum, 0);
}

TEST_F(StoreEvents, FinishingAScanResetsCategoryCountersAndShowsMessages) {
    nc.post(events::ScanContactInfo, std::any(contact("Ann", " 555")));
    nc.post(events::ScanMessageInfo, std::any(message("Ann", "5551234", "hi", "01-01-2013 10:00")));
    nc.post(events::ScanDelMessageInfo, std::any(message("", "12", "a", "01-01-2013 12:00")));
    nc.post(events::ScanProgressInfo, std::any(100));
    store.backupChooserEnabled = false;
    store.currentCategory = Category::Contact;
    store.ScanThreadFinish();
    EXPECT_EQ(store.progressValue, 0);
    EXPECT_EQ(store.contactNum, 0);
    EXPECT_EQ(store.messageNum, 0);
    EXPECT_EQ(store.delMessageNum, 0);
    EXPECT_EQ(store.BackUpFilesNum, 2);
    EXPECT_EQ(store.deleteeFilesNum, 1);
    EXPECT_TRUE(store.backupChooserEnabled);
    EXPECT_EQ(store.currentCategory, Category::Message);
    EXPECT_EQ(store.displayedList.size(), 2u);
    EXPECT_EQ(store.selectedRow, std::optional<std::size_t>(0));
}

// A group conversation is one conversation whoever wrote each message, and a
// one-to-one conversation with one of its members stays apart from it, in
// whichever order the two arrive.
TEST_F(StoreEvents, GroupMessagesFormOneConversationApartFromOneToOne) {
    const auto inGroup = [&](const std::string& sender, const std::string& text, const char* groupName) {
        MessagePtr m = message("", sender, text, "01-01-2023 10:00");
        m->groupName = std::string(groupName);
        m->groupAddress = std::string("+15550001, +15550002");
        return m;
    };
    nc.post(events::ScanMessageInfo, std::any(inGroup("+15550001", "g1", "Family")));
    nc.post(events::ScanMessageInfo, std::any(message("", "+15550001", "direct", "01-01-2023 10:01")));
    nc.post(events::ScanMessageInfo, std::any(inGroup("+15550002", "g2", "Family")));
    nc.post(events::ScanMessageInfo, std::any(inGroup("+15550001, +15550002", "mine", "Family")));
    // Same members, another name: another conversation.
    nc.post(events::ScanMessageInfo, std::any(inGroup("+15550002", "other", "Work")));
    nc.post(events::ScanMessageInfo, std::any(message("", "+15550002", "direct 2", "01-01-2023 10:02")));
    ASSERT_EQ(store.messageTreeArray.size(), 4u);
    EXPECT_EQ(textOrEmpty(store.messageTreeArray[0]->messageTreeNodeName), "Family");
    EXPECT_EQ(textOrEmpty(store.messageTreeArray[0]->messageTreeNodeAdress), "+15550001, +15550002");
    EXPECT_EQ(store.messageTreeArray[0]->MessageNodeArray.size(), 3u);
    EXPECT_EQ(textOrEmpty(store.messageTreeArray[1]->messageTreeNodeAdress), "+15550001");
    EXPECT_EQ(store.messageTreeArray[1]->MessageNodeArray.size(), 1u);
    EXPECT_EQ(textOrEmpty(store.messageTreeArray[2]->messageTreeNodeName), "Work");
    EXPECT_EQ(textOrEmpty(store.messageTreeArray[3]->messageTreeNodeAdress), "+15550002");
    EXPECT_EQ(store.messageNum, 6);
}

// A message the phone keeps as recently deleted (it arrives marked deleted)
// is a deleted message of its chat's conversation, which is live while it
// has a live message, and stays in the list of deleted messages; a carved
// message still joins only a deleted conversation. Each conversation holds
// its messages in date order, whatever order they arrive in.
TEST_F(StoreEvents, RecentlyDeletedMessagesStayInTheirLiveChatInDateOrder) {
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
    nc.post(events::ScanDelMessageInfo, std::any(kept(message("Ann", "+15550001", "gone", "03-01-2023 09:30"))));
    nc.post(events::ScanDelMessageInfo,
            std::any(kept(inGroup(message("", "+15550002", "group gone", "03-01-2023 09:00")))));
    nc.post(events::ScanMessageInfo, std::any(message("Ann", "+15550001", "late", "03-01-2023 11:00")));
    nc.post(events::ScanMessageInfo, std::any(message("Ann", "+15550001", "early", "03-01-2023 08:15")));
    nc.post(events::ScanMessageInfo, std::any(inGroup(message("", "+15550001", "group hi", "03-01-2023 10:00"))));
    nc.post(events::ScanMessageInfo, std::any(message("Ann", "+15550001", "undated", "")));
    nc.post(events::ScanMessageInfo, std::any(message("Ann", "+15550001", "same minute", "03-01-2023 11:00")));
    // A chat whose only message is recently deleted is a deleted conversation.
    nc.post(events::ScanDelMessageInfo, std::any(kept(message("Bo", "+15550009", "only", "03-01-2023 12:00"))));
    // Carved: the live conversation of the address does not take it.
    nc.post(events::ScanDelMessageInfo, std::any(message("", "+15550001", "carved", "03-01-2023 07:00")));

    ASSERT_EQ(store.messageTreeArray.size(), 4u);
    const auto texts = [&](std::size_t i) {
        std::vector<std::string> out;
        for (const auto& m : store.messageTreeArray[i]->MessageNodeArray)
            out.push_back(textOrEmpty(m->messageContent) + (m->bDeleted ? "*" : ""));
        return out;
    };
    EXPECT_EQ(store.messageTreeArray[0]->bdeleted, 0);
    EXPECT_EQ(texts(0), (std::vector<std::string>{"early", "gone*", "late", "same minute", "undated"}));
    EXPECT_EQ(store.messageTreeArray[1]->bdeleted, 0);
    EXPECT_EQ(texts(1), (std::vector<std::string>{"group gone*", "group hi"}));
    EXPECT_EQ(store.messageTreeArray[2]->bdeleted, 1);
    EXPECT_EQ(texts(2), (std::vector<std::string>{"only*"}));
    EXPECT_EQ(store.messageTreeArray[3]->bdeleted, 1);
    EXPECT_EQ(texts(3), (std::vector<std::string>{"carved*"}));
    // Every deleted message is listed; counts add up.
    std::vector<std::string> deleted;
    for (const auto& m : store.messageArray)
        if (m->bDeleted) deleted.push_back(textOrEmpty(m->messageContent));
    EXPECT_EQ(deleted, (std::vector<std::string>{"gone", "group gone", "only", "carved"}));
    EXPECT_EQ(store.delMessageNum, 4);
    EXPECT_EQ(store.messageNum, 5);
}

TEST_F(StoreEvents, ChoosingAnotherBackupClearsAndRescans) {
    nc.post(events::ScanContactInfo, std::any(contact("Ann", " 555")));
    store.actContact();
    store.ClickSelectAll(true);
    auto entry = std::make_shared<MVIOSDeviceNode>();
    entry->strIOSVersion = "6.1.3";
    entry->backUpFilePath = "/nonexistent/salvor-store-test";
    store.actSelectBackUpBtn(entry);
    app.waitForScan();
    EXPECT_EQ(app.currentNode, entry);
    EXPECT_TRUE(app.currentNodeIsiOS6Version);
    EXPECT_TRUE(store.contactArray.empty());
    EXPECT_EQ(store.selectedFilesNum, 0);
    EXPECT_FALSE(store.bContctSelectAll);
    EXPECT_TRUE(store.backupChooserEnabled);  // the finishing step enabled it again

    // Choosing the entry that is already current does nothing.
    nc.post(events::ScanContactInfo, std::any(contact("Bob", " 1")));
    store.actSelectBackUpBtn(entry);
    EXPECT_FALSE(app.isScanning());
    EXPECT_EQ(store.contactArray.size(), 1u);
}

}  // namespace
}  // namespace salvor
