#include "platform/plist.h"

#include <plist/plist.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string_view>
#include <sys/stat.h>

namespace salvor::plist {

namespace {

plist_t raw(void* p) { return static_cast<plist_t>(p); }

// ---- shape guards -------------------------------------------------------
// The parser recurses once per nested container, so a small hostile file of a
// million nested arrays would exhaust the stack; the nesting is measured first.

bool xmlNestingWithin(std::string_view text, std::size_t limit) {
    std::size_t depth = 0;
    std::size_t pos = 0;
    while ((pos = text.find('<', pos)) != std::string_view::npos) {
        ++pos;
        const bool closing = pos < text.size() && text[pos] == '/';
        const std::size_t nameStart = closing ? pos + 1 : pos;
        std::size_t nameLen = 0;
        if (text.compare(nameStart, 5, "array") == 0) nameLen = 5;
        else if (text.compare(nameStart, 4, "dict") == 0) nameLen = 4;
        if (nameLen == 0) continue;
        // Any byte may follow the name ("<array\0>" is still an array to the
        // parser), so a tag that merely starts like a container counts as one:
        // counting too many only refuses a file that is deep anyway.
        const std::size_t after = nameStart + nameLen;
        if (after >= text.size()) break;
        if (closing) {
            if (depth > 0) --depth;
            continue;
        }
        const std::size_t end = text.find('>', after);
        if (end == std::string_view::npos) break;
        if (text[end - 1] == '/') continue;  // <array/> holds nothing
        if (++depth > limit) return false;
    }
    return true;
}

// Bounds-checked view of a binary property list, just enough to follow the
// references between containers.
class BinaryShape {
public:
    BinaryShape(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    // False when containers nest deeper than `limit`, refer to themselves, or
    // would expand to more than `maxNodes` values: the parser copies a value
    // each time it is referred to, so a few hundred bytes that refer to the
    // same array twice at every level would otherwise expand without bound.
    // Anything this view cannot follow is left to the parser to judge.
    bool shapeWithin(std::size_t limit, std::uint64_t maxNodes) {
        if (size_ < 8 + 32) return true;
        const std::uint8_t* t = data_ + size_ - 32;
        offsetSize_ = t[6];
        refSize_ = t[7];
        const std::uint64_t count = be(t + 8, 8);
        const std::uint64_t top = be(t + 16, 8);
        tableOffset_ = be(t + 24, 8);
        if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) return true;
        if (count == 0 || top >= count || tableOffset_ >= size_) return true;
        if (count > (size_ - tableOffset_) / offsetSize_) return true;
        count_ = count;

        // Post-order walk with an explicit stack: 0 unseen, 1 on the path, 2 done.
        std::vector<std::uint8_t> state(count_, 0);
        std::vector<std::uint32_t> height(count_, 0);
        std::vector<std::uint64_t> nodes(count_, 1);  // values in the expanded tree, saturating
        auto add = [&](std::uint64_t parent, std::uint64_t child) {
            nodes[parent] = std::min<std::uint64_t>(nodes[parent] + nodes[child], maxNodes + 1);
            height[parent] = std::max(height[parent], height[child] + 1);
            return height[parent] <= limit && nodes[parent] <= maxNodes;
        };
        struct Frame {
            std::uint64_t obj;
            std::uint64_t next;  // index of the next child to visit
        };
        std::vector<Frame> stack;
        stack.push_back({top, 0});
        state[top] = 1;
        while (!stack.empty()) {
            Frame& f = stack.back();
            std::uint64_t child = 0;
            if (childAt(f.obj, f.next, child)) {
                ++f.next;
                if (child >= count_) continue;
                if (state[child] == 1) return false;  // a container inside itself
                if (state[child] == 2) {
                    if (!add(f.obj, child)) return false;
                    continue;
                }
                state[child] = 1;
                stack.push_back({child, 0});
                if (stack.size() > limit) return false;
                continue;
            }
            const std::uint64_t done = f.obj;
            state[done] = 2;
            stack.pop_back();
            if (!stack.empty() && !add(stack.back().obj, done)) return false;
        }
        return true;
    }

private:
    std::uint64_t be(const std::uint8_t* p, unsigned n) const {
        std::uint64_t v = 0;
        for (unsigned i = 0; i < n; ++i) v = (v << 8) | p[i];
        return v;
    }
    bool read(std::uint64_t at, unsigned n, std::uint64_t& out) const {
        if (at > size_ || n > size_ - at) return false;
        out = be(data_ + at, n);
        return true;
    }
    // The i-th reference held by container `obj` (dictionary keys included).
    bool childAt(std::uint64_t obj, std::uint64_t i, std::uint64_t& child) const {
        std::uint64_t offset = 0;
        if (!read(tableOffset_ + obj * offsetSize_, offsetSize_, offset) || offset >= size_) return false;
        const std::uint8_t marker = data_[offset];
        const unsigned type = marker >> 4;
        if (type != 0xA && type != 0xC && type != 0xD) return false;
        std::uint64_t n = marker & 0x0F;
        std::uint64_t refs = offset + 1;
        if (n == 0x0F) {
            if (refs >= size_ || (data_[refs] >> 4) != 0x1) return false;
            const unsigned width = 1u << (data_[refs] & 0x3);
            if (!read(refs + 1, width, n)) return false;
            refs += 1 + width;
        }
        const std::uint64_t total = type == 0xD ? n * 2 : n;
        if (n > size_ || i >= total) return false;
        return read(refs + i * refSize_, refSize_, child);
    }

    const std::uint8_t* data_;
    std::size_t size_;
    unsigned offsetSize_ = 0, refSize_ = 0;
    std::uint64_t count_ = 0, tableOffset_ = 0;
};

bool shapeWithin(const std::uint8_t* data, std::size_t size, std::size_t limit, std::uint64_t maxNodes) {
    if (size >= 8 && std::memcmp(data, "bplist", 6) == 0) return BinaryShape(data, size).shapeWithin(limit, maxNodes);
    return xmlNestingWithin(std::string_view(reinterpret_cast<const char*>(data), size), limit);
}

}  // namespace

// ---- Node -------------------------------------------------------------------

bool Node::isDict() const { return node_ && plist_get_node_type(raw(node_)) == PLIST_DICT; }
bool Node::isArray() const { return node_ && plist_get_node_type(raw(node_)) == PLIST_ARRAY; }
bool Node::isString() const { return node_ && plist_get_node_type(raw(node_)) == PLIST_STRING; }

std::optional<std::string> Node::asString() const {
    if (!isString()) return std::nullopt;
    std::uint64_t len = 0;
    const char* s = plist_get_string_ptr(raw(node_), &len);
    if (!s) return std::string();
    return std::string(s, static_cast<std::size_t>(len));
}

std::optional<std::int64_t> Node::asInteger() const {
    if (!node_ || plist_get_node_type(raw(node_)) != PLIST_UINT) return std::nullopt;
    // The library keeps integers as 64-bit patterns; negative values come back two's-complement.
    std::uint64_t v = 0;
    plist_get_uint_val(raw(node_), &v);
    return static_cast<std::int64_t>(v);
}

std::optional<double> Node::asReal() const {
    if (!node_ || plist_get_node_type(raw(node_)) != PLIST_REAL) return std::nullopt;
    double v = 0;
    plist_get_real_val(raw(node_), &v);
    return v;
}

std::optional<bool> Node::asBool() const {
    if (!node_ || plist_get_node_type(raw(node_)) != PLIST_BOOLEAN) return std::nullopt;
    std::uint8_t v = 0;
    plist_get_bool_val(raw(node_), &v);
    return v != 0;
}

std::optional<std::uint64_t> Node::asUid() const {
    if (!node_ || plist_get_node_type(raw(node_)) != PLIST_UID) return std::nullopt;
    std::uint64_t v = 0;
    plist_get_uid_val(raw(node_), &v);
    return v;
}

std::optional<std::vector<std::uint8_t>> Node::asData() const {
    if (!node_ || plist_get_node_type(raw(node_)) != PLIST_DATA) return std::nullopt;
    std::uint64_t len = 0;
    const char* p = plist_get_data_ptr(raw(node_), &len);
    if (!p || len == 0) return std::vector<std::uint8_t>();
    const auto* b = reinterpret_cast<const std::uint8_t*>(p);
    return std::vector<std::uint8_t>(b, b + len);
}

std::optional<double> Node::asDateUnix() const {
    if (!node_ || plist_get_node_type(raw(node_)) != PLIST_DATE) return std::nullopt;
    std::int32_t sec = 0, usec = 0;
    plist_get_date_val(raw(node_), &sec, &usec);
    // Property-list dates count from 2001-01-01 00:00:00 UTC.
    return static_cast<double>(sec) + static_cast<double>(usec) / 1e6 + 978307200.0;
}

Node Node::get(const std::string& key) const {
    if (!isDict()) return Node();
    return Node(plist_dict_get_item(raw(node_), key.c_str()));
}

Node Node::dict(const std::string& key) const {
    Node n = get(key);
    return n.isDict() ? n : Node();
}

Node Node::array(const std::string& key) const {
    Node n = get(key);
    return n.isArray() ? n : Node();
}

std::size_t Node::size() const {
    if (isDict()) return plist_dict_get_size(raw(node_));
    if (isArray()) return plist_array_get_size(raw(node_));
    return 0;
}

Node Node::at(std::size_t index) const {
    if (!isArray() || index >= plist_array_get_size(raw(node_))) return Node();
    return Node(plist_array_get_item(raw(node_), static_cast<std::uint32_t>(index)));
}

void Node::forEach(const std::function<void(const std::string& key, const Node& value)>& visit) const {
    if (isArray()) {
        const std::size_t n = plist_array_get_size(raw(node_));
        for (std::size_t i = 0; i < n; ++i)
            visit(std::string(), Node(plist_array_get_item(raw(node_), static_cast<std::uint32_t>(i))));
        return;
    }
    if (!isDict()) return;
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(raw(node_), &it);
    if (!it) return;
    for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(raw(node_), it, &key, &value);
        if (!key) break;
        const std::string k(key);
        std::free(key);
        visit(k, Node(value));
    }
    std::free(it);
}

// ---- Document ---------------------------------------------------------------

Document Document::fromBytes(const std::uint8_t* data, std::size_t size, std::uint64_t maxValues) {
    Document doc;
    if (!data || size == 0 || size > kMaxFileSize) return doc;
    if (!shapeWithin(data, size, kMaxDepth, std::min(maxValues, kMaxValues))) return doc;
    plist_t root = nullptr;
    plist_from_memory(reinterpret_cast<const char*>(data), static_cast<std::uint32_t>(size), &root);
    if (root) doc.root_ = std::shared_ptr<void>(root, [](void* p) { plist_free(static_cast<plist_t>(p)); });
    return doc;
}

Document Document::fromFile(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
    if (st.st_size <= 0 || static_cast<std::uint64_t>(st.st_size) > kMaxFileSize) return {};
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return {};
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(st.st_size));
    const std::size_t got = std::fread(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    bytes.resize(got);
    return fromBytes(bytes.data(), bytes.size());
}

Node Document::rootDict() const {
    Node r = root();
    return r.isDict() ? r : Node();
}

}  // namespace salvor::plist
