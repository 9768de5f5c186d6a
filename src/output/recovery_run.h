// The recovery run: writes every ticked item of the result store into one
// destination folder and reports what it wrote and what it could not write.
// The save panel, the progress sheet and the file viewer belong to the
// platform adapters; they start MVResultViewController::recoverFilesThread on
// a worker thread and poll recovredFilesNum / allSelectedFileNum (see
// recoveryPercent) while it runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "core/result_store.h"

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
};

struct RecoveryReport {
    std::string destination;
    std::vector<RecoveryFolderTally> folders;  // the nine folders, in the order they are written
    std::vector<RecoveryFailure> failures;
    // Items the backup itself does not hold (a message attachment without a
    // stored file): reported, but not failures of the run.
    std::vector<RecoveryFailure> notInBackup;
    std::int64_t itemsTotal = 0;    // the progress total
    std::int64_t itemsHandled = 0;  // the progress count at the end

    bool succeeded() const { return failures.empty(); }
    // The tally of a folder by its name; null when there is none.
    const RecoveryFolderTally* folder(const std::string& name) const;
};

// The folders of a run, in the order they are written; the second one is
// named after the device (safe form of its name).
inline constexpr const char* kPhotoFolder = "Photo&Video";
inline constexpr const char* kContactFolder = "Contact";
inline constexpr const char* kMessageFolder = "Message";
inline constexpr const char* kNoteFolder = "Note";
inline constexpr const char* kCallFolder = "CallHistory";
inline constexpr const char* kBookMarkFolder = "BookMark";
inline constexpr const char* kCalendarFolder = "Calendar&Reminder";
inline constexpr const char* kSocialFolder = "FaceBook&Twitter";

// Progress in percent as the progress display shows it: the integer part of
// handled × 100 ÷ total in single precision; 0 while the total is 0.
int recoveryPercent(std::int64_t handled, std::int64_t total);

// The destination name proposed for a run started at `now` (local time):
// "Salvor 2024-03-07 - 09.05.31".
std::string proposedRecoveryName(std::time_t now);

// The number of items a run over the store's current selection will count:
// selected records, selected files of entered tree folders, and every
// attachment copy of the selected conversations.
std::int64_t countRecoveryItems(const MVResultViewController& store);

}  // namespace salvor
