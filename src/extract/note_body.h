// The plain text of a note in the Core Data notes store (NoteStore.sqlite):
// ZICNOTEDATA.ZDATA is a gzip stream of a protocol-buffer document, and the
// text is the string at document -> note -> text (fields 2, 3, 2).
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace salvor::notebody {

// Largest body inflated. Real note documents are at most a few MiB (the
// text plus style runs); a stream that inflates further is refused rather
// than allowed to take memory.
inline constexpr std::size_t kMaxInflated = 32u << 20;

// The inflated bytes of a gzip stream (its first member); absent when the
// bytes are no gzip stream, are damaged or cut short, or would inflate past
// `maxOut` bytes (then `pastLimit`, when given, is set).
std::optional<std::vector<std::uint8_t>> gunzip(std::span<const std::uint8_t> gz, std::size_t maxOut = kMaxInflated,
                                                bool* pastLimit = nullptr);

// Deepest path findBytes follows.
inline constexpr std::size_t kMaxDepth = 8;

// The payload of the first length-delimited field found by following
// `path` (field numbers, outermost first) through nested messages of a
// protocol buffer, as a view into `message`. Absent when a step's field is
// missing, a field on the way is malformed (a varint past its tenth byte or
// the end, a length past the end, a group or unknown wire type), or the
// path is empty or deeper than kMaxDepth.
std::optional<std::span<const std::uint8_t>> findBytes(std::span<const std::uint8_t> message,
                                                       std::initializer_list<std::uint32_t> path);

// Every field of `message` and of the length-delimited fields that parse as
// messages themselves, down to `maxDepth` levels: the number of fields seen,
// or absent when the top level is malformed. Used to check a document whole.
std::optional<std::size_t> countFields(std::span<const std::uint8_t> message, std::size_t maxDepth = kMaxDepth);

// The note text of a ZDATA value; absent when the body cannot be read (an
// encrypted body of a locked note, damage) or has no text field. Invalid
// UTF-8 sequences become U+FFFD.
//
// A text longer than `maxText` bytes is absent too, with `tooLarge` set (as
// is a document past kMaxInflated). The document is then inflated only to
// twice that plus a MiB: one larger is taken as holding too long a text,
// although a document that is mostly other fields could hold a shorter one.
std::optional<std::string> noteText(std::span<const std::uint8_t> zdata, std::size_t maxText = kMaxInflated,
                                    bool* tooLarge = nullptr);

}  // namespace salvor::notebody
