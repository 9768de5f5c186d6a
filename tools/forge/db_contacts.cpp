// Address book and contact pictures.
#include <algorithm>
#include <set>

#include "forge/db_common.h"

namespace salvor::forge::db {

namespace {

const std::vector<std::string> kFirst = {"Ann", "Ben", "Clara", "David", "Emma", "Felix", "Grace", "Henry", "Iris",
                                         "Jonas", "Kate", "Liam", "Mia", "Noah", "Olga", "Paul", "Rosa", "Sam",
                                         "Tina", "Victor", "Zoe", "Chloé", "José", "Søren"};
const std::vector<std::string> kLast = {"Smith", "Miller", "Brown", "Garcia", "Keller", "Novak", "Okafor", "Lindqvist",
                                        "Tanaka", "Rossi", "Dubois", "Walsh", "Young", "Müller", "Ortega", "Patel"};
const std::vector<std::string> kMiddle = {"B.", "J.", "Marie", "Lee", "T."};
const std::vector<std::string> kOrg = {"Acme", "Globex", "Initech", "Umbrella Health", "Northwind Traders",
                                       "Blue Harbor Bank", "City Library"};
const std::vector<std::string> kDept = {"Sales", "Research", "Accounts", "Support"};
const std::vector<std::string> kJob = {"Head", "Engineer", "Manager", "Nurse", "Teacher"};
const std::vector<std::string> kArea = {"415", "212", "617", "312", "503", "206", "303", "512"};
const std::vector<std::string> kNotes = {
    "Met at the conference",
    "Prefers e-mail over calls. Allergic to peanuts, remember when planning the team dinner in spring.",
    "Neighbour, has the spare key",
    "Old friend from school; call on her birthday and ask about the new flat in the city centre."};
const std::vector<std::string> kStreets = {"12 Elm Street", "1 Harbour Road", "77 Mill Lane", "5 Station Square"};
const std::vector<std::string> kCities = {"Springfield", "Riverton", "Lakewood", "Fairview"};

std::string formatPhone(Rng& rng, const std::string& d10) {
    std::string a = d10.substr(0, 3), b = d10.substr(3, 3), c = d10.substr(6);
    switch (rng.below(4)) {
        case 0: return "(" + a + ") " + b + "-" + c;
        case 1: return a + "-" + b + "-" + c;
        case 2: return "+1 (" + a + ") " + b + "-" + c;
        default: return a + " " + b + " " + c;
    }
}

std::string asciiLower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

struct MultiValue {
    std::int64_t uid = 0;
    int property = 0;
    int identifier = 0;
    int label = 0;
    std::optional<std::string> value;
    std::vector<std::pair<int, std::string>> entries;  // postal address parts
};

struct Person {
    std::int64_t rowid = 0;
    std::optional<std::string> first, last, middle, org, dept, note, job, nickname, birthday;
    std::vector<MultiValue> values;
    std::vector<std::shared_ptr<Blob>> pictures;  // in row order; the last one is shown
    std::vector<std::int64_t> pictureRows;         // ROWIDs in the picture tables
    bool deletable = true;
    bool batch = false;   // part of a batch of contacts removed together
    bool later = false;   // added after the deletions
    std::int64_t created = 0, modified = 0;
    std::optional<std::optional<std::string>> oldNote;  // the note before an edit
    std::int64_t oldModified = 0;
};

// The body bytes of an ABPerson row from its first column to ModificationDate
// (NULL columns and the 0 of Kind take no body bytes): whether they are still
// in the file says whether the row can be carved.
Blob personBody(const Person& p, const std::optional<std::string>& note, std::int64_t modified, const std::string& sortKey) {
    Blob b;
    for (const auto* f : {&p.first, &p.last, &p.middle, &p.org, &p.dept, &note, &p.birthday, &p.job, &p.nickname})
        if (*f) appendText(b, **f);
    appendText(b, sortKey + " ");
    appendText(b, sortKey + "  ");
    for (std::int64_t v : {p.created, modified}) {
        const Blob x = intBody(v);
        b.insert(b.end(), x.begin(), x.end());
    }
    return b;
}

// Appends " value" the way the address-book reader joins fields.
void append(std::string& field, const std::optional<std::string>& v) {
    if (v && !v->empty()) field += " " + *v;
}

}  // namespace

void buildContacts(Context& cx) {
    Rng& rng = cx.rng;
    const int n = std::max(0, cx.scale.contacts);
    const bool ios7 = cx.ios >= 7;
    std::set<std::string> usedNumbers;
    std::int64_t nextUid = 1;
    std::vector<Person> people(static_cast<std::size_t>(n));

    auto makePerson = [&](int i) {
        Person& p = people[static_cast<std::size_t>(i)];
        p.rowid = i + 1;
        if (i == 1) {  // only a last name
            p.last = "Whitfield";
            p.deletable = false;
        } else if (i == 2) {  // only an organisation
            p.org = "Riverside Dental Clinic";
            p.deletable = false;
        } else {
            p.first = rng.pick(kFirst);
            p.last = rng.pick(kLast);
            if (rng.chance(20)) p.middle = rng.pick(kMiddle);
            if (rng.chance(35)) p.org = rng.pick(kOrg);
            if (p.org && rng.chance(50)) p.dept = rng.pick(kDept);
            if (rng.chance(30)) p.job = rng.pick(kJob);
            if (rng.chance(10)) p.nickname = "Nick" + std::to_string(i);
            if (rng.chance(30)) p.note = rng.pick(kNotes) + " #" + std::to_string(i);
            if (rng.chance(25)) p.birthday = std::to_string(rng.range(-600000000, 300000000)) + ".000000";
        }
        int phones = i == 0 ? 2 : static_cast<int>(rng.below(4));  // 0 to 3; the first contact always has two
        if (i == 2) phones = 1;
        for (int k = 0; k < phones; ++k) {
            std::string d10;
            do d10 = rng.pick(kArea) + digits(rng, 7);
            while (!usedNumbers.insert(d10).second);
            p.values.push_back({nextUid++, 3, k, k == 0 ? 2 : (k == 1 ? 1 : 3), formatPhone(rng, d10), {}});
        }
        if (p.first) {
            int emails = i == 0 ? 2 : static_cast<int>(rng.below(3));
            for (int k = 0; k < emails; ++k) {
                std::string user = asciiLower(*p.first) + "." + std::to_string(i) + (k ? ".work" : "");
                for (char& c : user)
                    if (static_cast<unsigned char>(c) >= 0x80) c = 'x';
                p.values.push_back(
                    {nextUid++, 4, k, k ? 4 : 3, user + (k ? "@example.com" : "@mail.example.org"), {}});
            }
        }
        if (i == 0 || rng.chance(20)) {
            p.values.push_back({nextUid++, 22, 0, 5, "http://www.example.com/~" + std::to_string(i), {}});
        }
        int addrs = i == 0 ? 2 : (rng.chance(30) ? 1 : 0);
        for (int k = 0; k < addrs; ++k) {
            MultiValue mv{nextUid++, 5, k, k ? 4 : 3, std::nullopt, {}};
            std::string street = rng.pick(kStreets), city = rng.pick(kCities);
            mv.entries = {{1, street}, {2, city}, {4, digits(rng, 5)}, {5, "United States"}, {6, "us"}};
            // Most postal addresses keep their parts only in the entry table; a
            // few carry a one-line value as well.
            if (k == 0 && (i == 0 || rng.chance(40))) mv.value = street + ", " + city;
            p.values.push_back(std::move(mv));
        }
        if (i == 0 || rng.chance(40)) {
            if (i == 3) p.pictures.push_back(std::make_shared<Blob>(jpegBytes("earlier picture of contact 4")));
            p.pictures.push_back(std::make_shared<Blob>(jpegBytes("contact picture " + std::to_string(p.rowid))));
        }
    };
    for (int i = 0; i < n; ++i) makePerson(i);
    if (n > 3 && people[3].pictures.empty())
        people[3].pictures.push_back(std::make_shared<Blob>(jpegBytes("contact picture 4")));

    // Which persons are deleted again (their rows stay in the file's free space).
    std::vector<std::size_t> candidates;
    for (std::size_t i = 0; i < people.size(); ++i)
        if (people[i].deletable && i != 0 && i != 3) candidates.push_back(i);
    int nDel = std::min<int>(deletedCount(n, cx.scale.deletedPercent), static_cast<int>(candidates.size()));
    std::vector<bool> deleted(people.size(), false);
    for (int k = 0; k < nDel; ++k) {
        std::size_t j = static_cast<std::size_t>(k) + rng.below(candidates.size() - static_cast<std::size_t>(k));
        std::swap(candidates[static_cast<std::size_t>(k)], candidates[j]);
        deleted[candidates[static_cast<std::size_t>(k)]] = true;
    }
    // What a phone does afterwards: a batch of contacts is removed together
    // (enough consecutive rows that whole pages go to the free list), a few
    // contacts are added later into part of the freed space, and a few notes
    // are edited, which may leave the older row behind in free space.
    if (n >= 6) {
        const int batch = std::max(6, 3 * cx.pageSize / 200);
        // Later ones take a freed page. iOS 7 rows carry two guids and need
        // fewer of them to fill it; as many as on older systems would overwrite
        // every freed page and leave nothing of the batch to find.
        const int later = std::max(2, cx.pageSize / (ios7 ? 400 : 160));
        const int total = n + batch + later;
        people.resize(static_cast<std::size_t>(total));
        deleted.resize(people.size(), false);
        for (int i = n; i < total; ++i) {
            makePerson(i);
            Person& p = people[static_cast<std::size_t>(i)];
            p.batch = i < n + batch;
            p.later = !p.batch;
            deleted[static_cast<std::size_t>(i)] = p.batch;
        }
        std::vector<std::size_t> editable;
        for (int i = 0; i < n; ++i)
            if (!deleted[static_cast<std::size_t>(i)] && people[static_cast<std::size_t>(i)].first)
                editable.push_back(static_cast<std::size_t>(i));
        for (int k = 0; k < 2 && !editable.empty(); ++k) {
            const std::size_t j = rng.below(editable.size());
            Person& p = people[editable[j]];
            editable.erase(editable.begin() + static_cast<std::ptrdiff_t>(j));
            p.oldNote = p.note;
            p.note = rng.pick(kNotes) + " (updated " + std::to_string(p.rowid) + ")";
        }
    }

    // ---- AddressBook.sqlitedb ----
    const std::string gen = "ios" + std::to_string(cx.ios) + "/";
    DbFile ab(cx.scratchPath("AddressBook.sqlitedb"), false, cx.pageSize);
    ab.exec(schemaText(gen + "AddressBook.sqlitedb.sql"));
    ab.begin();
    {
        Inserter lab(ab, "ABMultiValueLabel");
        for (const char* l : {"iPhone", "_$!<Mobile>!$_", "_$!<Home>!$_", "_$!<Work>!$_", "_$!<HomePage>!$_"})
            lab.insert({l});
        Inserter key(ab, "ABMultiValueEntryKey");
        for (const char* k : {"Street", "City", "State", "ZIP", "Country", "CountryCode"}) key.insert({k});
    }
    auto sortKeyOf = [](const Person& p) {
        std::string disp = p.first ? *p.first + (p.last ? " " + *p.last : "") : (p.last ? *p.last : p.org.value_or(""));
        return asciiLower(disp);
    };
    {
        Inserter per(ab, "ABPerson");
        Inserter mv(ab, "ABMultiValue");
        Inserter ent(ab, "ABMultiValueEntry");
        const bool legacyIndex = cx.ios == 4;
        auto insertPerson = [&](Person& p) {
            std::string disp = p.first ? *p.first + (p.last ? " " + *p.last : "") : (p.last ? *p.last : p.org.value_or(""));
            std::string sortKey = sortKeyOf(p);
            p.created = rng.range(250000000, 400000000);
            p.modified = p.created + rng.range(0, 5000000);
            // Rows are first written with their original note; edits come later.
            const std::optional<std::string>& note = p.oldNote ? *p.oldNote : p.note;
            std::vector<V> row = {
                p.rowid, V::opt(p.first), V::opt(p.last), V::opt(p.middle), nullptr, nullptr, nullptr,
                V::opt(p.org), V::opt(p.dept), V::opt(note), 0, V::opt(p.birthday), V::opt(p.job),
                V::opt(p.nickname), nullptr, nullptr, sortKey + " ", sortKey + "  ", p.created,
                p.modified, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr};
            if (legacyIndex) {
                std::string sec = disp.empty() ? "#" : std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(disp[0]))));
                if (static_cast<unsigned char>(sec[0]) >= 0x80) sec = "#";
                row.insert(row.end(), {sec, sec, 0, 0});
            } else {
                row.insert(row.end(), {nullptr, nullptr, std::int64_t{2147483647}, std::int64_t{2147483647}});
            }
            row.insert(row.end(), {-1, nullptr, 1});
            if (ios7) row.insert(row.end(), {uuid(rng), nullptr});
            per.insert(row);
            for (const MultiValue& v : p.values) {
                std::vector<V> r = {v.uid, p.rowid, v.property, v.identifier, v.label, V::opt(v.value)};
                if (ios7) r.emplace_back(uuid(rng));
                mv.insert(r);
                for (const auto& [k, text] : v.entries) ent.insert({v.uid, k, text});
            }
        };
        for (Person& p : people)
            if (!p.later) insertPerson(p);
        ab.commit();
        ab.begin();
        for (std::size_t i = 0; i < people.size(); ++i) {
            if (!deleted[i]) continue;
            for (const MultiValue& v : people[i].values) {
                execWithId(ab, "DELETE FROM ABMultiValueEntry WHERE parent_id = ?", v.uid);
                execWithId(ab, "DELETE FROM ABMultiValue WHERE UID = ?", v.uid);
            }
            execWithId(ab, "DELETE FROM ABPerson WHERE ROWID = ?", people[i].rowid);
        }
        ab.commit();
        ab.begin();
        for (Person& p : people)
            if (p.later) insertPerson(p);
        for (Person& p : people) {
            if (!p.oldNote) continue;
            p.oldModified = p.modified;
            p.modified += rng.range(86400, 40000000);
            execWithTextAndIds(ab, "UPDATE ABPerson SET Note = ?, ModificationDate = ? WHERE ROWID = ?", *p.note,
                               {p.modified, p.rowid});
        }
    }
    ab.commit();
    const Blob abFile = ab.finish();
    cx.addFile("HomeDomain", "Library/AddressBook/AddressBook.sqlitedb", abFile);

    // ---- pictures ----
    if (cx.ios == 4) {
        // Older backups keep the picture database under a suffixed name, in the
        // ABImage layout: a thumbnail row and then the full-size row per person.
        DbFile img(cx.scratchPath("AddressBookImages.mddata"), false, cx.pageSize);
        img.exec(schemaText("legacy/AddressBookImages.sqlitedb.mddata.sql"));
        img.begin();
        {
            Inserter ins(img, "ABImage");
            std::int64_t row = 0;  // the table's implicit row numbers, in insert order
            for (Person& p : people) {
                if (p.pictures.empty()) continue;
                Blob thumb = jpegBytes("thumbnail " + std::to_string(p.rowid));
                ins.insert({p.rowid, 0, 0, 0, 320, 320, thumb});
                p.pictureRows.push_back(++row);
                for (const auto& pic : p.pictures) {
                    ins.insert({p.rowid, 1, 0, 0, 320, 320, *pic});
                    p.pictureRows.push_back(++row);
                }
            }
        }
        img.commit();
        img.begin();
        for (std::size_t i = 0; i < people.size(); ++i)
            if (deleted[i])
                for (std::int64_t r : people[i].pictureRows) execWithId(img, "DELETE FROM ABImage WHERE ROWID = ?", r);
        img.commit();
        cx.addFile("HomeDomain", "Library/AddressBook/AddressBookImages.sqlitedb", img.finish(),
                   "cd6702cea29fe89cf280a76794405adb17f9a0ee.mddata");
    } else {
        DbFile img(cx.scratchPath("AddressBookImages.sqlitedb"), false, cx.pageSize);
        img.exec(schemaText(gen + "AddressBookImages.sqlitedb.sql"));
        img.begin();
        {
            Inserter full(img, "ABFullSizeImage");
            Inserter thumb(img, "ABThumbnailImage");
            std::int64_t row = 1;
            for (Person& p : people) {
                for (const auto& pic : p.pictures) {
                    p.pictureRows.push_back(row);
                    full.insert({row++, p.rowid, 0, 0, 320, *pic});
                }
                if (!p.pictures.empty()) {
                    // Thumbnails share the person's first picture row number.
                    Blob t = jpegBytes("thumbnail " + std::to_string(p.rowid));
                    if (ios7)
                        thumb.insert({p.pictureRows.front(), p.rowid, 0, 0, t});
                    else
                        thumb.insert({p.pictureRows.front(), p.rowid, 0, t});
                }
            }
        }
        img.commit();
        img.begin();
        for (std::size_t i = 0; i < people.size(); ++i) {
            if (!deleted[i]) continue;
            for (std::int64_t r : people[i].pictureRows) {
                execWithId(img, "DELETE FROM ABFullSizeImage WHERE ROWID = ?", r);
                execWithId(img, "DELETE FROM ABThumbnailImage WHERE ROWID = ?", r);
            }
        }
        img.commit();
        cx.addFile("HomeDomain", "Library/AddressBook/AddressBookImages.sqlitedb", img.finish());
    }

    // ---- expected records ----
    // Which deleted and replaced rows kept their bytes, found in one pass; the
    // flags are handed out below in the same order.
    std::vector<Blob> needles;
    for (std::size_t i = 0; i < people.size(); ++i) {
        if (!deleted[i]) continue;
        // A multi-value row's body: record_id, property, identifier, label and
        // value (the same postal address text can belong to several people).
        for (const MultiValue& v : people[i].values) {
            if (!v.value) continue;
            Blob b;
            for (std::int64_t x : {people[i].rowid, std::int64_t{v.property}, std::int64_t{v.identifier}, std::int64_t{v.label}}) {
                const Blob xb = intBody(x);
                b.insert(b.end(), xb.begin(), xb.end());
            }
            appendText(b, *v.value);
            needles.push_back(std::move(b));
        }
        needles.push_back(personBody(people[i], people[i].note, people[i].modified, sortKeyOf(people[i])));
    }
    for (const Person& p : people)
        if (p.oldNote) needles.push_back(personBody(p, *p.oldNote, p.oldModified, sortKeyOf(p)));
    const std::vector<bool> there = holdsAll(abFile, needles);
    std::size_t nextFlag = 0;
    nlohmann::json live = nlohmann::json::array(), dead = nlohmann::json::array();
    cx.people.clear();
    cx.book.clear();
    for (std::size_t i = 0; i < people.size(); ++i) {
        const Person& p = people[i];
        Context::Person cp;
        for (const MultiValue& v : p.values)
            if (v.property == 3 && v.value) cp.phones.push_back(*v.value);
        cp.live = !deleted[i];
        if (deleted[i]) {
            nlohmann::json mvs = nlohmann::json::array();
            for (const MultiValue& v : p.values) {
                mvs.push_back({{"UID", v.uid}, {"property", v.property}, {"value", v.value ? nlohmann::json(*v.value) : nlohmann::json()}});
                // A value-less row (postal address parts live elsewhere) has no text to find.
                if (v.value) mvs.back()["recoverable"] = static_cast<bool>(there[nextFlag++]);
            }
            auto o = [](const std::optional<std::string>& t) { return t ? nlohmann::json(*t) : nlohmann::json(); };
            dead.push_back({{"ROWID", p.rowid}, {"First", o(p.first)}, {"Last", o(p.last)}, {"Middle", o(p.middle)},
                            {"Organization", o(p.org)}, {"Department", o(p.dept)}, {"Note", o(p.note)},
                            {"JobTitle", o(p.job)}, {"Nickname", o(p.nickname)}, {"multiValues", mvs},
                            {"hasPicture", !p.pictures.empty()},
                            {"recoverable", static_cast<bool>(there[nextFlag++])}});
            if (p.batch) dead.back()["batch"] = true;
            cx.people.push_back(std::move(cp));
            continue;
        }
        std::string name = p.first && !p.first->empty() ? *p.first : "";
        append(name, p.middle);
        append(name, p.last);
        std::string company = p.dept && !p.dept->empty() ? *p.dept : "";
        append(company, p.job);
        append(company, p.org);
        std::string phone, email, home, addr;
        for (const MultiValue& v : p.values) {
            if (v.property == 3) append(phone, v.value);
            if (v.property == 4) append(email, v.value);
            if (v.property == 5) append(addr, v.value);
            if (v.property == 22) append(home, v.value);
        }
        const Blob* pic = p.pictures.empty() ? nullptr : p.pictures.back().get();
        live.push_back({{"rowid", p.rowid},
                        {"contactName", name},
                        {"contactPhone", phone},
                        {"contactEmail", email},
                        {"contactHomepage", home},
                        {"contactCompany", company},
                        {"contactBirthday", p.birthday.value_or("")},
                        {"contactJobtitle", ""},
                        {"contactNote", p.note.value_or("")},
                        {"contactAdress", addr},
                        {"contactFirstName", p.first.value_or("")},
                        {"contactMiddleName", p.middle.value_or("")},
                        {"contactLastName", p.last.value_or("")},
                        {"imageData", bytesJson(pic)},
                        {"bDeleted", 0},
                        {"bSelected", 0}});
        if (!p.pictures.empty()) cx.keep.push_back(p.pictures.back());
        cp.bookIndex = cx.book.size();
        cx.book.push_back({name, asciiLower(normalisePhone(phone)), pic});
        cx.people.push_back(std::move(cp));
    }
    nlohmann::json stale = nlohmann::json::array();
    for (const Person& p : people)
        if (p.oldNote)
            stale.push_back({{"ROWID", p.rowid},
                             {"First", p.first ? nlohmann::json(*p.first) : nlohmann::json()},
                             {"Last", p.last ? nlohmann::json(*p.last) : nlohmann::json()},
                             {"Note", *p.oldNote ? nlohmann::json(**p.oldNote) : nlohmann::json()},
                             {"newNote", *p.note},
                             {"recoverable", static_cast<bool>(there[nextFlag++])}});
    cx.plan.truth["contacts"] = {{"live", std::move(live)}, {"deleted", std::move(dead)}, {"stale", std::move(stale)}};
}

}  // namespace salvor::forge::db
