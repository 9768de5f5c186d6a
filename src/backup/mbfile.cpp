#include "backup/mbfile.h"

#include "platform/plist.h"

namespace salvor {

namespace {

// A value of the archive is either stored in place or is a reference (UID)
// to an entry of the object table. References to references are followed at
// most this many times; real archives never chain them at all.
constexpr int kMaxHops = 8;

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

}  // namespace

std::optional<MBFileAttributes> decodeMBFile(const std::uint8_t* data, std::size_t size) {
    if (!data || size == 0) return std::nullopt;
    const plist::Document doc = plist::Document::fromBytes(data, size);
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
    out.hasEncryptionKey = archive.resolve(file.get("EncryptionKey")).isDict();
    return out;
}

}  // namespace salvor
