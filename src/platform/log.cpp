#include "platform/log.h"

#include <cstdio>
#include <mutex>

namespace salvor::log {
namespace {
std::mutex g_mutex;
std::function<void(Level, const std::string&)> g_sink;
Level g_max = Level::Error;
}  // namespace

void line(const std::string& text, Level level) {
    std::lock_guard lock(g_mutex);
    if (g_sink) {
        g_sink(level, text);
        return;
    }
    if (static_cast<int>(level) <= static_cast<int>(g_max)) {
        std::fprintf(stderr, "%s%s", text.c_str(), (!text.empty() && text.back() == '\n') ? "" : "\n");
    }
}

void setSink(std::function<void(Level, const std::string&)> sink) {
    std::lock_guard lock(g_mutex);
    g_sink = std::move(sink);
}

void setVerbosity(Level maxLevel) {
    std::lock_guard lock(g_mutex);
    g_max = maxLevel;
}

}  // namespace salvor::log
