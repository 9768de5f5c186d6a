// Call history and notes.
#include <algorithm>
#include <map>

#include "forge/db_common.h"

namespace salvor::forge::db {

namespace {

std::string durationText(std::int32_t s) {
    char buf[64];
    if (s >= 7200) {
        std::snprintf(buf, sizeof buf, "%d hours", s / 3600);
    } else if (s >= 3600) {
        std::snprintf(buf, sizeof buf, "%d hour", 1);
    } else {
        int r = s % 3600;
        if (r >= 120) {
            std::snprintf(buf, sizeof buf, "%d minutes", r / 60);
        } else if (r >= 60) {
            std::snprintf(buf, sizeof buf, "%d minute", 1);
        } else {
            int t = r % 60;
            std::snprintf(buf, sizeof buf, t >= 2 ? "%d seconds" : "%d second", t);
        }
    }
    return buf;
}

template <class T>
void pickDeleted(Rng& rng, std::vector<T>& rows, int percent) {
    int n = static_cast<int>(rows.size());
    int nDel = deletedCount(n, percent);
    std::vector<std::size_t> idx(rows.size());
    for (std::size_t i = 0; i < idx.size(); ++i) idx[i] = i;
    for (int k = 0; k < nDel; ++k) {
        std::size_t j = static_cast<std::size_t>(k) + rng.below(idx.size() - static_cast<std::size_t>(k));
        std::swap(idx[static_cast<std::size_t>(k)], idx[j]);
        rows[idx[static_cast<std::size_t>(k)]].deleted = true;
    }
}

struct Call {
    std::int64_t rowid = 0;
    std::string addr;
    std::int64_t date = 0;
    std::int32_t duration = 0;
    int flags = 4;
    bool deleted = false;
    bool batch = false;  // cleared together with many others
    bool later = false;  // made after the deletions
};

struct Note {
    std::int64_t pk = 0;
    std::string title, summary, html;
    double created = 0, modified = 0;
    bool deleted = false;
};

std::string replaceAll(std::string s, const std::string& from, const std::string& to) {
    std::size_t pos = 0;
    while ((pos = s.find(from, pos)) != std::string::npos) {
        s.replace(pos, from.size(), to);
        pos += to.size();
    }
    return s;
}

// The notes file of the oldest devices: tables Note and note_bodies joined on
// the note's row number, dates in whole seconds since 2001.
template <class Clean>
void addOlderNotes(Context& cx, const std::vector<Note>& notes, const Clean& clean) {
    DbFile db(cx.scratchPath("notes.db"), true, cx.pageSize);
    db.exec(schemaText("legacy/notes.db.sql"));
    db.begin();
    {
        Inserter note(db, "Note"), body(db, "note_bodies");
        std::int64_t rowid = 0;
        for (const Note& n : notes) {
            ++rowid;  // Note has no key column: rows are numbered 1, 2, ... in insertion order
            note.insert({static_cast<std::int64_t>(n.created), n.title, n.summary, 0,
                         static_cast<std::int64_t>(n.modified), nullptr, 0});
            body.insert({rowid, n.html});
        }
    }
    db.commit();
    db.begin();
    nlohmann::json dead = nlohmann::json::array(), live = nlohmann::json::array();
    std::int64_t rowid = 0;
    for (const Note& n : notes) {
        ++rowid;
        const auto whole = static_cast<std::int64_t>(n.modified);
        if (n.deleted) {
            execWithId(db, "DELETE FROM note_bodies WHERE note_id = ?", rowid);
            execWithId(db, "DELETE FROM Note WHERE ROWID = ?", rowid);
            dead.push_back({{"ROWID", rowid}, {"title", n.title}, {"modification_date", whole},
                            {"dateText", dateText(whole, 1)}, {"data", n.html}, {"noteContent", clean(n.html)}});
            continue;
        }
        live.push_back({{"noteTitle", n.title}, {"noteContent", clean(n.html)}, {"noteDate", dateText(whole, 1)},
                        {"uid", -1}, {"bSelected", 0}, {"bDeleted", 0}});
    }
    db.commit();
    cx.addFile("HomeDomain", "Library/Notes/notes.db", db.finish());
    cx.plan.truth["notes"] = {{"live", std::move(live)}, {"deleted", std::move(dead)}};
}

}  // namespace

void buildCalls(Context& cx) {
    Rng& rng = cx.rng;
    if (cx.parties.empty()) chooseParties(cx);
    std::vector<std::string> numbers;
    for (const auto& p : cx.parties)
        if (!p.callAddr.empty()) numbers.push_back(p.callAddr);
    const int n = std::max(0, cx.scale.calls);
    static const std::int32_t kDurations[] = {1, 59, 61, 125, 3599, 3700, 7300, 42};
    std::vector<Call> calls(static_cast<std::size_t>(n));
    std::int64_t t = cx.ios == 4 ? 1285000000 : cx.ios == 5 ? 1327000000 : cx.ios == 6 ? 1359000000 : 1387000000;
    const std::int64_t maxStep = std::max<std::int64_t>(2, 2 * 50000000 / std::max(1, n));
    for (int i = 0; i < n; ++i) {
        Call& c = calls[static_cast<std::size_t>(i)];
        c.rowid = i + 1;
        c.addr = (!numbers.empty() && !rng.chance(20)) ? rng.pick(numbers) : rng.pick(cx.unknownCallers);
        t += rng.range(1, maxStep);
        c.date = t;
        c.flags = rng.chance(40) ? 5 : 4;
        if (i < 8)
            c.duration = kDurations[i];
        else
            c.duration = rng.chance(15) ? 0 : static_cast<std::int32_t>(rng.range(1, 2400));
        if (i == 8 || i == 9) {  // one cancelled and one missed call
            c.duration = 0;
            c.flags = i == 8 ? 5 : 4;
        }
    }
    pickDeleted(rng, calls, cx.scale.deletedPercent);

    // What a phone does afterwards, drawn from a generator of its own so that
    // everything built after the calls stays as it was: a batch of calls is
    // cleared together (enough rows that whole pages go to the free list), a
    // few calls come in later into part of the freed space, and two calls get
    // their contact name filled in, which moves the grown row and leaves the
    // older one behind in free space.
    std::vector<std::size_t> named;
    if (n >= 6) {
        Rng more = rng;
        more = Rng(more.next() ^ 0xCA11CA11CA11CA11ULL);
        const int batch = std::max(6, 3 * cx.pageSize / 48);
        const int later = std::max(2, cx.pageSize / 40);  // more than a freed page
        // Missed, cancelled, one-byte, two-byte and three-byte durations.
        static const std::int32_t kBatchDurations[] = {0, 0, 7, 95, 600, 3100, 40000, 125};
        for (int i = 0; i < batch + later; ++i) {
            Call c;
            c.rowid = static_cast<std::int64_t>(calls.size()) + 1;
            c.addr = (!numbers.empty() && !more.chance(20)) ? more.pick(numbers) : more.pick(cx.unknownCallers);
            t += more.range(60, std::min<std::int64_t>(maxStep, 200000));
            c.date = t;
            c.flags = more.chance(40) ? 5 : 4;
            c.duration = kBatchDurations[static_cast<std::size_t>(i) % std::size(kBatchDurations)];
            if (c.duration == 0) c.flags = i % 16 == 0 ? 5 : 4;
            c.deleted = i < batch;
            c.batch = i < batch;
            c.later = i >= batch;
            calls.push_back(std::move(c));
        }
        for (std::size_t i = 0; i < static_cast<std::size_t>(n) && named.size() < 2; ++i)
            if (!calls[i].deleted && i % 3 == 2) named.push_back(i);
    }

    const std::string gen = "ios" + std::to_string(cx.ios) + "/";
    DbFile db(cx.scratchPath("call_history.db"), false, cx.pageSize);
    db.exec(schemaText(gen + "call_history.db.sql"));
    auto insertCalls = [&](bool later) {
        Inserter ins(db, "call");
        for (const Call& c : calls) {
            if (c.later != later) continue;
            std::vector<V> row = {c.rowid, c.addr, c.date, c.duration, c.flags, -1, nullptr, "310"};
            if (cx.ios >= 5) row.emplace_back("410");
            if (cx.ios >= 6) row.insert(row.end(), {1, 0, nullptr, c.addr});
            if (cx.ios >= 7) row.emplace_back((c.duration > 0 || c.flags == 5) ? 1 : 0);
            ins.insert(row);
        }
    };
    db.begin();
    insertCalls(false);
    db.commit();
    db.begin();
    nlohmann::json dead = nlohmann::json::array(), live = nlohmann::json::array();
    for (const Call& c : calls)
        if (c.deleted) execWithId(db, "DELETE FROM call WHERE ROWID = ?", c.rowid);
    db.commit();
    db.begin();
    insertCalls(true);
    for (std::size_t i : named)
        execWithTextAndIds(db, "UPDATE call SET name = ? WHERE ROWID = ?", "Caller " + calls[i].addr, {calls[i].rowid});
    db.commit();
    const Blob file = db.finish();
    // iOS 4 backups keep the call history in the home domain (the name the
    // reader tries second); later ones in the wireless domain.
    cx.addFile(cx.ios == 4 ? "HomeDomain" : "WirelessDomain", "Library/CallHistory/call_history.db", file);

    // A deleted call can come back while its row's number, date, duration,
    // flags and contact id are still in the file, back to back.
    std::vector<Blob> needles;
    for (const Call& c : calls) {
        if (!c.deleted) continue;
        Blob b;
        appendText(b, c.addr);
        for (std::int64_t x : {c.date, std::int64_t{c.duration}, std::int64_t{c.flags}, std::int64_t{-1}}) {
            const Blob xb = intBody(x);
            b.insert(b.end(), xb.begin(), xb.end());
        }
        needles.push_back(std::move(b));
    }
    const std::vector<bool> there = holdsAll(file, needles);
    std::size_t nextFlag = 0;
    for (const Call& c : calls) {
        if (!c.deleted) continue;
        dead.push_back({{"ROWID", c.rowid}, {"address", c.addr}, {"date", c.date}, {"dateText", dateText(c.date, 0)},
                        {"duration", c.duration}, {"flags", c.flags}, {"recoverable", static_cast<bool>(there[nextFlag++])}});
        if (c.batch) dead.back()["batch"] = true;
    }

    std::map<std::string, std::optional<std::size_t>> seen;
    for (const Call& c : calls) {
        if (c.deleted) continue;
        auto known = seen.find(c.addr);
        if (known == seen.end()) known = seen.emplace(c.addr, lookupContact(cx.book, c.addr, false)).first;
        const auto& hit = known->second;
        std::string type = c.flags == 5 ? "Outgoing" : "Incoming";
        std::string dur = c.duration != 0 ? durationText(c.duration) : (type == "Outgoing" ? "Cancelled" : "Missed");
        live.push_back({{"callName", hit ? nlohmann::json(*cx.book[*hit].name) : nlohmann::json()},
                        {"callPhone", c.addr},
                        {"callDate", dateText(c.date, 0)},
                        {"callType", type},
                        {"callTime", c.duration},
                        {"callDuration", dur},
                        {"bSelected", 0},
                        {"bDeleted", 0}});
    }
    cx.plan.truth["calls"] = {{"live", std::move(live)}, {"deleted", std::move(dead)}};
}

void buildNotes(Context& cx) {
    Rng& rng = cx.rng;
    static const std::vector<std::pair<std::string, std::string>> kBodies = {
        {"Shopping list", "<div>milk</div><div>eggs&nbsp;and bread</div><div>apples<br></div>"},
        {"Packing", "Passport<br>Charger<br>Sun cream&nbsp;SPF 50</br>"},
        {"Ideas", "Paint the fence blue<div><b>Ask</b> about the garden shed</div>"},
        {"Wi-Fi at the cabin", "Network: Lakeside<div>Password: <i>pinecone42</i></div>"},
        {"Books to read", "<div>The Long Way Home</div><div>Notes from a Small Island</div>"},
        {"Recipe", "Pancakes: 2 eggs, 250&nbsp;g flour, 500&nbsp;ml milk<br>Rest 30 minutes"},
    };
    const int n = std::max(0, cx.scale.notes);
    std::vector<Note> notes(static_cast<std::size_t>(n));
    double t = cx.ios == 4 ? 305000000 : cx.ios == 5 ? 345000000 : cx.ios == 6 ? 380000000 : 405000000;
    for (int i = 0; i < n; ++i) {
        Note& note = notes[static_cast<std::size_t>(i)];
        note.pk = i + 1;
        const auto& [title, body] = kBodies[static_cast<std::size_t>(i) % kBodies.size()];
        note.title = title;
        if (i >= static_cast<int>(kBodies.size())) note.title.append(" ").append(std::to_string(i + 1));
        note.html = note.title + "<div><br></div>" + body + "<div>No. " + std::to_string(i + 1) + "</div>";
        note.summary = body.substr(0, std::min<std::size_t>(body.size(), 40));
        t += static_cast<double>(rng.range(3600, 2000000));
        note.created = t;
        note.modified = t + static_cast<double>(rng.range(0, 900000)) + static_cast<double>(rng.below(1000)) / 1000.0;
    }
    pickDeleted(rng, notes, cx.scale.deletedPercent);

    auto clean = [](std::string s) {
        s = replaceAll(s, "<div>", "");
        s = replaceAll(s, "</div>", "");
        s = replaceAll(s, "&nbsp;", " ");
        s = replaceAll(s, "<br>", " ");
        s = replaceAll(s, "</br>", " ");
        return s;
    };
    if (cx.plan.olderFileNames) {
        addOlderNotes(cx, notes, clean);
        return;
    }

    // Files first created on iOS 5 or earlier keep the old schema format for life.
    const bool legacy = cx.ios <= 6;
    const bool ios7 = cx.ios >= 7;
    const std::string gen = "ios" + std::to_string(cx.ios) + "/";
    DbFile db(cx.scratchPath("notes.sqlite"), legacy, cx.pageSize);
    db.exec(schemaText(gen + "notes.sqlite.sql"));
    db.begin();
    {
        Inserter store(db, "ZSTORE"), pk(db, "Z_PRIMARYKEY"), meta(db, "Z_METADATA"), zn(db, "ZNOTE"), zb(db, "ZNOTEBODY");
        store.insert({1, 7, 1, nullptr, uuid(rng), "LocalStore", nullptr});
        int ent = 1;
        for (const char* name : {"Account", "NextId", "Note", "NoteBody", "NoteChange", "Property", "Store"})
            pk.insert({ent++, name, 0, std::string(name) == "Note" || std::string(name) == "NoteBody" ? n : (std::string(name) == "Store" ? 1 : 0)});
        meta.insert({1, uuid(rng), nullptr});
        for (const Note& note : notes) {
            std::vector<V> row = {note.pk, 3, 1, 0, 0, 0, 0};
            if (ios7) row.emplace_back(nullptr);
            row.insert(row.end(), {std::int64_t{-4294967296}, note.pk, 0, note.pk, 1, note.created, note.modified,
                                   nullptr, uuid(rng), nullptr, note.summary, note.title});
            zn.insert(row);
            zb.insert({note.pk, 4, 1, note.pk, note.html, nullptr, nullptr});
        }
    }
    db.commit();
    db.begin();
    nlohmann::json dead = nlohmann::json::array(), live = nlohmann::json::array();
    for (const Note& note : notes) {
        if (!note.deleted) continue;
        execWithId(db, "DELETE FROM ZNOTEBODY WHERE Z_PK = ?", note.pk);
        execWithId(db, "DELETE FROM ZNOTE WHERE Z_PK = ?", note.pk);
        auto whole = static_cast<std::int64_t>(note.modified);
        dead.push_back({{"Z_PK", note.pk}, {"ZTITLE", note.title}, {"ZSUMMARY", note.summary},
                        {"ZMODIFICATIONDATE", whole}, {"dateText", dateText(whole, 1)}, {"ZCONTENT", note.html},
                        {"noteContent", clean(note.html)}});
    }
    db.commit();
    cx.addFile("HomeDomain", "Library/Notes/notes.sqlite", db.finish());

    for (const Note& note : notes) {
        if (note.deleted) continue;
        live.push_back({{"noteTitle", note.title},
                        {"noteContent", clean(note.html)},
                        {"noteDate", dateText(static_cast<std::int64_t>(note.modified), 1)},
                        {"uid", -1},
                        {"bSelected", 0},
                        {"bDeleted", 0}});
    }
    cx.plan.truth["notes"] = {{"live", std::move(live)}, {"deleted", std::move(dead)}};
}

}  // namespace salvor::forge::db
