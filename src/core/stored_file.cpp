#include "core/stored_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "core/backup_cipher.h"
#include "core/scan_context.h"
#include "platform/scratch.h"

namespace salvor {

namespace {

struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

bool plainCopy(int source, int target, std::string& why) {
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const ssize_t n = ::read(source, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            why = std::strerror(errno);
            return false;
        }
        if (n == 0) return true;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(target, buffer.data() + done, static_cast<std::size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) {
                why = std::strerror(errno);
                return false;
            }
            done += w;
        }
    }
}

}  // namespace

bool needsDecryption(const BackupCipher* cipher, std::uint64_t storedSize) { return cipher && storedSize > 0; }

bool copyStoredFile(const BackupCipher* cipher, int source, const std::string& storedPath, int target,
                    std::string& why, std::string& note) {
    struct stat st {};
    if (::fstat(source, &st) != 0) {
        why = std::strerror(errno);
        return false;
    }
    if (!needsDecryption(cipher, static_cast<std::uint64_t>(st.st_size))) return plainCopy(source, target, why);
    const auto entry = cipher->fileEntry(BackupCipher::storedNameOf(storedPath));
    if (!entry) {
        why = "the file list holds no key for it, so it cannot be decrypted";
        return false;
    }
    const BackupCipher::Decrypted result = cipher->decryptFile(source, *entry, target);
    if (!result.ok) {
        why = result.problem;
        return false;
    }
    note = result.note;
    return true;
}

std::optional<std::vector<std::uint8_t>> readStoredFile(const BackupCipher* cipher, const std::string& storedPath,
                                                        std::uint64_t maxBytes, std::string& why) {
    const Fd fd{::open(storedPath.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC)};
    struct stat st {};
    if (fd.fd < 0 || ::fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "the backup holds no such file";
        return std::nullopt;
    }
    if (static_cast<std::uint64_t>(st.st_size) > maxBytes + 16) {
        why = "it is too large";
        return std::nullopt;
    }
    if (needsDecryption(cipher, static_cast<std::uint64_t>(st.st_size)))
        return cipher->decryptToMemory(storedPath, maxBytes + 16, why);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(st.st_size));
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::read(fd.fd, bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            why = std::strerror(errno);
            return std::nullopt;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    bytes.resize(got);
    return bytes;
}

std::optional<std::string> readableStoredPath(ScanContext& ctx, const std::string& storedPath) {
    namespace fs = std::filesystem;
    if (!ctx.cipher) return storedPath;
    if (ctx.stopRequested() || storedPath.empty()) return std::nullopt;
    // Cached under a key of its own, beside the prepared database copies.
    const std::string cacheKey = "plain:" + storedPath;
    std::error_code ec;
    if (auto it = ctx.preparedDatabases.find(cacheKey); it != ctx.preparedDatabases.end()) {
        if (fs::is_regular_file(it->second, ec)) return it->second;
        ctx.preparedDatabases.erase(it);
    }
    const Fd source{::open(storedPath.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC)};
    struct stat st {};
    if (source.fd < 0 || ::fstat(source.fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    if (ctx.scanScratchDir.empty()) {
        ctx.scanScratchDir = scratch::create("salvor-extract-");
        if (ctx.scanScratchDir.empty()) return std::nullopt;
    }
    const fs::path plain = fs::path(ctx.scanScratchDir) / ("plain-" + std::to_string(ctx.preparedDatabases.size()) + "-" +
                                                           std::string(BackupCipher::storedNameOf(storedPath)));
    std::string why, note;
    bool ok = false;
    {
        const Fd target{::open(plain.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)};
        if (target.fd < 0) why = std::strerror(errno);
        else ok = copyStoredFile(ctx.cipher.get(), source.fd, storedPath, target.fd, why, note);
    }
    if (!ok) {
        fs::remove(plain, ec);
        ctx.reportProblem("The backup's file " + std::string(BackupCipher::storedNameOf(storedPath)) +
                          " could not be decrypted: " + why + ".");
        return std::nullopt;
    }
    ctx.preparedDatabases[cacheKey] = plain.string();
    return plain.string();
}

}  // namespace salvor
