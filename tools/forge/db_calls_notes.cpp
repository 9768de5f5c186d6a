// Call history and notes.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <regex>
#include <utility>

#include "forge/db_common.h"

namespace salvor::forge::db {

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

namespace {

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
    std::string guid;
    std::int64_t opt = 1;  // Core Data's edit counter
    bool batch = false;    // removed together with others
    bool later = false;    // written after the deletions
    // The version before an edit, which the edit may leave in free space.
    std::string oldTitle, oldSummary, oldHtml;
    double oldModified = 0;
    bool edited = false;
};

std::string replaceAll(std::string s, const std::string& from, const std::string& to) {
    std::size_t pos = 0;
    while ((pos = s.find(from, pos)) != std::string::npos) {
        s.replace(pos, from.size(), to);
        pos += to.size();
    }
    return s;
}

// A seed for rows the earlier builders did not draw, so that adding them
// leaves every other category of the backup as it was.
std::uint64_t extraSeed(const std::string& folder, const char* what) {
    std::uint64_t h = 1469598103934665603ULL;
    for (const char c : folder + what) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    return h;
}

// An integer body as SQLite writes it: in a format-1 file 0 and 1 take a byte too.
Blob intBodyIn(std::int64_t v, bool legacy) {
    if (legacy && (v == 0 || v == 1)) return Blob{static_cast<std::uint8_t>(v)};
    return intBody(v);
}

// A timestamp body: an integral value is stored as an integer, else as a double.
Blob timeBody(double v, bool legacy) {
    if (v == static_cast<double>(static_cast<std::int64_t>(v))) return intBodyIn(static_cast<std::int64_t>(v), legacy);
    std::uint64_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    Blob b(8);
    for (int k = 7; k >= 0; --k, bits >>= 8) b[static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(bits & 0xFF);
    return b;
}

// The bodies of a note row from Z_ENT to ZTITLE, and of its body row from
// Z_ENT to ZCONTENT: while they are still in the file the rows can be carved.
Blob noteRowBody(const Note& n, const std::string& title, const std::string& summary, double modified, bool legacy) {
    Blob b;
    for (std::int64_t v : {std::int64_t{3}, n.opt, std::int64_t{0}, std::int64_t{0}, std::int64_t{0}, std::int64_t{0},
                           std::int64_t{-4294967296}, n.pk, std::int64_t{0}, n.pk, std::int64_t{1}}) {
        const Blob x = intBodyIn(v, legacy);
        b.insert(b.end(), x.begin(), x.end());
    }
    for (double t : {n.created, modified}) {
        const Blob x = timeBody(t, legacy);
        b.insert(b.end(), x.begin(), x.end());
    }
    appendText(b, n.guid);
    appendText(b, summary);
    appendText(b, title);
    return b;
}

Blob noteBodyRowBody(const Note& n, const std::string& html, bool legacy) {
    Blob b;
    for (std::int64_t v : {std::int64_t{4}, n.opt, n.pk}) {
        const Blob x = intBodyIn(v, legacy);
        b.insert(b.end(), x.begin(), x.end());
    }
    appendText(b, html);
    return b;
}

// A long note with markup, longer than a two-byte serial type of the older
// carving could describe.
std::string longNoteHtml(Rng& rng, const std::string& title, int target) {
    static const std::vector<std::string> kLines = {
        "Call the insurance about the claim and ask for the reference number",
        "<b>Remember</b> the spare tyre and the warning triangle",
        "Tickets are in the blue folder&nbsp;on the shelf",
        "Pick up the dry cleaning before Friday<br>",
        "<i>Draft:</i> thank-you letter to the neighbours for the plants",
        "Measure the window in the small bedroom for the new blind",
    };
    std::string html = title + "<div><br></div>";
    for (int k = 1; static_cast<int>(html.size()) < target; ++k)
        html += "<div>" + std::to_string(k) + ". " + rng.pick(kLines) + "</div>";
    return html;
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
    const Blob file = db.finish();
    // A row's title and summary lie side by side in its body.
    std::vector<Blob> needles;
    for (const Note& n : notes)
        if (n.deleted) {
            Blob b;
            appendText(b, n.title);
            appendText(b, n.summary);
            needles.push_back(std::move(b));
        }
    const std::vector<bool> there = holdsAll(file, needles);
    for (std::size_t k = 0; k < dead.size(); ++k) dead[k]["recoverable"] = static_cast<bool>(there[k]);
    cx.addFile("HomeDomain", "Library/Notes/notes.db", file);
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
        {"Packing", "Passport<br>Charger<BR/>Sun cream&nbsp;SPF 50</br>"},
        {"Ideas", "Paint the fence blue<div><b>Ask</b> about the garden shed</div>"},
        {"Wi-Fi at the cabin", "Network: Lakeside<div>Password: <i>pinecone42</i></div>"},
        {"Books to read", "<div>The Long Way Home</div><div>Notes from a Small Island</div>"},
        {"Recipe", "Pancakes: 2 eggs, 250&nbsp;g flour, 500&nbsp;ml milk<br />Rest 30 minutes"},
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

    // The text a reader shows: the note split into its lines, a line ending at
    // a break and at the end of a division that holds text, an empty line
    // where a break stands alone; one blank line at most in a row, none at
    // either end.
    auto clean = [](const std::string& html) {
        static const std::regex kTag("<br\\s*/?>|</br>|</?div>", std::regex::icase);
        std::vector<std::string> lines;
        std::string current;
        std::size_t from = 0;
        for (std::sregex_iterator it(html.begin(), html.end(), kTag), end; it != end; ++it) {
            current += html.substr(from, static_cast<std::size_t>(it->position()) - from);
            from = static_cast<std::size_t>(it->position() + it->length());
            const bool lineBreak = std::tolower(static_cast<unsigned char>(it->str()[1])) == 'b' ||
                                   std::tolower(static_cast<unsigned char>(it->str()[2])) == 'b';
            if (lineBreak || !current.empty()) lines.push_back(std::exchange(current, std::string()));
        }
        current += html.substr(from);
        if (!current.empty()) lines.push_back(current);
        std::string text;
        bool blank = false;
        for (const std::string& line : lines) {
            if (line.empty()) {
                blank = !text.empty();
                continue;
            }
            if (!text.empty()) text += blank ? "\n\n" : "\n";
            blank = false;
            text += line;
        }
        return replaceAll(text, "&nbsp;", " ");
    };
    if (cx.plan.olderFileNames) {
        addOlderNotes(cx, notes, clean);
        return;
    }

    // Files first created on iOS 5 or earlier keep the old schema format for life.
    const bool legacy = cx.ios <= 6;
    const bool ios7 = cx.ios >= 7;
    // What a phone does besides: a batch of notes, some of them long, is
    // removed together (whole pages go to the free list), a few notes are
    // written afterwards into the freed space, and two of those are edited,
    // which leaves their older version behind.
    Rng extra(extraSeed(cx.plan.folderName, "notes"));
    const int batch = n > 0 ? std::max(8, 2 * cx.pageSize / 1000) : 0;
    const int later = n > 0 ? 3 : 0;
    for (int i = 0; i < batch + later; ++i) {
        Note note;
        note.pk = static_cast<std::int64_t>(notes.size()) + 1;
        const auto& [title, body] = kBodies[extra.below(kBodies.size())];
        note.title = title + " " + std::to_string(note.pk);
        // Some titles need a two-byte serial type, some are not plain ASCII.
        if (i % 4 == 2) note.title = "Packing list for the summer holiday at the lake house, week " + std::to_string(note.pk);
        if (i % 5 == 3) note.title = "Café – Notizen für Jürgen " + std::to_string(note.pk);
        note.html = i % 3 == 1 ? longNoteHtml(extra, note.title, static_cast<int>(extra.range(2100, 3200)))
                               : note.title + "<div><br></div>" + body + "<div>No. " + std::to_string(note.pk) + "</div>";
        note.summary = note.html.substr(note.title.size(), 40);
        t += static_cast<double>(extra.range(3600, 2000000));
        note.created = t;
        note.modified = t + static_cast<double>(extra.range(0, 900000)) + static_cast<double>(extra.below(1000)) / 1000.0;
        note.opt = extra.range(1, 3);
        note.batch = i < batch;
        note.later = !note.batch;
        note.deleted = note.batch;
        notes.push_back(std::move(note));
    }
    const std::string gen = "ios" + std::to_string(cx.ios) + "/";
    DbFile db(cx.scratchPath("notes.sqlite"), legacy, cx.pageSize);
    db.exec(schemaText(gen + "notes.sqlite.sql"));
    auto insertNote = [&](Inserter& zn, Inserter& zb, const Note& note) {
        std::vector<V> row = {note.pk, 3, note.opt, 0, 0, 0, 0};
        if (ios7) row.emplace_back(nullptr);
        row.insert(row.end(), {std::int64_t{-4294967296}, note.pk, 0, note.pk, 1, note.created, note.modified,
                               nullptr, note.guid, nullptr, note.summary, note.title});
        zn.insert(row);
        zb.insert({note.pk, 4, note.opt, note.pk, note.html, nullptr, nullptr});
    };
    db.begin();
    {
        Inserter store(db, "ZSTORE"), pk(db, "Z_PRIMARYKEY"), meta(db, "Z_METADATA"), zn(db, "ZNOTE"), zb(db, "ZNOTEBODY");
        store.insert({1, 7, 1, nullptr, uuid(rng), "LocalStore", nullptr});
        int ent = 1;
        for (const char* name : {"Account", "NextId", "Note", "NoteBody", "NoteChange", "Property", "Store"})
            pk.insert({ent++, name, 0, std::string(name) == "Note" || std::string(name) == "NoteBody" ? static_cast<int>(notes.size()) : (std::string(name) == "Store" ? 1 : 0)});
        meta.insert({1, uuid(rng), nullptr});
        for (Note& note : notes) {
            if (note.later) continue;
            note.guid = note.batch ? uuid(extra) : uuid(rng);
            insertNote(zn, zb, note);
        }
    }
    db.commit();
    db.begin();
    for (const Note& note : notes) {
        if (!note.deleted) continue;
        execWithId(db, "DELETE FROM ZNOTEBODY WHERE Z_PK = ?", note.pk);
        execWithId(db, "DELETE FROM ZNOTE WHERE Z_PK = ?", note.pk);
    }
    db.commit();
    db.begin();
    {
        Inserter zn(db, "ZNOTE"), zb(db, "ZNOTEBODY");
        for (Note& note : notes)
            if (note.later) {
                note.guid = uuid(extra);
                insertNote(zn, zb, note);
            }
    }
    int edits = 0;
    for (Note& note : notes) {
        if (!note.later || edits == 2) continue;
        ++edits;
        note.edited = true;
        note.oldTitle = note.title, note.oldSummary = note.summary, note.oldHtml = note.html;
        note.oldModified = note.modified;
        note.title += " (edited)";
        note.html = note.title + "<div><br></div>" + note.oldHtml.substr(note.oldTitle.size()) + "<div>Checked</div>";
        note.summary = note.html.substr(note.title.size(), 40);
        note.modified = std::floor(note.modified) + 86400;
        ++note.opt;
        execWithTextAndIds(db, "UPDATE ZNOTE SET ZTITLE = ?, ZMODIFICATIONDATE = ?, Z_OPT = ? WHERE Z_PK = ?",
                           note.title, {static_cast<std::int64_t>(note.modified), note.opt, note.pk});
        execWithTextAndIds(db, "UPDATE ZNOTE SET ZSUMMARY = ? WHERE Z_PK = ?", note.summary, {note.pk});
        execWithTextAndIds(db, "UPDATE ZNOTEBODY SET ZCONTENT = ?, Z_OPT = ? WHERE Z_PK = ?", note.html, {note.opt, note.pk});
    }
    db.commit();
    const Blob file = db.finish();
    cx.addFile("HomeDomain", "Library/Notes/notes.sqlite", file);

    // Which deleted and replaced rows kept their bytes.
    std::vector<Blob> needles;
    for (const Note& note : notes) {
        if (note.deleted) {
            needles.push_back(noteRowBody(note, note.title, note.summary, note.modified, legacy));
            needles.push_back(noteBodyRowBody(note, note.html, legacy));
        }
    }
    const std::vector<bool> there = holdsAll(file, needles);
    std::size_t flag = 0;
    nlohmann::json dead = nlohmann::json::array(), live = nlohmann::json::array(), stale = nlohmann::json::array();
    for (const Note& note : notes) {
        if (!note.deleted) continue;
        auto whole = static_cast<std::int64_t>(note.modified);
        const bool row = there[flag++], body = there[flag++];
        dead.push_back({{"Z_PK", note.pk}, {"ZTITLE", note.title}, {"ZSUMMARY", note.summary},
                        {"ZMODIFICATIONDATE", whole}, {"dateText", dateText(whole, 1)}, {"ZCONTENT", note.html},
                        {"noteContent", clean(note.html)}, {"noteRecoverable", row}, {"bodyRecoverable", body},
                        {"recoverable", row || body}});
        if (note.batch) dead.back()["batch"] = true;
    }
    for (const Note& note : notes) {
        if (note.deleted) continue;
        live.push_back({{"noteTitle", note.title},
                        {"noteContent", clean(note.html)},
                        {"noteDate", dateText(static_cast<std::int64_t>(note.modified), 1)},
                        {"uid", -1},
                        {"bSelected", 0},
                        {"bDeleted", 0}});
        if (note.edited)
            stale.push_back({{"Z_PK", note.pk}, {"ZTITLE", note.oldTitle}, {"noteContent", clean(note.oldHtml)},
                             {"dateText", dateText(static_cast<std::int64_t>(note.oldModified), 1)}});
    }
    cx.plan.truth["notes"] = {{"live", std::move(live)}, {"deleted", std::move(dead)}, {"stale", std::move(stale)}};
}

}  // namespace salvor::forge::db
