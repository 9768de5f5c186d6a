#include "platform/device_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace salvor::device {

bool ensurePrivateFolder(const std::string& path, std::string& error) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot create the folder " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        error = "cannot use the folder " + path + ": " + std::strerror(errno);
        return false;
    }
    if (S_ISLNK(st.st_mode) || !S_ISDIR(st.st_mode)) {
        error = path + " is not a plain folder (a link or a file is there); remove it and try again";
        return false;
    }
    if (st.st_uid != ::getuid()) {
        error = path + " belongs to another user; remove it and try again";
        return false;
    }
    // Ours but readable by others (made by an older version, or by hand): close it.
    if ((st.st_mode & 077) != 0 && ::chmod(path.c_str(), 0700) != 0) {
        error = "cannot make " + path + " private: " + std::strerror(errno);
        return false;
    }
    return true;
}

namespace {

bool makeParents(const std::string& path) {
    // The cache folder itself is the user's own; only missing levels are made.
    for (std::size_t pos = 1; (pos = path.find('/', pos)) != std::string::npos; ++pos) {
        const std::string part = path.substr(0, pos);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

}  // namespace

namespace {

std::string cacheFolder() {
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    const char* home = std::getenv("HOME");
    std::string cache;
    if (xdg && xdg[0] == '/') cache = xdg;
    else if (home && home[0] == '/') cache = std::string(home) + "/.cache";
    while (cache.size() > 1 && cache.back() == '/') cache.pop_back();
    return cache;
}

}  // namespace

std::string privateFoldersBase() {
    const std::string cache = cacheFolder();
    return cache.empty() ? cache : cache + "/salvor";
}

std::optional<DeviceFolders> privateDeviceFolders(const std::string& udid, std::string& error) {
    if (udid.empty() || udid.size() > 64 ||
        udid.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-") != std::string::npos) {
        error = "the device gave an unusable identifier";
        return std::nullopt;
    }
    const std::string cache = cacheFolder();
    if (cache.empty()) {
        error = "no home folder is known (set HOME or XDG_CACHE_HOME)";
        return std::nullopt;
    }
    if (!makeParents(cache)) {
        error = "cannot create the folder " + cache + ": " + std::strerror(errno);
        return std::nullopt;
    }
    DeviceFolders f;
    const std::string salvor = cache + "/salvor";
    const std::string device = salvor + "/device";
    f.root = device + "/" + udid;
    f.backup = f.root + "/Backup";
    f.photo = f.root + "/Photo";
    for (const std::string& dir : {salvor, device, f.root, f.backup, f.photo})
        if (!ensurePrivateFolder(dir, error)) return std::nullopt;
    return f;
}

int createNewFile(const std::string& dir, const std::string& name, std::string& path) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) return -1;
    const std::size_t dot = name.find_last_of('.');
    const std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
    const std::string ext = dot == std::string::npos || dot == 0 ? "" : name.substr(dot);
    for (int n = 1; n < 10000; ++n) {
        const std::string candidate = n == 1 ? name : stem + " (" + std::to_string(n) + ")" + ext;
        const std::string full = dir + "/" + candidate;
        const int fd = ::open(full.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            path = full;
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    return -1;
}

void removeFilesIn(const std::string& dir) {
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dfd < 0) return;
    DIR* d = ::fdopendir(dfd);
    if (!d) {
        ::close(dfd);
        return;
    }
    while (dirent* e = ::readdir(d)) {
        struct stat st {};
        if (::fstatat(dfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) ::unlinkat(dfd, e->d_name, 0);
    }
    ::closedir(d);
}

}  // namespace salvor::device
