#include "carve/deleted_calendar.h"
#include "carve/prepared_image.h"

#include <set>
#include <vector>

#include "core/byte_reader.h"
#include "core/helpers.h"
#include "core/scan_context.h"
#include "platform/log.h"

namespace salvor {

namespace {

// The event columns this scan reads; the same positions in the event table of
// the oldest stores and in the calendar-item table of later ones.
enum EventColumn : std::size_t { kSummary = 1, kLocation = 2, kDescription = 3, kStart = 4, kEnd = 6, kOrganizer = 11 };

// Columns 11 to 16 of an ordinary event: organizer, attendee, status,
// invitation status (or the oldest layout's organizer fields, one of them a
// NULL text), availability and privacy, all 0.
bool bAnchorAt(const std::uint8_t* b) {
    return b[0] == 8 && b[1] == 8 && (b[2] == 8 || b[2] == 0) && b[3] == 8 && b[4] == 8 && b[5] == 8;
}

}  // namespace

DelCalendarScan::DelCalendarScan(ScanContext& ctx, const carve::PageImage& image) : ctx_(ctx), image_(image) {}

void DelCalendarScan::scanBackup(ScanContext& ctx, const std::string& backupPath) {
    withPreparedImage(ctx, backupPath, {"2041457d5fe04d39d0ab481178355df6781e6858"}, "calendar: no prepared calendar to carve",
                      "Calendar.sqlitedb", [&](const carve::PageImage& image) { DelCalendarScan(ctx, image).run(); });
}

void DelCalendarScan::run() {
    // Fields are placed by the table's real column count (31 in the oldest
    // event table, 41 on iOS 5, 51 on iOS 6, 52 on iOS 7.1, whose rows also
    // carry a two-byte serial type): a fixed count reads a longer table's
    // fields off by the difference.
    bool textLocation = false;
    auto layout = carve::findTableLayout(image_, "CalendarItem");
    if (!layout) {
        layout = carve::findTableLayout(image_, "Event");
        textLocation = true;
    }
    if (!layout || layout->kinds.size() <= kOrganizer + 5) {
        log::line("calendar: no event table in the schema; nothing carved", log::Level::Debug);
        ctx_.postStageProgress();
        return;
    }
    free_ = carve::freePages(image_);
    for (std::uint64_t i = 1; i < image_.pageCount(); ++i) {
        if (ctx_.stopRequested()) return;
        scanPage(i, layout->kinds, textLocation);
    }
    // A copy of a row some page still lists (a reminder list the live reader
    // leaves out included) is not a deleted event; a copy that differs is the
    // row's earlier version, which the result store keeps with it.
    // A row moved by a page split leaves an equal copy behind: one is posted.
    std::set<std::vector<std::string>> posted;
    for (auto& [key, event] : found_) {
        if (ctx_.stopRequested()) return;
        if (live_.count(identityOf(*event)) || !posted.insert(identityOf(*event)).second) continue;
        ctx_.sink.deletedCalendarEvent(event);
    }
    ctx_.postStageProgress();
}

void DelCalendarScan::scanPage(std::uint64_t i, const std::string& kinds, bool textLocation) {
    // Every page but the first, whatever its kind now: its free space is
    // searched, and the anchor and the walk over the whole row decide (see
    // the call-history scan).
    const carve::PageCells cells(image_, free_, i);
    const std::uint8_t* page = image_.page(i).data();
    for (const carve::FreeRegion& region : cells.freeRegions()) {
        for (std::uint64_t p = region.begin; p < region.end && p + 6 <= cells.end(); ++p) {
            if (!bAnchorAt(page + (p - cells.begin()))) continue;
            const auto row = carveRow(p, kinds, cells);
            if (!row) continue;
            if (row->live) {
                live_.insert(identityOf(*makeEvent(*row, textLocation)));
                continue;
            }
            CalendarPtr event = makeEvent(*row, textLocation);
            event->carvedFrom = carve::foundInText(region.kind);
            event->carvedPage = static_cast<std::int64_t>(cells.number());
            found_.emplace_back(row->key, std::move(event));
        }
    }
    // The rows the page lists, read where their cells say they begin.
    for (const std::uint64_t at : cells.listedRecords()) {
        auto walked = carve::walkRecord(image_, at, 1, kinds, cells.begin(), cells.end());
        if (!walked || !cells.bListed(*walked)) continue;
        Row row{std::move(*walked), true, {}};
        row.key = {row.record.bytes(kSummary).value_or(""), row.record.number(kStart)};
        if (!row.key.first.empty() || row.key.second) live_.insert(identityOf(*makeEvent(row, textLocation)));
    }
}

std::vector<std::string> DelCalendarScan::identityOf(const MVCalendarNode& event) {
    // Dates as listed: copies that round to the same minute are one event.
    return {textOrEmpty(event.calTitle), textOrEmpty(displayDate(event.startDate)), textOrEmpty(event.calNote),
            textOrEmpty(event.location), textOrEmpty(displayDate(event.endDate))};
}

std::optional<DelCalendarScan::Row> DelCalendarScan::carveRow(std::uint64_t anchor, const std::string& kinds,
                                                              const carve::PageCells& page) const {
    auto walked = carve::walkRecord(image_, anchor, kOrganizer, kinds, page.begin(), page.end());
    if (!walked) return std::nullopt;
    Row row{std::move(*walked), page.bListed(*walked), {}};
    // Texts cut by a later write show a zero or control byte or broken UTF-8.
    if (!row.live && (page.bOverwritten(row.record) || !carve::bTextsClean(row.record, kinds))) return std::nullopt;
    row.key = {row.record.bytes(kSummary).value_or(""), row.record.number(kStart)};
    if (row.key.first.empty() && !row.key.second) return std::nullopt;
    return row;
}

CalendarPtr DelCalendarScan::makeEvent(const Row& row, bool textLocation) {
    auto event = std::make_shared<MVCalendarNode>();
    event->calTitle = GetStringFormChar(row.key.first.c_str());
    event->calNote = GetStringFormChar(row.record.bytes(kDescription).value_or("").c_str());
    if (textLocation) event->location = GetStringFormChar(row.record.bytes(kLocation).value_or("").c_str());
    if (row.key.second) event->startDate = timestampOf(*row.key.second, 1);
    if (const auto end = row.record.number(kEnd)) event->endDate = timestampOf(*end, 1);
    return event;
}

}  // namespace salvor
