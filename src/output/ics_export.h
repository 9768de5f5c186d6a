// The calendar as an iCalendar file (RFC 5545) that calendar programs import.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "core/records.h"

namespace salvor::output {

inline constexpr const char* kCalendarIcs = "Calendar.ics";

// A text value with backslash, semicolon, comma and line ends escaped.
std::string icsEscape(std::string_view text);
// One content line folded so that no line exceeds 75 octets (a fold never
// splits a UTF-8 sequence), every line ended by CRLF.
std::string icsFold(std::string_view line);
// A stable identifier made from the event's content, so that importing the
// file of a later run updates the events instead of doubling them.
std::string eventUid(const MVCalendarNode& event);

// Writes the selected events into `fd`: an event with a start date is a
// VEVENT, one without (a reminder) a VTODO. `stamp` is the moment the file
// is made. Empty text or why the file could not be written.
// `places` names the places of events that give a row number (see ExportOptions).
std::string writeCalendarIcs(const std::vector<CalendarPtr>& events, const std::map<std::string, std::string>& places,
                             std::chrono::sys_seconds stamp, int fd);

}  // namespace salvor::output
