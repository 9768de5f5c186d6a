// Deleted records of a backup in the iOS 10 and later format, through the
// command. The forged databases are edited as a phone would edit them (rows
// added, then deleted with their join rows, secure delete off; some deleted
// after the last checkpoint so only the stored log holds them) and `scan
// --json` must list every deleted row whose bytes survive, joined to the
// right address or person, and never a live row as deleted.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "forge/forge.h"
#include "support/support.h"

namespace salvor::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

void exec(sqlite3* db, const std::string& sql) {
    char* error = nullptr;
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "") << ": " << sql;
}

std::string scalar(sqlite3* db, const std::string& sql) {
    sqlite3_stmt* st = nullptr;
    std::string out;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW &&
        sqlite3_column_text(st, 0))
        out = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    sqlite3_finalize(st);
    return out;
}

// A stored database of the backup, edited in a private folder: its stored log
// is folded in first, `edit` runs, then the file goes back. `walEdit` runs
// after that in log mode without a checkpoint, and its log is stored as the
// database's log, as a phone backed up mid-write leaves it.
void editStored(const std::string& backup, const std::string& domain, const std::string& path, const TempDir& work,
                const std::function<void(sqlite3*)>& edit, const std::function<void(sqlite3*)>& walEdit = {}) {
    const std::string name = forge::storedName(domain, path), logName = forge::storedName(domain, path + "-wal");
    const std::string stored = backup + "/" + name.substr(0, 2) + "/" + name;
    const std::string storedLog = backup + "/" + logName.substr(0, 2) + "/" + logName;
    const std::string db = work / "edit.db";
    fs::remove(db);
    fs::remove(db + "-wal");
    fs::copy_file(stored, db);
    if (fs::exists(storedLog)) fs::copy_file(storedLog, db + "-wal");
    sqlite3* c = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &c), SQLITE_OK);
    // The address book's triggers call a function of the phone's own.
    static int serial = 0;
    sqlite3_create_function(
        c, "ab_generate_guid", 0, SQLITE_UTF8, nullptr,
        [](sqlite3_context* ctx, int, sqlite3_value**) {
            const std::string guid = "E2E-GUID-" + std::to_string(++serial);
            sqlite3_result_text(ctx, guid.c_str(), -1, SQLITE_TRANSIENT);
        },
        nullptr, nullptr);
    exec(c, "PRAGMA secure_delete=OFF");
    exec(c, "PRAGMA journal_mode=DELETE");
    edit(c);
    if (walEdit) {
        exec(c, "PRAGMA journal_mode=WAL");
        exec(c, "PRAGMA wal_autocheckpoint=0");
        int off = 0;
        sqlite3_db_config(c, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, &off);
        walEdit(c);
    }
    sqlite3_close(c);
    fs::copy_file(db, stored, fs::copy_options::overwrite_existing);
    if (walEdit) {
        ASSERT_TRUE(fs::exists(storedLog)) << "the forge stores no log for " << path;
        fs::copy_file(db + "-wal", storedLog, fs::copy_options::overwrite_existing);
    } else if (fs::exists(storedLog)) {
        fs::resize_file(storedLog, 0);
    }
}

bool bytesHold(const std::string& file, const std::string& text) {
    return fs::exists(file) && readFile(file).find(text) != std::string::npos;
}

TEST(ModernDeleted, DeletedMessagesAndPersonsComeBackJoinedToTheirOwnAddresses) {
    TempDir dir;
    const auto b = forgeOne(dir, "ios17-modern", 5);
    const std::string smsPath = "Library/SMS/sms.db";
    std::vector<std::string> handles;
    editStored(
        b.path, "HomeDomain", smsPath, dir,
        [&](sqlite3* c) {
            for (int h = 1; h <= 3; ++h) handles.push_back(scalar(c, "SELECT id FROM handle WHERE ROWID = " + std::to_string(h)));
            exec(c, "BEGIN");
            for (int i = 0; i < 40; ++i) {
                const int handle = 1 + i % 3;
                exec(c, "INSERT INTO message (guid, text, handle_id, date, is_from_me, service) VALUES ('E2E-" +
                            std::to_string(i) + "', 'Carved message number " + std::to_string(i) + "', " +
                            std::to_string(handle) + ", " + std::to_string(705000000000000000LL + i * 1000000000LL) +
                            ", " + std::to_string(i % 2) + ", 'iMessage')");
                exec(c, "INSERT INTO chat_message_join (chat_id, message_id) SELECT chat_id, last_insert_rowid() FROM "
                        "chat_handle_join WHERE handle_id = " + std::to_string(handle) + " LIMIT 1");
            }
            exec(c, "COMMIT");
            exec(c, "DELETE FROM chat_message_join WHERE message_id IN (SELECT ROWID FROM message WHERE guid LIKE "
                    "'E2E-%' AND CAST(substr(guid, 5) AS INTEGER) % 2 = 0)");
            exec(c, "DELETE FROM message WHERE guid LIKE 'E2E-%' AND CAST(substr(guid, 5) AS INTEGER) % 2 = 0");
        },
        [&](sqlite3* c) {
            // Written and deleted after the last checkpoint: only the log has them.
            for (int i = 0; i < 3; ++i)
                exec(c, "INSERT INTO message (guid, text, handle_id, date, service) VALUES ('LOG-" + std::to_string(i) +
                            "', 'Only in the log " + std::to_string(i) + "', 1, 706000000000000000, 'SMS')");
            exec(c, "DELETE FROM message WHERE guid LIKE 'LOG-%'");
        });
    ASSERT_EQ(handles.size(), 3u);
    editStored(b.path, "HomeDomain", "Library/AddressBook/AddressBook.sqlitedb", dir, [](sqlite3* c) {
        // Created after everyone else, as the newest person is.
        exec(c, "INSERT INTO ABPerson (First, Last, CreationDate) VALUES ('Zed', 'Carvedperson', "
                "(SELECT max(CreationDate) + 3600 FROM ABPerson))");
        exec(c, "INSERT INTO ABMultiValue (record_id, property, label, value) VALUES (last_insert_rowid(), 3, 1, "
                "'+15550001234')");
        exec(c, "DELETE FROM ABMultiValue WHERE value = '+15550001234'");
        exec(c, "DELETE FROM ABPerson WHERE Last = 'Carvedperson'");
    });
    const auto before = fingerprint(b.path);

    // The forged backup also holds hostile rows, reported as problems (exit 1).
    const auto r = runSalvor({"scan", b.path, "--json"});
    ASSERT_LE(r.exitCode, 1) << r.err;
    const json scan = json::parse(r.out);
    EXPECT_EQ(fingerprint(b.path), before) << "the backup was changed";

    const std::string sms = b.path + "/" + forge::storedName("HomeDomain", smsPath).substr(0, 2) + "/" +
                            forge::storedName("HomeDomain", smsPath);
    std::set<int> listed;
    std::set<std::string> fromLog;
    for (const auto& m : scan["messages"]) {
        const std::string text = m.value("messageContent", std::string());
        if (text.rfind("Only in the log ", 0) == 0) {
            EXPECT_EQ(m["bDeleted"], 1);
            fromLog.insert(text);
            if (m.contains("carvedFrom")) {
                EXPECT_EQ(m["carvedFrom"].get<std::string>().rfind("wal-frame-", 0), 0u);
            }
        }
        if (text.rfind("Carved message number ", 0) != 0) continue;
        const int i = std::stoi(text.substr(22));
        if (i % 2) {
            EXPECT_EQ(m["bDeleted"], 0) << "a live message listed as deleted: " << text;
            continue;
        }
        EXPECT_EQ(m["bDeleted"], 1) << text;
        EXPECT_TRUE(listed.insert(i).second) << "listed twice: " << text;
        // Its own handle's address, never a neighbour's.
        EXPECT_EQ(m["messagePhone"], handles[static_cast<std::size_t>(i % 3)]) << text;
    }
    for (int i = 0; i < 40; i += 2) {
        if (bytesHold(sms, "Carved message number " + std::to_string(i) + "\x02")) {
            EXPECT_TRUE(listed.count(i)) << "missed, though its bytes survive: " << i;
        }
    }
    EXPECT_GE(listed.size(), 10u);
    EXPECT_EQ(fromLog.size(), 3u);

    // The person's row lost its id when it was freed; the id comes back from
    // creation order (ids rise with it, and the deleted number still names
    // the one id no person holds), so the number is joined to its person.
    std::set<std::string> liveNames;
    for (const auto& c : withDeletedFlag(scan["contacts"], false)) liveNames.insert(c.value("contactName", std::string()));
    bool person = false, number = false, personHasNumber = false;
    for (const auto& c : withDeletedFlag(scan["contacts"], true)) {
        const std::string name = c.value("contactName", std::string());
        const bool hasNumber = c.dump().find("+15550001234") != std::string::npos;
        if (name.find("Carvedperson") != std::string::npos) {
            person = true;
            EXPECT_TRUE(hasNumber || c.value("contactPhone", std::string()).empty()) << c.dump();
            personHasNumber = personHasNumber || hasNumber;
        } else if (name == "number without a name") {
            number = number || hasNumber;
        } else {
            EXPECT_FALSE(liveNames.count(name)) << "a live person listed as deleted: " << c.dump();
        }
    }
    EXPECT_TRUE(person);
    EXPECT_TRUE(personHasNumber);
    EXPECT_FALSE(number) << "the number listed apart from its person too";
}

}  // namespace
}  // namespace salvor::test
