#include "carve/btree_page.h"

#include <algorithm>

namespace salvor::carve {

Varint readVarint(Bytes bytes, std::size_t at) {
    Varint v;
    // Eight bytes carry seven bits each, a ninth all eight.
    for (std::uint32_t i = 0; i < 9; ++i) {
        if (at + i >= bytes.size()) return {};
        const std::uint8_t b = bytes[at + i];
        if (i == 8) {
            v.value = (v.value << 8) | b;
            v.length = 9;
            return v;
        }
        v.value = (v.value << 7) | (b & 0x7F);
        if (!(b & 0x80)) {
            v.length = i + 1;
            return v;
        }
    }
    return {};
}

std::uint32_t readU16(Bytes bytes, std::size_t at) {
    if (at + 2 > bytes.size()) return 0;
    return (std::uint32_t{bytes[at]} << 8) | bytes[at + 1];
}

std::uint32_t readU32(Bytes bytes, std::size_t at) {
    if (at + 4 > bytes.size()) return 0;
    return (std::uint32_t{bytes[at]} << 24) | (std::uint32_t{bytes[at + 1]} << 16) | (std::uint32_t{bytes[at + 2]} << 8) |
           bytes[at + 3];
}

std::uint64_t serialLength(std::uint64_t t) {
    static constexpr std::uint8_t kFixed[] = {0, 1, 2, 3, 4, 6, 8, 8, 0, 0, 0, 0};
    if (t < 12) return kFixed[t];
    return (t - 12) / 2;
}

std::optional<BtreePage> readBtreePage(Bytes page, std::uint32_t usable, std::uint32_t headerAt) {
    usable = std::min<std::uint32_t>(usable, static_cast<std::uint32_t>(page.size()));
    if (headerAt + 8 > usable) return std::nullopt;
    BtreePage p;
    const std::uint8_t kind = page[headerAt];
    if (kind != 0x0D && kind != 0x05 && kind != 0x0A && kind != 0x02) return std::nullopt;
    p.kind = static_cast<PageKind>(kind);
    p.headerAt = headerAt;
    if (p.isInterior()) {
        if (headerAt + 12 > usable) return std::nullopt;
        p.rightChild = readU32(page, headerAt + 8);
    }
    p.cellCount = readU16(page, headerAt + 3);
    // 0 in the two-byte field stands for 65536.
    p.contentStart = readU16(page, headerAt + 5);
    if (p.contentStart == 0) p.contentStart = 65536;
    const std::uint32_t arrayStart = headerAt + (p.isInterior() ? 12u : 8u);
    if (p.pointerArrayEnd() > usable) {
        // More cells than the page can point to: keep the pointers that fit.
        p.damaged = true;
        p.cellCount = (usable - arrayStart) / 2;
    }
    const std::uint32_t firstContent = p.pointerArrayEnd();
    if (p.contentStart < firstContent || p.contentStart > usable) {
        p.damaged = true;
        p.contentStart = std::clamp(p.contentStart, firstContent, usable);
    }
    p.unallocated = {p.pointerArrayEnd(), p.contentStart};
    p.cells.reserve(p.cellCount);
    for (std::uint32_t i = 0; i < p.cellCount; ++i) {
        const std::uint32_t at = readU16(page, arrayStart + 2 * i);
        if (at < firstContent || at + 4 > usable) {
            p.damaged = true;
            continue;
        }
        p.cells.push_back(at);
    }
    // Free blocks: a two-byte link to the next and a two-byte size, in
    // increasing order of offset; anything else ends the chain.
    std::uint32_t next = readU16(page, headerAt + 1);
    std::uint32_t after = firstContent;
    while (next != 0) {
        if (next < after || next + 4 > usable) {
            p.damaged = true;
            break;
        }
        const std::uint32_t size = readU16(page, next + 2);
        if (size < 4 || next + size > usable) {
            p.damaged = true;
            break;
        }
        p.freeblocks.push_back({next, next + size});
        after = next + size;
        next = readU16(page, next);
    }
    return p;
}

std::uint64_t localPayload(std::uint64_t payload, std::uint32_t usable) {
    const std::uint64_t u = usable;
    if (u < 480) return std::min<std::uint64_t>(payload, u);  // no valid page is this small
    const std::uint64_t maxLocal = u - 35;
    if (payload <= maxLocal) return payload;
    const std::uint64_t minLocal = (u - 12) * 32 / 255 - 23;
    const std::uint64_t k = minLocal + (payload - minLocal) % (u - 4);
    return k <= maxLocal ? k : minLocal;
}

std::optional<TableCell> readTableCell(Bytes page, std::uint32_t usable, std::uint32_t at) {
    usable = std::min<std::uint32_t>(usable, static_cast<std::uint32_t>(page.size()));
    const Varint payload = readVarint(page.first(usable), at);
    if (payload.length == 0) return std::nullopt;
    const Varint rowid = readVarint(page.first(usable), at + payload.length);
    if (rowid.length == 0) return std::nullopt;
    TableCell c;
    c.payload = payload.value;
    c.rowid = static_cast<std::int64_t>(rowid.value);
    c.payloadAt = at + payload.length + rowid.length;
    c.local = localPayload(c.payload, usable);
    std::uint64_t end = c.payloadAt + c.local;
    if (c.local < c.payload) {
        c.overflow = readU32(page.first(usable), static_cast<std::size_t>(end));
        end += 4;
    }
    if (end > usable) return std::nullopt;
    c.end = static_cast<std::uint32_t>(end);
    return c;
}

}  // namespace salvor::carve
