// The byte reader driven by its input: the first byte says how many of the
// following bytes are operations; the rest is the data they read. Operations
// read, peek, seek, skip and cut slices of slices at offsets chosen small,
// near the end or near 2^64. Every answer is checked against a plain reference
// computed from the data pointer, so a read that escapes its view, a failure
// that moves the position or a refusal of a read that fits all abort.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/byte_reader.h"

namespace {

using salvor::ByteReader;
__extension__ typedef unsigned __int128 Wide;  // sums that cannot wrap

void check(bool ok) {
    if (!ok) std::abort();
}

// Reads the operations; past their end it answers zeros.
struct Ops {
    const std::uint8_t* p;
    std::size_t n;
    std::size_t i = 0;
    bool more() const { return i < n; }
    std::uint8_t byte() { return i < n ? p[i++] : 0; }
    std::uint64_t wide() {
        std::uint64_t v = 0;
        for (int k = 0; k < 8; ++k) v = (v << 8) | byte();
        return v;
    }
    // An offset or length: small, just around the size, or just below 2^64.
    std::uint64_t amount(std::size_t size) {
        const std::uint8_t sel = byte();
        const std::uint8_t k = byte();
        switch (sel % 4) {
        case 0: return k;
        case 1: return size + k - 128;  // wraps for a small size: also a hostile value
        case 2: return UINT64_MAX - k;
        default: return wide();
        }
    }
};

bool fits(const ByteReader& r, std::uint64_t offset, std::uint64_t length) {
    return Wide{offset} + length <= r.size();
}

std::uint64_t refBE(const ByteReader& r, std::size_t at, unsigned width) {
    std::uint64_t v = 0;
    for (unsigned i = 0; i < width; ++i) v = (v << 8) | r.data()[at + i];
    return v;
}

// SQLite varint decoded the long way: gather up to 9 bytes, then assemble.
bool refVarint(const ByteReader& r, std::size_t at, std::uint64_t& value, unsigned& length) {
    value = 0;
    for (unsigned i = 0; i < 9; ++i) {
        if (at + i >= r.size()) return false;
        const std::uint8_t b = r.data()[at + i];
        if (i == 8) {
            value = (value << 8) | b;
            length = 9;
            return true;
        }
        value = (value << 7) | (b & 0x7Fu);
        if (!(b & 0x80)) {
            length = i + 1;
            return true;
        }
    }
    return false;
}

bool inside(const ByteReader& child, const ByteReader& parent) {
    if (child.size() == 0) return true;
    const auto c = reinterpret_cast<std::uintptr_t>(child.data());
    const auto p = reinterpret_cast<std::uintptr_t>(parent.data());
    return c >= p && Wide{c - p} + child.size() <= parent.size();
}

// A fixed-width read at the position, checked against the reference.
template <class Read>
void fixedRead(ByteReader& r, unsigned width, Read read) {
    const std::size_t at = r.position();
    const auto got = read(r);
    check(got.has_value() == fits(r, at, width));
    if (got) {
        check(static_cast<std::uint64_t>(*got) == refBE(r, at, width) && r.position() == at + width);
    } else {
        check(r.position() == at);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t opCount = std::min<std::size_t>(data[0], size - 1);
    Ops ops{data + 1, opCount};
    // The data gets its own copy, so any read past it is a heap overflow the sanitizers see.
    const std::vector<std::uint8_t> bytes(data + 1 + opCount, data + size);

    std::vector<ByteReader> stack{ByteReader(bytes.data(), bytes.size())};
    std::string text;
    while (ops.more()) {
        ByteReader& r = stack.back();
        const std::size_t at = r.position();
        const std::uint8_t op = ops.byte();
        switch (op % 16) {
        case 0: fixedRead(r, 1, [](ByteReader& x) { return x.u8(); }); break;
        case 1: fixedRead(r, 2, [](ByteReader& x) { return x.u16(); }); break;
        case 2: fixedRead(r, 3, [](ByteReader& x) { return x.u24(); }); break;
        case 3: fixedRead(r, 4, [](ByteReader& x) { return x.u32(); }); break;
        case 4: fixedRead(r, 6, [](ByteReader& x) { return x.u48(); }); break;
        case 5: fixedRead(r, 8, [](ByteReader& x) { return x.u64(); }); break;
        case 6: {
            std::uint64_t want = 0;
            unsigned len = 0;
            const bool ok = refVarint(r, at, want, len);
            const auto got = r.varint();
            check(got.has_value() == ok);
            check(got ? *got == want && r.position() == at + len : r.position() == at);
            break;
        }
        case 7: {
            const std::uint64_t n = ops.amount(r.remaining());
            const auto got = r.bytes(n);
            check(got.has_value() == fits(r, at, n));
            check(got ? got->data() == r.data() + at && got->size() == n && r.position() == at + n
                      : r.position() == at);
            break;
        }
        case 8: {
            const std::uint64_t n = ops.amount(r.remaining());
            text = "kept";
            const bool ok = r.string(n, text);
            check(ok == fits(r, at, n));
            const bool same = !ok || n == 0 || std::memcmp(text.data(), r.data() + at, n) == 0;
            check(ok ? text.size() == n && same && r.position() == at + n : text == "kept" && r.position() == at);
            break;
        }
        case 9: {
            const std::uint64_t n = ops.amount(r.remaining());
            const bool ok = r.skip(n);
            check(ok == fits(r, at, n) && r.position() == (ok ? at + n : at));
            break;
        }
        case 10: {
            const std::uint64_t off = ops.amount(r.size());
            const bool ok = r.seek(off);
            check(ok == (off <= r.size()) && r.position() == (ok ? off : at));
            break;
        }
        case 11:
        case 12: {  // a slice at an absolute offset, or the next bytes taken as one
            const bool take = op % 16 == 12;
            const std::uint64_t off = take ? at : ops.amount(r.size());
            const std::uint64_t room = take ? r.remaining() : r.size() - std::min<std::uint64_t>(off, r.size());
            const std::uint64_t len = ops.amount(room);
            const auto child = take ? r.take(len) : r.slice(off, len);
            check(child.has_value() == fits(r, off, len));
            check(r.position() == (take && child ? at + len : at));
            if (child) {
                check(child->size() == len && child->position() == 0 && inside(*child, r));
                check(child->size() == 0 || child->data() == r.data() + off);
                if (stack.size() < 16) stack.push_back(*child);
            }
            break;
        }
        case 13:
            if (stack.size() > 1) stack.pop_back();
            break;
        default: {  // peeks anywhere, position untouched
            const std::uint64_t off = ops.amount(r.size());
            const unsigned width = 1 + ops.byte() % 8;
            const auto u16 = r.peekU16(off);
            const auto u48 = r.peekU48(off);
            const auto v = r.peekVarint(off);
            const auto span = r.peekBytes(off, width);
            check(u16.has_value() == fits(r, off, 2) && (!u16 || *u16 == refBE(r, off, 2)));
            check(u48.has_value() == fits(r, off, 6) && (!u48 || *u48 == refBE(r, off, 6)));
            check(span.has_value() == fits(r, off, width));
            std::uint64_t want = 0;
            unsigned len = 0;
            const bool ok = off < r.size() && refVarint(r, off, want, len);
            check(v.has_value() == ok && (!v || (v->value == want && v->length == len)));
            check(r.position() == at);
        }
        }
        for (std::size_t i = 0; i < stack.size(); ++i) {
            const ByteReader& s = stack[i];
            check(s.position() <= s.size() && s.remaining() == s.size() - s.position());
            if (i > 0) check(inside(s, stack[i - 1]));
        }
    }
    return 0;
}
