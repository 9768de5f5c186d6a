// Safari bookmarks and history, and the calendar.
#include <algorithm>
#include <cstdlib>
#include <deque>

#include <plist/plist.h>

#include "forge/db_common.h"

namespace salvor::forge::db {

// The browser's factory bookmarks, which the bookmarks reader always adds after
// the database rows.
const std::vector<std::pair<std::string, std::string>>& factoryBookmarks() {
    static const std::vector<std::pair<std::string, std::string>> k = {
        {"Apple", "http://www.apple.com/"},
        {"Yahoo", "http://www.yahoo.com/"},
        {"Google", "http://www.google.com/"},
        {"iPhone User Guide", "http://help.apple.com/iphone/"},
        {"iPhone Web Applications", "http://www.apple.com/webapps/"},
    };
    return k;
}

namespace {

struct Bookmark {
    std::int64_t id = 0;
    std::optional<std::int64_t> parent;
    int type = 0;  // 0 bookmark, 1 folder
    int specialId = 0;
    std::string title;
    std::optional<std::string> url;
    int children = 0;
    int order = 0;
    bool deletable = false;
    bool deleted = false;
    bool extra = false;  // drawn from the builder's own generator
    bool later = false;  // written after the deletions
};

// A seed for rows the earlier builders did not draw, so that adding them
// leaves every other category of the backup as it was.
std::uint64_t bookmarkSeed(const std::string& folder) {
    std::uint64_t h = 1469598103934665603ULL;
    for (const char c : folder + "bookmarks") h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    return h;
}

const std::vector<std::pair<std::string, std::string>> kSites = {
    {"BBC News", "http://www.bbc.co.uk/news/"},
    {"Weather Forecast", "http://weather.example.com/forecast?zip=94110"},
    {"Wikipedia", "http://en.m.wikipedia.org/wiki/Main_Page"},
    {"Train Times", "https://trains.example.org/departures"},
    {"Recipes – Quick Dinners", "http://food.example.com/quick-dinners"},
    {"City Library", "https://library.example.gov/catalogue"},
    {"Bank Login", "https://secure.bank.example.com/login"},
    {"Café Central", "http://cafe-central.example.at/"},
};

struct Event {
    std::int64_t rowid = 0;
    std::string summary;
    std::optional<std::string> description;
    std::optional<std::string> location;  // title
    std::int64_t locationId = 0;
    std::int64_t start = 0, end = 0;      // seconds since 2001
    bool allDay = false;
    int calendar = 1;
    bool reminder = false;
    bool deleted = false;
    bool extra = false;  // made with the after-the-fact generator
    bool later = false;  // made after the deletions
    bool batch = false;  // cleared together with many others
};

}  // namespace

void buildBookmarks(Context& cx) {
    Rng& rng = cx.rng;
    const int ios = cx.ios;
    std::vector<Bookmark> rows;
    rows.push_back({0, std::nullopt, 1, 0, "Root", std::nullopt, 0, 0, false, false});
    std::int64_t readingList = -1;
    if (ios >= 5) {
        readingList = 1;
        rows.push_back({1, 0, 1, 1, "com.apple.ReadingList", std::nullopt, 0, 0, false, false});
    }
    const std::int64_t folderId = static_cast<std::int64_t>(rows.size());
    rows.push_back({folderId, 0, 1, 0, "Travel", std::nullopt, 0, 0, true, false});
    const int n = std::max(0, cx.scale.bookmarks);
    for (int i = 0; i < n; ++i) {
        Bookmark b;
        b.id = static_cast<std::int64_t>(rows.size());
        const auto& site = kSites[static_cast<std::size_t>(i) % kSites.size()];
        b.title = site.first;
        b.url = site.second;
        if (i >= static_cast<int>(kSites.size())) {
            b.title.append(" ").append(std::to_string(i + 1));
            b.url->append("#").append(std::to_string(i + 1));
        }
        b.parent = (i % 3 == 2) ? folderId : 0;
        if (readingList >= 0 && i == 3) b.parent = readingList;
        b.deletable = true;
        rows.push_back(std::move(b));
    }
    for (Bookmark& b : rows)
        if (b.parent) {
            for (Bookmark& p : rows)
                if (p.id == *b.parent) b.order = p.children++;
        }
    {
        std::vector<std::size_t> cand;
        for (std::size_t i = 0; i < rows.size(); ++i)
            if (rows[i].deletable && rows[i].type == 0) cand.push_back(i);
        int nDel = std::min<int>(deletedCount(n, cx.scale.deletedPercent), static_cast<int>(cand.size()));
        for (int k = 0; k < nDel; ++k) {
            std::size_t j = static_cast<std::size_t>(k) + rng.below(cand.size() - static_cast<std::size_t>(k));
            std::swap(cand[static_cast<std::size_t>(k)], cand[j]);
            rows[cand[static_cast<std::size_t>(k)]].deleted = true;
        }
    }

    // What a phone does besides: a folder is removed with the bookmarks in
    // it, and a batch of bookmarks at once (whole pages go to the free list);
    // a few bookmarks are added afterwards into the freed space.
    Rng extra(bookmarkSeed(cx.plan.folderName));
    if (n > 0) {
        const int batch = std::max(10, 3 * cx.pageSize / 400);
        const std::int64_t oldFolder = static_cast<std::int64_t>(rows.size());
        rows.push_back({oldFolder, 0, 1, 0, "Old trips " + std::to_string(oldFolder), std::nullopt, 0, 0, true, true, true});
        for (int i = 0; i < batch + 3; ++i) {
            Bookmark b;
            b.id = static_cast<std::int64_t>(rows.size());
            const auto& site = kSites[extra.below(kSites.size())];
            b.title = site.first + " " + std::to_string(b.id);
            b.url = site.second + (i % 4 == 3 ? "?from=bookmarks&id=" : "#b") + std::to_string(b.id);
            // Long addresses take a two-byte serial type.
            if (i % 5 == 1) b.url->append("&utm_source=newsletter&utm_medium=email&utm_campaign=spring");
            b.parent = i < 3 ? oldFolder : 0;
            b.deletable = true;
            b.extra = true;
            b.later = i >= batch;
            b.deleted = !b.later;
            for (Bookmark& p : rows)
                if (p.id == *b.parent) b.order = p.children++;
            rows.push_back(std::move(b));
        }
    }

    const std::string gen = "ios" + std::to_string(ios) + "/";
    DbFile db(cx.scratchPath("Bookmarks.db"), ios <= 6, cx.pageSize);
    db.exec(schemaText(gen + "Bookmarks.db.sql"));
    auto insertRows = [&](bool later) {
        Inserter ins(db, "bookmarks");
        for (const Bookmark& b : rows) {
            if (b.later != later) continue;
            Rng& r = b.extra ? extra : rng;
            std::vector<V> row = {b.id, b.specialId, b.parent ? V(*b.parent) : V(), b.type, b.title, V::opt(b.url),
                                  b.children, 1, b.deletable ? 1 : 0};
            if (ios >= 5) row.insert(row.end(), {0, 0});
            row.insert(row.end(), {b.order, uuid(r)});
            if (ios >= 5) {
                bool inReadingList = readingList >= 0 && b.parent && *b.parent == readingList;
                row.insert(row.end(), {inReadingList ? V(0) : V(), 380000000.0 + static_cast<double>(r.below(40000000)) + 0.25,
                                       nullptr, nullptr, nullptr, 1});
            }
            if (ios >= 6) row.insert(row.end(), {0, nullptr, nullptr, 0, nullptr});
            if (ios >= 7) row.insert(row.end(), {0, 0, 0, 1, 0});
            ins.insert(row);
        }
    };
    db.begin();
    insertRows(false);
    db.commit();
    db.begin();
    for (const Bookmark& b : rows)
        if (b.deleted) execWithId(db, "DELETE FROM bookmarks WHERE id = ?", b.id);
    db.commit();
    db.begin();
    insertRows(true);
    db.commit();
    const Blob file = db.finish();
    cx.addFile("HomeDomain", cx.plan.olderFileNames ? "Library/Safari/Bookmarks.plist" : "Library/Safari/Bookmarks.db", file);
    // A row's type, title and address lie side by side in its body.
    std::vector<Blob> needles;
    for (const Bookmark& b : rows) {
        if (!b.deleted) continue;
        Blob x = ios <= 6 ? Blob{static_cast<std::uint8_t>(b.type)} : Blob{};
        appendText(x, b.title);
        if (b.url) appendText(x, *b.url);
        needles.push_back(std::move(x));
    }
    const std::vector<bool> there = holdsAll(file, needles);
    nlohmann::json live = nlohmann::json::array(), dead = nlohmann::json::array();
    std::size_t flag = 0;
    for (const Bookmark& b : rows) {
        if (!b.deleted) continue;
        dead.push_back({{"id", b.id}, {"title", b.title}, {"url", b.url ? nlohmann::json(*b.url) : nlohmann::json()},
                        {"type", b.type}, {"recoverable", static_cast<bool>(there[flag++])}});
    }

    for (const Bookmark& b : rows) {
        if (b.deleted || b.title == "Root" || b.title == "com.apple.ReadingList") continue;
        live.push_back({{"bookMarkTitle", b.title}, {"bookMarkURL", b.url.value_or("")}, {"bSelected", 0}, {"bDeleted", 0}});
    }
    for (const auto& [title, url] : factoryBookmarks())
        live.push_back({{"bookMarkTitle", title}, {"bookMarkURL", url}, {"bSelected", 0}, {"bDeleted", 0}, {"factory", 1}});

    // History.plist: newest first; XML on the older systems, binary later.
    plist_t root = plist_new_dict();
    plist_t dates = plist_new_array();
    const int h = std::max(0, cx.scale.historyEntries);
    double visited = (ios == 4 ? 310000000.0 : ios == 5 ? 350000000.0 : ios == 6 ? 385000000.0 : 420000000.0) + 40000000.0;
    for (int i = 0; i < h; ++i) {
        const auto& site = kSites[static_cast<std::size_t>(i + 3) % kSites.size()];
        std::string url = site.second + (site.second.find('?') == std::string::npos ? "?v=" : "&v=") + std::to_string(i + 1);
        bool untitled = i == 1;
        plist_t e = plist_new_dict();
        plist_dict_set_item(e, "", plist_new_string(url.c_str()));
        if (!untitled) plist_dict_set_item(e, "title", plist_new_string(site.first.c_str()));
        visited -= static_cast<double>(rng.range(60, 400000)) + 0.5;
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.6f", visited);
        plist_dict_set_item(e, "lastVisitedDate", plist_new_string(buf));
        int count = static_cast<int>(rng.range(1, 9));
        plist_dict_set_item(e, "visitCount", plist_new_uint(static_cast<uint64_t>(count)));
        plist_t d = plist_new_array();
        plist_array_append_item(d, plist_new_uint(static_cast<uint64_t>(count)));
        plist_dict_set_item(e, "D", d);
        plist_array_append_item(dates, e);
        live.push_back({{"bookMarkTitle", untitled ? nlohmann::json() : nlohmann::json(site.first)},
                        {"bookMarkURL", url},
                        {"bSelected", 0},
                        {"bDeleted", 0}});
    }
    plist_dict_set_item(root, "WebHistoryDates", dates);
    plist_dict_set_item(root, "WebHistoryFileVersion", plist_new_uint(1));
    char* out = nullptr;
    uint32_t len = 0;
    if (ios <= 5)
        plist_to_xml(root, &out, &len);
    else
        plist_to_bin(root, &out, &len);
    Blob bytes(out, out + len);
    std::free(out);
    plist_free(root);
    cx.addFile("HomeDomain", "Library/Safari/History.plist", std::move(bytes));

    cx.plan.truth["bookmarks"] = {{"live", std::move(live)}, {"deleted", std::move(dead)}};
}

void buildCalendar(Context& cx) {
    Rng& rng = cx.rng;
    const int ios = cx.ios;
    static const std::vector<std::string> kTitles = {"Dentist", "Team meeting", "Lunch with Ann", "Flight to Lisbon",
                                                     "Parents' evening", "Yoga", "Project review", "Concert"};
    static const std::vector<std::string> kPlaces = {"Riverside Dental Clinic", "Room 4B", "Café Central",
                                                     "Terminal 2", "Lakewood School", "Studio One"};
    const int n = std::max(0, cx.scale.calendarEvents);
    std::vector<Event> events;
    std::int64_t t = ios == 4 ? 310000000 : ios == 5 ? 350000000 : ios == 6 ? 385000000 : 420000000;
    const std::int64_t maxStep = std::max<std::int64_t>(3600, 2 * 30000000 / std::max(1, n));
    for (int i = 0; i < n; ++i) {
        Event e;
        e.rowid = static_cast<std::int64_t>(events.size()) + 1;
        e.summary = kTitles[static_cast<std::size_t>(i) % kTitles.size()];
        if (i >= static_cast<int>(kTitles.size())) e.summary.append(" ").append(std::to_string(i + 1));
        if (i % 3 != 1) e.location = kPlaces[static_cast<std::size_t>(i) % kPlaces.size()];
        if (i % 2 == 0) e.description = "Bring the papers for item " + std::to_string(i + 1);
        t += rng.range(3600, maxStep) / 900 * 900;
        e.allDay = i % 5 == 4;
        e.start = e.allDay ? t / 86400 * 86400 : t;
        e.end = e.allDay ? e.start + 86400 : e.start + 900 * rng.range(2, 8);
        events.push_back(std::move(e));
    }
    // A reminder lives in its own calendar (iOS 5 and later).
    if (ios >= 5 && n > 0) {
        Event r;
        r.rowid = static_cast<std::int64_t>(events.size()) + 1;
        r.summary = "Call the plumber";
        r.start = t + 7200;
        r.end = t + 7200;
        r.calendar = 2;
        r.reminder = true;
        events.push_back(std::move(r));
    }
    {
        std::vector<std::size_t> cand;
        for (std::size_t i = 0; i < events.size(); ++i)
            if (!events[i].reminder) cand.push_back(i);
        int nDel = std::min<int>(deletedCount(n, cx.scale.deletedPercent), static_cast<int>(cand.size()));
        for (int k = 0; k < nDel; ++k) {
            std::size_t j = static_cast<std::size_t>(k) + rng.below(cand.size() - static_cast<std::size_t>(k));
            std::swap(cand[static_cast<std::size_t>(k)], cand[j]);
            events[cand[static_cast<std::size_t>(k)]].deleted = true;
        }
    }

    // What a phone does afterwards, drawn from a generator of its own so that
    // everything built after the calendar stays as it was: a batch of events
    // and reminders is cleared together (whole pages go to the free list), some
    // events are added later into part of the freed space, and one event gets
    // a web address, which moves the grown row and leaves the older one behind.
    Rng more = rng;
    more = Rng(more.next() ^ 0xCA1E0DA4CA1E0DA4ULL);
    std::int64_t edited = 0;
    if (n >= 4) {
        const int batch = std::max(6, 3 * cx.pageSize / 200);
        const int later = std::max(2, cx.pageSize / 250);  // most of a freed page
        for (int i = 0; i < batch + later; ++i) {
            Event e;
            e.rowid = static_cast<std::int64_t>(events.size()) + 1;
            e.extra = true;
            e.batch = e.deleted = i < batch;
            e.later = i >= batch;
            e.summary = kTitles[static_cast<std::size_t>(i) % kTitles.size()] + " " + std::to_string(e.rowid);
            if (i % 3 != 2) e.location = kPlaces[static_cast<std::size_t>(i) % kPlaces.size()];
            if (i % 2 == 1) e.description = "Agenda item " + std::to_string(e.rowid) + (i % 4 == 1 ? std::string(70, '.') : "");
            t += more.range(3600, std::min<std::int64_t>(maxStep, 400000)) / 900 * 900;
            e.reminder = ios >= 5 && i % 7 == 3;
            e.allDay = !e.reminder && i % 5 == 4;
            e.calendar = e.reminder ? 2 : 1;
            e.start = e.allDay ? t / 86400 * 86400 : t;
            e.end = e.allDay ? e.start + 86400 : e.reminder ? e.start : e.start + 900 * more.range(2, 8);
            events.push_back(std::move(e));
        }
        edited = 1 + static_cast<std::int64_t>(more.below(static_cast<std::uint64_t>(n)));
        while (edited <= n && events[static_cast<std::size_t>(edited - 1)].deleted) ++edited;
        if (edited > n) edited = 0;
    }
    // iOS 7.1 rows carry their synchronisation state, more than 57 bytes (a
    // two-byte serial type).
    std::deque<Blob> reps;
    auto externalRep = [&](const Event& e) -> V {
        if (ios < 7) return V();
        Blob rep;
        appendText(rep, "bplist00 sync-state of item " + std::to_string(e.rowid) + " in calendar " +
                            std::to_string(e.calendar) + " (local store)");
        reps.push_back(std::move(rep));
        return V(reps.back());
    };

    const std::string gen = "ios" + std::to_string(ios) + "/";
    DbFile db(cx.scratchPath("Calendar.sqlitedb"), false, cx.pageSize);
    db.exec(schemaText(gen + "Calendar.sqlitedb.sql"));
    std::int64_t nextLoc = 1;
    auto insertEvents = [&](bool later) {
        if (ios == 4) {
            Inserter ins(db, "Event");
            for (const Event& e : events) {
                if (e.later != later) continue;
                Rng& r = e.extra ? more : rng;
                std::int64_t modified = e.start - 86400 * r.range(1, 20);
                ins.insert({e.rowid, e.summary, V::opt(e.location), V::opt(e.description), static_cast<double>(e.start),
                            e.allDay ? V() : V("Europe/London"), static_cast<double>(e.end), e.allDay ? 1 : 0, 1, 0, 0.0, 0,
                            0, nullptr, 0, 0, 0, 0, nullptr, static_cast<double>(modified), 0, 0, 0, 0, nullptr, nullptr,
                            uuid(r), nullptr, nullptr, nullptr, 0});
            }
            return;
        }
        if (!later) {
            Inserter cal(db, "Calendar");
            for (int c = 1; c <= 2; ++c) {
                std::vector<V> row = {c, 1, c == 1 ? "Home" : "Reminders", 0, c == 1 ? "#0E61B9FF" : "#FF9500FF"};
                if (ios >= 7) row.emplace_back(nullptr);
                row.insert(row.end(), {0, "Local", c == 1 ? 4 : 8, nullptr, nullptr, nullptr, nullptr, c - 1, uuid(rng),
                                       nullptr, nullptr, 0, 0, nullptr, 0, 0, nullptr, -1, nullptr, -1, nullptr});
                if (ios >= 7) row.insert(row.end(), {nullptr, nullptr, nullptr, nullptr, nullptr});
                cal.insert(row);
            }
        }
        Inserter loc(db, "Location"), ins(db, "CalendarItem");
        for (Event& e : events) {
            if (!e.location || e.later != later) continue;
            Rng& r = e.extra ? more : rng;
            e.locationId = nextLoc++;
            std::vector<V> row = {e.locationId, *e.location};
            if (ios >= 7) row.emplace_back(nullptr);
            row.insert(row.end(), {r.range(-90000000, 90000000), r.range(-180000000, 180000000), nullptr, 0, e.rowid, 0});
            loc.insert(row);
        }
        for (const Event& e : events) {
            if (e.later != later) continue;
            Rng& r = e.extra ? more : rng;
            std::int64_t modified = e.start - 86400 * r.range(1, 20);
            std::vector<V> row = {e.rowid, e.summary, e.locationId, V::opt(e.description), static_cast<double>(e.start),
                                  (e.allDay || e.reminder) ? V() : V("Europe/London"), static_cast<double>(e.end),
                                  e.allDay ? 1 : 0, e.calendar, 0, 0.0, 0, 0, 0, 0, 0, 0, nullptr,
                                  static_cast<double>(modified), 0, 0, 0, 0, nullptr, nullptr, uuid(r), nullptr,
                                  externalRep(e), nullptr, 0, 0, 0, uuid(r), e.reminder ? 3 : 2, 0, nullptr, nullptr, 0,
                                  nullptr, static_cast<double>(modified), nullptr};
            if (ios >= 6) row.insert(row.end(), {0, -1, -1, nullptr, nullptr, nullptr, nullptr, 0, 0, 0});
            if (ios >= 7) row.emplace_back(nullptr);
            ins.insert(row);
        }
    };
    db.begin();
    insertEvents(false);
    db.commit();
    db.begin();
    nlohmann::json live = nlohmann::json::array(), dead = nlohmann::json::array();
    for (const Event& e : events) {
        if (!e.deleted) continue;
        execWithId(db, ios == 4 ? "DELETE FROM Event WHERE ROWID = ?" : "DELETE FROM CalendarItem WHERE ROWID = ?", e.rowid);
        if (ios > 4 && e.locationId) execWithId(db, "DELETE FROM Location WHERE ROWID = ?", e.locationId);
    }
    db.commit();
    db.begin();
    insertEvents(true);
    if (edited)
        execWithTextAndIds(db, std::string("UPDATE ") + (ios == 4 ? "Event" : "CalendarItem") + " SET url = ? WHERE ROWID = ?",
                           "http://example.com/events/" + std::to_string(edited) + "/details-and-directions", {edited});
    db.commit();
    const Blob file = db.finish();
    cx.addFile("HomeDomain", "Library/Calendar/Calendar.sqlitedb", file);

    // A deleted event can come back while its title, location, note, start,
    // time zone and end are still in the file, back to back.
    std::vector<Blob> needles;
    for (const Event& e : events) {
        if (!e.deleted) continue;
        Blob b;
        appendText(b, e.summary);
        if (ios == 4) {
            appendText(b, e.location.value_or(""));
        } else {
            const Blob id = intBody(e.locationId);
            b.insert(b.end(), id.begin(), id.end());
        }
        appendText(b, e.description.value_or(""));
        const Blob start = intBody(e.start), end = intBody(e.end);
        b.insert(b.end(), start.begin(), start.end());
        if (!e.allDay && !(ios > 4 && e.reminder)) appendText(b, "Europe/London");
        b.insert(b.end(), end.begin(), end.end());
        needles.push_back(std::move(b));
    }
    const std::vector<bool> there = holdsAll(file, needles);
    std::size_t nextFlag = 0;
    for (const Event& e : events) {
        if (!e.deleted) continue;
        dead.push_back({{"ROWID", e.rowid},
                        {"summary", e.summary},
                        {"description", e.description ? nlohmann::json(*e.description) : nlohmann::json()},
                        {"location", e.location ? nlohmann::json(*e.location) : nlohmann::json()},
                        {"location_id", e.locationId},
                        {"start_date", e.start},
                        {"end_date", e.end},
                        {"startDate", dateText(e.start, 1)},
                        {"endDate", dateText(e.end, 1)},
                        {"allDay", e.allDay},
                        {"reminder", e.reminder},
                        {"recoverable", static_cast<bool>(there[nextFlag++])}});
        if (e.batch) dead.back()["batch"] = true;
    }

    for (const Event& e : events) {
        if (e.deleted) continue;
        // iOS 5 reads through the calendar join, which leaves out reminder lists.
        if (ios == 5 && e.reminder) continue;
        std::string location;
        if (ios >= 6)
            location = std::to_string(e.locationId);
        else
            location = e.location.value_or("");
        live.push_back({{"calTitle", e.summary},
                        {"calNote", e.description.value_or("")},
                        {"location", location},
                        {"startDate", dateText(e.start, 1)},
                        {"endDate", dateText(e.end, 1)},
                        {"bDeleted", 0},
                        {"bSelected", 0}});
    }
    cx.plan.truth["calendar"] = {{"live", std::move(live)}, {"deleted", std::move(dead)}};
}

}  // namespace salvor::forge::db
