#include "output/chunked_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace salvor::output {

std::string copyChunked(int srcFd, std::uint64_t expectedBytes, int dstFd, CopyBuffer& buffer) {
    char* buf = buffer.get();
    std::uint64_t remaining = expectedBytes;
    bool sourceEnded = false;
    while (remaining >= 1) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kCopyChunkBytes));
        std::size_t got = 0;
        while (!sourceEnded && got < n) {
            const ssize_t r = ::read(srcFd, buf + got, n - got);
            if (r < 0) {
                if (errno == EINTR) continue;
                return std::string("cannot read source: ") + std::strerror(errno);
            }
            if (r == 0) sourceEnded = true;
            got += static_cast<std::size_t>(r);
        }
        // A source shorter than its recorded size is padded with zeros.
        if (got < n) std::memset(buf + got, 0, n - got);
        std::string error = writeAll(dstFd, buf, n);
        if (!error.empty()) return error;
        remaining -= n;
    }
    return {};
}

WriteResult copyFileInto(const std::string& sourcePath, const std::uint64_t* expectedBytes, OutputDir& folder,
                         const std::string& safeName, CopyBuffer& buffer) {
    const int src = ::open(sourcePath.c_str(), O_RDONLY | O_CLOEXEC);
    if (src < 0) {
        WriteResult result;
        result.path = folder.path() + "/" + safeName;
        result.error = "cannot open source " + sourcePath + ": " + std::strerror(errno);
        return result;
    }
    std::uint64_t size = 0;
    if (expectedBytes) {
        size = *expectedBytes;
    } else {
        struct stat st{};
        if (::fstat(src, &st) == 0) size = static_cast<std::uint64_t>(st.st_size);
    }
    ::posix_fadvise(src, 0, 0, POSIX_FADV_SEQUENTIAL);
    WriteResult result = folder.place(safeName, [&](int dst) { return copyChunked(src, size, dst, buffer); });
    ::close(src);
    return result;
}

}  // namespace salvor::output
