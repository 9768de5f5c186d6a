// Text, number and date conversions shared by every scan stage.
#include <algorithm>
#include <chrono>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <string_view>
#include <unordered_map>

#include "core/helpers.h"
#include "core/utf8.h"

namespace salvor {

namespace {

// Seconds from 1970-01-01 to 2001-01-01, the epoch of the newer databases.
constexpr std::int64_t kEpoch2001 = 978307200;
// Values this large are nanoseconds since 2001 (seconds would lie past year 5000).
constexpr std::int64_t kNanosecondThreshold = 100000000000LL;

std::optional<std::tm> localBreakdown(std::int64_t unixSeconds) {
    if (unixSeconds < std::numeric_limits<std::time_t>::min() ||
        unixSeconds > std::numeric_limits<std::time_t>::max())
        return std::nullopt;
    const std::time_t t = static_cast<std::time_t>(unixSeconds);
    std::tm tm{};
    if (!localtime_r(&t, &tm)) return std::nullopt;
    const long year = static_cast<long>(tm.tm_year) + 1900;
    if (year < 1 || year > 9999) return std::nullopt;  // keep the four-digit year form
    return tm;
}

// A type list's positions by upper-case extension, the first of a name given
// twice winning, as a walk of the list in order would answer. The manifest
// stage asks once per file row, hundreds of thousands of times.
class TypeTable {
public:
    TypeTable(const char* const* list, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            const std::string key = upper(list[i], std::strlen(list[i]));
            longest_ = std::max(longest_, key.size());
            index_.emplace(key, static_cast<int>(i));
        }
    }
    int find(const char* ext) const {
        if (!ext || !*ext) return -1;
        const std::size_t n = std::strlen(ext);
        if (n > longest_) return -1;
        const auto it = index_.find(upper(ext, n));
        return it == index_.end() ? -1 : it->second;
    }

private:
    // ASCII only: every listed name is ASCII, so no other byte can match.
    static std::string upper(const char* text, std::size_t n) {
        std::string out(text, n);
        for (char& c : out)
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        return out;
    }
    std::unordered_map<std::string, int> index_;
    std::size_t longest_ = 0;
};

const char* const kImageTypes[] = {
    "3DM", "3DMF", "3DS", "ABM", "AFX", "AI", "ANI", "ART", "ARW", "BLD", "BLEND", "BMP", "BOO", "BR5",
    "CDR", "CDR", "CDT", "CGM", "CIFF", "CLP", "CMX", "CONT", "CPT", "CR2", "CRW", "CUR", "CVX", "DCM",
    "DCR", "DCR", "DIB", "DNG", "DRW", "DS4", "DSC", "DT2", "DWF", "DWG", "EMF", "EMZ", "ERF", "FH8",
    "FLC", "FOV", "FPF", "FPX", "FUJI", "FXG", "GIF", "HDP", "HPI", "ICNS", "ICO", "IDML", "IFF", "IMG",
    "INX", "IPX", "ISD", "ITC2", "IV", "JP2", "JPEG", "JPG", "JPX", "K25", "KDC", "LBM", "MA", "MAX",
    "MB", "MDI", "MDL", "MDX", "MINO", "MNG", "MOS", "MRW", "MSP", "NCR", "NEF", "OBJ", "ORF", "PAL",
    "PAT", "PBM", "PCS", "PCT", "PCX", "PEF", "PGM", "PIC", "PICT", "PICTCLIPPING", "PNG", "PPM", "PSD",
    "PSP", "PSPIMGE", "PTX", "PXN", "QXD", "RAF", "RAS", "RAW", "RELS", "RGB", "RLE", "RTD", "SCT",
    "SHP", "SKF", "SKP", "SR2", "SRF", "STP", "SVG", "SVGZ", "TEX", "TGA", "THM", "TIF", "TIFF", "VWX",
    "WB1", "WBC", "WBD", "WBMP", "WBZ", "WEBP", "WMF", "WP", "WPG", "X3F", "XBM", "XCF", "XPM", "XPS",
    // The camera's own format since iOS 11, appended so that the positions
    // above keep their numbers.
    "HEIC", "HEIF"};
static_assert(std::size(kImageTypes) == 140);

const char* const kVideoTypes[] = {
    "3G2", "3GP", "ANM", "ASF", "ASX", "AVI", "AVS", "CLK", "CPI", "DIVX", "DMSM", "DREAM", "DVDMEDIA",
    "DVM", "DVR-MS", "DXR", "F4V", "FBR", "FLA", "FLV", "HDMOV", "M2P", "M2TS", "M4P", "M4V", "MKV",
    "MOD", "MOI", "MOV", "MP4", "MPE", "MPEG", "MPG", "MXF", "OGM", "PSH", "QT", "QTM", "RCPROJECT", "RM",
    "RMVB", "SCM", "SMIL", "SMJPEG", "SRT", "STX", "SWF", "TIX", "TS", "VOB", "VRO", "WMV", "WTV", "XVID",
    "YUV"};
static_assert(std::size(kVideoTypes) == 55);

const char* const kAudioTypes[] = {
    "RAM", "RFL", "RMI", "RNS", "RPS", "SIB", "SND", "VPM", "WAV", "WMA", "AA3", "AAC", "AC3",
    "AFC", "AIF", "AIFF", "AM", "AT3", "AU", "CAF", "CDA", "CPF", "DMSA", "DMSE", "DSS", "EMP",
    "EMX", "FLAC", "KPI", "M3D", "M4A", "M4R", "MID", "MIDI", "MP3", "OGG", "OMF", "PTF"};
static_assert(std::size(kAudioTypes) == 38);

}  // namespace

std::size_t Char2Unicode(const char* utf8, char32_t* out, std::size_t count) {
    if (!out) return 0;
    std::fill(out, out + count, U'\0');
    if (!utf8 || count == 0) return 0;
    // The replaced text is valid UTF-8, so every step decodes.
    const std::string text = utf8::replaceInvalid(utf8);
    std::size_t n = 0;
    char32_t cp = 0;
    // One slot is kept for the terminator.
    for (std::size_t pos = 0; pos < text.size() && n + 1 < count;)
        if (utf8::nextCodePoint(text, pos, cp)) out[n++] = cp;
    out[n] = U'\0';
    return n;
}

std::string GetStringFormChar(const char* utf8) { return utf8 ? utf8::replaceInvalid(utf8) : std::string(); }

Timestamp timestampOf(std::int64_t value, std::uint8_t fileType) {
    // Newer databases store nanoseconds since 2001; bring them back to seconds.
    if (value >= kNanosecondThreshold || value <= -kNanosecondThreshold) value /= 1000000000LL;
    // Both readings stay far inside the range of 64-bit seconds: |value| < 1e11.
    if (fileType == 1) return Timestamp(std::chrono::seconds(value + kEpoch2001));
    const Timestamp from1970{std::chrono::seconds(value)};
    const std::chrono::year_month_day day(std::chrono::floor<std::chrono::days>(from1970));
    const int year = static_cast<int>(day.year());
    // A value whose 1970 reading falls before 1990 was counted from 2001.
    if (year >= 1 && year <= 1989) return from1970 + std::chrono::seconds(kEpoch2001);
    return from1970;
}

std::optional<Timestamp> shownTimestampOf(std::int64_t value, std::uint8_t fileType) {
    const Timestamp when = timestampOf(value, fileType);
    if (!localBreakdown(when.time_since_epoch().count())) return std::nullopt;
    return when;
}

Text displayDate(Timestamp when) {
    const auto tm = localBreakdown(when.time_since_epoch().count());
    if (!tm) return std::nullopt;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%02d-%02d-%04d %02d:%02d", tm->tm_mon + 1, tm->tm_mday, tm->tm_year + 1900,
                  tm->tm_hour, tm->tm_min);
    return std::string(buf);
}

Text displayDate(const std::optional<Timestamp>& when) { return when ? displayDate(*when) : std::string(); }

std::optional<std::int64_t> listedMinute(const std::optional<Timestamp>& when) {
    using namespace std::chrono;
    if (!when) return std::nullopt;
    // A day inside either end of the four-digit years shows in every zone;
    // only nearer the ends does the local year decide.
    static constexpr Timestamp kSafeFirst = sys_days(year(1) / January / 2);
    static constexpr Timestamp kSafeLast = sys_days(year(9999) / December / 31);
    if ((*when < kSafeFirst || *when >= kSafeLast) && !displayDate(*when)) return std::nullopt;
    return floor<minutes>(*when).time_since_epoch().count();
}

std::string displaySize(std::uint64_t size) {
    // Single precision and powers of 1000, as the browser shows sizes.
    char buf[100] = {};
    const float f = static_cast<float>(size);
    if (size <= 999ULL)
        std::snprintf(buf, sizeof buf, "%.2fB", static_cast<double>(f));
    else if (size <= 999999ULL)
        std::snprintf(buf, sizeof buf, "%.2fK", static_cast<double>(f / 1000.0f));
    else if (size <= 999999999ULL)
        std::snprintf(buf, sizeof buf, "%.2fM", static_cast<double>(f / 1000.0f / 1000.0f));
    else if (size <= 999999999999ULL)
        std::snprintf(buf, sizeof buf, "%.2fG", static_cast<double>(f / 1000.0f / 1000.0f / 1000.0f));
    else
        std::snprintf(buf, sizeof buf, "%.2fT", static_cast<double>(f / 1000.0f / 1000.0f / 1000.0f / 1000.0f));
    return buf;
}

std::string displayDuration(std::int32_t s) {
    char buf[64];
    if (s >= 7200) {
        std::snprintf(buf, sizeof buf, "%d hours", s / 3600);
    } else if (s >= 3600) {
        std::snprintf(buf, sizeof buf, "%d hour", 1);
    } else {
        const int r = s % 3600;
        if (r >= 120) {
            std::snprintf(buf, sizeof buf, "%d minutes", r / 60);
        } else if (r >= 60) {
            std::snprintf(buf, sizeof buf, "%d minute", 1);
        } else {
            const int t = r % 60;
            std::snprintf(buf, sizeof buf, t >= 2 ? "%d seconds" : "%d second", t);
        }
    }
    return buf;
}

std::string displayCallDuration(const MVCallHistoryNode& call) {
    if (call.bUnanswered) return "Missed";
    if (call.callTime == 0) return call.callType == "Outgoing" ? "Cancelled" : "Missed";
    return displayDuration(call.callTime);
}

std::int32_t GetImageType(const char* ext) {
    static const TypeTable table(kImageTypes, std::size(kImageTypes));
    return table.find(ext);
}
std::int32_t GetViedoType(const char* ext) {
    static const TypeTable table(kVideoTypes, std::size(kVideoTypes));
    return table.find(ext);
}
std::int32_t GetAudioType(const char* ext) {
    static const TypeTable table(kAudioTypes, std::size(kAudioTypes));
    return table.find(ext);
}

std::string getFullName(std::uint64_t number) {
    std::string s = std::to_string(number);
    while (s.size() < 8) s.insert(s.begin(), '0');
    return s;
}

namespace {

// The length of the line-shaping tag at `at` ("<div>", "</div>", "<br>",
// "</br>", "<br/>", "<br />", any case), 0 when there is none; `kind` is
// 'd' for an opening division, 'e' for a closing one, 'b' for a line break.
std::size_t noteTagAt(std::string_view text, std::size_t at, char& kind) {
    if (at >= text.size() || text[at] != '<') return 0;
    std::size_t i = at + 1;
    const bool closing = i < text.size() && text[i] == '/';
    if (closing) ++i;
    const auto word = [&](std::string_view name) {
        if (text.size() - i < name.size()) return false;
        for (std::size_t k = 0; k < name.size(); ++k)
            if (std::tolower(static_cast<unsigned char>(text[i + k])) != name[k]) return false;
        return true;
    };
    if (word("div")) {
        kind = closing ? 'e' : 'd';
        i += 3;
    } else if (word("br")) {
        kind = 'b';
        i += 2;
    } else {
        return 0;
    }
    while (i < text.size() && text[i] == ' ') ++i;
    // A self-closing division is no line; only a break may be written so.
    if (kind == 'b' && !closing && i < text.size() && text[i] == '/') ++i;
    return i < text.size() && text[i] == '>' ? i + 1 - at : 0;
}

}  // namespace

std::string cleanNoteContent(std::string text) {
    // Notes of iOS 4-7 keep each typed line as a division ("<div>eggs</div>")
    // and an empty line as "<div><br></div>". A division starts a line and its
    // end closes the line it holds; a break always ends one. The line ends the
    // markup asks for are held back until more text follows, so markup at the
    // start or the end adds no blank lines, and at most one blank line stands
    // between two lines of text.
    std::string out;
    out.reserve(text.size());
    int pending = 0;  // line ends asked for and not yet written
    const auto trailingBreaks = [&] {
        int n = 0;
        for (auto it = out.rbegin(); it != out.rend() && *it == '\n' && n < 2; ++it) ++n;
        return n + pending;
    };
    const auto endLine = [&](bool evenIfEmpty) {
        const int now = trailingBreaks();
        const int want = evenIfEmpty ? std::min(now + 1, 2) : std::max(now, 1);
        pending += std::max(0, want - now);
    };
    const std::string_view whole(text);
    for (std::size_t i = 0; i < whole.size();) {
        char kind = 0;
        if (const std::size_t tag = noteTagAt(whole, i, kind)) {
            endLine(kind == 'b');
            i += tag;
            continue;
        }
        if (!out.empty()) out.append(static_cast<std::size_t>(pending), '\n');
        pending = 0;
        if (whole.compare(i, 6, "&nbsp;") == 0) {
            out += ' ';
            i += 6;
        } else {
            out += whole[i++];
        }
    }
    return out;
}

std::string flagsType(std::int64_t flags) {
    if (flags == 2 || flags == 22) return "Received";
    if (flags == 3 || flags == 16387) return "Send";
    return "unknown";
}

std::string madridFlagsType(std::int64_t flags) {
    if (flags == 36869) return "Received";
    if (flags == 12289) return "Send";
    return flagsType(flags);
}

}  // namespace salvor
