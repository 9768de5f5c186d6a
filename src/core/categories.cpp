#include "core/categories.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <type_traits>

#include "core/helpers.h"

namespace salvor {

namespace {

unsigned char lower(char c) { return static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(c))); }

// Joined record fields start with the separator (" Smith" for a person with
// no first name, " 555-0100" for a first number); a cell shows the text alone.
std::string trimmed(const Text& t) {
    const std::string& s = textOrEmpty(t);
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    const auto last = s.find_last_not_of(" \t\r\n");
    return s.substr(first, last - first + 1);
}

// Long texts (a note's body) show their first 200 characters on one line.
std::string oneLine(const Text& t) {
    std::string out;
    bool blank = false;
    for (char c : trimmed(t)) {
        const bool space = c == ' ' || c == '\t' || c == '\r' || c == '\n';
        if (space) {
            blank = true;
            continue;
        }
        if (blank && !out.empty()) out += ' ';
        blank = false;
        out += c;
    }
    // Cut at a character boundary, counting UTF-8 lead bytes only.
    std::size_t chars = 0, i = 0;
    for (; i < out.size(); ++i) {
        if ((static_cast<unsigned char>(out[i]) & 0xC0) != 0x80 && ++chars > 200) break;
    }
    out.resize(i);
    return out;
}

SortValue textValue(const std::string& s) {
    SortValue v{SortValue::Kind::Text};
    v.text.reserve(s.size());
    for (char c : s) v.text += static_cast<char>(lower(c));
    return v;
}
SortValue numberValue(std::int64_t n) { return {SortValue::Kind::Number, n, {}}; }
SortValue bytesValue(std::uint64_t n) {
    return {SortValue::Kind::Bytes, static_cast<std::int64_t>(std::min<std::uint64_t>(n, INT64_MAX)), {}};
}

}  // namespace

SortValue dateValue(const std::optional<Timestamp>& date) {
    if (!date) return {};
    return {SortValue::Kind::Moment, date->time_since_epoch().count(), {}};
}

namespace {

template <class T>
const T* as(const AnyRecord& record) {
    const auto* p = std::get_if<std::shared_ptr<T>>(&record);
    return p && *p ? p->get() : nullptr;
}

// A column of text fields of one record kind.
#define SALVOR_TEXT_COLUMN(Title, Type, expr)                                                         \
    Column {                                                                                          \
        Title, [](const AnyRecord& a) -> std::string {                                                \
            const Type* r = as<Type>(a);                                                              \
            return r ? (expr) : std::string();                                                        \
        },                                                                                            \
            [](const AnyRecord& a) -> SortValue {                                                     \
                const Type* r = as<Type>(a);                                                          \
                return r ? textValue(expr) : SortValue{};                                             \
            }                                                                                         \
    }
#define SALVOR_DATE_COLUMN(Title, Type, field)                                                        \
    Column {                                                                                          \
        Title, [](const AnyRecord& a) -> std::string {                                                \
            const Type* r = as<Type>(a);                                                              \
            return r ? trimmed(displayDate(r->field)) : std::string();                                \
        },                                                                                            \
            [](const AnyRecord& a) -> SortValue {                                                     \
                const Type* r = as<Type>(a);                                                          \
                return r ? dateValue(r->field) : SortValue{};                                         \
            }                                                                                         \
    }

// "Photo", "Video" or "Audio": sound files are flagged as films, and a
// person reading the list tells them apart by their extension.
std::string mediaKind(const MVPhotoAndVideoNode& node) {
    if (!node.bmov) return "Photo";
    const std::string& name = textOrEmpty(node.fileNodeName);
    const auto dot = name.rfind('.');
    const std::string ext = dot == std::string::npos ? std::string() : name.substr(dot + 1);
    return GetAudioType(ext.c_str()) >= 0 ? "Audio" : "Video";
}

std::string appFileSize(std::uint64_t bytes) {
    char buf[64];
    if (bytes < 1024) std::snprintf(buf, sizeof buf, "%llu B", static_cast<unsigned long long>(bytes));
    else if (bytes < 1024 * 1024) std::snprintf(buf, sizeof buf, "%.1f KB", static_cast<double>(bytes) / 1024.0);
    else std::snprintf(buf, sizeof buf, "%.1f MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return buf;
}

std::vector<CategoryInfo> makeTable() {
    using C = MVContactNode;
    using M = MVMessageTreeNode;
    using K = MVCallHistoryNode;
    using N = MVNoteNode;
    using B = MVBookMarkNode;
    using E = MVCalendarNode;
    using P = MVPhotoAndVideoNode;
    using S = MVFaceTwitterNode;
    std::vector<CategoryInfo> t;
    t.push_back({Category::Contact, "contacts", "Contacts", "Contacts", "Contact", "Contacts.txt", true, true,
                 {SALVOR_TEXT_COLUMN("Name", C, trimmed(r->contactName)),
                  SALVOR_TEXT_COLUMN("Phone", C, trimmed(r->contactPhone)),
                  SALVOR_TEXT_COLUMN("Email", C, trimmed(r->contactEmail)),
                  SALVOR_TEXT_COLUMN("Company", C, trimmed(r->contactCompany)),
                  SALVOR_TEXT_COLUMN("Birthday", C, trimmed(r->contactBirthday))}});
    t.push_back({Category::Message, "messages", "Messages", "Messages", "Message", "", true, true,
                 {SALVOR_TEXT_COLUMN("Name", M, trimmed(r->messageTreeNodeName)),
                  SALVOR_TEXT_COLUMN("Address", M, trimmed(r->messageTreeNodeAdress)),
                  Column{"Messages",
                         [](const AnyRecord& a) -> std::string {
                             const M* r = as<M>(a);
                             return r ? std::to_string(r->MessageNodeArray.size()) : std::string();
                         },
                         [](const AnyRecord& a) -> SortValue {
                             const M* r = as<M>(a);
                             return r ? numberValue(static_cast<std::int64_t>(r->MessageNodeArray.size())) : SortValue{};
                         }}}});
    t.push_back({Category::CallHistory, "calls", "Call history", "Call history", "CallHistory", "Call History.txt", true,
                 true,
                 {SALVOR_TEXT_COLUMN("Name", K, trimmed(r->callName)),
                  SALVOR_TEXT_COLUMN("Number", K, trimmed(r->callPhone)), SALVOR_DATE_COLUMN("Date", K, callDate),
                  SALVOR_TEXT_COLUMN("Type", K, trimmed(r->callType)),
                  Column{"Duration",
                         [](const AnyRecord& a) -> std::string {
                             const K* r = as<K>(a);
                             return r ? displayCallDuration(*r) : std::string();
                         },
                         [](const AnyRecord& a) -> SortValue {
                             const K* r = as<K>(a);
                             return r ? numberValue(r->callTime) : SortValue{};
                         }}}});
    t.push_back({Category::Note, "notes", "Notes", "Notes", "Note", "Notes.txt", true, true,
                 {SALVOR_TEXT_COLUMN("Title", N, trimmed(r->noteTitle)), SALVOR_DATE_COLUMN("Date", N, noteDate),
                  SALVOR_TEXT_COLUMN("Content", N, oneLine(r->noteContent))}});
    t.push_back({Category::BookMark, "bookmarks", "Bookmarks", "Bookmarks", "BookMark", "BookMark.txt", false, true,
                 {SALVOR_TEXT_COLUMN("Title", B, trimmed(r->bookMarkTitle)),
                  SALVOR_TEXT_COLUMN("URL", B, trimmed(r->bookMarkURL))}});
    t.push_back({Category::Calendar, "calendar", "Calendar", "Calendar", "Calendar&Reminder", "Calendar&Reminder.txt",
                 true, true,
                 {SALVOR_TEXT_COLUMN("Title", E, trimmed(r->calTitle)),
                  SALVOR_TEXT_COLUMN("Location", E, trimmed(r->location)), SALVOR_DATE_COLUMN("Start", E, startDate),
                  SALVOR_DATE_COLUMN("End", E, endDate), SALVOR_TEXT_COLUMN("Note", E, oneLine(r->calNote))}});
    t.push_back({Category::PhotoAndVideo, "photos", "Photos & videos", "Photos & videos", "Photo&Video", "", false,
                 false,
                 {SALVOR_TEXT_COLUMN("Name", P, trimmed(r->fileNodeName)),
                  Column{"Size",
                         [](const AnyRecord& a) -> std::string {
                             const P* r = as<P>(a);
                             return r ? displaySize(r->fileSizeNumber) : std::string();
                         },
                         [](const AnyRecord& a) -> SortValue {
                             const P* r = as<P>(a);
                             return r ? bytesValue(r->fileSizeNumber) : SortValue{};
                         }},
                  SALVOR_TEXT_COLUMN("Kind", P, mediaKind(*r)), SALVOR_TEXT_COLUMN("Path", P, trimmed(r->filePath))}});
    t.push_back({Category::FaceTwitter, "social", "Social apps", "Social app files", "FaceBook&Twitter", "", false, false,
                 {SALVOR_TEXT_COLUMN("Name", S, trimmed(r->faceTwitterFileName)),
                  Column{"Size",
                         [](const AnyRecord& a) -> std::string {
                             const S* r = as<S>(a);
                             return r ? appFileSize(r->fileSizeNumber) : std::string();
                         },
                         [](const AnyRecord& a) -> SortValue {
                             const S* r = as<S>(a);
                             return r ? bytesValue(r->fileSizeNumber) : SortValue{};
                         }},
                  SALVOR_TEXT_COLUMN("Path", S, trimmed(r->faceTwitterFilePath))}});
    // The backup's own file tree: its files go into a folder named after the device.
    t.push_back({Category::BackupTree, "files", "Backup files", "Backup files", "", "", false, false, {}});
    return t;
}

#undef SALVOR_TEXT_COLUMN
#undef SALVOR_DATE_COLUMN

}  // namespace

const std::array<CategoryInfo, 9>& categoryTable() {
    static const std::array<CategoryInfo, 9> table = [] {
        std::vector<CategoryInfo> rows = makeTable();
        std::array<CategoryInfo, 9> out;
        std::move(rows.begin(), rows.end(), out.begin());
        return out;
    }();
    return table;
}

const CategoryInfo& categoryInfo(Category category) {
    for (const CategoryInfo& info : categoryTable())
        if (info.id == category) return info;
    return categoryTable().back();
}

std::optional<Category> categoryFromCliName(std::string_view name) {
    for (const CategoryInfo& info : categoryTable())
        if (name == info.cliName) return info.id;
    return std::nullopt;
}

Flag& selectionFlag(const AnyRecord& record) {
    return std::visit([](const auto& ptr) -> Flag& { return ptr->bSelected; }, record);
}

bool isDeletedRecord(const AnyRecord& record) {
    return std::visit(
        [](const auto& ptr) -> bool {
            using T = std::decay_t<decltype(*ptr)>;
            if (!ptr) return false;
            if constexpr (std::is_same_v<T, MVMessageTreeNode>) return ptr->bdeleted != 0;
            else if constexpr (requires { ptr->bDeleted; }) return ptr->bDeleted != 0;
            else return false;
        },
        record);
}

Category categoryOf(const AnyRecord& record) {
    switch (record.index()) {
        case 0: return Category::PhotoAndVideo;
        case 1: return Category::Contact;
        case 2:
        case 3: return Category::Message;
        case 4: return Category::CallHistory;
        case 5: return Category::Note;
        case 6: return Category::BookMark;
        case 7: return Category::Calendar;
        default: return Category::FaceTwitter;
    }
}

bool containsText(const std::string& haystack, const std::string& needle) {
    if (needle.empty() || needle.size() > haystack.size()) return false;
    auto it = std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end(),
                          [](char a, char b) { return lower(a) == lower(b); });
    return it != haystack.end();
}

bool addressMatches(const std::string& conversationAddress, const std::string& messageAddress) {
    if (conversationAddress.size() > messageAddress.size()) return containsText(conversationAddress, messageAddress);
    return conversationAddress == messageAddress || containsText(messageAddress, conversationAddress);
}

bool recordMatches(const AnyRecord& record, const std::string& needle) {
    auto either = [&needle](const Text& a, const Text& b) {
        return containsText(textOrEmpty(a), needle) || containsText(textOrEmpty(b), needle);
    };
    return std::visit(
        [&](const auto& ptr) -> bool {
            using T = std::decay_t<decltype(*ptr)>;
            if (!ptr) return false;
            if constexpr (std::is_same_v<T, MVMessageTreeNode>) return either(ptr->messageTreeNodeName, ptr->messageTreeNodeAdress);
            else if constexpr (std::is_same_v<T, MVContactNode>) return either(ptr->contactName, ptr->contactPhone);
            else if constexpr (std::is_same_v<T, MVNoteNode>) return either(ptr->noteTitle, ptr->noteContent);
            else if constexpr (std::is_same_v<T, MVCallHistoryNode>) return either(ptr->callName, ptr->callPhone);
            else if constexpr (std::is_same_v<T, MVCalendarNode>) return either(ptr->calTitle, ptr->calNote);
            else return false;
        },
        record);
}

namespace {
const std::string& s(const Text& t) { return textOrEmpty(t); }
// A date as it is listed: copies of one record agree on the minute, whatever
// seconds either kept. Empty for no date.
std::string minute(const std::optional<Timestamp>& date) {
    const auto m = listedMinute(date);
    return m ? std::to_string(*m) : std::string();
}
}  // namespace

MergeKey contactKey(const MVContactNode& c) {
    return {{s(c.contactName), s(c.contactPhone), s(c.contactEmail)},
            {s(c.contactCompany), s(c.contactJobtitle), s(c.contactBirthday), s(c.contactNote), s(c.contactHomepage)}};
}

// Notes are told apart by their body; those without one (their body was
// overwritten) by their title and date as well.
MergeKey noteKey(const MVNoteNode& n) {
    const bool body = !s(n.noteContent).empty();
    if (body) return {{s(n.noteContent), {}, {}}, {s(n.noteTitle), minute(n.noteDate)}};
    return {{s(n.noteContent), s(n.noteTitle), minute(n.noteDate)}, {{}, {}}};
}

MergeKey callKey(const MVCallHistoryNode& c) {
    return {{s(c.callPhone), minute(c.callDate)}, {c.callTime < 0 ? std::string() : std::to_string(c.callTime), s(c.callType)}};
}

MergeKey bookmarkKey(const MVBookMarkNode& b) { return {{s(b.bookMarkURL), s(b.bookMarkTitle)}, {}}; }

MergeKey calendarKey(const MVCalendarNode& c) {
    return {{s(c.calTitle), s(c.calNote), minute(c.startDate)}, {s(c.location), minute(c.endDate)}};
}

}  // namespace salvor
