#include "forge/forge_files.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <stdexcept>

namespace salvor::forge::files {

namespace {
constexpr std::int64_t kEpoch2001 = 978307200;  // 2001-01-01 00:00:00 UTC
}

void setString(plist_t dict, const char* key, const std::string& value) {
    plist_dict_set_item(dict, key, plist_new_string(value.c_str()));
}

plist_t dateValue(std::int64_t unixSeconds) {
    return plist_new_date(static_cast<std::int32_t>(unixSeconds - kEpoch2001), 0);
}

std::string hexOf(Rng& rng, std::size_t digits, bool upper) {
    const char* kDigits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < digits; ++i) s += kDigits[rng.below(16)];
    return s;
}

void writeFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("forge: cannot create " + path + ": " + std::strerror(errno));
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) throw std::runtime_error("forge: cannot write " + path);
}

void setModificationTime(const std::string& path, std::int64_t when) {
    timespec times[2];
    times[0].tv_sec = static_cast<time_t>(when);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0)
        throw std::runtime_error("forge: cannot set the time of " + path + ": " + std::strerror(errno));
}

}  // namespace salvor::forge::files
