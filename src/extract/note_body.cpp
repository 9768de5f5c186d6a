#include "extract/note_body.h"

#include <zlib.h>

#include <algorithm>

#include "core/byte_reader.h"
#include "core/utf8.h"

namespace salvor::notebody {

std::optional<std::vector<std::uint8_t>> gunzip(std::span<const std::uint8_t> gz, std::size_t maxOut,
                                                bool* pastLimit) {
    if (pastLimit) *pastLimit = false;
    if (gz.size() < 2 || gz[0] != 0x1F || gz[1] != 0x8B) return std::nullopt;
    z_stream zs{};
    // 16 + 15: a gzip wrapper around a deflate stream with the largest window.
    if (inflateInit2(&zs, 16 + MAX_WBITS) != Z_OK) return std::nullopt;
    std::vector<std::uint8_t> out;
    constexpr std::size_t kChunk = 64 * 1024;
    std::size_t consumed = 0;
    int rc = Z_OK;
    // zlib's counters are 32-bit: feed the input in pieces it can count.
    while (rc == Z_OK) {
        if (zs.avail_in == 0 && consumed < gz.size()) {
            const std::size_t piece = std::min<std::size_t>(gz.size() - consumed, 1u << 30);
            zs.next_in = const_cast<Bytef*>(gz.data() + consumed);
            zs.avail_in = static_cast<uInt>(piece);
            consumed += piece;
        }
        // Memory grows only with what the stream really inflates to, never
        // with a length it claims.
        const std::size_t room = std::min(kChunk, maxOut - out.size());
        if (room == 0) {
            // Full: the stream must end here, without another byte.
            std::uint8_t probe = 0;
            zs.next_out = &probe;
            zs.avail_out = 1;
            rc = inflate(&zs, Z_NO_FLUSH);
            if (zs.avail_out == 0) {
                rc = Z_BUF_ERROR;
                if (pastLimit) *pastLimit = true;
            }
            break;
        }
        const std::size_t had = out.size();
        out.resize(had + room);
        zs.next_out = out.data() + had;
        zs.avail_out = static_cast<uInt>(room);
        rc = inflate(&zs, Z_NO_FLUSH);
        out.resize(had + (room - zs.avail_out));
        // No progress with all input given: the stream is cut short.
        if (rc == Z_BUF_ERROR || (rc == Z_OK && zs.avail_in == 0 && consumed == gz.size() && zs.avail_out != 0))
            rc = Z_BUF_ERROR;
    }
    inflateEnd(&zs);
    if (rc != Z_STREAM_END) return std::nullopt;
    return out;
}

namespace {

enum Wire : std::uint8_t { kVarint = 0, kFixed64 = 1, kDelimited = 2, kFixed32 = 5 };

// A protocol-buffer varint: little-endian groups of seven bits, at most ten bytes.
std::optional<std::uint64_t> pbVarint(ByteReader& r) {
    std::uint64_t v = 0;
    const std::size_t start = r.position();
    for (int i = 0; i < 10; ++i) {
        const auto b = r.u8();
        if (!b) break;
        v |= static_cast<std::uint64_t>(*b & 0x7F) << (7 * i);
        if ((*b & 0x80) == 0) return v;
    }
    r.seek(start);
    return std::nullopt;
}

struct Field {
    std::uint32_t number = 0;
    std::uint8_t wire = 0;
    ByteReader payload;  // length-delimited fields only
};

// The next field of a message; absent at the end or when it is malformed
// (then `bad` is set).
std::optional<Field> nextField(ByteReader& r, bool& bad) {
    if (r.atEnd()) return std::nullopt;
    const auto key = pbVarint(r);
    if (!key || (*key >> 3) == 0 || (*key >> 3) > 0x1FFFFFFF) {
        bad = true;
        return std::nullopt;
    }
    Field f;
    f.number = static_cast<std::uint32_t>(*key >> 3);
    f.wire = static_cast<std::uint8_t>(*key & 7);
    bool ok = false;
    switch (f.wire) {
        case kVarint: ok = pbVarint(r).has_value(); break;
        case kFixed64: ok = r.skip(8); break;
        case kFixed32: ok = r.skip(4); break;
        case kDelimited: {
            const auto n = pbVarint(r);
            if (n) {
                auto sub = r.take(*n);
                ok = sub.has_value();
                if (ok) f.payload = *sub;
            }
            break;
        }
        default: break;  // groups (3, 4) and reserved wire types
    }
    if (!ok) {
        bad = true;
        return std::nullopt;
    }
    return f;
}

std::size_t countIn(ByteReader r, std::size_t depth, bool& bad) {
    std::size_t n = 0;
    bool localBad = false;
    while (auto f = nextField(r, localBad)) {
        ++n;
        if (f->wire == kDelimited && depth > 1) {
            // A string or bytes field may happen to parse as a message; one
            // that does not is simply not descended into.
            bool inner = false;
            const std::size_t k = countIn(f->payload, depth - 1, inner);
            if (!inner) n += k;
        }
    }
    if (localBad) bad = true;
    return n;
}

}  // namespace

std::optional<std::span<const std::uint8_t>> findBytes(std::span<const std::uint8_t> message,
                                                       std::initializer_list<std::uint32_t> path) {
    if (path.size() == 0 || path.size() > kMaxDepth) return std::nullopt;
    ByteReader level(message);
    for (const std::uint32_t want : path) {
        bool bad = false;
        std::optional<ByteReader> found;
        while (auto f = nextField(level, bad)) {
            if (f->number == want && f->wire == kDelimited) {
                found = f->payload;
                break;
            }
        }
        if (!found) return std::nullopt;
        level = *found;
    }
    return std::span<const std::uint8_t>(level.data(), level.size());
}

std::optional<std::size_t> countFields(std::span<const std::uint8_t> message, std::size_t maxDepth) {
    if (maxDepth == 0) return 0;
    bool bad = false;
    const std::size_t n = countIn(ByteReader(message), std::min(maxDepth, kMaxDepth), bad);
    if (bad) return std::nullopt;
    return n;
}

std::optional<std::string> noteText(std::span<const std::uint8_t> zdata, std::size_t maxText, bool* tooLarge) {
    bool past = false;
    if (tooLarge) *tooLarge = false;
    const std::size_t maxDocument = maxText >= kMaxInflated / 2 ? kMaxInflated : 2 * maxText + (1u << 20);
    const auto document = gunzip(zdata, std::min(maxDocument, kMaxInflated), &past);
    if (!document) {
        if (tooLarge) *tooLarge = past;
        return std::nullopt;
    }
    const auto text = findBytes(*document, {2, 3, 2});
    if (!text) return std::nullopt;
    // Replacing invalid sequences never shortens a text: one longer than the
    // bound before is longer after.
    if (text->size() > maxText) {
        if (tooLarge) *tooLarge = true;
        return std::nullopt;
    }
    const std::string_view view(reinterpret_cast<const char*>(text->data()), text->size());
    std::string out = utf8::isValid(view) ? std::string(view) : utf8::replaceInvalid(view);
    if (out.size() > maxText) {
        if (tooLarge) *tooLarge = true;
        return std::nullopt;
    }
    return out;
}

}  // namespace salvor::notebody
