#include "carve/deleted_scans.h"

#include "carve/deleted_calendar.h"
#include "carve/deleted_calls.h"
#include "carve/deleted_contacts.h"

#include "platform/log.h"

namespace salvor {

// The carving of deleted records is not built yet: each scan ends quietly, as a
// stage without its input does, and the pipeline goes on.
namespace {
void notYet(const char* what) { log::line(std::string(what) + ": deleted-record carving not available", log::Level::Debug); }
}  // namespace

void scanDelContactThread(ScanContext& ctx, const std::string& backupPath) { DelContactScan::scanBackup(ctx, backupPath); }
void scanDelMessageThread(ScanContext&, const std::string&) { notYet("messages"); }
void scanDelNoteThread(ScanContext&, const std::string&) { notYet("notes"); }
void scanDelCallHistoryThread(ScanContext& ctx, const std::string& backupPath) { DelCallScan::scanBackup(ctx, backupPath); }
void ScanDelBookMarkThread(ScanContext&, const std::string&) { notYet("bookmarks"); }
void ScanDelCalenderThread(ScanContext& ctx, const std::string& backupPath) { DelCalenderScan::scanBackup(ctx, backupPath); }

}  // namespace salvor
