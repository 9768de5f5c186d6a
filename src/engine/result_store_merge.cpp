// How records join the lists: a message joins its conversation (or opens
// one), and a deleted record is dropped when an equal one is listed, joins a
// live record as its earlier version when it held something else, or is
// listed as deleted.
#include <cstdint>
#include <limits>

#include "core/helpers.h"
#include "engine/result_store_merge.h"

namespace salvor {

namespace {

const std::string& s(const Text& t) { return textOrEmpty(t); }

// Files `record` among a conversation's messages in date order, after those
// of the same minute: messages arrive mostly in order, so the place is found
// from the end. A message without a readable date goes after all dated ones.
void insertByDate(std::vector<MessagePtr>& messages, const MessagePtr& record) {
    const auto key = listedMinute(record->messageDate);
    auto at = messages.end();
    if (key) {
        for (; at != messages.begin(); --at) {
            const MessagePtr& before = *(at - 1);
            const auto k = before ? listedMinute(before->messageDate) : std::nullopt;
            if (k && *k <= *key) break;
        }
    }
    messages.insert(at, record);
}

}  // namespace

void ResultStore::message(const MessagePtr& record) {
    if (!record) return;
    messages_.push_back(record);
    const std::string& phone = textOrEmpty(record->messagePhone);
    Indexes& ix = *indexes_;
    if (record->groupAddress) {
        // A group conversation is one conversation, whoever wrote each message.
        const std::string key = *record->groupAddress + '\n' + textOrEmpty(record->groupName);
        const auto it = ix.groupConversations.find(key);
        if (it != ix.groupConversations.end() && it->second.second < conversations_.size() &&
            conversations_[it->second.second].get() == it->second.first) {
            MVMessageTreeNode& group = *conversations_[it->second.second];
            insertByDate(group.MessageNodeArray, record);
            group.bdeleted = 0;  // a chat with a live message is a live conversation
            const std::size_t at = it->second.second;
            announce([at](ResultStoreObserver& o) { o.recordChanged(Category::Message, at); });
            return;
        }
        auto created = std::make_shared<MVMessageTreeNode>();
        created->messageTreeNodeName = record->groupName;
        created->messageTreeNodeAdress = record->groupAddress;
        created->MessageNodeArray.push_back(record);
        ix.groupConversations[key] = {created.get(), conversations_.size()};
        ix.groupNodes.insert(created.get());
        appendConversation(std::move(created));
        return;
    }
    if (MVMessageTreeNode* conversation = ix.liveConversations.find(
            conversations_, phone, [&ix](const MVMessageTreeNode& c) { return ix.groupNodes.count(&c) == 0; })) {
        // The first conversation whose address matches, in order; one that
        // held only deleted messages so far is live from now on.
        insertByDate(conversation->MessageNodeArray, record);
        conversation->bdeleted = 0;
        const std::size_t at = ix.liveConversations.positionOf(phone);
        announce([at](ResultStoreObserver& o) { o.recordChanged(Category::Message, at); });
        return;
    }
    auto created = std::make_shared<MVMessageTreeNode>();
    created->messageTreeNodeName = record->messageName;
    created->messageTreeNodeAdress = record->messagePhone;
    created->MessageNodeArray.push_back(record);
    appendConversation(std::move(created));
    ix.liveConversations.appended(conversations_, phone);
}

// Appends a carved record unless an equal one is listed already (live records
// arrive first, so a record the database still holds is dropped here, or
// joins it as its earlier version when it held something else before).
template <class Ptr>
void ResultStore::appendDeleted(std::vector<Ptr>& list, const Ptr& record, Category category, RecordKeyIndex& index,
                                MergeKey (*key)(const typename Ptr::element_type&)) {
    const MergeKey mine = key(*record);
    const std::size_t same = index.find(list, mine.same, key);
    if (same == RecordKeyIndex::npos) {
        record->bDeleted = 1;
        appendLive(list, record, category);
        return;
    }
    // A copy of a carved record, or of a live one in every field the copy
    // still holds, adds nothing.
    const Ptr& listed = list[same];
    const MergeKey theirs = key(*listed);
    bool differs = false;
    for (std::size_t k = 0; k < mine.others.size() && k < theirs.others.size(); ++k)
        differs |= !mine.others[k].empty() && mine.others[k] != theirs.others[k];
    if (listed->bDeleted || !differs) return;
    record->bDeleted = 1;
    for (const auto& earlier : listed->earlierVersions) {
        const MergeKey e = key(*earlier);
        if (e.same == mine.same && e.others == mine.others) return;
    }
    listed->earlierVersions.push_back(record);
    announce([category, same](ResultStoreObserver& o) { o.recordChanged(category, same); });
}

void ResultStore::deletedContact(const ContactPtr& record) {
    if (record) appendDeleted(contacts_, record, Category::Contact, indexes_->contactKeys, &contactKey);
}

void ResultStore::deletedNote(const NotePtr& record) {
    // Only a note with neither a title nor a body at all is empty; an empty
    // string still counts as something the carving found.
    if (!record || (!record->noteTitle && !record->noteContent)) return;
    appendDeleted(notes_, record, Category::Note, indexes_->noteKeys, &noteKey);
}

void ResultStore::deletedCall(const CallPtr& record) {
    if (!record || (s(record->callName).empty() && s(record->callPhone).empty())) return;
    appendDeleted(calls_, record, Category::CallHistory, indexes_->callKeys, &callKey);
}

void ResultStore::deletedBookmark(const BookMarkPtr& record) {
    if (!record || (s(record->bookMarkURL).empty() && s(record->bookMarkTitle).empty())) return;
    appendDeleted(bookmarks_, record, Category::BookMark, indexes_->bookmarkKeys, &bookmarkKey);
}

void ResultStore::deletedCalendarEvent(const CalendarPtr& record) {
    if (!record || (s(record->calTitle).empty() && s(record->calNote).empty() && !listedMinute(record->startDate))) return;
    appendDeleted(calendarEvents_, record, Category::Calendar, indexes_->calendarKeys, &calendarKey);
}

void ResultStore::deletedMessage(const MessagePtr& record) {
    if (!record || (s(record->messagePhone).empty() && s(record->messageContent).empty())) return;
    // Carved addresses that are too short to tell anyone apart are grouped as "Unknown".
    std::string phone = s(record->messagePhone);
    std::size_t significant = 0;
    for (char c : phone) significant += c != ' ';
    if (significant < 3) {
        record->messagePhone = std::string("Unknown");
        phone = "Unknown";
    }
    Indexes& ix = *indexes_;
    if (ix.messageKeys.contains(messages_, phone, s(record->messageContent), listedMinute(record->messageDate))) return;
    // A message that arrives marked deleted is one the phone itself keeps as
    // recently deleted, in a chat it still knows: it is a deleted message of
    // that chat's conversation, found as a live message finds its own (a
    // group's by members and name), and the conversation stays live when it
    // has a live message. A carved message arrives unmarked, its chat
    // unknown: it joins only a deleted conversation.
    const bool keptByPhone = record->bDeleted == 1;
    const std::string groupKey = record->groupAddress ? *record->groupAddress + '\n' + s(record->groupName) : std::string();
    MVMessageTreeNode* conversation = nullptr;
    std::size_t index = 0;
    if (record->groupAddress) {
        const auto it = ix.groupConversations.find(groupKey);
        if (it != ix.groupConversations.end() && it->second.second < conversations_.size() &&
            conversations_[it->second.second].get() == it->second.first) {
            conversation = conversations_[it->second.second].get();
            index = it->second.second;
        }
    } else if (keptByPhone) {
        conversation = ix.liveConversations.find(conversations_, phone, [&ix](const MVMessageTreeNode& c) {
            return ix.groupNodes.count(&c) == 0;
        });
        if (conversation) index = ix.liveConversations.positionOf(phone);
    } else {
        conversation = ix.deletedConversations.find(conversations_, phone, [&ix](const MVMessageTreeNode& c) {
            return c.bdeleted == 1 && ix.groupNodes.count(&c) == 0;
        });
        if (conversation) index = ix.deletedConversations.positionOf(phone);
    }
    record->bDeleted = 1;
    if (conversation) {
        insertByDate(conversation->MessageNodeArray, record);
        // A carved message is listed only in its conversation; one the phone
        // kept is also in the list of messages.
        if (keptByPhone) messages_.push_back(record);
        announce([index](ResultStoreObserver& o) { o.recordChanged(Category::Message, index); });
        return;
    }
    auto created = std::make_shared<MVMessageTreeNode>();
    created->messageTreeNodeName = record->groupAddress ? record->groupName : record->messageName;
    created->messageTreeNodeAdress = record->groupAddress ? *record->groupAddress : phone;
    created->bdeleted = 1;
    created->MessageNodeArray.push_back(record);
    if (record->groupAddress) {
        ix.groupConversations[groupKey] = {created.get(), conversations_.size()};
        ix.groupNodes.insert(created.get());
    }
    messages_.push_back(record);
    appendConversation(std::move(created));
    // None matched: this is the first deleted conversation of its address,
    // the one its next carved messages join.
    if (!record->groupAddress) ix.deletedConversations.appended(conversations_, phone);
}

}  // namespace salvor
