#include "engine/scan_feed.h"

#include "engine/result_store.h"

namespace salvor {

namespace {

// Records handed over in one task: few enough hand-overs that their cost
// vanishes, small enough that one turn of the main thread stays short.
constexpr std::size_t kRecordBatch = 512;
// Tree records handed over in one task (placing one is cheap).
constexpr std::size_t kFileBatch = 4096;
// A record waits at most this long for its batch to fill (the carving finds
// records slowly, and a person watching should see them come).
constexpr auto kMaxWait = std::chrono::milliseconds(100);

}  // namespace

ScanFeed::ScanFeed(ResultStore& store, MainThreadDispatcher& dispatcher) : store_(store), dispatcher_(dispatcher) {}
ScanFeed::~ScanFeed() = default;

void ScanFeed::deliver(Delivery delivery) {
    if (dispatcher_.runsInline()) {
        delivery(store_);
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (waiting_.empty()) waitingSince_ = now;
    waiting_.push_back(std::move(delivery));
    if (waiting_.size() >= kRecordBatch || now - waitingSince_ >= kMaxWait) handOver();
}

void ScanFeed::postBounded(std::function<void()> task) {
    {
        std::unique_lock lock(queuedMutex_);
        taken_.wait(lock, [this] { return queued_ < 2; });
        ++queued_;
    }
    dispatcher_.post([this, task = std::move(task)] {
        task();
        std::lock_guard lock(queuedMutex_);
        --queued_;
        taken_.notify_all();
    });
}

void ScanFeed::handOver() {
    // Files first: a record may name a stored file the tree lists.
    if (!waitingFiles_.empty()) {
        auto files = std::make_shared<std::vector<MVTreeController::PreparedRecord>>(std::move(waitingFiles_));
        waitingFiles_.clear();
        waitingFiles_.reserve(kFileBatch);
        postBounded([this, files] { store_.placeBackupFiles(*files); });
    }
    // Records are never held back: a stage hands them over from inside a
    // database statement, whose time is bounded, so the scan must not wait
    // for a busy window there. They exist either way; the queue holds only
    // pointers to them.
    if (!waiting_.empty()) {
        auto batch = std::make_shared<std::vector<Delivery>>(std::move(waiting_));
        waiting_.clear();
        dispatcher_.post([this, batch] {
            for (Delivery& d : *batch) d(store_);
        });
    }
}

void ScanFeed::photo(const PhotoPtr& r) { deliver([r](ResultStore& s) { s.photo(r); }); }
void ScanFeed::socialFile(const FaceTwitterPtr& r) { deliver([r](ResultStore& s) { s.socialFile(r); }); }
void ScanFeed::contact(const ContactPtr& r) { deliver([r](ResultStore& s) { s.contact(r); }); }
void ScanFeed::message(const MessagePtr& r) { deliver([r](ResultStore& s) { s.message(r); }); }
void ScanFeed::call(const CallPtr& r) { deliver([r](ResultStore& s) { s.call(r); }); }
void ScanFeed::note(const NotePtr& r) { deliver([r](ResultStore& s) { s.note(r); }); }
void ScanFeed::bookmark(const BookMarkPtr& r) { deliver([r](ResultStore& s) { s.bookmark(r); }); }
void ScanFeed::calendarEvent(const CalendarPtr& r) { deliver([r](ResultStore& s) { s.calendarEvent(r); }); }
void ScanFeed::deletedContact(const ContactPtr& r) { deliver([r](ResultStore& s) { s.deletedContact(r); }); }
void ScanFeed::deletedMessage(const MessagePtr& r) { deliver([r](ResultStore& s) { s.deletedMessage(r); }); }
void ScanFeed::deletedCall(const CallPtr& r) { deliver([r](ResultStore& s) { s.deletedCall(r); }); }
void ScanFeed::deletedNote(const NotePtr& r) { deliver([r](ResultStore& s) { s.deletedNote(r); }); }
void ScanFeed::deletedBookmark(const BookMarkPtr& r) { deliver([r](ResultStore& s) { s.deletedBookmark(r); }); }
void ScanFeed::deletedCalendarEvent(const CalendarPtr& r) {
    deliver([r](ResultStore& s) { s.deletedCalendarEvent(r); });
}

void ScanFeed::backupFile(const TreeDirPtr& record) {
    if (!record || textOrEmpty(record->filePath).empty()) return;
    if (dispatcher_.runsInline()) {
        store_.backupFile(record);
        return;
    }
    waitingFiles_.push_back(treePreparer_.prepare(*record));
    if (waitingFiles_.size() >= kFileBatch) handOver();
}

void ScanFeed::progress(int percent) {
    // The manifest stage reports its position with nearly every record it
    // keeps: only a value that differs from the last one is worth a hand-over.
    if (percent == lastProgress_) return;
    lastProgress_ = percent;
    if (onProgress) onProgress(percent);
    if (dispatcher_.runsInline()) {
        store_.progress(percent);
        return;
    }
    handOver();
    dispatcher_.post([this, percent] { store_.progress(percent); });
}

void ScanFeed::problem(const std::string& text) {
    if (dispatcher_.runsInline()) {
        store_.problem(text);
        return;
    }
    handOver();
    dispatcher_.post([this, text] { store_.problem(text); });
}

void ScanFeed::status(const std::string& text) {
    if (dispatcher_.runsInline()) {
        store_.status(text);
        return;
    }
    handOver();
    dispatcher_.post([this, text] { store_.status(text); });
}

void ScanFeed::device(const DeviceNodePtr& device) {
    dispatcher_.post([this, device] { store_.setDevice(device); });
}

void ScanFeed::finish(bool cancelled) {
    if (!dispatcher_.runsInline()) handOver();
    lastProgress_ = -1;  // the next scan's first value is always shown
    // runSync also waits for every task posted before it.
    dispatcher_.runSync([this, cancelled] { store_.finishScan(cancelled); });
}

}  // namespace salvor
