// The results of one scan, as data only: the category lists, the conversations,
// the backup's file tree, the scan's progress and problems. Deleted records
// are merged here against the live ones (a carved copy of a listed record is
// dropped, or joins it as its earlier version).
//
// The store belongs to one thread, its owner's (the window's or the command
// line's main thread): every change is made there, announced there before and
// after it, and read there without locks. The scan's records reach it through
// a ScanFeed, which hands them over in batches through the main-thread queue.
// Other threads (a search, a recovery run) work on snapshots taken on the
// owner's thread. Selection, search, sorting and recovery are services beside
// it (engine/selection.h, engine/search.h, engine/recovery.h).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "backup/tree_controller.h"
#include "core/categories.h"
#include "core/device_node.h"
#include "core/record_sink.h"
#include "core/records.h"
#include "engine/result_store_observer.h"

namespace salvor {

struct RecordKeyIndex;

class ResultStore final : public RecordSink {
public:
    ResultStore();
    ~ResultStore() override;
    ResultStore(const ResultStore&) = delete;
    ResultStore& operator=(const ResultStore&) = delete;

    // ---- records arriving (the owner's thread) ----
    void photo(const PhotoPtr& record) override;
    void socialFile(const FaceTwitterPtr& record) override;
    void contact(const ContactPtr& record) override;
    void message(const MessagePtr& record) override;
    void call(const CallPtr& record) override;
    void note(const NotePtr& record) override;
    void bookmark(const BookMarkPtr& record) override;
    void calendarEvent(const CalendarPtr& record) override;
    void deletedContact(const ContactPtr& record) override;
    void deletedMessage(const MessagePtr& record) override;
    void deletedCall(const CallPtr& record) override;
    void deletedNote(const NotePtr& record) override;
    void deletedBookmark(const BookMarkPtr& record) override;
    void deletedCalendarEvent(const CalendarPtr& record) override;
    // One record of the backup's file list, placed at once.
    void backupFile(const TreeDirPtr& record) override;
    // Records of the file list prepared on the scan thread, placed in order.
    void placeBackupFiles(const std::vector<MVTreeController::PreparedRecord>& batch);
    void progress(int percent) override;
    void problem(const std::string& text) override;
    void status(const std::string& text) override;
    // The backup being scanned (its device names the file tree's root).
    void setDevice(DeviceNodePtr device);
    void finishScan(bool cancelled);
    // Forgets every record, for the scan of another backup.
    void clear();

    // ---- reads (the owner's thread) ----
    const std::vector<PhotoPtr>& photos() const { return photos_; }
    const std::vector<FaceTwitterPtr>& socialFiles() const { return socialFiles_; }
    const std::vector<ContactPtr>& contacts() const { return contacts_; }
    // Every message listed on its own: the live ones, and the deleted ones
    // that opened a conversation or that the phone kept.
    const std::vector<MessagePtr>& messages() const { return messages_; }
    const std::vector<ConversationPtr>& conversations() const { return conversations_; }
    const std::vector<CallPtr>& calls() const { return calls_; }
    const std::vector<NotePtr>& notes() const { return notes_; }
    const std::vector<BookMarkPtr>& bookmarks() const { return bookmarks_; }
    const std::vector<CalendarPtr>& calendarEvents() const { return calendarEvents_; }
    MVTreeController& tree() { return tree_; }
    const MVTreeController& tree() const { return tree_; }

    // The rows of a category's list (for messages: conversations), from `first` on.
    std::vector<AnyRecord> records(Category category, std::size_t first = 0) const;
    AnyRecord record(Category category, std::size_t index) const;
    // Rows of the category's list; for the backup tree, the file records placed.
    std::size_t recordCount(Category category) const;
    const DeviceNodePtr& device() const { return device_; }
    int progressValue() const { return progress_; }
    const std::string& statusText() const { return status_; }
    const std::vector<std::string>& problems() const { return problems_; }
    bool scanFinished() const { return finished_; }

    // Observers are not owned; remove one before it is destroyed.
    void addObserver(ResultStoreObserver* observer);
    void removeObserver(ResultStoreObserver* observer);

private:
    template <class Fn>
    void announce(Fn fn) const {
        for (ResultStoreObserver* o : std::vector<ResultStoreObserver*>(observers_)) fn(*o);
    }
    template <class Ptr>
    void appendLive(std::vector<Ptr>& list, const Ptr& record, Category category);
    template <class Ptr>
    void appendDeleted(std::vector<Ptr>& list, const Ptr& record, Category category, RecordKeyIndex& index,
                       MergeKey (*key)(const typename Ptr::element_type&));
    // A new conversation at the end of the list, announced.
    void appendConversation(ConversationPtr conversation);

    std::vector<PhotoPtr> photos_;
    std::vector<FaceTwitterPtr> socialFiles_;
    std::vector<ContactPtr> contacts_;
    std::vector<MessagePtr> messages_;
    std::vector<ConversationPtr> conversations_;
    std::vector<CallPtr> calls_;
    std::vector<NotePtr> notes_;
    std::vector<BookMarkPtr> bookmarks_;
    std::vector<CalendarPtr> calendarEvents_;
    MVTreeController tree_;
    std::size_t backupFiles_ = 0;
    DeviceNodePtr device_;
    int progress_ = 0;
    std::string status_;
    std::vector<std::string> problems_;
    bool finished_ = false;
    std::vector<ResultStoreObserver*> observers_;

    // Lookups that decide where a record goes (result_store_merge.cpp).
    struct Indexes;
    std::unique_ptr<Indexes> indexes_;
};

// Live and deleted counts per category, as a summary table shows them.
struct CategoryCount {
    std::string name;
    long live = 0;
    long deleted = 0;
};
std::vector<CategoryCount> countCategories(const ResultStore& store);

}  // namespace salvor
