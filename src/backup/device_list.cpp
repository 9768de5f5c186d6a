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

namespace {

struct ModelName {
    std::string_view productType;
    const char* name;
};

// Every product type of the phones, tablets and music players that make
// backups, by its exact text. The oldest types keep the display names the
// list has always shown ("iPhone3GS", "iPodTouch2G", "NewiPad"); the others
// carry the name the maker sells the model under.
constexpr ModelName kModelNames[] = {
    {"iPhone1,1", "iPhone"},
    {"iPhone1,2", "iPhone3G"},
    {"iPhone2,1", "iPhone3GS"},
    {"iPhone3,1", "iPhone 4"},
    {"iPhone3,2", "iPhone 4"},
    {"iPhone3,3", "iPhone 4"},
    {"iPhone4,1", "iPhone 4S"},
    {"iPhone5,1", "iPhone 5"},
    {"iPhone5,2", "iPhone 5"},
    {"iPhone5,3", "iPhone 5c"},
    {"iPhone5,4", "iPhone 5c"},
    {"iPhone6,1", "iPhone 5s"},
    {"iPhone6,2", "iPhone 5s"},
    {"iPhone7,1", "iPhone 6 Plus"},
    {"iPhone7,2", "iPhone 6"},
    {"iPhone8,1", "iPhone 6s"},
    {"iPhone8,2", "iPhone 6s Plus"},
    {"iPhone8,4", "iPhone SE"},
    {"iPhone9,1", "iPhone 7"},
    {"iPhone9,2", "iPhone 7 Plus"},
    {"iPhone9,3", "iPhone 7"},
    {"iPhone9,4", "iPhone 7 Plus"},
    {"iPhone10,1", "iPhone 8"},
    {"iPhone10,2", "iPhone 8 Plus"},
    {"iPhone10,3", "iPhone X"},
    {"iPhone10,4", "iPhone 8"},
    {"iPhone10,5", "iPhone 8 Plus"},
    {"iPhone10,6", "iPhone X"},
    {"iPhone11,2", "iPhone XS"},
    {"iPhone11,4", "iPhone XS Max"},
    {"iPhone11,6", "iPhone XS Max"},
    {"iPhone11,8", "iPhone XR"},
    {"iPhone12,1", "iPhone 11"},
    {"iPhone12,3", "iPhone 11 Pro"},
    {"iPhone12,5", "iPhone 11 Pro Max"},
    {"iPhone12,8", "iPhone SE (2nd generation)"},
    {"iPhone13,1", "iPhone 12 mini"},
    {"iPhone13,2", "iPhone 12"},
    {"iPhone13,3", "iPhone 12 Pro"},
    {"iPhone13,4", "iPhone 12 Pro Max"},
    {"iPhone14,2", "iPhone 13 Pro"},
    {"iPhone14,3", "iPhone 13 Pro Max"},
    {"iPhone14,4", "iPhone 13 mini"},
    {"iPhone14,5", "iPhone 13"},
    {"iPhone14,6", "iPhone SE (3rd generation)"},
    {"iPhone14,7", "iPhone 14"},
    {"iPhone14,8", "iPhone 14 Plus"},
    {"iPhone15,2", "iPhone 14 Pro"},
    {"iPhone15,3", "iPhone 14 Pro Max"},
    {"iPhone15,4", "iPhone 15"},
    {"iPhone15,5", "iPhone 15 Plus"},
    {"iPhone16,1", "iPhone 15 Pro"},
    {"iPhone16,2", "iPhone 15 Pro Max"},
    {"iPhone17,1", "iPhone 16 Pro"},
    {"iPhone17,2", "iPhone 16 Pro Max"},
    {"iPhone17,3", "iPhone 16"},
    {"iPhone17,4", "iPhone 16 Plus"},
    {"iPhone17,5", "iPhone 16e"},
    {"iPhone18,1", "iPhone 17 Pro"},
    {"iPhone18,2", "iPhone 17 Pro Max"},
    {"iPhone18,3", "iPhone 17"},
    {"iPhone18,4", "iPhone Air"},

    {"iPod1,1", "iPodTouch"},
    {"iPod2,1", "iPodTouch2G"},
    {"iPod3,1", "IpodTouch3G"},
    {"iPod4,1", "iPodTouch4G"},
    {"iPod5,1", "iPod touch (5th generation)"},
    {"iPod7,1", "iPod touch (6th generation)"},
    {"iPod9,1", "iPod touch (7th generation)"},

    {"iPad1,1", "iPad 1"},
    {"iPad1,2", "iPad 1"},
    {"iPad2,1", "iPad 2"},
    {"iPad2,2", "iPad 2"},
    {"iPad2,3", "iPad 2"},
    {"iPad2,4", "iPad 2"},
    {"iPad2,5", "iPad mini"},
    {"iPad2,6", "iPad mini"},
    {"iPad2,7", "iPad mini"},
    {"iPad3,1", "NewiPad"},
    {"iPad3,2", "NewiPad"},
    {"iPad3,3", "NewiPad"},
    {"iPad3,4", "iPad (4th generation)"},
    {"iPad3,5", "iPad (4th generation)"},
    {"iPad3,6", "iPad (4th generation)"},
    {"iPad4,1", "iPad Air"},
    {"iPad4,2", "iPad Air"},
    {"iPad4,3", "iPad Air"},
    {"iPad4,4", "iPad mini 2"},
    {"iPad4,5", "iPad mini 2"},
    {"iPad4,6", "iPad mini 2"},
    {"iPad4,7", "iPad mini 3"},
    {"iPad4,8", "iPad mini 3"},
    {"iPad4,9", "iPad mini 3"},
    {"iPad5,1", "iPad mini 4"},
    {"iPad5,2", "iPad mini 4"},
    {"iPad5,3", "iPad Air 2"},
    {"iPad5,4", "iPad Air 2"},
    {"iPad6,3", "iPad Pro (9.7-inch)"},
    {"iPad6,4", "iPad Pro (9.7-inch)"},
    {"iPad6,7", "iPad Pro (12.9-inch)"},
    {"iPad6,8", "iPad Pro (12.9-inch)"},
    {"iPad6,11", "iPad (5th generation)"},
    {"iPad6,12", "iPad (5th generation)"},
    {"iPad7,1", "iPad Pro (12.9-inch) (2nd generation)"},
    {"iPad7,2", "iPad Pro (12.9-inch) (2nd generation)"},
    {"iPad7,3", "iPad Pro (10.5-inch)"},
    {"iPad7,4", "iPad Pro (10.5-inch)"},
    {"iPad7,5", "iPad (6th generation)"},
    {"iPad7,6", "iPad (6th generation)"},
    {"iPad7,11", "iPad (7th generation)"},
    {"iPad7,12", "iPad (7th generation)"},
    {"iPad8,1", "iPad Pro (11-inch)"},
    {"iPad8,2", "iPad Pro (11-inch)"},
    {"iPad8,3", "iPad Pro (11-inch)"},
    {"iPad8,4", "iPad Pro (11-inch)"},
    {"iPad8,5", "iPad Pro (12.9-inch) (3rd generation)"},
    {"iPad8,6", "iPad Pro (12.9-inch) (3rd generation)"},
    {"iPad8,7", "iPad Pro (12.9-inch) (3rd generation)"},
    {"iPad8,8", "iPad Pro (12.9-inch) (3rd generation)"},
    {"iPad8,9", "iPad Pro (11-inch) (2nd generation)"},
    {"iPad8,10", "iPad Pro (11-inch) (2nd generation)"},
    {"iPad8,11", "iPad Pro (12.9-inch) (4th generation)"},
    {"iPad8,12", "iPad Pro (12.9-inch) (4th generation)"},
    {"iPad11,1", "iPad mini (5th generation)"},
    {"iPad11,2", "iPad mini (5th generation)"},
    {"iPad11,3", "iPad Air (3rd generation)"},
    {"iPad11,4", "iPad Air (3rd generation)"},
    {"iPad11,6", "iPad (8th generation)"},
    {"iPad11,7", "iPad (8th generation)"},
    {"iPad12,1", "iPad (9th generation)"},
    {"iPad12,2", "iPad (9th generation)"},
    {"iPad13,1", "iPad Air (4th generation)"},
    {"iPad13,2", "iPad Air (4th generation)"},
    {"iPad13,4", "iPad Pro (11-inch) (3rd generation)"},
    {"iPad13,5", "iPad Pro (11-inch) (3rd generation)"},
    {"iPad13,6", "iPad Pro (11-inch) (3rd generation)"},
    {"iPad13,7", "iPad Pro (11-inch) (3rd generation)"},
    {"iPad13,8", "iPad Pro (12.9-inch) (5th generation)"},
    {"iPad13,9", "iPad Pro (12.9-inch) (5th generation)"},
    {"iPad13,10", "iPad Pro (12.9-inch) (5th generation)"},
    {"iPad13,11", "iPad Pro (12.9-inch) (5th generation)"},
    {"iPad13,16", "iPad Air (5th generation)"},
    {"iPad13,17", "iPad Air (5th generation)"},
    {"iPad13,18", "iPad (10th generation)"},
    {"iPad13,19", "iPad (10th generation)"},
    {"iPad14,1", "iPad mini (6th generation)"},
    {"iPad14,2", "iPad mini (6th generation)"},
    {"iPad14,3", "iPad Pro (11-inch) (4th generation)"},
    {"iPad14,4", "iPad Pro (11-inch) (4th generation)"},
    {"iPad14,5", "iPad Pro (12.9-inch) (6th generation)"},
    {"iPad14,6", "iPad Pro (12.9-inch) (6th generation)"},
    {"iPad14,8", "iPad Air 11-inch (M2)"},
    {"iPad14,9", "iPad Air 11-inch (M2)"},
    {"iPad14,10", "iPad Air 13-inch (M2)"},
    {"iPad14,11", "iPad Air 13-inch (M2)"},
    {"iPad15,3", "iPad Air 11-inch (M3)"},
    {"iPad15,4", "iPad Air 11-inch (M3)"},
    {"iPad15,5", "iPad Air 13-inch (M3)"},
    {"iPad15,6", "iPad Air 13-inch (M3)"},
    {"iPad15,7", "iPad (A16)"},
    {"iPad15,8", "iPad (A16)"},
    {"iPad16,1", "iPad mini (A17 Pro)"},
    {"iPad16,2", "iPad mini (A17 Pro)"},
    {"iPad16,3", "iPad Pro 11-inch (M4)"},
    {"iPad16,4", "iPad Pro 11-inch (M4)"},
    {"iPad16,5", "iPad Pro 13-inch (M4)"},
    {"iPad16,6", "iPad Pro 13-inch (M4)"},
};

// The list's first table, searched for a pattern anywhere in the text, first
// hit winning ("iPhone5" finds "iPhone5,2"). It only answers texts the exact
// table does not know, so a text that carries an old type inside a longer
// one still reads as it always has.
constexpr ModelName kOldPatterns[] = {
    {"iPhone1,1", "iPhone"},     {"iPhone1,2", "iPhone3G"},    {"iPhone2,1", "iPhone3GS"},
    {"iPhone3,1", "iPhone 4"},   {"iPhone3,3", "iPhone 4"},    {"iPhone4,1", "iPhone 4S"},
    {"iPhone5", "iPhone 5"},     {"iPod1,1", "iPodTouch"},     {"iPod2,1", "iPodTouch2G"},
    {"iPod3,1", "IpodTouch3G"},  {"iPod4,1", "iPodTouch4G"},   {"iPad1,1", "iPad 1"},
    {"iPad2,1", "iPad 2"},       {"iPad3", "NewiPad"},
};

bool equalNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

Text MVIOSDeviceController::GetDevcieType(const Text& productType) {
    if (!productType || productType->empty()) return std::string("iPhone");
    for (const ModelName& row : kModelNames)
        if (equalNoCase(*productType, row.productType)) return std::string(row.name);
    for (const ModelName& row : kOldPatterns)
        if (containsNoCase(*productType, row.productType)) return std::string(row.name);
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
