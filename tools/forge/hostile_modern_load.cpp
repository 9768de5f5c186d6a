#include "forge/hostile_modern_load.h"

#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "forge/modern_notes.h"

namespace salvor::forge {

namespace fs = std::filesystem;

namespace {

class Connection {
public:
    explicit Connection(const std::string& path) {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
            throw std::runtime_error("forge: cannot open " + path);
    }
    ~Connection() { sqlite3_close(db_); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void exec(const std::string& sql) {
        char* message = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
            const std::string why = message ? message : "?";
            sqlite3_free(message);
            throw std::runtime_error("forge: " + why + " in: " + sql.substr(0, 200));
        }
    }
    // Runs `sql` once per call of `bind`, which binds the parameters.
    void each(const std::string& sql, int times, const std::function<void(sqlite3_stmt*, int)>& bind) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
            throw std::runtime_error(std::string("forge: ") + sqlite3_errmsg(db_));
        for (int i = 0; i < times; ++i) {
            bind(st, i);
            const int rc = sqlite3_step(st);
            sqlite3_reset(st);
            if (rc != SQLITE_DONE) {
                sqlite3_finalize(st);
                throw std::runtime_error(std::string("forge: ") + sqlite3_errmsg(db_));
            }
        }
        sqlite3_finalize(st);
    }
    std::int64_t integer(const std::string& sql) {
        sqlite3_stmt* st = nullptr;
        std::int64_t v = 0;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
            v = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
        return v;
    }

private:
    sqlite3* db_ = nullptr;
};

void copyFile(const std::string& from, const std::string& to) {
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
}

// Changes a database stored in the backup: the stored file and its stored log
// are put together in the scratch folder, changed, and the whole database
// written back, its stored log emptied.
void editStored(const ForgedBackup& b, const std::string& domain, const std::string& path,
                const std::string& scratchDir, const std::function<void(Connection&)>& edit) {
    const std::string id = storedName(domain, path), logId = storedName(domain, path + "-wal");
    const std::string stored = b.path + "/" + id.substr(0, 2) + "/" + id;
    const std::string storedLog = b.path + "/" + logId.substr(0, 2) + "/" + logId;
    if (!fs::is_regular_file(stored)) throw std::runtime_error("forge: no stored " + path);
    const std::string work = scratchDir + "/edit.sqlite";
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) fs::remove(work + suffix);
    copyFile(stored, work);
    const bool withLog = fs::is_regular_file(storedLog);
    if (withLog) copyFile(storedLog, work + "-wal");
    {
        Connection db(work);
        edit(db);
        db.exec("PRAGMA wal_checkpoint(TRUNCATE); PRAGMA journal_mode=DELETE;");
    }
    copyFile(work, stored);
    if (withLog) std::ofstream(storedLog, std::ios::binary | std::ios::trunc);
    fs::remove(work);
}

void setLoadTruth(const ForgedBackup& b, nlohmann::json load) {
    nlohmann::json truth;
    {
        std::ifstream in(b.truthPath);
        in >> truth;
    }
    truth["load"] = std::move(load);
    std::ofstream(b.truthPath, std::ios::trunc) << truth.dump(1) << "\n";
}

// A view whose rows never end, with the given columns (each the row counter),
// and a full-text table of `name` over it: reading the table reads the view
// in row-id order, which sorts rows that never end.
std::string endlessFullText(const std::string& name, const std::vector<std::string>& columns) {
    std::string select, list;
    for (const std::string& c : columns) {
        select += (select.empty() ? "" : ", ") + std::string("printf('%040x', i) AS ") + c;
        list += (list.empty() ? "" : ", ") + c;
    }
    return "CREATE VIEW Endless" + name + " AS WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n) SELECT " +
           select + " FROM n; CREATE VIRTUAL TABLE " + name + " USING fts4(content=\"Endless" + name + "\", " + list +
           ");";
}

}  // namespace

void replaceWithEndlessFullText(const std::string& dbPath, const std::string& table,
                                const std::vector<std::string>& columns, bool respelled) {
    Connection db(dbPath);
    db.exec("DROP TABLE \"" + table + "\";" + endlessFullText(table, columns));
    if (respelled)
        db.exec("PRAGMA writable_schema=ON; UPDATE sqlite_master SET sql = replace(sql, 'CREATE VIRTUAL TABLE', "
                "'create  virtual  table') WHERE name = '" + table + "'; PRAGMA writable_schema=OFF;");
}

std::string loadNoteText() {
    // Just under the largest document a reader inflates (32 MiB), with room
    // for the document's own fields.
    std::string text = "LOAD-NOTE-TEXT ";
    text.resize((std::size_t{32} << 20) - 4096, 'a');
    return text;
}

std::string longMessageText() {
    std::string text = "LONG-MESSAGE-BEGIN ";
    const std::string words = "nothing but words and more words in one message without a line break ";
    const std::size_t size = std::size_t{48} << 20;
    text.reserve(size);
    const std::string end = " LONG-MESSAGE-END";
    while (text.size() + words.size() + end.size() <= size) text += words;
    text.append(size - end.size() - text.size(), '.');
    return text + end;
}

std::vector<std::uint8_t> sharedChildrenArchive(int levels) {
    // Objects: 0 the top dictionary {"$objects": first array, "$top": 3},
    // 1 and 2 its keys, 3 a UTF-16 string, 4.. the arrays, then one integer.
    std::vector<std::vector<std::uint8_t>> objects;
    const auto n = static_cast<std::uint8_t>(4 + levels);  // the integer
    objects.push_back({0xD2, 1, 2, 4, 3});
    objects.push_back({0x58, '$', 'o', 'b', 'j', 'e', 'c', 't', 's'});
    objects.push_back({0x54, '$', 't', 'o', 'p'});
    objects.push_back({0x61, 0x00, 'x'});
    for (int k = 0; k < levels; ++k) {
        const auto child = static_cast<std::uint8_t>(k + 1 < levels ? 5 + k : n);
        objects.push_back({0xA2, child, child});
    }
    objects.push_back({0x10, 0x01});
    std::vector<std::uint8_t> out = {'b', 'p', 'l', 'i', 's', 't', '0', '0'};
    std::vector<std::uint8_t> offsets;
    for (const auto& o : objects) {
        offsets.push_back(static_cast<std::uint8_t>(out.size()));
        out.insert(out.end(), o.begin(), o.end());
    }
    const std::size_t table = out.size();
    out.insert(out.end(), offsets.begin(), offsets.end());
    // Trailer: six unused bytes, offset and reference widths, then object
    // count, top object and offset-table position as 8-byte big-endian numbers.
    std::uint8_t trailer[32] = {};
    trailer[6] = 1;
    trailer[7] = 1;
    trailer[15] = static_cast<std::uint8_t>(objects.size());
    trailer[31] = static_cast<std::uint8_t>(table);
    out.insert(out.end(), trailer, trailer + 32);
    if (out.size() > 255) throw std::runtime_error("forge: archive too large for one-byte offsets");
    return out;
}

std::vector<ForgedBackup> forgeHostileModernLoad(const std::string& storeDir, std::uint64_t seed,
                                                 const std::string& scratchDir, const std::string& onlyCase) {
    std::vector<ForgedBackup> out;
    const auto wanted = [&](const char* name) { return onlyCase.empty() || onlyCase == name; };
    auto next = [&](std::uint64_t k) { return forgeModernScenario(storeDir, seed * 16 + k, 17, false, scratchDir); };
    const std::string manifest = "/Manifest.db";

    if (wanted("files-fts")) {
        ForgedBackup b = next(1);
        replaceWithEndlessFullText(b.path + manifest, "Files", {"fileID", "domain", "relativePath", "flags", "file"});
        setLoadTruth(b, {{"case", "files-fts"}});
        out.push_back(b);
    }
    if (wanted("photos-fts")) {
        ForgedBackup b = next(2);
        editStored(b, "CameraRollDomain", "Media/PhotoData/Photos.sqlite", scratchDir, [](Connection& db) {
            db.exec("DROP TABLE ZASSET;" +
                    endlessFullText("ZASSET", {"ZDIRECTORY", "ZFILENAME", "ZDATECREATED", "ZTRASHEDSTATE"}));
        });
        setLoadTruth(b, {{"case", "photos-fts"}});
        out.push_back(b);
    }
    if (wanted("archives")) {
        ForgedBackup b = next(3);
        const std::vector<std::uint8_t> archive = sharedChildrenArchive(19);
        Connection db(b.path + manifest);
        db.exec("BEGIN");
        db.each("INSERT INTO Files (fileID, domain, relativePath, flags, file) VALUES (?1, 'HomeDomain', ?2, 1, ?3)",
                kLoadArchiveRows, [&](sqlite3_stmt* st, int i) {
                    const std::string path = "Library/Load/file-" + std::to_string(i);
                    const std::string id = storedName("HomeDomain", path);
                    sqlite3_bind_text(st, 1, id.c_str(), -1, SQLITE_TRANSIENT);
                    sqlite3_bind_text(st, 2, path.c_str(), -1, SQLITE_TRANSIENT);
                    sqlite3_bind_blob(st, 3, archive.data(), static_cast<int>(archive.size()), SQLITE_TRANSIENT);
                });
        db.exec("COMMIT");
        setLoadTruth(b, {{"case", "archives"}, {"rows", kLoadArchiveRows}, {"archiveBytes", archive.size()}});
        out.push_back(b);
    }
    if (wanted("notes")) {
        ForgedBackup b = next(4);
        const std::vector<std::uint8_t> body = noteBodyBlob(loadNoteText());
        editStored(b, "AppDomainGroup-group.com.apple.notes", "NoteStore.sqlite", scratchDir, [&](Connection& db) {
            // Each added note is a copy of a live note with a body, under a
            // new key, title and body.
            const std::int64_t model = db.integer(
                "SELECT o.Z_PK FROM ZICCLOUDSYNCINGOBJECT o JOIN ZICNOTEDATA d ON d.ZNOTE = o.Z_PK "
                "WHERE ifnull(o.ZMARKEDFORDELETION, 0) = 0 AND ifnull(o.ZISPASSWORDPROTECTED, 0) = 0 "
                "ORDER BY o.Z_PK LIMIT 1");
            const std::int64_t firstNote = db.integer("SELECT max(Z_PK) FROM ZICCLOUDSYNCINGOBJECT") + 1;
            const std::int64_t firstData = db.integer("SELECT max(Z_PK) FROM ZICNOTEDATA") + 1;
            db.exec("BEGIN; CREATE TEMP TABLE o AS SELECT * FROM ZICCLOUDSYNCINGOBJECT WHERE Z_PK = " +
                    std::to_string(model) + "; CREATE TEMP TABLE d AS SELECT * FROM ZICNOTEDATA WHERE ZNOTE = " +
                    std::to_string(model) + " LIMIT 1;");
            for (int i = 0; i < kLoadNotes; ++i) {
                const std::int64_t note = firstNote + i, data = firstData + i;
                db.each("UPDATE temp.o SET Z_PK = ?1, ZTITLE1 = ?2, ZIDENTIFIER = ?3", 1, [&](sqlite3_stmt* st, int) {
                    sqlite3_bind_int64(st, 1, note);
                    const std::string title = "Load note " + std::to_string(i + 1);
                    sqlite3_bind_text(st, 2, title.c_str(), -1, SQLITE_TRANSIENT);
                    const std::string identifier = "LOAD-NOTE-" + std::to_string(i + 1);
                    sqlite3_bind_text(st, 3, identifier.c_str(), -1, SQLITE_TRANSIENT);
                });
                db.exec("INSERT INTO main.ZICCLOUDSYNCINGOBJECT SELECT * FROM temp.o");
                db.each("UPDATE temp.d SET Z_PK = ?1, ZNOTE = ?2, ZDATA = ?3", 1, [&](sqlite3_stmt* st, int) {
                    sqlite3_bind_int64(st, 1, data);
                    sqlite3_bind_int64(st, 2, note);
                    sqlite3_bind_blob(st, 3, body.data(), static_cast<int>(body.size()), SQLITE_TRANSIENT);
                });
                db.exec("INSERT INTO main.ZICNOTEDATA SELECT * FROM temp.d");
            }
            db.exec("COMMIT; DROP TABLE temp.o; DROP TABLE temp.d;");
        });
        setLoadTruth(b, {{"case", "notes"}, {"notes", kLoadNotes}, {"bodyBytes", body.size()},
                         {"textBytes", loadNoteText().size()}});
        out.push_back(b);
    }
    if (wanted("message")) {
        ForgedBackup b = next(5);
        const std::string text = longMessageText();
        editStored(b, "HomeDomain", "Library/SMS/sms.db", scratchDir, [&](Connection& db) {
            db.each("UPDATE message SET text = ?1, attributedBody = NULL WHERE ROWID = "
                    "(SELECT min(ROWID) FROM message WHERE text IS NOT NULL AND text <> '')",
                    1, [&](sqlite3_stmt* st, int) {
                        sqlite3_bind_text(st, 1, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
                    });
        });
        setLoadTruth(b, {{"case", "message"}, {"textBytes", text.size()}});
        out.push_back(b);
    }
    return out;
}

}  // namespace salvor::forge
