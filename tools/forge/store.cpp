// Writing whole backup stores: folders, description property lists, manifest,
// stored files, and the expected scan results beside each folder.
#include <fcntl.h>
#include <openssl/evp.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>

#include "forge/content.h"
#include "forge/encrypt_backup.h"
#include "forge/forge.h"
#include "forge/forge_files.h"
#include "forge/hostile_modern_load.h"
#include "forge/store_plan.h"

namespace fs = std::filesystem;

namespace salvor::forge {
namespace {

constexpr std::int64_t kMacEpoch = 978307200;  // 2001-01-01 00:00:00 UTC

using files::hexOf;
using files::PlistPtr;
using files::setModificationTime;
using files::setString;
using files::writeFile;

// Display names of the device models: the product types the forge writes by
// their exact text, then the old table searched as case-insensitive substrings
// in this order.
nlohmann::json displayName(const std::string& productType) {
    static const std::map<std::string, const char*> kExact = {
        {"iPhone3,1", "iPhone 4"},   {"iPhone4,1", "iPhone 4S"},  {"iPhone5,2", "iPhone 5"},
        {"iPhone6,1", "iPhone 5s"},  {"iPhone10,4", "iPhone 8"},  {"iPhone13,2", "iPhone 12"},
        {"iPhone14,5", "iPhone 13"}, {"iPhone15,2", "iPhone 14 Pro"}};
    static const std::pair<const char*, const char*> kModels[] = {
        {"iPhone1,1", "iPhone"},    {"iPhone1,2", "iPhone3G"},     {"iPhone2,1", "iPhone3GS"},
        {"iPhone3,1", "iPhone 4"},  {"iPhone3,3", "iPhone 4"},     {"iPhone4,1", "iPhone 4S"},
        {"iPhone5", "iPhone 5"},    {"iPod1,1", "iPodTouch"},      {"iPod2,1", "iPodTouch2G"},
        {"iPod3,1", "IpodTouch3G"}, {"iPod4,1", "iPodTouch4G"},    {"iPad1,1", "iPad 1"},
        {"iPad2,1", "iPad 2"},      {"iPad3", "NewiPad"}};
    if (productType.empty()) return "iPhone";
    if (const auto exact = kExact.find(productType); exact != kExact.end()) return exact->second;
    auto lower = [](std::string s) {
        for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    };
    const std::string hay = lower(productType);
    for (const auto& [pattern, name] : kModels)
        if (hay.find(lower(pattern)) != std::string::npos) return name;
    return nullptr;
}

struct TempDir {
    std::string path;
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "salvor-forge-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("forge: cannot create a scratch folder: " + std::string(std::strerror(errno)));
        path = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
};

// Writes the stored files; returns the size of every file name written (the last
// write of a name wins, as on disk) and the content digest of each record.
struct WrittenFiles {
    std::map<std::string, std::uint64_t> sizes;
    std::vector<std::string> digests;
};

WrittenFiles writeStoredFiles(const std::string& folder, const BackupPlan& plan, std::uint64_t seed) {
    WrittenFiles written;
    written.digests.resize(plan.files.size());
    std::vector<std::uint8_t> chunk;
    for (std::size_t i = 0; i < plan.files.size(); ++i) {
        const FileEntry& f = plan.files[i];
        if (f.kind != FileEntry::Kind::File) continue;
        const std::string name = f.storedNameOverride.empty() ? storedName(f.domain, f.path) : f.storedNameOverride;
        const std::string path = folder + "/" + name;
        if (f.syntheticSize == 0) {
            unsigned char md[EVP_MAX_MD_SIZE];
            unsigned int len = 0;
            if (EVP_Digest(f.content.data(), f.content.size(), md, &len, EVP_sha1(), nullptr) != 1)
                throw std::runtime_error("forge: SHA-1 digest could not be computed");
            written.digests[i].assign(reinterpret_cast<const char*>(md), len);
            if (f.stored) {
                writeFile(path, f.content);
                written.sizes[name] = f.content.size();
            }
            continue;
        }
        // Large content is produced and written piece by piece, digesting as it goes.
        const std::uint64_t total = std::max<std::uint64_t>(f.syntheticSize, f.content.size());
        std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
        if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha1(), nullptr) != 1)
            throw std::runtime_error("forge: SHA-1 digest could not be started");
        std::ofstream out;
        if (f.stored) {
            out.open(path, std::ios::binary | std::ios::trunc);
            if (!out) throw std::runtime_error("forge: cannot create " + path + ": " + std::strerror(errno));
        }
        auto emit = [&](const std::uint8_t* data, std::size_t n) {
            EVP_DigestUpdate(ctx.get(), data, n);
            if (f.stored) out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(n));
        };
        emit(f.content.data(), f.content.size());
        Rng gen(seed ^ std::strtoull(storedName(f.domain, f.path).substr(0, 16).c_str(), nullptr, 16));
        std::uint64_t left = total - f.content.size();
        chunk.resize(1 << 20);
        while (left > 0) {
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk.size()));
            fillRandom(gen, chunk.data(), n);
            emit(chunk.data(), n);
            left -= n;
        }
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int len = 0;
        EVP_DigestFinal_ex(ctx.get(), md, &len);
        written.digests[i].assign(reinterpret_cast<const char*>(md), len);
        if (f.stored) {
            out.close();
            if (!out) throw std::runtime_error("forge: cannot write " + path);
            written.sizes[name] = total;
        }
    }
    return written;
}

const char* kindText(FileEntry::Kind k) {
    switch (k) {
    case FileEntry::Kind::File: return "file";
    case FileEntry::Kind::Directory: return "dir";
    case FileEntry::Kind::Link: return "link";
    }
    return "file";
}

bool isKeptDomain(const std::string& d) {
    return d == "CameraRollDomain" || d == "MediaDomain" || d == "HomeDomain" || isSocialDomain(d);
}

std::string lastComponent(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// What the manifest stage should report, predicted from the final file list and
// what actually landed on disk. Manifest paths are hashed whole, however long.
void addFileTruth(BackupPlan& plan, const WrittenFiles& written) {
    nlohmann::json manifest = nlohmann::json::array();
    nlohmann::json photos = nlohmann::json::array();
    nlohmann::json social = nlohmann::json::array();
    for (const FileEntry& f : plan.files) {
        const std::string name = storedName(f.domain, f.path);
        const auto it = written.sizes.find(name);
        const bool exists = it != written.sizes.end();
        const std::uint64_t size = exists ? it->second : 0;
        manifest.push_back({{"domain", f.domain}, {"path", f.path}, {"kind", kindText(f.kind)},
                            {"storedName", name}, {"size", size}, {"stored", exists}});
        // A file kept under another name is invisible to a reader that follows the name rule.
        if (!f.storedNameOverride.empty()) manifest.back()["storedAs"] = f.storedNameOverride;
        if (!isKeptDomain(f.domain)) continue;
        const int kind = mediaKind(f.path);
        if (kind >= 0) {
            photos.push_back({{"fileNodeName", lastComponent(f.path)}, {"filePath", name}, {"bmov", kind},
                              {"fileSizeNumber", size}, {"fileNodeSize", sizeText(size)}});
        }
        if (isSocialDomain(f.domain) && exists) {
            social.push_back({{"faceTwitterFileName", lastComponent(f.path)}, {"faceTwitterFilePath", name},
                              {"fileSize", sizeText(size)}, {"FileSizeNumber", size}});
        }
    }
    plan.truth["manifest"] = std::move(manifest);
    plan.truth["photos"] = std::move(photos);
    plan.truth["social"] = std::move(social);
}

// Writes one backup folder and its truth file.
ForgedBackup writeBackup(const std::string& storeDir, BackupPlan& plan, const BackupLayout& layout, std::uint64_t seed,
                         Rng& rng) {
    const std::string folder = storeDir + "/" + plan.folderName;
    std::error_code ec;
    fs::remove_all(folder, ec);
    if (!fs::create_directories(folder, ec) || ec)
        throw std::runtime_error("forge: cannot create backup folder " + folder + ": " + ec.message());

    const WrittenFiles written = writeStoredFiles(folder, plan, seed);
    writeFile(folder + "/Manifest.mbdb", manifestBytes(plan.files, written.digests));

    const std::int64_t backupTime = 1356998400 + static_cast<std::int64_t>(rng.below(2 * 365 * 86400));
    const std::string buildVersion = layout.profile.build;
    const std::string guid = hexOf(rng, 32, true);

    // Info.plist: the device description as the synchronisation service writes it.
    std::string infoSize;
    if (layout.infoPlist) {
        PlistPtr info(plist_new_dict());
        plist_t d = info.get();
        setString(d, "Build Version", buildVersion);
        setString(d, "Device Name", plan.deviceName);
        setString(d, "Display Name", plan.deviceName);
        setString(d, "GUID", guid);
        setString(d, "ICCID", "89014" + std::to_string(100000000000000ULL + rng.below(899999999999999ULL)));
        setString(d, "IMEI", std::to_string(10000000000000ULL + rng.below(89999999999999ULL)) + "0");
        plist_dict_set_item(d, "Last Backup Date", plist_new_date(static_cast<std::int32_t>(backupTime - kMacEpoch), 0));
        setString(d, "Phone Number", "+1 (555) " + std::to_string(100 + rng.below(900)) + "-" +
                                         std::to_string(1000 + rng.below(9000)));
        setString(d, "Product Type", plan.productType);
        setString(d, "Product Version", plan.productVersion);
        setString(d, "Serial Number", plan.serialNumber);
        setString(d, "Target Identifier", plan.folderName);
        setString(d, "Target Type", "Device");
        setString(d, "Unique Identifier", plan.folderName);
        plist_t apps = plist_new_array();
        for (const char* id : {"com.facebook.Facebook", "com.facebook.Messenger", "com.atebits.Tweetie2", "com.example.app"})
            plist_array_append_item(apps, plist_new_string(id));
        plist_dict_set_item(d, "Installed Applications", apps);
        plist_t settings = plist_new_dict();
        plist_dict_set_item(settings, "iPhotoAlbumsSynced", plist_new_bool(0));
        plist_dict_set_item(d, "iTunes Settings", settings);
        setString(d, "iTunes Version", plan.itunesVersion);
        const std::string path = folder + "/Info.plist";
        writeFile(path, serialisePlist(d, layout.binaryPlists));
        setModificationTime(path, backupTime);
        infoSize = std::to_string(fs::file_size(path));
    }

    {
        PlistPtr manifest(plist_new_dict());
        plist_t d = manifest.get();
        plist_t apps = plist_new_dict();
        for (const char* id : {"com.facebook.Facebook", "com.facebook.Messenger", "com.atebits.Tweetie2", "com.example.app"}) {
            plist_t app = plist_new_dict();
            setString(app, "CFBundleIdentifier", id);
            setString(app, "CFBundleVersion", std::to_string(1 + rng.below(9)) + "." + std::to_string(rng.below(10)));
            plist_dict_set_item(apps, id, app);
        }
        plist_dict_set_item(d, "Applications", apps);
        const char keybag[] = "VERS\0\0\0\x04\0\0\0\x03TYPE";
        plist_dict_set_item(d, "BackupKeyBag", plist_new_data(keybag, sizeof keybag - 1));
        plist_dict_set_item(d, "Date", plist_new_date(static_cast<std::int32_t>(backupTime - kMacEpoch), 0));
        plist_dict_set_item(d, "IsEncrypted", plist_new_bool(0));
        plist_t lockdown = plist_new_dict();
        setString(lockdown, "BuildVersion", buildVersion);
        setString(lockdown, "DeviceName", plan.deviceName);
        setString(lockdown, "ProductType", plan.productType);
        setString(lockdown, "ProductVersion", plan.productVersion);
        setString(lockdown, "SerialNumber", plan.serialNumber);
        setString(lockdown, "UniqueDeviceID", plan.folderName);
        plist_dict_set_item(d, "Lockdown", lockdown);
        setString(d, "SystemDomainsVersion", layout.profile.iosMajor >= 6 ? "16.0" : "11.0");
        setString(d, "Version", layout.profile.iosMajor >= 5 ? "9.1" : "8.0");
        plist_dict_set_item(d, "WasPasscodeSet", plist_new_bool(rng.chance(50) ? 1 : 0));
        const std::string path = folder + "/Manifest.plist";
        writeFile(path, serialisePlist(d, layout.binaryPlists));
        setModificationTime(path, backupTime);
    }

    {
        PlistPtr status(plist_new_dict());
        plist_t d = status.get();
        setString(d, "BackupState", "new");
        plist_dict_set_item(d, "Date", plist_new_date(static_cast<std::int32_t>(backupTime - kMacEpoch), 0));
        plist_dict_set_item(d, "IsFullBackup", plist_new_bool(0));
        setString(d, "SnapshotState", "finished");
        setString(d, "UUID", hexOf(rng, 8, true) + "-" + hexOf(rng, 4, true) + "-" + hexOf(rng, 4, true) + "-" +
                                  hexOf(rng, 4, true) + "-" + hexOf(rng, 12, true));
        setString(d, "Version", "2.4");
        writeFile(folder + "/Status.plist", serialisePlist(d, layout.binaryPlists));
    }

    const nlohmann::json type = displayName(plan.productType);
    nlohmann::json backup = {
        {"strDeviceName", plan.deviceName},
        {"strDeviceSize", infoSize},
        {"strDeviceBackUpTime", localMinuteText(backupTime)},
        {"strDeviceSerial", plan.serialNumber},
        {"strDeviceType", type},
        {"strIOSVersion", plan.productVersion},
        {"itunesVersion", layout.infoPlist ? plan.itunesVersion : buildVersion},
        // The iPad picture is chosen only for display names "Ipad1", "Ipad2" and "NewIpad".
        {"deviceImage", (type == "Ipad1" || type == "Ipad2" || type == "NewIpad") ? "ipad" : "iphone"},
        {"backupFormat", "mbdb"},
        {"bEncrypted", 0},
    };
    plan.truth["backup"] = std::move(backup);
    plan.truth["folder"] = plan.folderName;
    plan.truth["iosMajor"] = plan.iosMajor;
    plan.truth["hasInfoPlist"] = layout.infoPlist;
    plan.truth["binaryPlists"] = layout.binaryPlists;
    addFileTruth(plan, written);

    ForgedBackup result;
    result.path = folder;
    result.truthPath = storeDir + "/" + plan.folderName + ".truth.json";
    result.iosMajor = plan.iosMajor;
    const std::string text = plan.truth.dump(1) + "\n";
    writeFile(result.truthPath, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    return result;
}

std::string folderNameFor(std::uint64_t seed, const std::string& scenario, std::size_t index) {
    // Like a device identifier: 40 hex digits, here derived from the seed.
    return storedName("forge-" + scenario, std::to_string(seed) + "/" + std::to_string(index));
}

}  // namespace

std::vector<ForgedBackup> forgeStore(const std::string& storeDir, const ForgeOptions& options) {
    if (storeDir.empty()) throw std::runtime_error("forge: no store folder given");
    if (options.scenario == "device") return forgeDeviceFolder(storeDir, options);
    if (options.scenario == "hostile-modern") return forgeHostileModern(storeDir, options);
    // Every backup is written plain, then encrypted when asked: the key draws
    // never reach the plaintext's.
    auto encrypted = [&](std::vector<ForgedBackup> backups) {
        if (options.encryption)
            for (const ForgedBackup& b : backups) encryptForgedBackup(b, *options.encryption, options.seed);
        return backups;
    };
    struct ModernScenario {
        const char* name;
        int iosMajor;
        bool unfinished;
    };
    static const ModernScenario kModernScenarios[] = {{"ios12-modern", 12, false},
                                                      {"ios15-modern", 15, false},
                                                      {"ios17-modern", 17, false},
                                                      {"ios15-modern-unfinished", 15, true}};
    for (const ModernScenario& m : kModernScenarios) {
        if (options.scenario != m.name) continue;
        std::error_code made;
        fs::create_directories(storeDir, made);
        if (made || !fs::is_directory(storeDir))
            throw std::runtime_error("forge: cannot create store folder " + storeDir + (made ? ": " + made.message() : ""));
        TempDir scratch;
        return encrypted({forgeModernScenario(storeDir, options.seed, m.iosMajor, m.unfinished, scratch.path, 0,
                                              options.withEncryptedOnlyData)});
    }
    if (options.scenario == "bench-modern-manifest") {
        fs::create_directories(storeDir);
        TempDir scratch;
        const std::uint64_t rows = options.manifestRecords > 0 ? options.manifestRecords : 300000;
        return encrypted(
            {forgeModernScenario(storeDir, options.seed, 17, false, scratch.path, rows, options.withEncryptedOnlyData)});
    }
    if (options.scenario == "hostile-modern-load") {
        fs::create_directories(storeDir);
        TempDir scratch;
        return forgeHostileModernLoad(storeDir, options.seed, scratch.path, options.loadCase);
    }
    const bool modern = options.scenario == "ios16" || options.scenario == "ios16-encrypted";
    const std::vector<BackupLayout> layouts = scenarioLayouts(options.scenario);
    if (layouts.empty() && !modern) throw std::runtime_error("forge: unknown scenario \"" + options.scenario + "\"");
    std::error_code ec;
    fs::create_directories(storeDir, ec);
    if (ec || !fs::is_directory(storeDir))
        throw std::runtime_error("forge: cannot create store folder " + storeDir + (ec ? ": " + ec.message() : ""));
    if (modern) {
        TempDir scratch;
        // "ios16-encrypted" is always encrypted, with the run's options when it has them.
        if (options.scenario == "ios16-encrypted")
            return {forgeModernBackup(storeDir, options.seed, true, scratch.path,
                                      options.encryption ? &*options.encryption : nullptr)};
        return encrypted({forgeModernBackup(storeDir, options.seed, false, scratch.path)});
    }

    std::vector<ForgedBackup> result;
    Rng seeds(options.seed);
    for (std::size_t i = 0; i < layouts.size(); ++i) {
        const BackupLayout& layout = layouts[i];
        const std::uint64_t backupSeed = seeds.next();
        Rng rng(backupSeed);
        BackupPlan plan = describeDevice(layout, rng);
        plan.folderName = folderNameFor(options.seed, options.scenario, i);
        {
            TempDir scratch;
            Rng dbRng(backupSeed ^ 0xD1B54A32D192ED03ULL);
            DatabaseScale scale = options.scale;
            if (layout.content == BackupLayout::Content::BenchContacts)
                scale.contacts = options.benchContacts > 0 ? options.benchContacts : 20000;
            addCategoryDatabases(plan, dbRng, scale, scratch.path);
            Rng fileRng(backupSeed ^ 0x8CB92BA72F3D8DD7ULL);
            addOtherFiles(plan, fileRng, layout, options, scratch.path);
        }
        result.push_back(writeBackup(storeDir, plan, layout, backupSeed, rng));
    }
    encrypted(result);

    if (options.scenario == "store") {
        // Entries of a store that must not become backups: a hidden file, a folder
        // holding a single file (even a valid description), and an empty folder.
        const std::string hidden = storeDir + "/.DS_Store";
        writeFile(hidden, Bytes{0x00, 0x00, 0x00, 0x01, 'B', 'u', 'd', '1'});
        const std::string single = storeDir + "/" + folderNameFor(options.seed, "single", 0);
        fs::create_directories(single, ec);
        PlistPtr info(plist_new_dict());
        setString(info.get(), "Device Name", "Lonely iPhone");
        setString(info.get(), "Product Type", "iPhone4,1");
        writeFile(single + "/Info.plist", serialisePlist(info.get(), false));
        setModificationTime(single + "/Info.plist", 1356998400);
        fs::create_directories(storeDir + "/" + folderNameFor(options.seed, "empty", 0), ec);
        if (ec) throw std::runtime_error("forge: cannot create folders in " + storeDir + ": " + ec.message());
    }
    return result;
}

}  // namespace salvor::forge
