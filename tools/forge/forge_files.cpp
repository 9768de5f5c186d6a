#include "forge/forge_files.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <stdexcept>

namespace salvor::forge::files {

namespace {
constexpr std::int64_t kEpoch2001 = 978307200;  // 2001-01-01 00:00:00 UTC
}

void setString(plist_t dict, const char* key, const std::string& value) {
    plist_dict_set_item(dict, key, plist_new_string(value.c_str()));
}

plist_t dateValue(std::int64_t unixSeconds) {
    return plist_new_date(static_cast<std::int32_t>(unixSeconds - kEpoch2001), 0);
}

std::string hexOf(Rng& rng, std::size_t digits, bool upper) {
    const char* kDigits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < digits; ++i) s += kDigits[rng.below(16)];
    return s;
}

void writeFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("forge: cannot create " + path + ": " + std::strerror(errno));
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) throw std::runtime_error("forge: cannot write " + path);
}

void setModificationTime(const std::string& path, std::int64_t when) {
    timespec times[2];
    times[0].tv_sec = static_cast<time_t>(when);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0)
        throw std::runtime_error("forge: cannot set the time of " + path + ": " + std::strerror(errno));
}

std::string writeModernDescription(const ModernDescription& m, Rng& rng) {
    std::string infoSize;
    {
        PlistPtr info(plist_new_dict());
        plist_t d = info.get();
        setString(d, "Build Version", m.build);
        setString(d, "Device Name", m.deviceName);
        setString(d, "Display Name", m.deviceName);
        setString(d, "GUID", hexOf(rng, 32, true));
        if (m.withIccid)
            setString(d, "ICCID", "8949" + std::to_string(100000000000000ULL + rng.below(899999999999999ULL)));
        setString(d, "IMEI", "35" + std::to_string(1000000000000ULL + rng.below(8999999999999ULL)));
        plist_dict_set_item(d, "Last Backup Date", dateValue(m.backupTime));
        setString(d, "Product Name", m.productName);
        setString(d, "Product Type", m.productType);
        setString(d, "Product Version", m.version);
        setString(d, "Serial Number", m.serial);
        setString(d, "Target Identifier", m.udid);
        setString(d, "Target Type", "Device");
        setString(d, "Unique Identifier", m.udid);
        setString(d, "iTunes Version", m.itunesVersion);
        const Bytes bytes = serialisePlist(d, false);
        writeFileAt(m.folder + "/Info.plist", bytes, m.finished);
        infoSize = std::to_string(bytes.size());
    }
    {
        PlistPtr manifest(plist_new_dict());
        plist_t d = manifest.get();
        plist_t apps = plist_new_dict();
        plist_t app = plist_new_dict();
        setString(app, "CFBundleIdentifier", m.appId);
        setString(app, "CFBundleVersion", m.appVersion);
        setString(app, "ContainerContentClass", "Data/Application");
        plist_dict_set_item(apps, m.appId.c_str(), app);
        plist_dict_set_item(d, "Applications", apps);
        plist_dict_set_item(d, "Date", dateValue(m.backupTime));
        plist_dict_set_item(d, "IsEncrypted", plist_new_bool(m.encrypted ? 1 : 0));
        plist_t lockdown = plist_new_dict();
        setString(lockdown, "BuildVersion", m.build);
        setString(lockdown, "DeviceName", m.deviceName);
        setString(lockdown, "ProductType", m.productType);
        setString(lockdown, "ProductVersion", m.version);
        setString(lockdown, "SerialNumber", m.serial);
        setString(lockdown, "UniqueDeviceID", m.udid);
        plist_dict_set_item(d, "Lockdown", lockdown);
        if (!m.systemDomainsVersion.empty()) setString(d, "SystemDomainsVersion", m.systemDomainsVersion);
        if (!m.manifestVersion.empty()) setString(d, "Version", m.manifestVersion);
        plist_dict_set_item(d, "WasPasscodeSet", plist_new_bool(1));
        writeFileAt(m.folder + "/Manifest.plist", serialisePlist(d, true), m.finished);
    }
    {
        PlistPtr status(plist_new_dict());
        plist_t d = status.get();
        setString(d, "BackupState", "new");
        plist_dict_set_item(d, "Date", dateValue(m.backupTime));
        plist_dict_set_item(d, "IsFullBackup", plist_new_bool(0));
        setString(d, "SnapshotState", m.snapshotState);
        std::string uuid;  // one part after the other: the order of draws is fixed
        for (std::size_t digits : {8, 4, 4, 4, 12}) {
            if (!uuid.empty()) uuid += '-';
            uuid += hexOf(rng, digits, true);
        }
        setString(d, "UUID", uuid);
        if (!m.statusVersion.empty()) setString(d, "Version", m.statusVersion);
        writeFileAt(m.folder + "/Status.plist", serialisePlist(d, true), m.finished);
    }
    return infoSize;
}

}  // namespace salvor::forge::files
