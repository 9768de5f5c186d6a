#include "output/ics_export.h"

#include <openssl/sha.h>

#include <cstdio>
#include <ctime>
#include <map>

#include "core/utf8.h"
#include "output/export_values.h"
#include "output/export_writer.h"

namespace salvor::output {

std::string icsEscape(std::string_view raw) {
    const std::string text = utf8::replaceInvalid(raw);
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        switch (c) {
        case '\\': out += "\\\\"; break;
        case ';': out += "\\;"; break;
        case ',': out += "\\,"; break;
        case '\r':
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
            out += "\\n";
            break;
        case '\n': out += "\\n"; break;
        default:
            // Other control characters are not allowed in a text value.
            if (static_cast<unsigned char>(c) < 0x20 && c != '\t') out += ' ';
            else out += c;
        }
    }
    return out;
}

std::string icsFold(std::string_view line) {
    std::string out;
    std::size_t limit = 75;  // the first line; a continuation's leading space counts too
    while (line.size() > limit) {
        std::size_t cut = utf8::prefixWithin(line, limit).size();
        if (cut == 0) cut = limit;  // cannot happen with valid text; never loop forever
        out.append(line.substr(0, cut));
        out += "\r\n ";
        line.remove_prefix(cut);
        limit = 74;
    }
    out.append(line);
    out += "\r\n";
    return out;
}

std::string eventUid(const MVCalendarNode& e) {
    std::string key;
    // Moments count in seconds from 1970, so the identifier does not depend
    // on the time zone the run happens in.
    const auto moment = [](const std::optional<Timestamp>& t) -> Text {
        if (!t) return std::nullopt;
        return std::to_string(t->time_since_epoch().count());
    };
    for (const Text& field : {e.calTitle, moment(e.startDate), moment(e.endDate), e.location, e.calNote}) {
        key += field ? "1" + std::to_string(field->size()) + ":" + *field : std::string("0:");
    }
    key += e.bDeleted ? "d" : "l";
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(key.data()), key.size(), digest);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned char b : digest) {
        out += hex[b >> 4];
        out += hex[b & 15];
    }
    return out + "@salvor";
}

namespace {

std::string utcStamp(std::chrono::sys_seconds t) {
    std::string iso = isoUtc(t);  // 2024-03-07T09:05:00Z
    std::string out;
    for (char c : iso)
        if (c != '-' && c != ':') out += c;
    return out;
}

// The local calendar day of `t` plus `after` days, as YYYYMMDD (whole
// days are counted on the calendar, so a summer-time change cannot shift them).
std::string dayStamp(std::chrono::sys_seconds t, int after = 0) {
    const std::time_t secs = static_cast<std::time_t>(t.time_since_epoch().count());
    std::tm tm{};
    if (!localtime_r(&secs, &tm)) return "19700101";
    using namespace std::chrono;
    const year_month_day ymd{sys_days(year_month_day{year(tm.tm_year + 1900), month(static_cast<unsigned>(tm.tm_mon + 1)),
                                                     day(static_cast<unsigned>(tm.tm_mday))}) +
                             days(after)};
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04d%02u%02u", static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                  static_cast<unsigned>(ymd.day()));
    return buf;
}

void property(FdBuffer& out, std::string_view name, const Text& value) {
    if (!value || value->empty()) return;
    out.add(icsFold(std::string(name) + ":" + icsEscape(*value)));
}

}  // namespace

std::string writeCalendarIcs(const std::vector<CalendarPtr>& events, const std::map<std::string, std::string>& places,
                             std::chrono::sys_seconds stamp, int fd) {
    FdBuffer out(fd);
    out.add("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Salvor//Salvor recovery//EN\r\nCALSCALE:GREGORIAN\r\n");
    const std::string dtstamp = "DTSTAMP:" + utcStamp(stamp) + "\r\n";
    // Two identical records (a copy carved beside its live row) would share
    // an identifier, and a calendar program would keep only one of them.
    std::map<std::string, int> seen;
    for (const auto& e : events) {
        if (!e || e->bSelected != 1) continue;
        std::string uid = eventUid(*e);
        if (const int n = ++seen[uid]; n > 1) uid.insert(uid.find('@'), "-" + std::to_string(n));
        const auto start = eventStart(*e);
        const char* kind = start ? "VEVENT" : "VTODO";
        out.add(std::string("BEGIN:") + kind + "\r\n");
        out.add(icsFold("UID:" + uid));
        out.add(dtstamp);
        if (start) {
            const auto end = eventEnd(*e);
            if (eventAllDay(*e)) {
                out.add("DTSTART;VALUE=DATE:" + dayStamp(*start) + "\r\n");
                // The end of an all-day event is the day after its last one.
                auto last = end ? *end : *start;
                if (end && localStamp(*end).substr(11) == "00:00") last -= std::chrono::seconds(1);
                out.add("DTEND;VALUE=DATE:" + dayStamp(last, 1) + "\r\n");
            } else {
                out.add("DTSTART:" + utcStamp(*start) + "\r\n");
                if (end && *end >= *start) out.add("DTEND:" + utcStamp(*end) + "\r\n");
            }
        }
        property(out, "SUMMARY", e->calTitle);
        property(out, "LOCATION", eventLocation(*e, places));
        property(out, "DESCRIPTION", e->calNote);
        if (e->bDeleted) out.add("CATEGORIES:Recovered as deleted\r\nX-SALVOR-RECOVERED:DELETED\r\n");
        out.add(std::string("END:") + kind + "\r\n");
    }
    out.add("END:VCALENDAR\r\n");
    return out.flush();
}

}  // namespace salvor::output
