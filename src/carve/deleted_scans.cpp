#include "carve/deleted_scans.h"

#include "carve/deleted_bookmarks.h"
#include "carve/deleted_calendar.h"
#include "carve/deleted_calls.h"
#include "carve/deleted_contacts.h"
#include "carve/deleted_messages.h"
#include "carve/deleted_notes.h"

namespace salvor {

void scanDeletedContacts(ScanContext& ctx, const std::string& backupPath) { DelContactScan::scanBackup(ctx, backupPath); }
void scanDeletedMessages(ScanContext& ctx, const std::string& backupPath) { DelMessageScan::scanBackup(ctx, backupPath); }
void scanDeletedNotes(ScanContext& ctx, const std::string& backupPath) { DelNoteScan::scanBackup(ctx, backupPath); }
void scanDeletedCalls(ScanContext& ctx, const std::string& backupPath) { DelCallScan::scanBackup(ctx, backupPath); }
void scanDeletedBookmarks(ScanContext& ctx, const std::string& backupPath) { DelBookMarkScan::scanBackup(ctx, backupPath); }
void scanDeletedCalendar(ScanContext& ctx, const std::string& backupPath) { DelCalendarScan::scanBackup(ctx, backupPath); }

}  // namespace salvor
