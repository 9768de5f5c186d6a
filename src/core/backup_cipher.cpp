#include "core/backup_cipher.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "core/stored_file.h"

namespace salvor {

namespace {

constexpr std::size_t kChunk = 1u << 20;

bool readAll(int fd, std::uint8_t* out, std::size_t want, std::size_t& got, std::string& why) {
    got = 0;
    while (got < want) {
        const ssize_t n = ::read(fd, out + got, want - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            why = std::strerror(errno);
            return false;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

bool writeAll(int fd, const std::uint8_t* data, std::size_t size, std::string& why) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            why = std::strerror(errno);
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

BackupCipher::BackupCipher(std::map<std::uint32_t, crypto::SecretBytes> classKeys) : classKeys_(std::move(classKeys)) {}

BackupCipher::~BackupCipher() {
    // The class keys wipe themselves; the wrapped file keys are useless without them.
}

std::string_view BackupCipher::storedNameOf(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

void BackupCipher::addFile(std::string_view storedName, std::string wrappedKey,
                           std::optional<std::uint64_t> recordedSize) {
    std::unique_lock lock(mutex_);
    files_[std::string(storedName)] = FileEntry{std::move(wrappedKey), recordedSize};
}

std::optional<BackupCipher::FileEntry> BackupCipher::fileEntry(std::string_view storedName) const {
    std::shared_lock lock(mutex_);
    auto it = files_.find(std::string(storedName));
    // Older backups keep some files under their hashed name with a suffix
    // ("<40 hex digits>.mddata"); the file list names them by the hash alone.
    if (it == files_.end() && storedName.size() > 41 && storedName[40] == '.')
        it = files_.find(std::string(storedName.substr(0, 40)));
    if (it == files_.end()) return std::nullopt;
    return it->second;
}

std::uint64_t BackupCipher::plainSize(std::string_view storedName, std::uint64_t storedSize) const {
    const auto entry = fileEntry(storedName);
    if (entry && entry->recordedSize) return *entry->recordedSize;
    return storedSize;
}

std::optional<crypto::SecretBytes> BackupCipher::unwrapFileKey(std::span<const std::uint8_t> field,
                                                                std::string& why) const {
    if (field.size() != 44) {
        why = "its key in the file list has " + std::to_string(field.size()) + " bytes instead of 44";
        return std::nullopt;
    }
    // The class is a little-endian 32-bit number before the wrapped key.
    const std::uint32_t protectionClass = static_cast<std::uint32_t>(field[0]) |
                                          static_cast<std::uint32_t>(field[1]) << 8 |
                                          static_cast<std::uint32_t>(field[2]) << 16 |
                                          static_cast<std::uint32_t>(field[3]) << 24;
    const auto cls = classKeys_.find(protectionClass);
    if (cls == classKeys_.end()) {
        why = "the keybag holds no usable key of its protection class " + std::to_string(protectionClass);
        return std::nullopt;
    }
    auto key = crypto::aesUnwrap(cls->second.view(), field.subspan(4));
    if (!key) why = "its key does not unwrap (the file list is damaged)";
    return key;
}

BackupCipher::Decrypted BackupCipher::decryptFile(int source, const FileEntry& entry, int target,
                                                  const std::stop_token& stop) const {
    Decrypted out;
    const auto key = unwrapFileKey(crypto::bytesOf(entry.wrappedKey), out.problem);
    if (!key) return out;
    struct stat st {};
    if (::fstat(source, &st) != 0) {
        out.problem = std::strerror(errno);
        return out;
    }
    if (st.st_size % 16 != 0) {
        out.problem = "its length (" + std::to_string(st.st_size) + " bytes) is not a whole number of cipher blocks";
        return out;
    }
    if (st.st_size == 0) {
        out.problem = "it is empty, so it holds not even the cipher's padding";
        return out;
    }
    crypto::CbcDecryptor decryptor(key->view());
    if (!decryptor.ok()) {
        out.problem = "the cipher could not be set up";
        return out;
    }
    std::vector<std::uint8_t> in(kChunk), plain(kChunk + 32);
    for (;;) {
        if (stop.stop_requested()) {
            out.stopped = true;
            out.problem = "stopped";
            crypto::cleanse(plain.data(), plain.size());
            return out;
        }
        std::size_t got = 0;
        if (!readAll(source, in.data(), in.size(), got, out.problem)) break;
        if (got == 0) {
            const auto tail = decryptor.finish(plain.data());
            if (!tail) {
                out.problem = "its padding is not valid (a damaged file, or the wrong key)";
                break;
            }
            if (!writeAll(target, plain.data(), *tail, out.problem)) break;
            out.written += *tail;
            out.ok = true;
            break;
        }
        const auto n = decryptor.update(std::span<const std::uint8_t>(in.data(), got), plain.data());
        if (!n) {
            out.problem = "it could not be decrypted";
            break;
        }
        if (!writeAll(target, plain.data(), *n, out.problem)) break;
        out.written += *n;
    }
    crypto::cleanse(plain.data(), plain.size());
    if (out.ok && entry.recordedSize && *entry.recordedSize != out.written)
        out.note = "the file list gives its size as " + std::to_string(*entry.recordedSize) + " bytes, its content has " +
                   std::to_string(out.written) + "; the whole content was kept";
    return out;
}

std::optional<std::vector<std::uint8_t>> BackupCipher::decryptToMemory(const std::string& storedPath,
                                                                        std::uint64_t maxBytes,
                                                                        std::string& why) const {
    const auto entry = fileEntry(storedNameOf(storedPath));
    if (!entry) {
        why = "the file list holds no key for it";
        return std::nullopt;
    }
    const int fd = openStoredFile(storedPath, O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        why = std::strerror(errno);
        return std::nullopt;
    }
    struct stat st {};
    std::optional<std::vector<std::uint8_t>> result;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "it is not a regular file";
    } else if (static_cast<std::uint64_t>(st.st_size) > maxBytes) {
        why = "it is too large to be read into memory";
    } else {
        std::vector<std::uint8_t> cipher(static_cast<std::size_t>(st.st_size));
        std::size_t got = 0;
        if (readAll(fd, cipher.data(), cipher.size(), got, why)) {
            cipher.resize(got);
            result = decryptBytes(crypto::bytesOf(entry->wrappedKey), cipher, why);
        }
    }
    ::close(fd);
    return result;
}

std::optional<std::vector<std::uint8_t>> BackupCipher::decryptBytes(std::span<const std::uint8_t> field,
                                                                     std::span<const std::uint8_t> ciphertext,
                                                                     std::string& why) const {
    const auto key = unwrapFileKey(field, why);
    if (!key) return std::nullopt;
    if (ciphertext.empty() || ciphertext.size() % 16 != 0) {
        why = "its length (" + std::to_string(ciphertext.size()) + " bytes) is not a whole number of cipher blocks";
        return std::nullopt;
    }
    auto plain = crypto::decryptCbc(key->view(), ciphertext);
    if (!plain) why = "its padding is not valid (a damaged file, or the wrong key)";
    return plain;
}

}  // namespace salvor
