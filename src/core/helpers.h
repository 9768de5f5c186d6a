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
// Date text of a timestamp; fileType 1 counts from 2001, any other value uses
// the 1990 rule; magnitudes of 1e11 or more are nanoseconds.
std::optional<std::u32string> GetDateTime(std::int64_t seconds, std::uint8_t fileType);
std::string GetNSStringDate(const std::u32string& chars);
// GetDateTime then GetNSStringDate; absent when no date could be formed.
Text dateText(std::int64_t seconds, std::uint8_t fileType);
// "12.34K"-style size text (powers of 1000).
std::string size_to_unit(std::uint64_t size);
// "2 hours", "1 minute", "5 seconds"...
std::string getCallHistoryDuration(std::int32_t seconds);
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
