// Bookmarks: the browser's bookmark rows, the factory bookmarks and the
// browser's history list.
#include <memory>

#include "core/stored_file.h"
#include "extract/commit_db.h"
#include "extract/extract_util.h"
#include "extract/extractors.h"
#include "platform/log.h"
#include "platform/plist.h"

namespace salvor {

using namespace extract_detail;

namespace {
constexpr const char* kBookmarkFiles[] = {"d1f062e2da26192a6625d968274bfda8d07821e4",
                                          "04cc352fd9943f7c0c3f0781d4834fa137775761"};
constexpr const char* kHistory = "1d6740792a2b845f4c1e6220c43906d7f0afe8ab";
const sqlite::ReadPlan kBookmarks{{"TITLE,URL,id, parent,type", "bookmarks", "", {"bookmarks"}}, {}};

void post(ScanContext& ctx, Text title, Text url) {
    auto node = std::make_shared<MVBookMarkNode>();
    node->bookMarkTitle = std::move(title);
    node->bookMarkURL = std::move(url);
    ctx.sink.bookmark(node);
}

void readHistory(ScanContext& ctx, const std::string& path);
}  // namespace

void scanBookmarks(ScanContext& ctx, const std::string& backupPath) {
    if (backupPath.empty()) return;
    const std::string stored = firstExistingStored(backupPath, kBookmarkFiles);
    if (stored.empty()) {
        log::line("messageDB is not exist");
        return;
    }
    ScratchScope scratch(ctx);
    if (const auto copy = preparedCopy(ctx, stored)) {
        sqlite::Database db(*copy, ctx.stop, "Bookmarks.db");
        sqlite::Table table(db, kBookmarks);
        for (int r = 0; r < table.rows() && !ctx.stopRequested(); ++r) {
            auto node = std::make_shared<MVBookMarkNode>();
            setText(node->bookMarkTitle, table.at(r, 0));
            setText(node->bookMarkURL, table.at(r, 1));
            // The root folder and the reading-list folder are structure, not bookmarks.
            if (node->bookMarkTitle == "Root" || node->bookMarkTitle == "com.apple.ReadingList") continue;
            ctx.sink.bookmark(node);
        }
    }
    if (ctx.stopRequested()) return;
    for (const FactoryBookmark& factory : kFactoryBookmarks) post(ctx, std::string(factory.title), std::string(factory.url));

    const std::string history = storedPath(backupPath, kHistory);
    if (fileExists(history))
        readHistory(ctx, history);
    else
        log::line("bookMarkPlistPath not find");
}

namespace {
// The browser's history list: "WebHistoryDates" holds one dictionary per page,
// its address under the empty key and its title under "title".
void readHistory(ScanContext& ctx, const std::string& path) {
    const auto readable = readableStoredPath(ctx, path);
    if (!readable) return;
    const plist::Document doc = plist::Document::fromFile(*readable);
    const plist::Node dates = doc.rootDict().array("WebHistoryDates");
    for (std::size_t i = 0; i < dates.size() && !ctx.stopRequested(); ++i) {
        const plist::Node entry = dates.at(i);
        if (!entry.isDict()) continue;  // nothing to show for a stray value
        post(ctx, entry.string("title"), entry.string(""));
    }
}
}  // namespace

}  // namespace salvor
