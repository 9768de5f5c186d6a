#include "carve/deleted_scans.h"

#include "carve/deleted_bookmarks.h"
#include "carve/deleted_calendar.h"
#include "carve/deleted_calls.h"
#include "carve/deleted_contacts.h"
#include "carve/deleted_messages.h"
#include "carve/deleted_notes.h"

namespace salvor {

void scanDelContactThread(ScanContext& ctx, const std::string& backupPath) { DelContactScan::scanBackup(ctx, backupPath); }
void scanDelMessageThread(ScanContext& ctx, const std::string& backupPath) { DelMessageScan::scanBackup(ctx, backupPath); }
void scanDelNoteThread(ScanContext& ctx, const std::string& backupPath) { DelNoteScan::scanBackup(ctx, backupPath); }
void scanDelCallHistoryThread(ScanContext& ctx, const std::string& backupPath) { DelCallScan::scanBackup(ctx, backupPath); }
void ScanDelBookMarkThread(ScanContext& ctx, const std::string& backupPath) { DelBookMarkScan::scanBackup(ctx, backupPath); }
void ScanDelCalenderThread(ScanContext& ctx, const std::string& backupPath) { DelCalenderScan::scanBackup(ctx, backupPath); }

}  // namespace salvor
