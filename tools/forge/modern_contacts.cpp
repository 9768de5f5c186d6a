#include "forge/modern_contacts.h"

#include "forge/modern_deletions.h"

#include <cctype>
#include <cstdio>
#include <map>
#include <optional>

namespace salvor::forge::modern {

namespace {

using db::V;

struct Value {
    int property = 0;  // 3 phone, 4 e-mail, 5 postal address, 22 web address
    std::string label;
    std::optional<std::string> value;                          // absent for a postal address
    std::vector<std::pair<std::string, std::string>> entries;  // the address's parts
};

struct Person {
    std::optional<std::string> first, middle, last, org, dept, job, note, birthday;
    std::vector<Value> values;
    int fullPicture = -1;         // index into the pictures, or none
    std::vector<int> thumbnails;  // indexes into the pictures (format order)
};

// A name part as the reader joins it: present and not empty.
void join(std::string& to, const std::optional<std::string>& part, bool first) {
    if (!part || part->empty()) return;
    to += first ? *part : " " + *part;
}

std::vector<Person> people(Rng& rng, int ios) {
    auto phone = [&](const char* label, const std::string& area) {
        return Value{3, label, "+1 (" + area + ") 555-0" + db::digits(rng, 3), {}};
    };
    std::vector<Person> out;
    {
        Person p;
        p.first = "Ann";
        p.middle = "B.";
        p.last = "Smith";
        p.org = "Acme";
        p.dept = "Sales";
        p.job = "Head";
        p.note = "Met at the spring fair";
        p.values = {phone("_$!<Mobile>!$_", "415"),
                    phone("_$!<Work>!$_", "415"),
                    {4, "_$!<Home>!$_", "ann.smith@example.com", {}},
                    {5,
                     "_$!<Home>!$_",
                     std::nullopt,
                     {{"Street", "12 Harbour Road"}, {"City", "Sausalito"}, {"ZIP", "94965"}, {"CountryCode", "us"}}},
                    {22, "_$!<HomePage>!$_", "https://ann.example.com/", {}}};
        p.fullPicture = 0;
        p.thumbnails = {1};
        out.push_back(p);
    }
    {
        Person p;
        p.last = "Okonkwo";
        p.values = {phone("_$!<Mobile>!$_", "212")};
        out.push_back(p);
    }
    {
        Person p;
        p.first = "Zoë";
        p.last = "Ø'Brien-Łukasz";
        p.birthday = "1985-04-12T12:00:00Z";
        p.values = {{4, "_$!<Work>!$_", "zoe@example.org", {}}, {4, "custom label", "z.obrien@example.net", {}}};
        p.thumbnails = {2, 3};  // only small pictures: the larger one is shown
        out.push_back(p);
    }
    {
        Person p;
        p.org = "City Dental Practice";
        p.values = {phone("_$!<Main>!$_", "650"), {22, "_$!<HomePage>!$_", "http://dental.example.com", {}}};
        out.push_back(p);
    }
    {
        Person p;
        p.first = "李";
        p.last = "小龙";
        p.job = "Engineer";
        p.note = ios >= 15 ? "Line one\nLine two 🎉" : "Line one\nLine two";
        p.values = {phone("_$!<iPhone>!$_", "408")};
        p.fullPicture = 4;
        out.push_back(p);
    }
    {
        Person p;
        p.first = "Marco";
        p.last = "Rossi";
        p.dept = "Research";
        p.values = {phone("_$!<Mobile>!$_", "310"), {4, "_$!<Home>!$_", "marco@example.it", {}}};
        out.push_back(p);
    }
    return out;
}

}  // namespace

std::vector<PlantedFile> writeModernContacts(const std::string& outDir, int iosMajor, std::uint64_t seed,
                                             nlohmann::json& truth) {
    checkVersion(iosMajor);
    Rng rng(seed ^ 0xC0A7AC75ULL);
    const std::vector<Person> book = people(rng, iosMajor);
    std::vector<db::Blob> pictures;
    for (int i = 0; i < 5; ++i)
        pictures.push_back(db::jpegBytes("picture " + std::to_string(i) + std::string(i * 40, '.')));

    const std::string layout = iosMajor >= 17 ? "modern/ios16/" : "modern/ios15/";
    db::DbFile ab(outDir + "/AddressBook.sqlitedb.building", false, 4096);
    ab.exec(db::schemaText(layout + "AddressBook.sqlitedb.sql"));
    ab.begin();
    insertNamed(ab, "ABStore", {{"ROWID", 1}, {"Name", "Local"}, {"Type", 0}, {"guid", db::uuid(rng)}});
    std::map<std::string, std::int64_t> labels, keys;
    auto idOf = [&](std::map<std::string, std::int64_t>& ids, const char* table, const std::string& text) {
        auto it = ids.find(text);
        if (it != ids.end()) return it->second;
        const std::int64_t id = static_cast<std::int64_t>(ids.size()) + 1;
        insertNamed(ab, table, {{"ROWID", id}, {"value", text}});
        return ids.emplace(text, id).first->second;
    };
    std::int64_t uid = 0;
    const std::int64_t created = 650000000 + static_cast<std::int64_t>(rng.below(50000000));

    // People deleted for good, each with a number and an address; keys past
    // the live ones.
    const std::int64_t gonePast = 100;
    Rng goneRng(seed ^ 0xDE1E7EDULL);  // apart, so that the live rows stay as they were
    static const char* const kFirst[] = {"Lena", "Omar", "Priya", "Jonas", "Akiko", "Bruno", "Sofia", "Tariq"};
    DeletionPlan deletionPlan;
    deletionPlan.seed = seed;
    deletionPlan.insert = [&](int index, bool padded) {
        const std::int64_t rowid = gonePast + index;
        const std::string first = kFirst[index % 8], last = plantedName(index);
        char number[32];
        std::snprintf(number, sizeof number, "+1 (555) 3%02d-%04d", index, 1000 + index * 37);
        std::string mail = first + "." + last + "@example.net";
        for (char& c : mail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        insertNamed(ab, "ABPerson",
                    {{"ROWID", rowid},
                     {"First", first},
                     {"Last", last},
                     {"Note", padded ? V("Met on the course in the spring; knows everyone at the sailing club and "
                                         "lends out the good tent. Ask about the cottage by the lake in August.")
                                     : V()},
                     {"Kind", 0},
                     {"CreationDate", created + rowid * 3600},
                     {"ModificationDate", created + rowid * 7200},
                     {"StoreID", 1},
                     {"guid", db::uuid(goneRng)}});
        const std::int64_t valueUid = 1000 + 2 * index;
        const std::string numberGuid = db::uuid(goneRng), mailGuid = db::uuid(goneRng);
        insertNamed(ab, "ABMultiValue", {{"UID", valueUid}, {"record_id", rowid}, {"property", 3}, {"identifier", 0},
                                         {"label", idOf(labels, "ABMultiValueLabel", "_$!<Mobile>!$_")},
                                         {"value", std::string(number)}, {"guid", numberGuid}});
        insertNamed(ab, "ABMultiValue", {{"UID", valueUid + 1}, {"record_id", rowid}, {"property", 4}, {"identifier", 1},
                                         {"label", idOf(labels, "ABMultiValueLabel", "_$!<Home>!$_")},
                                         {"value", mail}, {"guid", mailGuid}});
        DoomedRow row;
        // A value is its person's only while its table row survives: the
        // value's text followed by its guid, as that row stores them. An index
        // entry holds the text too, but not the person it belongs to.
        row.row = {{"ROWID", rowid},
                   {"First", first},
                   {"Last", last},
                   {"multiValues",
                    {{{"property", 3}, {"value", number}, {"mark", std::string(number) + numberGuid}},
                     {{"property", 4}, {"value", mail}, {"mark", mail + mailGuid}}}}};
        row.marks = {last};
        return row;
    };
    deletionPlan.erase = [&](int index) {
        const std::string rowid = std::to_string(gonePast + index);
        ab.exec("DELETE FROM ABMultiValue WHERE record_id = " + rowid);
        ab.exec("DELETE FROM ABPerson WHERE ROWID = " + rowid);
    };
    // A corrected surname: the file holds the misspelt one.
    deletionPlan.draft = [&] { ab.exec("UPDATE ABPerson SET Last = 'Okonkow' WHERE Last = 'Okonkwo'"); };
    deletionPlan.settle = [&] { ab.exec("UPDATE ABPerson SET Last = 'Okonkwo' WHERE Last = 'Okonkow'"); };
    deletionPlan.stale = {{"First", nullptr}, {"Last", "Okonkow"}};
    Deletions deletions(ab, deletionPlan);

    for (std::size_t i = 0; i < book.size(); ++i) {
        const Person& p = book[i];
        const std::int64_t rowid = static_cast<std::int64_t>(i) + 1;
        if (i + 1 == book.size()) {  // the newest person only in the log
            deletions.inFile();
            logFromHere(ab);
        }
        insertNamed(ab, "ABPerson",
                    {{"ROWID", rowid},
                     {"First", V::opt(p.first)},
                     {"Last", V::opt(p.last)},
                     {"Middle", V::opt(p.middle)},
                     {"Organization", V::opt(p.org)},
                     {"Department", V::opt(p.dept)},
                     {"Note", V::opt(p.note)},
                     {"Kind", p.first || p.last ? 0 : 1},
                     {"Birthday", V::opt(p.birthday)},
                     {"JobTitle", V::opt(p.job)},
                     {"CreationDate", created + rowid * 3600},
                     {"ModificationDate", created + rowid * 7200},
                     {"StoreID", 1},
                     {"guid", db::uuid(rng)}});
        for (const Value& v : p.values) {
            ++uid;
            insertNamed(ab, "ABMultiValue",
                        {{"UID", uid},
                         {"record_id", rowid},
                         {"property", v.property},
                         {"identifier", uid - 1},
                         {"label", idOf(labels, "ABMultiValueLabel", v.label)},
                         {"value", V::opt(v.value)},
                         {"guid", db::uuid(rng)}});
            for (const auto& [key, text] : v.entries)
                insertNamed(ab, "ABMultiValueEntry",
                            {{"parent_id", uid}, {"key", idOf(keys, "ABMultiValueEntryKey", key)}, {"value", text}});
        }
    }
    deletions.inLog();
    ab.commit();
    std::vector<PlantedFile> files;
    for (PlantedFile& f : finishWithLogInto(ab, outDir + "/AddressBook.sqlitedb.building", outDir,
                                            "AddressBook.sqlitedb", "HomeDomain",
                                            "Library/AddressBook/AddressBook.sqlitedb"))
        files.push_back(std::move(f));
    const nlohmann::json gone = deletions.judgedAt(outDir + "/AddressBook.sqlitedb");

    // As on the phone: 8 KiB pages, full auto-vacuum.
    db::DbFile img(outDir + "/AddressBookImages.sqlitedb.building", false, 8192);
    img.exec("PRAGMA auto_vacuum=FULL");
    img.exec(db::schemaText("modern/ios15/AddressBookImages.sqlitedb.sql"));
    img.begin();
    std::int64_t thumbRow = 0;
    // The pictures of the last person who has any stay in the log.
    std::size_t lastPictured = book.size();
    for (std::size_t i = 0; i < book.size(); ++i)
        if (book[i].fullPicture >= 0 || !book[i].thumbnails.empty()) lastPictured = i;
    for (std::size_t i = 0; i < book.size(); ++i) {
        const std::int64_t rowid = static_cast<std::int64_t>(i) + 1;
        if (i == lastPictured) logFromHere(img);
        if (book[i].fullPicture >= 0)
            insertNamed(img, "ABFullSizeImage",
                        {{"ROWID", rowid},
                         {"record_id", rowid},
                         {"crop_x", 0},
                         {"crop_y", 0},
                         {"crop_width", 8},
                         {"data", pictures[static_cast<std::size_t>(book[i].fullPicture)]}});
        int format = 0;
        for (int t : book[i].thumbnails)
            insertNamed(img, "ABThumbnailImage",
                        {{"ROWID", ++thumbRow},
                         {"record_id", rowid},
                         {"format", format++},
                         {"derived_from_format", 0},
                         {"data", pictures[static_cast<std::size_t>(t)]}});
    }
    img.commit();
    for (PlantedFile& f : finishWithLogInto(img, outDir + "/AddressBookImages.sqlitedb.building", outDir,
                                            "AddressBookImages.sqlitedb", "HomeDomain",
                                            "Library/AddressBook/AddressBookImages.sqlitedb"))
        files.push_back(std::move(f));

    nlohmann::json live = nlohmann::json::array(), numbers = nlohmann::json::array();
    for (const Person& p : book) {
        std::string name, company;
        join(name, p.first, true);
        join(name, p.middle, false);
        join(name, p.last, false);
        join(company, p.dept, true);
        join(company, p.job, false);
        join(company, p.org, false);
        std::map<int, std::string> joined;
        nlohmann::json phones = nlohmann::json::array();
        for (const Value& v : p.values) {
            if (v.value && !v.value->empty()) joined[v.property] += " " + *v.value;
            if (v.property == 3 && v.value) phones.push_back(*v.value);
        }
        // The full-size picture, else the largest thumbnail.
        const db::Blob* picture = p.fullPicture >= 0 ? &pictures[static_cast<std::size_t>(p.fullPicture)] : nullptr;
        for (int t : p.thumbnails)
            if (p.fullPicture < 0 && (!picture || pictures[static_cast<std::size_t>(t)].size() > picture->size()))
                picture = &pictures[static_cast<std::size_t>(t)];
        live.push_back({{"rowid", static_cast<int>(live.size()) + 1},
                        {"contactName", name},
                        {"contactPhone", joined[3]},
                        {"contactEmail", joined[4]},
                        {"contactHomepage", joined[22]},
                        {"contactCompany", company},
                        {"contactBirthday", p.birthday.value_or("")},
                        {"contactJobtitle", ""},
                        {"contactNote", p.note.value_or("")},
                        {"contactAdress", joined[5]},
                        {"contactFirstName", p.first.value_or("")},
                        {"contactMiddleName", p.middle.value_or("")},
                        {"contactLastName", p.last.value_or("")},
                        {"imageData", db::bytesJson(picture)},
                        {"bDeleted", 0},
                        {"bSelected", 0}});
        numbers.push_back(std::move(phones));
    }
    truth = {{"live", std::move(live)}, {"phoneNumbers", std::move(numbers)}, {"deleted", gone},
             {"stale", deletions.stale()}};
    return files;
}

}  // namespace salvor::forge::modern
