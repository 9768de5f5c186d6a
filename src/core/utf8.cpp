#include "core/utf8.h"

namespace salvor::utf8 {

namespace {
// Start of a sequence: how many continuation bytes follow and the allowed
// range of the first one (excludes overlong forms, surrogates, > U+10FFFF).
bool leadByte(std::uint8_t b, int& remaining, std::uint8_t& lo, std::uint8_t& hi) {
    lo = 0x80;
    hi = 0xBF;
    if (b < 0x80) {
        remaining = 0;
    } else if (b >= 0xC2 && b <= 0xDF) {
        remaining = 1;
    } else if (b == 0xE0) {
        remaining = 2;
        lo = 0xA0;
    } else if ((b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF) {
        remaining = 2;
    } else if (b == 0xED) {
        remaining = 2;
        hi = 0x9F;
    } else if (b == 0xF0) {
        remaining = 3;
        lo = 0x90;
    } else if (b >= 0xF1 && b <= 0xF3) {
        remaining = 3;
    } else if (b == 0xF4) {
        remaining = 3;
        hi = 0x8F;
    } else {
        return false;
    }
    return true;
}
}  // namespace

bool nextCodePoint(std::string_view text, std::size_t& pos, char32_t& codePoint) {
    const auto b0 = static_cast<std::uint8_t>(text[pos]);
    int remaining = 0;
    std::uint8_t lo = 0x80, hi = 0xBF;
    if (!leadByte(b0, remaining, lo, hi)) {
        ++pos;
        return false;
    }
    if (remaining == 0) {
        codePoint = b0;
        ++pos;
        return true;
    }
    if (pos + static_cast<std::size_t>(remaining) >= text.size()) {
        ++pos;
        return false;
    }
    char32_t cp = b0 & (remaining == 1 ? 0x1F : remaining == 2 ? 0x0F : 0x07);
    for (int k = 1; k <= remaining; ++k) {
        const auto b = static_cast<std::uint8_t>(text[pos + static_cast<std::size_t>(k)]);
        if (b < lo || b > hi) {
            ++pos;
            return false;
        }
        lo = 0x80;
        hi = 0xBF;
        cp = (cp << 6) | (b & 0x3F);
    }
    pos += static_cast<std::size_t>(remaining) + 1;
    codePoint = cp;
    return true;
}

std::size_t codePointCount(std::string_view text) {
    std::size_t n = 0;
    char32_t cp = 0;
    for (std::size_t pos = 0; pos < text.size(); ++n) nextCodePoint(text, pos, cp);
    return n;
}

std::string_view prefixWithin(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    std::size_t pos = 0, end = 0;
    char32_t cp = 0;
    while (pos < text.size()) {
        nextCodePoint(text, pos, cp);
        if (pos > maxBytes) break;
        end = pos;
    }
    return text.substr(0, end);
}

bool isValid(std::string_view text) {
    Utf8Validator validator;
    validator.feed(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    return validator.finish();
}

std::string replaceInvalid(std::string_view text) {
    static constexpr char kReplacement[] = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto b0 = static_cast<std::uint8_t>(text[pos]);
        int remaining = 0;
        std::uint8_t lo = 0x80, hi = 0xBF;
        if (!leadByte(b0, remaining, lo, hi)) {
            out.append(kReplacement, 3);
            ++pos;
            continue;
        }
        // Take continuation bytes while they fit; a sequence cut short is
        // replaced as a whole and the byte that cut it starts the next one.
        std::size_t len = 1;
        while (remaining > 0 && pos + len < text.size()) {
            const auto b = static_cast<std::uint8_t>(text[pos + len]);
            if (b < lo || b > hi) break;
            lo = 0x80;
            hi = 0xBF;
            ++len;
            --remaining;
        }
        if (remaining == 0)
            out.append(text.substr(pos, len));
        else
            out.append(kReplacement, 3);
        pos += len;
    }
    return out;
}

std::string toUtf16LEWithBom(std::string_view text) {
    // At most two bytes per input byte (a 4-byte sequence becomes 4 bytes), plus the mark.
    std::string out(2 + text.size() * 2, '\0');
    char* p = out.data();
    *p++ = static_cast<char>(0xFF);
    *p++ = static_cast<char>(0xFE);
    auto unit = [&p](char32_t u) {
        *p++ = static_cast<char>(u & 0xFF);
        *p++ = static_cast<char>((u >> 8) & 0xFF);
    };
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto b = static_cast<unsigned char>(text[pos]);
        if (b < 0x80) {  // the common case, without the decoder
            unit(b);
            ++pos;
            continue;
        }
        char32_t cp = 0;
        if (!nextCodePoint(text, pos, cp)) cp = 0xFFFD;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            unit(0xD800 + (cp >> 10));
            unit(0xDC00 + (cp & 0x3FF));
        } else {
            unit(cp);
        }
    }
    out.resize(static_cast<std::size_t>(p - out.data()));
    return out;
}

bool Utf8Validator::feed(const std::uint8_t* data, std::size_t size) {
    for (std::size_t i = 0; i < size && valid_; ++i) {
        const std::uint8_t b = data[i];
        if (remaining_ == 0) {
            valid_ = leadByte(b, remaining_, lo_, hi_);
        } else if (b < lo_ || b > hi_) {
            valid_ = false;
        } else {
            lo_ = 0x80;
            hi_ = 0xBF;
            --remaining_;
        }
    }
    return valid_;
}

}  // namespace salvor::utf8
