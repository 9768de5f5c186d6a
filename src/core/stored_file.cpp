#include "core/stored_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <unordered_map>
#include <unordered_set>

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

bool copyRange(int source, int target, std::vector<char>& buffer, off_t from, off_t to, std::string& why) {
    while (from < to) {
        const auto want =
            static_cast<std::size_t>(std::min<off_t>(to - from, static_cast<off_t>(buffer.size())));
        const ssize_t n = ::pread(source, buffer.data(), want, from);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            why = std::strerror(errno);
            return false;
        }
        if (n == 0) return true;  // shrank meanwhile: what was there is kept
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::pwrite(target, buffer.data() + done, static_cast<std::size_t>(n - done), from + done);
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) {
                why = std::strerror(errno);
                return false;
            }
            done += w;
        }
        from += n;
    }
    return true;
}

// The holes of a sparse file stay holes in the copy: a database followed by
// a long run of never-written space is copied in the time its written bytes
// take, and takes no more room in the private folder than in the backup.
bool plainCopy(int source, int target, std::string& why) {
    std::vector<char> buffer(1 << 20);
    struct stat st {};
    if (::fstat(source, &st) != 0) {
        why = std::strerror(errno);
        return false;
    }
    const off_t end = st.st_size;
    off_t at = 0;
    while (at < end) {
        off_t data = ::lseek(source, at, SEEK_DATA);
        if (data < 0 && errno == ENXIO) break;  // only a hole is left
        if (data < 0) data = at;                 // holes cannot be told here: all of it is data
        off_t hole = ::lseek(source, data, SEEK_HOLE);
        if (hole < 0 || hole > end) hole = end;
        if (!copyRange(source, target, buffer, data, hole, why)) return false;
        at = hole;
    }
    if (::ftruncate(target, end) != 0) {
        why = std::strerror(errno);
        return false;
    }
    return true;
}

// The split of ".../ab/ab0123..." into its backup folder and "ab", when the
// file sits in a folder named by the first two hex digits of its name.
bool splitTwoDigitFolder(const std::string& path, std::string& backup, std::string& folder, std::string& name) {
    const std::size_t last = path.rfind('/');
    if (last == std::string::npos || last < 3 || path[last - 3] != '/' || path.size() < last + 3) return false;
    auto hex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); };
    const char a = path[last - 2], b = path[last - 1];
    if (!hex(a) || !hex(b) || path[last + 1] != a || path[last + 2] != b) return false;
    backup = last == 3 ? std::string("/") : path.substr(0, last - 3);
    folder = path.substr(last - 2, 2);
    name = path.substr(last + 1);
    return true;
}

// The two-digit folder of a stored file, opened from its backup folder
// without following a link; -1 with errno set (ELOOP for a link).
int openTwoDigitFolder(const std::string& backup, const std::string& folder) {
    const Fd top{::open(backup.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)};
    if (top.fd < 0) return -1;
    struct stat st {};
    if (::fstatat(top.fd, folder.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
    if (S_ISLNK(st.st_mode)) {
        errno = ELOOP;
        return -1;
    }
    const int fd = ::openat(top.fd, folder.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    // Replaced by a link between the two calls: refused the same way.
    if (fd < 0 && errno == ENOTDIR) errno = ELOOP;
    return fd;
}

}  // namespace

int openStoredFile(const std::string& path, int flags) {
    flags |= O_NOFOLLOW | O_CLOEXEC;
    std::string backup, folder, name;
    if (!splitTwoDigitFolder(path, backup, folder, name)) return ::open(path.c_str(), flags);
    const Fd dir{openTwoDigitFolder(backup, folder)};
    if (dir.fd < 0) return -1;
    return ::openat(dir.fd, name.c_str(), flags);
}

int statStoredFile(const std::string& path, struct stat& st) {
    std::string backup, folder, name;
    if (!splitTwoDigitFolder(path, backup, folder, name)) return ::lstat(path.c_str(), &st);
    const Fd dir{openTwoDigitFolder(backup, folder)};
    if (dir.fd < 0) return -1;
    return ::fstatat(dir.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW);
}

// ---- StoredFileIndex ----------------------------------------------------------

namespace {

struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
using NameSet = std::unordered_set<std::string, NameHash, std::equal_to<>>;

StoredFileIndex::Presence presenceOf(int statResult, const struct stat& st, std::uint64_t* size) {
    using P = StoredFileIndex::Presence;
    if (statResult != 0) return errno == ELOOP ? P::Linked : P::Missing;
    if (S_ISLNK(st.st_mode)) return P::Linked;
    if (!S_ISREG(st.st_mode)) return P::Missing;
    if (size) *size = static_cast<std::uint64_t>(st.st_size);
    return P::Held;
}

}  // namespace

struct StoredFileIndex::Folder {
    enum class State { Listed, Linked, Unlistable };
    std::string path;
    State state = State::Listed;
    NameSet files;  // regular files
    NameSet links;
};

struct StoredFileIndex::Folders : std::unordered_map<std::string, std::unique_ptr<Folder>, NameHash, std::equal_to<>> {};

StoredFileIndex::StoredFileIndex() : folders_(std::make_unique<Folders>()) {}
StoredFileIndex::~StoredFileIndex() = default;

StoredFileIndex::Folder& StoredFileIndex::folderOf(std::string_view path) {
    if (last_ && last_->path == path) return *last_;
    if (const auto known = folders_->find(path); known != folders_->end()) return *(last_ = known->second.get());
    auto folder = std::make_unique<Folder>();
    folder->path.assign(path);
    const int fd = ::open(folder->path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        struct stat st {};
        if (::lstat(folder->path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            folder->state = Folder::State::Linked;
        else if (err == ENOENT || err == ENOTDIR)  // no such folder: nothing is stored in it
            folder->state = Folder::State::Listed;
        else
            folder->state = Folder::State::Unlistable;
    } else if (DIR* dir = ::fdopendir(fd)) {
        ++listed_;
        while (const dirent* entry = ::readdir(dir)) {
            unsigned char type = entry->d_type;
            if (type == DT_UNKNOWN) {  // some file systems do not say: asked of the file itself
                struct stat st {};
                if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
                type = S_ISREG(st.st_mode) ? DT_REG : S_ISLNK(st.st_mode) ? DT_LNK : DT_DIR;
            }
            if (type == DT_REG) folder->files.emplace(entry->d_name);
            else if (type == DT_LNK) folder->links.emplace(entry->d_name);
        }
        ::closedir(dir);
    } else {
        ::close(fd);
        folder->state = Folder::State::Unlistable;
    }
    last_ = folder.get();
    std::string key = folder->path;
    folders_->emplace(std::move(key), std::move(folder));
    return *last_;
}

StoredFileIndex::Presence StoredFileIndex::presence(std::string_view path, std::uint64_t* size) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos || slash == 0) {  // no folder to list: looked at directly
        struct stat st {};
        ++lookedAt_;
        return presenceOf(statStoredFile(std::string(path), st), st, size);
    }
    return presence(path.substr(0, slash), path.substr(slash + 1), size);
}

StoredFileIndex::Presence StoredFileIndex::presence(const StoredPath& path, std::uint64_t* size) {
    if (!path) return Presence::Missing;
    if (!path.compact()) return presence(std::string_view(path.value()), size);
    char scratch[40];
    const auto [folder, name] = path.parts(scratch);
    return presence(folder, name, size);
}

StoredFileIndex::Presence StoredFileIndex::presence(std::string_view folderPath, std::string_view name,
                                                    std::uint64_t* size) {
    if (folderPath.empty()) return presence(name, size);
    if (name.empty() || name.find('/') != std::string_view::npos) return Presence::Missing;
    auto whole = [&] { return std::string(folderPath).append("/").append(name); };
    struct stat st {};
    Folder& folder = folderOf(folderPath);
    switch (folder.state) {
    case Folder::State::Linked: return Presence::Linked;
    case Folder::State::Unlistable:
        ++lookedAt_;
        return presenceOf(statStoredFile(whole(), st), st, size);
    case Folder::State::Listed: break;
    }
    if (folder.links.find(name) != folder.links.end()) return Presence::Linked;
    if (folder.files.find(name) == folder.files.end()) return Presence::Missing;
    if (!size) return Presence::Held;
    // Listed as a regular file: only its size is left to learn. The folder
    // was seen not to be a link, and the file itself is never followed.
    ++lookedAt_;
    return presenceOf(::lstat(whole().c_str(), &st), st, size);
}

std::string storedFileRefusal(int err) {
    switch (err) {
    case ELOOP: return "it is a link, or lies in a folder that is a link, which is never followed";
    case ENOENT:
    case ENOTDIR: return "the backup holds no such file";
    default: return std::strerror(err);
    }
}

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
    const Fd fd{openStoredFile(storedPath, O_RDONLY | O_NONBLOCK)};
    struct stat st {};
    if (fd.fd < 0) {
        why = storedFileRefusal(errno);
        return std::nullopt;
    }
    if (::fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
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
    if (!ctx.cipher) {
        // Read in place, by path: so never a link, nor a file in a linked folder.
        struct stat st {};
        const bool linked = statStoredFile(storedPath, st) == 0 ? S_ISLNK(st.st_mode) : errno == ELOOP;
        return linked ? std::nullopt : std::optional<std::string>(storedPath);
    }
    if (ctx.stopRequested() || storedPath.empty()) return std::nullopt;
    // Cached under a key of its own, beside the prepared database copies.
    const std::string cacheKey = "plain:" + storedPath;
    std::error_code ec;
    if (auto it = ctx.preparedDatabases.find(cacheKey); it != ctx.preparedDatabases.end()) {
        if (fs::is_regular_file(it->second, ec)) return it->second;
        ctx.preparedDatabases.erase(it);
    }
    const Fd source{openStoredFile(storedPath, O_RDONLY | O_NONBLOCK)};
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
