// The "hostile-modern" scenario: backups that try to make the reader look
// outside the backup folder, or that it used to read as if nothing were
// wrong. Each is a copy of a clean forged backup (one of iOS 17, one of
// iOS 6, both kept in the store as references) changed in one way; its
// truth names the change ("hostileCase"), the exit status the scan must end
// with and the words each expected problem holds.
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include "forge/forge.h"
#include "forge/forge_files.h"

namespace salvor::forge {

namespace {

namespace fs = std::filesystem;
using nlohmann::json;


void fail(const std::string& what) { throw std::runtime_error("forge: hostile-modern: " + what); }

// The modern layout's path of a stored file, or the flat one of older backups.
std::string stored(const std::string& backup, const std::string& id, bool modern) {
    return modern ? backup + "/" + id.substr(0, 2) + "/" + id : backup + "/" + id;
}

// Moves `from` to `to` (made with its folders) and leaves a link to it at `from`.
void replaceWithLink(const std::string& from, const std::string& to) {
    fs::create_directories(fs::path(to).parent_path());
    fs::rename(from, to);
    fs::create_symlink(to, from);
}

// Rewrites the Manifest.db `path` in write-ahead-log mode with every row of
// Files only in the log beside it ("Manifest.db-wal"): the main file holds
// the empty table, as a device leaves it when the backup ends before the log
// is folded in.
void moveRowsIntoLog(const std::string& path) {
    const std::string original = path + ".original";
    fs::rename(path, original);
    fs::copy_file(original, path);
    sqlite3* db = nullptr;
    auto exec = [&](const char* sql) {
        char* message = nullptr;
        if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
            const std::string why = message ? message : "failed";
            sqlite3_free(message);
            sqlite3_close(db);
            fail(std::string(sql) + ": " + why);
        }
    };
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) fail("cannot open " + path);
    exec("DELETE FROM Files");
    exec("VACUUM");
    exec("PRAGMA journal_mode=WAL");
    exec("PRAGMA wal_autocheckpoint=0");
    // Closing would fold the log in: that is exactly what must not happen here.
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    const std::string attach = "ATTACH '" + original + "' AS o";
    exec(attach.c_str());
    exec("INSERT INTO Files SELECT * FROM o.Files");
    exec("DETACH o");
    sqlite3_close(db);
    fs::remove(original);
    fs::remove(path + "-shm");
    if (!fs::exists(path + "-wal") || fs::file_size(path + "-wal") == 0) fail("the log was folded in");
}

// A list of lists of words, each the words one problem must hold (written
// out: braces of two texts would make a JSON object).
json said(std::initializer_list<std::initializer_list<const char*>> problems) {
    json out = json::array();
    for (const auto& words : problems) {
        json list = json::array();
        for (const char* w : words) list.push_back(w);
        out.push_back(std::move(list));
    }
    return out;
}

// Paths of the store, as a JSON list.
json paths(std::initializer_list<std::string> list) {
    json out = json::array();
    for (const std::string& p : list) out.push_back(p);
    return out;
}

}  // namespace

std::vector<ForgedBackup> forgeHostileModern(const std::string& storeDir, const ForgeOptions& options) {
    fs::create_directories(storeDir);
    // The two clean backups every case starts from, kept as they are so a test
    // can scan a case and its reference alike.
    ForgeOptions base = options;
    base.encryption.reset();
    base.scenario = "ios17-modern";
    const ForgedBackup modern = forgeStore(storeDir, base).at(0);
    base.scenario = "ios6";
    const ForgedBackup legacy = forgeStore(storeDir, base).at(0);
    const std::string outside = storeDir + "/outside";
    fs::remove_all(outside);
    Rng rng(options.seed ^ 0x5A17C0DEULL);
    const std::string kSms = storedName("HomeDomain", "Library/SMS/sms.db");
    const std::string kPhotos = storedName("CameraRollDomain", "Media/PhotoData/Photos.sqlite");

    std::vector<ForgedBackup> result{modern, legacy};
    auto forge = [&](const std::string& name, const ForgedBackup& from, json truth, auto&& change) {
        const std::string folder =
            storeDir + "/" + storedName("forge-hostile-modern", std::to_string(options.seed) + "/" + name);
        fs::remove_all(folder);
        fs::copy(from.path, folder, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        change(folder);
        truth["hostileCase"] = name;
        truth["folder"] = fs::path(folder).filename().string();
        truth["reference"] = from.path.substr(storeDir.size() + 1);
        ForgedBackup b{folder, folder + ".truth.json", from.iosMajor};
        const std::string text = truth.dump(1) + "\n";
        files::writeFile(b.truthPath, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
        result.push_back(b);
    };
    // "said": every entry is a list of words that one reported problem holds.
    // "outside": files of the store, outside every backup, that nothing may read or copy.

    // The two-digit folder of sms.db is a link to a folder elsewhere holding
    // a readable sms.db; the photo library is a link to a library elsewhere.
    forge("linked-folders", modern,
          {{"exit", 1},
           {"said", said({{"sms.db", "links"}, {"Photos.sqlite", "link"}})},
           {"outside", paths({"outside/linked-folders/" + kSms.substr(0, 2) + "/" + kSms,
                              "outside/linked-folders/Photos.sqlite"})},
           {"noMessages", true},
           {"noPhotoDates", true}},
          [&](const std::string& folder) {
              replaceWithLink(folder + "/" + kSms.substr(0, 2), outside + "/linked-folders/" + kSms.substr(0, 2));
              replaceWithLink(stored(folder, kPhotos, true), outside + "/linked-folders/Photos.sqlite");
          });
    // The file lists themselves as links to lists elsewhere.
    forge("linked-manifest-db", modern,
          {{"exit", 1}, {"said", said({{"Manifest.db", "link"}})}, {"emptyTree", true},
           {"outside", paths({"outside/linked-manifest-db/Manifest.db"})}},
          [&](const std::string& folder) {
              replaceWithLink(folder + "/Manifest.db", outside + "/linked-manifest-db/Manifest.db");
          });
    forge("linked-manifest-mbdb", legacy,
          {{"exit", 1}, {"said", said({{"Manifest.mbdb", "link"}})}, {"emptyTree", true},
           {"outside", paths({"outside/linked-manifest-mbdb/Manifest.mbdb"})}},
          [&](const std::string& folder) {
              replaceWithLink(folder + "/Manifest.mbdb", outside + "/linked-manifest-mbdb/Manifest.mbdb");
          });
    // Every row of Manifest.db only in its log: read as the reference is.
    forge("manifest-in-log", modern, {{"sameAsReference", true}},
          [&](const std::string& folder) { moveRowsIntoLog(folder + "/Manifest.db"); });
    // sms.db of random bytes (iOS 17), and one whose header gives page size 3 (iOS 6).
    forge("random-sms", modern, {{"exit", 1}, {"said", said({{"sms.db", "could not be read"}})}, {"noMessages", true}},
          [&](const std::string& folder) {
              Bytes noise(64 * 1024);
              for (auto& b : noise) b = static_cast<std::uint8_t>(rng.next());
              files::writeFile(stored(folder, kSms, true), noise);
          });
    forge("sms-page-size-3", legacy,
          {{"exit", 1}, {"said", said({{"sms.db", "could not be read", "page size 3"}})}, {"noMessages", true}},
          [&](const std::string& folder) {
              const std::string path = stored(folder, kSms, false);
              const int fd = ::open(path.c_str(), O_WRONLY);
              const unsigned char size[2] = {0x00, 0x03};
              if (fd < 0 || ::pwrite(fd, size, 2, 16) != 2) fail("cannot change " + path);
              ::close(fd);
          });
    // sms.db followed by 1 GiB that was never written (a sparse file, so the
    // store stays small): either carved like the reference or said.
    forge("sms-sparse-tail", legacy,
          {{"exit", 1},
           {"said", said({{"sms.db", "deleted records"}})},
           {"orSameDeletedAsReference", true},
           {"large", true}},
          [&](const std::string& folder) {
              const std::string path = stored(folder, kSms, false);
              const auto size = fs::file_size(path);
              if (::truncate(path.c_str(), static_cast<off_t>(size + (std::uint64_t{1} << 30))) != 0)
                  fail("cannot extend " + path);
          });
    return result;
}

}  // namespace salvor::forge
