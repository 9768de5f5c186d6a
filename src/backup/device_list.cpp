#include "backup/device_list.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string_view>

#include "core/helpers.h"
#include "platform/log.h"
#include "platform/plist.h"

namespace salvor {

namespace fs = std::filesystem;

namespace {

// Case-insensitive (ASCII) search for `needle` anywhere in `text`.
bool containsNoCase(std::string_view text, std::string_view needle) {
    auto eq = [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    };
    return std::search(text.begin(), text.end(), needle.begin(), needle.end(), eq) != text.end();
}

// A time as "YYYY-MM-DD HH:MM" in local time; empty when unknown.
std::string backupTimeText(std::time_t t) {
    std::tm tm {};
    if (!localtime_r(&t, &tm)) return {};
    char buf[64];
    if (std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &tm) == 0) return {};
    return buf;
}

// True when the folder holds at least two entries (hidden ones count).
bool hasTwoEntries(const std::string& folder) {
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    int n = 0;
    for (; !ec && it != fs::directory_iterator(); it.increment(ec))
        if (++n >= 2) return true;
    return false;
}

// Manifest.plist's "IsEncrypted": a boolean, tolerated as an integer.
std::uint8_t encryptedFlag(const plist::Node& manifestDict) {
    const plist::Node v = manifestDict.get("IsEncrypted");
    if (const auto b = v.asBool()) return *b ? 1 : 0;
    if (const auto n = v.asInteger()) return *n != 0 ? 1 : 0;
    return 0;
}

std::string loginName() {
    if (const passwd* pw = ::getpwuid(::geteuid()); pw && pw->pw_name && *pw->pw_name) return pw->pw_name;
    for (const char* var : {"LOGNAME", "USER"})
        if (const char* v = std::getenv(var); v && *v) return v;
    return {};
}

bool isBlank(const Text& text) {
    if (!text) return true;
    return std::all_of(text->begin(), text->end(), [](unsigned char c) { return std::isspace(c) != 0; });
}

}  // namespace

void nameAfterFolderIfUnnamed(MVIOSDeviceNode& node, const std::string& folderPath) {
    if (!isBlank(node.strDeviceName)) return;
    std::string name = fs::path(folderPath).filename().string();
    if (name.empty()) name = fs::path(folderPath).parent_path().filename().string();
    node.strDeviceName = name.empty() ? std::string("Backup") : name;
}

bool MVIOSDeviceController::addDeviceNodeByPath(const std::string& folderPath) {
    std::error_code ec;
    if (!fs::exists(folderPath, ec)) {
        log::line("Filepath is not exist");
        return false;
    }
    if (!hasTwoEntries(folderPath)) return false;

    // Status.plist is part of a backup too but describes nothing shown here.
    const std::string infoPath = folderPath + "/Info.plist";
    const std::string manifestPath = folderPath + "/Manifest.plist";
    const plist::Document info = plist::Document::fromFile(infoPath);
    const plist::Node infoDict = info.rootDict();
    // Manifest.plist is read in every case: it alone says whether the backup is encrypted.
    const plist::Document manifest = plist::Document::fromFile(manifestPath);
    const plist::Node manifestDict = manifest.rootDict();
    plist::Node source;
    std::string timeSource;
    bool fromInfo = false;
    if (infoDict) {
        source = infoDict;
        timeSource = infoPath;
        fromInfo = true;
    } else {
        if (!manifestDict) return false;
        source = manifestDict.dict("Lockdown");
        if (!source) return false;
        timeSource = manifestPath;
    }

    auto entry = std::make_shared<MVIOSDeviceNode>();
    // A missing key leaves its field absent.
    entry->strDeviceName = source.string(fromInfo ? "Device Name" : "DeviceName");
    entry->strDeviceSerial = source.string(fromInfo ? "Serial Number" : "SerialNumber");
    entry->strDeviceType = GetDevcieType(source.string(fromInfo ? "Product Type" : "ProductType"));
    entry->strIOSVersion = source.string(fromInfo ? "Product Version" : "ProductVersion");
    entry->itunesVersion = source.string(fromInfo ? "iTunes Version" : "BuildVersion");

    struct stat st {};
    const bool haveStat = ::stat(timeSource.c_str(), &st) == 0;
    if (fromInfo) entry->strDeviceSize = std::to_string(haveStat ? static_cast<long long>(st.st_size) : 0LL);
    // The date the backup recorded for itself; the file's time is a fallback
    // (copying a backup folder changes it).
    const std::optional<double> recorded = fromInfo ? infoDict.get("Last Backup Date").asDateUnix() : std::nullopt;
    if (recorded && std::isfinite(*recorded))
        entry->strDeviceBackUpTime = backupTimeText(static_cast<std::time_t>(std::floor(*recorded)));
    else if (haveStat)
        entry->strDeviceBackUpTime = backupTimeText(st.st_mtime);
    entry->backupFormat = detectBackupFormat(folderPath);
    entry->bEncrypted = manifestDict ? encryptedFlag(manifestDict) : 0;

    if (isBlank(entry->strDeviceName)) {
        const Text display = source.string(fromInfo ? "Display Name" : "DisplayName");
        const Text product = source.string(fromInfo ? "Product Type" : "ProductType");
        // The model's name ("iPhone 5") only when the backup names its product.
        if (!isBlank(display)) entry->strDeviceName = display;
        else if (!isBlank(product)) entry->strDeviceName = isBlank(entry->strDeviceType) ? product : entry->strDeviceType;
    }
    nameAfterFolderIfUnnamed(*entry, folderPath);

    static constexpr std::array<std::string_view, 3> kTabletNames = {"Ipad1", "Ipad2", "NewIpad"};
    const std::string& type = textOrEmpty(entry->strDeviceType);
    const bool tablet = std::find(kTabletNames.begin(), kTabletNames.end(), type) != kTabletNames.end();
    entry->deviceImage = tablet ? "ipad" : "iphone";
    entry->backUpFilePath = folderPath;
    arrangedObjects.push_back(std::move(entry));
    return true;
}

Text MVIOSDeviceController::GetDevcieType(const Text& productType) {
    struct Row {
        std::string_view pattern;
        const char* name;
    };
    // First hit wins; the search is for a substring, so "iPhone5,2" is an iPhone 5.
    static constexpr std::array<Row, 14> kModels = {{
        {"iPhone1,1", "iPhone"},
        {"iPhone1,2", "iPhone3G"},
        {"iPhone2,1", "iPhone3GS"},
        {"iPhone3,1", "iPhone 4"},
        {"iPhone3,3", "iPhone 4"},
        {"iPhone4,1", "iPhone 4S"},
        {"iPhone5", "iPhone 5"},
        {"iPod1,1", "iPodTouch"},
        {"iPod2,1", "iPodTouch2G"},
        {"iPod3,1", "IpodTouch3G"},
        {"iPod4,1", "iPodTouch4G"},
        {"iPad1,1", "iPad 1"},
        {"iPad2,1", "iPad 2"},
        {"iPad3", "NewiPad"},
    }};
    if (!productType || productType->empty()) return std::string("iPhone");
    for (const Row& row : kModels)
        if (containsNoCase(*productType, row.pattern)) return std::string(row.name);
    return std::nullopt;
}

void MVIOSDeviceController::getSystemVersionMajor(int& major, int& minor, int& bugFix) {
    major = 10;
    minor = 0;
    bugFix = 0;
}

std::string defaultBackupStore() {
    if (const char* store = std::getenv("SALVOR_BACKUP_STORE"); store && *store) return store;
    return "/Users/" + loginName() + "/Library/Application Support/MobileSync/Backup";
}

void showIphoneDisk(MVIOSDeviceController& list, const std::string& storeDir) {
    list.removeAll();
    // Names are sorted: the file system gives no order of its own, and a list
    // in name order is the same on every run.
    std::vector<std::string> names;
    std::error_code ec;
    fs::directory_iterator it(storeDir, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (!name.empty() && name[0] != '.') names.push_back(std::move(name));
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) list.addDeviceNodeByPath(storeDir + "/" + name);
}

BackupFormat detectBackupFormat(const std::string& folderPath) {
    std::error_code ec;
    // A folder reused across an upgrade to iOS 10 may still hold the old
    // Manifest.mbdb, whose records point at files that have moved: the newer
    // manifest is the one that describes the backup.
    if (fs::exists(folderPath + "/Manifest.db", ec)) return BackupFormat::ManifestDb;
    if (fs::exists(folderPath + "/Manifest.mbdb", ec)) return BackupFormat::Mbdb;
    return BackupFormat::None;
}

void describeBackupFormat(MVIOSDeviceNode& node, const std::string& folderPath) {
    node.backupFormat = detectBackupFormat(folderPath);
    const plist::Document manifest = plist::Document::fromFile(folderPath + "/Manifest.plist");
    const plist::Node manifestDict = manifest.rootDict();
    node.bEncrypted = manifestDict ? encryptedFlag(manifestDict) : 0;
}

std::optional<std::string> whyBackupCannotBeScanned(const MVIOSDeviceNode&) {
    // Both formats are read, encrypted or not (an encrypted one with its password).
    return std::nullopt;
}

std::string backupFormatNote(const MVIOSDeviceNode& node) {
    return node.bEncrypted ? "encrypted: needs its password" : "";
}

std::string backupFormatText(BackupFormat format) {
    switch (format) {
    case BackupFormat::ManifestDb: return "iOS 10+ (Manifest.db)";
    case BackupFormat::Mbdb: return "iOS 4-9 (Manifest.mbdb)";
    case BackupFormat::None: break;
    }
    return "unknown";
}

}  // namespace salvor
