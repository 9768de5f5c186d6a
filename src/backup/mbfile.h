// The "file" column of Manifest.db: a keyed archive (binary property list) of
// one MBFile object describing a file of the device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace salvor {

// What a row's archive says about its file. Each field is absent when the
// archive lacks it or holds a value of another type.
struct MBFileAttributes {
    std::optional<std::uint64_t> size;
    std::optional<std::uint32_t> mode;  // file type and permission bits, as stat gives them
    std::optional<std::int64_t> birth;  // times: Unix seconds
    std::optional<std::int64_t> lastModified;
    std::optional<std::int64_t> lastStatusChange;
    std::optional<std::int64_t> protectionClass;
    std::optional<std::uint64_t> userId;
    std::optional<std::uint64_t> groupId;
    std::optional<std::uint64_t> inode;
    std::optional<std::string> relativePath;
    std::optional<std::string> target;  // where a link points
    bool hasEncryptionKey = false;
    // The bytes of EncryptionKey's NS.data (a 4-byte little-endian class and a
    // wrapped key) in encrypted backups; empty when absent.
    std::string encryptionKey;

    bool operator==(const MBFileAttributes&) const = default;
};

// A real archive expands to about a hundred values.
inline constexpr std::uint64_t kMaxArchiveValues = 4096;

// Decodes the archive; absent when the bytes are not a keyed archive whose
// root object is an MBFile. Object references are checked against the object
// table and followed a bounded number of times, so a reference to itself or a
// ring of references gives an absent value, never a loop.
//
// The archives a phone writes are read in place; any other (XML, or with
// values of unusual encodings) goes through the general property-list reader,
// with the same answer either way.
//
// An archive whose values, with shared references expanded, would number more
// than kMaxArchiveValues is absent too, read either way: the count is taken
// once per object, before any value is built.
std::optional<MBFileAttributes> decodeMBFile(const std::uint8_t* data, std::size_t size);
// The same decoding, always through the general property-list reader.
std::optional<MBFileAttributes> decodeMBFileGeneral(const std::uint8_t* data, std::size_t size);

}  // namespace salvor
