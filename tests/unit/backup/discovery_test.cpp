#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/time.h>

#include <cstdlib>
#include <ctime>
#include <map>
#include <optional>

#include "backup/device_list.h"
#include "backup_test_util.h"
#include "platform/log.h"

namespace salvor {
namespace {

using testing_backup::TempDir;
using testing_backup::writeFile;

// A property list of string values, optionally nested one level under `nestUnder`.
std::string makePlist(const std::map<std::string, std::string>& values, bool binary,
                      const std::string& nestUnder = "") {
    plist_t root = plist_new_dict();
    plist_t target = root;
    if (!nestUnder.empty()) {
        target = plist_new_dict();
        plist_dict_set_item(root, nestUnder.c_str(), target);
    }
    for (const auto& [k, v] : values) plist_dict_set_item(target, k.c_str(), plist_new_string(v.c_str()));
    char* out = nullptr;
    std::uint32_t len = 0;
    if (binary) plist_to_bin(root, &out, &len);
    else plist_to_xml(root, &out, &len);
    std::string bytes(out, len);
    if (binary) plist_to_bin_free(out);
    else plist_to_xml_free(out);
    plist_free(root);
    return bytes;
}

void setMtime(const std::string& path, long seconds) {
    struct timeval tv[2] = {{seconds, 0}, {seconds, 0}};
    ::utimes(path.c_str(), tv);
}

struct Discovery : ::testing::Test {
    testing_backup::ScanHarness h;
    MVIOSDeviceController& list() { return h.devices; }
};

TEST_F(Discovery, MissingKeysAndDamagedInfoFallBack) {
    TempDir store;
    // No product type: shown as the first model; other missing keys stay absent.
    writeFile(store / "a/Info.plist", makePlist({{"Device Name", "X"}}, true));
    writeFile(store / "a/y", "y");
    // A damaged Info.plist counts as missing, so Manifest.plist describes the backup.
    writeFile(store / "b/Info.plist", std::string("bplist00\x01\x02", 10));
    writeFile(store / "b/Manifest.plist", makePlist({{"DeviceName", "From manifest"}}, false, "Lockdown"));
    // An Info.plist whose top level is not a dictionary counts as missing too.
    writeFile(store / "c/Info.plist",
              "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>x</string></array></plist>");
    writeFile(store / "c/y", "y");

    showIphoneDisk(h.devices, store.path());
    ASSERT_EQ(list().arrangedObjects.size(), 2u);
    const MVIOSDeviceNode& a = *list().arrangedObjects[0];
    EXPECT_EQ(*a.strDeviceType, "iPhone");
    EXPECT_EQ(*a.deviceImage, "iphone");
    EXPECT_FALSE(a.strDeviceSerial);
    EXPECT_FALSE(a.strIOSVersion);
    EXPECT_EQ(*list().arrangedObjects[1]->strDeviceName, "From manifest");
}

// Manifest.plist with an "IsEncrypted" flag (none when absent) and, optionally, a Lockdown description.
std::string manifestPlist(std::optional<bool> encrypted, bool lockdown) {
    return std::string("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>") +
           (encrypted ? std::string("<key>IsEncrypted</key>") + (*encrypted ? "<true/>" : "<false/>") : "") +
           (lockdown ? "<key>Lockdown</key><dict><key>DeviceName</key><string>Lockdown only</string></dict>" : "") +
           "</dict></plist>";
}

// Sets TZ for one scope; local-time texts must follow it.
struct ZoneScope {
    std::string saved;
    explicit ZoneScope(const char* tz) : saved(std::getenv("TZ") ? std::getenv("TZ") : "UTC") {
        ::setenv("TZ", tz, 1);
        ::tzset();
    }
    ~ZoneScope() {
        ::setenv("TZ", saved.c_str(), 1);
        ::tzset();
    }
};

TEST_F(Discovery, FormatEncryptionAndRecordedBackupDate) {
    TempDir store;
    // Modern and encrypted; the date as the XML text the synchronisation service writes.
    writeFile(store / "a/Info.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
              "<key>Device Name</key><string>A</string>"
              "<key>Last Backup Date</key><date>2023-06-14T09:41:27Z</date></dict></plist>");
    writeFile(store / "a/Manifest.db", "SQLite format 3");
    writeFile(store / "a/Manifest.plist", manifestPlist(true, false));
    // Older manifest, binary Info.plist with its date, explicitly not encrypted.
    plist_t info = plist_new_dict();
    plist_dict_set_item(info, "Last Backup Date", plist_new_date(1572738600 - 978307200, 0));  // 2019-11-02 23:50 UTC
    char* bin = nullptr;
    std::uint32_t binLen = 0;
    plist_to_bin(info, &bin, &binLen);
    writeFile(store / "b/Info.plist", std::string(bin, binLen));
    plist_to_bin_free(bin);
    plist_free(info);
    writeFile(store / "b/Manifest.mbdb", "mbdb");
    writeFile(store / "b/Manifest.plist", manifestPlist(false, false));
    // No date: the file's time. Both manifests: read as before.
    writeFile(store / "c/Info.plist", makePlist({{"Device Name", "C"}}, false));
    writeFile(store / "c/Manifest.db", "x");
    writeFile(store / "c/Manifest.mbdb", "x");
    // Only Manifest.plist describes this modern backup; no flag means not encrypted.
    writeFile(store / "d/Manifest.plist", manifestPlist(std::nullopt, true));
    writeFile(store / "d/Manifest.db", "x");
    for (const char* f : {"a/Info.plist", "b/Info.plist", "c/Info.plist", "d/Manifest.plist"})
        setMtime(store / f, 1356998400 + 3 * 3600 + 25 * 60 + 59);  // 2013-01-01 03:25:59 UTC

    showIphoneDisk(h.devices, store.path());
    ASSERT_EQ(list().arrangedObjects.size(), 4u);
    const MVIOSDeviceNode &a = *list().arrangedObjects[0], &b = *list().arrangedObjects[1],
                          &c = *list().arrangedObjects[2], &d = *list().arrangedObjects[3];
    EXPECT_EQ(a.backupFormat, BackupFormat::ManifestDb);
    EXPECT_EQ(a.bEncrypted, 1);
    EXPECT_EQ(*a.strDeviceBackUpTime, "2023-06-14 09:41");
    EXPECT_EQ(b.backupFormat, BackupFormat::Mbdb);
    EXPECT_EQ(b.bEncrypted, 0);
    EXPECT_EQ(*b.strDeviceBackUpTime, "2019-11-02 23:50");
    EXPECT_EQ(c.backupFormat, BackupFormat::ManifestDb);  // both manifests: the newer one describes the backup
    EXPECT_EQ(*c.strDeviceBackUpTime, "2013-01-01 03:25");
    EXPECT_EQ(d.backupFormat, BackupFormat::ManifestDb);
    EXPECT_EQ(d.bEncrypted, 0);
    EXPECT_EQ(*d.strDeviceBackUpTime, "2013-01-01 03:25");

    // An encrypted backup of either format is read with its password, which the list says.
    EXPECT_EQ(backupFormatNote(a), "encrypted: needs its password");
    EXPECT_EQ(backupFormatNote(b), "");

    // A folder the list cannot describe still gets its format and flag.
    writeFile(store / "e/Manifest.plist", manifestPlist(true, false));
    writeFile(store / "e/Manifest.db", "x");
    EXPECT_FALSE(list().addDeviceNodeByPath(store / "e"));
    MVIOSDeviceNode e;
    describeBackupFormat(e, store / "e");
    EXPECT_EQ(e.backupFormat, BackupFormat::ManifestDb);
    EXPECT_EQ(e.bEncrypted, 1);

    // Both date forms are instants, shown in local time.
    ZoneScope zone("XST-5:30");
    list().removeAll();
    ASSERT_TRUE(list().addDeviceNodeByPath(store / "a") && list().addDeviceNodeByPath(store / "b"));
    EXPECT_EQ(*list().arrangedObjects[0]->strDeviceBackUpTime, "2023-06-14 15:11");
    EXPECT_EQ(*list().arrangedObjects[1]->strDeviceBackUpTime, "2019-11-03 05:20");
}

}  // namespace
// Without a usable device name the backup tree would have no root and every
// file of the backup would be left out: a name is always found.
TEST_F(Discovery, BackupsWithoutADeviceNameAreNamedAnyway) {
    TempDir store;
    const struct {
        const char* folder;
        std::map<std::string, std::string> info;
        const char* name;
    } cases[] = {
        {"display", {{"Display Name", "Ann"}, {"Product Type", "iPhone5,2"}}, "Ann"},
        {"model", {{"Device Name", "  "}, {"Product Type", "iPhone5,2"}}, "iPhone 5"},
        {"product", {{"Product Type", "Watch9,9"}}, "Watch9,9"},
        {"folder-name", {{"Product Version", "6.1"}}, "folder-name"},
    };
    for (const auto& c : cases) {
        writeFile(store / (std::string(c.folder) + "/Info.plist"), makePlist(c.info, false));
        writeFile(store / (std::string(c.folder) + "/Manifest.mbdb"), "mbdb");
    }
    // A name that is not a text at all.
    writeFile(store / "zz-number/Info.plist",
              "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Device Name</key><integer>7</integer>"
              "</dict></plist>");
    writeFile(store / "zz-number/Manifest.mbdb", "mbdb");
    showIphoneDisk(h.devices, store.path());
    std::map<std::string, std::string> names;
    for (const auto& e : list().arrangedObjects)
        names[std::filesystem::path(*e->backUpFilePath).filename().string()] = textOrEmpty(e->strDeviceName);
    for (const auto& c : cases) EXPECT_EQ(names[c.folder], c.name) << c.folder;
    EXPECT_EQ(names["zz-number"], "zz-number");
}

}  // namespace salvor

namespace salvor {
namespace {

TEST(ModelNames, ExactTypesOfEveryFamilyThenTheOldPatterns) {
    const auto model = [](const char* type) { return MVIOSDeviceController::GetDevcieType(std::string(type)); };
    const std::map<std::string, std::string> known = {
        // The oldest keep the names the list has always shown.
        {"iPhone2,1", "iPhone3GS"}, {"iPhone5,2", "iPhone 5"}, {"iPod3,1", "IpodTouch3G"}, {"iPad3,1", "NewiPad"},
        // Types the substring search used to misread or miss.
        {"iPhone5,3", "iPhone 5c"}, {"iPhone3,2", "iPhone 4"}, {"iPad3,4", "iPad (4th generation)"},
        {"iPad2,5", "iPad mini"},
        {"iPhone6,1", "iPhone 5s"}, {"iPhone10,6", "iPhone X"}, {"iPhone14,5", "iPhone 13"},
        {"iPhone15,2", "iPhone 14 Pro"}, {"iPhone16,1", "iPhone 15 Pro"}, {"iPhone17,1", "iPhone 16 Pro"},
        {"iPhone17,5", "iPhone 16e"}, {"iphone12,8", "iPhone SE (2nd generation)"},
        {"iPod9,1", "iPod touch (7th generation)"}, {"iPad13,18", "iPad (10th generation)"},
        {"iPad16,5", "iPad Pro 13-inch (M4)"}, {"iPad6,11", "iPad (5th generation)"},
    };
    for (const auto& [type, name] : known) EXPECT_EQ(model(type.c_str()), name) << type;

    // "iPhone11,2" must not be read as an "iPhone1,1" nor "iPad13,1" as an "iPad3".
    EXPECT_EQ(model("iPhone11,2"), "iPhone XS");
    EXPECT_EQ(model("iPad13,1"), "iPad Air (4th generation)");
    // A longer text holding an old type still reads by the old table.
    EXPECT_EQ(model("iPhone5,2 (refurbished)"), "iPhone 5");
    EXPECT_EQ(MVIOSDeviceController::GetDevcieType(std::nullopt), "iPhone");
    EXPECT_EQ(model(""), "iPhone");
    for (const char* unknown : {"iPhone99,1", "iPad13,3", "Watch6,1", "iPhone15,9", "AppleTV5,3"})
        EXPECT_EQ(model(unknown), std::nullopt) << unknown;
}

}  // namespace
}  // namespace salvor
