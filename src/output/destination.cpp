#include "output/destination.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace salvor {

namespace fs = std::filesystem;

namespace {

// `path` with every link resolved as far as it exists; the rest kept as written.
fs::path resolved(const std::string& path) {
    std::error_code ec;
    fs::path p = fs::weakly_canonical(fs::absolute(path, ec), ec);
    if (ec) p = fs::absolute(path, ec).lexically_normal();
    return p;
}

bool inside(const fs::path& path, const fs::path& folder) {
    auto f = folder.begin(), p = path.begin();
    for (; f != folder.end(); ++f, ++p) {
        if (f->empty()) continue;  // a trailing separator
        if (p == path.end() || *p != *f) return false;
    }
    return true;
}

}  // namespace

std::optional<std::string> destinationProblem(const std::string& destination, const std::string& backupFolder) {
    if (destination.empty()) return std::string("no destination folder was given");
    const fs::path dest = resolved(destination);
    if (!backupFolder.empty() && inside(dest, resolved(backupFolder)))
        return "the destination " + dest.string() +
               " is inside the backup folder, and Salvor never writes into a backup; choose a folder outside it";

    std::error_code ec;
    const fs::file_status status = fs::status(dest, ec);
    if (fs::exists(status) && !fs::is_directory(status))
        return "the destination " + dest.string() + " exists and is not a folder";
    // The nearest folder that exists must let us create what is missing below it.
    fs::path existing = dest;
    while (!existing.empty() && !fs::exists(existing, ec)) {
        const fs::path parent = existing.parent_path();
        if (parent == existing) break;
        existing = parent;
    }
    if (!fs::is_directory(existing, ec))
        return "the destination " + dest.string() + " cannot be made: " + existing.string() + " is not a folder";
    if (::access(existing.c_str(), W_OK | X_OK) != 0)
        return "cannot write in " + existing.string() + " (" + std::strerror(errno) + "); choose another destination";
    return std::nullopt;
}

}  // namespace salvor
