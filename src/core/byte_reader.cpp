#include "core/byte_reader.h"

#include <cerrno>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "core/stored_file.h"

namespace salvor {

namespace {

struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

FileImage::Status FileImage::load(const std::string& path, std::uint64_t maxSize) {
    std::vector<std::uint8_t>().swap(bytes_);
    const Fd file{openStoredFile(path, O_RDONLY | O_NONBLOCK)};
    if (file.fd < 0) return Status::cannotOpen;
    struct stat st {};
    if (::fstat(file.fd, &st) != 0) return Status::readFailed;
    if (!S_ISREG(st.st_mode)) return Status::notRegularFile;
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (st.st_size < 0 || size > maxSize || size > bytes_.max_size()) return Status::tooLarge;

    std::vector<std::uint8_t> content;
    try {
        content.resize(static_cast<std::size_t>(size));
    } catch (const std::bad_alloc&) {
        return Status::tooLarge;
    }
    // The image is the file as long as it was when opened: a file that shrinks
    // meanwhile gives what was there, one that grows is not followed.
    std::size_t got = 0;
    while (got < content.size()) {
        const ssize_t n = ::read(file.fd, content.data() + got, content.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Status::readFailed;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    content.resize(got);
    bytes_ = std::move(content);
    return Status::ok;
}

const char* FileImage::describe(Status status) {
    switch (status) {
    case Status::ok: return "read";
    case Status::cannotOpen: return "cannot be opened";
    case Status::notRegularFile: return "not a regular file";
    case Status::tooLarge: return "too large";
    case Status::readFailed: return "read error";
    }
    return "unknown error";
}

}  // namespace salvor
