// The model half of the result browser: the category lists a scan fills, the
// counters shown while scanning, conversations, merging of deleted records,
// selection, the deleted-only filter, search and sorting. No window code: the
// views are replaced by the current category and its displayed list.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "backup/tree_controller.h"
#include "engine/result_store_observer.h"
#include "output/recovery_run.h"
#include "core/notification_center.h"
#include "core/records.h"

namespace salvor {

class SalvorAppDelegate;

enum class Category { PhotoAndVideo, Contact, Message, CallHistory, Note, BookMark, Calendar, FaceTwitter, BackupTree };

// One row of a displayed list: a record of the current category.
using AnyRecord = std::variant<PhotoPtr, ContactPtr, ConversationPtr, MessagePtr, CallPtr, NotePtr, BookMarkPtr,
                               CalendarPtr, FaceTwitterPtr>;

// The object of "RefreshNodeSelctedStatu": a photo thumbnail's record and the
// state its check box now shows.
struct PhotoThumbnailCheck {
    PhotoPtr record;
    bool checked = false;
};

// What the device panel shows for the backup being scanned.
struct DeviceInfoDisplay {
    std::string deviceName, deviceSerial, deviceType, iosVersion, backUpTime;
};

class MVResultViewController {
public:
    // Subscribes to the scan's events on app.nc and registers itself with the app.
    explicit MVResultViewController(SalvorAppDelegate& app);
    ~MVResultViewController();
    MVResultViewController(const MVResultViewController&) = delete;
    MVResultViewController& operator=(const MVResultViewController&) = delete;

    // ---- category lists ----
    std::vector<PhotoPtr> photoAndVideoArray;
    std::vector<ContactPtr> contactArray;
    std::vector<MessagePtr> messageArray;
    std::vector<ConversationPtr> messageTreeArray;
    std::vector<CallPtr> callHistoryArray;
    std::vector<NotePtr> noteArray;
    std::vector<BookMarkPtr> bookMarkArray;
    std::vector<CalendarPtr> calendarArray;
    std::vector<FaceTwitterPtr> faceTwitterArray;
    std::vector<AnyRecord> searchArray;
    std::vector<AnyRecord> displayedList;  // what the current category's table shows
    MVTreeController treeController;
    std::int32_t backupfiles = 0;

    // ---- counters (written by the scan thread, read by the view) ----
    std::atomic<std::int32_t> BackUpFilesNum{0}, deleteeFilesNum{0}, selectedFilesNum{0};
    std::atomic<std::int32_t> photovideoNum{0}, contactNum{0}, messageNum{0}, noteNum{0}, callNum{0},
        bookMarkNum{0}, calendarNum{0}, facetwitterNum{0};
    std::atomic<std::int32_t> delPhotovideoNum{0}, delContactNum{0}, delMessageNum{0}, delNoteNum{0},
        delCallNum{0}, delBookMarkNum{0}, delCalendarNum{0}, delfacetwitterNum{0};

    // ---- flags ----
    bool bPhotoSelectAll = false, bContctSelectAll = false, bMessageSelectAll = false, bNoteSelectAll = false,
         bCallSelectAll = false, bbookMarkSelectAll = false, bcalendarSelectAll = false,
         bfaceTwitterSelectAll = false;
    std::atomic<bool> bSearchThreadStart{false}, bSearchStop{false};
    bool bOnlyDisplayDeleted = false;  // the "Only dispaly deleted files" box
    int nameOrder = 0, sizeOrder = 0, dateOrder = 0;
    Category currentCategory = Category::Message;
    bool selectAllBoxState = false;      // the select-all box of the shown category
    bool backupChooserEnabled = true;
    bool categoryButtonsEnabled = false;

    // ---- progress display ----
    std::atomic<int> progressValue{0};   // 0..100 as posted
    std::string progressText = "0%";
    std::string countLabels[5];          // "Photo&Video:  %d", "Contacts:  %d", ... (live items)
    std::string deletedCountLabels[5];   // the same labels for the deleted items
    std::string selectionText;           // "You select %d files in the recovery results." or empty
    bool recoverEnabled = false;
    std::optional<std::size_t> selectedRow;  // the highlighted row of the displayed list
    DeviceInfoDisplay deviceInfo;

    // ---- scan event handlers (run on the posting thread) ----
    void ScanProgressInfomationHandle(int percent);
    void ScanPhotoAndVideoHandle(const PhotoPtr& record);
    void ScanContactInfomationHandle(const ContactPtr& record);
    void ScanMessageInfomationHandle(const MessagePtr& record);
    void ScanCallHistoryInfomationHandle(const CallPtr& record);
    void ScanNoteInfomationHandle(const NotePtr& record);
    void scanBookMarkInfoHandle(const BookMarkPtr& record);
    void scanCalendarInfoHandle(const CalendarPtr& record);
    void scanFaceTwitterInfoHandle(const FaceTwitterPtr& record);
    void ScanDelContactInfomationHandle(const ContactPtr& record);
    void ScanDelMessageInfomationHandle(const MessagePtr& record);
    void ScanDelNoteInfomationHandle(const NotePtr& record);
    void ScanDelCallHistoryInfomationHandle(const CallPtr& record);
    void scanDelBookMarkInfoHandle(const BookMarkPtr& record);
    void scanDelCalendarInfoHandle(const CalendarPtr& record);
    void FindBackUpDirFileInfoHandle(const TreeDirPtr& record);
    void ScanIOSDeviceInfoHandle();
    void ScanProblemInfoHandle(const std::string& text);
    // A thumbnail's check box: the record takes the box's state.
    void setThumbnailChecked(const PhotoThumbnailCheck& thumbnail);
    // End of a scan: runs the finishing step on the main thread and waits for it.
    void ScanThreadFinish();

    // ---- browser operations ----
    void showCategory(Category category);
    void actPhoto() { showCategory(Category::PhotoAndVideo); }
    void actContact() { showCategory(Category::Contact); }
    void actMessage() { showCategory(Category::Message); }
    void actCallHistory() { showCategory(Category::CallHistory); }
    void actNote() { showCategory(Category::Note); }
    void actBookMark() { showCategory(Category::BookMark); }
    void actCalendar() { showCategory(Category::Calendar); }
    void actFaceTwitter() { showCategory(Category::FaceTwitter); }
    void actBackUpBoswer() { showCategory(Category::BackupTree); }
    // The check box of a row: applies `value` to every highlighted row of the displayed list.
    void setRowsSelected(const std::vector<std::size_t>& highlightedRows, bool value);
    // Clicking a folder of the backup tree (three-state) or a file of it.
    void outlineViewSetObjectValue(MVTreeDirNode& folder);
    void outlineViewSetObjectValue(MVTreeFileNode& file, bool value);
    void ClickSelectAll(bool state);
    void actCheck(bool onlyDeleted);
    // Starts a search of the current category (empty text restores the list).
    // A newer search supersedes an older one: only the newest one publishes.
    void controlTextDidChange(const std::string& text);
    // Waits until no search thread runs (for callers that need its result).
    // The search publishes through the dispatcher, so with a queued dispatcher
    // call this from a thread other than the one that pumps the queue.
    void waitForSearch();
    void tableViewDidClickTableColumn(const std::string& columnIdentifier);
    std::int32_t getTreeSelectedItemNum() const;
    void releaseUIMemory();
    // Choosing another backup in the chooser: clears everything and scans it.
    void actSelectBackUpBtn(const std::shared_ptr<struct MVIOSDeviceNode>& entry);
    static std::uint64_t sizeFormString(const std::string& text);
    // Case-insensitive containment; an empty needle is never contained.
    static bool containsText(const std::string& haystack, const std::string& needle);
    // Whether a message address belongs to a conversation address: the longer
    // of the two must contain the shorter (or equal it).
    static bool addressMatches(const std::string& conversationAddress, const std::string& messageAddress);
    // A record's date text ("%m-%d-%Y %H:%M") as an orderable number; the
    // lowest number for a text that is no such date.
    static long long dateKey(const Text& date);
    // Refreshes the count text and the Recover button from the selected items
    // of the lists and of the backup tree.
    void updateSelectionText();

    // ---- recovery run (implemented with the document writers) ----
    std::atomic<std::int32_t> recovredFilesNum{0};
    std::atomic<std::int32_t> allSelectedFileNum{0};
    std::string recoverPath;
    // Writes the selected items into `destination` (on the calling thread).
    // cancelRecovery() from another thread stops the running run between
    // files (or between the chunks of a large one); so does `stop`, which,
    // unlike cancelRecovery, also takes effect when it was requested before
    // the run began. `exports` says which documents to write (the classic
    // ones only by default).
    RecoveryReport recoverFilesThread(const std::string& destination, std::stop_token stop = {},
                                      ExportOptions exports = {});
    void cancelRecovery();
    // The selected items as a run reads them: a snapshot of the lists.
    RecoverySource recoverySource();

    SalvorAppDelegate& app() { return app_; }

    // ---- observers and reads that are safe while a scan appends ----
    // Observers are not owned; remove one before it is destroyed.
    void addObserver(ResultStoreObserver* observer);
    void removeObserver(ResultStoreObserver* observer);
    // The records of a category as they are now (for messages: conversations).
    std::vector<AnyRecord> snapshot(Category category) const;
    // Only the records from index `first` on (a view that already holds the
    // earlier ones takes the new ones during a scan, which only appends).
    std::vector<AnyRecord> snapshot(Category category, std::size_t first) const;
    std::size_t recordCount(Category category) const;
    // The messages of the conversation at `index` as they are now.
    std::vector<MessagePtr> conversationMessages(std::size_t index) const;
    // What cost the scan data, in the order it was reported (one sentence each).
    std::vector<std::string> problems() const;
    // The shown category's rows as they are now.
    std::vector<AnyRecord> displayedSnapshot() const;

private:
    template <class Fn>
    void announce(Fn fn) const;
    template <class Ptr>
    void appendLive(std::vector<Ptr>& list, const Ptr& record, Category category, std::atomic<std::int32_t>& counter);

    // `fields` gives the texts whose equality makes a carved record a copy of
    // one already listed; `index` finds such copies without a pass over the
    // list. `others` gives the record's remaining texts: a copy of a live
    // record that holds another value in one of them is that record's earlier
    // version and joins it instead of being dropped.
    template <class Ptr, class Index, class Fields, class Others>
    void appendDeleted(std::vector<Ptr>& list, const Ptr& record, Category category,
                       std::atomic<std::int32_t>& counter, Index& index, Fields fields, Others others);
    template <class T, class Handler>
    void subscribe(const char* name, Handler handler);
    void refreshCountLabels();
    // Sorts the displayed list by a column; false when the column sorts nothing. viewMutex_ held.
    bool sortByColumnLocked(const std::string& columnIdentifier);
    // Applies `changeLocked` (under viewMutex_), refills the shown list and announces it.
    void refillDisplayedList(const std::function<void()>& changeLocked);
    // Rebuilds displayedList from the current category's list; viewMutex_ held.
    void refillDisplayedListLocked();
    // The records of a category from index `first` on; listMutex_ held.
    std::vector<AnyRecord> categoryRecordsLocked(Category category, std::size_t first = 0) const;
    void supersedeSearchLocked();
    void runSearch(std::uint64_t generation, std::string text, std::vector<AnyRecord> records);

    SalvorAppDelegate& app_;
    std::vector<NotificationCenter::Token> tokens_;
    // Guards the growth of the category lists against readers on other threads.
    mutable std::mutex listMutex_;
    // Guards displayedList, searchArray and selectedRow between the view and searches.
    mutable std::mutex viewMutex_;
    std::mutex searchMutex_;  // serialises starting and joining search threads
    std::thread searchThread_;
    std::atomic<std::uint64_t> searchGeneration_{0};
    std::mutex recoveryMutex_;  // guards recoveryStop_ between the run and cancelRecovery
    std::stop_source recoveryStop_;
    std::vector<std::string> problems_;  // guarded by listMutex_
    mutable std::mutex observerMutex_;
    std::vector<ResultStoreObserver*> observers_;

    // ---- scan-thread helpers of the tree and message handlers (result_store.cpp) ----
    // Backup tree records waiting for the next hand-over to the main thread,
    // the last progress value shown, the conversation chosen per message
    // address, and the messages by key.
    struct ScanIndexes;
    std::unique_ptr<ScanIndexes> scanIndexes_;
    // Hands the waiting tree records to the main thread in one task.
    void placeWaitingTreeRecords();
};

// Calls `fn` on each observer, outside every list lock, so an observer may read
// the store's snapshots.
template <class Fn>
inline void MVResultViewController::announce(Fn fn) const {
    std::vector<ResultStoreObserver*> observers;
    {
        std::lock_guard<std::mutex> lock(observerMutex_);
        if (observers_.empty()) return;
        observers = observers_;
    }
    for (ResultStoreObserver* observer : observers) fn(*observer);
}

}  // namespace salvor
