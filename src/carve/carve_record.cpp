#include "carve/carve_record.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cmath>
#include <cstring>

#include "core/utf8.h"

namespace salvor::carve {

namespace {

bool sameIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
           });
}

std::string upper(std::string_view s) {
    std::string u(s);
    for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return u;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

// A name as written in a statement: bare, or quoted with "", `` or [].
std::string_view takeName(std::string_view& s) {
    s = trim(s);
    if (s.empty()) return {};
    const char open = s.front();
    const char close = open == '"' ? '"' : open == '`' ? '`' : open == '[' ? ']' : 0;
    if (close) {
        const std::size_t end = s.find(close, 1);
        if (end == std::string_view::npos) return {};
        const std::string_view name = s.substr(1, end - 1);
        s.remove_prefix(end + 1);
        return name;
    }
    std::size_t n = 0;
    while (n < s.size() && (std::isalnum(static_cast<unsigned char>(s[n])) || s[n] == '_')) ++n;
    const std::string_view name = s.substr(0, n);
    s.remove_prefix(n);
    return name;
}

// The column's kind by the words of its declared type (SQLite's affinity rules).
ColumnKind kindOf(std::string_view declaration) {
    static const char* const kStops[] = {"DEFAULT", "NOT", "NULL", "PRIMARY", "UNIQUE", "CHECK", "REFERENCES",
                                         "COLLATE", "CONSTRAINT", "GENERATED", "AS"};
    std::string type;
    std::string_view rest = declaration;
    for (;;) {
        rest = trim(rest);
        std::size_t n = 0;
        while (n < rest.size() && !std::isspace(static_cast<unsigned char>(rest[n]))) ++n;
        if (n == 0) break;
        const std::string word = upper(rest.substr(0, n));
        if (std::any_of(std::begin(kStops), std::end(kStops), [&](const char* k) { return word == k; })) break;
        type += word + " ";
        rest.remove_prefix(n);
    }
    if (type.find("INT") != std::string::npos) return ColumnKind::Integer;
    if (type.find("CHAR") != std::string::npos || type.find("CLOB") != std::string::npos ||
        type.find("TEXT") != std::string::npos)
        return ColumnKind::Text;
    if (type.empty() || type.find("BLOB") != std::string::npos) return ColumnKind::Blob;
    if (type.find("REAL") != std::string::npos || type.find("FLOA") != std::string::npos ||
        type.find("DOUB") != std::string::npos)
        return ColumnKind::Real;
    return ColumnKind::Numeric;
}

std::optional<TableLayout> parseColumns(std::string_view list) {
    TableLayout layout;
    int depth = 0;
    std::size_t from = 0;
    auto take = [&](std::string_view item) {
        std::string_view rest = item;
        const std::string_view name = takeName(rest);
        if (name.empty()) return;
        const std::string word = upper(name);
        if (word == "CONSTRAINT" || word == "PRIMARY" || word == "UNIQUE" || word == "CHECK" || word == "FOREIGN") return;
        layout.names.emplace_back(name);
        layout.kinds.push_back(kindOf(rest));
    };
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (list[i] == '(') ++depth;
        if (list[i] == ')') --depth;
        if (list[i] == ',' && depth == 0) {
            take(list.substr(from, i - from));
            from = i + 1;
        }
    }
    take(list.substr(from));
    if (layout.names.empty()) return std::nullopt;
    return layout;
}

std::uint64_t be(const PageImage& image, std::uint64_t at, int n) {
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = (v << 8) | image.byteAt(at + static_cast<std::uint64_t>(i));
    return v;
}

// A varint at `at`: its value and length; nothing when it runs past 9 bytes.
std::optional<std::pair<std::uint64_t, int>> varint(const PageImage& image, std::uint64_t at) {
    std::uint64_t v = 0;
    for (int i = 0; i < 9; ++i) {
        const std::uint8_t b = image.byteAt(at + static_cast<std::uint64_t>(i));
        if (i == 8) return std::make_pair((v << 8) | b, 9);
        v = (v << 7) | (b & 0x7F);
        if (!(b & 0x80)) return std::make_pair(v, i + 1);
    }
    return std::nullopt;
}

// The same over a buffer; bytes past its end count as 0.
std::optional<std::pair<std::uint64_t, int>> varint(std::span<const std::uint8_t> bytes, std::uint64_t at) {
    std::uint64_t v = 0;
    for (int i = 0; i < 9; ++i) {
        const std::uint64_t k = at + static_cast<std::uint64_t>(i);
        const std::uint8_t b = k < bytes.size() ? bytes[static_cast<std::size_t>(k)] : 0;
        if (i == 8) return std::make_pair((v << 8) | b, 9);
        v = (v << 7) | (b & 0x7F);
        if (!(b & 0x80)) return std::make_pair(v, i + 1);
    }
    return std::nullopt;
}

bool suits(ColumnKind kind, std::uint64_t type) {
    if (type == 10 || type == 11) return false;
    switch (kind) {
        case ColumnKind::Integer:
        case ColumnKind::Real:
        case ColumnKind::Numeric: return type <= 9;
        case ColumnKind::Text: return type == 0 || (type >= 13 && (type & 1));
        case ColumnKind::Blob: return true;
    }
    return false;
}

std::uint64_t bodyLength(std::uint64_t type) {
    static const std::uint8_t kFixed[] = {0, 1, 2, 3, 4, 6, 8, 8, 0, 0, 0, 0};
    return type < 12 ? kFixed[type] : (type - 12) / 2;
}

// The payload of `total` bytes whose cell content starts at `start`: the part
// kept in the cell (as SQLite splits a table-leaf payload), then the overflow
// chain. Nothing when the cell runs past its page or the file, or the chain
// breaks off.
std::optional<std::vector<std::uint8_t>> readPayload(const PageImage& image, std::uint64_t start, std::uint64_t total) {
    const std::uint64_t P = image.pageSize();
    const std::uint64_t reserved = image.byteAt(20);
    if (reserved >= P / 2) return std::nullopt;
    const std::uint64_t U = P - reserved;
    const std::uint64_t pageEnd = (start / P + 1) * P;
    const std::uint64_t maxLocal = U - 35;
    std::uint64_t local = total;
    if (total > maxLocal) {
        const std::uint64_t minLocal = (U - 12) * 32 / 255 - 23;
        const std::uint64_t k = minLocal + (total - minLocal) % (U - 4);
        local = k <= maxLocal ? k : minLocal;
    }
    const std::uint64_t cellEnd = start + local + (local < total ? 4 : 0);
    if (cellEnd > pageEnd || cellEnd > image.size()) return std::nullopt;
    // The overflow chain cannot hold more than the file's pages do.
    if (total - local > image.pageCount() * (U - 4)) return std::nullopt;
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
            const auto size = varint(image, cell);
            if (!size || size->first > (std::uint64_t{1} << 20)) continue;
            const auto rowid = varint(image, cell + static_cast<std::uint64_t>(size->second));
            if (!rowid) continue;
            const auto payload =
                readPayload(image, cell + static_cast<std::uint64_t>(size->second + rowid->second), size->first);
            if (!payload) continue;
            // Columns type, name, tbl_name, rootpage, sql: the last one's text.
            const std::span<const std::uint8_t> record(*payload);
            std::uint64_t at = 0;
            const auto header = varint(record, 0);
            if (!header) continue;
            at = static_cast<std::uint64_t>(header->second);
            std::uint64_t body = header->first;
            std::optional<std::uint64_t> sqlType;
            for (int column = 0; column < 5 && at < header->first; ++column) {
                const auto t = varint(record, at);
                if (!t) break;
                at += static_cast<std::uint64_t>(t->second);
                if (column == 4) sqlType = t->first;
                else body += bodyLength(t->first);
            }
            if (!sqlType || *sqlType < 13 || !(*sqlType & 1)) continue;
            const std::uint64_t length = bodyLength(*sqlType);
            if (body + length > payload->size()) continue;
            texts.emplace_back(reinterpret_cast<const char*>(payload->data() + body), static_cast<std::size_t>(length));
        }
    }
    return texts;
}

std::optional<TableLayout> layoutIn(std::string_view text, std::string_view table) {
    static constexpr std::string_view kCreate = "CREATE TABLE";
    for (std::size_t at = 0; at + kCreate.size() < text.size(); ++at) {
        if ((text[at] != 'C' && text[at] != 'c') || !sameIgnoringCase(text.substr(at, kCreate.size()), kCreate)) continue;
        std::string_view rest = text.substr(at + kCreate.size(), 65536);
        if (!sameIgnoringCase(takeName(rest), table)) continue;
        rest = trim(rest);
        if (rest.empty() || rest.front() != '(') continue;
        int depth = 0;
        for (std::size_t i = 0; i < rest.size(); ++i) {
            if (rest[i] == '(') ++depth;
            if (rest[i] == ')' && --depth == 0) return parseColumns(rest.substr(1, i - 1));
        }
    }
    return std::nullopt;
}

}  // namespace

int TableLayout::index(std::string_view name) const {
    for (std::size_t i = 0; i < names.size(); ++i)
        if (sameIgnoringCase(names[i], name)) return static_cast<int>(i);
    return -1;
}

std::optional<TableLayout> findTableLayout(const PageImage& image, std::string_view table) {
    for (const std::string& text : schemaTexts(image))
        if (auto layout = layoutIn(text, table)) return layout;
    // A schema table that cannot be walked: its statement may still stand in
    // one piece somewhere in the file.
    const ByteReader all = image.reader();
    return layoutIn(std::string_view(reinterpret_cast<const char*>(all.data()), all.size()), table);
}

LiveCells::LiveCells(const PageImage& image) {
    const std::uint64_t pages = image.pageCount();
    const std::uint64_t P = image.pageSize();
    // The free list: trunk pages, each naming the leaf pages it holds.
    std::uint64_t trunk = be(image, 32, 4);
    for (std::uint64_t hops = 0; trunk >= 1 && trunk <= pages && hops < pages; ++hops) {
        const std::uint64_t t = (trunk - 1) * P;
        if (!free_.insert(trunk - 1).second) break;
        const std::uint64_t n = std::min<std::uint64_t>(be(image, t + 4, 4), (P - 8) / 4);
        for (std::uint64_t k = 0; k < n; ++k) {
            const std::uint64_t leaf = be(image, t + 8 + 4 * k, 4);
            if (leaf >= 1 && leaf <= pages) free_.insert(leaf - 1);
        }
        trunk = be(image, t, 4);
    }
    for (std::uint64_t i = 0; i < pages; ++i) {
        if (free_.count(i)) continue;
        const std::uint64_t o = i * P;
        const std::uint64_t h = o + (i == 0 ? 100 : 0);
        if (image.byteAt(h) != 0x0D) continue;
        const std::uint64_t cells = std::min<std::uint64_t>(be(image, h + 3, 2), P / 2);
        for (std::uint64_t k = 0; k < cells; ++k) {
            const std::uint64_t cell = o + be(image, h + 8 + 2 * k, 2);
            const auto payload = varint(image, cell);
            if (!payload) continue;
            const auto rowid = varint(image, cell + static_cast<std::uint64_t>(payload->second));
            if (!rowid) continue;
            starts_.insert(cell + static_cast<std::uint64_t>(payload->second + rowid->second));
        }
    }
}

std::optional<std::int64_t> CarvedRecord::integer(std::size_t k) const {
    const std::int64_t t = types[k];
    if (t == 8) return 0;
    if (t == 9) return 1;
    if (t < 1 || t > 6) return std::nullopt;
    const std::size_t n = bodyLength(static_cast<std::uint64_t>(t));
    std::uint64_t v = payload[bodyAt[k]] & 0x80 ? ~std::uint64_t{0} : 0;
    for (std::size_t i = 0; i < n; ++i) v = (v << 8) | payload[bodyAt[k] + i];
    return static_cast<std::int64_t>(v);
}

std::optional<std::int64_t> CarvedRecord::seconds(std::size_t k) const {
    if (types[k] != 7) return integer(k);
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < 8; ++i) bits = (bits << 8) | payload[bodyAt[k] + i];
    const double d = std::bit_cast<double>(bits);
    if (!std::isfinite(d) || std::fabs(d) > 1e15) return std::nullopt;
    return static_cast<std::int64_t>(d);
}

std::optional<std::string> CarvedRecord::bytes(std::size_t k) const {
    const std::int64_t t = types[k];
    if (t < 12) return std::nullopt;
    const std::size_t n = bodyLength(static_cast<std::uint64_t>(t));
    return std::string(reinterpret_cast<const char*>(payload.data() + bodyAt[k]), n);
}

std::optional<CarvedRecord> walkRecord(const PageImage& image, std::uint64_t field1, const TableLayout& layout) {
    if (field1 < 2 || layout.size() < 2) return std::nullopt;
    CarvedRecord r;
    r.start = field1 - 2;
    r.types.assign(layout.size(), 0);
    std::uint64_t at = field1;
    std::uint64_t bodies = 0;
    for (std::size_t k = 1; k < layout.size(); ++k) {
        const auto v = varint(image, at);
        if (!v || !suits(layout.kinds[k], v->first)) return std::nullopt;
        r.types[k] = static_cast<std::int64_t>(std::min<std::uint64_t>(v->first, INT64_MAX));
        bodies += bodyLength(v->first);
        at += static_cast<std::uint64_t>(v->second);
    }
    const std::uint64_t headerLength = at - r.start;
    // A header of up to 127 bytes has a one-byte size: the byte before column 0.
    if (headerLength > 127 || bodies > (std::uint64_t{1} << 24)) return std::nullopt;
    r.headerIntact = image.byteAt(r.start) == headerLength;
    const std::uint64_t total = headerLength + bodies;

    auto payload = readPayload(image, r.start, total);
    if (!payload) return std::nullopt;
    r.payload = std::move(*payload);
    r.bodyAt.resize(layout.size());
    std::size_t body = static_cast<std::size_t>(headerLength);
    for (std::size_t k = 0; k < layout.size(); ++k) {
        r.bodyAt[k] = body;
        body += static_cast<std::size_t>(bodyLength(static_cast<std::uint64_t>(r.types[k])));
    }
    return r;
}

bool bCleanStoredText(std::string_view raw, bool multiline) {
    if (!utf8::isValid(raw)) return false;
    return std::none_of(raw.begin(), raw.end(), [multiline](char c) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20) return false;
        return !(multiline && (b == '\n' || b == '\r' || b == '\t'));
    });
}

}  // namespace salvor::carve
