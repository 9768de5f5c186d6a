#include "carve/prepared_image.h"

#include <sys/stat.h>

#include <string>

#include "core/byte_reader.h"
#include "core/scan_context.h"
#include "platform/log.h"

namespace salvor {

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
