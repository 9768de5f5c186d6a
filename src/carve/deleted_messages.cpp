#include "carve/deleted_messages.h"
#include "carve/prepared_image.h"
#include "carve/carve_record.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>
#include <span>

#include "core/byte_reader.h"
#include "core/contact_index.h"
#include "core/helpers.h"
#include "core/scan_context.h"
#include "core/utf8.h"
#include "platform/log.h"

namespace salvor {

namespace {

constexpr const char* kMessageDb = "3d0d7e5fb2ce288813306e4d4636395e047a3d28";

// Column counts and the columns read, in the tables' real column order.
constexpr std::size_t kOlderColumns = 17;  // message up to `read`
constexpr std::size_t kMadridColumns = 33;  // with the madrid_ columns of the iMessage era
enum OlderColumn : std::size_t {
    kAddress = 1,
    kDate = 2,
    kText = 3,
    kFlags = 4,
    kMadridHandle = 18,
    kMadridFlags = 25,
    kMadridAttachmentInfo = 26,
    kIsMadrid = 29,
};
constexpr std::size_t kNewerColumns = 38;  // message, the same on system versions 6 and 7
enum NewerColumn : std::size_t {
    kGuid = 1,
    kNewerText = 2,
    kHandleId = 5,
    kService = 11,
    kNewerDate = 15,
    kIsFromMe = 21,
};
constexpr std::size_t kHandleColumns = 5;  // handle: ROWID, id, country, service, uncanonicalized_id
constexpr std::uint8_t kGuidType = 0x55;   // a 36-character text
constexpr std::int64_t kEarliestDate = 189302400;  // 2007-01-01, in seconds since 2001

// What a column may hold: the validation of a carved header.
enum class Kind { any, integer, text, blob };

bool fits(Kind kind, std::int64_t type) {
    switch (kind) {
    case Kind::any: return true;
    case Kind::integer: return type <= 9;
    case Kind::text: return type == 0 || (type >= 13 && type % 2 == 1);
    case Kind::blob: return type == 0 || (type >= 12 && type % 2 == 0);
    }
    return false;
}

Kind olderKind(std::size_t column) {
    switch (column) {
    case 0: return Kind::any;  // the row id's NULL, often overwritten when the cell was freed
    case 1: case 3: case 6: case 12: case 13: case 18: case 20: case 22: case 23: case 24: case 27: case 32:
        return Kind::text;
    case 14: case 15: case 17: case 26: return Kind::blob;
    default: return Kind::integer;
    }
}

Kind newerKind(std::size_t column) {
    switch (column) {
    case 0: return Kind::any;
    case 1: case 2: case 4: case 6: case 7: case 11: case 12: case 13: case 35: return Kind::text;
    case 8: return Kind::blob;
    default: return Kind::integer;
    }
}

bool isText(std::int64_t type) { return type >= 13 && type % 2 == 1; }

// Printable ASCII only: an address, a service name, a row's identifier.
bool printable(const std::string& s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

// Message text: valid UTF-8 without the control bytes no typed text holds
// (a zero among them: the text's body was written over).
bool plausibleText(const std::string& s) {
    if (!utf8::isValid(s)) return false;
    return std::none_of(s.begin(), s.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b < 0x20 && b != '\t' && b != '\n' && b != '\r';
    });
}

bool isGuid(const std::string& s) {
    if (s.size() != 36) return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? c != '-' : !std::isxdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

// An address as a handle row holds it: a number or an e-mail address, no spaces.
bool plausibleAddress(const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || std::string_view("+-.@_()").find(c) != std::string_view::npos;
    });
}

// The first byte in (from, to) where a cell the page still lists, or a free
// block, begins; `to` when there is none. A carved record's bytes from there
// on belong to a row written (and maybe freed) after it.
std::uint64_t firstOverwritten(const carve::PageImage& image, std::uint64_t from, std::uint64_t to) {
    const std::uint64_t P = image.pageSize();
    const std::uint64_t off = from / P * P;
    // Only table pages list cells: a leaf's pointers follow an 8-byte header,
    // an interior page's (whose cells overwrite what a split left behind) a 12-byte one.
    const std::uint8_t kind = image.byteAt(off);
    if (kind != 0x0D && kind != 0x05) return to;
    const std::uint64_t pointers = off + (kind == 0x0D ? 8 : 12);
    auto u16 = [&](std::uint64_t at) { return std::uint64_t{image.byteAt(at)} << 8 | image.byteAt(at + 1); };
    std::uint64_t first = to;
    const std::uint64_t cells = std::min<std::uint64_t>(u16(off + 3), P / 2);
    for (std::uint64_t i = 0; i < cells; ++i) {
        const std::uint64_t at = off + u16(pointers + 2 * i);
        if (at > from && at < first) first = at;
    }
    // The free-block chain runs forward through the page; a bounded walk.
    std::uint64_t next = u16(off + 1);
    for (int guard = 0; next != 0 && next < P && guard < 4096; ++guard) {
        const std::uint64_t at = off + next;
        if (at > from && at < first) first = at;
        const std::uint64_t following = u16(at);
        if (following <= next) break;
        next = following;
    }
    return first;
}

// True when a cell the page lists as in use has its record's column 0 at
// `base`: the row is live, wherever else its older copies lie. A leaf on the
// free list (`free`) still shows its last cells, none of them live.
bool listedAt(const carve::PageImage& image, const std::map<std::uint64_t, std::uint32_t>& free, std::uint64_t base) {
    const std::uint64_t P = image.pageSize();
    const std::uint64_t off = base / P * P;
    if (image.byteAt(off) != 0x0D || free.count(base / P)) return false;
    auto u16 = [&](std::uint64_t at) { return std::uint64_t{image.byteAt(at)} << 8 | image.byteAt(at + 1); };
    const std::uint64_t cells = std::min<std::uint64_t>(u16(off + 3), P / 2);
    for (std::uint64_t i = 0; i < cells; ++i) {
        // Payload length and row id (varints), then the header's size (one byte here).
        std::uint64_t at = off + u16(off + 8 + 2 * i);
        for (int varints = 0; varints < 2; ++varints) {
            int n = 0;
            while ((image.byteAt(at++) & 0x80) != 0 && ++n < 9) {
            }
        }
        if (at + 1 == base) return true;
    }
    return false;
}

// The end of the last body among `columns`: the record's bytes a carving
// reports. A column without a body (NULL, the constants 0 and 1) lives in the header.
std::uint64_t endOf(const std::vector<DelMessageScan::Column>& r, std::initializer_list<std::size_t> columns) {
    std::uint64_t end = 0;
    for (std::size_t k : columns)
        if (k < r.size() && r[k].length > 0) end = std::max(end, r[k].at + r[k].length);
    return end;
}

}  // namespace

DelMessageScan::DelMessageScan(ScanContext& ctx, const carve::PageImage& image)
    : ctx_(ctx), image_(image) {}

void DelMessageScan::scanBackup(ScanContext& ctx, const std::string& backupPath) {
    withPreparedImage(ctx, backupPath, {kMessageDb}, "messageDB is not exist", "sms.db",
                      [&](const carve::PageImage& image) { DelMessageScan(ctx, image).run(); });
}

std::optional<std::vector<DelMessageScan::Column>> DelMessageScan::parseRecord(const carve::PageImage& image,
                                                                               std::uint64_t base,
                                                                               std::size_t columns,
                                                                               std::uint64_t end) {
    if (base == 0) return std::nullopt;
    std::vector<Column> record(columns);
    // The row id's column is always NULL (the id lives in the cell header),
    // one byte that freeing the cell may have overwritten: it is not read.
    std::uint64_t p = base + 1;
    for (Column& c : std::span(record).subspan(1)) {
        // A serial type is a varint of at most 9 bytes.
        std::uint64_t v = 0;
        int n = 0;
        std::uint8_t b = 0;
        do {
            if (p >= end) return std::nullopt;
            b = image.byteAt(p++);
            v = (v << 7) | (b & 0x7F);
        } while ((b & 0x80) != 0 && ++n < 9);
        if (v == 10 || v == 11 || v > (std::uint64_t{1} << 40)) return std::nullopt;
        c.type = static_cast<std::int64_t>(v);
        c.length = static_cast<std::uint64_t>(carve::getFieldDataLengthBy(c.type));
    }
    // The header began one byte before the row id's type, with its size.
    std::uint64_t body = p;
    for (Column& c : record) {
        c.at = body;
        body += c.length;
        if (body > end) return std::nullopt;
    }
    return record;
}

std::string DelMessageScan::textOf(const Column& c) const {
    if (c.length == 0 || c.type < 12) return {};
    // A body never leaves its page: a page-long destination holds it whole.
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(c.length, image_.pageSize()));
    std::vector<std::uint8_t> bytes(n);
    carve::readData(image_, bytes, c.at, n);
    return std::string(bytes.begin(), bytes.end());
}

std::optional<std::int64_t> DelMessageScan::numberOf(const Column& c) const {
    if (c.type == 8) return 0;
    if (c.type == 9) return 1;
    if (c.type < 1 || c.type > 7) return std::nullopt;
    // The body at its full width: 8-byte dates (nanoseconds) keep every digit.
    std::array<std::uint8_t, 8> body{};
    const auto span = std::span(body).first(static_cast<std::size_t>(c.length));
    image_.copy(c.at, span);
    const auto text = carve::numberText(c.type, span);
    if (!text) return std::nullopt;
    // The number's text read as the live reader reads a column: a whole number
    // as it is, a fraction cut toward zero.
    char* stop = nullptr;
    const long long whole = std::strtoll(text->c_str(), &stop, 10);
    if (*stop != '.' && *stop != 'e' && *stop != 'E' && *stop != 'i' && *stop != 'n') return whole;
    const double value = std::strtod(text->c_str(), nullptr);
    if (std::isnan(value)) return 0;
    if (value >= 9.2e18) return std::numeric_limits<std::int64_t>::max();
    if (value <= -9.2e18) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(value);
}

void DelMessageScan::run() {
    Layout layout = Layout::legacy;
    if (ctx_.currentNodeIsiOS6Version)
        layout = Layout::newer;
    else if (carve::checkSQliteVersion(image_, 18) == 1)
        layout = Layout::legacyWal;
    const std::uint64_t pages = image_.pageCount();
    free_ = carve::freePages(image_);
    // Page 0 holds the schema and the file header; records start on page 1.
    for (std::uint64_t i = 1; i < pages; ++i) {
        if (ctx_.stopRequested()) return;
        scanPage(i, layout);
    }
    if (layout == Layout::newer) {
        joinHandles();
        // The guids of the rows the file lists: an older copy of one of them
        // elsewhere in the file is no deleted message. Column 3's type
        // follows the guid's (one byte) and the text's (one or two).
        if (!pending_.empty()) {
            const std::size_t carved = pending_.size();
            for (const auto& [first, pageEnd] : listed_)
                for (const std::uint64_t a : {first + 2, first + 3})
                    if (a + 5 < pageEnd) carveNewerMessage(a, pageEnd);
            // A listed row is live whatever its bytes read as.
            pending_.resize(carved);
            pendingGuids_.resize(carved);
        }
        std::vector<std::pair<std::uint64_t, std::uint64_t>>().swap(listed_);
        for (std::size_t i = 0; i < pending_.size(); ++i) {
            if (ctx_.stopRequested()) return;
            if (!liveGuids_.count(pendingGuids_[i])) finish(pending_[i]);
        }
    }
    ctx_.postStageProgress();
}

void DelMessageScan::scanPage(std::uint64_t i, Layout layout) {
    const std::uint64_t P = image_.pageSize();
    const std::uint64_t off = i * P, end = off + P;
    // Table leaf pages, table interior pages (a root that split keeps its old
    // cells' bytes) and pages whose first byte is 0 (free-list trunks, whose
    // first bytes now hold the list's links) keep message rows.
    const int kind = carve::getPageType(image_, off);
    if (kind != 1 && kind != 2) return;
    // Only the page's free space: the cells it lists are live messages,
    // which the live stage read.
    const carve::PageCells cells(image_, free_, i);
    page_ = static_cast<std::int64_t>(cells.number());
    // Where the rows the page lists begin: their guids are read at the end,
    // and only when some carved message needs them.
    if (layout == Layout::newer)
        for (const std::uint64_t first : cells.listedRecords()) listed_.emplace_back(first, end);
    for (const carve::FreeRegion& region : cells.freeRegions()) {
        where_ = carve::foundInText(region.kind);
        const std::uint64_t from = std::max(region.begin, off + 1);
        if (layout == Layout::newer) {
            for (std::uint64_t x = from; x < region.end && x + 4 < end; ++x) carveHandle(x, end);
            for (std::uint64_t a = std::max(from, off + 4); a < region.end && a + 5 < end; ++a) carveNewerMessage(a, end);
            continue;
        }
        for (std::uint64_t b = from; b < region.end && b + 3 < end; ++b) {
            // Cheap test first: an address (NULL or a short text), then a date.
            const std::uint8_t address = image_.byteAt(b + 1), date = image_.byteAt(b + 2);
            if (!(address == 0 || (address >= 13 && address < 0x80 && address % 2 == 1))) continue;
            if (date < 1 || date > 7) continue;
            carveLegacyRecord(b, end, layout == Layout::legacyWal);
        }
    }
}

bool DelMessageScan::carveLegacyRecord(std::uint64_t base, std::uint64_t end, bool withMadrid) {
    auto valid = [](const std::vector<Column>& r) {
        for (std::size_t k = 0; k < r.size(); ++k)
            if (!fits(olderKind(k), r[k].type)) return false;
        return true;
    };
    // Rows written since the iMessage columns were added carry all of them;
    // older rows stop after `read`.
    auto record = parseRecord(image_, base, kMadridColumns, end);
    if (!record || !valid(*record)) {
        record = parseRecord(image_, base, kOlderColumns, end);
        if (!record || !valid(*record)) return false;
    }
    const std::vector<Column>& r = *record;
    if (r[kDate].type < 1 || r[kDate].type > 7) return false;
    // Later rows may have taken the record's tail: the address, date and text
    // must lie before them; a direction or attachment written over is left out.
    const std::uint64_t limit = firstOverwritten(image_, base, r.back().at + r.back().length);
    // A column without a body (NULL, the constants 0 and 1) lives in the header.
    auto intact = [&](std::size_t k) { return k < r.size() && (r[k].length == 0 || r[k].at + r[k].length <= limit); };
    if (!intact(kAddress) || !intact(kDate) || !intact(kText) || !intact(kFlags)) return false;
    const bool madrid = r.size() == kMadridColumns && intact(kIsMadrid) && numberOf(r[kIsMadrid]).value_or(0) == 1;
    if (madrid && !intact(kMadridHandle)) return false;
    if (madrid && !withMadrid) return false;

    auto node = std::make_shared<MVMessageNode>();
    node->carvedFrom = where_;
    node->carvedPage = page_;
    const std::string address = textOf(r[madrid ? kMadridHandle : kAddress]);
    std::string text = textOf(r[kText]);
    if (!printable(address) || !plausibleText(text)) return false;
    // An SMS row names its other party; one without (an iMessage row whose
    // columns are lost) tells nothing of who wrote it.
    if (address.empty() && (text.empty() || !madrid)) return false;
    if (!address.empty()) node->messagePhone = GetStringFormChar(address.c_str());
    if (!text.empty()) node->messageContent = GetStringFormChar(text.c_str());
    if (const auto date = numberOf(r[kDate])) node->messageDate = shownTimestampOf(*date, 0);
    if (const auto flags = numberOf(r[kFlags])) node->messageType = flagsType(*flags);
    if (madrid) {
        node->bImessage = 1;
        if (!intact(kMadridFlags))
            node->messageType = "unknown";
        else if (const auto flags = numberOf(r[kMadridFlags]))
            node->messageType = madridFlagsType(*flags);
        // An attachment's description stands in for the text, as the live reader shows it.
        std::string info = intact(kMadridAttachmentInfo) ? textOf(r[kMadridAttachmentInfo]) : std::string();
        info.erase(std::remove(info.begin(), info.end(), '\0'), info.end());
        if (!info.empty()) node->messageContent = utf8::isValid(info) ? info : std::string();
    }
    finish(node);
    return true;
}

void DelMessageScan::carveHandle(std::uint64_t x, std::uint64_t end) {
    // x is where the id's serial type lies: a text (an address), the country,
    // the service's name and the uncanonicalized id.
    const std::uint8_t id = image_.byteAt(x), service = image_.byteAt(x + 2);
    if (id < 15 || id % 2 == 0 || service < 19 || service > 53 || service % 2 == 0) return;
    const auto record = parseRecord(image_, x - 1, kHandleColumns, end);
    if (!record) return;
    const std::vector<Column>& r = *record;
    if (!isText(r[1].type) || !fits(Kind::text, r[2].type) || !isText(r[3].type) || !fits(Kind::text, r[4].type))
        return;
    const std::string address = textOf(r[1]), name = textOf(r[3]);
    if (!plausibleAddress(address) || (name != "SMS" && name != "iMessage")) return;
    if (firstOverwritten(image_, x, endOf(r, {1, 3})) < endOf(r, {1, 3})) return;
    CarvedHandle handle{std::nullopt, GetStringFormChar(address.c_str()), x};
    // Intact cell header: the row id's NULL type, the header size (6), and
    // before them the row id, a varint of any length.
    if (x >= 3 && image_.byteAt(x - 1) == 0 && image_.byteAt(x - 2) == kHandleColumns + 1)
        if (const auto id = carve::varintEndingAt(image_, x - 3)) handle.rowid = static_cast<std::int64_t>(id->value);
    handles_.push_back(std::move(handle));
}

void DelMessageScan::carveNewerMessage(std::uint64_t a, std::uint64_t end) {
    // a is where `replace` (the stored constant 0) lies; after it come
    // service_center, handle_id (an integer or the constant 0 or 1),
    // subject and country (NULL or a text).
    const std::uint8_t replace = image_.byteAt(a), handle = image_.byteAt(a + 2);
    if (replace != 0x08 && replace != 0x09 && replace != 0x01) return;
    if (image_.byteAt(a + 1) != 0 || image_.byteAt(a + 3) != 0) return;
    if (!(handle >= 1 && handle <= 4) && handle != 8 && handle != 9) return;
    const std::uint8_t country = image_.byteAt(a + 4);
    if (!(country == 0 || (country >= 13 && country < 0x80 && country % 2 == 1))) return;
    // Before `replace`: the text's type (one byte, or two from 58 bytes on)
    // and the guid's.
    std::uint64_t base = 0;
    if (image_.byteAt(a - 2) == kGuidType)
        base = a - 3;
    else if (image_.byteAt(a - 3) == kGuidType && (image_.byteAt(a - 2) & 0x80) != 0)
        base = a - 4;
    else
        return;
    const auto record = parseRecord(image_, base, kNewerColumns, end);
    if (!record) return;
    const std::vector<Column>& r = *record;
    for (std::size_t k = 0; k < r.size(); ++k)
        if (!fits(newerKind(k), r[k].type)) return;
    if (r[kNewerDate].type < 1 || r[kNewerDate].type > 7) return;
    // Later rows may have taken the record's tail; what is reported must lie before them.
    const std::uint64_t reported = endOf(r, {kGuid, kNewerText, kHandleId, kService, kNewerDate, kIsFromMe});
    if (firstOverwritten(image_, base, reported) < reported) return;
    // Seconds (or, later, nanoseconds) since 2001: a phone of this layout
    // holds no message from before 2007; bytes read as a record that say so
    // are another row's pieces.
    if (const auto when = numberOf(r[kNewerDate])) {
        const std::int64_t seconds = (*when >= 100000000000LL || *when <= -100000000000LL) ? *when / 1000000000LL : *when;
        if (seconds < kEarliestDate) return;
    }
    const std::string guid = textOf(r[kGuid]);
    if (!isGuid(guid)) return;
    // A live row, or an older copy of one (an update that grew the row moved
    // it), is no deleted message: its guid is the live row's.
    if (listedAt(image_, free_, base)) {
        liveGuids_.insert(guid);
        return;
    }
    const std::string text = textOf(r[kNewerText]);
    if (!plausibleText(text)) return;

    auto node = std::make_shared<MVMessageNode>();
    node->carvedFrom = where_;
    node->carvedPage = page_;
    if (!text.empty()) node->messageContent = GetStringFormChar(text.c_str());
    node->handle_id = static_cast<std::int32_t>(
        std::clamp<std::int64_t>(numberOf(r[kHandleId]).value_or(0), 0, std::numeric_limits<std::int32_t>::max()));
    node->bImessage = textOf(r[kService]) == "SMS" ? 0 : 1;
    if (const auto date = numberOf(r[kNewerDate])) node->messageDate = shownTimestampOf(*date, 0);
    const std::int64_t fromMe = numberOf(r[kIsFromMe]).value_or(-1);
    node->messageType = fromMe == 0 ? "Received" : fromMe == 1 ? "Send" : "Unknowed";
    // The same row found twice (a copy left behind when a page was rewritten) is kept once.
    if (!seen_.insert({std::string(), textOrEmpty(node->messageContent), textOrEmpty(displayDate(node->messageDate)),
                       node->handle_id})
             .second)
        return;
    pending_.push_back(std::move(node));
    pendingGuids_.push_back(guid);
}

void DelMessageScan::joinHandles() {
    std::map<std::int64_t, std::string> byRowid;
    for (const auto& h : ctx_.chatMessageArray) byRowid.emplace(h->rowid, textOrEmpty(h->phoneValue));
    // Carved handles whose row id survived; the first one found of a row id wins.
    for (const CarvedHandle& h : handles_) {
        if (!h.rowid || byRowid.count(*h.rowid)) continue;
        byRowid.emplace(*h.rowid, h.address);
        auto node = std::make_shared<MVChatMessageNode>();
        node->rowid = static_cast<std::int32_t>(std::clamp<std::int64_t>(*h.rowid, 0, std::numeric_limits<std::int32_t>::max()));
        node->phoneValue = h.address;
        ctx_.chatMessageArray.push_back(std::move(node));
    }
    // A freed handle cell lost its row id to the free-block header written over
    // it; such a handle cannot be told from the others, so the messages that
    // name no known handle keep an unknown address rather than a neighbour's.
    for (const MessagePtr& m : pending_) {
        const auto it = byRowid.find(m->handle_id);
        if (it != byRowid.end()) m->messagePhone = it->second;
    }
}

void DelMessageScan::finish(const MessagePtr& node) {
    const std::string phone = textOrEmpty(node->messagePhone);
    if (ctx_.currentNodeIsiOS6Version == false &&
        !seen_.insert({phone, textOrEmpty(node->messageContent), textOrEmpty(displayDate(node->messageDate)), -1}).second)
        return;
    if (phone.size() >= 2) {
        // One lookup per address: a thread's messages share it.
        auto known = names_.find(phone);
        if (known == names_.end())
            known = names_.emplace(phone, ctx_.contacts().getNameByPhoneNumber(node->messagePhone, nullptr).name).first;
        node->messageName = known->second;
    }
    ctx_.sink.deletedMessage(node);
}

}  // namespace salvor
