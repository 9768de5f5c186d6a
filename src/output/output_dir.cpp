#include "output/output_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>

#include "output/safe_name.h"

namespace salvor::output {

namespace {
std::string errnoText(int err) { return std::strerror(err); }

// Private temporary names: hidden, unique within the process and the machine.
std::string temporaryName() {
    static std::atomic<unsigned long> counter{0};
    return ".salvor-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1)) + ".part";
}

constexpr unsigned kMaxNumber = 1000000;

// The temporary files being filled right now, by full path, so a process that
// is stopped hard can still remove them. Never destroyed: a stop may come
// while static objects are being torn down.
struct Unfinished {
    std::mutex mutex;
    std::set<std::string> paths;
};
Unfinished& unfinished() {
    static Unfinished* files = new Unfinished;
    return *files;
}

// Registers a temporary file for the time it is being filled.
class UnfinishedFile {
public:
    explicit UnfinishedFile(std::string path) : path_(std::move(path)) {
        std::lock_guard lock(unfinished().mutex);
        unfinished().paths.insert(path_);
    }
    ~UnfinishedFile() {
        std::lock_guard lock(unfinished().mutex);
        unfinished().paths.erase(path_);
    }
    UnfinishedFile(const UnfinishedFile&) = delete;
    UnfinishedFile& operator=(const UnfinishedFile&) = delete;

private:
    std::string path_;
};
}  // namespace

void OutputDir::removeUnfinishedFiles() {
    std::lock_guard lock(unfinished().mutex);
    for (const auto& path : unfinished().paths) ::unlink(path.c_str());
    unfinished().paths.clear();
}

OutputDir::~OutputDir() {
    if (fd_ >= 0) ::close(fd_);
}

OutputDir::OutputDir(OutputDir&& other) noexcept
    : fd_(other.fd_), path_(std::move(other.path_)), publish_(other.publish_),
      nextNumber_(std::move(other.nextNumber_)) {
    other.fd_ = -1;
}

OutputDir& OutputDir::operator=(OutputDir&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.fd_;
        other.fd_ = -1;
        path_ = std::move(other.path_);
        publish_ = other.publish_;
        nextNumber_ = std::move(other.nextNumber_);
    }
    return *this;
}

OutputDir OutputDir::create(const std::string& path, std::string& error) {
    OutputDir dir;
    dir.path_ = path;
    if (path.empty()) {
        error = "no folder given";
        return dir;
    }
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot create folder: " + (ec ? ec.message() : errnoText(errno));
        return dir;
    }
    dir.fd_ = fd;
    return dir;
}

OutputDir OutputDir::subfolder(const std::string& safeName, std::string& error) const {
    OutputDir dir;
    dir.path_ = path_ + "/" + safeName;
    if (fd_ < 0) {
        error = "folder " + path_ + " is not available";
        return dir;
    }
    if (::mkdirat(fd_, safeName.c_str(), 0777) != 0 && errno != EEXIST) {
        error = "cannot create folder: " + errnoText(errno);
        return dir;
    }
    const int fd = ::openat(fd_, safeName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        error = (err == ENOTDIR || err == ELOOP) ? "a file that is not a folder is in the way"
                                                 : "cannot open folder: " + errnoText(err);
        return dir;
    }
    dir.fd_ = fd;
    return dir;
}

WriteResult OutputDir::place(const std::string& safeName, const Fill& fill) {
    WriteResult result;
    result.path = path_ + "/" + safeName;
    if (fd_ < 0) {
        result.error = "folder " + path_ + " is not available";
        return result;
    }
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = temporaryName();
        fd = ::openat(fd_, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        result.error = "cannot create file: " + errnoText(errno);
        return result;
    }
    UnfinishedFile registered(path_ + "/" + temp);
    std::string error = fill(fd);
    if (::close(fd) != 0 && error.empty()) error = "cannot finish writing: " + errnoText(errno);
    if (!error.empty()) {
        ::unlinkat(fd_, temp.c_str(), 0);
        result.stopped = error == kWriteStopped;
        result.error = error;
        return result;
    }

    unsigned& next = nextNumber_[safeName];
    if (next == 0) next = 1;
    bool tempGone = false;
    for (unsigned n = next; n <= kMaxNumber; ++n) {
        const std::string candidate = numberedName(safeName, n);
        int rc = -1;
        int err = 0;
        if (publish_ == Publish::Link) {
            rc = ::linkat(fd_, temp.c_str(), fd_, candidate.c_str(), 0);
            err = rc == 0 ? 0 : errno;
            // File systems without hard links: fall back to a no-replace rename.
            if (rc != 0 && (err == EPERM || err == EOPNOTSUPP || err == ENOSYS || err == EMLINK || err == EXDEV)) {
                publish_ = Publish::RenameNoReplace;
            }
        }
        if (publish_ == Publish::RenameNoReplace) {
            rc = ::renameat2(fd_, temp.c_str(), fd_, candidate.c_str(), RENAME_NOREPLACE);
            err = rc == 0 ? 0 : errno;
            if (rc == 0) tempGone = true;
            if (rc != 0 && (err == EINVAL || err == ENOSYS || err == EOPNOTSUPP)) {
                publish_ = Publish::ReserveAndRename;
            }
        }
        if (publish_ == Publish::ReserveAndRename) {
            // Claim the name exclusively first; then replacing our own empty
            // claim with the finished file is safe.
            const int claim = ::openat(fd_, candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            if (claim < 0) {
                rc = -1;
                err = errno;
            } else {
                ::close(claim);
                rc = ::renameat(fd_, temp.c_str(), fd_, candidate.c_str());
                err = rc == 0 ? 0 : errno;
                if (rc == 0) tempGone = true;
                else ::unlinkat(fd_, candidate.c_str(), 0);
            }
        }
        if (rc == 0) {
            next = n + 1;
            if (!tempGone) ::unlinkat(fd_, temp.c_str(), 0);
            result.ok = true;
            result.path = path_ + "/" + candidate;
            return result;
        }
        if (err != EEXIST) {
            ::unlinkat(fd_, temp.c_str(), 0);
            result.error = "cannot create file: " + errnoText(err);
            return result;
        }
    }
    ::unlinkat(fd_, temp.c_str(), 0);
    result.error = "no free name left";
    return result;
}

WriteResult OutputDir::placeBytes(const std::string& safeName, const std::string& bytes) {
    return place(safeName, [&bytes](int fd) { return writeAll(fd, bytes.data(), bytes.size()); });
}

std::string writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return "write failed: " + errnoText(errno);
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return {};
}

void splitPath(const std::string& fullPath, std::string& folder, std::string& name) {
    const std::size_t slash = fullPath.rfind('/');
    if (slash == std::string::npos) {
        folder.assign(1, '.');
        name = fullPath;
        return;
    }
    folder.assign(fullPath, 0, slash == 0 ? 1 : slash);
    name.assign(fullPath, slash + 1, std::string::npos);
}

}  // namespace salvor::output
