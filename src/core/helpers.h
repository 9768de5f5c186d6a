// Text, number, date, size and media-type conversions shared by every layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "core/records.h"

namespace salvor {

// UTF-8 text of a column or manifest value. Each invalid sequence becomes
// U+FFFD (one per maximal subpart), so a damaged byte costs one character,
// not the whole text.
std::string GetStringFormChar(const char* utf8);
// Decodes into `out` (cleared first) at most count - 1 code points and a
// terminating 0, invalid sequences as U+FFFD; returns how many were written.
std::size_t Char2Unicode(const char* utf8, char32_t* out, std::size_t count);
// The moment a stored date stands for. fileType 1 counts seconds from 2001;
// any other value counts from 1970 unless that reading falls in the years
// 1 to 1989 (UTC), when it too counts from 2001. Magnitudes of 1e11 or more
// are nanoseconds (as seconds they would lie past the year 5000). Never
// fails: a moment whose year has no four-digit form is kept, and shows as no
// date.
Timestamp timestampOf(std::int64_t value, std::uint8_t fileType);
// timestampOf, or none when that moment cannot be shown as a date.
std::optional<Timestamp> shownTimestampOf(std::int64_t value, std::uint8_t fileType);

// The one set of display texts of typed record values, as every list, file
// and the JSON write them.
// "MM-DD-YYYY HH:MM" in local time; absent when the local year is outside
// 1..9999.
Text displayDate(Timestamp when);
// A date field: a field without a date shows as empty text, one whose moment
// cannot be written as absent.
Text displayDate(const std::optional<Timestamp>& when);
// The minute a date field lists under (minutes from 1970), to match and order
// dates as they are listed without making their text: two dates list alike
// exactly when they fall in one minute (zones are whole minutes from UTC).
// None for a field without a date and for one that cannot be shown.
std::optional<std::int64_t> listedMinute(const std::optional<Timestamp>& when);
// "12.34K"-style size text (powers of 1000).
std::string displaySize(std::uint64_t bytes);
// "2 hours", "1 minute", "5 seconds"...
std::string displayDuration(std::int32_t seconds);
// A call's length as its list shows it: "Missed" for an unanswered incoming
// call, "Cancelled" or "Missed" for one that lasted no time, else its length.
std::string displayCallDuration(const MVCallHistoryNode& call);
// Index of an extension (case-insensitive, no dot) in the picture, film or
// sound list; -1 when it is not listed.
std::int32_t GetImageType(const char* ext);
std::int32_t GetViedoType(const char* ext);
std::int32_t GetAudioType(const char* ext);
// A number as at least eight digits, zero-padded.
std::string getFullName(std::uint64_t number);
// A note body without the markup that shapes its lines: each division and
// line break becomes a line end (at most one blank line in a row, none added
// at the start or the end), a non-breaking space a blank; other markup stays.
std::string cleanNoteContent(std::string text);
// Direction of a message of the older layout from its flags ("Received",
// "Send", "unknown"); iOS 5 iMessages carry their own values (36869
// received, 12289 sent), any other value reads as the ordinary flags.
std::string flagsType(std::int64_t flags);
std::string madridFlagsType(std::int64_t flags);

}  // namespace salvor
