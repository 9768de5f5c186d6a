#include "extract/typedstream.h"

#include <algorithm>
#include <string_view>

#include "core/byte_reader.h"
#include "core/utf8.h"

namespace salvor::typedstream {

namespace {

// Streamer version 4, an 11-byte signature; the little-endian writer says
// "streamtyped" (a big-endian archive would say "typedstream").
constexpr std::uint8_t kHeader[] = {0x04, 0x0B, 's', 't', 'r', 'e', 'a', 'm', 't', 'y', 'p', 'e', 'd'};
// Head bytes of the archive's integers and objects.
constexpr std::uint8_t kInt16 = 0x81;
constexpr std::uint8_t kInt32 = 0x82;
constexpr std::uint8_t kEndOfObject = 0x86;
// A class name as written the first time: its length, then its bytes.
constexpr std::uint8_t kNSString[] = {0x08, 'N', 'S', 'S', 't', 'r', 'i', 'n', 'g'};
constexpr std::string_view kAttributed = "AttributedString";
// The string's contents start with the type string "+" (new string, length 1).
constexpr std::uint8_t kTextType[] = {0x84, 0x01, 0x2B};

// Where `needle` starts at or after `from`; npos when nowhere.
template <std::size_t N>
std::size_t find(std::span<const std::uint8_t> hay, std::size_t from, const std::uint8_t (&needle)[N]) {
    if (from > hay.size()) return std::string_view::npos;
    const auto it = std::search(hay.begin() + static_cast<std::ptrdiff_t>(from), hay.end(), needle, needle + N);
    return it == hay.end() ? std::string_view::npos : static_cast<std::size_t>(it - hay.begin());
}

// A non-negative archive integer: one byte below 0x80, or 0x81 and two bytes,
// or 0x82 and four bytes, both little-endian and signed. Anything else (a
// negative number, a float, a reference) is no length.
std::optional<std::uint64_t> length(ByteReader& r) {
    const auto head = r.u8();
    if (!head) return std::nullopt;
    if (*head < 0x80) return *head;
    int width = *head == kInt16 ? 2 : *head == kInt32 ? 4 : 0;
    if (width == 0) return std::nullopt;
    const auto raw = r.bytes(static_cast<std::uint64_t>(width));
    if (!raw) return std::nullopt;
    std::uint32_t v = 0;
    for (int i = width - 1; i >= 0; --i) v = (v << 8) | (*raw)[static_cast<std::size_t>(i)];
    const bool negative = (v >> (width * 8 - 1)) & 1;
    if (negative) return std::nullopt;
    return v;
}

}  // namespace

std::optional<std::string> attributedText(std::span<const std::uint8_t> blob) {
    ByteReader r(blob);
    const auto header = r.bytes(sizeof kHeader);
    if (!header || !std::equal(header->begin(), header->end(), kHeader)) return std::nullopt;

    // The root's class chain names an attributed string before the string
    // member's class appears.
    const std::size_t stringClass = find(blob, sizeof kHeader, kNSString);
    if (stringClass == std::string_view::npos) return std::nullopt;
    const std::string_view before(reinterpret_cast<const char*>(blob.data()) + sizeof kHeader,
                                  stringClass - sizeof kHeader);
    if (before.find(kAttributed) == std::string_view::npos) return std::nullopt;

    const std::size_t type = find(blob, stringClass + sizeof kNSString, kTextType);
    if (type == std::string_view::npos || !r.seek(type + sizeof kTextType)) return std::nullopt;
    const auto n = length(r);
    if (!n) return std::nullopt;
    std::string text;
    if (!r.string(*n, text)) return std::nullopt;
    // The string object ends right after its bytes; anything else means the
    // length was not the one the writer gave.
    if (r.u8() != std::optional<std::uint8_t>(kEndOfObject)) return std::nullopt;
    if (!utf8::isValid(text)) return std::nullopt;
    return text;
}

}  // namespace salvor::typedstream
