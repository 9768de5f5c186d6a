#include "carve/table_carver_internal.h"

namespace salvor::carve {

namespace detail {

void Carver::run() {
    walkLive();
    for (const PageVersion& v : image_.versions()) {
        if (options_.stopRequested && options_.stopRequested()) break;
        carveVersion(v);
    }
    settle();
}

void Carver::walkLive() {
    // Every tree is walked so its pages are known to be in use; only the
    // carved tables' rows are indexed.
    walk_.walkTable(1, [](const LiveCell&) {});
    for (std::uint32_t root : schema_->indexRoots) walk_.walkIndex(root);
    std::vector<Value> values;
    std::vector<std::uint8_t> buffer;
    for (const TableSchema& t : schema_->tables) {
        if (t.withoutRowid) {
            walk_.walkIndex(t.rootPage);
            continue;
        }
        const auto it = byRoot_.find(t.rootPage);
        TableState* state = it == byRoot_.end() ? nullptr : &tables_[static_cast<std::size_t>(it->second)];
        walk_.walkTable(t.rootPage, [&](const LiveCell& cell) {
            if (!state) return;
            state->live.push_back({cell.cell.rowid, cell.page, cell.offset});
            // The stored bytes are hashed as they are: decoding every
            // live row would cost more than the carving itself.
            Bytes payload = cell.bytes.subspan(cell.cell.payloadAt, static_cast<std::size_t>(cell.cell.local));
            if (cell.cell.overflow != 0) {
                walk_.payload(cell.bytes, cell.cell, buffer, false);
                payload = buffer;
            }
            std::uint64_t headerLength = 0;
            const auto types = readHeader(payload, 0, payload.size(), &headerLength);
            if (!types) return;
            const Bytes bodies = payload.subspan(static_cast<std::size_t>(headerLength));
            const RawHashes h = rawHashes(*types, 0, bodies);
            state->liveFull.values.push_back(h.full);
            state->liveSuffix.values.push_back(h.suffix);
            if (state->identity.empty()) return;
            // Only the identifying columns are decoded.
            values.assign(t.columns.size(), Value{});
            std::vector<std::size_t> offsets(types->size() + 1, 0);
            for (std::size_t i = 0; i < types->size(); ++i) offsets[i + 1] = offsets[i] + static_cast<std::size_t>(serialLength((*types)[i]));
            for (std::size_t i : state->identity) {
                if (i >= types->size() || offsets[i + 1] > bodies.size()) continue;
                if (auto v = decodeValue((*types)[i], bodies.subspan(offsets[i], offsets[i + 1] - offsets[i]), image_.encoding(), t.columns[i]))
                    values[i] = std::move(*v);
            }
            state->liveIdentity.emplace(identityHash(*state, values), cell.cell.rowid);
        });
        // Leaves are walked in key order: the ids come sorted unless the
        // tree is damaged.
        if (state && !std::is_sorted(state->live.begin(), state->live.end(),
                                     [](const LiveRow& a, const LiveRow& b) { return a.rowid < b.rowid; }))
            std::sort(state->live.begin(), state->live.end(), [](const LiveRow& a, const LiveRow& b) { return a.rowid < b.rowid; });
    }
    walk_.walkFreelist();
    for (const std::string& line : walk_.diagnostics()) report_.diagnostics.push_back(line);
}

std::optional<std::uint64_t> Carver::wholeIdentity(const TableState& t, const std::vector<Value>& values) const {
    if (t.identity.empty()) return std::nullopt;
    for (std::size_t i : t.identity)
        if (i >= values.size() || values[i].type == Value::Type::null) return std::nullopt;
    return identityHash(t, values);
}

std::uint64_t Carver::identityHash(const TableState& t, const std::vector<Value>& values) const {
    std::vector<Value> picked;
    for (std::size_t i : t.identity) picked.push_back(i < values.size() ? values[i] : Value{});
    return hashValues(picked, 0, -1);
}

void Carver::carveVersion(const PageVersion& v) {
    const Bytes bytes = v.bytes;
    const std::uint32_t usable = std::min<std::uint32_t>(image_.usableSize(), static_cast<std::uint32_t>(bytes.size()));
    const std::uint32_t headerAt = v.page == 1 ? 100 : 0;
    const PageUse& use = walk_.use(v.page);
    Source source{&v, false, v.current && use.role == PageRole::freeLeaf};
    if (v.current) {
        switch (use.role) {
        case PageRole::tableLeaf: {
            source.pageInUse = true;
            const auto page = readBtreePage(bytes, usable, headerAt);
            if (!page) return;
            const int hint = hintOf(use.tree);
            const std::size_t before = hint >= 0 ? tables_[static_cast<std::size_t>(hint)].found.size() : 0;
            carveFreeSpace(bytes, *page, hint, source);
            inferRowids(bytes, *page, hint, before);
            return;
        }
        case PageRole::tableInterior:
        case PageRole::index:
        case PageRole::overflow: return;
        case PageRole::freeTrunk: {
            // The trunk's list of page numbers overwrote the page's start;
            // old cells may stand after it.
            const std::uint32_t listed = std::min<std::uint32_t>(readU32(bytes, 4), usable / 4 - 2);
            scanRegion(bytes, 8 + 4 * listed, usable, -1, source, Region::freelist);
            return;
        }
        case PageRole::freeLeaf:
        case PageRole::unknown: break;
        }
    }
    // A page no live tree uses now, or an older image of any page: every
    // cell it lists was a row at its time.
    const Region region = v.current && use.role == PageRole::freeLeaf ? Region::freelist
                          : v.current                                 ? Region::unallocated
                                                                      : Region::cell;
    const auto page = readBtreePage(bytes, usable, headerAt);
    if (page && page->kind == PageKind::tableLeaf) {
        int hint = -1;
        if (const PageUse& now = walk_.use(v.page); now.role == PageRole::tableLeaf || now.role == PageRole::tableInterior)
            hint = hintOf(now.tree);
        if (hint < 0) hint = vote(bytes, *page);
        for (std::uint32_t at : page->cells) tryCell(bytes, at, usable, hint, false, source, region);
        const std::size_t before = hint >= 0 ? tables_[static_cast<std::size_t>(hint)].found.size() : 0;
        carveFreeSpace(bytes, *page, hint, source);
        inferRowids(bytes, *page, hint, before);
        return;
    }
    if (page && page->kind != PageKind::tableLeaf) return;  // an index or interior page: no rows
    // No b-tree header: old cells may still stand anywhere on the page.
    scanRegion(bytes, headerAt, usable, -1, source, region == Region::cell ? Region::unallocated : region);
}

void Carver::inferRowids(Bytes bytes, const BtreePage& page, int hint, std::size_t firstFound) {
    if (hint < 0) return;
    TableState& table = tables_[static_cast<std::size_t>(hint)];
    if (table.found.size() == firstFound) return;
    constexpr std::size_t listed = static_cast<std::size_t>(-1);
    struct Placed {
        std::uint64_t start;  // a listed cell's own offset; a carved record's payload's
        std::uint64_t end;    // one past its last byte
        std::optional<std::int64_t> rowid;
        std::size_t found;  // index in table.found, or `listed`
    };
    std::vector<Placed> cells;
    bool anyLost = false;
    for (std::size_t i = firstFound; i < table.found.size(); ++i) {
        const CarvedRow& r = table.found[i];
        if (r.partial) continue;  // its bounds are guessed
        anyLost |= !r.rowid;
        cells.push_back({r.offset, table.foundEnd[i], r.rowid, i});
    }
    if (!anyLost) return;
    // The listed cells' ids must move one way with their offsets.
    std::vector<std::pair<std::uint32_t, std::int64_t>> order;
    for (std::uint32_t at : page.cells) {
        const auto cell = readTableCell(bytes, image_.usableSize(), at);
        if (!cell) return;
        order.emplace_back(at, cell->rowid);
        const std::uint64_t local = localPayload(cell->payload, image_.usableSize());
        cells.push_back({at, cell->payloadAt + local + (local < cell->payload ? 4 : 0), cell->rowid, listed});
    }
    std::sort(order.begin(), order.end());
    int direction = 0;  // +1: ids rise with the offset
    for (std::size_t i = 1; i < order.size(); ++i) {
        if (order[i].second == order[i - 1].second) return;
        const int step = order[i].second > order[i - 1].second ? 1 : -1;
        if (direction != 0 && step != direction) return;
        direction = step;
    }
    if (direction == 0) return;
    std::sort(cells.begin(), cells.end(), [](const Placed& a, const Placed& b) { return a.start < b.start; });
    std::set<std::int64_t> taken;  // ids read intact on this page
    for (const Placed& c : cells)
        if (c.rowid) taken.insert(*c.rowid);
    const auto free = [&](std::int64_t id) { return id > 0 && !taken.count(id) && !liveRow(table, id); };
    const auto assign = [&](std::size_t from, std::size_t to, std::int64_t first, std::int64_t step) {
        for (std::size_t k = from; k < to; ++k) {
            const std::int64_t id = first + step * static_cast<std::int64_t>(k - from);
            if (!free(id)) return;
        }
        for (std::size_t k = from; k < to; ++k) {
            CarvedRow& row = table.found[cells[k].found];
            row.rowid = first + step * static_cast<std::int64_t>(k - from);
            row.rowidInferred = true;
            fillRowid(row, table.schema->rowidColumn);
        }
    };
    for (std::size_t i = 0; i < cells.size();) {
        if (cells[i].rowid) {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j < cells.size() && !cells[j].rowid) ++j;
        const Placed* before = i > 0 ? &cells[i - 1] : nullptr;
        const Placed* after = j < cells.size() ? &cells[j] : nullptr;
        const std::int64_t count = static_cast<std::int64_t>(j - i);
        if (before && after && (before->found == listed || after->found == listed) &&
            (*after->rowid - *before->rowid) * direction - 1 == count) {
            assign(i, j, *before->rowid + direction, direction);
        } else {
            // An unbroken chain from a listed cell: each record ends where
            // the next begins (a carved one's lengths, at most 8 bytes,
            // lie before its payload).
            const auto adjacent = [&](const Placed& lower, const Placed& upper) {
                if (upper.found == listed) return lower.end == upper.start;
                return lower.end + 2 <= upper.start && upper.start <= lower.end + 8;
            };
            bool chained = true;
            for (std::size_t k = i + 1; k < j && chained; ++k) chained = adjacent(cells[k - 1], cells[k]);
            TableState::Chain chain;
            if (chained && after && after->found == listed && adjacent(cells[j - 1], *after)) {
                chain.anchor = *after->rowid;
                chain.step = -direction;  // ids move away from the anchor as offsets fall
                for (std::size_t k = j; k-- > i;) chain.rows.push_back(cells[k].found);
            } else if (chained && before && before->found == listed && adjacent(*before, cells[i])) {
                chain.anchor = *before->rowid;
                chain.step = direction;
                for (std::size_t k = i; k < j; ++k) chain.rows.push_back(cells[k].found);
            }
            if (!chain.rows.empty()) table.chains.push_back(std::move(chain));
        }
        i = j;
    }
}

void Carver::settleChains(TableState& t) {
    // A row whose id was lost or told in one image may stand whole, id
    // and all, in another: the same stored form is the same row, and the
    // id read is the one it takes.
    std::unordered_map<std::uint64_t, std::int64_t> readIds;
    for (std::size_t i = 0; i < t.found.size(); ++i)
        if (t.found[i].rowid && !t.found[i].rowidInferred && !t.found[i].partial) readIds.emplace(t.foundFull[i], *t.found[i].rowid);
    for (std::size_t i = 0; i < t.found.size() && !readIds.empty(); ++i) {
        CarvedRow& row = t.found[i];
        if (row.partial || (row.rowid && !row.rowidInferred)) continue;
        if (const auto it = readIds.find(t.foundFull[i]); it != readIds.end()) {
            row.rowid = it->second;
            row.rowidInferred = false;
            fillRowid(row, t.schema->rowidColumn);
        }
    }
    if (t.chains.empty()) return;
    std::vector<std::int64_t> known;
    known.reserve(t.live.size() + t.found.size());
    for (const LiveRow& l : t.live) known.push_back(l.rowid);
    for (const CarvedRow& r : t.found)
        if (r.rowid && !r.rowidInferred) known.push_back(*r.rowid);
    std::sort(known.begin(), known.end());
    known.erase(std::unique(known.begin(), known.end()), known.end());
    for (const TableState::Chain& chain : t.chains) {
        if (std::any_of(chain.rows.begin(), chain.rows.end(), [&](std::size_t i) { return t.found[i].rowid.has_value(); }))
            continue;
        std::optional<std::int64_t> next;
        if (chain.step > 0) {
            const auto it = std::upper_bound(known.begin(), known.end(), chain.anchor);
            if (it != known.end()) next = *it;
        } else {
            const auto it = std::lower_bound(known.begin(), known.end(), chain.anchor);
            if (it != known.begin()) next = *std::prev(it);
        }
        if (!next || (*next - chain.anchor) * chain.step - 1 != static_cast<std::int64_t>(chain.rows.size())) continue;
        for (std::size_t k = 0; k < chain.rows.size(); ++k) {
            CarvedRow& row = t.found[chain.rows[k]];
            row.rowid = chain.anchor + chain.step * static_cast<std::int64_t>(k + 1);
            row.rowidInferred = true;
            fillRowid(row, t.schema->rowidColumn);
        }
    }
}

int Carver::hintOf(std::int32_t root) const {
    const auto it = byRoot_.find(static_cast<std::uint32_t>(root));
    return it == byRoot_.end() ? -1 : it->second;
}

int Carver::vote(Bytes bytes, const BtreePage& page) const {
    std::map<int, int> votes;
    const std::uint32_t usable = image_.usableSize();
    for (std::uint32_t at : page.cells) {
        const auto cell = readTableCell(bytes, usable, at);
        if (!cell) continue;
        const auto types = readHeader(bytes, cell->payloadAt, std::min<std::uint64_t>(usable, cell->payloadAt + cell->local));
        if (!types) continue;
        int best = -1, bestScore = -1;
        for (std::size_t i = 0; i < tables_.size(); ++i) {
            if (tables_[i].schema->withoutRowid) continue;
            if (const auto fit = tableFit(*types, *tables_[i].schema, true); fit && *fit > bestScore) {
                bestScore = *fit;
                best = static_cast<int>(i);
            }
        }
        if (best >= 0) ++votes[best];
    }
    int best = -1, most = 0;
    for (const auto& [table, n] : votes)
        if (n > most) most = n, best = table;
    return best;
}

void Carver::carveFreeSpace(Bytes bytes, const BtreePage& page, int hint, const Source& source) {
    for (const Range& block : page.freeblocks) {
        // Cells freed one by one each took a free-block header before
        // neighbouring blocks merged: every record of a merged block lost
        // its first four bytes, so each is rebuilt where the last ended.
        // A record after the first that was freed together with its
        // neighbour kept its lengths and id: it is read whole.
        std::uint32_t at = block.begin;
        while (at + 4 < block.end) {
            std::optional<std::uint32_t> next;
            if (at != block.begin) next = tryCell(bytes, at, block.end, hint, true, source, Region::freeblock);
            if (!next) next = rebuildFreeblock(bytes, {at, block.end}, hint, source);
            if (!next) break;
            at = newerInside(bytes, at, *next, block.end, source, Region::freeblock);
        }
        // What could not be rebuilt may still hold whole cells.
        scanRegion(bytes, at == block.begin ? at + 4 : at, block.end, hint, source, Region::freeblock);
    }
    scanRegion(bytes, page.unallocated.begin, page.unallocated.end, hint, source, Region::unallocated);
}

void Carver::scanRegion(Bytes bytes, std::uint32_t begin, std::uint32_t end, int hint, const Source& source, Region region) {
    end = std::min<std::uint32_t>(end, static_cast<std::uint32_t>(bytes.size()));
    for (std::uint32_t at = begin; at + 4 <= end;) {
        if (const auto next = tryCell(bytes, at, end, hint, true, source, region)) {
            at = newerInside(bytes, at, *next, end, source, region);
            continue;
        }
        if (const auto next = rebuildOldBlock(bytes, at, end, hint, source, region)) {
            at = *next;
            continue;
        }
        ++at;
    }
}

bool Carver::oldFreeHeader(Bytes bytes, std::uint32_t at, bool linked) const {
    const std::uint32_t usable = image_.usableSize();
    if (at + 4 > bytes.size()) return false;
    const std::uint32_t next = readU16(bytes, at), length = readU16(bytes, at + 2);
    if (length < (linked ? 4u : 8u) || at + length > usable || (next != 0 && (next < at + length || next >= usable)))
        return false;
    return linked || next == 0 || oldFreeHeader(bytes, next, true);
}

std::optional<std::uint32_t> Carver::rebuildOldBlock(Bytes bytes, std::uint32_t at, std::uint32_t end, int hint,
                                             const Source& source, Region region, bool dryRun) {
    if (!oldFreeHeader(bytes, at)) return std::nullopt;
    const std::uint32_t blockEnd = std::min(at + readU16(bytes, at + 2), end);
    const bool wasDry = dryRun_;
    dryRun_ = dryRun;
    std::uint32_t from = at;
    while (from + 4 < blockEnd) {
        // A record after the first that was freed together with its
        // neighbour kept its lengths and id: it is read whole.
        std::optional<std::uint32_t> next;
        if (from != at) next = tryCell(bytes, from, blockEnd, hint, true, source, region);
        if (!next) next = rebuildFreeblock(bytes, {from, blockEnd}, hint, source, region);
        if (!next) break;
        if (dryRun) {  // one record tells that the block holds some
            from = *next;
            break;
        }
        // A newer record inside this one ends the chain: the scan goes on there.
        if (const std::uint32_t inner = newerInside(bytes, from, *next, end, source, region); inner != *next) {
            from = inner;
            break;
        }
        from = *next;
    }
    dryRun_ = wasDry;
    if (from == at) return std::nullopt;
    return from;
}

std::uint32_t Carver::newerInside(Bytes bytes, std::uint32_t at, std::uint32_t next, std::uint32_t end, const Source& source,
                          Region region) {
    for (std::uint32_t p = at + 4; p + 8 < next; ++p) {
        // A cell that took the tail of the space the older row left (the
        // allocator gives a slot's end) and was freed beside it, so no
        // header was written over it: whole, and ending where it ends.
        // (A one-byte length must leave room for just the id: a quick refusal.)
        const std::uint32_t left = next - p;
        if ((bytes[p] >= 0x80 || (bytes[p] + 2u <= left && left <= bytes[p] + 10u)) && endsAt(bytes, p, next)) {
            const bool wasDry = dryRun_;
            dryRun_ = true;
            dryColumns_ = 0;
            const auto whole = tryCell(bytes, p, next, lastTable_, true, source, region);
            dryRun_ = wasDry;
            if (whole && *whole == next && dryTable_ == lastTable_ && dryColumns_ >= 3) return p;
        }
        if (bytes[p] != 0 && readU16(bytes, p) < p) continue;  // cheap refusal: a link must lie ahead
        if (!oldFreeHeader(bytes, p)) continue;
        dryColumns_ = 0;
        // The newer cell belongs to the table the older one does.
        if (rebuildOldBlock(bytes, p, end, lastTable_, source, region, true) && dryColumns_ >= 3) return p;
    }
    return next;
}

bool Carver::endsAt(Bytes bytes, std::uint32_t at, std::uint32_t end) const {
    const Bytes page = bytes.first(std::min<std::size_t>(bytes.size(), end));
    const Varint payload = readVarint(page, at);
    if (payload.length == 0 || payload.value < 2 || payload.value > end) return false;
    const Varint rowid = readVarint(page, at + payload.length);
    if (rowid.length == 0) return false;
    const std::uint64_t local = localPayload(payload.value, image_.usableSize());
    return at + payload.length + rowid.length + local + (local < payload.value ? 4 : 0) == end;
}

std::optional<std::uint32_t> Carver::tryCell(Bytes bytes, std::uint32_t at, std::uint32_t limit, int hint, bool unlisted,
                                     const Source& source, Region region) {
    const Bytes page = bytes.first(std::min<std::size_t>(bytes.size(), limit));
    // Cheap refusals first: most offsets of a free region are no cell.
    const Varint payload = readVarint(page, at);
    if (payload.length == 0 || payload.value < 2 || payload.value > (1ULL << 31)) return std::nullopt;
    const Varint rowid = readVarint(page, at + payload.length);
    if (rowid.length == 0) return std::nullopt;
    const std::size_t payloadAt = at + payload.length + rowid.length;
    const Varint header = readVarint(page, payloadAt);
    if (header.length == 0 || header.value < 2 || header.value > payload.value) return std::nullopt;
    {
        // Count the types and their bodies before anything is allocated.
        std::size_t count = 0;
        std::uint64_t sum = header.value;
        const std::size_t headerEnd = payloadAt + header.value;
        if (headerEnd > page.size()) return std::nullopt;
        for (std::size_t p = payloadAt + header.length; p < headerEnd; ++count) {
            const Varint t = readVarint(page.first(headerEnd), p);
            if (t.length == 0 || t.value == 10 || t.value == 11) return std::nullopt;
            sum += serialLength(t.value);
            p += t.length;
        }
        if (sum != payload.value) return std::nullopt;
        if (hint < 0 ? !byCount_.count(count) : count > tables_[static_cast<std::size_t>(hint)].schema->columns.size() && !byCount_.count(count))
            return std::nullopt;
    }
    std::uint64_t headerLength = 0;
    const auto types = readHeader(page, payloadAt, page.size(), &headerLength);
    if (!types || headerLength + bodyLength(*types) != payload.value) return std::nullopt;
    Layout layout;
    layout.types = *types;
    layout.payloadAt = payloadAt;
    layout.payload = payload.value;
    layout.bodyAt = payloadAt + headerLength;
    layout.rowid = static_cast<std::int64_t>(rowid.value);
    const std::uint64_t local = localPayload(payload.value, image_.usableSize());
    layout.end = payloadAt + local + (local < payload.value ? 4 : 0);
    if (layout.end > page.size()) return std::nullopt;
    for (int table : candidates(*types, hint)) {
        if (take(bytes, layout, table, unlisted, source, region, table == hint)) return static_cast<std::uint32_t>(layout.end);
    }
    return std::nullopt;
}

std::optional<std::uint32_t> Carver::rebuildFreeblock(Bytes bytes, const Range& block, int hint, const Source& source,
                                              Region region) {
    const std::uint32_t f = block.begin;
    const Bytes page = bytes.first(std::min<std::size_t>(bytes.size(), block.end));
    std::optional<Layout> best;
    int bestTable = -1;
    const auto consider = [&](Layout&& layout, int table) {
        if (!best || layout.score > best->score) {
            best = std::move(layout);
            bestTable = table;
        }
    };
    std::vector<int> tables;
    if (hint >= 0) tables.push_back(hint);
    else
        for (std::size_t i = 0; i < tables_.size(); ++i)
            if (!tables_[i].schema->withoutRowid) tables.push_back(static_cast<int>(i));
    for (int t : tables) {
        const TableSchema& table = *tables_[static_cast<std::size_t>(t)].schema;
        const std::size_t n = table.columns.size();
        // (a) Length and row id took five bytes or more: the header stands whole.
        for (std::uint32_t h = 4; h <= 6; ++h) {
            if (h > 4 && (page.size() <= f + h - 1 || (page[f + h - 1] & 0x80))) continue;
            std::uint64_t headerLength = 0;
            const auto types = readHeader(page, f + h, page.size(), &headerLength);
            if (!types) continue;
            const auto fit = tableFit(*types, table, hint >= 0);
            if (!fit) continue;
            Layout l{*types, 0, f + h, headerLength + bodyLength(*types), f + h + headerLength, 0, std::nullopt, *fit + 3, true};
            if (place(l, page.size())) consider(std::move(l), t);
        }
        // (b) The header's length byte was lost, its types stand from byte 4.
        std::size_t typesEnd = 0;
        if (auto types = readTypes(page, f + 4, page.size(), n, &typesEnd)) {
            if (const auto fit = tableFit(*types, table, false); fit && typesEnd - (f + 3) < 128) {
                Layout l{*types, 0, f + 3, (typesEnd - (f + 3)) + bodyLength(*types), typesEnd, 0, std::nullopt, *fit};
                if (place(l, page.size())) consider(std::move(l), t);
            }
        }
        // (b2) A wide table's header is 128 bytes or more, so its length
        // took two bytes: with a two-byte cell length and a one-byte row
        // id, the free-block header took the length's first byte; the
        // second (its low seven bits) stands at byte 4, the types from 5.
        if (page.size() > f + 5 && !(page[f + 4] & 0x80)) {
            std::size_t wideEnd = 0;
            if (auto types = readTypes(page, f + 5, page.size(), n, &wideEnd)) {
                const std::size_t headerLength = wideEnd - (f + 3);
                if (headerLength >= 128 && headerLength < 16384 && (headerLength & 0x7F) == page[f + 4])
                    if (const auto fit = tableFit(*types, table, false)) {
                        Layout l{*types, 0, f + 3, headerLength + bodyLength(*types), wideEnd, 0, std::nullopt, *fit + 2, true};
                        if (place(l, page.size())) consider(std::move(l), t);
                    }
            }
        }
        // (b') A row written before columns were added holds fewer types;
        // on the table's own page, a shorter header that ends the record
        // exactly where the block ends is taken.
        if (hint >= 0)
            for (std::size_t k = n - 1; k >= 1; --k) {
                std::size_t shortEnd = 0;
                auto types = readTypes(page, f + 4, page.size(), k, &shortEnd);
                if (!types) continue;
                const auto fit = tableFit(*types, table, true);
                if (!fit || shortEnd - (f + 3) >= 128) continue;
                Layout l{*types, 0, f + 3, (shortEnd - (f + 3)) + bodyLength(*types), shortEnd, 0, std::nullopt, *fit - 1, true};
                if (place(l, page.size()) && l.end == page.size()) consider(std::move(l), t);
            }
        // (c) The first column's type went too: known when it is the row
        // id's NULL; else its body is what lies between the others and the
        // block's end, when the record filled the block exactly.
        if (n >= 2 && (typesEnd = 0, true)) {
            if (auto rest = readTypes(page, f + 4, page.size(), n - 1, &typesEnd)) {
                std::vector<std::uint64_t> types{0};
                types.insert(types.end(), rest->begin(), rest->end());
                if (table.rowidColumn == 0) {
                    if (const auto fit = tableFit(types, table, false); fit && typesEnd - (f + 2) < 128) {
                        Layout l{types, 0, f + 2, (typesEnd - (f + 2)) + bodyLength(types), typesEnd, 0, std::nullopt, *fit};
                        if (place(l, page.size())) consider(std::move(l), t);
                    }
                } else if (const auto fit = tableFit(types, table, false)) {
                    const std::uint64_t known = bodyLength(*rest);
                    if (typesEnd + known <= block.end) {
                        const std::uint64_t lost = block.end - typesEnd - known;
                        if (lost <= 0xFFFF) {
                            Layout l{*rest, 1, f + 2, (typesEnd - (f + 2)) + lost + known, typesEnd + lost, 0, std::nullopt,
                                     *fit - 2};
                            if (localPayload(l.payload, image_.usableSize()) == l.payload && place(l, page.size()))
                                consider(std::move(l), t);
                        }
                    }
                }
            }
        }
    }
    if (!best || !take(bytes, *best, bestTable, true, source, region, bestTable == hint && best->wholeHeader)) return std::nullopt;
    return static_cast<std::uint32_t>(best->end);
}

bool Carver::take(Bytes bytes, const Layout& l, int tableIndex, bool unlisted, const Source& source, Region region,
          bool owned) {
    TableState& table = tables_[static_cast<std::size_t>(tableIndex)];
    const TableSchema& schema = *table.schema;
    // The body bytes: on the page up to the local part's end, then the
    // overflow chain.
    const std::uint64_t local = localPayload(l.payload, image_.usableSize());
    const std::uint64_t localEnd = l.payloadAt + local;
    const std::uint64_t bodies = bodyLength(l.types);
    if (l.bodyAt > localEnd || localEnd > bytes.size()) return false;
    body_.assign(bytes.begin() + static_cast<std::ptrdiff_t>(l.bodyAt), bytes.begin() + static_cast<std::ptrdiff_t>(localEnd));
    bool whole = true;
    if (local < l.payload) {
        TableCell cell;
        cell.payload = l.payload - (l.bodyAt - l.payloadAt);
        cell.local = localEnd - l.bodyAt;
        cell.payloadAt = static_cast<std::uint32_t>(l.bodyAt);
        cell.overflow = readU32(bytes, static_cast<std::size_t>(localEnd));
        whole = walk_.payload(bytes, cell, body_, false);
    }
    CarvedRow row;
    row.values.assign(schema.columns.size(), Value{});
    row.partial = l.first > 0;
    std::size_t at = 0;
    int known = 0;
    for (std::size_t i = 0; i < l.types.size(); ++i) {
        const std::size_t column = l.first + i;
        const std::size_t n = static_cast<std::size_t>(serialLength(l.types[i]));
        if (at + n > body_.size()) {
            if (whole) return false;
            row.partial = true;  // its bytes were in an overflow page used again since
            break;
        }
        auto v = decodeValue(l.types[i], Bytes(body_).subspan(at, n), image_.encoding(), schema.columns[column]);
        if (!v) {
            // A freed cell's last bytes may lie under the lengths of a
            // cell written after it (then under that cell's free-block
            // header): a row whose start and id are whole keeps what
            // comes before its damaged tail.
            constexpr std::size_t kTail = 9;
            if (!unlisted || !l.rowid || local != l.payload || i == 0 || at + n + kTail < bodies) return false;
            row.partial = true;
            break;
        }
        // Text columns may hold blobs, but a carved one that is no text
        // (binary bytes in a name) is the bytes of something else.
        if (unlisted && v->type == Value::Type::blob && schema.columns[column].affinity == 't' && !looksLikeText(v->bytes))
            return false;
        if (v->type != Value::Type::null && static_cast<int>(column) != schema.rowidColumn) ++known;
        row.values[column] = std::move(*v);
        at += n;
    }
    if (at > bodies) return false;
    // A record found by trying offsets needs more than one value to be
    // believed: one short value fits almost anywhere.
    // (On a page the table itself uses, a header whose lengths add up is
    // believed with one value: a row written before columns were added.)
    if (known == 0 || (unlisted && !owned && known < 2 && schema.columns.size() > 2)) return false;
    const RawHashes hashes = rawHashes(l.types, l.first, Bytes(body_).first(std::min<std::size_t>(at, body_.size())));
    if (l.rowid) row.rowid = l.rowid;
    if (schema.rowidColumn >= 0 && row.rowid) {
        row.values[static_cast<std::size_t>(schema.rowidColumn)].type = Value::Type::integer;
        row.values[static_cast<std::size_t>(schema.rowidColumn)].integer = *row.rowid;
    }
    row.carvedFrom = source.label(region);
    row.page = source.version->page;
    row.offset = l.payloadAt;
    row.age = source.version->origin.age();
    if (dryRun_) {
        dryColumns_ = static_cast<int>(l.types.size());
        dryTable_ = tableIndex;
        return true;
    }
    add(table, std::move(row), hashes, static_cast<std::uint32_t>(l.end));
    lastTable_ = tableIndex;
    return true;
}

}  // namespace detail

using detail::Carver;


CarveReport carveDatabase(const DatabaseImage& image, const CarveOptions& options) {
    CarveReport report;
    report.diagnostics = image.diagnostics();
    const Schema schema = readSchema(image, &report.diagnostics);
    if (schema.tables.empty()) report.diagnostics.push_back("the schema names no table that can be carved");
    Carver(image, schema, options, report).run();
    return report;
}

std::string valueText(const Value& value) {
    switch (value.type) {
    case Value::Type::null: return {};
    case Value::Type::integer: return std::to_string(value.integer);
    case Value::Type::real: {
        // The shortest text that reads back as the same number.
        char buffer[32];
        const auto end = std::to_chars(buffer, buffer + sizeof buffer, value.real).ptr;
        return std::string(buffer, end);
    }
    case Value::Type::text: return value.bytes;
    case Value::Type::blob: return "<" + std::to_string(value.bytes.size()) + " bytes>";
    }
    return {};
}

}  // namespace salvor::carve
