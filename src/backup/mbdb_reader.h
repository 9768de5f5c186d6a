// Sequential, bounds-checked reader of a backup's file list ("Manifest.mbdb").
// Every length comes from the file and is checked against what is left of it:
// a record that runs past the end is reported as the end of the list, never
// read beyond. One buffer serves the whole file; record texts are read into
// strings the caller reuses, so a long list costs no allocation per record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace salvor {

// One record as far as the scan needs it. Texts are the bytes up to the first
// NUL byte; an absent (length 0xFFFF) or empty (length 0) text is empty here.
struct MbdbRecord {
    std::string domain;
    std::string path;
    std::uint8_t propertyCount = 0;  // last byte of the 40-byte attribute block
};

class MbdbReader {
public:
    static constexpr std::size_t kBufferSize = 64 * 1024;
    static constexpr std::size_t kAttributeBlockSize = 40;
    static constexpr std::uint16_t kAbsent = 0xFFFF;

    MbdbReader();
    ~MbdbReader();
    MbdbReader(const MbdbReader&) = delete;
    MbdbReader& operator=(const MbdbReader&) = delete;

    // Opens a manifest file; false when it cannot be opened for reading.
    bool open(const std::string& path);
    // Reads the 6-byte header; true only for the bytes 6D 62 64 62 05 00.
    bool readMagic();
    // Reads the next record. False when the list has ended: at the end of the
    // file or inside a record cut short by it (that record is not returned).
    bool next(MbdbRecord& record);

    std::uint64_t size() const { return size_; }
    // Bytes consumed so far.
    std::uint64_t position() const { return bufferStart_ + bufferPos_; }

private:
    bool fill();
    bool readBytes(void* out, std::size_t n);
    bool skip(std::uint64_t n);
    bool readLength(std::uint16_t& length);
    bool readText(std::string& out);
    bool skipString();

    int fd_ = -1;
    std::uint64_t size_ = 0;
    std::vector<std::uint8_t> buffer_;
    std::size_t bufferLen_ = 0;      // valid bytes in buffer_
    std::size_t bufferPos_ = 0;      // next unread byte in buffer_
    std::uint64_t bufferStart_ = 0;  // file offset of buffer_[0]
};

}  // namespace salvor
