// The recovery run: writes every ticked item of the result store into one
// destination folder and reports what it wrote and what it could not write.
// The run reads a snapshot of the store's lists (the records themselves are
// shared, so their selection flags are read as they are); the store's
// recoverFilesThread builds it. A caller polls the two counters (see
// recoveryPercent) while the run works on another thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <atomic>
#include <stop_token>
#include <string>
#include <vector>

#include "core/backup_cipher.h"
#include "core/categories.h"
#include "core/device_node.h"
#include "core/records.h"
#include "core/tree_nodes.h"
#include "output/export_options.h"

namespace salvor {

// One item the run could not write, and why.
struct RecoveryFailure {
    std::string item;    // the target path (or the item) concerned
    std::string reason;
};

// What one of the nine folders received.
struct RecoveryFolderTally {
    std::string folder;      // "Photo&Video", the device name, "Contact", "Message", ...
    std::size_t items = 0;   // selected records and files written (list entries included)
    std::size_t files = 0;   // files created in the folder (lists, cards, pages, copies)
    // Each file written, as a path relative to the destination ("Contact/Ann.vcf").
    std::vector<std::string> written;
};

struct RecoveryReport {
    std::string destination;
    // The folders the run made, in the order they were written: only those that
    // its selection filled, out of the nine.
    std::vector<RecoveryFolderTally> folders;
    std::vector<RecoveryFailure> failures;
    // Items the backup itself does not hold (a message attachment, photo or
    // listed file without a stored file, or whose stored file is a link, a
    // FIFO or anything but a regular file): reported, nothing is made
    // for them, but they are not failures of the run.
    std::vector<RecoveryFailure> notInBackup;
    std::int64_t itemsTotal = 0;      // the progress total
    std::int64_t itemsHandled = 0;    // the progress count at the end
    std::int64_t itemsRecovered = 0;  // items written whole (the tallies' items together)
    // The run was stopped through RecoverySource::stop before it had handled
    // every item: the folders and counts cover what was written until then.
    bool cancelled = false;

    // Nothing failed, and the run recovered something unless nothing it was
    // asked for is in the backup at all.
    bool succeeded() const { return failures.empty() && (notInBackup.empty() || itemsRecovered > 0); }
    // The tally of a folder by its name; null when there is none.
    const RecoveryFolderTally* folder(const std::string& name) const;
};

// The folders of a run, in the order they are written, as the category table
// names them; the second one is named after the device (safe form of its
// name). A folder is made only when something is written into it.
inline const char* const kPhotoFolder = categoryInfo(Category::PhotoAndVideo).folder;
inline const char* const kContactFolder = categoryInfo(Category::Contact).folder;
inline const char* const kMessageFolder = categoryInfo(Category::Message).folder;
inline const char* const kNoteFolder = categoryInfo(Category::Note).folder;
inline const char* const kCallFolder = categoryInfo(Category::CallHistory).folder;
inline const char* const kBookMarkFolder = categoryInfo(Category::BookMark).folder;
inline const char* const kCalendarFolder = categoryInfo(Category::Calendar).folder;
inline const char* const kSocialFolder = categoryInfo(Category::FaceTwitter).folder;

// What one run writes, and where it reports.
struct RecoverySource {
    std::vector<PhotoPtr> photoAndVideoArray;
    std::vector<ContactPtr> contactArray;
    std::vector<ConversationPtr> messageTreeArray;
    std::vector<CallPtr> callHistoryArray;
    std::vector<NotePtr> noteArray;
    std::vector<BookMarkPtr> bookMarkArray;
    std::vector<CalendarPtr> calendarArray;
    std::vector<FaceTwitterPtr> faceTwitterArray;
    std::vector<TreeDirPtr> tree;  // root folders of the backup tree
    DeviceNodePtr device;          // names the tree's folder
    // The key store of an encrypted backup: every stored file is decrypted
    // as it is written. Null for a plain backup.
    BackupCipherPtr cipher;
    // Progress counters, updated as the run goes (either may be null).
    std::atomic<std::int32_t>* recovredFilesNum = nullptr;
    std::atomic<std::int32_t>* allSelectedFileNum = nullptr;
    // Told (on the run's thread) after each item the run has handled, so a
    // progress display follows the run without polling its counters. May be empty.
    std::function<void()> onItemHandled;
    // Asks the run to stop, from any thread. It stops between items and
    // between the chunks of a large copy; the copy in progress leaves nothing
    // behind, every file already written is complete, no further folder or
    // list is started, and an item counts as handled only once it is done.
    std::stop_token stop;
    // What to write: the classic files only unless the caller asks for more.
    ExportOptions exports;
};

// Writes every selected item of `source` into `destination`.
RecoveryReport recoverFiles(const RecoverySource& source, const std::string& destination);

// Progress in percent as the progress display shows it: the integer part of
// handled × 100 ÷ total in single precision; 0 while the total is 0.
int recoveryPercent(std::int64_t handled, std::int64_t total);

// The destination name proposed for a run started at `now` (local time):
// "Salvor 2024-03-07 - 09.05.31".
std::string proposedRecoveryName(std::time_t now);

// The number of items a run over the store's current selection will count:
// selected records, selected files of entered tree folders (directory records
// and files the backup does not hold included), and every attachment copy of
// the selected conversations.
std::int64_t countRecoveryItems(const struct RecoverySource& source);

}  // namespace salvor
