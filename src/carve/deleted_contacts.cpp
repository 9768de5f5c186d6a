#include "carve/deleted_contacts.h"
#include "carve/carve_record.h"
#include "carve/prepared_image.h"

#include <algorithm>
#include <any>
#include <array>
#include <charconv>
#include <cstring>
#include <limits>
#include <string_view>

#include "core/byte_reader.h"
#include "core/helpers.h"
#include "core/scan_context.h"
#include "core/utf8.h"
#include "platform/log.h"

namespace salvor {

namespace {

// The person columns this scan reads (ABPerson's column order).
enum PersonColumn : std::int64_t {
    kFirst = 1,
    kLast = 2,
    kMiddle = 3,
    kOrganization = 7,
    kDepartment = 8,
    kNote = 9,
    kBirthday = 11,
    kJobTitle = 12,
    kCreationDate = 18,
};
constexpr std::int64_t kPersonFields = 34;

std::int32_t toInt32(std::int64_t v) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(v, std::numeric_limits<std::int32_t>::min(),
                                                              std::numeric_limits<std::int32_t>::max()));
}

// The decimal value of a decoded number text; 0 when there is none.
std::int64_t decimal(const std::string& text) {
    std::int64_t v = 0;
    std::from_chars(text.data(), text.data() + text.size(), v);
    return v;
}

// Stored names are valid UTF-8 without control characters.
bool bCleanText(const std::string& raw) {
    return utf8::isValid(raw) &&
           std::none_of(raw.begin(), raw.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

// A note may hold line breaks and tabs, never other control bytes.
bool bCleanStoredNote(const std::string& raw) {
    return utf8::isValid(raw) && std::none_of(raw.begin(), raw.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b < 0x20 && b != '\n' && b != '\t' && b != '\r';
    });
}

// Joins " value" the way the live address-book reader does.
void appendWord(Text& field, const std::string& value) {
    if (value.empty()) return;
    field = textOrEmpty(field) + " " + value;
}

}  // namespace

DelContactScan::DelContactScan(ScanContext& ctx, const carve::PageImage& image)
    : ctx_(ctx), image_(image), dest_(image.pageSize() + std::size_t{1}, 0), valueHeader_(ctx.bIOS7DeviceNode ? 7 : 6) {}

std::string DelContactScan::decodePersonField(std::int64_t position, std::uint64_t& dataoff, std::uint64_t base,
                                              std::int64_t header, bool twoByte) {
    const std::uint64_t before = dataoff;
    const std::span<std::uint8_t> out(dest_.data(), image_.pageSize());
    const bool decoded = twoByte ? carve::AnalyseAlterbleDB(image_, position, dataoff, base, header, out)
                                 : carve::AnalyseDBDataFile(image_, position, dataoff, base, header, out);
    return takeDecoded(decoded, dataoff - before);
}

std::string DelContactScan::decodeValueField(std::int64_t position, std::uint64_t& dataoff, std::uint64_t base) {
    const std::uint64_t before = dataoff;
    const std::span<std::uint8_t> out(dest_.data(), image_.pageSize());
    const bool decoded = carve::AnalyseTheDBDataFile(image_, position, dataoff, base, 3, valueHeader_, out);
    return takeDecoded(decoded, dataoff - before);
}

std::string DelContactScan::takeDecoded(bool decoded, std::uint64_t bodyLength) {
    // The text up to its first zero (dest_ ends with a zero no decoder
    // writes); then only the bytes this decode may have written are cleared
    // (a body, or a number's decimal text), not the whole page-sized buffer.
    std::string text = decoded ? std::string(reinterpret_cast<const char*>(dest_.data())) : std::string();
    const std::size_t written = std::min<std::size_t>(dest_.size(), std::max<std::uint64_t>(bodyLength, 261));
    std::fill(dest_.begin(), dest_.begin() + static_cast<std::ptrdiff_t>(written), 0);
    return text;
}

bool DelContactScan::bPageHoldsKind(std::uint64_t offset, std::uint64_t bytes, std::int64_t window) const {
    const auto hex = carve::getHexString(image_, offset, bytes);
    return carve::bcheckSubStringIsValid(hex ? std::optional<std::string_view>(*hex) : std::nullopt, 4, window) == 1;
}

std::optional<std::int64_t> DelContactScan::valueUid(std::uint64_t q) const {
    // Cell: payload length, row id (both varints), header size, the NULL id
    // column, then the serial types the pattern at q begins with.
    if (q < 16 || image_.byteAt(q - 2) != valueHeader_ + 1 || image_.byteAt(q - 1) != 0) return std::nullopt;
    const auto uid = carve::varintEndingAt(image_, q - 3);
    if (!uid || uid->start < 2) return std::nullopt;
    const auto payload = carve::varintEndingAt(image_, uid->start - 1);
    if (!payload) return std::nullopt;
    // The payload length must match the record the header describes; a cell
    // whose first bytes were overwritten when it was freed fails here.
    std::uint64_t expected = static_cast<std::uint64_t>(valueHeader_) + 1;
    for (std::int64_t k = 1; k <= valueHeader_ - 1; ++k) {
        const std::uint8_t type = image_.byteAt(q - 1 + static_cast<std::uint64_t>(k));
        if (type >= 0x80) return std::nullopt;
        expected += static_cast<std::uint64_t>(carve::getFieldDataLengthBy(type));
    }
    if (payload->value != expected) return std::nullopt;
    return static_cast<std::int64_t>(uid->value);
}

bool DelContactScan::bPlausiblePerson(std::uint64_t base, std::uint64_t a) const {
    // The serial types from the id column to the anchor, read as the varints
    // they are, must fit the person table's columns and end at the anchor.
    // Bytes that only look like an anchor, or a row whose header was partly
    // overwritten, fail here instead of giving a person made of other bytes.
    enum Kind : char { T = 't', I = 'i', B = 'b' };
    // The id column's byte itself may be the last byte a freed cell's
    // free-block header overwrote, so the walk starts after it.
    static constexpr char kColumns[] = "tttttttttitttttttiittttitb";  // First ... ExternalRepresentation
    std::uint64_t p = base + 1;
    for (const char* c = kColumns; *c; ++c) {
        std::int64_t type = 0;
        int n = 0;
        std::uint8_t b;
        do {
            b = image_.byteAt(p++);
            type = (type << 7) | (b & 0x7F);
        } while ((b & 0x80) && ++n < 9);
        const bool text = type >= 13 && (type & 1);
        const bool blob = type >= 12 && !(type & 1);
        const bool number = (type >= 1 && type <= 7) || type == 8 || type == 9;
        const bool ok = type == 0 || (*c == I ? number : (text || blob));
        if (!ok || p > a) return false;
    }
    return p == a;
}

std::optional<std::int64_t> DelContactScan::intactRowid(std::uint64_t base) const {
    // Header size 0x23-0x26 and the NULL id column: the cell's start may be intact.
    if (base < 4 || carve::getDeletedMark(image_, base - 1, 2, 4) != 1) return std::nullopt;
    // The record's length by its own header, the serial types being varints.
    const std::uint64_t headerEnd = base - 1 + image_.byteAt(base - 1);
    std::uint64_t length = image_.byteAt(base - 1);
    for (std::uint64_t p = base; p < headerEnd;) {
        std::int64_t type = 0;
        int n = 0;
        std::uint8_t b;
        do {
            b = image_.byteAt(p++);
            type = (type << 7) | (b & 0x7F);
        } while ((b & 0x80) && ++n < 9);
        if (p > headerEnd) return std::nullopt;
        length += static_cast<std::uint64_t>(carve::getFieldDataLengthBy(type));
    }
    // Before the header: the payload length and the row id, both varints. The
    // id counts only when the payload length agrees with the header; a freed
    // cell's first bytes, or a newer cell written over them, do not.
    const auto rowid = carve::varintEndingAt(image_, base - 2);
    if (!rowid || rowid->start < 1) return std::nullopt;
    // The byte before the payload length belongs to whatever lies before the
    // cell and may have its high bit set too, so each length of 1 to 3 bytes
    // ending there is tried.
    if (rowid->value == 0) return std::nullopt;
    const std::uint64_t end = rowid->start - 1;
    if (image_.byteAt(end) & 0x80) return std::nullopt;
    std::uint64_t payload = image_.byteAt(end) & 0x7F;
    for (std::uint64_t k = 1; payload != length; ++k) {
        if (k == 3 || end < k || !(image_.byteAt(end - k) & 0x80)) return std::nullopt;
        payload |= std::uint64_t{image_.byteAt(end - k) & 0x7Fu} << (7 * k);
    }
    return static_cast<std::int64_t>(rowid->value);
}

void DelContactScan::scanBackup(ScanContext& ctx, const std::string& backupPath) {
    withPreparedImage(ctx, backupPath, {"31bb7ba8914766d4ba40d6dfb6113c8b614be442"}, "contactDB is not exist",
                      "AddressBook.sqlitedb", [&](const carve::PageImage& image) { DelContactScan(ctx, image).run(); });
}

bool DelContactScan::bValueRecordAt(std::uint64_t q) const {
    // The kind-4 patterns four bytes long, compared as bytes.
    static constexpr std::array<std::array<std::uint8_t, 4>, 11> kValuePatterns = {{
        {1, 1, 8, 9}, {1, 1, 9, 1}, {9, 1, 8, 9}, {1, 1, 1, 1}, {1, 1, 8, 1}, {2, 1, 8, 1},
        {2, 1, 9, 1}, {2, 1, 8, 9}, {2, 1, 1, 1}, {1, 9, 8, 9}, {0xff, 0xd8, 0xff, 0xe0},
    }};
    if (q == 0) return false;
    const std::array<std::uint8_t, 4> at = {image_.byteAt(q), image_.byteAt(q + 1), image_.byteAt(q + 2), image_.byteAt(q + 3)};
    if (std::find(kValuePatterns.begin(), kValuePatterns.end(), at) != kValuePatterns.end()) return true;
    // The patterns miss rows whose record id or label is the stored constant
    // 0 or 1 (the first person's rows, the first label). Such a row still
    // shows itself by its serial types: a small record id, a property, an
    // identifier and a label that are small integers or constants, then a
    // text value; or by its intact header (size, then the NULL id column).
    auto small = [](std::uint8_t t) { return t == 1 || t == 8 || t == 9; };
    const bool types = (small(image_.byteAt(q)) || image_.byteAt(q) == 2) && image_.byteAt(q + 1) == 1 &&
                       small(image_.byteAt(q + 2)) && small(image_.byteAt(q + 3));
    if (!types) return false;
    const std::uint8_t text = image_.byteAt(q + 4);
    if ((text >= 13 && text < 0x80 && (text & 1)) || (text >= 0x81 && text <= 0x9F)) return true;
    return q >= 2 && image_.byteAt(q - 2) == valueHeader_ + 1 && image_.byteAt(q - 1) == 0;
}

void DelContactScan::run() {
    const std::uint64_t pages = image_.pageCount();
    free_ = carve::freePages(image_);
    for (const ContactPtr& c : ctx_.contactArray) liveById_.emplace(c->rowid, c.get());
    for (std::uint64_t i = pages; i >= 1; --i) {
        if (ctx_.stopRequested()) return;
        scanPage(i);
    }
    // Live persons by id: a carved row with a live person's id and name is that
    // person's row, or an older copy of it left behind by an update, never a
    // deleted person (ids are not reused).
    std::multimap<std::int64_t, std::string> live;
    std::set<std::string> liveNames;
    std::set<std::pair<std::string, std::string>> liveBirthdays;  // (name, birthday) of live persons
    for (const ContactPtr& c : ctx_.contactArray) {
        live.emplace(c->rowid, textOrEmpty(c->contactName));
        liveNames.insert(textOrEmpty(c->contactName));
        if (!textOrEmpty(c->contactBirthday).empty())
            liveBirthdays.emplace(textOrEmpty(c->contactName), textOrEmpty(c->contactBirthday));
    }
    // A row whose id was guessed but whose name and creation time equal those
    // of a row with an intact id is a copy of that row (the older version an
    // update leaves behind, or the row itself moved): it takes that id.
    for (const ContactPtr& node : ctx_.delContactArray) {
        const auto created = created_.find(node.get());
        if (!inferred_.count(node.get()) || created == created_.end()) continue;
        const auto same = readByCreation_.find({textOrEmpty(node->contactName), created->second});
        if (same == readByCreation_.end()) continue;
        node->rowid = toInt32(same->second);
        inferred_.erase(node.get());
    }
    // Each person's values in the order they were carved.
    for (std::size_t i = 0; i < values_.size(); ++i) valuesByRow_[values_[i].value->rowID].push_back(i);
    // Ids whose owner is known: those read from a person's intact cell and
    // those of the live persons. A value is only ever joined through one.
    std::map<std::int64_t, const MVContactNode*> owners;
    for (const ContactPtr& c : ctx_.contactArray) owners.emplace(c->rowid, c.get());
    for (const auto& [id, node] : readPersons_) owners.emplace(id, node);
    std::set<std::int64_t> joined;  // ids of the deleted persons posted with their values
    // Names of the persons whose id was read from their own cell, live ones included.
    std::set<std::string> readNames;
    for (const auto& [id, person] : readPersons_) readNames.insert(textOrEmpty(person->contactName));
    for (const ContactPtr& node : ctx_.delContactArray) {
        if (ctx_.stopRequested()) return;
        const std::string name = textOrEmpty(node->contactName);
        const auto [from, to] = live.equal_range(node->rowid);
        if (std::any_of(from, to, [&](const auto& l) { return l.second == name; })) continue;
        // A row whose id was guessed wrong and that carries a live person's
        // name is taken for an older copy of that person.
        if (bRowidGuessedWrong(*node) && liveNames.count(name)) continue;
        // A row without its id that carries the name of a person whose id is
        // known, and no creation time of its own to tell them apart (a later
        // write cut it off), is the older copy an update left of that person.
        if (inferred_.count(node.get()) && !created_.count(node.get()) && (readNames.count(name) || liveNames.count(name)))
            continue;
        // A row whose id was guessed and that carries a live person's name and
        // birthday is that person's older copy (an edit moved the row), not
        // a second person of the same name born the same day.
        if (inferred_.count(node.get()) && !textOrEmpty(node->contactBirthday).empty() &&
            liveBirthdays.count({name, textOrEmpty(node->contactBirthday)}))
            continue;
        join(*node);
        // A row of which nothing readable is left is nobody.
        if (name.empty() && textOrEmpty(node->contactCompany).empty() && textOrEmpty(node->contactNote).empty() &&
            node->contactPhoneValues.empty() && node->contactEmailValues.empty() && node->contactHomepageValues.empty())
            continue;
        if (!inferred_.count(node.get())) joined.insert(node->rowid);
        ctx_.sink.deletedContact(node);
    }
    postUnjoinedValues(owners, joined);
    ctx_.postStageProgress();
}

void DelContactScan::scanPage(std::uint64_t i) {
    const std::uint64_t P = image_.pageSize();
    const std::uint64_t off = i * P;
    const int kind = carve::getPageType(image_, off);
    // A page that went to the free list as a trunk keeps its old cells after
    // the list of page numbers at its start, and a leaf that became an
    // interior page when its table grew keeps them after its few new cells.
    // Neither has leaf cell pointers for the probes to follow, so both passes
    // run on them unconditionally; the anchors alone decide.
    const bool trunk = i < image_.pageCount() && (image_.byteAt(off) == 0 || image_.byteAt(off) == 0x05);
    if (kind != 1 && !trunk) return;
    const std::uint64_t first = off + ((std::uint64_t{image_.byteAt(off + 8)} << 8) | image_.byteAt(off + 9));
    // Only the page's free space is carved; the cells it lists are live
    // persons, of which the row id in each cell header is all the carving needs.
    const carve::PageCells cells(image_, free_, i);
    page_ = static_cast<std::int64_t>(cells.number());
    if (trunk || bPageHoldsKind(first + 30, 10, 10)) {
        const auto listed = cells.listedRowids(image_);
        auto next = listed.begin();
        for (const carve::FreeRegion& region : cells.freeRegions()) {
            where_ = carve::foundInText(region.kind);
            for (std::uint64_t a = region.begin; a < region.end; ++a) {
                if (ctx_.stopRequested()) return;
                // A live person counts where the walk through the page meets its cell.
                for (; next != listed.end() && next->first < a; ++next) noteLivePerson(next->second);
                carvePerson(a);
            }
        }
        for (; next != listed.end(); ++next) noteLivePerson(next->second);
    }
    mergeUnknown();
    bool values = trunk || bPageHoldsKind(first + 4, 8, 8);
    // The first cell's serial types start after its two varints (1 to 9 bytes
    // each) and the header size.
    for (std::uint64_t q = first + 3; !values && q <= first + 20; ++q) values = bValueRecordAt(q);
    if (values) {
        const auto& regions = cells.freeRegions();
        for (auto region = regions.rbegin(); region != regions.rend(); ++region) {
            for (std::uint64_t q = region->end; q-- > region->begin;) {
                if (ctx_.stopRequested()) return;
                carveValue(q);
            }
        }
    }
}

void DelContactScan::noteLivePerson(std::int64_t rowid) {
    // What an intact person row read from its own cell would have left.
    counter_ = rowid;
    largestRowid_ = std::max(largestRowid_, rowid);
    readRowids_.insert(rowid);
    const auto [from, to] = liveById_.equal_range(rowid);
    for (auto it = from; it != to; ++it) readPersons_.emplace(rowid, it->second);
}

void DelContactScan::carvePerson(std::uint64_t a) {
    // The anchors "0f0f080801", "0000040401", "0000040400" and "0000040413",
    // compared as bytes.
    const std::uint8_t b0 = image_.byteAt(a);
    if (b0 == 0x0f) {
        if (image_.byteAt(a + 1) != 0x0f || image_.byteAt(a + 2) != 0x08 || image_.byteAt(a + 3) != 0x08 ||
            image_.byteAt(a + 4) != 0x01)
            return;
    } else if (b0 == 0x00) {
        const std::uint8_t last = image_.byteAt(a + 4);
        if (image_.byteAt(a + 1) != 0x00 || image_.byteAt(a + 2) != 0x04 || image_.byteAt(a + 3) != 0x04 ||
            (last != 0x01 && last != 0x00 && last != 0x13))
            return;
    } else {
        return;
    }
    if (a == 0) return;  // offset 0 is never read

    const std::int64_t d = carve::bSortAlter(image_, a - 12);
    if (d < 0 || static_cast<std::uint64_t>(d) + 20 > a) return;
    const bool wide = carve::bNoteAlter(image_, a - 19 - static_cast<std::uint64_t>(d)) == 1;
    const std::uint64_t back = 27 + static_cast<std::uint64_t>(d) + (wide ? 1 : 0);
    const std::int64_t header = (ctx_.bIOS7DeviceNode ? 36 : 34) + d + (wide ? 1 : 0) +
                                (carve::bImageURLAlter(image_, a + 6) == 1 ? 1 : 0);
    if (back + 3 > a) return;
    const std::uint64_t base = a - back;

    if (!bPlausiblePerson(base, a)) return;

    auto node = std::make_shared<MVContactNode>();
    node->carvedFrom = where_;
    node->carvedPage = page_;
    std::string first, last, middle, created;
    bool cut = false;  // a later write overwrote part of the row after the names
    std::uint64_t dataoff = 0;
    for (std::int64_t k = 1; k <= kPersonFields; ++k) {
        // A wide note's serial type takes two bytes, so every later column's
        // serial type sits one byte further on.
        if (wide && k == kNote + 1) continue;
        const std::int64_t column = wide && k > kNote ? k - 1 : k;
        const std::string raw = decodePersonField(k, dataoff, base, header, wide && k == kNote);
        if (raw.empty()) continue;
        const bool shortText = raw.size() <= 259;
        // A name cut by a later write shows control bytes or broken UTF-8:
        // the row's body is no longer this person's.
        if (column <= kMiddle && !bCleanText(raw)) return;
        const std::string text = GetStringFormChar(raw.c_str());
        switch (column) {
            case kFirst: if (shortText) first = text; break;
            case kLast: if (shortText) last = text; break;
            case kMiddle: if (shortText) middle = text; break;
            case kOrganization: if (shortText) node->contactCompany = text; break;
            case kDepartment: if (shortText) appendWord(node->contactCompany, text); break;
            case kNote:
                node->contactNote = text;
                if (!bCleanStoredNote(raw)) cut = true;
                break;
            // Stored as text; shown as stored, as the live reader does.
            case kBirthday: node->contactBirthday = text; break;
            case kJobTitle: if (shortText) node->contactJobtitle = text; break;
            case kCreationDate: created = raw; break;
            default: break;
        }
    }
    // First, middle and last name, each after a space, as the live reader joins them.
    if (!first.empty()) node->contactName = first;
    appendWord(node->contactName, middle);
    appendWord(node->contactName, last);
    node->contactFirstName = first, node->contactMiddleName = middle, node->contactLastName = last;

    if (!created.empty() && !cut) created_[node.get()] = created;
    if (const auto rowid = intactRowid(base)) {
        counter_ = *rowid;
        largestRowid_ = std::max(largestRowid_, *rowid);
        readRowids_.insert(counter_);
        readPersons_.emplace(counter_, node.get());
        if (!created.empty()) readByCreation_.emplace(std::make_pair(textOrEmpty(node->contactName), created), counter_);
    } else if (counter_ <= 1) {
        // Ids start at 1: below the lowest id read there is nothing to infer.
        ctx_.delUnKnowContactArray.push_back(std::move(node));
        return;
    } else {
        --counter_;
        inferred_.insert(node.get());
    }
    node->rowid = toInt32(counter_);
    ctx_.delContactArray.push_back(std::move(node));
}

void DelContactScan::mergeUnknown() {
    // Every batch of rowid-less persons gets ids above all ids read or handed
    // out so far, the last found getting the lowest.
    const std::vector<ContactPtr>& unknown = ctx_.delUnKnowContactArray;
    if (unknown.size() <= mergedUnknown_) return;
    const std::int64_t m = std::max(largestRowid_, lastMergedRowid_);
    for (std::size_t j = unknown.size(); j-- > mergedUnknown_;) {
        unknown[j]->rowid = toInt32(m + static_cast<std::int64_t>(unknown.size() - j));
        inferred_.insert(unknown[j].get());
        ctx_.delContactArray.push_back(unknown[j]);
    }
    lastMergedRowid_ = m + static_cast<std::int64_t>(unknown.size() - mergedUnknown_);
    mergedUnknown_ = unknown.size();
}

void DelContactScan::carveValue(std::uint64_t q) {
    if (!bValueRecordAt(q)) return;
    auto value = std::make_shared<DelContactValue>();
    std::uint64_t dataoff = 0;
    const std::uint64_t base = q - 4;
    const std::int64_t rowID = decimal(decodeValueField(1, dataoff, base));
    // The record id as stored: the constant 1 has no body to decode, and no
    // person has the id 0 (bytes that only look like a value row).
    const std::uint8_t idType = image_.byteAt(q);
    value->rowID = idType == 9 ? 1 : toInt32(rowID);
    // The value column holds a text; a number there is not a value row.
    const std::uint8_t valueType = image_.byteAt(q + 4);
    const bool textValue = valueType >= 0x80 ? (image_.byteAt(q + 5) & 1) != 0 : valueType >= 13 && (valueType & 1);
    value->valueType = toInt32(decimal(decodeValueField(2, dataoff, base)));
    decodeValueField(3, dataoff, base);
    decodeValueField(4, dataoff, base);
    const std::uint64_t before = dataoff;
    const std::string text = decodeValueField(5, dataoff, base);
    // A zero byte inside the stored length, a control byte or broken UTF-8
    // means later writes overwrote part of the text (a number cut short is
    // somebody else's number).
    const bool whole = text.size() == dataoff - before && bCleanText(text);
    if (idType != 8 && textValue && !text.empty() && whole && text.size() <= 1023) value->contactValue = GetStringFormChar(text.c_str());
    values_.push_back({std::move(value), valueUid(q)});
}

bool DelContactScan::bRowidGuessedWrong(const MVContactNode& node) const {
    // An id guessed from the neighbours that another carved person shows
    // intact is a wrong guess, unless both carry the same name (an older copy
    // of a row rewritten on update).
    if (!inferred_.count(&node) || !readRowids_.count(node.rowid)) return false;
    const auto [from, to] = readPersons_.equal_range(node.rowid);
    return std::none_of(from, to, [&](const auto& read) { return read.second->contactName == node.contactName; });
}

void DelContactScan::join(MVContactNode& node) const {
    // A value names its person by row id only; a person whose id was not read
    // from its own cell gets none (a guessed id would hand it a stranger's
    // number, worse than none), and its values are listed on their own.
    if (inferred_.count(&node)) return;
    const auto byRow = valuesByRow_.find(node.rowid);
    if (byRow == valuesByRow_.end()) return;
    addValues(node, byRow->second);
}

void DelContactScan::addValues(MVContactNode& node, const std::vector<std::size_t>& indexes) const {
    // The values, each once: a row moved inside the file leaves its old copy
    // behind with the same text.
    std::vector<CarvedValue> mine;
    for (const std::size_t index : indexes) {
        const CarvedValue& v = values_[index];
        const DelContactValue& dv = *v.value;
        if (!bListedValue(dv)) continue;
        auto same = std::find_if(mine.begin(), mine.end(), [&](const CarvedValue& m) {
            return m.value->valueType == dv.valueType && m.value->contactValue == dv.contactValue;
        });
        if (same == mine.end())
            mine.push_back(v);
        else if (!same->uid)
            same->uid = v.uid;
    }
    // In the database's order when every row still names itself, so that a
    // live person's carved copy lists its numbers as the live reader does.
    if (std::all_of(mine.begin(), mine.end(), [](const CarvedValue& v) { return v.uid.has_value(); }))
        std::stable_sort(mine.begin(), mine.end(), [](const CarvedValue& x, const CarvedValue& y) { return *x.uid < *y.uid; });
    for (const CarvedValue& v : mine) {
        const std::string& text = *v.value->contactValue;
        switch (v.value->valueType) {
            case 3: appendWord(node.contactPhone, text); node.contactPhoneValues.push_back(text); break;
            case 4: appendWord(node.contactEmail, text); node.contactEmailValues.push_back(text); break;
            default: appendWord(node.contactHomepage, text); node.contactHomepageValues.push_back(text); break;
        }
    }
}

bool DelContactScan::bListedValue(const DelContactValue& v) {
    // Phone numbers, e-mail and web addresses whose text came back whole.
    return !textOrEmpty(v.contactValue).empty() && (v.valueType == 3 || v.valueType == 4 || v.valueType == 22);
}

void DelContactScan::postUnjoinedValues(const std::map<std::int64_t, const MVContactNode*>& owners,
                                        const std::set<std::int64_t>& joined) {
    // Values whose person is not among the deleted persons posted above.
    // Those of a live person that it no longer holds are its deleted values,
    // listed under its name; a value it still holds is the older copy of a
    // live row. Values whose person is unknown are grouped by the record id
    // they share (one person's, whoever it was) and listed without a name.
    std::map<std::int64_t, const MVContactNode*> liveById;
    for (const ContactPtr& c : ctx_.contactArray) liveById.emplace(c->rowid, c.get());
    for (const auto& [id, indexes] : valuesByRow_) {
        if (ctx_.stopRequested()) return;
        if (joined.count(id)) continue;
        const auto owner = owners.find(id);
        const auto live = liveById.find(id);
        std::vector<std::size_t> gone;
        for (const std::size_t index : indexes) {
            const DelContactValue& v = *values_[index].value;
            if (!bListedValue(v)) continue;
            if (live != liveById.end()) {
                const MVContactNode& l = *live->second;
                const std::string& text = *v.contactValue;
                const auto holds = [&](const std::vector<std::string>& list) {
                    return std::find(list.begin(), list.end(), text) != list.end();
                };
                if (holds(l.contactPhoneValues) || holds(l.contactEmailValues) || holds(l.contactHomepageValues))
                    continue;
            } else if (owner != owners.end()) {
                // A carved person with this id that is not listed as deleted
                // is the copy of a live one; its values are that person's.
                continue;
            }
            gone.push_back(index);
        }
        if (gone.empty()) continue;
        auto node = std::make_shared<MVContactNode>();
        node->rowid = toInt32(id);
        if (live != liveById.end()) {
            const MVContactNode& l = *live->second;
            node->contactName = l.contactName;
            node->contactFirstName = l.contactFirstName;
            node->contactMiddleName = l.contactMiddleName;
            node->contactLastName = l.contactLastName;
        } else {
            node->contactName = std::string(kNamelessValue);
            node->contactFirstName = std::string(), node->contactLastName = std::string();
        }
        addValues(*node, gone);
        if (node->contactPhoneValues.empty() && node->contactEmailValues.empty() && node->contactHomepageValues.empty())
            continue;
        ctx_.sink.deletedContact(ContactPtr(node));
    }
}

}  // namespace salvor
