#include "carve/deleted_scans.h"

#include "carve/deleted_bookmarks.h"
#include "carve/deleted_contacts.h"
#include "carve/deleted_messages.h"
#include "carve/deleted_notes.h"

#include "platform/log.h"

namespace salvor {

// The carving of deleted records is not built yet: each scan ends quietly, as a
// stage without its input does, and the pipeline goes on.
namespace {
void notYet(const char* what) { log::line(std::string(what) + ": deleted-record carving not available", log::Level::Debug); }
}  // namespace

void scanDelContactThread(ScanContext& ctx, const std::string& backupPath) { DelContactScan::scanBackup(ctx, backupPath); }
void scanDelMessageThread(ScanContext& ctx, const std::string& backupPath) { DelMessageScan::scanBackup(ctx, backupPath); }
void scanDelNoteThread(ScanContext& ctx, const std::string& backupPath) { DelNoteScan::scanBackup(ctx, backupPath); }
void scanDelCallHistoryThread(ScanContext&, const std::string&) { notYet("call history"); }
void ScanDelBookMarkThread(ScanContext& ctx, const std::string& backupPath) { DelBookMarkScan::scanBackup(ctx, backupPath); }
void ScanDelCalenderThread(ScanContext&, const std::string&) { notYet("calendar"); }

}  // namespace salvor
