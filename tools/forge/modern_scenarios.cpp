// Backups of the iOS 10 and later layout as iOS 12, 15 and 17 devices leave
// them: Manifest.db from the real table layout with one MBFile archive per
// row, stored files under two-hex-digit folders, the camera roll described by
// the photo library of the nearest known layout (some items in "Recently
// Deleted"), the category databases (messages with their attachments, notes,
// the address book and its pictures, calendar, Safari's bookmarks and
// history, and on one generation the call log), social-application files,
// and rows a reader must refuse: stored names that leave the folder or are
// not names at all, paths that climb out of their domain, missing stored
// files and unreadable archives.
#include <fcntl.h>
#include <plist/plist.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>

#include "forge/content.h"
#include "forge/db_common.h"
#include "forge/forge.h"
#include "forge/forge_files.h"
#include "forge/modern_calendar.h"
#include "forge/modern_calls.h"
#include "forge/modern_category.h"
#include "forge/modern_contacts.h"
#include "forge/modern_db.h"
#include "forge/modern_notes.h"
#include "forge/modern_safari.h"
#include "forge/modern_sms.h"

namespace fs = std::filesystem;

namespace salvor::forge {
namespace {

constexpr std::int64_t kFlagFile = 1, kFlagDirectory = 2, kFlagLink = 4;

using files::dateValue;
using files::hexOf;
using files::PlistPtr;
using files::setString;

struct Generation {
    int major;
    const char* version;
    const char* build;
    const char* productType;
    const char* photoSchema;  // the nearest known photo library layout
    const char* assetTable;
    int assetEntity;
    std::int64_t releasedAt;  // Unix time of the version's release: backups follow it
};

const Generation kGenerations[] = {
    {12, "12.4.1", "16G102", "iPhone10,4", "ios11/Photos.sqlite.sql", "ZGENERICASSET", 33, 1566172800},
    {15, "15.7.2", "19H218", "iPhone13,2", "ios18/Photos.sqlite.sql", "ZASSET", 3, 1670889600},
    {17, "17.3.1", "21D61", "iPhone15,2", "ios18/Photos.sqlite.sql", "ZASSET", 3, 1707350400},
};

// One row of Files and what the folder holds for it.
struct Row {
    std::string fileId;  // empty: the SHA-1 name
    std::string domain;
    std::string path;
    std::int64_t flags = kFlagFile;
    Bytes content;
    bool stored = true;
    std::int64_t mtime = 0;
    std::string target;  // links
    enum class Archive { Normal, Null, Garbage } archive = Archive::Normal;
    // Hostile rows: a reader must leave them out of everything it reports.
    bool refused = false;
    // Camera-roll items: the library's facts.
    bool inLibrary = false;
    double created = 0;  // seconds since 2001
    bool trashed = false;
    bool bench = false;  // a benchmark row: not in the truth
    // Live Photos: the picture names its film; the film is listed with it.
    std::string liveFilm;  // the film's path, on the picture's row
    bool isLiveFilm = false;
};

// The MBFile archive. The root sits at another place of the object table on
// every other generation, so that only a reader that follows "$top" finds it.
Bytes mbFileBlob(const Row& row, std::uint64_t inode, bool rootLast) {
    PlistPtr archive(plist_new_dict());
    plist_t a = archive.get();
    setString(a, "$archiver", "NSKeyedArchiver");
    plist_dict_set_item(a, "$version", plist_new_uint(100000));
    const bool link = row.flags == kFlagLink, dir = row.flags == kFlagDirectory;
    // Object table: $null, then the class, the path, the link target, the file.
    const std::uint64_t fileAt = rootLast ? (link ? 4 : 3) : 1;
    const std::uint64_t classAt = rootLast ? 1 : 2, pathAt = rootLast ? 2 : 3, targetAt = rootLast ? 3 : 4;
    plist_t top = plist_new_dict();
    plist_dict_set_item(top, "root", plist_new_uid(fileAt));
    plist_dict_set_item(a, "$top", top);

    plist_t file = plist_new_dict();
    plist_dict_set_item(file, "$class", plist_new_uid(classAt));
    plist_dict_set_item(file, "RelativePath", plist_new_uid(pathAt));
    if (link) plist_dict_set_item(file, "Target", plist_new_uid(targetAt));
    plist_dict_set_item(file, "Size", plist_new_uint(dir || link ? 0 : row.content.size()));
    plist_dict_set_item(file, "Mode", plist_new_uint(dir ? 040755 : link ? 0120755 : 0100644));
    plist_dict_set_item(file, "UserID", plist_new_uint(501));
    plist_dict_set_item(file, "GroupID", plist_new_uint(501));
    plist_dict_set_item(file, "InodeNumber", plist_new_uint(inode));
    plist_dict_set_item(file, "Birth", plist_new_uint(static_cast<std::uint64_t>(row.mtime)));
    plist_dict_set_item(file, "LastModified", plist_new_uint(static_cast<std::uint64_t>(row.mtime)));
    plist_dict_set_item(file, "LastStatusChange", plist_new_uint(static_cast<std::uint64_t>(row.mtime)));
    plist_dict_set_item(file, "Flags", plist_new_uint(0));
    if (!dir) plist_dict_set_item(file, "ProtectionClass", plist_new_uint(link ? 0 : 3));

    plist_t cls = plist_new_dict();
    setString(cls, "$classname", "MBFile");
    plist_t classes = plist_new_array();
    plist_array_append_item(classes, plist_new_string("MBFile"));
    plist_array_append_item(classes, plist_new_string("NSObject"));
    plist_dict_set_item(cls, "$classes", classes);

    plist_t objects = plist_new_array();
    plist_array_append_item(objects, plist_new_string("$null"));
    if (!rootLast) plist_array_append_item(objects, file);
    plist_array_append_item(objects, cls);
    plist_array_append_item(objects, plist_new_string(row.path.c_str()));
    if (link) plist_array_append_item(objects, plist_new_string(row.target.c_str()));
    if (rootLast) plist_array_append_item(objects, file);
    plist_dict_set_item(a, "$objects", objects);
    return serialisePlist(a, true);
}

// The library, its last two assets only in its log (Photos.sqlite-wal).
db::FileAndLog photoLibrary(const Generation& g, const std::vector<Row>& rows, Rng& rng,
                            const std::string& scratchDir) {
    db::DbFile db(scratchDir + "/Photos.sqlite", false);
    db.exec("PRAGMA auto_vacuum=INCREMENTAL");
    db.exec(db::schemaText(g.photoSchema));
    const std::string sql = std::string("INSERT INTO ") + g.assetTable +
                            " (Z_PK, Z_ENT, Z_OPT, ZDIRECTORY, ZFILENAME, ZDATECREATED, ZTRASHEDSTATE, ZTRASHEDDATE, "
                            "ZKIND, ZUUID) VALUES (?, ?, 1, ?, ?, ?, ?, ?, ?, ?)";
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db.handle(), sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
        throw std::runtime_error(std::string("forge: photo library: ") + sqlite3_errmsg(db.handle()));
    db.begin();
    int pk = 0;
    const auto assets = std::count_if(rows.begin(), rows.end(), [](const Row& r) { return r.inLibrary; });
    for (const Row& r : rows) {
        if (!r.inLibrary) continue;
        if (pk == assets - 2) {
            db.commit();
            sqlite3_reset(st);
            db::startLog(db);
            db.begin();
        }
        const std::size_t slash = r.path.rfind('/');
        const std::string directory = r.path.substr(6, slash - 6);  // after "Media/"
        const std::string name = r.path.substr(slash + 1);
        sqlite3_reset(st);
        sqlite3_bind_int(st, 1, ++pk);
        sqlite3_bind_int(st, 2, g.assetEntity);
        sqlite3_bind_text(st, 3, directory.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 4, name.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_double(st, 5, r.created);
        sqlite3_bind_int(st, 6, r.trashed ? 1 : 0);
        if (r.trashed) sqlite3_bind_double(st, 7, r.created + 86400.0 * 3);
        else sqlite3_bind_null(st, 7);
        sqlite3_bind_int(st, 8, mediaKind(r.path) == 1 ? 1 : 0);
        const std::string uuid = hexOf(rng, 8, true) + "-" + hexOf(rng, 4, true) + "-" + hexOf(rng, 4, true) + "-" +
                                 hexOf(rng, 4, true) + "-" + hexOf(rng, 12, true);
        sqlite3_bind_text(st, 9, uuid.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(st) != SQLITE_DONE)
            throw std::runtime_error(std::string("forge: photo library: ") + sqlite3_errmsg(db.handle()));
    }
    sqlite3_finalize(st);
    db.commit();
    return db::finishWithLog(db, scratchDir + "/Photos.sqlite");
}

bool isSocial(const std::string& domain) {
    return domain == "AppDomain-com.facebook.Facebook" || domain == "AppDomain-com.facebook.Messenger" ||
           domain == "AppDomain-com.atebits.Tweetie2";
}

bool isKept(const std::string& domain) {
    return domain == "CameraRollDomain" || domain == "MediaDomain" || domain == "HomeDomain" || isSocial(domain);
}

// "IMG_0042.JPG": the camera's four-digit counter.
std::string imageName(int number, const std::string& ext) {
    char name[32];
    std::snprintf(name, sizeof name, "IMG_%04d.", number % 10000);
    return name + ext;
}

std::string lastOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

Bytes fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("forge: cannot read " + path);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What a locked note shows instead of its text.
constexpr const char* kLockedNote = "[Locked note: protected by a password, content not decrypted]";

// The category databases of one backup, with their truth under the keys the
// older scenarios use: each category {"live": [...], "deleted": [...]} with
// the records as `scan --json` writes them. Deleted records here are the
// ones the phone itself keeps as recently deleted, exact and complete.
struct Categories {
    struct File {
        std::string domain, path;
        Bytes content;
    };
    std::vector<File> files;
    nlohmann::json truth;
};

Categories categoryDatabases(int iosMajor, std::uint64_t seed, const std::string& scratchDir, bool withEncryptedOnlyData) {
    const std::string dir = scratchDir + "/categories";
    std::error_code ec;
    fs::remove_all(dir, ec);
    fs::create_directories(dir, ec);
    if (ec) throw std::runtime_error("forge: cannot create " + dir + ": " + ec.message());
    Categories out;
    auto plant = [&](const std::vector<modern::PlantedFile>& files) {
        for (const auto& f : files) out.files.push_back({f.domain, f.relativePath, fileBytes(f.localFile)});
    };
    nlohmann::json contacts, calendar, safari, calls, sms, notes;
    plant(modern::writeModernContacts(dir, iosMajor, seed, contacts));
    plant(modern::writeModernCalendar(dir, iosMajor, seed, calendar));
    plant(modern::writeModernSafari(dir, iosMajor, seed, safari, true));
    if (iosMajor >= 15) {
        // Newer systems list the history under Safari's own domain.
        for (auto& f : out.files)
            if (f.path == "Library/Safari/History.db" || f.path == "Library/Safari/History.db-wal")
                f.domain = "AppDomain-com.apple.mobilesafari";
    }
    // iOS keeps the call log only in encrypted backups; one generation holds
    // it all the same so that its reader is followed through, the others
    // show what a scan says when it is not there, unless every generation is
    // asked to hold it (as an encrypted backup and its plain twin then do).
    const bool withCalls = iosMajor == 17 || withEncryptedOnlyData;
    if (withCalls) plant(modern::writeModernCalls(dir, iosMajor, seed, contacts, calls));

    const ModernDbResult messages = writeModernSms(dir + "/sms.db", iosMajor, seed, sms, &contacts);
    for (const auto& f : messages.files) out.files.push_back({f.domain, f.relativePath, f.content});
    const ModernDbResult noteStore = writeModernNotes(dir + "/NoteStore.sqlite", iosMajor, seed, notes);
    for (const auto& f : noteStore.files) out.files.push_back({f.domain, f.relativePath, f.content});

    // Messages: the attachment as the path of its stored file.
    auto messageRecords = [](nlohmann::json list) {
        for (auto& m : list) {
            const nlohmann::json stored = m["attachmentStoredName"];
            m.erase("attachmentStoredName");
            m["attachmentPath"] = stored.is_string() ? nlohmann::json(stored.get<std::string>().substr(0, 2) + "/" +
                                                                      stored.get<std::string>())
                                                     : nlohmann::json(nullptr);
        }
        return list;
    };
    const nlohmann::json live = messageRecords(sms["messages"]);
    const nlohmann::json deletedMessages = messageRecords(sms["deletedMessages"]);
    // Conversations as the messages fall into them, in row order: a group is
    // one conversation whoever wrote, the others go by address (no address of
    // this backup contains another). A recently deleted message stays in its
    // chat's conversation ("deletedMembers"), which is live when it has a
    // live message; row order is date order here.
    std::vector<std::pair<std::int64_t, std::pair<bool, std::size_t>>> byRow;
    for (std::size_t i = 0; i < live.size(); ++i) byRow.push_back({live[i]["rowId"].get<std::int64_t>(), {false, i}});
    for (std::size_t i = 0; i < deletedMessages.size(); ++i)
        byRow.push_back({deletedMessages[i]["rowId"].get<std::int64_t>(), {true, i}});
    std::sort(byRow.begin(), byRow.end());
    nlohmann::json conversations = nlohmann::json::array();
    std::map<std::string, std::size_t> conversationOf;
    for (const auto& [row, which] : byRow) {
        const auto [deleted, i] = which;
        const nlohmann::json& m = deleted ? deletedMessages[i] : live[i];
        const bool group = m["groupAddress"].is_string();
        const std::string key = group ? "group\n" + m["groupAddress"].get<std::string>() + "\n" +
                                            m["groupName"].get<std::string>()
                                      : "one\n" + m["messagePhone"].get<std::string>();
        auto it = conversationOf.find(key);
        if (it == conversationOf.end()) {
            it = conversationOf.emplace(key, conversations.size()).first;
            conversations.push_back({{"messageTreeNodeName", group ? m["groupName"] : m["messageName"]},
                                     {"messageTreeNodeAdress", group ? m["groupAddress"] : m["messagePhone"]},
                                     {"members", nlohmann::json::array()},
                                     {"deletedMembers", nlohmann::json::array()},
                                     {"bSelected", 0},
                                     {"bdeleted", 1}});
        }
        nlohmann::json& c = conversations[it->second];
        c[deleted ? "deletedMembers" : "members"].push_back(i);
        if (!deleted) c["bdeleted"] = 0;
    }
    nlohmann::json liveConversations = nlohmann::json::array();
    for (const auto& c : conversations)
        if (c["bdeleted"] == 0) liveConversations.push_back(c);
    nlohmann::json lockedNotes = nlohmann::json::array();
    auto noteRecords = [&](nlohmann::json list) {
        for (auto& n : list) {
            if (n["locked"].get<bool>()) {
                n["noteContent"] = kLockedNote;
                lockedNotes.push_back(n["uid"]);
            }
            n.erase("locked");
        }
        return list;
    };
    // "recentlyDeleted": what the phone keeps as recently deleted, records
    // exactly as a scan lists them. "deleted": the rows deleted for good, as
    // the carving judges read them, each with whether its bytes were left
    // ("recoverable"); "stale": the older versions of edited rows.
    const auto category = [](const nlohmann::json& live, const nlohmann::json& recent, const nlohmann::json& gone,
                             const nlohmann::json& stale) {
        return nlohmann::json{{"live", live},
                              {"recentlyDeleted", recent},
                              {"deleted", gone.is_array() ? gone : nlohmann::json::array()},
                              {"stale", stale.is_array() ? stale : nlohmann::json::array()}};
    };
    const nlohmann::json none = nlohmann::json::array();
    out.truth = {
        {"contacts", category(contacts["live"], none, contacts["deleted"], contacts["stale"])},
        {"messages", category(live, deletedMessages, sms["carvedMessages"], sms["staleMessages"])},
        {"conversations", {{"live", std::move(liveConversations)}}},
        {"notes", category(noteRecords(notes["notes"]), noteRecords(notes["deletedNotes"]), notes["carvedNotes"],
                           notes["staleNotes"])},
        {"lockedNotes", lockedNotes},
        {"calendar", category(calendar["live"], none, calendar["deleted"], calendar["stale"])},
        {"bookmarks", category(safari["live"], none, safari["deleted"], safari["stale"])},
        {"calls", withCalls ? category(calls["live"], none, calls["deleted"], calls["stale"])
                            : category(none, none, none, none)},
        {"callHistoryInBackup", withCalls},
    };
    // Offloaded attachments: named by the database, neither listed nor stored.
    nlohmann::json absent = nlohmann::json::array();
    for (const auto& [domain, path] : messages.absent) absent.push_back({{"domain", domain}, {"path", path}});
    out.truth["absentAttachments"] = std::move(absent);
    fs::remove_all(dir, ec);
    return out;
}

}  // namespace

ForgedBackup forgeModernScenario(const std::string& storeDir, std::uint64_t seed, int iosMajor, bool unfinished,
                                 const std::string& scratchDir, std::uint64_t extraFiles, bool withEncryptedOnlyData) {
    const Generation* gen = nullptr;
    for (const Generation& g : kGenerations)
        if (g.major == iosMajor) gen = &g;
    if (!gen) throw std::runtime_error("forge: no modern generation iOS " + std::to_string(iosMajor));
    Rng rng(seed * 0x9E3779B97F4A7C15ULL + static_cast<std::uint64_t>(iosMajor) * 7919 + (unfinished ? 1 : 0));
    const std::int64_t backupTime = gen->releasedAt + 86400 + static_cast<std::int64_t>(rng.below(120 * 86400));
    const std::string udid = "0000" + std::to_string(8000 + iosMajor * 10) + "-" + hexOf(rng, 16, true);
    const std::string deviceName = std::string(rng.below(2) ? "Ines" : "Tomasz") + "\xE2\x80\x99s iPhone";
    std::string serial = "G";
    serial += hexOf(rng, 11, true);

    std::vector<Row> rows;
    auto when = [&] { return backupTime - static_cast<std::int64_t>(rng.below(86400 * 300)); };
    auto dir = [&](const std::string& domain, const std::string& path) {
        Row r;
        r.domain = domain;
        r.path = path;
        r.flags = kFlagDirectory;
        r.stored = false;
        r.mtime = when();
        rows.push_back(std::move(r));
    };
    auto file = [&](const std::string& domain, const std::string& path, Bytes content) -> Row& {
        Row r;
        r.domain = domain;
        r.path = path;
        r.content = std::move(content);
        r.mtime = when();
        rows.push_back(std::move(r));
        return rows.back();
    };

    dir("CameraRollDomain", "Media");
    dir("CameraRollDomain", "Media/DCIM");
    dir("CameraRollDomain", "Media/PhotoData");
    // The camera roll: pictures and films over two folders, the library
    // knowing most of them, some trashed.
    const char* const kExt[] = {"JPG", "PNG", "MOV", "JPG", "MP4", "JPG", "JPG", "MOV"};
    int number = 100 + static_cast<int>(rng.below(800));
    for (int folder = 100; folder <= 101; ++folder) {
        const std::string base = "Media/DCIM/" + std::to_string(folder) + "APPLE";
        dir("CameraRollDomain", base);
        for (int i = 0; i < 5; ++i) {
            const std::string ext = kExt[rng.below(8)];
            Bytes content = ext == "PNG"   ? pngBytes(rng, 800 + rng.below(1200))
                            : ext == "JPG" ? jpegBytes(rng, 1200 + rng.below(2400))
                                           : quickTimeBytes(rng, 3000 + rng.below(4000), ext == "MP4" ? "mp42" : "qt  ");
            Row& r = file("CameraRollDomain", base + "/" + imageName(++number, ext), std::move(content));
            r.inLibrary = !(folder == 101 && i == 4);  // one the library does not know
            // Taken during the year before the backup; a fraction of a second, as the library stores it.
            r.created = static_cast<double>(backupTime - db::kEpoch2001 - static_cast<std::int64_t>(rng.below(86400 * 365))) +
                        0.25 + static_cast<double>(rng.below(700)) / 1000.0;
            r.trashed = r.inLibrary && (i == 1 || (folder == 101 && i == 3));
        }
    }
    // Today's camera: a HEIC picture, recently deleted, and a Live Photo (a
    // HEIC picture and the QuickTime film of the same name beside it). The
    // bytes only need the file type box: nothing here decodes them.
    {
        const std::string base = "Media/DCIM/100APPLE/";
        const double taken = static_cast<double>(backupTime - db::kEpoch2001 - 86400 * 3) + 0.5;
        Row& heic = file("CameraRollDomain", base + imageName(++number, "HEIC"),
                         quickTimeBytes(rng, 1500 + rng.below(1500), "heic"));
        heic.inLibrary = true;
        heic.created = taken;
        heic.trashed = true;
        const int live = ++number;
        Row& still = file("CameraRollDomain", base + imageName(live, "HEIC"),
                          quickTimeBytes(rng, 1500 + rng.below(1500), "heic"));
        still.inLibrary = true;
        still.created = taken + 60;
        still.liveFilm = base + imageName(live, "MOV");
        const std::string film = still.liveFilm;
        file("CameraRollDomain", film, quickTimeBytes(rng, 2000 + rng.below(2000))).isLiveFilm = true;
    }
    // A picture listed but not stored (an interrupted backup).
    file("CameraRollDomain", "Media/DCIM/101APPLE/" + imageName(++number, "JPG"), jpegBytes(rng, 900)).stored = false;
    file("CameraRollDomain", "Media/PhotoData/Photos.sqlite", {});  // filled below
    file("CameraRollDomain", "Media/PhotoData/Photos.sqlite-wal", {});
    // A thumbnail of the library: a file of the tree, not a photo.
    dir("CameraRollDomain", "Media/PhotoData/Thumbnails");
    dir("CameraRollDomain", "Media/PhotoData/Thumbnails/V2");
    file("CameraRollDomain", "Media/PhotoData/Thumbnails/V2/DCIM/100APPLE/" + imageName(number, "JPG") + "/5005.JPG",
         jpegBytes(rng, 300));

    dir("HomeDomain", "Library");
    dir("HomeDomain", "Library/Preferences");
    file("HomeDomain", "Library/Preferences/com.apple.springboard.plist", plistBytes(rng, "com.apple.springboard"));
    file("HomeDomain", "Library/Preferences/com.apple.gone.plist", plistBytes(rng, "com.apple.gone")).stored = false;
    {
        Row link;
        link.domain = "HomeDomain";
        link.path = "Library/Preferences/current.plist";
        link.flags = kFlagLink;
        link.stored = false;
        link.target = "/var/mobile/Library/Preferences/com.apple.springboard.plist";
        link.mtime = when();
        rows.push_back(std::move(link));
    }
    dir("AppDomain-com.facebook.Messenger", "Library");
    dir("AppDomain-com.facebook.Messenger", "Library/Caches");
    file("AppDomain-com.facebook.Messenger", "Library/Caches/thread.db", sqliteBytes(rng, scratchDir, "threads"));
    file("AppDomain-com.facebook.Messenger", "Library/Caches/avatar.jpg", jpegBytes(rng, 600));
    dir("AppDomainGroup-group.com.example.shared", "Library");
    file("AppDomainGroup-group.com.example.shared", "Library/settings.plist", plistBytes(rng, "com.example.shared"));
    // The category databases and the attachments they refer to, each under
    // the folders the phone lists for it.
    const Categories categories =
        categoryDatabases(iosMajor, seed * 1000003ULL + static_cast<std::uint64_t>(iosMajor), scratchDir,
                          withEncryptedOnlyData);
    {
        std::set<std::pair<std::string, std::string>> listed;
        for (const Row& r : rows)
            if (r.flags == kFlagDirectory) listed.emplace(r.domain, r.path);
        for (const auto& f : categories.files) {
            for (std::size_t slash = f.path.find('/'); slash != std::string::npos; slash = f.path.find('/', slash + 1))
                if (listed.emplace(f.domain, f.path.substr(0, slash)).second) dir(f.domain, f.path.substr(0, slash));
            file(f.domain, f.path, f.content);
        }
    }
    // Rows that are listed and stored but whose archive says nothing usable.
    file("HomeDomain", "Library/Preferences/com.apple.null.plist", plistBytes(rng, "com.apple.null")).archive =
        Row::Archive::Null;
    file("HomeDomain", "Library/Preferences/com.apple.noise.plist", plistBytes(rng, "com.apple.noise")).archive =
        Row::Archive::Garbage;

    // Hostile rows, each with a stored file where the rule would put one.
    auto hostile = [&](const std::string& id, const std::string& domain, const std::string& path) {
        Row& r = file(domain, path, jpegBytes(rng, 700));
        r.fileId = id;
        r.refused = true;
    };
    // Forty characters, like a real name, but climbing out of the folder.
    hostile("../../../../../../../../../../tmp/" + hexOf(rng, 6, false), "CameraRollDomain",
            "Media/DCIM/100APPLE/IMG_9001.JPG");
    hostile(hexOf(rng, 40, true), "CameraRollDomain", "Media/DCIM/100APPLE/IMG_9002.JPG");
    hostile(hexOf(rng, 39, false), "CameraRollDomain", "Media/DCIM/100APPLE/IMG_9003.JPG");
    hostile("", "CameraRollDomain", "Media/DCIM/../../../../../../tmp/IMG_9004.JPG");
    hostile("", "HomeDomain", "/etc/IMG_9005.JPG");
    hostile("", "..", "Media/IMG_9006.JPG");

    for (std::uint64_t i = 0; i < extraFiles; ++i) {
        Row r;
        r.domain = i % 3 == 0 ? "AppDomain-com.example.notes" : "HomeDomain";
        r.path = "Library/Caches/bench/" + std::to_string(i / 500) + "/item-" + std::to_string(i) + ".dat";
        r.stored = false;
        r.bench = true;
        r.mtime = backupTime - static_cast<std::int64_t>(i % 86400);
        rows.push_back(std::move(r));
    }
    for (Row& r : rows)
        if (r.fileId.empty()) r.fileId = storedName(r.domain, r.path);

    // The photo library and its log go into their own rows.
    db::FileAndLog library = photoLibrary(*gen, rows, rng, scratchDir);
    for (Row& r : rows) {
        if (r.path == "Media/PhotoData/Photos.sqlite") r.content = library.database;
        if (r.path == "Media/PhotoData/Photos.sqlite-wal") r.content = library.log;
    }

    const std::string folder = storeDir + "/" + udid;
    std::error_code ec;
    fs::remove_all(folder, ec);
    if (!fs::create_directories(folder, ec) || ec)
        throw std::runtime_error("forge: cannot create backup folder " + folder + ": " + ec.message());

    {
        db::DbFile db(scratchDir + "/Manifest.db", false);
        db.exec("PRAGMA auto_vacuum=INCREMENTAL");
        db.exec(db::schemaText("ios14/Manifest.db.sql"));
        db.exec("PRAGMA user_version=2");
        db.begin();
        {
            db::Inserter files(db, "Files");
            std::uint64_t inode = 400000 + rng.below(100000);
            for (const Row& r : rows) {
                Bytes blob;
                if (r.archive == Row::Archive::Normal) blob = mbFileBlob(r, ++inode, iosMajor != 15);
                if (r.archive == Row::Archive::Garbage) {
                    blob = Bytes{'b', 'p', 'l', 'i', 's', 't', '0', '0'};
                    blob.resize(60);
                    fillRandom(rng, blob.data() + 8, blob.size() - 8);
                }
                files.insert({r.fileId, r.domain, r.path, r.flags,
                              r.archive == Row::Archive::Null ? db::V() : db::V(blob)});
            }
        }
        db.commit();
        files::writeFileAt(folder + "/Manifest.db", db.finish(), backupTime);
    }

    // Stored files; a hostile ID is given its file only where it stays inside the folder.
    for (const Row& r : rows) {
        if (r.flags != kFlagFile || !r.stored) continue;
        if (r.fileId.size() < 2 || r.fileId.find('/') != std::string::npos) continue;
        fs::create_directories(folder + "/" + r.fileId.substr(0, 2), ec);
        files::writeFileAt(folder + "/" + r.fileId.substr(0, 2) + "/" + r.fileId, r.content, r.mtime);
    }

    const std::int64_t finished = backupTime + 17 * 60;
    const std::string infoSize = files::writeModernDescription(
        {.folder = folder, .deviceName = deviceName, .udid = udid, .serial = serial, .build = gen->build,
         .productType = gen->productType, .productName = "iPhone", .version = gen->version,
         .itunesVersion = "12.13.1.3", .appId = "com.facebook.Messenger", .appVersion = "441.0",
         .backupTime = backupTime, .finished = finished, .withIccid = true,
         .snapshotState = unfinished ? "uploading" : "finished",
         .systemDomainsVersion = iosMajor >= 15 ? "24.0" : "22.0", .manifestVersion = "10.0", .statusVersion = "3.3"},
        rng);

    // What the manifest stage must report, in Files order.
    nlohmann::json manifest = nlohmann::json::array(), photos = nlohmann::json::array(),
                   social = nlohmann::json::array(), refused = nlohmann::json::array();
    int missing = 0, undescribed = 0;
    for (const Row& r : rows) {
        if (r.bench) continue;
        if (r.refused) {
            refused.push_back({{"fileID", r.fileId}, {"domain", r.domain}, {"path", r.path}});
            continue;
        }
        const std::string stored = r.fileId.substr(0, 2) + "/" + r.fileId;
        const bool exists = r.flags == kFlagFile && r.stored;
        const std::uint64_t size = exists ? r.content.size() : 0;
        if (r.flags == kFlagFile && !r.stored) ++missing;
        if (r.archive != Row::Archive::Normal) ++undescribed;
        manifest.push_back({{"domain", r.domain},
                            {"path", r.path},
                            {"kind", r.flags == kFlagDirectory ? "directory" : r.flags == kFlagLink ? "link" : "file"},
                            {"storedName", stored},
                            {"size", size},
                            {"stored", exists}});
        if (!isKept(r.domain)) continue;
        const int kind = mediaKind(r.path);
        const bool cameraRollItem =
            r.path.rfind("Media/DCIM/", 0) == 0 || r.path.rfind("Media/PhotoData/CPLAssets/", 0) == 0;
        if (kind >= 0 && (r.domain != "CameraRollDomain" || cameraRollItem) && !r.isLiveFilm) {
            nlohmann::json p = {{"fileNodeName", lastOf(r.path)}, {"filePath", stored},  {"bmov", kind},
                                {"fileSizeNumber", size},        {"fileNodeSize", sizeText(size)},
                                {"bDeleted", r.trashed ? 1 : 0}, {"fileCreateDate", nullptr},
                                {"livePhotoVideoPath", nullptr}};
            if (r.inLibrary)
                p["fileCreateDate"] = db::dateText(static_cast<std::int64_t>(r.created), 1);
            if (!r.liveFilm.empty()) {
                const std::string filmId = storedName(r.domain, r.liveFilm);
                p["livePhotoVideoPath"] = filmId.substr(0, 2) + "/" + filmId;
            }
            photos.push_back(std::move(p));
        }
        if (isSocial(r.domain) && exists)
            social.push_back({{"faceTwitterFileName", lastOf(r.path)}, {"faceTwitterFilePath", stored},
                              {"fileSize", sizeText(size)}, {"FileSizeNumber", size}});
    }

    nlohmann::json truth = {
        {"folder", udid},
        {"iosMajor", iosMajor},
        {"backup",
         {{"strDeviceName", deviceName},
          {"strDeviceSize", infoSize},
          {"strDeviceBackUpTime", localMinuteText(backupTime)},
          {"strDeviceSerial", serial},
          {"strIOSVersion", gen->version},
          {"itunesVersion", "12.13.1.3"},
          {"backupFormat", "manifest-db"},
          {"bEncrypted", 0}}},
        {"snapshotFinished", !unfinished},
        {"manifest", manifest},
        {"photos", photos},
        {"social", social},
        {"refused", refused},
        {"missingStored", missing},
        {"undescribed", undescribed},
    };
    truth.update(categories.truth);
    ForgedBackup result;
    result.path = folder;
    result.truthPath = storeDir + "/" + udid + ".truth.json";
    result.iosMajor = iosMajor;
    const std::string text = truth.dump(1) + "\n";
    files::writeFileAt(result.truthPath, Bytes(text.begin(), text.end()), finished);
    return result;
}

}  // namespace salvor::forge
