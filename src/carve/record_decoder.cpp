#include "carve/record_decoder.h"

#include <bit>
#include <cmath>
#include <string>

#include "core/utf8.h"

namespace salvor::carve {

std::optional<std::vector<std::uint64_t>> readHeader(Bytes bytes, std::size_t at, std::size_t limit,
                                                     std::uint64_t* headerLength) {
    limit = std::min(limit, bytes.size());
    const Varint h = readVarint(bytes.first(limit), at);
    if (h.length == 0 || h.value < h.length + 1 || at + h.value > limit) return std::nullopt;
    std::vector<std::uint64_t> types;
    std::size_t p = at + h.length;
    const std::size_t end = at + static_cast<std::size_t>(h.value);
    while (p < end) {
        const Varint t = readVarint(bytes.first(end), p);
        if (t.length == 0 || t.value == 10 || t.value == 11 || types.size() >= kMaxColumns) return std::nullopt;
        types.push_back(t.value);
        p += t.length;
    }
    if (headerLength) *headerLength = h.value;
    return types;
}

std::optional<std::vector<std::uint64_t>> readTypes(Bytes bytes, std::size_t at, std::size_t limit, std::size_t count,
                                                    std::size_t* end) {
    limit = std::min(limit, bytes.size());
    std::vector<std::uint64_t> types;
    types.reserve(count);
    std::size_t p = at;
    for (std::size_t i = 0; i < count; ++i) {
        const Varint t = readVarint(bytes.first(limit), p);
        if (t.length == 0 || t.value == 10 || t.value == 11) return std::nullopt;
        types.push_back(t.value);
        p += t.length;
    }
    if (end) *end = p;
    return types;
}

std::uint64_t bodyLength(const std::vector<std::uint64_t>& types) {
    std::uint64_t n = 0;
    for (std::uint64_t t : types) n += serialLength(t);
    return n;
}

namespace {

bool isNumberType(std::uint64_t t) { return t >= 1 && t <= 9; }
bool isText(std::uint64_t t) { return t >= 13 && (t & 1); }
bool isBlob(std::uint64_t t) { return t >= 12 && !(t & 1); }

std::int64_t signedBody(Bytes body) {
    std::uint64_t v = !body.empty() && (body[0] & 0x80) ? ~std::uint64_t{0} : 0;
    for (std::uint8_t b : body) v = (v << 8) | b;
    return static_cast<std::int64_t>(v);
}

// A stored date: seconds (since 1970 or 2001, either side), milliseconds or
// nanoseconds of the same span, or 0.
bool plausibleDate(double v) {
    const double a = std::fabs(v);
    return a == 0 || a <= 4.2e9 || (a >= 1e11 && a <= 4.2e12) || (a >= 1e17 && a <= 4.2e18);
}

// UTF-16 in either byte order to UTF-8; nothing for an odd length or a lone surrogate.
std::optional<std::string> fromUtf16(Bytes body, bool little) {
    if (body.size() % 2) return std::nullopt;
    std::string out;
    out.reserve(body.size());
    for (std::size_t i = 0; i < body.size(); i += 2) {
        std::uint32_t c = little ? (body[i] | body[i + 1] << 8) : (body[i] << 8 | body[i + 1]);
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 3 >= body.size()) return std::nullopt;
            const std::uint32_t d = little ? (body[i + 2] | body[i + 3] << 8) : (body[i + 2] << 8 | body[i + 3]);
            if (d < 0xDC00 || d > 0xDFFF) return std::nullopt;
            c = 0x10000 + ((c - 0xD800) << 10) + (d - 0xDC00);
            i += 2;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return std::nullopt;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | c >> 12);
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | c >> 18);
            out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

bool cleanText(const std::string& s) {
    for (char ch : s) {
        const auto b = static_cast<unsigned char>(ch);
        if (b < 0x20 && b != '\t' && b != '\n' && b != '\r') return false;
    }
    return utf8::isValid(s);
}

}  // namespace

int typeFit(std::uint64_t t, const TableColumn& column) {
    if (t == 10 || t == 11) return -1;
    if (t == 0) return 0;
    switch (column.affinity) {
    case 'i':
    case 'r':
        // A number column converts text that reads as a number; any other
        // text or a blob there is not what the application stored.
        return isNumberType(t) ? 2 : -1;
    case 't': return isText(t) ? 2 : isBlob(t) ? 0 : -1;
    case 'n': return isNumberType(t) ? 2 : 0;
    default: return 0;
    }
}

std::optional<Value> decodeValue(std::uint64_t t, Bytes body, TextEncoding encoding, const TableColumn& column) {
    Value v;
    if (t == 0) return v;
    if (body.size() != serialLength(t)) return std::nullopt;
    if (t == 8 || t == 9) {
        v.type = Value::Type::integer;
        v.integer = t == 9;
    } else if (t <= 6) {
        v.type = Value::Type::integer;
        v.integer = signedBody(body);
    } else if (t == 7) {
        v.type = Value::Type::real;
        std::uint64_t bits = 0;
        for (std::uint8_t b : body) bits = (bits << 8) | b;
        v.real = std::bit_cast<double>(bits);
        if (std::isnan(v.real)) return std::nullopt;
    } else if (isBlob(t)) {
        v.type = Value::Type::blob;
        v.bytes.assign(reinterpret_cast<const char*>(body.data()), body.size());
        return v;
    } else {
        v.type = Value::Type::text;
        if (encoding == TextEncoding::utf8) {
            v.bytes.assign(reinterpret_cast<const char*>(body.data()), body.size());
        } else {
            auto text = fromUtf16(body, encoding == TextEncoding::utf16le);
            if (!text) return std::nullopt;
            v.bytes = std::move(*text);
        }
        if (!cleanText(v.bytes)) return std::nullopt;
        return v;
    }
    // SQLite stores a whole number of a REAL column as an integer to save
    // room; it reads back as the real it was.
    if (column.affinity == 'r' && v.type == Value::Type::integer) {
        v.type = Value::Type::real;
        v.real = static_cast<double>(v.integer);
        v.integer = 0;
    }
    const double number = v.type == Value::Type::real ? v.real : static_cast<double>(v.integer);
    if (column.isBoolean && number != 0 && number != 1) return std::nullopt;
    if (column.isDate && !plausibleDate(number)) return std::nullopt;
    return v;
}

bool looksLikeText(std::string_view bytes) { return cleanText(std::string(bytes)); }

std::optional<int> tableFit(const std::vector<std::uint64_t>& types, const TableSchema& table, bool allowShorter) {
    const std::size_t n = table.columns.size();
    if (types.empty() || types.size() > n || (!allowShorter && types.size() != n)) return std::nullopt;
    int score = 0;
    for (std::size_t i = 0; i < types.size(); ++i) {
        // The row-id column is stored as NULL.
        if (static_cast<int>(i) == table.rowidColumn) {
            if (types[i] != 0) return std::nullopt;
            score += 1;
            continue;
        }
        const int fit = typeFit(types[i], table.columns[i]);
        if (fit < 0) return std::nullopt;
        score += fit;
    }
    return score;
}

}  // namespace salvor::carve
