#include "forge/modern_notes.h"

#include <zlib.h>

#include <stdexcept>

#include "forge/db_common.h"
#include "forge/modern_db.h"
#include "forge/modern_deletions.h"

namespace salvor::forge {

using namespace db;

namespace {

void putVarint(Blob& b, std::uint64_t v) {
    while (v >= 0x80) {
        b.push_back(static_cast<std::uint8_t>(v | 0x80));
        v >>= 7;
    }
    b.push_back(static_cast<std::uint8_t>(v));
}

// A length-delimited field: key (number, wire type 2), length, bytes.
void putField(Blob& b, std::uint32_t number, const Blob& payload) {
    putVarint(b, (number << 3) | 2);
    putVarint(b, payload.size());
    b.insert(b.end(), payload.begin(), payload.end());
}

void putVarintField(Blob& b, std::uint32_t number, std::uint64_t v) {
    putVarint(b, number << 3);
    putVarint(b, v);
}

Blob gzip(const Blob& raw) {
    z_stream zs{};
    if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("forge: deflateInit2");
    Blob out(deflateBound(&zs, raw.size()) + 32);
    zs.next_in = const_cast<Bytef*>(raw.data());
    zs.avail_in = static_cast<uInt>(raw.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    if (rc != Z_STREAM_END) throw std::runtime_error("forge: deflate");
    return out;
}

std::uint64_t utf16Units(const std::string& s) {
    std::uint64_t n = 0;
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c & 0xC0) != 0x80) n += c >= 0xF0 ? 2 : 1;
    }
    return n;
}

struct Layout {
    const char* schema;
    const char* account;   // a note's account column
    const char* created;   // a note's creation date column
    std::int64_t entAccount, entFolder, entNote, entNoteData;
};

}  // namespace

Blob noteBodyBlob(const std::string& text) {
    Blob run;
    putVarintField(run, 1, utf16Units(text));
    Blob note;
    putField(note, 2, Blob(text.begin(), text.end()));
    putField(note, 5, run);
    Blob document;
    putVarintField(document, 1, 0);
    putVarintField(document, 2, 0);
    putField(document, 3, note);
    Blob proto;
    putVarintField(proto, 1, 0);
    putField(proto, 2, document);
    return gzip(proto);
}

ModernDbResult writeModernNotes(const std::string& outPath, int iosMajor, std::uint64_t seed, nlohmann::json& truth) {
    Rng rng(seed);
    // Each store numbers its object kinds itself.
    const Layout layout = iosMajor <= 12 ? Layout{"modern/ios11/NoteStore.sqlite.sql", "ZACCOUNT2", "ZCREATIONDATE1", 8, 10, 9, 12}
                                         : Layout{"modern/ios17/NoteStore.sqlite.sql", "ZACCOUNT7", "ZCREATIONDATE3", 13, 14, 11, 18};
    DbFile db(outPath + ".build", false, 4096);
    // As on the phone: incremental auto-vacuum.
    db.exec("PRAGMA auto_vacuum=INCREMENTAL");
    db.begin();
    db.exec(schemaText(layout.schema));
    for (const auto& [ent, name] : std::vector<std::pair<std::int64_t, const char*>>{
             {layout.entAccount, "ICAccount"}, {layout.entFolder, "ICFolder"}, {layout.entNote, "ICNote"},
             {layout.entNoteData, "ICNoteData"}})
        insertNamed(db, "Z_PRIMARYKEY", {{"Z_ENT", ent}, {"Z_NAME", name}, {"Z_SUPER", 0}, {"Z_MAX", 20}});

    const std::string accountName = "iCloud";
    insertNamed(db, "ZICCLOUDSYNCINGOBJECT",
                {{"Z_PK", 1}, {"Z_ENT", layout.entAccount}, {"Z_OPT", 1}, {"ZNAME", accountName}, {"ZIDENTIFIER", uuid(rng)}});
    struct FolderDef {
        std::int64_t pk;
        std::string title;
        int type;
    };
    const std::vector<FolderDef> folders{{2, "Notes", 0}, {3, "Work \xF0\x9F\x92\xBC", 0}, {4, "Recently Deleted", 1}};
    for (const FolderDef& f : folders)
        insertNamed(db, "ZICCLOUDSYNCINGOBJECT", {{"Z_PK", f.pk}, {"Z_ENT", layout.entFolder}, {"Z_OPT", 1},
                                                  {"ZTITLE2", f.title}, {"ZFOLDERTYPE", f.type}, {"ZIDENTIFIER", uuid(rng)}});

    std::string longText = "Long note\n";
    while (longText.size() < 5000) longText += "Paragraph with enough words to need a two-byte length. ";
    struct NoteDef {
        std::string title, text;
        std::int64_t folder;
        bool locked = false, marked = false, body = true;
    };
    const std::vector<NoteDef> notes{
        {"Shopping list", "Shopping list\nMilk\nEggs \xF0\x9F\xA5\x9A", 2},
        {"Long note", longText, 3},
        {"Bank codes", "never readable", 2, true},
        {"Old idea", "Old idea\nthat went to the bin", 4, false, true},
        {"Emptied", "", 4, false, true, false},
        {"Pending purge", "Pending purge\nstill in its folder", 2, false, true},
        {"Newest", "Newest\nwritten just before the backup", 3},
    };
    // The last notes stay in the log (NoteStore.sqlite-wal), not yet moved
    // into the file when the phone was backed up.
    const std::size_t logFrom = notes.size() - 2;

    nlohmann::json live = nlohmann::json::array(), deleted = nlohmann::json::array();
    std::int64_t pk = 10, dataPk = 0;
    double when = 690000000.25 + static_cast<double>(rng.range(0, 1000000));

    // Notes deleted for good (the bin emptied), each with its body row;
    // keys past the live ones.
    const std::int64_t gonePast = 100;
    double goneWhen = when;
    Rng goneRng(seed ^ 0xDE1E7EDULL);  // apart, so that the live rows stay as they were
    modern::DeletionPlan deletionPlan;
    deletionPlan.seed = seed;
    deletionPlan.incrementalVacuum = true;
    deletionPlan.runLength = 40;
    deletionPlan.insert = [&](int index, bool padded) {
        const std::int64_t key = gonePast + index;
        goneWhen += static_cast<double>(goneRng.range(600, 9000));
        const std::string title = "Trip to " + modern::plantedName(index);
        std::string text = title + "\nPack the charger";
        if (padded)
            text += "\nBook the ferry, ask about the bikes, print the tickets, water the plants, "
                    "leave the key with the neighbours and cancel the paper for the week";
        const Blob body = noteBodyBlob(text);
        insertNamed(db, "ZICNOTEDATA",
                    {{"Z_PK", key}, {"Z_ENT", layout.entNoteData}, {"Z_OPT", 1}, {"ZNOTE", key}, {"ZDATA", body}});
        insertNamed(db, "ZICCLOUDSYNCINGOBJECT",
                    {{"Z_PK", key},
                     {"Z_ENT", layout.entNote},
                     {"Z_OPT", 2},
                     {"ZTITLE1", title},
                     {"ZFOLDER", 2 + index % 2},
                     {layout.account, 1},
                     {layout.created, goneWhen},
                     {"ZMODIFICATIONDATE1", goneWhen + 60},
                     {"ZNOTEDATA", key},
                     {"ZISPASSWORDPROTECTED", 0},
                     {"ZMARKEDFORDELETION", 0},
                     {"ZIDENTIFIER", uuid(goneRng)}});
        modern::DoomedRow row;
        row.row = {{"Z_PK", key}, {"ZTITLE", title}, {"dateText", dateText(static_cast<std::int64_t>(goneWhen + 60), 1)},
                   {"noteContent", text}};
        row.partMarks = {{"noteRecoverable", title}, {"bodyRecoverable", std::string(body.begin(), body.end())}};
        return row;
    };
    deletionPlan.erase = [&](int index) {
        const std::string key = std::to_string(gonePast + index);
        db.exec("DELETE FROM ZICNOTEDATA WHERE Z_PK = " + key);
        db.exec("DELETE FROM ZICCLOUDSYNCINGOBJECT WHERE Z_PK = " + key);
    };
    // A renamed note: the file holds the first title, the log the final one.
    deletionPlan.draft = [&] { db.exec("UPDATE ZICCLOUDSYNCINGOBJECT SET ZTITLE1 = 'Shoping list' WHERE ZTITLE1 = 'Shopping list'"); };
    deletionPlan.settle = [&] { db.exec("UPDATE ZICCLOUDSYNCINGOBJECT SET ZTITLE1 = 'Shopping list' WHERE ZTITLE1 = 'Shoping list'"); };
    deletionPlan.stale = {{"ZTITLE", "Shoping list"}};
    modern::Deletions deletions(db, deletionPlan);

    for (const NoteDef& n : notes) {
        if (static_cast<std::size_t>(pk - 10) == logFrom) {
            deletions.inFile();
            db.commit();
            startLog(db);
            db.begin();
        }
        ++pk;
        when += static_cast<double>(rng.range(600, 90000));
        const double modified = when + 3600;
        std::optional<std::int64_t> dataRow;
        if (n.body) {
            dataRow = ++dataPk;
            const Blob body = n.locked ? randomBytes(rng, 160) : noteBodyBlob(n.text);
            insertNamed(db, "ZICNOTEDATA", {{"Z_PK", *dataRow}, {"Z_ENT", layout.entNoteData}, {"Z_OPT", 1},
                                            {"ZNOTE", pk}, {"ZDATA", body}});
        }
        insertNamed(db, "ZICCLOUDSYNCINGOBJECT",
                    {{"Z_PK", pk},
                     {"Z_ENT", layout.entNote},
                     {"Z_OPT", 3},
                     {"ZTITLE1", n.title},
                     {"ZFOLDER", n.folder},
                     {layout.account, 1},
                     {layout.created, when},
                     {"ZMODIFICATIONDATE1", modified},
                     {"ZNOTEDATA", dataRow ? V(*dataRow) : V()},
                     {"ZISPASSWORDPROTECTED", n.locked ? 1 : 0},
                     {"ZMARKEDFORDELETION", n.marked ? 1 : 0},
                     {"ZIDENTIFIER", uuid(rng)}});
        const FolderDef& folder = folders[static_cast<std::size_t>(n.folder - 2)];
        nlohmann::json t = {{"uid", pk},
                            {"noteTitle", n.title},
                            {"noteContent", n.locked ? nlohmann::json(nullptr) : nlohmann::json(n.text)},
                            {"noteDate", dateText(static_cast<std::int64_t>(modified), 1)},
                            {"noteFolder", folder.title},
                            {"noteAccount", accountName},
                            {"locked", n.locked},
                            {"bDeleted", n.marked || folder.type == 1 ? 1 : 0}};
        (n.marked || folder.type == 1 ? deleted : live).push_back(std::move(t));
    }
    deletions.inLog();
    db.commit();
    ModernDbResult result;
    FileAndLog written = finishWithLog(db, outPath + ".build");
    const nlohmann::json gone = deletions.judged(written.database, written.log);
    writeBytes(outPath, written.database);
    writeBytes(outPath + "-wal", written.log);
    result.files.push_back({"AppDomainGroup-group.com.apple.notes", "NoteStore.sqlite", std::move(written.database)});
    result.files.push_back({"AppDomainGroup-group.com.apple.notes", "NoteStore.sqlite-wal", std::move(written.log)});
    truth = {{"notes", live}, {"deletedNotes", deleted}, {"carvedNotes", gone}, {"staleNotes", deletions.stale()}};
    return result;
}

}  // namespace salvor::forge
