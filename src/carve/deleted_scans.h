// Deleted-record scans: carve records out of the raw pages of the category databases.
#pragma once

#include <string>

namespace salvor {

class SalvorAppDelegate;

void scanDelContactThread(SalvorAppDelegate& app, const std::string& backupPath);
void scanDelMessageThread(SalvorAppDelegate& app, const std::string& backupPath);
void scanDelNoteThread(SalvorAppDelegate& app, const std::string& backupPath);
void scanDelCallHistoryThread(SalvorAppDelegate& app, const std::string& backupPath);
void ScanDelBookMarkThread(SalvorAppDelegate& app, const std::string& backupPath);
void ScanDelCalenderThread(SalvorAppDelegate& app, const std::string& backupPath);

}  // namespace salvor
