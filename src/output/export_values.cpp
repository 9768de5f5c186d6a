#include "output/export_values.h"

#include <cstdio>
#include <ctime>

#include "core/helpers.h"
#include "core/utf8.h"

namespace salvor::output {

namespace {

std::string format(TimePoint t, const char* pattern, bool local) {
    const std::time_t secs = static_cast<std::time_t>(t.time_since_epoch().count());
    std::tm tm{};
    if (!(local ? localtime_r(&secs, &tm) : gmtime_r(&secs, &tm))) return {};
    char buf[64];
    const std::size_t n = std::strftime(buf, sizeof buf, pattern, &tm);
    return std::string(buf, n);
}

}  // namespace

namespace {

// A date an export can write: none for a record without one, or whose moment
// cannot be shown as a date.
std::optional<TimePoint> usable(const std::optional<Timestamp>& date) {
    if (!listedMinute(date)) return std::nullopt;
    return date;
}

}  // namespace

std::optional<TimePoint> messageTime(const MVMessageNode& m) { return usable(m.messageDate); }
std::optional<TimePoint> callTime(const MVCallHistoryNode& c) { return usable(c.callDate); }
std::optional<TimePoint> noteTime(const MVNoteNode& n) { return usable(n.noteDate); }
std::optional<TimePoint> eventStart(const MVCalendarNode& e) { return usable(e.startDate); }
std::optional<TimePoint> eventEnd(const MVCalendarNode& e) { return usable(e.endDate); }

bool eventAllDay(const MVCalendarNode& e) {
    const auto start = eventStart(e);
    if (!start) return false;
    const std::string startClock = format(*start, "%H:%M", true);
    if (startClock != "00:00") return false;
    const auto end = eventEnd(e);
    if (!end) return true;
    if (*end <= *start) return false;
    const std::string endClock = format(*end, "%H:%M", true);
    return endClock == "00:00" || endClock == "23:59";
}

std::string eventLocation(const MVCalendarNode& e, const std::map<std::string, std::string>& places) {
    if (e.location && !places.empty()) {
        if (const auto it = places.find(*e.location); it != places.end()) return utf8::replaceInvalid(it->second);
    }
    return cleanText(e.location);
}

std::optional<std::int64_t> callSeconds(const MVCallHistoryNode& c) {
    if (c.callTime < 0) return std::nullopt;
    return c.callTime;
}

std::string isoUtc(TimePoint t) { return format(t, "%Y-%m-%dT%H:%M:%SZ", false); }
std::string localStamp(TimePoint t) { return format(t, "%Y-%m-%d %H:%M", true); }
std::string localDay(TimePoint t) { return format(t, "%Y-%m-%d", true); }

std::string cleanText(const Text& text) { return text ? utf8::replaceInvalid(*text) : std::string(); }

}  // namespace salvor::output
