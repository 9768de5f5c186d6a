#include "backup/mbfile.h"

#include <array>
#include <cstring>
#include <string_view>

#include "platform/plist.h"

namespace salvor {

namespace {

// A value of the archive is either stored in place or is a reference (UID)
// to an entry of the object table. References to references are followed at
// most this many times; real archives never chain them at all.
constexpr int kMaxHops = 8;

// ---- through the general reader ------------------------------------------------

class Archive {
public:
    explicit Archive(plist::Node objects) : objects_(objects), count_(objects.size()) {}

    // `value` with its references followed; null when one points past the
    // table or the chain does not end within kMaxHops.
    plist::Node resolve(plist::Node value) const {
        for (int hop = 0; hop <= kMaxHops; ++hop) {
            const auto uid = value.asUid();
            if (!uid) return value;
            if (*uid >= count_) return {};
            value = objects_.at(static_cast<std::size_t>(*uid));
        }
        return {};
    }

private:
    plist::Node objects_;
    std::size_t count_;
};

std::optional<std::int64_t> integerOf(const Archive& a, const plist::Node& object, const char* key) {
    return a.resolve(object.get(key)).asInteger();
}

std::optional<std::uint64_t> unsignedOf(const Archive& a, const plist::Node& object, const char* key) {
    const auto v = integerOf(a, object, key);
    if (!v || *v < 0) return std::nullopt;
    return static_cast<std::uint64_t>(*v);
}

// A string may be archived in place, as a reference, or as an NSString
// object holding it under "NS.string".
std::optional<std::string> stringOf(const Archive& a, const plist::Node& object, const char* key) {
    const plist::Node v = a.resolve(object.get(key));
    if (auto s = v.asString()) return s;
    if (v.isDict()) return a.resolve(v.get("NS.string")).asString();
    return std::nullopt;
}

// ---- the direct walk -------------------------------------------------------------
// A manifest holds one archive per file, hundreds of thousands of them, and
// building a tree of values for each costs more than everything else the
// manifest stage does with a row. The archives a phone writes are small and
// plain, so they are read in place: the bytes are checked as the general
// reader would check them, and every object reachable from the top is
// inspected, then the few values wanted are looked up directly. Anything
// beyond the plain shapes (XML, wide strings, sets, unusual integer widths,
// large tables, a key given twice) is left to the general reader, so both
// ways give the same answer for every input.

enum class Walk { Decoded, NotAnArchive, Unusual };

constexpr std::size_t kNone = static_cast<std::size_t>(-1);
constexpr std::size_t kMaxObjects = 256;      // real archives hold a few dozen
constexpr unsigned kMaxNesting = 16;          // real archives nest four deep
constexpr std::uint64_t kMaxEntries = 1024;   // elements of one container
// Values of the whole archive with every shared reference counted each time
// it is met (as the general reader would copy it): a real archive has about a
// hundred, while arrays that share their children double the count with each
// level, a few hundred bytes reaching millions. Memoised per object, the count
// costs one visit per object whatever it comes to.
constexpr std::uint64_t kMaxValues = kMaxArchiveValues;

// The values of an MBFile the decoder reads, by key.
enum Field {
    kSize, kMode, kBirth, kLastModified, kLastStatusChange, kProtectionClass, kUserId, kGroupId, kInode,
    kRelativePath, kTarget, kEncryptionKey, kFieldCount
};
constexpr std::string_view kFields[kFieldCount] = {
    "Size", "Mode", "Birth", "LastModified", "LastStatusChange", "ProtectionClass", "UserID", "GroupID",
    "InodeNumber", "RelativePath", "Target", "EncryptionKey"};

class DirectArchive {
public:
    DirectArchive(const std::uint8_t* data, std::size_t size) : d_(data), n_(size) {}

    Walk decode(MBFileAttributes& out) {
        if (!readTrailer() || !checkAll()) return Walk::Unusual;
        const std::size_t root = top_;
        if (type(root) != 0xD) return Walk::NotAnArchive;
        objects_ = get(root, "$objects");
        const std::size_t top = get(root, "$top");
        if (unusual_) return Walk::Unusual;
        if (objects_ == kNone || type(objects_) != 0xA || top == kNone || type(top) != 0xD)
            return Walk::NotAnArchive;
        objectCount_ = header(objects_).count;

        const std::size_t file = resolve(get(top, "root"));
        if (unusual_) return Walk::Unusual;
        if (file == kNone || type(file) != 0xD) return Walk::NotAnArchive;
        const std::size_t cls = resolve(get(file, "$class"));
        const std::size_t name = cls != kNone && type(cls) == 0xD ? get(cls, "$classname") : kNone;
        if (unusual_) return Walk::Unusual;
        if (name == kNone || type(name) != 0x5 || text(name) != "MBFile") return Walk::NotAnArchive;

        // The file's values in one pass over its keys.
        std::array<std::size_t, kFieldCount> at;
        at.fill(kNone);
        const Header& f = headers_[file];
        for (std::uint64_t i = 0; i < f.count; ++i) {
            const std::string_view k = text(refAt(file, i));
            for (std::size_t field = 0; field < kFieldCount; ++field) {
                if (k != kFields[field]) continue;
                if (at[field] != kNone) return Walk::Unusual;  // a key given twice
                at[field] = refAt(file, f.count + i);
                break;
            }
        }
        out.size = unsignedOf(at[kSize]);
        if (const auto mode = unsignedOf(at[kMode]); mode && *mode <= 0xFFFFFFFFu)
            out.mode = static_cast<std::uint32_t>(*mode);
        out.birth = integerOf(at[kBirth]);
        out.lastModified = integerOf(at[kLastModified]);
        out.lastStatusChange = integerOf(at[kLastStatusChange]);
        out.protectionClass = integerOf(at[kProtectionClass]);
        out.userId = unsignedOf(at[kUserId]);
        out.groupId = unsignedOf(at[kGroupId]);
        out.inode = unsignedOf(at[kInode]);
        out.relativePath = stringOf(at[kRelativePath]);
        out.target = stringOf(at[kTarget]);
        const std::size_t key = resolve(at[kEncryptionKey]);
        out.hasEncryptionKey = key != kNone && type(key) == 0xD;
        if (out.hasEncryptionKey) {
            const std::size_t data = resolve(get(key, "NS.data"));
            if (data != kNone && type(data) == 0x4) out.encryptionKey.assign(text(data));
        }
        return unusual_ ? Walk::Unusual : Walk::Decoded;
    }

private:
    // Left uninitialised: an object's header is written when it is checked,
    // and only checked objects are read.
    struct Header {
        unsigned type;         // high half of the marker byte
        unsigned low;          // low half
        std::uint64_t count;   // bytes of a string or data, entries of a container
        std::size_t body;      // where the bytes or references start
    };

    std::uint64_t be(std::size_t at, unsigned width) const {
        const std::uint8_t* p = d_ + at;
        switch (width) {  // the widths real archives use, without a loop
        case 1: return p[0];
        case 2: return static_cast<std::uint64_t>(p[0]) << 8 | p[1];
        default: break;
        }
        std::uint64_t v = 0;
        for (unsigned i = 0; i < width; ++i) v = (v << 8) | p[i];
        return v;
    }
    static bool plainWidth(unsigned w) { return w == 1 || w == 2 || w == 4 || w == 8; }

    bool readTrailer() {
        if (n_ < 8 + 32 || std::memcmp(d_, "bplist00", 8) != 0) return false;
        const std::size_t t = n_ - 32;
        offsetSize_ = d_[t + 6];
        refSize_ = d_[t + 7];
        const std::uint64_t count = be(t + 8, 8), top = be(t + 16, 8), table = be(t + 24, 8);
        if (!plainWidth(offsetSize_) || !plainWidth(refSize_)) return false;
        if (count == 0 || count > kMaxObjects || top >= count) return false;
        if (table < 8 || table >= t || count * offsetSize_ > t - table) return false;
        count_ = static_cast<std::size_t>(count);
        top_ = static_cast<std::size_t>(top);
        table_ = static_cast<std::size_t>(table);
        for (std::size_t i = 0; i < count_; ++i) {
            const std::uint64_t at = be(table_ + i * offsetSize_, offsetSize_);
            if (at < 8 || at >= table_) return false;
            offsets_[i] = static_cast<std::size_t>(at);
        }
        return true;
    }

    // The object's marker and size, checked to lie before the offset table;
    // false for anything but the plain kinds.
    bool parseHeader(std::size_t index, Header& h) const {
        std::size_t at = offsets_[index];
        const std::uint8_t marker = d_[at++];
        h.type = marker >> 4;
        h.low = marker & 0x0F;
        auto fits = [&](std::uint64_t bytes) { return bytes <= table_ - at; };
        switch (h.type) {
        case 0x0: h.count = 0; h.body = at; return h.low == 0x8 || h.low == 0x9;  // false, true
        case 0x1: h.count = 1u << h.low; h.body = at; return h.low <= 3 && fits(h.count);
        case 0x2: h.count = 1u << h.low; h.body = at; return (h.low == 2 || h.low == 3) && fits(h.count);
        case 0x3: h.count = 8; h.body = at; return h.low == 3 && fits(8);
        case 0x8: h.count = h.low + 1u; h.body = at; return plainWidth(h.low + 1u) && fits(h.count);
        case 0x4: case 0x5: case 0xA: case 0xD: break;
        default: return false;
        }
        h.count = h.low;
        if (h.low == 0x0F) {
            if (!fits(1) || (d_[at] >> 4) != 0x1 || (d_[at] & 0x0F) > 3) return false;
            const unsigned width = 1u << (d_[at] & 0x0F);
            ++at;
            if (!fits(width)) return false;
            h.count = be(at, width);
            at += width;
        }
        h.body = at;
        if (h.type == 0x4 || h.type == 0x5) return fits(h.count);
        if (h.count > kMaxEntries) return false;
        return fits(h.count * (h.type == 0xD ? 2 : 1) * refSize_);
    }

    // Every object reachable from the top, as the general reader would visit
    // them: each one well formed, no container inside itself, not nested too
    // deep, not expanding to too many values, dictionary keys plain strings.
    bool checkAll() {
        for (std::size_t i = 0; i < count_; ++i) state_[i] = 0;
        return check(top_, 0) != 0;
    }

    // Values in the expanded tree below `index` (0 when it fails the checks).
    std::uint64_t check(std::size_t index, unsigned depth) {
        if (state_[index] == 2) return values_[index];
        if (state_[index] == 1 || depth > kMaxNesting) return 0;
        Header& h = headers_[index];
        if (!parseHeader(index, h)) return 0;
        std::uint64_t total = 1;
        if (h.type == 0x8) {
            // The general reader refuses references beyond 32 bits.
            if (be(h.body, static_cast<unsigned>(h.count)) > 0xFFFFFFFFu) return 0;
        } else if (h.type == 0x5) {
            bool plain = true;
            for (std::uint64_t i = 0; i < h.count; ++i) {
                const std::uint8_t c = d_[h.body + i];
                plain &= c != 0 && c < 0x80;
            }
            if (!plain) return 0;
        } else if (h.type == 0xA || h.type == 0xD) {
            state_[index] = 1;
            const std::uint64_t refs = h.type == 0xD ? h.count * 2 : h.count;
            for (std::uint64_t i = 0; i < refs; ++i) {
                const std::uint64_t child = be(h.body + i * refSize_, refSize_);
                if (child >= count_) return 0;
                const std::uint64_t below = check(static_cast<std::size_t>(child), depth + 1);
                if (below == 0) return 0;
                if (h.type == 0xD && i < h.count && headers_[child].type != 0x5) return 0;
                total += below;
                if (total > kMaxValues) return 0;
            }
        }
        state_[index] = 2;
        values_[index] = total;
        return total;
    }

    const Header& header(std::size_t index) const { return headers_[index]; }
    unsigned type(std::size_t index) const { return headers_[index].type; }
    std::size_t refAt(std::size_t container, std::uint64_t i) const {
        return static_cast<std::size_t>(be(headers_[container].body + i * refSize_, refSize_));
    }
    std::string_view text(std::size_t index) const {
        const Header& h = headers_[index];
        return {reinterpret_cast<const char*>(d_) + h.body, static_cast<std::size_t>(h.count)};
    }

    // The value under `key`; kNone when absent. A key given twice is left to
    // the general reader, whose choice between them is its own.
    std::size_t get(std::size_t dict, std::string_view key) {
        const Header& h = headers_[dict];
        std::size_t found = kNone;
        for (std::uint64_t i = 0; i < h.count; ++i) {
            if (text(refAt(dict, i)) != key) continue;
            if (found != kNone) unusual_ = true;
            found = refAt(dict, h.count + i);
        }
        return found;
    }

    std::size_t resolve(std::size_t value) const {
        for (int hop = 0; hop <= kMaxHops; ++hop) {
            if (value == kNone || type(value) != 0x8) return value;
            const std::uint64_t uid = be(headers_[value].body, static_cast<unsigned>(headers_[value].count));
            if (uid >= objectCount_) return kNone;
            value = refAt(objects_, uid);
        }
        return kNone;
    }

    std::optional<std::int64_t> integerOf(std::size_t value) const {
        const std::size_t v = resolve(value);
        if (v == kNone || type(v) != 0x1) return std::nullopt;
        // 8-byte integers hold negative values in two's complement.
        return static_cast<std::int64_t>(be(headers_[v].body, static_cast<unsigned>(headers_[v].count)));
    }
    std::optional<std::uint64_t> unsignedOf(std::size_t value) const {
        const auto v = integerOf(value);
        if (!v || *v < 0) return std::nullopt;
        return static_cast<std::uint64_t>(*v);
    }
    std::optional<std::string> stringOf(std::size_t value) {
        std::size_t v = resolve(value);
        if (v != kNone && type(v) == 0xD) v = resolve(get(v, "NS.string"));
        if (v == kNone || type(v) != 0x5) return std::nullopt;
        return std::string(text(v));
    }

    const std::uint8_t* d_;
    std::size_t n_;
    unsigned offsetSize_ = 0, refSize_ = 0;
    std::size_t count_ = 0, top_ = 0, table_ = 0;
    std::size_t objects_ = kNone;
    std::uint64_t objectCount_ = 0;
    bool unusual_ = false;
    std::array<std::size_t, kMaxObjects> offsets_;
    std::array<Header, kMaxObjects> headers_;
    std::array<std::uint64_t, kMaxObjects> values_;
    std::array<std::uint8_t, kMaxObjects> state_;  // 0 unseen, 1 being checked, 2 checked
};

}  // namespace

std::optional<MBFileAttributes> decodeMBFileGeneral(const std::uint8_t* data, std::size_t size) {
    if (!data || size == 0) return std::nullopt;
    // The reader refuses, before building anything, an archive that would
    // expand past the bound.
    const plist::Document doc = plist::Document::fromBytes(data, size, kMaxArchiveValues);
    const plist::Node root = doc.rootDict();
    if (!root) return std::nullopt;
    const plist::Node objects = root.array("$objects");
    const plist::Node top = root.dict("$top");
    if (!objects || !top) return std::nullopt;
    const Archive archive(objects);

    // The root is named by $top, not assumed to be the second object.
    const plist::Node file = archive.resolve(top.get("root"));
    if (!file.isDict()) return std::nullopt;
    const plist::Node cls = archive.resolve(file.get("$class"));
    if (cls.string("$classname") != std::optional<std::string>("MBFile")) return std::nullopt;

    MBFileAttributes out;
    out.size = unsignedOf(archive, file, "Size");
    if (const auto mode = unsignedOf(archive, file, "Mode"); mode && *mode <= 0xFFFFFFFFu)
        out.mode = static_cast<std::uint32_t>(*mode);
    out.birth = integerOf(archive, file, "Birth");
    out.lastModified = integerOf(archive, file, "LastModified");
    out.lastStatusChange = integerOf(archive, file, "LastStatusChange");
    out.protectionClass = integerOf(archive, file, "ProtectionClass");
    out.userId = unsignedOf(archive, file, "UserID");
    out.groupId = unsignedOf(archive, file, "GroupID");
    out.inode = unsignedOf(archive, file, "InodeNumber");
    out.relativePath = stringOf(archive, file, "RelativePath");
    out.target = stringOf(archive, file, "Target");
    const plist::Node key = archive.resolve(file.get("EncryptionKey"));
    out.hasEncryptionKey = key.isDict();
    if (out.hasEncryptionKey)
        if (const auto data = archive.resolve(key.get("NS.data")).asData()) out.encryptionKey.assign(data->begin(), data->end());
    return out;
}

std::optional<MBFileAttributes> decodeMBFile(const std::uint8_t* data, std::size_t size) {
    if (!data || size == 0) return std::nullopt;
    MBFileAttributes out;
    switch (DirectArchive(data, size).decode(out)) {
    case Walk::Decoded: return out;
    case Walk::NotAnArchive: return std::nullopt;
    case Walk::Unusual: break;
    }
    return decodeMBFileGeneral(data, size);
}

}  // namespace salvor
