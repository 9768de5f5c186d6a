#include "carve/btree_walk.h"

#include <algorithm>

#include "carve/record_decoder.h"

namespace salvor::carve {

namespace {

constexpr std::size_t kMaxDepth = 40;  // far deeper than any real tree of 2^32 pages

// How SQLite splits an index cell's payload: more of it stays on the page.
std::uint64_t indexLocal(std::uint64_t payload, std::uint32_t usable) {
    const std::uint64_t u = usable;
    const std::uint64_t maxLocal = (u - 12) * 64 / 255 - 23;
    if (payload <= maxLocal) return payload;
    const std::uint64_t minLocal = (u - 12) * 32 / 255 - 23;
    const std::uint64_t k = minLocal + (payload - minLocal) % (u - 4);
    return k <= maxLocal ? k : minLocal;
}

}  // namespace

BtreeWalk::BtreeWalk(const DatabaseImage& image) : image_(image), uses_(std::size_t{image.pageCount()} + 1) {}

const PageUse& BtreeWalk::use(std::uint32_t page) const {
    static const PageUse none;
    return page < uses_.size() ? uses_[page] : none;
}

bool BtreeWalk::claim(std::uint32_t page, PageRole role, std::uint32_t tree) {
    if (page == 0 || page >= uses_.size()) return false;
    if (uses_[page].role != PageRole::unknown) return false;
    uses_[page] = {role, static_cast<std::int32_t>(tree)};
    return true;
}

bool BtreeWalk::payload(Bytes page, const TableCell& cell, std::vector<std::uint8_t>& out, bool markOverflow) {
    out.clear();
    if (cell.payloadAt + cell.local > page.size()) return false;
    out.insert(out.end(), page.begin() + cell.payloadAt, page.begin() + static_cast<std::ptrdiff_t>(cell.payloadAt + cell.local));
    std::uint32_t next = cell.overflow;
    const std::uint32_t each = image_.usableSize() - 4;
    // The chain holds exactly as many pages as the payload needs; a longer
    // one is a cycle or a crafted link.
    std::uint64_t pages = cell.payload > cell.local ? (cell.payload - cell.local + each - 1) / each : 0;
    while (out.size() < cell.payload) {
        if (next == 0 || pages-- == 0) return false;
        const Bytes bytes = image_.currentPage(next);
        if (bytes.size() < image_.usableSize()) return false;
        if (markOverflow) {
            if (!claim(next, PageRole::overflow, 0)) return false;
        } else if (const PageRole r = use(next).role; r != PageRole::unknown && r != PageRole::freeLeaf &&
                                                      r != PageRole::overflow) {
            // Reused by a live tree since: the rest of this payload is gone.
            return false;
        }
        const std::uint64_t take = std::min<std::uint64_t>(each, cell.payload - out.size());
        out.insert(out.end(), bytes.begin() + 4, bytes.begin() + 4 + static_cast<std::ptrdiff_t>(take));
        next = readU32(bytes, 0);
    }
    return true;
}

bool decodeRecord(Bytes payload, const TableSchema& table, TextEncoding encoding, std::int64_t rowid,
                  std::vector<Value>& values, bool allowShorter) {
    std::uint64_t headerLength = 0;
    const auto types = readHeader(payload, 0, payload.size(), &headerLength);
    if (!types || !tableFit(*types, table, allowShorter)) return false;
    if (headerLength + bodyLength(*types) != payload.size()) return false;
    values.assign(table.columns.size(), Value{});
    std::size_t at = static_cast<std::size_t>(headerLength);
    for (std::size_t i = 0; i < types->size(); ++i) {
        const std::size_t n = static_cast<std::size_t>(serialLength((*types)[i]));
        auto v = decodeValue((*types)[i], payload.subspan(at, n), encoding, table.columns[i]);
        if (!v) return false;
        values[i] = std::move(*v);
        at += n;
    }
    if (table.rowidColumn >= 0) {
        values[static_cast<std::size_t>(table.rowidColumn)].type = Value::Type::integer;
        values[static_cast<std::size_t>(table.rowidColumn)].integer = rowid;
    }
    return true;
}

bool BtreeWalk::decode(const LiveCell& cell, const TableSchema& table, std::vector<Value>& values) {
    if (!payload(cell.bytes, cell.cell, scratch_, false) && scratch_.size() < cell.cell.payload) return false;
    return decodeRecord(scratch_, table, image_.encoding(), cell.cell.rowid, values);
}

void BtreeWalk::walkTable(std::uint32_t root, const std::function<void(const LiveCell&)>& visit) {
    struct Step {
        std::uint32_t page;
        std::size_t depth;
    };
    std::vector<Step> stack{{root, 0}};
    std::vector<std::uint8_t> buffer;
    while (!stack.empty()) {
        const Step step = stack.back();
        stack.pop_back();
        const Bytes bytes = image_.currentPage(step.page);
        if (bytes.empty()) continue;
        const auto page = readBtreePage(bytes, image_.usableSize(), step.page == 1 ? 100 : 0);
        if (!page || !page->isTable()) {
            diagnostics_.push_back("page " + std::to_string(step.page) + " of the tree at page " + std::to_string(root) +
                                   " is not a table page");
            continue;
        }
        if (!claim(step.page, page->kind == PageKind::tableLeaf ? PageRole::tableLeaf : PageRole::tableInterior, root)) {
            diagnostics_.push_back("page " + std::to_string(step.page) + " is listed twice; the second listing is not followed");
            continue;
        }
        if (page->damaged) diagnostics_.push_back("page " + std::to_string(step.page) + " has a damaged header");
        if (page->kind == PageKind::tableInterior) {
            if (step.depth >= kMaxDepth) continue;
            // Children pushed in reverse so the leaves are visited in key order.
            stack.push_back({page->rightChild, step.depth + 1});
            for (auto it = page->cells.rbegin(); it != page->cells.rend(); ++it)
                stack.push_back({readU32(bytes, *it), step.depth + 1});
            continue;
        }
        for (const std::uint32_t at : page->cells) {
            const auto cell = readTableCell(bytes, image_.usableSize(), at);
            if (!cell) continue;
            LiveCell live{step.page, at, *cell, bytes};
            if (cell->overflow != 0) payload(bytes, *cell, buffer, true);  // claims the chain
            visit(live);
        }
    }
}

void BtreeWalk::walkIndex(std::uint32_t root) {
    std::vector<std::pair<std::uint32_t, std::size_t>> stack{{root, 0}};
    std::vector<std::uint8_t> buffer;
    while (!stack.empty()) {
        const auto [number, depth] = stack.back();
        stack.pop_back();
        const Bytes bytes = image_.currentPage(number);
        if (bytes.empty()) continue;
        const auto page = readBtreePage(bytes, image_.usableSize(), number == 1 ? 100 : 0);
        if (!page || page->isTable() || !claim(number, PageRole::index, root)) continue;
        const bool interior = page->isInterior();
        for (const std::uint32_t at : page->cells) {
            std::uint32_t p = at + (interior ? 4 : 0);
            if (interior && depth < kMaxDepth) stack.push_back({readU32(bytes, at), depth + 1});
            const Varint size = readVarint(bytes.first(image_.usableSize()), p);
            if (size.length == 0) continue;
            p += size.length;
            const std::uint64_t local = indexLocal(size.value, image_.usableSize());
            if (local >= size.value) continue;
            // Mark the overflow chain so its pages are not read as free.
            std::uint32_t next = readU32(bytes, p + local);
            const std::uint32_t each = image_.usableSize() - 4;
            for (std::uint64_t n = (size.value - local + each - 1) / each; next != 0 && n > 0; --n) {
                if (!claim(next, PageRole::overflow, root)) break;
                next = readU32(image_.currentPage(next), 0);
            }
        }
        if (interior && depth < kMaxDepth) stack.push_back({page->rightChild, depth + 1});
    }
}

void BtreeWalk::walkFreelist() {
    std::uint32_t trunk = image_.firstFreelistTrunk();
    const std::uint32_t perTrunk = image_.usableSize() / 4 - 2;
    while (trunk != 0) {
        if (!claim(trunk, PageRole::freeTrunk, 0)) {
            if (trunk < uses_.size()) diagnostics_.push_back("the free list turns back on page " + std::to_string(trunk));
            break;
        }
        const Bytes bytes = image_.currentPage(trunk);
        const std::uint32_t count = std::min(readU32(bytes, 4), perTrunk);
        for (std::uint32_t i = 0; i < count; ++i) claim(readU32(bytes, 8 + 4 * i), PageRole::freeLeaf, 0);
        trunk = readU32(bytes, 0);
    }
}

}  // namespace salvor::carve
