#include "carve/carve_record.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <set>

#include "core/utf8.h"

namespace salvor::carve {

namespace {

std::string upper(std::string_view s) {
    std::string u(s);
    for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return u;
}

bool sameIgnoringCase(std::string_view a, std::string_view b) { return a.size() == b.size() && upper(a) == upper(b); }

bool isWordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

std::string_view trimFront(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    return s;
}

// A name as written in a statement: bare, or quoted with "", `` or [].
std::string_view takeName(std::string_view& s) {
    s = trimFront(s);
    if (s.empty()) return {};
    const char open = s.front();
    const char close = open == '"' ? '"' : open == '`' ? '`' : open == '[' ? ']' : 0;
    std::size_t n = 0;
    if (close) {
        n = s.find(close, 1);
        if (n == std::string_view::npos) return {};
        const std::string_view name = s.substr(1, n - 1);
        s.remove_prefix(n + 1);
        return name;
    }
    while (n < s.size() && isWordChar(s[n])) ++n;
    const std::string_view name = s.substr(0, n);
    s.remove_prefix(n);
    return name;
}

// The column's kind by the words of its declared type, which end where a
// column constraint begins (SQLite's affinity rules).
char kindOf(std::string_view declaration) {
    static constexpr std::string_view kStops[] = {"DEFAULT", "NOT",     "NULL",       "PRIMARY",   "UNIQUE", "CHECK",
                                                  "REFERENCES", "COLLATE", "CONSTRAINT", "GENERATED", "AS"};
    std::string type;
    for (std::size_t i = 0; i < declaration.size();) {
        std::size_t n = i;
        while (n < declaration.size() && isWordChar(declaration[n])) ++n;
        if (n == i) {
            ++i;
            continue;
        }
        const std::string word = upper(declaration.substr(i, n - i));
        if (std::find(std::begin(kStops), std::end(kStops), word) != std::end(kStops)) break;
        type += word + ' ';
        i = n;
    }
    const auto has = [&](const char* part) { return type.find(part) != std::string::npos; };
    if (has("INT")) return 'i';
    if (has("CHAR") || has("CLOB") || has("TEXT")) return 't';
    if (type.empty() || has("BLOB")) return 'b';
    if (has("REAL") || has("FLOA") || has("DOUB")) return 'r';
    return 'n';
}

// The columns of the list that follows a CREATE TABLE's opening parenthesis,
// up to its closing one; quoted names and texts are skipped whole.
std::optional<TableLayout> columnsOf(std::string_view list) {
    TableLayout layout;
    auto add = [&](std::string_view item) {
        const std::string_view name = takeName(item);
        const std::string word = upper(name);
        if (name.empty() || word == "CONSTRAINT" || word == "PRIMARY" || word == "UNIQUE" || word == "CHECK" ||
            word == "FOREIGN")
            return;
        layout.names.emplace_back(name);
        layout.kinds += kindOf(item);
    };
    int depth = 0;
    char quote = 0;
    for (std::size_t i = 0, from = 0; i < list.size(); ++i) {
        const char c = list[i];
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '\'' || c == '"' || c == '`') {
            quote = c;
        } else if (c == '[') {
            quote = ']';
        } else if (c == '(') {
            ++depth;
        } else if ((c == ',' || c == ')') && depth == 0) {
            add(list.substr(from, i - from));
            from = i + 1;
            // SQLite itself refuses tables wider than 2000 columns (its default limit).
            if (c == ')') return layout.names.empty() || layout.names.size() > 2000 ? std::nullopt : std::optional(layout);
        } else if (c == ')') {
            --depth;
        }
    }
    return std::nullopt;
}

std::uint64_t be(const PageImage& image, std::uint64_t at, int n) {
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = (v << 8) | image.byteAt(at + static_cast<std::uint64_t>(i));
    return v;
}

// A varint of at most nine bytes at `at`, read by `byte`: its value and length.
template <typename ByteAt>
std::pair<std::uint64_t, std::uint64_t> varint(ByteAt byte, std::uint64_t at) {
    std::uint64_t v = 0;
    for (std::uint64_t i = 0;; ++i) {
        const std::uint8_t b = byte(at + i);
        if (i == 8) return {(v << 8) | b, 9};
        v = (v << 7) | (b & 0x7F);
        if (!(b & 0x80)) return {v, i + 1};
    }
}

std::pair<std::uint64_t, std::uint64_t> varint(const PageImage& image, std::uint64_t at) {
    return varint([&](std::uint64_t k) { return image.byteAt(k); }, at);
}

std::uint64_t bodyLength(std::uint64_t type) {
    return static_cast<std::uint64_t>(getFieldDataLengthBy(static_cast<std::int64_t>(std::min<std::uint64_t>(type, 1u << 30))));
}

// The payload of `total` bytes whose cell content starts at `start`: with
// `spill`, the part kept in the cell (as SQLite splits a table-leaf payload),
// then the overflow chain; else all of it in the cell. `localEnd` gets the
// end of the part in the cell. Nothing when that part runs past `pageEnd` or
// the file, or the chain breaks off.
std::optional<std::vector<std::uint8_t>> readPayload(const PageImage& image, std::uint64_t start, std::uint64_t total,
                                                     std::uint64_t pageEnd, bool spill, std::uint64_t* localEnd = nullptr) {
    const std::uint64_t P = image.pageSize();
    const std::uint64_t reserved = image.byteAt(20);
    if (spill && reserved >= P / 2) return std::nullopt;
    const std::uint64_t U = P - std::min(reserved, P / 2);
    const std::uint64_t maxLocal = U - 35;
    std::uint64_t local = total;
    if (spill && total > maxLocal) {
        const std::uint64_t minLocal = (U - 12) * 32 / 255 - 23;
        const std::uint64_t k = minLocal + (total - minLocal) % (U - 4);
        local = k <= maxLocal ? k : minLocal;
    }
    const std::uint64_t cellEnd = start + local + (local < total ? 4 : 0);
    if (cellEnd > pageEnd || cellEnd > image.size()) return std::nullopt;
    // The overflow chain cannot hold more than the file's pages do.
    if (total - local > image.pageCount() * (U - 4)) return std::nullopt;
    if (localEnd) *localEnd = cellEnd;
    std::vector<std::uint8_t> payload(static_cast<std::size_t>(total));
    if (local > 0) image.copy(start, std::span(payload).first(static_cast<std::size_t>(local)));
    std::uint64_t next = local < total ? be(image, start + local, 4) : 0;
    std::uint64_t done = local;
    for (std::uint64_t hops = 0; done < total; ++hops) {
        if (next < 1 || next > image.pageCount() || hops >= image.pageCount()) return std::nullopt;
        const std::uint64_t o = (next - 1) * P;
        const std::uint64_t n = std::min(U - 4, total - done);
        image.copy(o + 4, std::span(payload).subspan(static_cast<std::size_t>(done), static_cast<std::size_t>(n)));
        done += n;
        next = be(image, o, 4);
    }
    return payload;
}

// The statement texts of the schema table, read through its b-tree from the
// first page, overflow pages included.
std::vector<std::string> schemaTexts(const PageImage& image) {
    std::vector<std::string> texts;
    std::vector<std::uint64_t> pending{1};
    std::set<std::uint64_t> seen;
    const std::uint64_t P = image.pageSize();
    while (!pending.empty() && seen.size() < 4096) {
        const std::uint64_t page = pending.back();
        pending.pop_back();
        if (page < 1 || page > image.pageCount() || !seen.insert(page).second) continue;
        const std::uint64_t o = (page - 1) * P;
        const std::uint64_t h = o + (page == 1 ? 100 : 0);
        const std::uint8_t type = image.byteAt(h);
        if (type != 0x0D && type != 0x05) continue;
        const std::uint64_t cells = std::min<std::uint64_t>(be(image, h + 3, 2), P / 2);
        const std::uint64_t pointers = h + (type == 0x05 ? 12 : 8);
        if (type == 0x05) pending.push_back(be(image, h + 8, 4));
        for (std::uint64_t k = 0; k < cells; ++k) {
            const std::uint64_t cell = o + be(image, pointers + 2 * k, 2);
            if (type == 0x05) {
                pending.push_back(be(image, cell, 4));
                continue;
            }
            const auto [size, a] = varint(image, cell);
            if (size > (std::uint64_t{1} << 20)) continue;
            const std::uint64_t rowid = varint(image, cell + a).second;
            const auto payload = readPayload(image, cell + a + rowid, size, o + P, true);
            if (!payload) continue;
            // Columns type, name, tbl_name, rootpage, sql: the last one's text.
            const auto byte = [&](std::uint64_t i) { return i < payload->size() ? (*payload)[i] : std::uint8_t{0}; };
            const auto [headerEnd, at0] = varint(byte, 0);
            std::uint64_t at = at0, body = headerEnd;
            std::optional<std::uint64_t> sqlType;
            for (int column = 0; column < 5 && at < headerEnd; ++column) {
                const auto [t, n] = varint(byte, at);
                at += n;
                if (column == 4) sqlType = t;
                else body += bodyLength(t);
            }
            if (!sqlType || *sqlType < 13 || !(*sqlType & 1)) continue;
            const std::uint64_t length = bodyLength(*sqlType);
            if (body + length > payload->size()) continue;
            texts.emplace_back(reinterpret_cast<const char*>(payload->data() + body), static_cast<std::size_t>(length));
        }
    }
    return texts;
}

std::optional<CarvedRecord> walk(const PageImage& image, std::uint64_t anchor, std::size_t anchorColumn,
                                 std::string_view kinds, std::uint64_t lo, std::uint64_t hi, bool overflow,
                                 bool shortFirst) {
    const std::size_t n = kinds.size();
    if (anchorColumn == 0 || anchorColumn >= n || anchor < lo + 2 || anchor >= hi) return std::nullopt;
    CarvedRecord r;
    r.types.assign(n, 0);
    // Back: each serial type ends in a byte below 0x80 and its earlier bytes
    // are 0x80 or above, so the header reads backwards without doubt.
    std::uint64_t pos = anchor;
    for (std::size_t k = anchorColumn; k-- > 1;) {
        if (pos <= lo + 1) return std::nullopt;
        const std::uint64_t last = pos - 1;
        if (image.byteAt(last) & 0x80) return std::nullopt;
        std::uint64_t first = last;
        while (first > lo && last - first < 3 && (image.byteAt(first - 1) & 0x80) && !(k == 1 && shortFirst)) --first;
        std::int64_t type = 0;
        for (std::uint64_t q = first; q <= last; ++q) type = (type << 7) | (image.byteAt(q) & 0x7F);
        if (!bSerialTypeFits(type, kinds[k])) return std::nullopt;
        r.types[k] = type;
        pos = first;
    }
    // The header-size byte and column 0's serial type lie on the page too.
    if (pos < lo + 2) return std::nullopt;
    r.firstType = pos;
    r.idIntact = image.byteAt(pos - 1) == 0;
    // On: the anchor's column and every later one, up to four bytes each (a
    // longer serial type would describe a body larger than any carved here).
    std::uint64_t q = anchor;
    for (std::size_t k = anchorColumn; k < n; ++k) {
        std::int64_t type = 0;
        int len = 0;
        std::uint8_t b = 0;
        do {
            if (q >= hi) return std::nullopt;
            b = image.byteAt(q++);
            type = (type << 7) | (b & 0x7F);
        } while ((b & 0x80) && ++len < 4);
        if ((b & 0x80) || !bSerialTypeFits(type, kinds[k])) return std::nullopt;
        r.types[k] = type;
    }
    r.bodyAt.resize(n);
    std::uint64_t bodies = 0;
    for (std::size_t k = 0; k < n; ++k) {
        r.bodyAt[k] = static_cast<std::size_t>(bodies);
        bodies += bodyLength(static_cast<std::uint64_t>(r.types[k]));
    }
    // A spilled payload is split by its whole size, which needs where it
    // starts: a header of up to 127 bytes has a one-byte size, just before column 0.
    const std::uint64_t start = pos - 2;
    const std::uint64_t header = q - start;
    if ((overflow && header > 127) || bodies > (std::uint64_t{1} << 24)) return std::nullopt;
    auto payload = readPayload(image, start, header + bodies, hi, overflow, &r.end);
    if (!payload) return std::nullopt;
    r.bodies.assign(payload->begin() + static_cast<std::ptrdiff_t>(header), payload->end());
    return r;
}

}  // namespace

int TableLayout::index(std::string_view name) const {
    for (std::size_t i = 0; i < names.size(); ++i)
        if (sameIgnoringCase(names[i], name)) return static_cast<int>(i);
    return -1;
}

std::optional<TableLayout> tableLayoutIn(std::string_view text, std::string_view table) {
    static constexpr std::string_view kCreate = "CREATE TABLE";
    for (std::size_t at = 0; at + kCreate.size() < text.size(); ++at) {
        if ((text[at] != 'C' && text[at] != 'c') || !sameIgnoringCase(text.substr(at, kCreate.size()), kCreate)) continue;
        std::string_view rest = text.substr(at + kCreate.size(), 65536);
        if (!sameIgnoringCase(takeName(rest), table)) continue;
        rest = trimFront(rest);
        if (rest.empty() || rest.front() != '(') continue;
        if (auto layout = columnsOf(rest.substr(1))) return layout;
    }
    return std::nullopt;
}

std::optional<TableLayout> findTableLayout(const PageImage& image, std::string_view table) {
    for (const std::string& text : schemaTexts(image))
        if (auto layout = tableLayoutIn(text, table)) return layout;
    // A schema table that cannot be walked: its statement may still stand in
    // one piece somewhere in the file.
    const ByteReader all = image.reader();
    return tableLayoutIn(std::string_view(reinterpret_cast<const char*>(all.data()), all.size()), table);
}

bool bSerialTypeFits(std::int64_t t, char kind) {
    if (t == 0) return true;
    if (t == 10 || t == 11 || t < 0) return false;
    switch (kind) {
        case 't': return t >= 13 && (t & 1);
        case 'i':
        case 'r':
        case 'n': return t <= 9;
        default: return true;
    }
}

std::optional<std::int64_t> CarvedRecord::integer(std::size_t k) const {
    const std::int64_t t = types[k];
    if (t == 8) return 0;
    if (t == 9) return 1;
    if (t < 1 || t > 6) return std::nullopt;
    const std::size_t n = bodyLength(static_cast<std::uint64_t>(t));
    std::uint64_t v = bodies[bodyAt[k]] & 0x80 ? ~std::uint64_t{0} : 0;
    for (std::size_t i = 0; i < n; ++i) v = (v << 8) | bodies[bodyAt[k] + i];
    return static_cast<std::int64_t>(v);
}

std::optional<std::int64_t> CarvedRecord::number(std::size_t k) const {
    if (types[k] != 7) return integer(k);
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < 8; ++i) bits = (bits << 8) | bodies[bodyAt[k] + i];
    const double d = std::bit_cast<double>(bits);
    if (!(d > -9.2e18 && d < 9.2e18)) return std::nullopt;
    return static_cast<std::int64_t>(d);
}

std::optional<std::string> CarvedRecord::bytes(std::size_t k) const {
    const std::int64_t t = types[k];
    if (t < 12) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(bodies.data() + bodyAt[k]), bodyLength(static_cast<std::uint64_t>(t)));
}

std::optional<CarvedRecord> walkRecord(const PageImage& image, std::uint64_t anchor, std::size_t anchorColumn,
                                       std::string_view kinds, std::uint64_t lo, std::uint64_t hi, bool overflow) {
    if (auto r = walk(image, anchor, anchorColumn, kinds, lo, hi, overflow, false)) return r;
    // A freed cell's free-block header may end just before column 1 with a
    // byte of 0x80 or more (a block size above 127) that is no part of the
    // record; the column's own serial type is then its last byte alone.
    if (anchorColumn < 2) return std::nullopt;
    return walk(image, anchor, anchorColumn, kinds, lo, hi, overflow, true);
}

bool bCleanStoredText(std::string_view raw, bool multiline) {
    if (!utf8::isValid(raw)) return false;
    return std::none_of(raw.begin(), raw.end(), [multiline](char c) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20) return false;
        return !(multiline && (b == '\n' || b == '\r' || b == '\t'));
    });
}

bool bTextsClean(const CarvedRecord& r, std::string_view kinds) {
    for (std::size_t k = 1; k < r.types.size() && k < kinds.size(); ++k)
        if (kinds[k] == 't' && !bCleanStoredText(r.bytes(k).value_or(""), true)) return false;
    return true;
}

std::map<std::uint64_t, std::uint32_t> freePages(const PageImage& image) {
    std::map<std::uint64_t, std::uint32_t> out;
    std::uint64_t trunk = be(image, 32, 4);
    const std::uint64_t pages = image.pageCount();
    while (trunk != 0 && trunk <= pages && !out.count(trunk - 1)) {
        const std::uint64_t at = (trunk - 1) * image.pageSize();
        const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(be(image, at + 4, 4), image.pageSize() / 4 - 2));
        out[trunk - 1] = 8 + 4 * count;
        for (std::uint32_t k = 0; k < count; ++k) {
            const std::uint64_t leaf = be(image, at + 8 + 4 * std::uint64_t{k}, 4);
            if (leaf != 0 && leaf <= pages && !out.count(leaf - 1)) out[leaf - 1] = 0;
        }
        trunk = be(image, at, 4);
    }
    return out;
}

const char* foundInText(FoundIn where) {
    switch (where) {
        case FoundIn::freeblock: return "freeblock";
        case FoundIn::freelist: return "freelist";
        case FoundIn::unallocated: break;
    }
    return "unallocated";
}

PageCells::PageCells(const PageImage& image, const std::map<std::uint64_t, std::uint32_t>& free, std::uint64_t page)
    : begin_(page * image.pageSize()), end_(begin_ + image.pageSize()), number_(page + 1), rewrittenTo_(begin_) {
    const auto f = free.find(page);
    const FoundIn whole = f != free.end() ? FoundIn::freelist : FoundIn::unallocated;
    // A free-list trunk's page numbers overwrote its start; a free leaf keeps
    // its last state as a leaf, free blocks included, and lists no live cell.
    if (f != free.end() && f->second != 0) {
        rewrittenTo_ = begin_ + f->second;
        if (rewrittenTo_ < end_) regions_.push_back({rewrittenTo_, end_, whole});
        return;
    }
    const std::uint64_t head = begin_ + (page == 0 ? 100 : 0);
    const std::uint8_t type = image.byteAt(head);
    if (type != 0x0D && type != 0x05 && type != 0x0A && type != 0x02) {
        // No b-tree page: whatever it holds was left by an earlier use.
        regions_.push_back({std::min(head, end_), end_, whole});
        return;
    }
    const std::uint64_t count = std::min<std::uint64_t>(be(image, head + 3, 2), image.pageSize() / 2);
    const std::uint64_t pointers = head + (type == 0x05 || type == 0x02 ? 12 : 8);
    rewrittenTo_ = pointers + 2 * count;
    // The chain of free blocks, in increasing order of offset.
    for (std::uint64_t at = be(image, head + 1, 2);
         at >= 4 && at + 4 <= image.pageSize() && (freeblocks_.empty() || begin_ + at > freeblocks_.back());) {
        freeblocks_.push_back(begin_ + at);
        at = be(image, begin_ + at, 2);
    }
    if (type != 0x0D || f != free.end()) {
        // An interior or index page, or a free leaf: its live cells hold no
        // table row, so all of it after its pointers is searched.
        if (rewrittenTo_ < end_) regions_.push_back({rewrittenTo_, end_, whole});
        return;
    }
    // A table leaf in use: the gap between the pointers and the cells (a
    // content start of 0 stands for 65536), then each free block by its size.
    const std::uint64_t stored = be(image, head + 5, 2);
    const std::uint64_t content = std::min(end_, begin_ + (stored == 0 ? 65536 : stored));
    if (rewrittenTo_ < content) regions_.push_back({rewrittenTo_, content, FoundIn::unallocated});
    for (const std::uint64_t block : freeblocks_) {
        const std::uint64_t size = be(image, block + 2, 2);
        regions_.push_back({block, std::min(end_, block + std::max<std::uint64_t>(size, 4)), FoundIn::freeblock});
    }
    // A damaged page may claim blocks that overlap each other or the gap:
    // each byte is searched once, so a page costs at most its size.
    std::sort(regions_.begin(), regions_.end(), [](const FreeRegion& a, const FreeRegion& b) { return a.begin < b.begin; });
    std::vector<FreeRegion> apart;
    for (FreeRegion r : regions_) {
        r.begin = std::max(r.begin, apart.empty() ? begin_ : apart.back().end);
        if (r.begin < r.end) apart.push_back(r);
    }
    regions_ = std::move(apart);
    for (std::uint64_t c = 0; c < count; ++c) {
        const std::uint64_t start = begin_ + be(image, pointers + 2 * c, 2);
        const auto [payload, a] = varint(image, start);
        const std::uint64_t rowid = varint(image, start + a).second;
        const std::uint64_t column0 = start + a + rowid + varint(image, start + a + rowid).second;
        cells_.push_back({start, column0, std::min(end_, start + a + rowid + payload)});
    }
    std::sort(cells_.begin(), cells_.end(), [](const Cell& a, const Cell& b) { return a.start < b.start; });
}

FoundIn PageCells::foundIn(std::uint64_t at) const {
    for (const FreeRegion& r : regions_)
        if (at >= r.begin && at < r.end) return r.kind;
    return FoundIn::unallocated;
}

std::vector<std::pair<std::uint64_t, std::int64_t>> PageCells::listedRowids(const PageImage& image) const {
    std::vector<std::pair<std::uint64_t, std::int64_t>> out;
    out.reserve(cells_.size());
    for (const Cell& c : cells_) {
        const std::uint64_t a = varint(image, c.start).second;
        out.emplace_back(c.start, static_cast<std::int64_t>(varint(image, c.start + a).first));
    }
    return out;
}

std::vector<std::uint64_t> PageCells::listedRecords() const {
    std::vector<std::uint64_t> out;
    out.reserve(cells_.size());
    for (const Cell& c : cells_) out.push_back(c.column0 + 1);
    return out;
}

bool PageCells::bListed(const CarvedRecord& record) const {
    if (!record.idIntact) return false;
    return std::any_of(cells_.begin(), cells_.end(), [&](const Cell& c) { return c.column0 + 1 == record.firstType; });
}

bool PageCells::bOverwritten(const CarvedRecord& record) const {
    const std::uint64_t from = record.firstType - 1;
    if (from < rewrittenTo_) return true;
    if (std::any_of(freeblocks_.begin(), freeblocks_.end(),
                    [&](std::uint64_t b) { return b + 4 > record.firstType && b < record.end; }))
        return true;
    return std::any_of(cells_.begin(), cells_.end(), [&](const Cell& c) {
        return c.column0 + 1 != record.firstType && c.start < record.end && from < c.end;
    });
}

}  // namespace salvor::carve
