#include "carve/deleted_bookmarks.h"
#include "carve/prepared_image.h"

#include <algorithm>
#include <memory>

#include "core/byte_reader.h"
#include "core/helpers.h"
#include "core/scan_context.h"
#include "platform/log.h"

namespace salvor {

namespace {

// The bookmarks database, and the same database under the older name that
// backups of the oldest systems give it.
constexpr const char* kBookmarkFiles[] = {"d1f062e2da26192a6625d968274bfda8d07821e4",
                                          "04cc352fd9943f7c0c3f0781d4834fa137775761"};
constexpr std::size_t kLongestText = 4096;

}  // namespace

void DelBookMarkScan::scanBackup(ScanContext& ctx, const std::string& backupPath) {
    withPreparedImage(ctx, backupPath, {kBookmarkFiles[0], kBookmarkFiles[1]}, "bookmarks: no prepared bookmarks database to carve",
                      "Bookmarks.db", [&](const carve::PageImage& image) {
                          auto layout = carve::findTableLayout(image, "bookmarks");
                          if (!layout) {
                              log::line("bookmarks: the file has no bookmarks table this scan knows", log::Level::Debug);
                              ctx.postStageProgress();
                              return;
                          }
                          DelBookMarkScan(ctx, image, std::move(*layout)).run();
                      });
}

DelBookMarkScan::DelBookMarkScan(ScanContext& ctx, const carve::PageImage& image, carve::TableLayout layout)
    : ctx_(ctx),
      image_(image),
      layout_(std::move(layout)),
      free_(carve::freePages(image)),
      type_(layout_.index("type")),
      title_(layout_.index("title")),
      url_(layout_.index("url")) {}

void DelBookMarkScan::carveAt(std::uint64_t p, const carve::PageCells& page) {
    // The columns before the title are small integers (special id, parent,
    // type): 01 in format-1 files, 01 or the constants 08/09 in format-4 ones.
    const std::uint8_t first = image_.byteAt(p);
    if (first != 0x01 && first != 0x08 && first != 0x09) return;
    const auto r = carve::walkRecord(image_, p, 1, layout_.kinds, page.begin(), page.end(), true);
    if (!r) return;
    const auto k = [](int i) { return static_cast<std::size_t>(i); };
    const auto type = r->integer(k(type_));
    if (!type || (*type != 0 && *type != 1)) return;
    const auto title = r->bytes(k(title_));
    const auto url = r->bytes(k(url_));
    if (!title || title->empty() || title->size() > kLongestText || !carve::bCleanStoredText(*title, false)) return;
    if (!r->isNull(k(url_)) && (!url || url->size() > kLongestText || !carve::bCleanStoredText(*url, false))) return;
    // A folder has no address.
    if (*type == 1 && url) return;
    std::pair<std::string, std::string> row{GetStringFormChar(title->c_str()), url ? GetStringFormChar(url->c_str()) : std::string()};
    if (page.bListed(*r)) {
        liveRows_.insert(std::move(row));
        return;
    }
    if (carved_.insert(row).second) found_.push_back({std::move(row.first), std::move(row.second), where_, page.number()});
}

void DelBookMarkScan::run() {
    if (std::min({type_, title_, url_}) < 1) {
        ctx_.postStageProgress();
        return;
    }
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
    for (const Found& f : found_) {
        const std::string& title = f.title;
        const std::string& url = f.url;
        if (ctx_.stopRequested()) return;
        // The moved or rewritten copy of a row the database holds is not a deleted one.
        if (liveRows_.count({title, url})) continue;
        if (title == "Root" || title == "com.apple.ReadingList") continue;
        auto node = std::make_shared<MVBookMarkNode>();
        node->bookMarkTitle = title;
        if (!url.empty()) node->bookMarkURL = url;
        node->carvedFrom = carve::foundInText(f.where);
        node->carvedPage = static_cast<std::int64_t>(f.page);
        ctx_.sink.deletedBookmark(node);
    }
    ctx_.postStageProgress();
}

}  // namespace salvor
