// Safari of a modern backup: the bookmarks of Bookmarks.db, then one entry per
// page of History.db, the most recently visited first, titled by its latest
// visit that had a title. Both arrive as bookmark records, as the bookmarks
// and the history list of the older systems do.
#include "extract/modern_safari.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

#include "extract/carved_copy.h"
#include "extract/commit_db.h"
#include "extract/extract_util.h"
#include "extract/modern_lookup.h"
#include "platform/log.h"

namespace salvor {

using namespace extract_detail;

namespace {

constexpr modern::Place kBookmarks{"HomeDomain", "Library/Safari/Bookmarks.db",
                                   "d1f062e2da26192a6625d968274bfda8d07821e4"};
// The history has been listed under either domain, depending on the system.
constexpr modern::Place kHistoryHome{"HomeDomain", "Library/Safari/History.db",
                                     "1a0e7afc19d307da602ccdcece51af33afe92c53"};
constexpr modern::Place kHistoryApp{"AppDomain-com.apple.mobilesafari", "Library/Safari/History.db",
                                    "e74113c185fd8297e140cfcf9c99436c5cc06b57"};

// `origin`: the entry is a deleted row the carving found there.
void post(ScanContext& ctx, Text title, Text url, const modern::CarvedOrigin* origin = nullptr) {
    auto node = std::make_shared<MVBookMarkNode>();
    node->bookMarkTitle = std::move(title);
    node->bookMarkURL = std::move(url);
    if (origin) {
        modern::markCarved(*node, *origin);
        ctx.sink.deletedBookmark(node);
        return;
    }
    ctx.sink.bookmark(node);
}

// With `carved`, the database is the private one of carved rows: only the
// deleted rows the carving found are posted.
void readBookmarks(ScanContext& ctx, const std::string& path, const modern::CarvedCopy* carved) {
    sqlite::Database db(path, ctx.stop, "Bookmarks.db");
    const modern::TableColumns table(db, "bookmarks");
    if (!table.has("title") && !table.has("url")) return;
    sqlite::Reader rows(db, {{table.select({"title", "url"}) + ", bookmarks.ROWID", "bookmarks", "", {"bookmarks"}}, {}});
    while (!ctx.stopRequested() && rows.step()) {
        const modern::CarvedOrigin* origin = carved ? carved->originOf("bookmarks", rows.int64(2)) : nullptr;
        if (carved && !origin) continue;
        Text title = std::string(), url = std::string();
        setText(title, rows.text(0));
        setText(url, rows.text(1));
        // The root folder and the reading-list folder are structure, not bookmarks.
        if (title == "Root" || title == "com.apple.ReadingList") continue;
        post(ctx, std::move(title), std::move(url), origin);
    }
}

struct Page {
    std::int64_t id = 0;
    Text url = std::string();
    bool visited = false;
    double lastVisit = 0;
    double titledVisit = 0;
    Text title;  // absent while no visit had one
    const modern::CarvedOrigin* origin = nullptr;
};

// With `carved`, the database is the private one of carved rows: only the
// deleted pages the carving found are posted, titled by the visits that survive.
void readHistory(ScanContext& ctx, const std::string& path, const modern::CarvedCopy* carved) {
    sqlite::Database db(path, ctx.stop, "History.db");
    const modern::TableColumns items(db, "history_items");
    const modern::TableColumns visits(db, "history_visits");
    if (!items.has("url")) return;

    std::vector<Page> pages;
    std::unordered_map<std::int64_t, std::size_t> pageOf;
    {
        sqlite::Reader rows(db,
                            {{"history_items.ROWID, " + items.ref("url"), "history_items", "", {"history_items"}}, {}});
        while (!ctx.stopRequested() && rows.step()) {
            Page page;
            page.id = rows.int64(0);
            page.origin = carved ? carved->originOf("history_items", page.id) : nullptr;
            if (carved && !page.origin) continue;
            setText(page.url, rows.text(1));
            if (pageOf.emplace(page.id, pages.size()).second) pages.push_back(std::move(page));
        }
    }
    if (visits.has("history_item") && visits.has("visit_time")) {
        sqlite::Reader rows(
            db,
            {{visits.select({"history_item", "visit_time", "title"}), "history_visits", "", {"history_visits"}}, {}});
        while (!ctx.stopRequested() && rows.step()) {
            const auto it = pageOf.find(rows.int64(0));
            if (it == pageOf.end() || rows.isNull(1)) continue;
            Page& page = pages[it->second];
            // SQLite writes a real with a decimal point in every locale: parsed without the locale.
            const char* text = rows.text(1);
            double at = 0;
            std::from_chars(text, text + std::strlen(text), at);
            if (!page.visited || at > page.lastVisit) page.lastVisit = at;
            page.visited = true;
            const char* title = rows.text(2);
            if (sqlite::hasText(title) && (!page.title || at >= page.titledVisit)) {
                page.title = columnText(title);
                page.titledVisit = at;
            }
        }
    }
    if (ctx.stopRequested()) return;
    // Newest first, as the history list shows it; pages never visited last.
    std::stable_sort(pages.begin(), pages.end(), [](const Page& a, const Page& b) {
        if (a.visited != b.visited) return a.visited;
        return a.lastVisit > b.lastVisit;
    });
    for (Page& page : pages) {
        if (ctx.stopRequested()) return;
        post(ctx, std::move(page.title), std::move(page.url), page.origin);
    }
}

// The live rows, then the deleted ones the stored file and its log still hold.
template <class Read>
void readWithDeleted(ScanContext& ctx, const modern::Found& stored, const modern::CarvePlan& plan, const char* label,
                     Read read) {
    const auto copy = modern::preparedCopy(ctx, stored);
    if (!copy) return;
    read(ctx, *copy, nullptr);
    if (const auto carved = modern::carvedCopy(ctx, stored, *copy, plan, label)) read(ctx, carved->path, &*carved);
}

}  // namespace

void scanModernSafari(ScanContext& ctx, const std::string& backupPath) {
    if (backupPath.empty()) return;
    ScratchScope scratch(ctx);
    if (const modern::Found bookmarks = modern::findDatabase(ctx, {kBookmarks}); !bookmarks.stored.empty()) {
        modern::CarvePlan plan;
        plan.mainTables = {"bookmarks"};
        plan.identity["bookmarks"] = {"external_uuid"};
        readWithDeleted(ctx, bookmarks, plan, "Bookmarks.db", readBookmarks);
    } else
        log::line("Bookmarks.db is not in the backup");
    if (ctx.stopRequested()) return;
    if (const modern::Found history = modern::findDatabase(ctx, {kHistoryHome, kHistoryApp}, true);
        !history.stored.empty()) {
        modern::CarvePlan plan;
        plan.mainTables = {"history_items"};
        plan.joinTables = {"history_visits"};
        plan.identity["history_items"] = {"url"};
        readWithDeleted(ctx, history, plan, "History.db", readHistory);
    } else
        log::line("History.db is not in the backup");
}

}  // namespace salvor
