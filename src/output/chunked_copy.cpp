#include "output/chunked_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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

SourceFile::SourceFile(const std::string& path) {
    if (path.empty()) {
        notHeld_ = true;
        problem_ = "the backup holds no file for it";
        return;
    }
    // Never blocks (a FIFO opens at once) and never follows a link.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        notHeld_ = err == ENOENT || err == ENOTDIR || err == ELOOP || err == ENXIO || err == ENODEV;
        if (err == ENOENT || err == ENOTDIR)
            problem_ = "the backup holds no file " + path;
        else if (err == ELOOP)
            problem_ = "the backup holds a link at " + path + ", which is never followed";
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
    const std::uint64_t size = expectedBytes ? *expectedBytes : source.size();
    ::posix_fadvise(source.fd(), 0, 0, POSIX_FADV_SEQUENTIAL);
    return folder.place(safeName, [&](int dst) { return copyChunked(source.fd(), size, dst, buffer, stop); });
}

WriteResult copyFileInto(const std::string& sourcePath, const std::uint64_t* expectedBytes, OutputDir& folder,
                         const std::string& safeName, CopyBuffer& buffer, const std::stop_token& stop) {
    const SourceFile source(sourcePath);
    return copyFileInto(source, expectedBytes, folder, safeName, buffer, stop);
}

}  // namespace salvor::output
