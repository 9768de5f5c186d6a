#include "backup/mbdb_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace salvor {

namespace {
constexpr std::uint8_t kMagic[6] = {0x6D, 0x62, 0x64, 0x62, 0x05, 0x00};
}

MbdbReader::MbdbReader() : buffer_(kBufferSize) {}

MbdbReader::~MbdbReader() {
    if (fd_ >= 0) ::close(fd_);
}

bool MbdbReader::open(const std::string& path) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return false;
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    size_ = static_cast<std::uint64_t>(st.st_size);
    bufferLen_ = bufferPos_ = 0;
    bufferStart_ = 0;
    return true;
}

bool MbdbReader::fill() {
    if (fd_ < 0) return false;
    // Keep the unread tail at the front, then top the buffer up.
    const std::size_t left = bufferLen_ - bufferPos_;
    if (left && bufferPos_) std::memmove(buffer_.data(), buffer_.data() + bufferPos_, left);
    bufferStart_ += bufferPos_;
    bufferPos_ = 0;
    bufferLen_ = left;
    while (bufferLen_ < buffer_.size()) {
        const ssize_t got = ::read(fd_, buffer_.data() + bufferLen_, buffer_.size() - bufferLen_);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        bufferLen_ += static_cast<std::size_t>(got);
    }
    return bufferLen_ > left;
}

bool MbdbReader::readBytes(void* out, std::size_t n) {
    auto* dst = static_cast<std::uint8_t*>(out);
    while (n > 0) {
        if (bufferPos_ == bufferLen_ && !fill()) return false;
        const std::size_t take = std::min(n, bufferLen_ - bufferPos_);
        std::memcpy(dst, buffer_.data() + bufferPos_, take);
        bufferPos_ += take;
        dst += take;
        n -= take;
    }
    return true;
}

bool MbdbReader::skip(std::uint64_t n) {
    if (n > size_ || position() > size_ - n) return false;  // would run past the end
    const std::size_t buffered = bufferLen_ - bufferPos_;
    if (n <= buffered) {
        bufferPos_ += static_cast<std::size_t>(n);
        return true;
    }
    // Drop the buffer and continue reading at the target offset.
    const std::uint64_t target = position() + n;
    if (::lseek(fd_, static_cast<off_t>(target), SEEK_SET) < 0) return false;
    bufferStart_ = target;
    bufferPos_ = bufferLen_ = 0;
    return true;
}

bool MbdbReader::readLength(std::uint16_t& length) {
    std::uint8_t b[2];
    if (bufferLen_ - bufferPos_ >= 2) {
        b[0] = buffer_[bufferPos_];
        b[1] = buffer_[bufferPos_ + 1];
        bufferPos_ += 2;
    } else if (!readBytes(b, 2)) {
        return false;
    }
    length = static_cast<std::uint16_t>((b[0] << 8) | b[1]);
    return true;
}

bool MbdbReader::readText(std::string& out) {
    out.clear();
    std::uint16_t length = 0;
    if (!readLength(length)) return false;
    if (length == kAbsent || length == 0) return true;
    if (length > size_ || position() > size_ - length) return false;
    out.resize(length);
    if (!readBytes(out.data(), length)) return false;
    // A NUL byte ends the text (the bytes after it are consumed all the same).
    const std::size_t nul = out.find('\0');
    if (nul != std::string::npos) out.resize(nul);
    return true;
}

bool MbdbReader::skipString() {
    std::uint16_t length = 0;
    if (!readLength(length)) return false;
    if (length == kAbsent || length == 0) return true;
    return skip(length);
}

bool MbdbReader::readMagic() {
    std::uint8_t head[sizeof kMagic];
    if (!readBytes(head, sizeof head)) return false;
    return std::memcmp(head, kMagic, sizeof kMagic) == 0;
}

bool MbdbReader::next(MbdbRecord& record) {
    if (position() >= size_) return false;
    if (!readText(record.domain) || !readText(record.path)) return false;
    // Link target, content digest and encryption key are not needed.
    for (int i = 0; i < 3; ++i)
        if (!skipString()) return false;
    std::uint8_t attributes[kAttributeBlockSize];
    if (!readBytes(attributes, sizeof attributes)) return false;
    record.propertyCount = attributes[kAttributeBlockSize - 1];
    for (unsigned i = 0; i < 2u * record.propertyCount; ++i)
        if (!skipString()) return false;
    return true;
}

}  // namespace salvor
