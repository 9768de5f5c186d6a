#include "carve/prepared_image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "core/byte_reader.h"
#include "core/scan_context.h"
#include "platform/log.h"

namespace salvor {

namespace {

// The written part of a sparse file larger than `maxBytes` whose bytes past
// some point were never written (a hole reads as zeros, as the image does past
// its end, so the prefix carves exactly as the whole file would). Padded with
// zeros to a multiple of 64 KiB, which every page size divides. Absent when
// the written part itself is too large or the file system cannot tell.
std::optional<std::vector<std::uint8_t>> writtenPrefix(const std::string& path, std::uint64_t maxBytes) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::optional<std::vector<std::uint8_t>> out;
    off_t written = 0;
    bool known = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    for (off_t at = 0; known && at < st.st_size;) {
        const off_t data = ::lseek(fd, at, SEEK_DATA);
        if (data < 0) {
            known = errno == ENXIO;  // nothing but a hole after `at`
            break;
        }
        const off_t hole = ::lseek(fd, data, SEEK_HOLE);
        if (hole < 0) known = false;
        else written = at = hole;
    }
    constexpr std::uint64_t kAlign = 65536;
    const std::uint64_t size = (static_cast<std::uint64_t>(written) + kAlign - 1) / kAlign * kAlign;
    if (known && size <= maxBytes) {
        std::vector<std::uint8_t> bytes(size);
        std::size_t got = 0;
        while (got < static_cast<std::size_t>(written)) {
            const ssize_t n = ::pread(fd, bytes.data() + got, static_cast<std::size_t>(written) - got,
                                      static_cast<off_t>(got));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        if (got == static_cast<std::size_t>(written)) out = std::move(bytes);
    }
    ::close(fd);
    return out;
}

}  // namespace

bool withPreparedImage(ScanContext& ctx, const std::string& backupPath,
                       std::initializer_list<const char*> storedNames, const char* absent, const char* label,
                       const std::function<void(const carve::PageImage&)>& carve) {
    if (backupPath.empty()) return false;
    auto copy = ctx.preparedDatabases.end();
    for (const char* name : storedNames) {
        copy = ctx.preparedDatabases.find(backupPath + "/" + name);
        if (copy != ctx.preparedDatabases.end()) break;
    }
    if (copy == ctx.preparedDatabases.end()) {
        log::line(absent, log::Level::Debug);
        return false;
    }
    // Read once; every probe then answers from memory, 0 past the end.
    FileImage file;
    constexpr std::uint64_t kMaxBytes = std::uint64_t{1} << 30;
    if (const FileImage::Status status = file.load(copy->second, kMaxBytes); status != FileImage::Status::ok) {
        // Never a silent limit: the person is told which file kept its
        // deleted records unsearched.
        if (status == FileImage::Status::tooLarge) {
            if (const auto prefix = writtenPrefix(copy->second, kMaxBytes)) {
                const auto image = carve::PageImage::open(*prefix, label);
                if (!image) return false;
                carve(*image);
                return true;
            }
            struct stat st {};
            const std::string size = ::stat(copy->second.c_str(), &st) == 0
                                         ? " (" + std::to_string(static_cast<std::uint64_t>(st.st_size)) + " bytes)"
                                         : std::string();
            ctx.reportProblem("The database " + std::string(label) + " is larger than 1 GiB" + size +
                              ", so it was not searched for deleted records.");
        } else {
            log::line(std::string(label) + " not carved: " + FileImage::describe(status));
        }
        return false;
    }
    const auto image = carve::PageImage::open(file.bytes(), label);
    if (!image) return false;
    carve(*image);
    return true;
}

}  // namespace salvor
