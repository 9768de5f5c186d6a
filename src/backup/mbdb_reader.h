// Sequential, bounds-checked reader of a backup's file list ("Manifest.mbdb").
// The manifest is read whole into memory once and parsed with a ByteReader:
// every length comes from the file and is checked against what is left of it,
// and a record that runs past the end is reported as the end of the list,
// never read beyond. Record texts are read into strings the caller reuses, so
// a long list costs no allocation per record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "core/byte_reader.h"

namespace salvor {

// One record as far as the scan needs it. Texts are the bytes up to the first
// NUL byte; an absent (length 0xFFFF) or empty (length 0) text is empty here.
struct MbdbRecord {
    std::string domain;
    std::string path;
    std::uint16_t mode = 0;          // first two bytes of the attribute block: file type and permissions
    std::uint8_t propertyCount = 0;  // last byte of the 40-byte attribute block
    std::uint64_t size = 0;          // the file's (plaintext) size from the attribute block
    std::string encryptionKey;       // raw bytes of the encryption-key field; empty when absent
};

class MbdbReader {
public:
    static constexpr std::size_t kAttributeBlockSize = 40;
    static constexpr std::uint16_t kAbsent = 0xFFFF;
    // Far above any real manifest (some hundred bytes per file of the device),
    // low enough that a hostile file cannot take the machine's memory.
    static constexpr std::uint64_t kMaxFileSize = std::uint64_t{1} << 30;

    MbdbReader() = default;
    MbdbReader(const MbdbReader&) = delete;
    MbdbReader& operator=(const MbdbReader&) = delete;

    // Reads a manifest file into memory; false when it is not a regular file
    // that can be read whole (see FileImage) or is larger than kMaxFileSize.
    bool open(const std::string& path);
    // Parses bytes the caller keeps alive for as long as the reader is used.
    void openBytes(const std::uint8_t* data, std::size_t size);
    void openBytes(std::span<const std::uint8_t> bytes) { openBytes(bytes.data(), bytes.size()); }

    // Reads the 6-byte header; true only for the bytes 6D 62 64 62 05 00.
    bool readMagic();
    // Reads the next record. False when the list has ended: at the end of the
    // bytes or inside a record cut short by it (that record is not returned,
    // the position stays at its start and every later call answers false).
    bool next(MbdbRecord& record);

    // Why the last open() failed (ok after a successful one).
    FileImage::Status openStatus() const { return status_; }
    // Whether every byte was read as whole records (false after a record cut short).
    bool complete() const { return in_.position() == in_.size(); }
    std::uint64_t size() const { return in_.size(); }
    // Bytes consumed so far.
    std::uint64_t position() const { return in_.position(); }

private:
    FileImage image_;
    ByteReader in_;
    bool ended_ = false;
    FileImage::Status status_ = FileImage::Status::ok;
};

}  // namespace salvor
