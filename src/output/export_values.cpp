#include "output/export_values.h"

#include <cstdio>
#include <ctime>

#include "core/utf8.h"

namespace salvor::output {

namespace {

bool digits(const std::string& s, std::size_t at, std::size_t n, int& out) {
    out = 0;
    for (std::size_t i = at; i < at + n; ++i) {
        if (i >= s.size() || s[i] < '0' || s[i] > '9') return false;
        out = out * 10 + (s[i] - '0');
    }
    return true;
}

std::string format(TimePoint t, const char* pattern, bool local) {
    const std::time_t secs = static_cast<std::time_t>(t.time_since_epoch().count());
    std::tm tm{};
    if (!(local ? localtime_r(&secs, &tm) : gmtime_r(&secs, &tm))) return {};
    char buf[64];
    const std::size_t n = std::strftime(buf, sizeof buf, pattern, &tm);
    return std::string(buf, n);
}

}  // namespace

std::optional<TimePoint> parseDisplayDate(const Text& text) {
    if (!text) return std::nullopt;
    const std::string& s = *text;
    // "MM-DD-YYYY HH:MM"
    int month, day, year, hour, minute;
    if (s.size() != 16 || s[2] != '-' || s[5] != '-' || s[10] != ' ' || s[13] != ':') return std::nullopt;
    if (!digits(s, 0, 2, month) || !digits(s, 3, 2, day) || !digits(s, 6, 4, year) || !digits(s, 11, 2, hour) ||
        !digits(s, 14, 2, minute))
        return std::nullopt;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59) return std::nullopt;
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_isdst = -1;  // the text is local time, summer time or not
    const std::time_t secs = std::mktime(&tm);
    if (secs == static_cast<std::time_t>(-1) && (year != 1969 && year != 1970)) return std::nullopt;
    return TimePoint(std::chrono::seconds(secs));
}

std::optional<TimePoint> messageTime(const MVMessageNode& m) { return parseDisplayDate(m.messageDate); }
std::optional<TimePoint> callTime(const MVCallHistoryNode& c) { return parseDisplayDate(c.callDate); }
std::optional<TimePoint> noteTime(const MVNoteNode& n) { return parseDisplayDate(n.noteDate); }
std::optional<TimePoint> eventStart(const MVCalendarNode& e) { return parseDisplayDate(e.startDate); }
std::optional<TimePoint> eventEnd(const MVCalendarNode& e) { return parseDisplayDate(e.endDate); }

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
