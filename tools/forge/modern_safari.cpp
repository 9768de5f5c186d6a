#include "forge/modern_safari.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include "forge/modern_deletions.h"

namespace salvor::forge::modern {

namespace {

using db::V;

struct Bookmark {
    std::int64_t id;
    std::optional<std::int64_t> parent;
    int type;  // 0 bookmark, 1 folder
    std::string title;
    std::optional<std::string> url;
};

struct Visit {
    double time;
    std::optional<std::string> title;
};

struct Page {
    std::string url;
    std::vector<Visit> visits;  // in the order they happened
};

nlohmann::json record(const std::optional<std::string>& title, const std::string& url) {
    return {{"bookMarkTitle", title ? nlohmann::json(*title) : nlohmann::json()},
            {"bookMarkURL", url},
            {"bSelected", 0},
            {"bDeleted", 0}};
}

}  // namespace

std::vector<PlantedFile> writeModernSafari(const std::string& outDir, int iosMajor, std::uint64_t seed,
                                           nlohmann::json& truth, bool withHistory) {
    checkVersion(iosMajor);
    Rng rng(seed ^ 0x5AFA41ULL);
    const std::vector<Bookmark> bookmarks = {
        {0, std::nullopt, 1, "Root", std::nullopt},
        {1, 0, 1, "com.apple.ReadingList", std::nullopt},
        {2, 0, 1, "Favorites", std::nullopt},
        {3, 2, 0, "BBC News", "https://www.bbc.co.uk/news"},
        {4, 2, 0, "Wikipedia", "https://en.m.wikipedia.org/wiki/Main_Page"},
        {5, 0, 1, "Travel", std::nullopt},
        {6, 5, 1, "Lisbon", std::nullopt},
        {7, 6, 0, "Tram 28 – timetable", "https://www.carris.example.pt/en/tram-28/?lang=en&utm_source=bookmarks"},
        {8, 0, 0, "Café Central", "http://cafe-central.example.at/"},
        {9, 1, 0, "Long read: how tides work", "https://magazine.example.com/2021/tides"},
        {10, 0, 0, "", "https://untitled.example.net/"},
    };
    db::DbFile bdb(outDir + "/Bookmarks.db.building", false, 4096);
    bdb.exec(db::schemaText("ios7/Bookmarks.db.sql"));
    bdb.begin();
    Rng goneRng(seed ^ 0xDE1E7EDULL);  // apart, so that the live rows stay as they were
    const auto lower = [](std::string t) {
        for (char& c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return t;
    };
    // Bookmarks deleted for good, at the top level, ids past the live ones.
    const std::int64_t gonePast = 100;
    DeletionPlan marks;
    marks.seed = seed;
    marks.insert = [&](int index, bool padded) {
        const std::string title = plantedName(index) + " recipes";
        std::string url = "https://" + lower(plantedName(index)) + ".example.org/recipes";
        if (padded) url += "/autumn/slow-cooked-stews-and-soups-for-cold-evenings?ref=bookmarks&utm_medium=share";
        insertNamed(bdb, "bookmarks",
                    {{"id", gonePast + index},
                     {"special_id", 0},
                     {"parent", 0},
                     {"type", 0},
                     {"title", title},
                     {"url", url},
                     {"num_children", 0},
                     {"order_index", 20 + index},
                     {"external_uuid", db::uuid(goneRng)},
                     {"last_modified", 610000000.0 + index * 1000.25}});
        DoomedRow row;
        row.row = {{"id", gonePast + index}, {"title", title}, {"url", url}};
        row.marks = {title, url};
        return row;
    };
    marks.erase = [&](int index) { bdb.exec("DELETE FROM bookmarks WHERE id = " + std::to_string(gonePast + index)); };
    // A renamed bookmark: the file holds the first title.
    marks.draft = [&] { bdb.exec("UPDATE bookmarks SET title = 'BBC' WHERE title = 'BBC News'"); };
    marks.settle = [&] { bdb.exec("UPDATE bookmarks SET title = 'BBC News' WHERE title = 'BBC'"); };
    marks.stale = {{"title", "BBC"}, {"url", "https://www.bbc.co.uk/news"}};
    Deletions goneMarks(bdb, marks);
    for (const Bookmark& b : bookmarks) {
        if (&b == &bookmarks.back()) {  // the newest bookmark only in the log
            goneMarks.inFile();
            logFromHere(bdb);
        }
        const auto children = std::count_if(bookmarks.begin(), bookmarks.end(),
                                            [&](const Bookmark& c) { return c.parent && *c.parent == b.id; });
        std::int64_t order = 0;
        for (const Bookmark& c : bookmarks)
            if (c.id < b.id && c.parent == b.parent) ++order;
        insertNamed(bdb, "bookmarks",
                    {{"id", b.id},
                     {"special_id", b.id <= 1 ? V(b.id) : V(0)},
                     {"parent", b.parent ? V(*b.parent) : V()},
                     {"type", b.type},
                     {"title", b.title},
                     {"url", V::opt(b.url)},
                     {"num_children", static_cast<std::int64_t>(children)},
                     {"order_index", order},
                     {"external_uuid", db::uuid(rng)},
                     {"last_modified", 600000000.0 + static_cast<double>(b.id) * 1000.25}});
    }
    goneMarks.inLog();
    bdb.commit();
    std::vector<PlantedFile> files = finishWithLogInto(bdb, outDir + "/Bookmarks.db.building", outDir,
                                                       "Bookmarks.db", "HomeDomain", "Library/Safari/Bookmarks.db");
    nlohmann::json deleted = goneMarks.judgedAt(outDir + "/Bookmarks.db"), stale = goneMarks.stale();
    nlohmann::json live = nlohmann::json::array();
    for (const Bookmark& b : bookmarks)
        if (b.title != "Root" && b.title != "com.apple.ReadingList")
            live.push_back(record(b.title, b.url.value_or("")));

    if (withHistory) {
        const double base = seconds2001(iosMajor == 12 ? 2019 : iosMajor == 15 ? 2022 : 2024, 2, 1, 8, 0);
        const std::vector<Page> pages = {
            // The latest visit names the page.
            {"https://news.example.com/", {{base + 10.5, "News – old title"}, {base + 5000.25, "News – front page"}}},
            // The latest visit has no title: the latest one that had names it.
            {"https://shop.example.com/cart?id=42", {{base + 300.0, "Your basket"}, {base + 9000.75, std::nullopt}}},
            // Never titled.
            {"http://192.168.1.1/login", {{base + 700.0, std::nullopt}}},
            {"https://maps.example.org/place/Café%20Central", {{base + 86400.0 * 3, "Café Central – Maps"}}},
            {"https://weather.example.com/forecast?zip=94110", {{base - 86400.0 * 40, "Forecast"}}},
        };
        db::DbFile hdb(outDir + "/History.db.building", false, 4096);
        hdb.exec(db::schemaText("modern/ios11/History.db.sql"));
        hdb.begin();
        std::int64_t visitId = 0;
        const db::Blob counts{0, 0, 0, 1};
        // Pages taken out of the history, with their visits; ids past the live ones.
        DeletionPlan pagesGone;
        pagesGone.seed = seed;
        pagesGone.runLength = 48;  // a page of items, and of their visits and the index of addresses
        pagesGone.insert = [&](int index, bool padded) {
            const std::int64_t item = gonePast + index;
            std::string url = "https://" + lower(plantedName(index)) + ".example.com/article";
            if (padded) url += "/2024/how-the-harbour-was-rebuilt-after-the-storm-and-who-paid-for-it?page=2";
            const std::string title = plantedName(index) + " \xE2\x80\x93 Article";
            insertNamed(hdb, "history_items",
                        {{"id", item},
                         {"url", url},
                         {"visit_count", 2},
                         {"daily_visit_counts", counts},
                         {"should_recompute_derived_visit_counts", 0},
                         {"visit_count_score", 100}});
            for (int v = 0; v < 2; ++v)
                insertNamed(hdb, "history_visits",
                            {{"id", 1000 + 2 * index + v},
                             {"history_item", item},
                             {"visit_time", base + 86400.0 * 5 + 600.0 * index + v * 30.0},
                             {"title", title},
                             {"load_successful", 1},
                             {"origin", 0},
                             {"generation", 1}});
            DoomedRow row;
            row.row = {{"id", item}, {"title", title}, {"url", url}};
            // The address is also in the index of addresses: the row's own
            // bytes are the address followed by its visit count (2, one byte)
            // and its daily counts.
            row.marks = {title, url + std::string("\x02\x00\x00\x00\x01", 5)};
            return row;
        };
        pagesGone.erase = [&](int index) {
            const std::string item = std::to_string(gonePast + index);
            hdb.exec("DELETE FROM history_visits WHERE history_item = " + item);
            hdb.exec("DELETE FROM history_items WHERE id = " + item);
        };
        Deletions gonePages(hdb, pagesGone);
        for (std::size_t i = 0; i < pages.size(); ++i) {
            const std::int64_t item = static_cast<std::int64_t>(i) + 1;
            insertNamed(hdb, "history_items",
                        {{"id", item},
                         {"url", pages[i].url},
                         {"visit_count", static_cast<std::int64_t>(pages[i].visits.size())},
                         {"daily_visit_counts", counts},
                         {"should_recompute_derived_visit_counts", 0},
                         {"visit_count_score", 100}});
        }
        // Visits are written in time order, as the browser adds them.
        std::vector<std::pair<Visit, std::int64_t>> all;
        for (std::size_t i = 0; i < pages.size(); ++i)
            for (const Visit& v : pages[i].visits) all.push_back({v, static_cast<std::int64_t>(i) + 1});
        std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a.first.time < b.first.time; });
        for (const auto& [v, item] : all) {
            if (&v == &all.back().first) {  // the latest visit only in the log
                gonePages.inFile();
                logFromHere(hdb);
            }
            insertNamed(hdb, "history_visits",
                        {{"id", ++visitId},
                         {"history_item", item},
                         {"visit_time", v.time},
                         {"title", V::opt(v.title)},
                         {"load_successful", 1},
                         {"origin", 0},
                         {"generation", 1}});
        }
        gonePages.inLog();
        hdb.commit();
        for (PlantedFile& f : finishWithLogInto(hdb, outDir + "/History.db.building", outDir, "History.db",
                                                "HomeDomain", "Library/Safari/History.db"))
            files.push_back(std::move(f));
        for (const auto& row : gonePages.judgedAt(outDir + "/History.db")) deleted.push_back(row);

        std::vector<std::size_t> order(pages.size());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return pages[a].visits.back().time > pages[b].visits.back().time;
        });
        for (std::size_t i : order) {
            std::optional<std::string> title;
            for (const Visit& v : pages[i].visits)
                if (v.title && !v.title->empty()) title = v.title;
            live.push_back(record(title, pages[i].url));
        }
    }
    truth = {{"live", std::move(live)}, {"deleted", std::move(deleted)}, {"stale", std::move(stale)}};
    return files;
}

}  // namespace salvor::forge::modern
