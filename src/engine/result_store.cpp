// The result store's side of a scan: event subscription, appending live
// records, merging deleted ones, conversations, progress and the end of a scan.
#include "engine/result_store.h"

#include <any>
#include <array>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <limits>
#include <mutex>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>

#include "engine/app_delegate.h"
#include "core/events.h"
#include "core/helpers.h"

namespace salvor {

template <class T, class Handler>
void MVResultViewController::subscribe(const char* name, Handler handler) {
    tokens_.push_back(app_.nc.addObserver(name, [this, handler](const std::any& object) {
        // An object of another type (or a null record) is ignored quietly.
        const T* value = std::any_cast<T>(&object);
        if (value == nullptr) return;
        if constexpr (std::is_same_v<T, int> || std::is_same_v<T, PhotoThumbnailCheck> ||
                      std::is_same_v<T, std::string>) {
            (this->*handler)(*value);
        } else {
            if (*value) (this->*handler)(*value);
        }
    }));
}

namespace {

// A date as listed, the text that tells copies of one record apart.
std::string shownDate(const std::optional<Timestamp>& date) { return textOrEmpty(displayDate(date)); }

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

// Tree records handed to the main thread in one task: few enough hand-overs
// that their cost vanishes, small enough that a window shows the tree grow.
constexpr std::size_t kTreeBatch = 4096;

// The first conversation of a list whose address matches a message address,
// remembered per distinct address. Conversations are only appended and keep
// their addresses, so a remembered match stays the first one; an address that
// matched none is tried again only against the conversations appended since.
class ConversationLookup {
public:
    template <class Eligible>
    MVMessageTreeNode* find(const std::vector<ConversationPtr>& conversations, const std::string& address,
                            Eligible eligible) {
        Entry& e = byAddress_[address];
        if (e.match) {
            if (e.at < conversations.size() && conversations[e.at].get() == e.match) {
                if (eligible(*e.match)) return e.match;
                // A deleted conversation that took a live message is live for
                // good: look on past it (none before it matched).
                e = Entry{nullptr, 0, e.at + 1};
            } else {
                e = Entry{};  // the list was replaced behind our back: look again
            }
        }
        if (e.tried > conversations.size()) e.tried = 0;
        if (e.tried == conversations.size()) return nullptr;
        const std::string lowAddress = lowered(address);
        for (std::size_t i = e.tried; i < conversations.size(); ++i) {
            MVMessageTreeNode* c = conversations[i].get();
            if (c && eligible(*c) && matches(conversations, i, address, lowAddress)) {
                e.match = c;
                e.at = i;
                return c;
            }
        }
        e.tried = conversations.size();
        return nullptr;
    }
    // Where the conversation found last for `address` sits in the list.
    std::size_t positionOf(const std::string& address) const { return byAddress_.at(address).at; }
    // The conversation just appended for `address` (which it matches) is its first match.
    void appended(const std::vector<ConversationPtr>& conversations, const std::string& address) {
        Entry& e = byAddress_[address];
        e.at = conversations.size() - 1;
        e.match = conversations.back().get();
    }
    void clear() {
        byAddress_.clear();
        lowered_.clear();
    }

private:
    struct Entry {
        MVMessageTreeNode* match = nullptr;
        std::size_t at = 0;     // position of `match`
        std::size_t tried = 0;  // without a match: conversations tried so far
    };
    // Case folding as the containment test folds, one byte at a time.
    static std::string lowered(const std::string& text) {
        std::string out(text);
        for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return out;
    }
    // addressMatches, with each conversation's address folded once: the
    // containment test is then a plain substring search.
    bool matches(const std::vector<ConversationPtr>& conversations, std::size_t i, const std::string& address,
                 const std::string& lowAddress) {
        const MVMessageTreeNode* c = conversations[i].get();
        const std::string& conversation = textOrEmpty(c->messageTreeNodeAdress);
        if (i >= lowered_.size()) lowered_.resize(i + 1);
        auto& [folded, lowConversation] = lowered_[i];
        if (folded != c) {
            folded = c;
            lowConversation = lowered(conversation);
        }
        if (conversation.size() > address.size())
            return !address.empty() && lowConversation.find(lowAddress) != std::string::npos;
        return conversation == address ||
               (!conversation.empty() && lowAddress.find(lowConversation) != std::string::npos);
    }
    std::unordered_map<std::string, Entry> byAddress_;
    // Folded addresses of the conversations tried so far, by position, with
    // the conversation each was folded from.
    std::vector<std::pair<const MVMessageTreeNode*, std::string>> lowered_;
};

// The messages of a list by address, text and date, for the test whether a
// carved message is still listed. It catches up with what was appended since.
class MessageKeyIndex {
public:
    bool contains(const std::vector<MessagePtr>& messages, const std::string& phone, const std::string& content,
                  std::optional<std::int64_t> minute) {
        if (indexed_ > messages.size()) {  // the list was emptied or replaced
            positions_.clear();
            indexed_ = 0;
        }
        for (; indexed_ < messages.size(); ++indexed_) {
            const MVMessageNode* m = messages[indexed_].get();
            if (m)
                positions_.emplace(
                    key(textOrEmpty(m->messagePhone), textOrEmpty(m->messageContent), listedMinute(m->messageDate)),
                    indexed_);
        }
        const auto [first, last] = positions_.equal_range(key(phone, content, minute));
        for (auto it = first; it != last; ++it) {
            const MVMessageNode* m = messages[it->second].get();
            if (m && textOrEmpty(m->messagePhone) == phone && textOrEmpty(m->messageContent) == content &&
                listedMinute(m->messageDate) == minute)
                return true;
        }
        return false;
    }
    void clear() {
        positions_.clear();
        indexed_ = 0;
    }

private:
    static std::size_t key(std::string_view phone, std::string_view content, std::optional<std::int64_t> minute) {
        std::size_t h = std::hash<std::string_view>{}(phone);
        const std::size_t parts[] = {std::hash<std::string_view>{}(content),
                                     std::hash<std::optional<std::int64_t>>{}(minute)};
        for (std::size_t part : parts)
            h ^= part + 0x9E3779B97F4A7C15ULL + (h << 6) + (h >> 2);
        return h;
    }
    std::unordered_multimap<std::size_t, std::size_t> positions_;
    std::size_t indexed_ = 0;
};

// The records of a list by the texts that decide whether a carved record is
// listed already. It catches up with what was appended since.
class RecordKeyIndex {
public:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
    // The position of the first listed record whose fields equal the record's; npos when none.
    template <class Ptr, class Fields>
    std::size_t find(const std::vector<Ptr>& list, const Ptr& record, const Fields& fields) {
        if (indexed_ > list.size()) {  // the list was emptied or replaced
            positions_.clear();
            indexed_ = 0;
        }
        for (; indexed_ < list.size(); ++indexed_)
            if (list[indexed_]) positions_.emplace(hashOf(fields(*list[indexed_])), indexed_);
        const auto wanted = fields(*record);
        const auto [first, last] = positions_.equal_range(hashOf(wanted));
        std::size_t found = npos;
        for (auto it = first; it != last; ++it)
            if (list[it->second] && fields(*list[it->second]) == wanted) found = std::min(found, it->second);
        return found;
    }
    void clear() {
        positions_.clear();
        indexed_ = 0;
    }

private:
    template <class Part, std::size_t N>
    static std::size_t hashOf(const std::array<Part, N>& parts) {
        std::size_t h = 0;
        for (std::string_view part : parts)
            h ^= std::hash<std::string_view>{}(part) + 0x9E3779B97F4A7C15ULL + (h << 6) + (h >> 2);
        return h;
    }
    std::unordered_multimap<std::size_t, std::size_t> positions_;
    std::size_t indexed_ = 0;
};

}  // namespace

struct MVResultViewController::ScanIndexes {
    // Tree records prepared on the scan thread (file attributes read there),
    // waiting for the next hand-over.
    MVTreeController::RecordPreparer treePreparer;
    std::vector<MVTreeController::PreparedRecord> waitingTreeRecords;
    // Batches handed to the main thread and not placed yet: the scan reads on
    // while one is placed, but never gets more than two ahead of the tree.
    std::mutex treeMutex;
    std::condition_variable treeBatchPlaced;
    int treeBatchesQueued = 0;
    int lastProgress = -1;                    // the percent last handed over (posting thread)
    ConversationLookup liveConversations;     // every conversation may take a live message
    ConversationLookup deletedConversations;  // only deleted ones take a carved message
    MessageKeyIndex messageKeys;              // messageArray by address, text and date
    // Group conversations by members and name, with their places in the
    // list; a message with one other party never joins one of them.
    std::unordered_map<std::string, std::pair<const MVMessageTreeNode*, std::size_t>> groupConversations;
    std::unordered_set<const MVMessageTreeNode*> groupNodes;
    // The other lists by the fields a carved record must differ in.
    RecordKeyIndex contactKeys, noteKeys, callKeys, bookMarkKeys, calendarKeys;

    void clear() {
        for (RecordKeyIndex* k : {&contactKeys, &noteKeys, &callKeys, &bookMarkKeys, &calendarKeys}) k->clear();
        waitingTreeRecords.clear();
        lastProgress = -1;
        liveConversations.clear();
        deletedConversations.clear();
        groupConversations.clear();
        groupNodes.clear();
        messageKeys.clear();
    }
};

MVResultViewController::MVResultViewController(SalvorAppDelegate& app)
    : treeController([&app] { return app.currentNode; }), app_(app), scanIndexes_(std::make_unique<ScanIndexes>()) {
    using C = MVResultViewController;
    subscribe<int>(events::ScanProgressInfo, &C::ScanProgressInfomationHandle);
    subscribe<PhotoPtr>(events::ScanPhotoAndVideo, &C::ScanPhotoAndVideoHandle);
    subscribe<ContactPtr>(events::ScanContactInfo, &C::ScanContactInfomationHandle);
    subscribe<MessagePtr>(events::ScanMessageInfo, &C::ScanMessageInfomationHandle);
    subscribe<CallPtr>(events::ScanCallHistoryInfo, &C::ScanCallHistoryInfomationHandle);
    subscribe<NotePtr>(events::ScanNoteInfo, &C::ScanNoteInfomationHandle);
    subscribe<BookMarkPtr>(events::scanBookMarkInfo, &C::scanBookMarkInfoHandle);
    subscribe<CalendarPtr>(events::scanCalendarInfo, &C::scanCalendarInfoHandle);
    subscribe<FaceTwitterPtr>(events::scanFaceTwitterInfo, &C::scanFaceTwitterInfoHandle);
    subscribe<ContactPtr>(events::ScanDelContactInfo, &C::ScanDelContactInfomationHandle);
    subscribe<MessagePtr>(events::ScanDelMessageInfo, &C::ScanDelMessageInfomationHandle);
    subscribe<NotePtr>(events::ScanDelNoteInfo, &C::ScanDelNoteInfomationHandle);
    subscribe<CallPtr>(events::ScanDelCallHistoryInfo, &C::ScanDelCallHistoryInfomationHandle);
    subscribe<BookMarkPtr>(events::scanDelBookMarkInfo, &C::scanDelBookMarkInfoHandle);
    subscribe<CalendarPtr>(events::scanDelCalendarInfo, &C::scanDelCalendarInfoHandle);
    subscribe<TreeDirPtr>(events::FindBackUpDirFileInfo, &C::FindBackUpDirFileInfoHandle);
    subscribe<PhotoThumbnailCheck>(events::RefreshNodeSelctedStatu, &C::setThumbnailChecked);
    subscribe<std::string>(events::ScanProblemInfo, &C::ScanProblemInfoHandle);
    // The device panel shows the controller's current device, whatever object comes along.
    tokens_.push_back(app_.nc.addObserver(events::ScanIOSDeviceInfo, [this](const std::any&) {
        ScanIOSDeviceInfoHandle();
    }));
    refreshCountLabels();
    app_.setResultViewController(this);
}

MVResultViewController::~MVResultViewController() {
    for (NotificationCenter::Token token : tokens_) app_.nc.removeObserver(token);
    if (app_.GetresultViewController() == this) app_.setResultViewController(nullptr);
    {
        std::lock_guard<std::mutex> view(viewMutex_);
        supersedeSearchLocked();
    }
    waitForSearch();
}

// ---- progress ----

void MVResultViewController::refreshCountLabels() {
    char buf[64];
    auto label = [&buf](const char* format, int value) {
        std::snprintf(buf, sizeof buf, format, value);
        return std::string(buf);
    };
    countLabels[0] = label("Photo&Video:  %d", photovideoNum);
    countLabels[1] = label("Contacts:  %d", contactNum);
    countLabels[2] = label("Messages:  %d", messageNum);
    countLabels[3] = label("Notes:  %d", noteNum);
    countLabels[4] = label("Call History:  %d", callNum);
    // No deleted photos are ever found, so that label stays at 0.
    deletedCountLabels[0] = label("Photo&Video:  %d", 0);
    deletedCountLabels[1] = label("Contacts:  %d", delContactNum);
    deletedCountLabels[2] = label("Messages:  %d", delMessageNum);
    deletedCountLabels[3] = label("Notes:  %d", delNoteNum);
    deletedCountLabels[4] = label("Call History:  %d", delCallNum);
}

void MVResultViewController::ScanProgressInfomationHandle(int percent) {
    // The manifest stage reports its position with nearly every record it
    // keeps: only a value that differs from the last one is worth a hand-over.
    if (percent == scanIndexes_->lastProgress) return;
    scanIndexes_->lastProgress = percent;
    // A new value marks a step of the scan: the tree records read so far go
    // along, so the window's tree is at most one step behind the manifest.
    placeWaitingTreeRecords();
    // The texts belong to the window, so they change on the main thread; the
    // scan does not wait for them.
    app_.dispatcher.post([this, percent] {
        progressValue = percent;
        char buf[32];
        std::snprintf(buf, sizeof buf, "%d%%", percent);
        progressText = buf;
        refreshCountLabels();
        announce([percent](ResultStoreObserver& o) { o.progressChanged(percent); });
    });
}

// ---- observers and snapshots ----

void MVResultViewController::addObserver(ResultStoreObserver* observer) {
    if (!observer) return;
    std::lock_guard<std::mutex> lock(observerMutex_);
    observers_.push_back(observer);
}

void MVResultViewController::removeObserver(ResultStoreObserver* observer) {
    std::lock_guard<std::mutex> lock(observerMutex_);
    std::erase(observers_, observer);
}

std::vector<AnyRecord> MVResultViewController::snapshot(Category category) const {
    std::lock_guard<std::mutex> lock(listMutex_);
    return categoryRecordsLocked(category);
}

std::vector<AnyRecord> MVResultViewController::snapshot(Category category, std::size_t first) const {
    std::lock_guard<std::mutex> lock(listMutex_);
    return categoryRecordsLocked(category, first);
}

std::size_t MVResultViewController::recordCount(Category category) const {
    std::lock_guard<std::mutex> lock(listMutex_);
    switch (category) {
        case Category::PhotoAndVideo: return photoAndVideoArray.size();
        case Category::Contact: return contactArray.size();
        case Category::Message: return messageTreeArray.size();
        case Category::CallHistory: return callHistoryArray.size();
        case Category::Note: return noteArray.size();
        case Category::BookMark: return bookMarkArray.size();
        case Category::Calendar: return calendarArray.size();
        case Category::FaceTwitter: return faceTwitterArray.size();
        case Category::BackupTree: return static_cast<std::size_t>(backupfiles);
    }
    return 0;
}

std::vector<MessagePtr> MVResultViewController::conversationMessages(std::size_t index) const {
    std::lock_guard<std::mutex> lock(listMutex_);
    if (index >= messageTreeArray.size() || !messageTreeArray[index]) return {};
    return messageTreeArray[index]->MessageNodeArray;
}

std::vector<std::string> MVResultViewController::problems() const {
    std::lock_guard<std::mutex> lock(listMutex_);
    return problems_;
}

void MVResultViewController::ScanProblemInfoHandle(const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(listMutex_);
        problems_.push_back(text);
    }
    announce([&text](ResultStoreObserver& o) { o.problemReported(text); });
}

std::vector<AnyRecord> MVResultViewController::displayedSnapshot() const {
    std::lock_guard<std::mutex> lock(viewMutex_);
    return displayedList;
}

// ---- live records ----

template <class Ptr>
void MVResultViewController::appendLive(std::vector<Ptr>& list, const Ptr& record, Category category,
                                        std::atomic<std::int32_t>& counter) {
    std::size_t index = 0;
    {
        std::lock_guard<std::mutex> lock(listMutex_);
        index = list.size();
        list.push_back(record);
    }
    ++counter;
    ++BackUpFilesNum;
    announce([&](ResultStoreObserver& o) { o.recordsAdded(category, index, 1); });
}

void MVResultViewController::ScanPhotoAndVideoHandle(const PhotoPtr& record) {
    appendLive(photoAndVideoArray, record, Category::PhotoAndVideo, photovideoNum);
}

void MVResultViewController::ScanContactInfomationHandle(const ContactPtr& record) {
    appendLive(contactArray, record, Category::Contact, contactNum);
}

void MVResultViewController::ScanMessageInfomationHandle(const MessagePtr& record) {
    std::size_t index = 0;
    bool joined = false;
    {
        std::lock_guard<std::mutex> lock(listMutex_);
        messageArray.push_back(record);
        ++BackUpFilesNum;
        ++messageNum;
        const std::string& phone = textOrEmpty(record->messagePhone);
        ScanIndexes& ix = *scanIndexes_;
        if (record->groupAddress) {
            // A group conversation is one conversation, whoever wrote each message.
            const std::string key = *record->groupAddress + '\n' + textOrEmpty(record->groupName);
            const auto it = ix.groupConversations.find(key);
            if (it != ix.groupConversations.end() && it->second.second < messageTreeArray.size() &&
                messageTreeArray[it->second.second].get() == it->second.first) {
                MVMessageTreeNode& group = *messageTreeArray[it->second.second];
                insertByDate(group.MessageNodeArray, record);
                group.bdeleted = 0;  // a chat with a live message is a live conversation
                index = it->second.second;
                joined = true;
            } else {
                auto created = std::make_shared<MVMessageTreeNode>();
                created->messageTreeNodeName = record->groupName;
                created->messageTreeNodeAdress = record->groupAddress;
                created->MessageNodeArray.push_back(record);
                index = messageTreeArray.size();
                ix.groupConversations[key] = {created.get(), index};
                ix.groupNodes.insert(created.get());
                messageTreeArray.push_back(std::move(created));
            }
        } else if (MVMessageTreeNode* conversation = ix.liveConversations.find(
                       messageTreeArray, phone, [&ix](const MVMessageTreeNode& c) { return ix.groupNodes.count(&c) == 0; })) {
            // The first conversation whose address matches, in order; one
            // that held only deleted messages so far is live from now on.
            insertByDate(conversation->MessageNodeArray, record);
            conversation->bdeleted = 0;
            index = scanIndexes_->liveConversations.positionOf(phone);
            joined = true;
        } else {
            auto created = std::make_shared<MVMessageTreeNode>();
            created->messageTreeNodeName = record->messageName;
            created->messageTreeNodeAdress = record->messagePhone;
            created->MessageNodeArray.push_back(record);
            index = messageTreeArray.size();
            messageTreeArray.push_back(std::move(created));
            scanIndexes_->liveConversations.appended(messageTreeArray, phone);
        }
    }
    if (joined)
        announce([&](ResultStoreObserver& o) { o.conversationChanged(index); });
    else
        announce([&](ResultStoreObserver& o) { o.recordsAdded(Category::Message, index, 1); });
}

void MVResultViewController::ScanCallHistoryInfomationHandle(const CallPtr& record) {
    appendLive(callHistoryArray, record, Category::CallHistory, callNum);
}

void MVResultViewController::ScanNoteInfomationHandle(const NotePtr& record) {
    appendLive(noteArray, record, Category::Note, noteNum);
}

void MVResultViewController::scanBookMarkInfoHandle(const BookMarkPtr& record) {
    appendLive(bookMarkArray, record, Category::BookMark, bookMarkNum);
}

void MVResultViewController::scanCalendarInfoHandle(const CalendarPtr& record) {
    appendLive(calendarArray, record, Category::Calendar, calendarNum);
}

void MVResultViewController::scanFaceTwitterInfoHandle(const FaceTwitterPtr& record) {
    appendLive(faceTwitterArray, record, Category::FaceTwitter, facetwitterNum);
}

// ---- deleted records ----

namespace {

const std::string& s(const Text& t) { return textOrEmpty(t); }

}  // namespace

// Appends a carved record unless an equal one is listed already (live records
// arrive first, so a record the database still holds is dropped here, or
// joins it as its earlier version when it held something else before).
template <class Ptr, class Index, class Fields, class Others>
void MVResultViewController::appendDeleted(std::vector<Ptr>& list, const Ptr& record, Category category,
                                           std::atomic<std::int32_t>& counter, Index& index, Fields fields, Others others) {
    std::size_t at = 0;
    Ptr live;
    {
        std::lock_guard<std::mutex> lock(listMutex_);
        const std::size_t same = index.find(list, record, fields);
        if (same != Index::npos) {
            // A copy of a carved record, or of a live one in every field the
            // copy still holds, adds nothing.
            const auto mine = others(*record);
            const auto theirs = others(*list[same]);
            bool differs = false;
            for (std::size_t k = 0; k < mine.size(); ++k) differs |= !mine[k].empty() && mine[k] != theirs[k];
            if (list[same]->bDeleted || !differs) return;
            live = list[same];
            at = same;
        } else {
            record->bDeleted = 1;
            at = list.size();
            list.push_back(record);
        }
    }
    if (live) {
        // The live record is read by the views on the main thread: it changes there.
        record->bDeleted = 1;
        auto attach = [this, live, record, category, at, fields, others] {
            for (const auto& earlier : live->earlierVersions)
                if (fields(*earlier) == fields(*record) && others(*earlier) == others(*record)) return;
            live->earlierVersions.push_back(record);
            announce([&](ResultStoreObserver& o) { o.recordChanged(category, at); });
        };
        if (app_.dispatcher.runsInline())
            attach();
        else
            app_.dispatcher.post(std::move(attach));
        return;
    }
    ++deleteeFilesNum;
    ++counter;
    announce([&](ResultStoreObserver& o) { o.recordsAdded(category, at, 1); });
}

void MVResultViewController::ScanDelContactInfomationHandle(const ContactPtr& record) {
    appendDeleted(contactArray, record, Category::Contact, delContactNum, scanIndexes_->contactKeys, [](const MVContactNode& c) {
        return std::array<std::string_view, 3>{s(c.contactName), s(c.contactPhone), s(c.contactEmail)};
    }, [](const MVContactNode& c) {
        return std::array<std::string, 5>{s(c.contactCompany), s(c.contactJobtitle), s(c.contactBirthday), s(c.contactNote),
                                          s(c.contactHomepage)};
    });
}

void MVResultViewController::ScanDelNoteInfomationHandle(const NotePtr& record) {
    // Only a note with neither a title nor a body at all is empty; an empty
    // string still counts as something the carving found.
    if (!record->noteTitle && !record->noteContent) return;
    // Notes are told apart by their body; those without one (their body was
    // overwritten) by their title and date as well.
    appendDeleted(noteArray, record, Category::Note, delNoteNum, scanIndexes_->noteKeys, [](const MVNoteNode& n) {
        const bool body = !s(n.noteContent).empty();
        return std::array<std::string, 3>{s(n.noteContent), body ? std::string() : s(n.noteTitle),
                                          body ? std::string() : shownDate(n.noteDate)};
    }, [](const MVNoteNode& n) {
        const bool body = !s(n.noteContent).empty();
        return std::array<std::string, 2>{body ? s(n.noteTitle) : std::string(), body ? shownDate(n.noteDate) : std::string()};
    });
}

void MVResultViewController::ScanDelCallHistoryInfomationHandle(const CallPtr& record) {
    if (s(record->callName).empty() && s(record->callPhone).empty()) return;
    appendDeleted(callHistoryArray, record, Category::CallHistory, delCallNum, scanIndexes_->callKeys, [](const MVCallHistoryNode& c) {
        return std::array<std::string, 2>{s(c.callPhone), shownDate(c.callDate)};
    }, [](const MVCallHistoryNode& c) {
        return std::array<std::string, 2>{c.callTime < 0 ? std::string() : std::to_string(c.callTime), s(c.callType)};
    });
}

void MVResultViewController::scanDelBookMarkInfoHandle(const BookMarkPtr& record) {
    if (s(record->bookMarkURL).empty() && s(record->bookMarkTitle).empty()) return;
    appendDeleted(bookMarkArray, record, Category::BookMark, delBookMarkNum, scanIndexes_->bookMarkKeys, [](const MVBookMarkNode& b) {
        return std::array<std::string_view, 2>{s(b.bookMarkURL), s(b.bookMarkTitle)};
    }, [](const MVBookMarkNode&) { return std::array<std::string, 0>{}; });
}

void MVResultViewController::scanDelCalendarInfoHandle(const CalendarPtr& record) {
    if (s(record->calTitle).empty() && s(record->calNote).empty() && shownDate(record->startDate).empty()) return;
    appendDeleted(calendarArray, record, Category::Calendar, delCalendarNum, scanIndexes_->calendarKeys, [](const MVCalendarNode& c) {
        return std::array<std::string, 3>{s(c.calTitle), s(c.calNote), shownDate(c.startDate)};
    }, [](const MVCalendarNode& c) { return std::array<std::string, 2>{s(c.location), shownDate(c.endDate)}; });
}

void MVResultViewController::ScanDelMessageInfomationHandle(const MessagePtr& record) {
    if (s(record->messagePhone).empty() && s(record->messageContent).empty()) return;
    // Carved addresses that are too short to tell anyone apart are grouped as "Unknown".
    std::string phone = s(record->messagePhone);
    std::string compact;
    for (char c : phone) {
        if (c != ' ') compact += c;
    }
    if (compact.size() < 3) {
        record->messagePhone = std::string("Unknown");
        phone = "Unknown";
    }
    std::size_t index = 0;
    bool joined = false;
    {
        std::lock_guard<std::mutex> lock(listMutex_);
        if (scanIndexes_->messageKeys.contains(messageArray, phone, s(record->messageContent),
                                               listedMinute(record->messageDate)))
            return;
        ScanIndexes& ix = *scanIndexes_;
        // A message that arrives marked deleted is one the phone itself keeps
        // as recently deleted, in a chat it still knows: it is a deleted
        // message of that chat's conversation, found as a live message finds
        // its own (a group's by members and name), and the conversation stays
        // live when it has a live message. A carved message arrives unmarked,
        // its chat unknown: it joins only a deleted conversation.
        const bool keptByPhone = record->bDeleted == 1;
        const std::string groupKey =
            record->groupAddress ? *record->groupAddress + '\n' + s(record->groupName) : std::string();
        MVMessageTreeNode* conversation = nullptr;
        if (record->groupAddress) {
            const auto it = ix.groupConversations.find(groupKey);
            if (it != ix.groupConversations.end() && it->second.second < messageTreeArray.size() &&
                messageTreeArray[it->second.second].get() == it->second.first) {
                conversation = messageTreeArray[it->second.second].get();
                index = it->second.second;
            }
        } else if (keptByPhone) {
            conversation = ix.liveConversations.find(messageTreeArray, phone, [&ix](const MVMessageTreeNode& c) {
                return ix.groupNodes.count(&c) == 0;
            });
            if (conversation) index = ix.liveConversations.positionOf(phone);
        } else {
            conversation = ix.deletedConversations.find(messageTreeArray, phone, [&ix](const MVMessageTreeNode& c) {
                return c.bdeleted == 1 && ix.groupNodes.count(&c) == 0;
            });
            if (conversation) index = ix.deletedConversations.positionOf(phone);
        }
        record->bDeleted = 1;
        if (conversation) {
            insertByDate(conversation->MessageNodeArray, record);
            joined = true;
            // A carved message is listed only in its conversation; one the
            // phone kept is also in the list of deleted messages.
            if (keptByPhone) {
                messageArray.push_back(record);
                ++deleteeFilesNum;
                ++delMessageNum;
            }
        } else {
            auto created = std::make_shared<MVMessageTreeNode>();
            created->messageTreeNodeName = record->groupAddress ? record->groupName : record->messageName;
            created->messageTreeNodeAdress = record->groupAddress ? *record->groupAddress : phone;
            created->bdeleted = 1;
            created->MessageNodeArray.push_back(record);
            index = messageTreeArray.size();
            if (record->groupAddress) {
                ix.groupConversations[groupKey] = {created.get(), index};
                ix.groupNodes.insert(created.get());
            }
            messageTreeArray.push_back(std::move(created));
            // None matched: this is the first deleted conversation of its
            // address, the one its next carved messages join.
            if (!record->groupAddress) ix.deletedConversations.appended(messageTreeArray, phone);
            messageArray.push_back(record);
            ++deleteeFilesNum;
            ++delMessageNum;
        }
    }
    if (joined)
        announce([&](ResultStoreObserver& o) { o.conversationChanged(index); });
    else
        announce([&](ResultStoreObserver& o) { o.recordsAdded(Category::Message, index, 1); });
}

// ---- backup tree, device panel, thumbnails ----

void MVResultViewController::FindBackUpDirFileInfoHandle(const TreeDirPtr& record) {
    if (s(record->filePath).empty()) return;
    if (app_.dispatcher.runsInline()) {
        treeController.addTreeNode(*record, backupfiles == 0);
        ++backupfiles;
        announce([](ResultStoreObserver& o) { o.backupTreeChanged(); });
        return;
    }
    // The tree belongs to the window, so it is built on the main thread; the
    // records go there a batch at a time (and with each new progress value
    // and the end of the scan) and are placed in order, which gives the same
    // tree as one at a time.
    std::vector<MVTreeController::PreparedRecord>& waiting = scanIndexes_->waitingTreeRecords;
    waiting.push_back(scanIndexes_->treePreparer.prepare(*record));
    if (waiting.size() >= kTreeBatch) placeWaitingTreeRecords();
}

void MVResultViewController::placeWaitingTreeRecords() {
    ScanIndexes& x = *scanIndexes_;
    if (x.waitingTreeRecords.empty()) return;
    {
        std::unique_lock lock(x.treeMutex);
        x.treeBatchPlaced.wait(lock, [&x] { return x.treeBatchesQueued < 2; });
        ++x.treeBatchesQueued;
    }
    auto batch = std::make_shared<std::vector<MVTreeController::PreparedRecord>>(std::move(x.waitingTreeRecords));
    x.waitingTreeRecords.clear();
    x.waitingTreeRecords.reserve(kTreeBatch);
    // Queued, not waited for: a later hand-over (the end of the scan included)
    // runs after it.
    app_.dispatcher.post([this, batch] {
        treeController.addTreeNodes(*batch);
        backupfiles += static_cast<std::int32_t>(batch->size());
        announce([](ResultStoreObserver& o) { o.backupTreeChanged(); });
        ScanIndexes& y = *scanIndexes_;
        std::lock_guard lock(y.treeMutex);
        --y.treeBatchesQueued;
        y.treeBatchPlaced.notify_all();
    });
}

void MVResultViewController::ScanIOSDeviceInfoHandle() {
    app_.dispatcher.runSync([this] {
        DeviceNodePtr node = app_.currentNode;
        if (!node) return;
        deviceInfo.deviceName = s(node->strDeviceName);
        deviceInfo.deviceSerial = s(node->strDeviceSerial);
        deviceInfo.deviceType = s(node->strDeviceType);
        deviceInfo.iosVersion = s(node->strIOSVersion);
        deviceInfo.backUpTime = s(node->strDeviceBackUpTime);
        announce([this](ResultStoreObserver& o) { o.deviceInfoChanged(deviceInfo); });
    });
}

void MVResultViewController::setThumbnailChecked(const PhotoThumbnailCheck& thumbnail) {
    if (!thumbnail.record) return;
    const Flag value = thumbnail.checked ? 1 : 0;
    if (thumbnail.record->bSelected == value) return;
    thumbnail.record->bSelected = value;
    selectedFilesNum += value ? 1 : -1;
    updateSelectionText();
}

// ---- end of a scan, another backup ----

void MVResultViewController::ScanThreadFinish() {
    placeWaitingTreeRecords();
    scanIndexes_->lastProgress = -1;  // the next scan's first value is always shown
    app_.dispatcher.runSync([this] {
        progressValue = 0;
        progressText = "0%";
        for (std::atomic<std::int32_t>* counter :
             {&photovideoNum, &contactNum, &messageNum, &noteNum, &callNum, &bookMarkNum, &calendarNum,
              &facetwitterNum, &delPhotovideoNum, &delContactNum, &delMessageNum, &delNoteNum, &delCallNum,
              &delBookMarkNum, &delCalendarNum, &delfacetwitterNum}) {
            *counter = 0;
        }
        categoryButtonsEnabled = true;
        backupChooserEnabled = true;
        showCategory(Category::Message);
        announce([](ResultStoreObserver& o) { o.countersChanged(); });
        const bool cancelled = app_.scanWasCancelled();
        announce([cancelled](ResultStoreObserver& o) { o.scanFinished(cancelled); });
    });
}

void MVResultViewController::releaseUIMemory() {
    {
        std::lock_guard<std::mutex> view(viewMutex_);
        supersedeSearchLocked();
        searchArray.clear();
        displayedList.clear();
        selectedRow.reset();
    }
    {
        std::lock_guard<std::mutex> lock(listMutex_);
        photoAndVideoArray.clear();
        contactArray.clear();
        messageArray.clear();
        messageTreeArray.clear();
        callHistoryArray.clear();
        noteArray.clear();
        bookMarkArray.clear();
        calendarArray.clear();
        faceTwitterArray.clear();
        problems_.clear();
        scanIndexes_->clear();
    }
    treeController.clear();
    backupfiles = 0;
    selectedFilesNum = 0;
    recovredFilesNum = 0;
    BackUpFilesNum = 0;
    deleteeFilesNum = 0;
    // Nothing is listed any more, so no category can be "all selected".
    bPhotoSelectAll = bContctSelectAll = bMessageSelectAll = bNoteSelectAll = bCallSelectAll = bbookMarkSelectAll =
        bcalendarSelectAll = bfaceTwitterSelectAll = false;
    selectAllBoxState = false;
    updateSelectionText();
    announce([](ResultStoreObserver& o) { o.countersChanged(); });
}

void MVResultViewController::actSelectBackUpBtn(const std::shared_ptr<MVIOSDeviceNode>& entry) {
    if (!entry) return;
    const DeviceNodePtr& current = app_.currentNode;
    if (entry == current || (current && s(current->backUpFilePath) == s(entry->backUpFilePath))) return;
    // One scan at a time: while one runs, the chosen backup waits for the next click.
    if (app_.isScanning()) return;
    releaseUIMemory();
    backupChooserEnabled = false;
    app_.currentNode = entry;
    app_.currentNodeIsiOS6Version = app_.IOSVersionIOS6(entry->strIOSVersion);
    if (!app_.ScanIOSBackFile(s(entry->backUpFilePath))) backupChooserEnabled = true;
}

}  // namespace salvor
