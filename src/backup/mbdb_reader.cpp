#include "backup/mbdb_reader.h"

#include <algorithm>
#include <cstring>

namespace salvor {

namespace {

constexpr std::uint8_t kMagic[6] = {0x6D, 0x62, 0x64, 0x62, 0x05, 0x00};

// A string is a 2-byte length and that many bytes; 0xFFFF (absent) and 0
// (empty) have no bytes. The text kept is the bytes up to the first NUL; all
// of them are consumed.
bool readText(ByteReader& in, std::string& out) {
    const auto length = in.u16();
    if (!length) return false;
    if (*length == MbdbReader::kAbsent || *length == 0) {
        out.clear();
        return true;
    }
    const auto bytes = in.bytes(*length);
    if (!bytes) return false;
    const auto* begin = reinterpret_cast<const char*>(bytes->data());
    const auto* nul = static_cast<const char*>(std::memchr(begin, 0, bytes->size()));
    out.assign(begin, nul ? static_cast<std::size_t>(nul - begin) : bytes->size());
    return true;
}

bool skipString(ByteReader& in) {
    const auto length = in.u16();
    if (!length) return false;
    if (*length == MbdbReader::kAbsent) return true;
    return in.skip(*length);
}

}  // namespace

bool MbdbReader::open(const std::string& path) {
    ended_ = false;
    status_ = image_.load(path, kMaxFileSize);
    if (status_ != FileImage::Status::ok) {
        in_ = ByteReader();
        return false;
    }
    in_ = image_.reader();
    return true;
}

void MbdbReader::openBytes(const std::uint8_t* data, std::size_t size) {
    ended_ = false;
    image_ = FileImage();
    in_ = ByteReader(data, size);
}

bool MbdbReader::readMagic() {
    const auto head = in_.bytes(sizeof kMagic);
    return head && std::equal(head->begin(), head->end(), std::begin(kMagic));
}

bool MbdbReader::next(MbdbRecord& record) {
    if (ended_ || in_.atEnd()) return false;
    // Parse on a copy and take its position only once the whole record is in.
    ByteReader in = in_;
    bool ok = readText(in, record.domain) && readText(in, record.path);
    // Link target and content digest are not needed; the encryption key
    // (in encrypted backups) is kept as its raw bytes.
    for (int i = 0; ok && i < 2; ++i) ok = skipString(in);
    record.encryptionKey.clear();
    if (ok) {
        const auto length = in.u16();
        ok = length.has_value();
        if (ok && *length != kAbsent) ok = in.string(*length, record.encryptionKey);
    }
    const auto attributes = ok ? in.bytes(kAttributeBlockSize) : std::nullopt;
    ok = attributes.has_value();
    if (ok) {
        const ByteReader block(*attributes);
        record.mode = static_cast<std::uint16_t>(((*attributes)[0] << 8) | (*attributes)[1]);
        // mode 2, inode 8, user 4, group 4, three times 4 each, then the size.
        record.size = block.peekU64(2 + 8 + 4 + 4 + 12).value_or(0);
        record.propertyCount = attributes->back();
    }
    for (unsigned i = 0; ok && i < 2u * record.propertyCount; ++i) ok = skipString(in);
    if (!ok) {
        ended_ = true;
        return false;
    }
    in_ = in;
    return true;
}

}  // namespace salvor
