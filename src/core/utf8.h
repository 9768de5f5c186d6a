// UTF-8 handling: record texts come from damaged databases and may
// hold invalid sequences, so every consumer decodes defensively.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace salvor::utf8 {

// Decodes the code point at `pos` and advances `pos` past it. An invalid or
// truncated sequence yields false and advances one byte.
bool nextCodePoint(std::string_view text, std::size_t& pos, char32_t& codePoint);

// Number of code points (an invalid byte counts as one).
std::size_t codePointCount(std::string_view text);

// The longest prefix of at most `maxBytes` bytes that does not split a sequence.
std::string_view prefixWithin(std::string_view text, std::size_t maxBytes);

// True when the whole text is valid UTF-8.
bool isValid(std::string_view text);

// The text with each invalid sequence replaced by U+FFFD, one replacement per
// maximal subpart (the longest start of a well-formed sequence, or else one
// byte), as Unicode recommends; valid text comes back unchanged.
std::string replaceInvalid(std::string_view text);

// UTF-16 little-endian bytes with a leading byte-order mark (FF FE); invalid
// input bytes become U+FFFD.
std::string toUtf16LEWithBom(std::string_view text);

// Checks a byte stream piece by piece: a sequence may straddle two pieces.
class Utf8Validator {
public:
    // False once any invalid byte has been seen.
    bool feed(const std::uint8_t* data, std::size_t size);
    // True when everything fed was valid and no sequence is left open.
    bool finish() const { return valid_ && remaining_ == 0; }

private:
    bool valid_ = true;
    int remaining_ = 0;
    std::uint8_t lo_ = 0x80, hi_ = 0xBF;
};

}  // namespace salvor::utf8
