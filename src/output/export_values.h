// The one place the exports read a record's dates and places: a date that
// cannot be shown as a date is none for an export too.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>

#include "core/records.h"

namespace salvor::output {

using TimePoint = Timestamp;

std::optional<TimePoint> messageTime(const MVMessageNode& message);
std::optional<TimePoint> callTime(const MVCallHistoryNode& call);
std::optional<TimePoint> noteTime(const MVNoteNode& note);
std::optional<TimePoint> eventStart(const MVCalendarNode& event);
std::optional<TimePoint> eventEnd(const MVCalendarNode& event);
// Whether the event lasts whole days: it starts at local midnight and ends
// at a later midnight (or at 23:59 of its last day, as older calendars keep
// it), or has no end.
bool eventAllDay(const MVCalendarNode& event);
// The place of an event as a person reads it: the name behind a row number
// when `places` has one, the record's own text otherwise.
std::string eventLocation(const MVCalendarNode& event, const std::map<std::string, std::string>& places);
// Seconds a call lasted; absent when unknown.
std::optional<std::int64_t> callSeconds(const MVCallHistoryNode& call);

// "2024-03-07T09:05:00Z".
std::string isoUtc(TimePoint t);
// "2024-03-07 09:05" in local time, for documents people read.
std::string localStamp(TimePoint t);
// "2024-03-07" in local time.
std::string localDay(TimePoint t);

// Record text as the exports write it: absent is empty, invalid UTF-8
// sequences become U+FFFD (nothing is cut).
std::string cleanText(const Text& text);

}  // namespace salvor::output
