#include "carve/carve_primitives.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>

#include "platform/log.h"

namespace salvor::carve {

namespace {

constexpr std::uint32_t kMaxPageSize = 65536;
// A hex text longer than this is never asked for by a scan (a page is at most
// 64 KiB); refusing it keeps a wild count from allocating without bound.
constexpr std::uint64_t kMaxHexBytes = std::uint64_t{1} << 24;

// base + a + b as a file offset. A sum below 0 or above 2^64 - 1 lies outside
// any file, so it becomes the largest offset, which reads as 0 like every byte
// past the end.
std::uint64_t offsetOf(std::uint64_t base, std::int64_t a, std::int64_t b = 0) {
    __extension__ typedef __int128 Wide;
    const Wide sum = Wide{base} + a + b;
    if (sum < 0 || sum > Wide{UINT64_MAX}) return UINT64_MAX;
    return static_cast<std::uint64_t>(sum);
}

// Writes `text` into `out`, cut to it, with a terminating zero when there is room.
void putText(std::span<std::uint8_t> out, std::string_view text) {
    const std::size_t n = std::min(out.size(), text.size());
    std::memcpy(out.data(), text.data(), n);
    if (n < out.size()) out[n] = 0;
}

// Copies a body of `length` bytes at `at` into `out`, cut to it.
void copyBody(const PageImage& image, std::uint64_t at, std::int64_t length, std::span<std::uint8_t> out) {
    const auto n = std::min<std::uint64_t>(static_cast<std::uint64_t>(length), out.size());
    image.copy(at, out.first(static_cast<std::size_t>(n)));
}

bool oneByteField(const PageImage& image, std::uint64_t typeAt, std::uint64_t bodyAt, std::uint64_t& dataoff,
                  std::span<std::uint8_t> data) {
    const std::int64_t type = image.byteAt(typeAt);
    const bool number = type >= 1 && type <= 7;
    if (!number && type < 14) return false;
    const std::int64_t length = getFieldDataLengthBy(type);
    if (length == 0) return false;
    const std::uint64_t at = bodyAt + dataoff < bodyAt ? UINT64_MAX : bodyAt + dataoff;
    if (number) {
        std::array<std::uint8_t, 8> body{};
        image.copy(at, std::span(body).first(static_cast<std::size_t>(length)));
        const auto text = numberText(type, std::span(body).first(static_cast<std::size_t>(length)));
        if (!text) return false;
        putText(data, *text);
    } else {
        copyBody(image, at, length, data);
    }
    dataoff += static_cast<std::uint64_t>(length);
    return true;
}

bool twoByteField(const PageImage& image, std::uint64_t typeAt, std::uint64_t bodyAt, std::uint64_t& dataoff,
                  std::span<std::uint8_t> data) {
    const std::uint32_t type = getAlterInteger(image.byteAt(typeAt), image.byteAt(offsetOf(typeAt, 1)));
    if (type > 4095) return false;
    const std::int64_t length = getFieldDataLengthBy(type);
    const std::uint64_t at = bodyAt + dataoff < bodyAt ? UINT64_MAX : bodyAt + dataoff;
    copyBody(image, at, length, data);
    dataoff += static_cast<std::uint64_t>(length);
    return true;
}

// Some window of `w` characters, starting at 0 up to but not including
// (length - w), begins with one of `patterns`. A window begins with a pattern
// exactly when the pattern fits in it and occurs at its start, so the first
// occurrence of each pattern that fits decides: one pass over the text per
// pattern instead of one comparison per pattern at every half-byte.
bool anyWindowStartsWith(std::string_view hex, std::int64_t w, std::span<const std::string_view> patterns) {
    if (w < 0 || static_cast<std::uint64_t>(w) >= hex.size()) return false;
    const std::size_t width = static_cast<std::size_t>(w);
    const std::size_t starts = hex.size() - width;
    return std::any_of(patterns.begin(), patterns.end(), [&](std::string_view p) {
        if (p.size() > width) return false;
        const std::size_t at = hex.find(p);
        return at != std::string_view::npos && at < starts;
    });
}

bool startsWithAny(std::string_view text, std::span<const std::string_view> patterns) {
    // Most texts fail on the first character; no pattern is empty.
    if (text.empty()) return false;
    return std::any_of(patterns.begin(), patterns.end(),
                       [&](std::string_view p) { return p[0] == text[0] && text.starts_with(p); });
}

constexpr std::string_view kCallPatterns[] = {"0101", "0301", "0302", "0102", "0109", "0309"};
constexpr std::string_view kMessagePatterns[] = {"001100", "0808080808", "0808000808080808", "0108000108080808"};
constexpr std::string_view kCalendarPatterns[] = {"080800080808",     "080808080808",     "0001000000000055",
                                                  "0001000000000155", "0000000000000055", "00000108",
                                                  "00000801"};
constexpr std::string_view kContactPatterns[] = {"01010809",   "01010901",   "09010809",   "01010101",
                                                 "01010801",   "02010801",   "02010901",   "02010809",
                                                 "02010101",   "01090809",   "0f0f080801", "0000040401",
                                                 "0000040400", "0000040413", "ffd8ffe0",   "00000000000000"};
constexpr std::string_view kBookmarkPatterns[] = {"01010101"};
constexpr std::string_view kNotePatterns[] = {"010101"};
constexpr std::string_view kChatIOS6Patterns[] = {"0600"};
constexpr std::string_view kMessageIOS6Patterns[] = {"0800010000", "0800010011", "0800020011", "0800020000",
                                                     "0800090011"};
constexpr std::string_view kContactDeletedMarks[] = {"2300", "2400", "2500", "2600"};

std::span<const std::string_view> patternsOf(int type) {
    switch (type) {
    case 1: return kCallPatterns;
    case 2: return kMessagePatterns;
    case 3: return kCalendarPatterns;
    case 4: return kContactPatterns;
    case 5: return kBookmarkPatterns;
    case 6: return kNotePatterns;
    default: return {};
    }
}

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// First occurrence of `key` in text[from, end), ignoring ASCII case.
std::optional<std::size_t> findNoCase(std::string_view text, std::string_view key, std::size_t from, std::size_t end) {
    if (end > text.size() || from > end || key.size() > end - from) return std::nullopt;
    for (std::size_t i = from; i + key.size() <= end; ++i) {
        std::size_t k = 0;
        while (k < key.size() && lowerAscii(text[i + k]) == lowerAscii(key[k])) ++k;
        if (k == key.size()) return i;
    }
    return std::nullopt;
}

}  // namespace

// ---- PageImage ----

std::optional<PageImage> PageImage::open(std::span<const std::uint8_t> bytes, const std::string& label) {
    const ByteReader reader(bytes);
    const std::optional<std::uint16_t> field = reader.peekU16(16);
    if (!field) {
        log::line(label + ": " + std::to_string(bytes.size()) +
                  " bytes, too short for a database header; not carved");
        return std::nullopt;
    }
    const std::uint32_t size = *field == 1 ? kMaxPageSize : *field;
    if (size < 512 || size > kMaxPageSize || !std::has_single_bit(size)) {
        log::line(label + ": page size " + std::to_string(*field) +
                  " in the header is not a power of two from 512 to 65536; not carved");
        return std::nullopt;
    }
    return PageImage(bytes, size);
}

ByteReader PageImage::page(std::uint64_t n) const {
    static const std::array<std::uint8_t, kMaxPageSize> zeros{};
    if (n >= pageCount()) return ByteReader(zeros.data(), pageSize_);
    return *reader().slice(n * pageSize_, pageSize_);
}

void PageImage::copy(std::uint64_t offset, std::span<std::uint8_t> out) const {
    std::size_t inFile = 0;
    if (out.empty()) return;  // memcpy may not be given the null pointer of an empty span
    if (offset < bytes_.size()) {
        inFile = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), bytes_.size() - offset));
        std::memcpy(out.data(), bytes_.data() + offset, inFile);
    }
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(inFile), out.end(), std::uint8_t{0});
}

// ---- reading ----

std::optional<std::string> getHexString(const PageImage& image, std::uint64_t offset, std::uint64_t length) {
    // Built in place (every return names the same object): the scans ask for
    // a few bytes at every offset of a page, and a moved string would cost as
    // much as the digits themselves.
    std::optional<std::string> hex;
    if (offset == 0 || length == 0 || length > kMaxHexBytes) return hex;
    static constexpr char digits[] = "0123456789abcdef";
    hex.emplace(static_cast<std::size_t>(2 * length), '0');
    char* out = hex->data();
    // Bytes past the end stay "00"; the bytes inside the file are read directly.
    const std::uint64_t inFile = offset < image.size() ? std::min(length, image.size() - offset) : 0;
    if (inFile > 0) {
        const std::uint8_t* bytes = image.reader().data() + offset;
        for (std::uint64_t i = 0; i < inFile; ++i) {
            out[2 * i] = digits[bytes[i] >> 4];
            out[2 * i + 1] = digits[bytes[i] & 0x0F];
        }
    }
    return hex;
}

bool readData(const PageImage& image, std::span<std::uint8_t> buffer, std::uint64_t offset, std::uint64_t length) {
    if (offset == 0 || length == 0 || buffer.empty()) return false;
    image.copy(offset, buffer.first(static_cast<std::size_t>(std::min<std::uint64_t>(length, buffer.size()))));
    return true;
}

int getPageType(const PageImage& image, std::uint64_t offset) {
    if (offset == 0) return -1;
    switch (image.byteAt(offset)) {
    case 0x0D: return 1;
    case 0x05:
    case 0x00: return 2;
    case 0x02: return 3;
    case 0x0A: return 4;
    default: return -1;
    }
}

int checkSQliteVersion(const PageImage& image, std::uint64_t offset) { return image.byteAt(offset) == 0x02 ? 1 : 0; }

// ---- numbers ----

std::uint32_t valueOfHexDigits(std::optional<std::string_view> hex, int length) {
    if (!hex || length < 1 || hex->size() < static_cast<std::size_t>(length)) return 0;
    std::uint32_t value = 0;
    for (int i = 0; i < length; ++i) {
        const char c = (*hex)[static_cast<std::size_t>(i)];
        std::uint32_t digit = 0;
        if (c >= 'a' && c <= 'f') digit = static_cast<std::uint32_t>(c - 'a' + 10);
        else if (c >= '0' && c <= '9') digit = static_cast<std::uint32_t>(c - '0');
        value = value * 16 + digit;
    }
    return value;
}

std::uint32_t getAlterInteger(std::uint8_t num1, std::uint8_t num2) {
    const int len1 = num1 == 0 ? 1 : std::bit_width(num1);
    const int len2 = std::max(7, static_cast<int>(std::bit_width(num2)));
    const int total = len1 + len2;
    std::uint32_t value = (std::uint32_t{num1} << len2) | num2;
    // The digit string begins with "10": drop those two digits.
    if (((value >> (total - 1)) & 1) == 1 && ((value >> (total - 2)) & 1) == 0)
        value &= (std::uint32_t{1} << (total - 2)) - 1;
    return value;
}

std::int64_t getFieldDataLengthBy(std::int64_t serialType) {
    switch (serialType) {
    case 1: return 1;
    case 2: return 2;
    case 3: return 3;
    case 4: return 4;
    case 5: return 6;
    case 6:
    case 7: return 8;
    default: break;
    }
    if (serialType < 12) return 0;
    return (serialType - (serialType % 2 == 0 ? 12 : 13)) / 2;
}

std::uint64_t readBigEndian(std::span<const std::uint8_t> buffer, std::uint64_t point, std::int64_t size) {
    std::uint64_t value = 0;
    for (std::int64_t i = 0; i < size; ++i) {
        const std::uint64_t at = point + static_cast<std::uint64_t>(i);
        const std::uint8_t b = (at >= point && at < buffer.size()) ? buffer[static_cast<std::size_t>(at)] : 0;
        value = (value << 8) | b;
    }
    return value;
}

std::optional<std::string> numberText(std::int64_t serialType, std::span<const std::uint8_t> body) {
    if (serialType < 1 || serialType > 7 || static_cast<std::int64_t>(body.size()) != getFieldDataLengthBy(serialType))
        return std::nullopt;
    const std::uint64_t raw = readBigEndian(body, 0, static_cast<std::int64_t>(body.size()));
    char text[32];
    std::to_chars_result r{};
    if (serialType == 7) {
        r = std::to_chars(text, text + sizeof text, std::bit_cast<double>(raw));
    } else {
        // Sign-extend from the body's width: shift its top bit to bit 63 and back.
        const unsigned shift = 64 - 8 * static_cast<unsigned>(body.size());
        const auto value = static_cast<std::int64_t>(raw << shift) >> shift;
        r = std::to_chars(text, text + sizeof text, value);
    }
    return std::string(text, r.ptr);
}

// ---- field decoders ----

bool AnalyseDBDataFile(const PageImage& image, std::int64_t position, std::uint64_t& dataoff, std::uint64_t offset,
                       std::int64_t length, std::span<std::uint8_t> data) {
    return oneByteField(image, offsetOf(offset, position), offsetOf(offset, length), dataoff, data);
}

bool AnalyseTheDBDataFile(const PageImage& image, std::int64_t position, std::uint64_t& dataoff, std::uint64_t offset,
                          std::int64_t head, std::int64_t length, std::span<std::uint8_t> data) {
    return oneByteField(image, offsetOf(offset, head, position), offsetOf(offset, head, length), dataoff, data);
}

bool AnalyseAlterbleDB(const PageImage& image, std::int64_t position, std::uint64_t& dataOff, std::uint64_t offset,
                       std::int64_t length, std::span<std::uint8_t> Data) {
    return twoByteField(image, offsetOf(offset, position), offsetOf(offset, length), dataOff, Data);
}

bool AnalyseAlterbleDBFile(const PageImage& image, std::int64_t position, std::uint64_t& dataoff, std::uint64_t offset,
                           std::int64_t Head, std::int64_t length, std::span<std::uint8_t> data) {
    return twoByteField(image, offsetOf(offset, Head, position), offsetOf(offset, Head, length), dataoff, data);
}

// ---- validity tests ----

int bCheckDataIsValid(std::optional<std::string_view> hex, int type) {
    if (!hex) return 0;
    return startsWithAny(*hex, patternsOf(type)) ? 1 : -1;
}

int bcheckSubStringIsValid(std::optional<std::string_view> hex, int type, std::int64_t length) {
    if (!hex) return 0;
    return anyWindowStartsWith(*hex, length, patternsOf(type)) ? 1 : 0;
}

int bcheckChatIOS6SubStringIsValid(std::optional<std::string_view> hex, std::int64_t length) {
    if (!hex) return 0;
    return anyWindowStartsWith(*hex, length, kChatIOS6Patterns) ? 1 : 0;
}

int bcheckMessageIOS6SubStringIsValid(std::optional<std::string_view> hex, std::int64_t length) {
    if (!hex) return 0;
    return anyWindowStartsWith(*hex, length, kMessageIOS6Patterns) ? 1 : 0;
}

int getDeletedMark(const PageImage& image, std::uint64_t offset, std::uint64_t length, int type) {
    if (type != 4) return 0;
    // Every mark is two bytes long: more bytes cannot change the answer.
    const auto hex = getHexString(image, offset, std::min<std::uint64_t>(length, 2));
    return hex && startsWithAny(*hex, kContactDeletedMarks) ? 1 : 0;
}

// ---- single-byte probes ----

int bNoteAlter(const PageImage& image, std::uint64_t offset) {
    const std::uint8_t b = image.byteAt(offset);
    return b >= 0x80 && b <= 0x89 ? 1 : 0;
}
int bImageURLAlter(const PageImage& image, std::uint64_t offset) { return image.byteAt(offset) != 0x09 ? 1 : 0; }
int IsAlterAboutContent(const PageImage& image, std::uint64_t offset) { return image.byteAt(offset) != 0x04 ? 1 : 0; }
int ISAlterMessageContentFiled(const PageImage& image, std::uint64_t offset) {
    return image.byteAt(offset) != 0x55 ? 1 : 0;
}
int isAlterPropertyField(const PageImage& image, std::uint64_t offset) {
    const std::uint8_t b = image.byteAt(offset);
    return b >= 121 && b <= 152 ? 1 : 0;
}

// ---- zero-byte distance probes ----

std::int64_t bSortAlter(const PageImage& image, std::uint64_t offset) {
    if (image.byteAt(offset) == 0) return 0;  // every offset past the end lands here
    // The offset lies inside the file: walk back through the file's own bytes.
    const auto bytes = image.reader();
    for (std::uint64_t d = 1; d <= offset; ++d)
        if (*bytes.peekU8(offset - d) == 0) return static_cast<std::int64_t>(d);
    return -1;
}

std::int64_t bIsAlterbleDBFile(const PageImage& image, std::uint64_t offset, int type) {
    if (type == 2) return image.byteAt(offset) >= 14 ? 1 : 0;
    if (type != 6 || image.byteAt(offset) == 0) return 0;
    // Inside the file; the first byte past its end is the 0 that ends the walk.
    const auto rest = *image.reader().peekBytes(offset, image.size() - offset);
    const auto zero = std::find(rest.begin(), rest.end(), std::uint8_t{0});
    return static_cast<std::int64_t>(zero - rest.begin());
}

int getFieldLength(const PageImage& image, std::uint64_t offset) {
    std::uint64_t zeroAt = offset;
    if (image.byteAt(offset) != 0) zeroAt = offset + static_cast<std::uint64_t>(bIsAlterbleDBFile(image, offset, 6));
    if (zeroAt == 0) return 0;  // nothing lies before the file's first byte
    const std::uint8_t b = image.byteAt(zeroAt - 1);
    if (b >= 34 && b <= 36) return 2;
    if (b >= 18 && b <= 20) return 1;
    return 0;
}

// ---- text ----

std::string GetLastPageStringWithChar(std::span<const std::uint8_t> bytes) {
    std::string text(bytes.size(), '.');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        if (bytes[i] >= 0x20 && bytes[i] <= 0x7E) text[i] = static_cast<char>(bytes[i]);
    return text;
}

std::optional<std::string> getNextSubStringInString(std::optional<std::string_view> text,
                                                    std::optional<std::string_view> key) {
    if (!text || !key || text->empty() || key->empty()) return std::nullopt;
    const std::string_view s = *text;
    const std::size_t last = s.size() - 1;  // never searched nor taken
    std::size_t p = 0;
    // p at least doubles on each round (the end of an occurrence is past p), so the loop ends.
    while (p + key->size() < last) {
        const auto found = findNoCase(s, *key, p, last);
        if (!found) return std::nullopt;
        const std::size_t e = *found + key->size();
        std::string token;
        for (std::size_t i = e; i < last; ++i) {
            token.push_back(s[i]);
            if (s[i] == ' ') break;
        }
        if (token.size() <= 20) return token;
        p = 2 * e + token.size();
    }
    return std::nullopt;
}

std::optional<VarintEnd> varintEndingAt(const PageImage& image, std::uint64_t end) {
    if (end == 0 || (image.byteAt(end) & 0x80) != 0) return std::nullopt;
    std::uint64_t start = end;
    while (end - start < 8 && start > 1 && (image.byteAt(start - 1) & 0x80) != 0) --start;
    std::uint64_t v = 0;
    for (std::uint64_t p = start; p <= end; ++p) v = (v << 7) | (image.byteAt(p) & 0x7F);
    return VarintEnd{v, start};
}

}  // namespace salvor::carve
