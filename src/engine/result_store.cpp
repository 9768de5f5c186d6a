// The result store: live records, the backup tree, progress, reads and counts.
// Deleted records and messages are merged in result_store_merge.cpp.
#include "engine/result_store.h"

#include <algorithm>

#include "engine/result_store_merge.h"

namespace salvor {

ResultStore::ResultStore() : tree_([this] { return device_; }), indexes_(std::make_unique<Indexes>()) {}
ResultStore::~ResultStore() = default;

void ResultStore::addObserver(ResultStoreObserver* observer) {
    if (observer && std::find(observers_.begin(), observers_.end(), observer) == observers_.end())
        observers_.push_back(observer);
}

void ResultStore::removeObserver(ResultStoreObserver* observer) { std::erase(observers_, observer); }

// ---- live records ----

template <class Ptr>
void ResultStore::appendLive(std::vector<Ptr>& list, const Ptr& record, Category category) {
    if (!record) return;
    const std::size_t at = list.size();
    announce([&](ResultStoreObserver& o) { o.recordsAboutToBeAdded(category, at, 1); });
    list.push_back(record);
    announce([&](ResultStoreObserver& o) { o.recordsAdded(category, at, 1); });
}

void ResultStore::photo(const PhotoPtr& r) { appendLive(photos_, r, Category::PhotoAndVideo); }
void ResultStore::socialFile(const FaceTwitterPtr& r) { appendLive(socialFiles_, r, Category::FaceTwitter); }
void ResultStore::contact(const ContactPtr& r) { appendLive(contacts_, r, Category::Contact); }
void ResultStore::call(const CallPtr& r) { appendLive(calls_, r, Category::CallHistory); }
void ResultStore::note(const NotePtr& r) { appendLive(notes_, r, Category::Note); }
void ResultStore::bookmark(const BookMarkPtr& r) { appendLive(bookmarks_, r, Category::BookMark); }
void ResultStore::calendarEvent(const CalendarPtr& r) { appendLive(calendarEvents_, r, Category::Calendar); }

void ResultStore::appendConversation(ConversationPtr conversation) {
    const std::size_t at = conversations_.size();
    announce([&](ResultStoreObserver& o) { o.recordsAboutToBeAdded(Category::Message, at, 1); });
    conversations_.push_back(std::move(conversation));
    announce([&](ResultStoreObserver& o) { o.recordsAdded(Category::Message, at, 1); });
}

// ---- the backup tree ----

void ResultStore::backupFile(const TreeDirPtr& record) {
    if (!record || textOrEmpty(record->filePath).empty()) return;
    announce([](ResultStoreObserver& o) { o.backupFilesAboutToBeAdded(1); });
    tree_.addTreeNode(*record, backupFiles_ == 0);
    ++backupFiles_;
    announce([](ResultStoreObserver& o) { o.backupFilesAdded(1); });
}

void ResultStore::placeBackupFiles(const std::vector<MVTreeController::PreparedRecord>& batch) {
    if (batch.empty()) return;
    announce([&](ResultStoreObserver& o) { o.backupFilesAboutToBeAdded(batch.size()); });
    tree_.addTreeNodes(batch);
    backupFiles_ += batch.size();
    announce([&](ResultStoreObserver& o) { o.backupFilesAdded(batch.size()); });
}

// ---- the scan's course ----

void ResultStore::progress(int percent) {
    if (percent == progress_) return;
    progress_ = percent;
    announce([percent](ResultStoreObserver& o) { o.progressChanged(percent); });
}

void ResultStore::problem(const std::string& text) {
    problems_.push_back(text);
    announce([&text](ResultStoreObserver& o) { o.problemReported(text); });
}

void ResultStore::status(const std::string& text) {
    status_ = text;
    announce([&text](ResultStoreObserver& o) { o.statusChanged(text); });
}

void ResultStore::setDevice(DeviceNodePtr device) {
    device_ = std::move(device);
    announce([this](ResultStoreObserver& o) { o.deviceChanged(device_); });
}

void ResultStore::finishScan(bool cancelled) {
    finished_ = true;
    announce([cancelled](ResultStoreObserver& o) { o.scanFinished(cancelled); });
}

void ResultStore::clear() {
    announce([](ResultStoreObserver& o) { o.aboutToClear(); });
    photos_.clear();
    socialFiles_.clear();
    contacts_.clear();
    messages_.clear();
    conversations_.clear();
    calls_.clear();
    notes_.clear();
    bookmarks_.clear();
    calendarEvents_.clear();
    tree_.clear();
    backupFiles_ = 0;
    progress_ = 0;
    status_.clear();
    problems_.clear();
    finished_ = false;
    indexes_ = std::make_unique<Indexes>();
    announce([](ResultStoreObserver& o) { o.cleared(); });
}

// ---- reads ----

namespace {

template <class Ptr>
void appendAll(std::vector<AnyRecord>& out, const std::vector<Ptr>& list, std::size_t first) {
    if (first >= list.size()) return;
    out.reserve(out.size() + list.size() - first);
    for (std::size_t i = first; i < list.size(); ++i) out.emplace_back(list[i]);
}

}  // namespace

std::vector<AnyRecord> ResultStore::records(Category category, std::size_t first) const {
    std::vector<AnyRecord> out;
    switch (category) {
        case Category::PhotoAndVideo: appendAll(out, photos_, first); break;
        case Category::Contact: appendAll(out, contacts_, first); break;
        case Category::Message: appendAll(out, conversations_, first); break;
        case Category::CallHistory: appendAll(out, calls_, first); break;
        case Category::Note: appendAll(out, notes_, first); break;
        case Category::BookMark: appendAll(out, bookmarks_, first); break;
        case Category::Calendar: appendAll(out, calendarEvents_, first); break;
        case Category::FaceTwitter: appendAll(out, socialFiles_, first); break;
        case Category::BackupTree: break;  // the tree is read through tree()
    }
    return out;
}

namespace {

template <class Ptr>
AnyRecord at(const std::vector<Ptr>& list, std::size_t index) {
    return index < list.size() ? AnyRecord(list[index]) : AnyRecord(Ptr());
}

}  // namespace

AnyRecord ResultStore::record(Category category, std::size_t index) const {
    switch (category) {
        case Category::PhotoAndVideo: return at(photos_, index);
        case Category::Contact: return at(contacts_, index);
        case Category::Message: return at(conversations_, index);
        case Category::CallHistory: return at(calls_, index);
        case Category::Note: return at(notes_, index);
        case Category::BookMark: return at(bookmarks_, index);
        case Category::Calendar: return at(calendarEvents_, index);
        case Category::FaceTwitter: return at(socialFiles_, index);
        case Category::BackupTree: break;
    }
    return {};
}

std::size_t ResultStore::recordCount(Category category) const {
    switch (category) {
        case Category::PhotoAndVideo: return photos_.size();
        case Category::Contact: return contacts_.size();
        case Category::Message: return conversations_.size();
        case Category::CallHistory: return calls_.size();
        case Category::Note: return notes_.size();
        case Category::BookMark: return bookmarks_.size();
        case Category::Calendar: return calendarEvents_.size();
        case Category::FaceTwitter: return socialFiles_.size();
        case Category::BackupTree: return backupFiles_;
    }
    return 0;
}

// ---- counts ----

namespace {

template <class List>
CategoryCount countList(Category category, const List& list) {
    CategoryCount c{categoryInfo(category).countName};
    for (const auto& r : list) {
        if (!r) continue;
        if (r->bDeleted) ++c.deleted;
        else ++c.live;
    }
    return c;
}

// Iterative: a manifest may describe a tree far deeper than the stack.
long countTreeFiles(const std::vector<TreeDirPtr>& roots) {
    long n = 0;
    std::vector<const MVTreeDirNode*> stack;
    for (const auto& r : roots)
        if (r) stack.push_back(r.get());
    while (!stack.empty()) {
        const MVTreeDirNode* d = stack.back();
        stack.pop_back();
        n += static_cast<long>(d->fileChildren.size());
        for (const auto& c : d->children)
            if (c) stack.push_back(c.get());
    }
    return n;
}

}  // namespace

std::vector<CategoryCount> countCategories(const ResultStore& st) {
    std::vector<CategoryCount> out;
    out.push_back(countList(Category::Contact, st.contacts()));
    // The store lists only the first carved message of each deleted
    // conversation; the others are its members, and a person counts them all,
    // with the recently deleted ones inside live conversations.
    CategoryCount messages = countList(Category::Message, st.messages());
    CategoryCount conv{"Conversations"};
    messages.deleted = 0;
    for (const auto& c : st.conversations()) {
        if (!c) continue;
        ++(c->bdeleted ? conv.deleted : conv.live);
        for (const auto& m : c->MessageNodeArray) messages.deleted += m && m->bDeleted == 1;
    }
    out.push_back(messages);
    out.push_back(conv);
    out.push_back(countList(Category::CallHistory, st.calls()));
    out.push_back(countList(Category::Note, st.notes()));
    out.push_back(countList(Category::BookMark, st.bookmarks()));
    out.push_back(countList(Category::Calendar, st.calendarEvents()));
    out.push_back(countList(Category::PhotoAndVideo, st.photos()));
    CategoryCount social{categoryInfo(Category::FaceTwitter).countName};
    social.live = static_cast<long>(st.socialFiles().size());
    out.push_back(social);
    CategoryCount files{categoryInfo(Category::BackupTree).countName};
    files.live = countTreeFiles(st.tree().content);
    out.push_back(files);
    return out;
}

}  // namespace salvor
