// Live record extractors: each reads one category database of the backup
// (on a prepared private copy) and posts one event per record.
#pragma once

#include <array>
#include <map>
#include <string>

namespace salvor {

class ScanContext;

void scanContacts(ScanContext& ctx, const std::string& backupPath);
void scanMessages(ScanContext& ctx, const std::string& backupPath);
void scanNotes(ScanContext& ctx, const std::string& backupPath);
void scanCallHistory(ScanContext& ctx, const std::string& backupPath);
void scanBookmarks(ScanContext& ctx, const std::string& backupPath);
void scanCalendar(ScanContext& ctx, const std::string& backupPath);
// The place names of the calendar's Location table by row number (as text).
// Calendar records of iOS 6 and 7 backups name their place by that number;
// a viewer shows the name instead. Empty when the table cannot be read.
std::map<std::string, std::string> readCalendarLocationTitles(ScanContext& ctx, const std::string& backupPath);


// The browser's factory bookmarks (title, address), delivered after the
// database's own bookmarks in this order.
struct FactoryBookmark {
    const char* title;
    const char* url;
};
inline constexpr std::array<FactoryBookmark, 5> kFactoryBookmarks{{
    {"Apple", "http://www.apple.com/"},
    {"Yahoo", "http://www.yahoo.com/"},
    {"Google", "http://www.google.com/"},
    {"iPhone User Guide", "http://help.apple.com/iphone/"},
    {"iPhone Web Applications", "http://www.apple.com/webapps/"},
}};

}  // namespace salvor
