#include "carve/carve_schema.h"

#include "core/utf8.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>
#include <vector>

namespace salvor::carve {

namespace {

// A schema entry larger than this is not a table declaration we read.
constexpr std::size_t kMaxEntry = 1 << 20;

std::string upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

// A varint at `at`, at most nine bytes; its value and length.
std::pair<std::uint64_t, std::uint64_t> varint(const PageImage& image, std::uint64_t at) {
    std::uint64_t v = 0;
    for (std::uint64_t n = 0; n < 9; ++n) {
        const std::uint8_t b = image.byteAt(at + n);
        if (n == 8) return {(v << 8) | b, 9};
        v = (v << 7) | (b & 0x7F);
        if (!(b & 0x80)) return {v, n + 1};
    }
    return {v, 9};
}

std::uint32_t be32(const PageImage& image, std::uint64_t at) {
    return (std::uint32_t{image.byteAt(at)} << 24) | (std::uint32_t{image.byteAt(at + 1)} << 16) |
           (std::uint32_t{image.byteAt(at + 2)} << 8) | image.byteAt(at + 3);
}

class SchemaReader {
public:
    explicit SchemaReader(const PageImage& image)
        : image_(image), usable_(image.pageSize() - std::min<std::uint32_t>(image.byteAt(20), image.pageSize() / 2)) {}

    // The CREATE text of table `name`, searching the b-tree rooted at page 1.
    std::optional<std::string> createText(std::string_view name) {
        want_ = upper(name);
        walk(1, 0);
        return found_;
    }

private:
    void walk(std::uint32_t pageNo, int depth) {
        if (found_ || depth > 10 || pageNo == 0 || pageNo > image_.pageCount() || !seen_.insert(pageNo).second) return;
        const std::uint64_t start = std::uint64_t{pageNo - 1} * image_.pageSize();
        const std::uint64_t head = start + (pageNo == 1 ? 100 : 0);
        const std::uint8_t type = image_.byteAt(head);
        if (type != 0x0D && type != 0x05) return;
        const std::uint32_t cells = (std::uint32_t{image_.byteAt(head + 3)} << 8) | image_.byteAt(head + 4);
        const std::uint64_t pointers = head + (type == 0x05 ? 12 : 8);
        for (std::uint32_t c = 0; c < cells && !found_; ++c) {
            const std::uint64_t cell =
                start + ((std::uint64_t{image_.byteAt(pointers + 2 * c)} << 8) | image_.byteAt(pointers + 2 * c + 1));
            if (type == 0x05)
                walk(be32(image_, cell), depth + 1);
            else
                entry(cell);
        }
        if (type == 0x05) walk(be32(image_, head + 8), depth + 1);
    }

    // One schema row: type, name, tbl_name, rootpage, sql.
    void entry(std::uint64_t cell) {
        const auto [payload, a] = varint(image_, cell);
        const auto [rowid, b] = varint(image_, cell + a);
        (void)rowid;
        if (payload == 0 || payload > kMaxEntry) return;
        const std::vector<std::uint8_t> bytes = payloadBytes(cell + a + b, payload);
        auto at = [&](std::uint64_t i) -> std::uint8_t { return i < bytes.size() ? bytes[i] : 0; };
        auto readVarint = [&](std::uint64_t& i) {
            std::uint64_t v = 0;
            for (int n = 0; n < 9; ++n) {
                const std::uint8_t x = at(i++);
                v = (v << 7) | (x & 0x7F);
                if (!(x & 0x80)) break;
            }
            return v;
        };
        std::uint64_t i = 0;
        const std::uint64_t headerEnd = readVarint(i);
        std::vector<std::uint64_t> types;
        while (i < headerEnd && types.size() < 5) types.push_back(readVarint(i));
        if (types.size() < 5) return;
        std::uint64_t body = headerEnd;
        std::vector<std::string> texts;
        for (std::uint64_t t : types) {
            const auto len = static_cast<std::uint64_t>(getFieldDataLengthBy(static_cast<std::int64_t>(std::min<std::uint64_t>(t, 1u << 30))));
            std::string s;
            if (t >= 13 && (t & 1) && body + len <= bytes.size())
                s.assign(reinterpret_cast<const char*>(bytes.data() + body), len);
            texts.push_back(std::move(s));
            body += len;
        }
        if (upper(texts[0]) == "TABLE" && upper(texts[1]) == want_) found_ = texts[4];
    }

    // The record's bytes: the part kept on the leaf, then the overflow chain.
    std::vector<std::uint8_t> payloadBytes(std::uint64_t at, std::uint64_t payload) const {
        const std::uint64_t maxLocal = usable_ - 35;
        const std::uint64_t minLocal = (usable_ - 12) * 32 / 255 - 23;
        std::uint64_t local = payload;
        if (payload > maxLocal) {
            local = minLocal + (payload - minLocal) % (usable_ - 4);
            if (local > maxLocal) local = minLocal;
        }
        std::vector<std::uint8_t> out(static_cast<std::size_t>(local));
        image_.copy(at, out);
        std::uint32_t next = local < payload ? be32(image_, at + local) : 0;
        std::set<std::uint32_t> chain;
        while (out.size() < payload && next != 0 && next <= image_.pageCount() && chain.insert(next).second) {
            const std::uint64_t page = std::uint64_t{next - 1} * image_.pageSize();
            const std::uint64_t n = std::min<std::uint64_t>(usable_ - 4, payload - out.size());
            const std::size_t old = out.size();
            out.resize(old + static_cast<std::size_t>(n));
            image_.copy(page + 4, std::span<std::uint8_t>(out.data() + old, static_cast<std::size_t>(n)));
            next = be32(image_, page);
        }
        return out;
    }

    const PageImage& image_;
    std::uint64_t usable_;
    std::string want_;
    std::set<std::uint32_t> seen_;
    std::optional<std::string> found_;
};

char affinity(std::string_view declared) {
    const std::string t = upper(declared);
    if (t.find("INT") != std::string::npos) return 'i';
    if (t.find("CHAR") != std::string::npos || t.find("CLOB") != std::string::npos || t.find("TEXT") != std::string::npos)
        return 't';
    if (t.empty() || t.find("BLOB") != std::string::npos) return 'b';
    if (t.find("REAL") != std::string::npos || t.find("FLOA") != std::string::npos || t.find("DOUB") != std::string::npos)
        return 'r';
    return 'n';
}

}  // namespace

std::optional<std::string> columnKindsOf(std::string_view sql) {
    const std::size_t open = sql.find('(');
    if (open == std::string_view::npos) return std::nullopt;
    std::string kinds;
    std::vector<std::string_view> items;
    int depth = 0;
    std::size_t from = open + 1;
    char quote = 0;
    for (std::size_t i = open + 1; i < sql.size(); ++i) {
        const char c = sql[i];
        if (quote) {
            if (c == quote) quote = 0;
            continue;
        }
        if (c == '\'' || c == '"' || c == '`') quote = c;
        else if (c == '[') quote = ']';
        else if (c == '(') ++depth;
        else if (c == ')' && depth > 0) --depth;
        else if ((c == ',' || c == ')') && depth == 0) {
            items.push_back(sql.substr(from, i - from));
            from = i + 1;
            if (c == ')') break;
        }
    }
    for (std::string_view item : items) {
        while (!item.empty() && std::isspace(static_cast<unsigned char>(item.front()))) item.remove_prefix(1);
        if (item.empty()) continue;
        // The column's name (possibly quoted), then its declared type.
        std::size_t end = 0;
        const char q = item.front();
        if (q == '"' || q == '`' || q == '[') {
            end = item.find(q == '[' ? ']' : q, 1);
            end = end == std::string_view::npos ? item.size() : end + 1;
        } else {
            while (end < item.size() && !std::isspace(static_cast<unsigned char>(item[end]))) ++end;
        }
        const std::string name = upper(item.substr(0, end));
        if (name == "CONSTRAINT" || name == "PRIMARY" || name == "UNIQUE" || name == "CHECK" || name == "FOREIGN")
            continue;
        std::string_view rest = item.substr(end);
        // The type ends where a column constraint begins.
        const std::string up = upper(rest);
        std::size_t cut = rest.size();
        for (const char* word : {" PRIMARY", " NOT", " NULL", " UNIQUE", " DEFAULT", " CHECK", " REFERENCES",
                                 " COLLATE", " CONSTRAINT", " GENERATED", " AS"}) {
            const std::size_t at = (" " + up).find(word);
            if (at != std::string::npos) cut = std::min(cut, at);
        }
        kinds += affinity(rest.substr(0, cut));
    }
    // SQLite itself refuses tables wider than 2000 columns (its default limit).
    if (kinds.empty() || kinds.size() > 2000) return std::nullopt;
    return kinds;
}

std::optional<std::string> tableColumnKinds(const PageImage& image, std::string_view table) {
    const auto sql = SchemaReader(image).createText(table);
    if (!sql) return std::nullopt;
    return columnKindsOf(*sql);
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

}  // namespace salvor::carve

namespace salvor::carve {

namespace {

std::optional<WalkedRecord> walk(const PageImage& image, std::uint64_t anchor, std::size_t anchorColumn,
                                 std::string_view kinds, std::uint64_t lo, std::uint64_t hi, bool shortFirst) {
    const std::size_t n = kinds.size();
    if (anchorColumn == 0 || anchorColumn >= n || anchor <= lo || anchor >= hi) return std::nullopt;
    WalkedRecord r;
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
    r.firstType = pos;
    r.idIntact = pos > lo && image.byteAt(pos - 1) == 0;
    // On: the anchor's column and every later one, up to four bytes each.
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
    r.bodies.assign(n, q);
    std::uint64_t body = q;
    for (std::size_t k = 1; k < n; ++k) {
        r.bodies[k] = body;
        body += static_cast<std::uint64_t>(getFieldDataLengthBy(r.types[k]));
        if (body > hi) return std::nullopt;
    }
    r.end = body;
    return r;
}

}  // namespace

std::optional<WalkedRecord> walkRecord(const PageImage& image, std::uint64_t anchor, std::size_t anchorColumn,
                                       std::string_view kinds, std::uint64_t lo, std::uint64_t hi) {
    if (auto r = walk(image, anchor, anchorColumn, kinds, lo, hi, false)) return r;
    // A freed cell's free-block header may end just before column 1 with a
    // byte of 0x80 or more (a block size above 127) that is no part of the
    // record; the column's own serial type is then its last byte alone.
    return walk(image, anchor, anchorColumn, kinds, lo, hi, true);
}

std::optional<std::int64_t> numberAt(const PageImage& image, const WalkedRecord& r, std::size_t column) {
    if (column >= r.types.size()) return std::nullopt;
    const std::int64_t t = r.types[column];
    if (t == 8) return 0;
    if (t == 9) return 1;
    if (t < 1 || t > 7) return std::nullopt;
    const auto len = static_cast<std::size_t>(getFieldDataLengthBy(t));
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < len; ++i) v = (v << 8) | image.byteAt(r.bodies[column] + i);
    if (t == 7) {
        double d = 0;
        static_assert(sizeof d == sizeof v);
        std::memcpy(&d, &v, sizeof d);
        if (!(d > -9.2e18 && d < 9.2e18)) return std::nullopt;
        return static_cast<std::int64_t>(d);
    }
    // Sign-extend from the body's width.
    const unsigned bits = static_cast<unsigned>(8 * len);
    if (bits < 64 && (v >> (bits - 1)) & 1) v |= ~std::uint64_t{0} << bits;
    return static_cast<std::int64_t>(v);
}

bool bTextsClean(const PageImage& image, const WalkedRecord& r, std::string_view kinds) {
    for (std::size_t k = 1; k < r.types.size() && k < kinds.size(); ++k) {
        if (kinds[k] != 't') continue;
        const std::string text = bytesAt(image, r, k);
        const bool control = std::any_of(text.begin(), text.end(), [](char c) {
            const auto u = static_cast<unsigned char>(c);
            return u < 0x20 && u != '\t' && u != '\n' && u != '\r';
        });
        if (control || !utf8::isValid(text)) return false;
    }
    return true;
}

std::string bytesAt(const PageImage& image, const WalkedRecord& r, std::size_t column) {
    if (column >= r.types.size() || r.types[column] < 12) return {};
    std::string out(static_cast<std::size_t>(getFieldDataLengthBy(r.types[column])), '\0');
    image.copy(r.bodies[column], std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(out.data()), out.size()));
    return out;
}

}  // namespace salvor::carve

namespace salvor::carve {

std::map<std::uint64_t, std::uint32_t> freePages(const PageImage& image) {
    std::map<std::uint64_t, std::uint32_t> out;
    std::uint32_t trunk = be32(image, 32);
    const std::uint64_t pages = image.pageCount();
    while (trunk != 0 && trunk <= pages && !out.count(trunk - 1)) {
        const std::uint64_t at = std::uint64_t{trunk - 1} * image.pageSize();
        const std::uint32_t count = std::min<std::uint32_t>(be32(image, at + 4), image.pageSize() / 4 - 2);
        out[trunk - 1] = 8 + 4 * count;
        for (std::uint32_t k = 0; k < count; ++k) {
            const std::uint32_t leaf = be32(image, at + 8 + 4 * std::uint64_t{k});
            if (leaf != 0 && leaf <= pages && !out.count(leaf - 1)) out[leaf - 1] = 0;
        }
        trunk = be32(image, at);
    }
    return out;
}

PageCells::PageCells(const PageImage& image, const std::map<std::uint64_t, std::uint32_t>& free, std::uint64_t page)
    : begin_(page * image.pageSize()), end_(begin_ + image.pageSize()), rewrittenTo_(begin_) {
    // A free-list trunk's page numbers overwrote its start; a free leaf keeps
    // its last state as a leaf, free blocks included, and lists no live cell.
    const auto f = free.find(page);
    if (f != free.end() && f->second != 0) {
        rewrittenTo_ = begin_ + f->second;
        return;
    }
    const std::uint64_t head = begin_ + (page == 0 ? 100 : 0);
    const std::uint8_t type = image.byteAt(head);
    if (type != 0x0D && type != 0x05 && type != 0x0A && type != 0x02) return;
    const std::uint32_t count =
        std::min<std::uint32_t>((std::uint32_t{image.byteAt(head + 3)} << 8) | image.byteAt(head + 4), image.pageSize() / 2);
    const std::uint64_t pointers = head + (type == 0x05 || type == 0x02 ? 12 : 8);
    rewrittenTo_ = pointers + 2 * std::uint64_t{count};
    // The chain of free blocks, in increasing order of offset.
    for (std::uint64_t at = (std::uint64_t{image.byteAt(head + 1)} << 8) | image.byteAt(head + 2);
         at >= 4 && at + 4 <= image.pageSize() && (freeblocks_.empty() || begin_ + at > freeblocks_.back());) {
        freeblocks_.push_back(begin_ + at);
        at = (std::uint64_t{image.byteAt(begin_ + at)} << 8) | image.byteAt(begin_ + at + 1);
    }
    if (type != 0x0D || f != free.end()) return;
    for (std::uint32_t c = 0; c < count; ++c) {
        const std::uint64_t ptr = pointers + 2 * std::uint64_t{c};
        const std::uint64_t start = begin_ + ((std::uint64_t{image.byteAt(ptr)} << 8) | image.byteAt(ptr + 1));
        const auto [payload, a] = varint(image, start);
        const std::uint64_t rowid = varint(image, start + a).second;
        const std::uint64_t column0 = start + a + rowid + varint(image, start + a + rowid).second;
        cells_.push_back({start, column0, std::min(end_, start + a + rowid + payload)});
    }
}

bool PageCells::bListed(const WalkedRecord& record) const {
    if (!record.idIntact) return false;
    return std::any_of(cells_.begin(), cells_.end(), [&](const Cell& c) { return c.column0 + 1 == record.firstType; });
}

bool PageCells::bOverwritten(const WalkedRecord& record) const {
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
