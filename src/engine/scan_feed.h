// The scan thread's side of the result store: the stages deliver their records
// here, and the feed hands them to the store on the store's own thread, a batch
// at a time through the main-thread queue (so the store never shares its lists
// with the scan thread, and the main thread takes a few hundred records per
// turn, not one). Backup-file records are prepared here (their stored files'
// attributes read) and only placed in the tree on the store's thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "backup/tree_controller.h"
#include "core/record_sink.h"
#include "platform/dispatcher.h"

namespace salvor {

class ResultStore;

class ScanFeed final : public RecordSink {
public:
    ScanFeed(ResultStore& store, MainThreadDispatcher& dispatcher);
    ~ScanFeed() override;
    ScanFeed(const ScanFeed&) = delete;
    ScanFeed& operator=(const ScanFeed&) = delete;

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
    void backupFile(const TreeDirPtr& record) override;
    // A new value hands over everything waiting, so the window is at most one
    // step behind the scan.
    void progress(int percent) override;
    void problem(const std::string& text) override;
    void status(const std::string& text) override;

    // The backup about to be scanned (from the thread that starts the scan).
    void device(const DeviceNodePtr& device);
    // The end of a scan, from the scan thread: hands over what waits, then the
    // end itself, and returns once the store has taken all of it.
    void finish(bool cancelled);
    // Told each new progress value on the scan thread (set before a scan).
    std::function<void(int)> onProgress;

private:
    using Delivery = std::function<void(ResultStore&)>;
    void deliver(Delivery delivery);
    // Hands the waiting records and tree records to the store's thread.
    void handOver();
    // Hands a batch of tree records over, waiting while two are still
    // untaken (they are made on this thread; the tree takes its time).
    void postBounded(std::function<void()> task);

    ResultStore& store_;
    MainThreadDispatcher& dispatcher_;
    std::vector<Delivery> waiting_;
    std::chrono::steady_clock::time_point waitingSince_;
    MVTreeController::RecordPreparer treePreparer_;
    std::vector<MVTreeController::PreparedRecord> waitingFiles_;
    int lastProgress_ = -1;
    // Tree batches posted and not yet taken (the manifest stage never runs
    // far ahead of the tree, so a slow window does not pile up prepared files).
    std::mutex queuedMutex_;
    std::condition_variable taken_;
    int queued_ = 0;
};

}  // namespace salvor
