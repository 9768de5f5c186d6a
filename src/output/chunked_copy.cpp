#include "output/chunked_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/stored_file.h"

namespace salvor::output {

namespace {
// Moves up to `n` bytes from src to dst inside the kernel. Returns the bytes
// moved (0 at the source's end) or -1 when this pair of files cannot be copied
// that way, after which the caller goes through the buffer instead.
ssize_t kernelCopy(int srcFd, int dstFd, std::size_t n, std::string& error) {
    for (;;) {
        const ssize_t r = ::copy_file_range(srcFd, nullptr, dstFd, nullptr, n, 0);
        if (r >= 0) return r;
        if (errno == EINTR) continue;
        if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP || errno == EBADF ||
            errno == EPERM) {
            return -1;
        }
        error = std::string("cannot copy: ") + std::strerror(errno);
        return -2;
    }
}
}  // namespace

std::string copyChunked(int srcFd, std::uint64_t expectedBytes, int dstFd, CopyBuffer& buffer,
                        const std::stop_token& stop) {
    std::uint64_t remaining = expectedBytes;
    bool sourceEnded = false;
    bool useKernel = true;
    while (remaining >= 1) {
        if (stop.stop_requested()) return kWriteStopped;
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kCopyChunkBytes));
        // Within one chunk: the kernel copies what it can without a round
        // trip through memory; the rest goes through the buffer.
        std::size_t done = 0;
        while (useKernel && !sourceEnded && done < n) {
            std::string error;
            const ssize_t r = kernelCopy(srcFd, dstFd, n - done, error);
            if (r == -2) return error;
            if (r < 0) {
                useKernel = false;
            } else if (r == 0) {
                useKernel = false;  // confirm the end with a plain read below
            } else {
                done += static_cast<std::size_t>(r);
            }
        }
        if (done < n) {
            char* buf = buffer.get();
            const std::size_t want = n - done;
            std::size_t got = 0;
            while (!sourceEnded && got < want) {
                const ssize_t r = ::read(srcFd, buf + got, want - got);
                if (r < 0) {
                    if (errno == EINTR) continue;
                    return std::string("cannot read source: ") + std::strerror(errno);
                }
                if (r == 0) sourceEnded = true;
                got += static_cast<std::size_t>(r);
            }
            // A source shorter than its recorded size is padded with zeros.
            if (got < want) std::memset(buf + got, 0, want - got);
            std::string error = writeAll(dstFd, buf, want);
            if (!error.empty()) return error;
        }
        remaining -= n;
    }
    return {};
}

SourceFile::SourceFile(const std::string& path, const BackupCipher* cipher) : cipher_(cipher) {
    if (path.empty()) {
        notHeld_ = true;
        problem_ = "the backup holds no file for it";
        return;
    }
    // Never blocks (a FIFO opens at once) and never follows a link.
    const int fd = openStoredFile(path, O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        const int err = errno;
        notHeld_ = err == ENOENT || err == ENOTDIR || err == ELOOP || err == ENXIO || err == ENODEV;
        if (err == ENOENT || err == ENOTDIR)
            problem_ = "the backup holds no file " + path;
        else if (err == ELOOP)
            problem_ = "the backup holds a link at " + path + " (or in its folder), which is never followed";
        else
            problem_ = "cannot open source " + path + ": " + std::strerror(err);
        return;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        problem_ = "cannot read source " + path + ": " + std::strerror(errno);
        ::close(fd);
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        notHeld_ = true;
        problem_ = "the backup holds no regular file at " + path +
                   (S_ISDIR(st.st_mode) ? " (a folder)" : S_ISFIFO(st.st_mode) ? " (a FIFO)" : " (a special file)");
        ::close(fd);
        return;
    }
    fd_ = fd;
    size_ = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    // An empty file has neither key nor ciphertext, in any backup.
    if (cipher_ && size_ > 0 && !openEncrypted(path, size_)) {
        ::close(fd_);
        fd_ = -1;
    }
}

bool SourceFile::openEncrypted(const std::string& path, std::uint64_t storedSize) {
    const auto entry = cipher_->fileEntry(BackupCipher::storedNameOf(path));
    if (!entry) {
        problem_ = "cannot decrypt " + path + ": the backup's file list holds no key for it";
        return false;
    }
    std::string why;
    const auto key = cipher_->unwrapFileKey(crypto::bytesOf(entry->wrappedKey), why);
    if (!key) {
        problem_ = "cannot decrypt " + path + ": " + why;
        return false;
    }
    if (storedSize % 16 != 0) {
        problem_ = "cannot decrypt " + path + ": its length is not a whole number of cipher blocks";
        return false;
    }
    // The content's length from the padding of the last block, decrypted on
    // its own with the block before it as its initial value.
    unsigned char tail[32] = {};
    const std::size_t want = storedSize >= 32 ? 32 : 16;
    ssize_t got = -1;
    do {
        got = ::pread(fd_, tail, want, static_cast<off_t>(storedSize - want));
    } while (got < 0 && errno == EINTR);
    if (got != static_cast<ssize_t>(want)) {
        problem_ = "cannot read source " + path;
        return false;
    }
    crypto::CbcDecryptor last(key->view(), want == 32 ? std::span<const std::uint8_t>(tail, 16)
                                                      : std::span<const std::uint8_t>());
    last.setPadding(false);
    unsigned char plain[32] = {};
    const auto n = last.update(std::span<const std::uint8_t>(tail + want - 16, 16), plain);
    const unsigned pad = n && *n == 16 ? plain[15] : 0;
    bool valid = pad >= 1 && pad <= 16;
    for (unsigned i = 0; valid && i < pad; ++i) valid = plain[15 - i] == pad;
    crypto::cleanse(plain, sizeof plain);
    if (!valid) {
        problem_ = "cannot decrypt " + path + ": its padding is not valid (a damaged file, or the wrong key)";
        return false;
    }
    entry_ = *entry;
    encrypted_ = true;
    size_ = storedSize - pad;
    return true;
}

std::size_t SourceFile::readHead(unsigned char* out, std::size_t size) const {
    if (fd_ < 0 || size == 0) return 0;
    if (!encrypted_) {
        ssize_t got = -1;
        do {
            got = ::pread(fd_, out, size, 0);
        } while (got < 0 && errno == EINTR);
        return got > 0 ? static_cast<std::size_t>(got) : 0;
    }
    std::string why;
    const auto key = cipher_->unwrapFileKey(crypto::bytesOf(entry_.wrappedKey), why);
    if (!key) return 0;
    // Whole blocks from the start; CBC decrypts them without the rest.
    const std::size_t blocks = std::min<std::uint64_t>((size + 15) / 16, (size_ + 15) / 16);
    std::vector<unsigned char> cipherText(blocks * 16), plain(blocks * 16 + 16);
    ssize_t got = -1;
    do {
        got = ::pread(fd_, cipherText.data(), cipherText.size(), 0);
    } while (got < 0 && errno == EINTR);
    if (got != static_cast<ssize_t>(cipherText.size())) return 0;
    crypto::CbcDecryptor d(key->view());
    d.setPadding(false);
    const auto n = d.update(cipherText, plain.data());
    if (!n) return 0;
    const std::size_t count = std::min<std::uint64_t>({size, *n, size_});
    std::memcpy(out, plain.data(), count);
    crypto::cleanse(plain.data(), plain.size());
    return count;
}

std::optional<std::vector<std::uint8_t>> SourceFile::readAll(std::uint64_t maxBytes, std::string& why) const {
    if (fd_ < 0) {
        why = problem_;
        return std::nullopt;
    }
    if (size_ > maxBytes) {
        why = "it is too large";
        return std::nullopt;
    }
    if (encrypted_) {
        std::vector<std::uint8_t> cipherText(static_cast<std::size_t>((size_ / 16 + 1) * 16));
        ssize_t got = -1;
        do {
            got = ::pread(fd_, cipherText.data(), cipherText.size(), 0);
        } while (got < 0 && errno == EINTR);
        if (got != static_cast<ssize_t>(cipherText.size())) {
            why = "cannot read source";
            return std::nullopt;
        }
        return cipher_->decryptBytes(crypto::bytesOf(entry_.wrappedKey), cipherText, why);
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size_));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::pread(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            why = std::string("cannot read source: ") + std::strerror(errno);
            return std::nullopt;
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    bytes.resize(done);
    return bytes;
}

std::string SourceFile::decryptInto(int dst, const std::stop_token& stop) const {
    if (::lseek(fd_, 0, SEEK_SET) != 0) return std::string("cannot read source: ") + std::strerror(errno);
    const BackupCipher::Decrypted result = cipher_->decryptFile(fd_, entry_, dst, stop);
    if (result.stopped) return kWriteStopped;
    if (!result.ok) return "cannot decrypt: " + result.problem;
    return {};
}

SourceFile::~SourceFile() {
    if (fd_ >= 0) ::close(fd_);
}

WriteResult copyFileInto(const SourceFile& source, const std::uint64_t* expectedBytes, OutputDir& folder,
                         const std::string& safeName, CopyBuffer& buffer, const std::stop_token& stop) {
    if (!source.ok()) {
        WriteResult result;
        result.path = folder.path() + "/" + safeName;
        result.error = source.problem();
        result.notInBackup = source.notHeld();
        return result;
    }
    ::posix_fadvise(source.fd(), 0, 0, POSIX_FADV_SEQUENTIAL);
    // The padding gives an encrypted file's length, whatever was recorded.
    if (source.encrypted())
        return folder.place(safeName, [&](int dst) { return source.decryptInto(dst, stop); });
    const std::uint64_t size = expectedBytes ? *expectedBytes : source.size();
    return folder.place(safeName, [&](int dst) { return copyChunked(source.fd(), size, dst, buffer, stop); });
}

WriteResult copyFileInto(const std::string& sourcePath, const std::uint64_t* expectedBytes, OutputDir& folder,
                         const std::string& safeName, CopyBuffer& buffer, const std::stop_token& stop) {
    const SourceFile source(sourcePath);
    return copyFileInto(source, expectedBytes, folder, safeName, buffer, stop);
}

}  // namespace salvor::output
