// Record layouts (which columns a freed record's header can hold) and one
// record per row: versions of a row merged, the newest kept whole.
#include "carve/table_carver_internal.h"

namespace salvor::carve::detail {

std::vector<int> Carver::candidates(const std::vector<std::uint64_t>& types, int hint) const {
    std::vector<std::pair<int, int>> scored;
    if (hint >= 0)
        if (const auto fit = tableFit(types, *tables_[static_cast<std::size_t>(hint)].schema, true)) return {hint};
    if (const auto it = byCount_.find(types.size()); it != byCount_.end())
        for (int t : it->second)
            if (t != hint)
                if (const auto fit = tableFit(types, *tables_[static_cast<std::size_t>(t)].schema, false))
                    scored.emplace_back(-*fit, t);
    std::sort(scored.begin(), scored.end());
    std::vector<int> out;
    for (const auto& [score, t] : scored) out.push_back(t);
    return out;
}

bool Carver::place(Layout& l, std::size_t limit) const {
    const std::uint64_t local = localPayload(l.payload, image_.usableSize());
    l.end = l.payloadAt + local + (local < l.payload ? 4 : 0);
    if (l.end > limit) return false;
    if (l.end == limit) l.score += 2;
    return true;
}

void Carver::add(TableState& table, CarvedRow&& row, const RawHashes& h, std::uint32_t end) {
    const std::uint64_t full = row.partial ? 0 : h.full;
    const std::uint64_t suffix = h.suffix;
    // An unchanged copy of a live row (left by a page split, a defragment
    // or an update that moved it) is no deleted record and no older version.
    if (row.partial ? table.liveSuffix.has(suffix) : table.liveFull.has(full)) return;
    table.found.push_back(std::move(row));
    table.foundFull.push_back(full);
    table.foundSuffix.push_back(suffix);
    table.foundEnd.push_back(end);
}

const LiveRow* Carver::liveRow(const TableState& t, std::int64_t rowid) const {
    const auto it = std::lower_bound(t.live.begin(), t.live.end(), rowid,
                                     [](const LiveRow& r, std::int64_t id) { return r.rowid < id; });
    return it != t.live.end() && it->rowid == rowid ? &*it : nullptr;
}

bool Carver::sameRow(const TableState& t, const std::vector<Value>& a, const std::vector<Value>& b) const {
    if (!t.identity.empty()) {
        for (std::size_t i : t.identity) {
            if (i >= a.size() || i >= b.size()) continue;
            if (a[i].type == Value::Type::null || b[i].type == Value::Type::null) continue;
            if (!(a[i] == b[i])) return false;
        }
        return true;
    }
    int both = 0, equal = 0;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
        if (a[i].type != Value::Type::text || b[i].type != Value::Type::text) continue;
        ++both;
        equal += a[i].bytes == b[i].bytes;
    }
    return both == 0 || equal * 2 >= both;
}

void Carver::settle() {
    std::vector<Value> live;
    for (TableState& t : tables_) {
        settleChains(t);
        TableCarve out;
        out.schema = *t.schema;
        out.liveRows = t.live.size();
        const int rowidColumn = t.schema->rowidColumn;
        // Newest first, so the first of a row's versions is the one kept.
        std::vector<std::size_t> order(t.found.size());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            if (t.found[a].partial != t.found[b].partial) return !t.found[a].partial;
            return t.found[a].age > t.found[b].age;
        });
        std::unordered_map<std::int64_t, std::size_t> byRowid;  // row id -> index in out.deleted
        std::unordered_map<std::uint64_t, std::size_t> byFull;  // content -> index in out.deleted
        std::unordered_map<std::uint64_t, std::size_t> bySuffix;
        std::unordered_map<std::uint64_t, std::size_t> byIdentity;  // identifying columns -> index in out.deleted
        byRowid.reserve(t.found.size());
        byFull.reserve(t.found.size());
        // Only a partial row is matched by what follows its first column.
        const bool anyPartial = std::any_of(t.found.begin(), t.found.end(), [](const CarvedRow& r) { return r.partial; });
        if (anyPartial) bySuffix.reserve(t.found.size());
        out.deleted.reserve(t.found.size());
        std::map<std::int64_t, std::unordered_set<std::uint64_t>> earlierSeen;
        std::map<std::size_t, std::unordered_set<std::uint64_t>> olderSeen;
        for (std::size_t i : order) {
            CarvedRow& row = t.found[i];
            const std::uint64_t full = t.foundFull[i], suffix = t.foundSuffix[i];
            // A carved row with a live row's id is its earlier version, or
            // a deleted row whose id was reused.
            if (row.rowid) {
                if (const LiveRow* l = liveRow(t, *row.rowid)) {
                    if (liveValues(t, *l, live) && sameRow(t, row.values, live)) {
                        if (earlierSeen[*row.rowid].insert(full).second)
                            out.earlierVersionsOfLive[*row.rowid].push_back(std::move(row));
                        continue;
                    }
                }
            } else if (!t.identity.empty()) {
                if (const auto it = t.liveIdentity.find(identityHash(t, row.values)); it != t.liveIdentity.end()) {
                    if (earlierSeen[it->second].insert(full).second)
                        out.earlierVersionsOfLive[it->second].push_back(std::move(row));
                    continue;
                }
            }
            // The same content already kept: one record.
            if (!row.partial) {
                if (const auto it = byFull.find(full); it != byFull.end()) {
                    CarvedRow& kept = out.deleted[it->second];
                    if (!kept.rowid && row.rowid) kept.rowid = row.rowid, fillRowid(kept, rowidColumn);
                    continue;
                }
            } else if (bySuffix.count(suffix)) {
                continue;
            }
            if (row.rowid) {
                if (const auto it = byRowid.find(*row.rowid); it != byRowid.end()) {
                    CarvedRow& kept = out.deleted[it->second];
                    if (sameRow(t, kept.values, row.values)) {
                        keepEarlier(kept, std::move(row), olderSeen[it->second], full);
                        continue;
                    }
                }
            }
            // A copy that lost its id, or the copy that kept it, of a row
            // already kept: its identifying columns, all present, agree.
            const std::optional<std::uint64_t> identity = wholeIdentity(t, row.values);
            if (identity)
                if (const auto it = byIdentity.find(*identity); it != byIdentity.end()) {
                    CarvedRow& kept = out.deleted[it->second];
                    if (!kept.rowid || !row.rowid || *kept.rowid == *row.rowid) {
                        if (!kept.rowid && row.rowid) {
                            kept.rowid = row.rowid;
                            kept.rowidInferred = row.rowidInferred;
                            fillRowid(kept, rowidColumn);
                            byRowid.emplace(*row.rowid, it->second);
                        }
                        keepEarlier(kept, std::move(row), olderSeen[it->second], full);
                        continue;
                    }
                }
            const std::size_t index = out.deleted.size();
            if (identity) byIdentity.emplace(*identity, index);
            if (row.rowid) byRowid.emplace(*row.rowid, index);
            if (!row.partial) byFull.emplace(full, index);
            if (anyPartial) bySuffix.emplace(suffix, index);
            out.deleted.push_back(std::move(row));
        }
        // In file order; the rows are moved once.
        std::vector<std::size_t> place(out.deleted.size());
        for (std::size_t i = 0; i < place.size(); ++i) place[i] = i;
        std::stable_sort(place.begin(), place.end(), [&](std::size_t a, std::size_t b) {
            const CarvedRow &x = out.deleted[a], &y = out.deleted[b];
            return std::tie(x.page, x.offset, x.age) < std::tie(y.page, y.offset, y.age);
        });
        std::vector<CarvedRow> ordered;
        ordered.reserve(place.size());
        for (std::size_t i : place) ordered.push_back(std::move(out.deleted[i]));
        out.deleted.swap(ordered);
        std::vector<CarvedRow>().swap(t.found);
        for (const CarvedRow& r : out.deleted) {
            const std::string& from = r.carvedFrom;
            ++report_.foundIn[from.rfind("wal-frame-", 0) == 0 ? std::string("wal-frame") : from];
        }
        report_.tables.push_back(std::move(out));
    }
}

void Carver::keepEarlier(CarvedRow& kept, CarvedRow&& row, std::unordered_set<std::uint64_t>& seen, std::uint64_t full) {
    if (row.age > kept.age || !seen.insert(full).second) return;
    kept.earlierVersions.push_back(std::move(row));
}

void Carver::fillRowid(CarvedRow& row, int rowidColumn) {
    if (rowidColumn < 0 || !row.rowid) return;
    row.values[static_cast<std::size_t>(rowidColumn)].type = Value::Type::integer;
    row.values[static_cast<std::size_t>(rowidColumn)].integer = *row.rowid;
}

bool Carver::liveValues(const TableState& t, const LiveRow& l, std::vector<Value>& values) {
    const Bytes bytes = image_.currentPage(l.page);
    const auto cell = readTableCell(bytes, image_.usableSize(), l.offset);
    if (!cell) return false;
    return walk_.decode(LiveCell{l.page, l.offset, *cell, bytes}, *t.schema, values);
}

}  // namespace salvor::carve::detail
