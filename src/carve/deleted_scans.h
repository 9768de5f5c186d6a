// Deleted-record scans: carve records out of the raw pages of the category databases.
#pragma once

#include <string>

namespace salvor {

class ScanContext;

void scanDelContactThread(ScanContext& ctx, const std::string& backupPath);
void scanDelMessageThread(ScanContext& ctx, const std::string& backupPath);
void scanDelNoteThread(ScanContext& ctx, const std::string& backupPath);
void scanDelCallHistoryThread(ScanContext& ctx, const std::string& backupPath);
void ScanDelBookMarkThread(ScanContext& ctx, const std::string& backupPath);
void ScanDelCalenderThread(ScanContext& ctx, const std::string& backupPath);

}  // namespace salvor
