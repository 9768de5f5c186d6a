// Live record extractors: each reads one category database of the backup
// (on a prepared private copy) and posts one event per record.
#pragma once

#include <string>

namespace salvor {

class SalvorAppDelegate;

void scanContactThread(SalvorAppDelegate& app, const std::string& backupPath);
void scanMessageThread(SalvorAppDelegate& app, const std::string& backupPath);
void scanNoteThread(SalvorAppDelegate& app, const std::string& backupPath);
void scanCallHistoryThread(SalvorAppDelegate& app, const std::string& backupPath);
void scanBookMarkThread(SalvorAppDelegate& app, const std::string& backupPath);
void scanCalenderThread(SalvorAppDelegate& app, const std::string& backupPath);

}  // namespace salvor
