#include "platform/scratch.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>

namespace salvor::scratch {

namespace fs = std::filesystem;

namespace {
std::mutex g_mutex;
std::string& lastErrorText() {
    thread_local std::string text;
    return text;
}
std::set<std::string>& live() {
    static std::set<std::string> dirs;
    return dirs;
}
}  // namespace

std::string create(const std::string& prefix) {
    std::error_code ec;
    fs::path base = fs::temp_directory_path(ec);
    if (ec) base = "/tmp";
    std::string templ = (base / (prefix + "XXXXXX")).string();
    if (::mkdtemp(templ.data()) == nullptr) {
        lastErrorText() = base.string() + ": " + std::strerror(errno);
        return {};
    }
    std::lock_guard lock(g_mutex);
    live().insert(templ);
    return templ;
}

std::string lastError() { return lastErrorText(); }

void release(const std::string& dir) {
    if (dir.empty()) return;
    std::error_code ec;
    fs::remove_all(dir, ec);
    std::lock_guard lock(g_mutex);
    live().erase(dir);
}

void removeAll() {
    std::lock_guard lock(g_mutex);
    for (const auto& dir : live()) {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    live().clear();
}

}  // namespace salvor::scratch
