// Deleted-record scans: carve records out of the raw pages of the category databases.
#pragma once

#include <string>

namespace salvor {

class ScanContext;

void scanDeletedContacts(ScanContext& ctx, const std::string& backupPath);
void scanDeletedMessages(ScanContext& ctx, const std::string& backupPath);
void scanDeletedNotes(ScanContext& ctx, const std::string& backupPath);
void scanDeletedCalls(ScanContext& ctx, const std::string& backupPath);
void scanDeletedBookmarks(ScanContext& ctx, const std::string& backupPath);
void scanDeletedCalendar(ScanContext& ctx, const std::string& backupPath);

}  // namespace salvor
