#include "forge/other_writer_backup.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

#include <sqlite3.h>

#include "forge/forge.h"
#include "forge/modern_safari.h"

namespace salvor::forge {

namespace {

std::string quoted(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// The stored name Manifest.db gives a file, or empty when it lists none.
std::string manifestId(const std::string& backup, const std::string& domain, const std::string& path) {
    sqlite3* db = nullptr;
    // Read-only and immutable: nothing is written beside the backup's manifest.
    const std::string uri = "file:" + backup + "/Manifest.db?immutable=1";
    std::string id;
    if (sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT fileID FROM Files WHERE domain = ?1 AND relativePath = ?2", -1, &st,
                               nullptr) == SQLITE_OK) {
            sqlite3_bind_text(st, 1, domain.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(st, 2, path.c_str(), -1, SQLITE_TRANSIENT);
            if (sqlite3_step(st) == SQLITE_ROW && sqlite3_column_text(st, 0))
                id = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return id;
}

// The forge's backup of `scenario` under `dir`/store, then the second
// writer's databases and truth in `written`.
std::vector<ForgedBackup> forgeThenWrite(const std::string& dir, std::uint64_t seed, const std::string& scenario,
                                         int iosMajor, const std::string& script, const std::string& schemas,
                                         const std::string& written) {
    ForgeOptions options;
    options.seed = seed;
    options.scenario = scenario;
    auto backups = forgeStore(dir + "/store", options);
    if (backups.empty()) throw std::runtime_error("the forge wrote no backup");
    const std::string command = "python3 " + quoted(script) + " --seed " + std::to_string(seed) + " --ios " +
                                std::to_string(iosMajor) + " --schemas " + quoted(schemas) + " --out " + quoted(written);
    if (std::system(command.c_str()) != 0) throw std::runtime_error("the second writer failed: " + command);
    return backups;
}

}  // namespace

OtherWriterBackup forgeOtherWriterModernBackup(const std::string& dir, std::uint64_t seed, int iosMajor,
                                               const std::string& script, const std::string& schemas) {
    namespace fs = std::filesystem;
    const std::string written = dir + "/other";
    const auto backups = forgeThenWrite(dir, seed, iosMajor >= 17 ? "ios17-modern" : "ios15-modern", iosMajor, script,
                                        schemas, written);

    const std::string backup = backups.front().path;
    struct Replaced {
        const char* file;
        const char* domain;
        const char* path;
    };
    std::vector<Replaced> files = {
        {"sms.db", "HomeDomain", "Library/SMS/sms.db"},
        {"AddressBook.sqlitedb", "HomeDomain", "Library/AddressBook/AddressBook.sqlitedb"},
        {"NoteStore.sqlite", "AppDomainGroup-group.com.apple.notes", "NoteStore.sqlite"},
        {"History.db", "AppDomain-com.apple.mobilesafari", "Library/Safari/History.db"},
    };
    // The forge keeps the call log on iOS 17 only, and so does the writer.
    if (iosMajor >= 17) files.push_back({"CallHistory.storedata", "HomeDomain", "Library/CallHistoryDB/CallHistory.storedata"});
    for (const Replaced& r : files)
        for (const std::string suffix : {"", "-wal"}) {
            // The log replaces the forge's too: the forge's frames would be
            // read over the new file.
            const std::string id = manifestId(backup, r.domain, r.path + suffix);
            if (id.size() < 2) throw std::runtime_error("the forged backup lists no " + std::string(r.path) + suffix);
            fs::copy_file(fs::path(written) / (r.file + suffix), fs::path(backup) / id.substr(0, 2) / id,
                          fs::copy_options::overwrite_existing);
        }

    nlohmann::json truth;
    {
        std::ifstream in(backups.front().truthPath);
        truth = nlohmann::json::parse(in);
    }
    nlohmann::json mine;
    {
        std::ifstream in(written + "/truth.json");
        mine = nlohmann::json::parse(in);
    }
    for (const char* category : {"messages", "contacts", "notes", "calls"})
        if (mine.contains(category)) truth[category] = mine[category];
    // The forge's conversations were made of its own messages.
    truth.erase("conversations");
    // Safari's records: the forge's bookmarks (Bookmarks.db stays), written
    // again without a history to get their truth alone (with the seed the
    // scenario gives its category databases), then the writer's history.
    nlohmann::json bookmarks;
    fs::create_directories(dir + "/bookmarks");
    modern::writeModernSafari(dir + "/bookmarks", iosMajor, seed * 1000003ULL + static_cast<std::uint64_t>(iosMajor),
                              bookmarks, false);
    for (const auto& row : bookmarks["deleted"]) {
        const auto& forged = truth["bookmarks"]["deleted"];
        if (std::find(forged.begin(), forged.end(), row) == forged.end())
            throw std::runtime_error("the bookmarks written again differ from the forged backup's");
    }
    for (const char* part : {"live", "deleted", "stale"})
        for (const auto& row : mine["history"][part]) bookmarks[part].push_back(row);
    truth["bookmarks"] = bookmarks;
    return {backup, truth};
}

OtherWriterBackup forgeOtherWriterBackup(const std::string& dir, std::uint64_t seed, int iosMajor,
                                         const std::string& script, const std::string& schemas) {
    namespace fs = std::filesystem;
    const std::string written = dir + "/other";
    const auto backups = forgeThenWrite(dir, seed, iosMajor >= 7 ? "ios7" : "ios6", iosMajor, script, schemas, written);

    // Each database under the stored name the forge gave it; the call history
    // lives in the home domain on iOS 4 and the wireless domain later.
    struct Replaced {
        const char* file;
        std::vector<std::pair<const char*, const char*>> places;
    };
    const std::vector<Replaced> files = {
        {"AddressBook.sqlitedb", {{"HomeDomain", "Library/AddressBook/AddressBook.sqlitedb"}}},
        {"sms.db", {{"HomeDomain", "Library/SMS/sms.db"}}},
        {"call_history.db",
         {{"WirelessDomain", "Library/CallHistory/call_history.db"}, {"HomeDomain", "Library/CallHistory/call_history.db"}}},
        {"notes.sqlite", {{"HomeDomain", "Library/Notes/notes.sqlite"}}},
    };
    const std::string backup = backups.front().path;
    for (const Replaced& r : files) {
        bool done = false;
        for (const auto& [domain, path] : r.places) {
            const fs::path target = fs::path(backup) / storedName(domain, path);
            if (!fs::exists(target)) continue;
            fs::copy_file(fs::path(written) / r.file, target, fs::copy_options::overwrite_existing);
            // A write-ahead log the forge kept beside its file would be folded
            // into the new one: it is emptied, which SQLite ignores.
            const fs::path log = fs::path(backup) / storedName(domain, std::string(path) + "-wal");
            if (fs::exists(log)) std::ofstream(log, std::ios::trunc);
            done = true;
            break;
        }
        if (!done) throw std::runtime_error(std::string("the forged backup holds no ") + r.file);
    }
    std::ifstream in(written + "/truth.json");
    return {backup, nlohmann::json::parse(in)};
}

}  // namespace salvor::forge
