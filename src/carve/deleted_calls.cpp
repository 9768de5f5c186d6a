#include "carve/deleted_calls.h"
#include "carve/prepared_image.h"

#include <algorithm>
#include <limits>
#include <set>
#include <tuple>
#include <unordered_map>
#include <utility>

#include "core/byte_reader.h"
#include "core/helpers.h"
#include "core/scan_context.h"
#include "platform/log.h"

namespace salvor {

namespace {

// The call table's columns this scan reads.
enum CallColumn : std::size_t { kAddress = 1, kDate = 2, kDuration = 3, kFlags = 4, kId = 5 };

// Serial types of the flags and id columns as phones store them: flags an
// integer of one to four bytes (4 and 5, and the kind of call in the higher
// bits: FaceTime, Wi-Fi calling, up to bit 24), id an integer of one to four
// bytes (-1, a contact's row id) or the constant 0 or 1. The walk over the
// whole row decides the rest.
bool bAnchor(std::uint8_t flags, std::uint8_t id) {
    const auto integer = [](std::uint8_t t) { return (t >= 1 && t <= 4) || t == 8 || t == 9; };
    return flags >= 1 && flags <= 4 && integer(id);
}

}  // namespace

DelCallScan::DelCallScan(ScanContext& ctx, const carve::PageImage& image) : ctx_(ctx), image_(image) {}

void DelCallScan::scanBackup(ScanContext& ctx, const std::string& backupPath) {
    // Whichever of the two stored call-history files the backup holds.
    withPreparedImage(ctx, backupPath, {"2b2b0084a1bc3a5ac8c27afdf14afb42c61a19ca", "ff1324e6b949111b2fb449ecddb50c89c3699a78"},
                      "call history: no prepared call history to carve", "call_history.db",
                      [&](const carve::PageImage& image) { DelCallScan(ctx, image).run(); });
}

void DelCallScan::run() {
    // Fields are placed by the call table's real column count: 8 on iOS 4, 9 on
    // iOS 5, 13 on iOS 6 and 7.0, 14 on iOS 7.1 (a fixed count reads every
    // field of a longer table one byte off).
    const auto layout = carve::findTableLayout(image_, "call");
    if (!layout || layout->kinds.size() <= kId) {
        log::line("call history: no call table in the schema; nothing carved", log::Level::Debug);
        ctx_.postStageProgress();
        return;
    }
    free_ = carve::freePages(image_);
    for (std::uint64_t i = 1; i < image_.pageCount(); ++i) {
        if (ctx_.stopRequested()) return;
        scanPage(i, layout->kinds);
    }
    // A copy of a row some page still lists (left by a page split, or by an
    // update that moved it unchanged) is not a deleted call; a copy that
    // differs is the row's earlier version, which the result store keeps with it.
    // A row moved by a page split leaves an equal copy behind: one is posted.
    std::set<std::tuple<std::string, std::int64_t, std::int32_t, std::string>> posted;
    std::unordered_map<std::string, Text> names;  // one lookup per number
    for (auto& [key, call] : found_) {
        if (ctx_.stopRequested()) return;
        if (live_.count(identityOf(key, *call)) || !posted.emplace(key.first, key.second, call->callTime, textOrEmpty(call->callType)).second) continue;
        if (const std::string& phone = textOrEmpty(call->callPhone); phone.size() > 1) {
            auto known = names.find(phone);
            if (known == names.end()) known = names.emplace(phone, ctx_.contacts().getNameByPhoneNumber(call->callPhone)).first;
            call->callName = known->second;
        }
        ctx_.sink.deletedCall(call);
    }
    ctx_.postStageProgress();
}

void DelCallScan::scanPage(std::uint64_t i, const std::string& kinds) {
    // Every page but the first: leaves (in use or on the free list), and the
    // trunks and interior pages whose old cells survive after their new
    // header. Only the page's free space is searched; the anchors and the
    // walk over the whole row decide.
    const carve::PageCells cells(image_, free_, i);
    const std::uint8_t* page = image_.page(i).data();
    for (const carve::FreeRegion& region : cells.freeRegions()) {
        for (std::uint64_t p = region.begin; p < region.end && p + 1 < cells.end(); ++p) {
            if (!bAnchor(page[p - cells.begin()], page[p - cells.begin() + 1])) continue;
            const auto row = carveRow(p, kinds, cells);
            if (!row) continue;
            if (row->live) {
                if (CallPtr call = makeCall(*row)) live_.insert(identityOf(row->key, *call));
            } else if (CallPtr call = makeCall(*row)) {
                call->carvedFrom = carve::foundInText(region.kind);
                call->carvedPage = static_cast<std::int64_t>(cells.number());
                found_.emplace_back(row->key, std::move(call));
            }
        }
    }
    // The rows the page lists, by number and date only: their copies
    // elsewhere (an update that moved one, a page split) are not deleted calls.
    for (const std::uint64_t at : cells.listedRecords()) {
        auto walked = carve::walkRecord(image_, at, 1, kinds, cells.begin(), cells.end());
        if (!walked || !cells.bListed(*walked) || !walked->number(kFlags)) continue;
        const auto date = walked->number(kDate);
        if (!date) continue;
        Row row{std::move(*walked), true, {}};
        row.key = {row.record.bytes(kAddress).value_or(""), *date};
        if (CallPtr call = makeCall(row)) live_.insert(identityOf(row.key, *call));
    }
}

DelCallScan::Identity DelCallScan::identityOf(const Key& key, const MVCallHistoryNode& call) {
    return {key.first, key.second, call.callTime, textOrEmpty(call.callType)};
}

std::optional<DelCallScan::Row> DelCallScan::carveRow(std::uint64_t anchor, const std::string& kinds,
                                                      const carve::PageCells& page) const {
    // The walk checks every serial type of the row against its column. The
    // anchor also matches one column early when the duration is a one-byte
    // integer (duration, flags); that read makes the date the number and
    // fails there, so no shifted copy of the call is posted. A row whose
    // texts were cut by a later write is somebody else's bytes.
    auto walked = carve::walkRecord(image_, anchor, kFlags, kinds, page.begin(), page.end());
    if (!walked) return std::nullopt;
    Row row{std::move(*walked), page.bListed(*walked), {}};
    if (!row.live && (page.bOverwritten(row.record) || !carve::bTextsClean(row.record, kinds))) return std::nullopt;
    const auto date = row.record.number(kDate);
    if (!date || !row.record.number(kFlags)) return std::nullopt;
    row.key = {row.record.bytes(kAddress).value_or(""), *date};
    if (row.key.first.size() > 256) return std::nullopt;
    return row;
}

CallPtr DelCallScan::makeCall(const Row& row) {
    auto call = std::make_shared<MVCallHistoryNode>();
    if (!row.key.first.empty()) call->callPhone = GetStringFormChar(row.key.first.c_str());
    call->callDate = timestampOf(row.key.second, 0);
    const std::int64_t flags = row.record.number(kFlags).value_or(0);
    const auto duration = row.record.number(kDuration);
    call->callTime = static_cast<std::int32_t>(
        std::clamp<std::int64_t>(duration.value_or(0), 0, std::numeric_limits<std::int32_t>::max()));
    call->callType = flags == 5 ? "Outgoing" : "Incoming";
    return call;
}

}  // namespace salvor
