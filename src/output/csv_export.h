// Spreadsheets of the recovered records: RFC 4180 CSV, UTF-8, a header row,
// CRLF after every row, one file per category.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "core/records.h"

namespace salvor::output {

// One value as a CSV cell. A value that a spreadsheet program would read as
// a formula (it starts with '=', '+', '-' or '@') gets a leading single
// quote; a value holding a comma, a double quote or a line break is quoted,
// its double quotes doubled. Invalid UTF-8 becomes U+FFFD.
std::string csvField(std::string_view value);

// The file names, one per category folder.
inline constexpr const char* kContactsCsv = "Contacts.csv";
inline constexpr const char* kMessagesCsv = "Messages.csv";
inline constexpr const char* kCallsCsv = "Call History.csv";
inline constexpr const char* kNotesCsv = "Notes.csv";
inline constexpr const char* kBookmarksCsv = "Bookmarks.csv";
inline constexpr const char* kCalendarCsv = "Calendar.csv";

// Each writes the header and one row per selected record into `fd`; empty
// text or why the file could not be written.
std::string writeContactsCsv(const std::vector<ContactPtr>& contacts, int fd);
// `attachmentName` names a message's attachment as the recovery names it.
std::string writeMessagesCsv(const std::vector<ConversationPtr>& conversations, int fd,
                             const std::function<std::string(const MVMessageNode&)>& attachmentName);
std::string writeCallsCsv(const std::vector<CallPtr>& calls, int fd);
std::string writeNotesCsv(const std::vector<NotePtr>& notes, int fd);
std::string writeBookmarksCsv(const std::vector<BookMarkPtr>& bookmarks, int fd);
std::string writeCalendarCsv(const std::vector<CalendarPtr>& events, const std::map<std::string, std::string>& places,
                             int fd);

// A conversation's name as the exports show it: its name when it has one of
// two characters or more, else its address.
std::string conversationName(const MVMessageTreeNode& conversation);
// "sent" or "received" by the message's direction ("" when unknown).
std::string messageDirection(const MVMessageNode& message);

}  // namespace salvor::output
