#include "carve/deleted_notes.h"
#include "carve/prepared_image.h"

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <tuple>

#include "core/byte_reader.h"
#include "core/helpers.h"
#include "core/scan_context.h"
#include "platform/log.h"

namespace salvor {

namespace {

// The backup's stored names of the notes store, and of the older notes file
// (whose tables this scan does not know, so nothing is carved from it).
constexpr const char* kNoteFiles[] = {"ca3bc056d4da0bbf88b5fb3be254f3b7147e639c",
                                      "740b7eaf93d6ea5d305e88bb349c8e9643f48c3b"};
// Entity numbers of the store: 3 note, 4 note body.
constexpr std::int64_t kNoteEntity = 3;
constexpr std::int64_t kBodyEntity = 4;
// Dates are seconds since 2001; anything outside 2007-2040 (the notes of a
// phone) is not one.
constexpr std::int64_t kEarliestDate = 189302400;
constexpr std::int64_t kLatestDate = 1262304000;

}  // namespace

void DelNoteScan::scanBackup(ScanContext& ctx, const std::string& backupPath) {
    withPreparedImage(ctx, backupPath, {kNoteFiles[0], kNoteFiles[1]}, "NoteDB is not exist", "notes.sqlite",
                      [&](const carve::PageImage& image) {
                          auto note = carve::findTableLayout(image, "ZNOTE");
                          auto body = carve::findTableLayout(image, "ZNOTEBODY");
                          if (!note || !body) {
                              log::line("notes: the notes file has no note tables this scan knows", log::Level::Debug);
                              ctx.postStageProgress();
                              return;
                          }
                          DelNoteScan(ctx, image, std::move(*note), std::move(*body)).run();
                      });
}

DelNoteScan::DelNoteScan(ScanContext& ctx, const carve::PageImage& image, carve::TableLayout note,
                         carve::TableLayout body)
    : ctx_(ctx),
      image_(image),
      note_(std::move(note)),
      body_(std::move(body)),
      free_(carve::freePages(image)),
      noteEnt_(note_.index("Z_ENT")),
      noteBody_(note_.index("ZBODY")),
      noteDate_(note_.index("ZMODIFICATIONDATE")),
      noteTitle_(note_.index("ZTITLE")),
      noteCreated_(note_.index("ZCREATIONDATE")),
      noteOpt_(note_.index("Z_OPT")),
      bodyOpt_(body_.index("Z_OPT")),
      bodyEnt_(body_.index("Z_ENT")),
      bodyOwner_(body_.index("ZOWNER")),
      bodyContent_(body_.index("ZCONTENT")) {}

void DelNoteScan::carveAt(std::uint64_t p, const carve::PageCells& page) {
    // Both tables begin with the row-id alias and the entity number, which
    // fits one byte: a record's second serial type is 01 in every schema
    // format (the columns after it hold 0 and 1 as 01 in format-1 files, as
    // the constants 08 and 09 in format-4 ones, which the walk takes alike).
    if (image_.byteAt(p) != 0x01) return;
    const auto k = [](int i) { return static_cast<std::size_t>(i); };
    auto r = carve::walkRecord(image_, p, 1, note_.kinds, page.begin(), page.end(), true);
    if (r && r->integer(k(noteEnt_)) == kNoteEntity) {
        const auto title = r->bytes(k(noteTitle_));
        if (title && !carve::bCleanStoredText(*title, false)) return;
        if (!r->isNull(k(noteTitle_)) && !title) return;
        const auto when = r->number(k(noteDate_));
        if (!r->isNull(k(noteDate_)) && (!when || *when < kEarliestDate || *when > kLatestDate)) return;
        // A note is created before it is last changed.
        if (noteCreated_ > 0 && when && !r->isNull(k(noteCreated_))) {
            const auto created = r->number(k(noteCreated_));
            if (!created || *created < kEarliestDate || *created > *when) return;
        }
        const auto number = r->integer(k(noteBody_));
        if (!r->isNull(k(noteBody_)) && !number) return;
        if (!title && !when) return;
        Carved c;
        c.number = number.value_or(0);
        if (noteOpt_ > 0) c.version = r->integer(k(noteOpt_)).value_or(0);
        if (title) c.title = GetStringFormChar(title->c_str());
        if (when) c.date = shownTimestampOf(*when, 1);
        c.live = page.bListed(*r);
        // A live row counts by its number alone.
        if (c.live) c.title.clear(), c.date.reset();
        c.where = where_, c.page = page.number();
        notes_.push_back(std::move(c));
        return;
    }
    r = carve::walkRecord(image_, p, 1, body_.kinds, page.begin(), page.end(), true);
    if (r && r->integer(k(bodyEnt_)) == kBodyEntity) {
        const auto owner = r->integer(k(bodyOwner_));
        const auto content = r->bytes(k(bodyContent_));
        // A body cut by later writes is not this note's text.
        if (!owner || !content || content->empty() || !carve::bCleanStoredText(*content, true)) return;
        Carved c;
        c.number = *owner;
        if (bodyOpt_ > 0) c.version = r->integer(k(bodyOpt_)).value_or(0);
        c.content = cleanNoteContent(GetStringFormChar(content->c_str()));
        c.live = page.bListed(*r);
        if (c.live) c.content.clear();
        c.where = where_, c.page = page.number();
        bodies_.push_back(std::move(c));
    }
}

void DelNoteScan::run() {
    // Without the columns it reads, nothing of these tables can be carved.
    if (std::min({noteEnt_, noteBody_, noteDate_, noteTitle_, bodyEnt_, bodyOwner_, bodyContent_}) < 1) {
        ctx_.postStageProgress();
        return;
    }
    // Every page: besides table leaves, free-list trunks and leaves that grew
    // into interior pages keep old cells; the walk alone decides.
    for (std::uint64_t i = 0; i < image_.pageCount(); ++i) {
        if (ctx_.stopRequested()) return;
        const carve::PageCells page(image_, free_, i);
        for (const carve::FreeRegion& region : page.freeRegions()) {
            where_ = region.kind;
            for (std::uint64_t p = std::max<std::uint64_t>(region.begin, 100); p < region.end; ++p) carveAt(p, page);
        }
        // The rows the page lists, read where their cells say they begin.
        for (const std::uint64_t at : page.listedRecords()) carveAt(at, page);
    }
    // Numbers are never reused: a carved record with the number of a row the
    // database holds is that row, a copy of it, or the older version an edit
    // left behind, never a deleted note.
    std::set<std::int64_t> liveNotes, liveBodies;
    for (const Carved& c : notes_)
        if (c.live) liveNotes.insert(c.number);
    for (const Carved& c : bodies_)
        if (c.live) liveBodies.insert(c.number);
    // Records of one number are versions of one row: an edit rewrites the row
    // and counts its version up (Z_OPT), leaving the older bytes behind. Only
    // the latest version found is the deleted record.
    auto keep = [](std::vector<Carved>& list, const std::set<std::int64_t>& live, auto key) {
        std::map<std::int64_t, std::int64_t> latest;
        for (const Carved& c : list)
            if (!c.live && !live.count(c.number)) {
                auto [it, added] = latest.emplace(c.number, c.version);
                if (!added) it->second = std::max(it->second, c.version);
            }
        std::set<decltype(key(list.front()))> seen;
        std::vector<Carved> kept;
        for (Carved& c : list) {
            const auto it = latest.find(c.number);
            // Without a number (0) records cannot be told to be one row.
            const bool newest = c.number == 0 || (it != latest.end() && c.version == it->second);
            if (newest && !c.live && !live.count(c.number) && seen.insert(key(c)).second)
                kept.push_back(std::move(c));
        }
        list = std::move(kept);
    };
    // Versions whose dates list alike (the same minute) are one version.
    if (!notes_.empty())
        keep(notes_, liveNotes,
             [](const Carved& c) { return std::make_tuple(c.number, c.title, textOrEmpty(displayDate(c.date))); });
    if (!bodies_.empty()) keep(bodies_, liveBodies, [](const Carved& c) { return std::make_pair(c.number, c.content); });

    for (const Carved& c : notes_) {
        auto n = std::make_shared<MVNoteNode>();
        n->uid = static_cast<std::int32_t>(std::clamp<std::int64_t>(c.number, INT32_MIN, INT32_MAX));
        n->noteTitle = c.title;
        n->noteDate = c.date;
        ctx_.noteArray.push_back(std::move(n));
    }
    // Each body with the last note record of its number; a note whose body
    // was overwritten still comes back with its title and date.
    std::map<std::int64_t, const Carved*> noteOf;
    for (const Carved& c : notes_) noteOf[c.number] = &c;
    std::set<std::int64_t> joined;
    auto post = [this](const std::string& title, const std::optional<Timestamp>& date, const std::string& content,
                       const Carved& from) {
        auto n = std::make_shared<MVNoteNode>();
        n->noteTitle = title;
        n->noteDate = date;
        n->noteContent = content;
        n->carvedFrom = carve::foundInText(from.where);
        n->carvedPage = static_cast<std::int64_t>(from.page);
        ctx_.sink.deletedNote(n);
    };
    for (const Carved& b : bodies_) {
        if (ctx_.stopRequested()) return;
        const auto it = noteOf.find(b.number);
        if (it != noteOf.end()) joined.insert(b.number);
        post(it != noteOf.end() ? it->second->title : std::string(), it != noteOf.end() ? it->second->date : std::nullopt,
             b.content, b);
    }
    for (const Carved& c : notes_)
        if (!joined.count(c.number)) post(c.title, c.date, std::string(), c);
    ctx_.postStageProgress();
}

}  // namespace salvor
