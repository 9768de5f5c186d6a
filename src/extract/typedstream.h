// The text of a message body kept only as an archived attributed string
// (sms.db message.attributedBody, a little-endian "streamtyped" archive).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace salvor::typedstream {

// The UTF-8 text of the NSAttributedString (or NSMutableAttributedString)
// archived in `blob`. Absent when the blob is no such archive, is cut short,
// or holds a text that is not UTF-8; nothing outside `blob` is ever read.
// Attachments stay in the text as U+FFFC, as the archive has them.
std::optional<std::string> attributedText(std::span<const std::uint8_t> blob);

}  // namespace salvor::typedstream
