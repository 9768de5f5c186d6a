// A backup in the iOS 10 and later layout: "Manifest.db" (SQLite, the real
// table layout) lists the files, and each file is stored under
// "<first two hex digits>/<fileID>". Deliberately small: it gives discovery,
// listing and the refusal to scan a realistic folder; the readers of this
// format will grow it.
#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>

#include "forge/content.h"
#include "forge/db_common.h"
#include "forge/encrypt_backup.h"
#include "forge/forge.h"
#include "forge/forge_files.h"

namespace fs = std::filesystem;

namespace salvor::forge {
namespace {

constexpr std::int64_t kFlagFile = 1;
constexpr std::int64_t kFlagDirectory = 2;

using files::dateValue;
using files::PlistPtr;
using files::setString;

std::string hexOf(Rng& rng, std::size_t digits) { return files::hexOf(rng, digits, true); }

struct Row {
    std::string domain;
    std::string path;
    bool directory = false;
    Bytes content;
    bool stored = true;  // false: listed, stored file missing (an interrupted backup)
    std::int64_t mtime = 0;
};

// The "file" column: an NSKeyedArchiver archive of one MBFile object, with
// the keys the published readers take from it. Times are Unix seconds.
Bytes mbFileBlob(const Row& row, std::uint64_t inode) {
    PlistPtr archive(plist_new_dict());
    plist_t a = archive.get();
    setString(a, "$archiver", "NSKeyedArchiver");
    plist_dict_set_item(a, "$version", plist_new_uint(100000));
    plist_t top = plist_new_dict();
    plist_dict_set_item(top, "root", plist_new_uid(1));
    plist_dict_set_item(a, "$top", top);

    plist_t objects = plist_new_array();
    plist_array_append_item(objects, plist_new_string("$null"));
    plist_t file = plist_new_dict();
    plist_dict_set_item(file, "$class", plist_new_uid(3));
    plist_dict_set_item(file, "RelativePath", plist_new_uid(2));
    plist_dict_set_item(file, "Size", plist_new_uint(row.directory ? 0 : row.content.size()));
    plist_dict_set_item(file, "Mode", plist_new_uint(row.directory ? 040755 : 0100644));
    plist_dict_set_item(file, "UserID", plist_new_uint(501));
    plist_dict_set_item(file, "GroupID", plist_new_uint(501));
    plist_dict_set_item(file, "InodeNumber", plist_new_uint(inode));
    plist_dict_set_item(file, "Birth", plist_new_uint(static_cast<std::uint64_t>(row.mtime)));
    plist_dict_set_item(file, "LastModified", plist_new_uint(static_cast<std::uint64_t>(row.mtime)));
    plist_dict_set_item(file, "LastStatusChange", plist_new_uint(static_cast<std::uint64_t>(row.mtime)));
    if (!row.directory) plist_dict_set_item(file, "ProtectionClass", plist_new_uint(3));
    plist_array_append_item(objects, file);
    plist_array_append_item(objects, plist_new_string(row.path.c_str()));
    plist_t cls = plist_new_dict();
    setString(cls, "$classname", "MBFile");
    plist_t classes = plist_new_array();
    plist_array_append_item(classes, plist_new_string("MBFile"));
    plist_array_append_item(classes, plist_new_string("NSObject"));
    plist_dict_set_item(cls, "$classes", classes);
    plist_array_append_item(objects, cls);
    plist_dict_set_item(a, "$objects", objects);
    return serialisePlist(a, true);
}

Bytes manifestDb(const std::vector<Row>& rows, const std::string& scratchDir) {
    db::DbFile db(scratchDir + "/Manifest.db", false);
    // As in the real file: incremental auto-vacuum, user_version 2.
    db.exec("PRAGMA auto_vacuum=INCREMENTAL");
    db.exec(db::schemaText("ios14/Manifest.db.sql"));
    db.exec("PRAGMA user_version=2");
    {
        db::Inserter files(db, "Files");
        std::uint64_t inode = 120000;
        for (const Row& r : rows) {
            const Bytes blob = mbFileBlob(r, ++inode);
            files.insert({storedName(r.domain, r.path), r.domain, r.path, r.directory ? kFlagDirectory : kFlagFile, blob});
        }
    }
    return db.finish();
}

}  // namespace

ForgedBackup forgeModernBackup(const std::string& storeDir, std::uint64_t seed, bool encrypted,
                               const std::string& scratchDir, const EncryptionOptions* encryption) {
    // The same draws whether encrypted or not: the plain backup is the encrypted one's twin.
    Rng rng(seed ^ 0x5DEECE66DULL);
    const std::int64_t backupTime = 1685577600 + static_cast<std::int64_t>(rng.below(90 * 86400));  // mid-2023
    // Devices since 2018 have identifiers of this shape; it names the folder.
    const std::string udid = "00008110-" + hexOf(rng, 16);
    const std::string deviceName = rng.below(2) ? "Lena\xE2\x80\x99s iPhone" : "Omar's iPhone";
    // Appended rather than "F" + text: GCC 12 at -O3 warns falsely (-Wrestrict) on the latter.
    std::string serial = "F";
    serial += hexOf(rng, 11);
    const std::string productVersion = "16.5", build = "20F66", productType = "iPhone14,5";

    std::vector<Row> rows;
    auto dir = [&](const std::string& domain, const std::string& path) {
        rows.push_back(Row{domain, path, true, {}, true, backupTime - static_cast<std::int64_t>(rng.below(86400 * 200))});
    };
    auto file = [&](const std::string& domain, const std::string& path, Bytes content, bool stored = true) {
        rows.push_back(Row{domain, path, false, std::move(content), stored,
                           backupTime - static_cast<std::int64_t>(rng.below(86400 * 200))});
    };
    dir("CameraRollDomain", "Media");
    dir("CameraRollDomain", "Media/DCIM");
    dir("CameraRollDomain", "Media/DCIM/100APPLE");
    file("CameraRollDomain", "Media/DCIM/100APPLE/IMG_0001.JPG", jpegBytes(rng, 1500 + rng.below(1500)));
    file("CameraRollDomain", "Media/DCIM/100APPLE/IMG_0002.MOV", quickTimeBytes(rng, 3000 + rng.below(3000)));
    dir("HomeDomain", "Library");
    dir("HomeDomain", "Library/Preferences");
    file("HomeDomain", "Library/Preferences/com.apple.springboard.plist", plistBytes(rng, "com.apple.springboard"));
    file("HomeDomain", "Library/Preferences/com.apple.gone.plist", plistBytes(rng, "com.apple.gone"), false);

    const std::string folder = storeDir + "/" + udid;
    std::error_code ec;
    fs::remove_all(folder, ec);
    if (!fs::create_directories(folder, ec) || ec)
        throw std::runtime_error("forge: cannot create backup folder " + folder + ": " + ec.message());

    // Manifest.db and the stored files, encrypted at the end when asked.
    nlohmann::json listed = nlohmann::json::array();
    files::writeFileAt(folder + "/Manifest.db", manifestDb(rows, scratchDir), backupTime);
    for (const Row& r : rows) {
        const std::string id = storedName(r.domain, r.path);
        listed.push_back({{"fileID", id}, {"domain", r.domain}, {"relativePath", r.path},
                          {"flags", r.directory ? kFlagDirectory : kFlagFile}, {"stored", !r.directory && r.stored}});
        if (r.directory || !r.stored) continue;
        fs::create_directories(folder + "/" + id.substr(0, 2), ec);
        files::writeFileAt(folder + "/" + id.substr(0, 2) + "/" + id, r.content, r.mtime);
    }

    // The description files are written as the backup finishes, a while after
    // the date it records for itself: their times must not be taken for it.
    const std::int64_t finished = backupTime + 23 * 60;
    const std::string infoSize = files::writeModernDescription(
        {.folder = folder, .deviceName = deviceName, .udid = udid, .serial = serial, .build = build,
         .productType = productType, .productName = "iPhone 13", .version = productVersion,
         .itunesVersion = "12.12.8.2", .appId = "com.example.app", .appVersion = "3.1", .backupTime = backupTime,
         .finished = finished},
        rng);

    nlohmann::json truth = {
        {"folder", udid},
        {"iosMajor", 16},
        {"backup",
         {{"strDeviceName", deviceName},
          {"strDeviceSize", infoSize},
          {"strDeviceBackUpTime", localMinuteText(backupTime)},
          {"strDeviceSerial", serial},
          {"strDeviceType", "iPhone 13"},
          {"strIOSVersion", productVersion},
          {"itunesVersion", "12.12.8.2"},
          {"deviceImage", "iphone"},
          {"backupFormat", "manifest-db"},
          {"bEncrypted", 0}}},
        {"manifestDb", listed},
    };
    ForgedBackup result;
    result.path = folder;
    result.truthPath = storeDir + "/" + udid + ".truth.json";
    result.iosMajor = 16;
    const std::string text = truth.dump(1) + "\n";
    files::writeFileAt(result.truthPath, Bytes(text.begin(), text.end()), finished);
    if (encrypted) encryptForgedBackup(result, encryption ? *encryption : EncryptionOptions{}, seed);
    return result;
}

}  // namespace salvor::forge
