#include "forge/store_plan.h"

#include <cstdio>

#include "forge/content.h"

namespace salvor::forge {
namespace {

constexpr DeviceProfile kIos4{4, "4.2.1", "iPhone3,1", "8C148", "10.1.1.4"};
constexpr DeviceProfile kIos5{5, "5.1.1", "iPhone4,1", "9B206", "10.6.3.25"};
constexpr DeviceProfile kIos6{6, "6.1.3", "iPhone5,2", "10B329", "11.0.2.26"};
constexpr DeviceProfile kIos7{7, "7.1.2", "iPhone6,1", "11D257", "11.2.2.3"};

const char* const kFacebook = "AppDomain-com.facebook.Facebook";
const char* const kMessenger = "AppDomain-com.facebook.Messenger";
const char* const kTwitter = "AppDomain-com.atebits.Tweetie2";

// Adds entries with plausible, slightly scattered modification times.
class PlanBuilder {
public:
    PlanBuilder(BackupPlan& plan, Rng& rng) : plan_(plan), rng_(rng) {}

    FileEntry& file(const std::string& domain, const std::string& path, Bytes content,
                    std::vector<std::pair<std::string, std::string>> properties = {}) {
        FileEntry e;
        e.domain = domain;
        e.path = path;
        e.content = std::move(content);
        e.properties = std::move(properties);
        return push(std::move(e));
    }
    FileEntry& missing(const std::string& domain, const std::string& path, Bytes content) {
        FileEntry& e = file(domain, path, std::move(content));
        e.stored = false;
        return e;
    }
    FileEntry& dir(const std::string& domain, const std::string& path) {
        FileEntry e;
        e.domain = domain;
        e.path = path;
        e.kind = FileEntry::Kind::Directory;
        return push(std::move(e));
    }
    FileEntry& link(const std::string& domain, const std::string& path, const std::string& target) {
        FileEntry e;
        e.domain = domain;
        e.path = path;
        e.kind = FileEntry::Kind::Link;
        e.linkTarget = target;
        return push(std::move(e));
    }
    std::string uuid() {
        char buf[40];
        std::snprintf(buf, sizeof buf, "%08llX-%04llX-%04llX-%04llX-%012llX",
                      static_cast<unsigned long long>(rng_.below(1ULL << 32)), static_cast<unsigned long long>(rng_.below(1 << 16)),
                      static_cast<unsigned long long>(rng_.below(1 << 16)), static_cast<unsigned long long>(rng_.below(1 << 16)),
                      static_cast<unsigned long long>(rng_.below(1ULL << 48)));
        return buf;
    }

private:
    FileEntry& push(FileEntry e) {
        e.mtime = static_cast<std::uint32_t>(1356998400 + rng_.below(300 * 86400));
        plan_.files.push_back(std::move(e));
        return plan_.files.back();
    }
    BackupPlan& plan_;
    Rng& rng_;
};

std::size_t between(Rng& rng, std::size_t lo, std::size_t hi) {
    return static_cast<std::size_t>(rng.range(static_cast<std::int64_t>(lo), static_cast<std::int64_t>(hi)));
}

void addStandardFiles(PlanBuilder& b, Rng& rng, const BackupLayout& layout, const std::string& scratch) {
    const std::string dcim = "Media/DCIM/100APPLE/";
    // Camera roll: photos, a video, a screenshot, a missing photo, an empty one, one listed twice.
    b.dir("CameraRollDomain", "Media");
    b.dir("CameraRollDomain", "Media/DCIM");
    b.dir("CameraRollDomain", "Media/DCIM/100APPLE");
    b.file("CameraRollDomain", dcim + "IMG_0001.JPG", jpegBytes(rng, between(rng, 2000, 6000)),
           {{"com.apple.assetsd.UUID", b.uuid()}});
    b.file("CameraRollDomain", dcim + "IMG_0002.MOV", quickTimeBytes(rng, between(rng, 6000, 12000)),
           {{"com.apple.assetsd.UUID", b.uuid()}, {"com.apple.assetsd.customCreationDate", "2013-03-14 10:21:07"}});
    b.file("CameraRollDomain", dcim + "IMG_0003.PNG", pngBytes(rng, between(rng, 1000, 3000)));
    b.missing("CameraRollDomain", dcim + "IMG_0004.JPG", jpegBytes(rng, 800));
    b.file("CameraRollDomain", dcim + "IMG_0005.JPG", {});
    const Bytes twice = jpegBytes(rng, between(rng, 1500, 2500));
    b.file("CameraRollDomain", dcim + "IMG_0006.JPG", twice);
    b.file("CameraRollDomain", dcim + "IMG_0006.JPG", twice);
    if (layout.content == BackupLayout::Content::Demo) {
        for (int i = 7; i <= 10; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "IMG_%04d.JPG", i);
            b.file("CameraRollDomain", dcim + name, jpegBytes(rng, between(rng, 3000, 9000)));
        }
        b.file("CameraRollDomain", dcim + "IMG_0011.MOV", quickTimeBytes(rng, between(rng, 10000, 20000)));
    }
    b.link("CameraRollDomain", "Media/DCIM/latest", "100APPLE/IMG_0003.PNG");
    b.file("CameraRollDomain", "Media/DCIM/.MISC/Info.plist", plistBytes(rng, "com.apple.camera"));
    b.file("CameraRollDomain", "Media/PhotoData/Photos.sqlite", sqliteBytes(rng, scratch, "ZGENERICASSET"));

    // Music and voice memos (audio counts as a movie).
    b.dir("MediaDomain", "Media/iTunes_Control");
    b.file("MediaDomain", "Media/iTunes_Control/Music/F12/KQRT.mp3", mp3Bytes(rng, static_cast<int>(between(rng, 6, 12))));
    b.file("MediaDomain", "Media/Recordings/20130114 093512.m4a", quickTimeBytes(rng, between(rng, 3000, 6000), "M4A "),
           {{"com.apple.voicememos.duration", "12.4"}});
    b.file("MediaDomain", "Media/Recordings/Recordings.db", sqliteBytes(rng, scratch, "ZRECORDING"));

    // Home: hidden parts, a picture, an over-long path, a shared relative path, an empty file.
    b.dir("HomeDomain", "Library");
    b.dir("HomeDomain", "Library/Preferences");
    b.file("HomeDomain", "Library/Preferences/.GlobalPreferences.plist", plistBytes(rng, "com.apple.global"));
    FileEntry& springboard =
        b.file("HomeDomain", "Library/Preferences/com.apple.springboard.plist", plistBytes(rng, "com.apple.springboard"));
    if (layout.profile.iosMajor == 4)  // older backups kept some files under a suffixed name
        springboard.storedNameOverride = storedName(springboard.domain, springboard.path) + ".mddata";
    b.file("HomeDomain", "Library/Caches/Snapshots/com.apple.mobilesafari/UIApplicationAutomaticSnapshotDefault-Portrait@2x.png",
           pngBytes(rng, between(rng, 1500, 4000)));
    b.file("HomeDomain", "a/.b/c", textBytes(rng, 40));
    std::string longPath = "Library/Caches/com.apple.mobilesafari/WebKit/OfflineStorage";
    for (int i = 0; longPath.size() < 320; ++i) longPath += "/nested-cache-folder-" + std::to_string(i);
    longPath += "/thumbnail.jpg";
    b.file("HomeDomain", longPath, jpegBytes(rng, 600));
    b.file("HomeDomain", "Library/Caches/shared.jpg", jpegBytes(rng, between(rng, 700, 1500)));
    b.file("HomeDomain", "Library/Logs/CrashReporter/empty.log", {});

    // The three social applications: pictures, preferences, databases; one file missing.
    b.dir(kFacebook, "Library");
    b.file(kFacebook, "Library/Caches/FBImages/img_1.jpg", jpegBytes(rng, between(rng, 1000, 3000)));
    b.file(kFacebook, "Library/Preferences/com.facebook.Facebook.plist", plistBytes(rng, "com.facebook.Facebook"),
           {{"com.apple.backupd.SnapshotVersion", "1"}});
    b.file(kFacebook, "Library/Caches/FBStore.sqlite", sqliteBytes(rng, scratch, "fb_store"));
    b.missing(kFacebook, "Documents/missing_photo.jpg", jpegBytes(rng, 500));
    b.file(kFacebook, "Library/Caches/shared.jpg", jpegBytes(rng, between(rng, 700, 1500)));
    b.file(kMessenger, "Library/Caches/image_cache/thumb.jpg", jpegBytes(rng, between(rng, 800, 2000)));
    b.file(kMessenger, "Library/Preferences/com.facebook.Messenger.plist", plistBytes(rng, "com.facebook.Messenger"));
    b.file(kMessenger, "Documents/messenger.sqlite", sqliteBytes(rng, scratch, "threads"));
    b.file(kTwitter, "Library/Caches/avatar.jpg", jpegBytes(rng, between(rng, 800, 2000)));
    b.file(kTwitter, "Library/Preferences/com.atebits.Tweetie2.plist", plistBytes(rng, "com.atebits.Tweetie2"));
    b.file(kTwitter, "Documents/tweets.sqlite", sqliteBytes(rng, scratch, "statuses"));
    b.file(kTwitter, "Library/Caches/empty.dat", {});
    b.missing(kTwitter, "Documents/gone.plist", plistBytes(rng, "com.atebits.gone"));

    // Domains the scan lists in the file tree only.
    b.file("WirelessDomain", "Library/Preferences/com.apple.commcenter.plist", plistBytes(rng, "com.apple.commcenter"));
    b.file("KeychainDomain", "keychain-backup.plist", plistBytes(rng, "com.apple.keychain"),
           {{"com.apple.backupd.keychain", "v2"}});
    b.file("SystemPreferencesDomain", "SystemConfiguration/com.apple.wifi.plist", plistBytes(rng, "com.apple.wifi"));
    b.file("RootDomain", "Library/Caches/locationd/clients.plist", plistBytes(rng, "com.apple.locationd"));
    b.dir("AppDomain-com.example.app", "Documents");
    b.file("AppDomain-com.example.app", "Documents/photo.jpg", jpegBytes(rng, between(rng, 800, 1600)));
    b.link("AppDomain-com.example.app", "Documents/latest.jpg", "photo.jpg");
    b.file("AppDomain-com.example.app", "Library/Preferences/com.example.app.plist", plistBytes(rng, "com.example.app"));
    b.file("AppDomain-com.example.app", "Documents/notes.sqlite", sqliteBytes(rng, scratch, "notes"));
}

// Many small records over many domains, as a full device has; few stored files.
void addFiller(PlanBuilder& b, BackupPlan& plan, Rng& rng, std::uint64_t total) {
    static const char* const kExt[] = {"plist", "dat", "sqlite", "jpg", "png", "mov", "txt", "db"};
    static const char* const kKept[] = {"HomeDomain", "MediaDomain", "CameraRollDomain", kFacebook, kMessenger, kTwitter};
    std::uint64_t k = 0;
    while (plan.files.size() < total) {
        std::string domain;
        if (k % 10 == 0) domain = kKept[(k / 10) % 6];
        else domain = "AppDomain-com.bench.app" + std::to_string(k % 97);
        const std::string folder = "Library/Caches/bench/" + std::to_string(k / 50);
        const std::uint64_t roll = rng.below(100);
        if (k % 50 == 0) {
            b.dir(domain, folder);
        } else if (roll < 3) {
            b.link(domain, folder + "/alias" + std::to_string(k), "item" + std::to_string(k - 1));
        } else {
            const std::string path = folder + "/item" + std::to_string(k) + "." + kExt[rng.below(8)];
            if (roll < 8) b.file(domain, path, textBytes(rng, static_cast<std::size_t>(rng.below(64))));
            else b.missing(domain, path, {});
        }
        ++k;
    }
}

// Records spread over `folders` sibling folders of one domain; the folder
// names are scattered so that they arrive out of name order.
void addSiblingFiller(PlanBuilder& b, BackupPlan& plan, Rng& rng, std::uint64_t total, std::uint64_t folders) {
    std::uint64_t k = 0;
    while (plan.files.size() < total) {
        // Multiplying by an odd constant permutes 32-bit numbers: distinct folders stay distinct.
        const std::uint32_t id = static_cast<std::uint32_t>((k % folders) * 2654435761ULL);
        char folder[32];
        std::snprintf(folder, sizeof folder, "f%08x", static_cast<unsigned>(id));
        const std::string path = std::string("Library/Caches/bench/") + folder + "/item" + std::to_string(k) + ".dat";
        if (rng.below(100) < 5) b.file("AppDomain-com.bench.siblings", path, textBytes(rng, 16));
        else b.missing("AppDomain-com.bench.siblings", path, {});
        ++k;
    }
}

void addBenchMedia(PlanBuilder& b, Rng& rng, std::uint64_t target) {
    std::uint64_t sum = 0;
    for (int i = 1000; sum < target; ++i) {
        char name[64];
        FileEntry* e = nullptr;
        if (i % 6 == 0) {
            std::snprintf(name, sizeof name, "Media/DCIM/101APPLE/IMG_%04d.MOV", i);
            e = &b.file("CameraRollDomain", name, quickTimeBytes(rng, 0));
            e->syntheticSize = 8'000'000 + rng.below(16'000'000);
        } else {
            std::snprintf(name, sizeof name, "Media/DCIM/101APPLE/IMG_%04d.JPG", i);
            e = &b.file("CameraRollDomain", name, jpegBytes(rng, 0, false));
            e->syntheticSize = 1'500'000 + rng.below(2'500'000);
        }
        sum += e->syntheticSize;
    }
}

}  // namespace

bool isSocialDomain(const std::string& domain) {
    return domain == kFacebook || domain == kMessenger || domain == kTwitter;
}

std::vector<BackupLayout> scenarioLayouts(const std::string& scenario) {
    using C = BackupLayout::Content;
    auto layout = [](DeviceProfile p, C c = C::Standard, bool binary = false, bool info = true) {
        BackupLayout s;
        s.profile = p;
        s.content = c;
        s.binaryPlists = binary;
        s.infoPlist = info;
        return s;
    };
    if (scenario == "ios4") return {layout(kIos4)};
    if (scenario == "ios4-legacy") {
        BackupLayout older = layout(kIos4);
        older.olderFileNames = true;
        return {older};
    }
    if (scenario == "ios5") return {layout(kIos5, C::Standard, true)};
    if (scenario == "ios6") return {layout(kIos6)};
    if (scenario == "ios6-p1024") {
        BackupLayout small = layout(kIos6);
        small.pageSize = 1024;
        return {small};
    }
    if (scenario == "ios7") return {layout(kIos7)};
    if (scenario == "demo") return {layout(kIos6, C::Demo)};
    if (scenario == "store")
        return {layout(kIos4), layout(kIos5, C::Standard, true), layout(kIos6), layout(kIos7, C::Standard, false, false)};
    if (scenario == "bench-manifest") return {layout(kIos6, C::BenchManifest)};
    if (scenario == "bench-messages") return {layout(kIos6, C::BenchMessages)};
    if (scenario == "bench-contacts") return {layout(kIos6, C::BenchContacts)};
    if (scenario == "bench-media") return {layout(kIos6, C::BenchMedia)};
    return {};
}

BackupPlan describeDevice(const BackupLayout& layout, Rng& rng) {
    static const std::vector<std::string> kNames = {
        "Ann\xE2\x80\x99s iPhone", "Ben's iPhone", "Zo\xC3\xAB\xE2\x80\x99s iPhone", "Work phone",
        "iPhone von J\xC3\xBCrgen", "Mia's iPhone"};
    BackupPlan plan;
    plan.iosMajor = layout.profile.iosMajor;
    plan.productVersion = layout.profile.productVersion;
    plan.productType = layout.profile.productType;
    plan.itunesVersion = layout.profile.itunesVersion;
    plan.olderFileNames = layout.olderFileNames;
    plan.dbPageSize = layout.pageSize;
    plan.deviceName = rng.pick(kNames);
    static const char kSerialChars[] = "0123456789ABCDEFGHJKLMNPQRSTUVWXYZ";
    plan.serialNumber = "C";
    for (int i = 0; i < 10; ++i) plan.serialNumber += kSerialChars[rng.below(sizeof kSerialChars - 1)];
    return plan;
}

void addOtherFiles(BackupPlan& plan, Rng& rng, const BackupLayout& layout, const ForgeOptions& options,
                   const std::string& scratchDir) {
    PlanBuilder b(plan, rng);
    addStandardFiles(b, rng, layout, scratchDir);
    const std::uint64_t records = options.manifestRecords ? options.manifestRecords : 100000;
    if (layout.content == BackupLayout::Content::BenchManifest && options.manifestFolders)
        addSiblingFiller(b, plan, rng, records, options.manifestFolders);
    else if (layout.content == BackupLayout::Content::BenchManifest)
        addFiller(b, plan, rng, records);
    if (layout.content == BackupLayout::Content::BenchMedia)
        addBenchMedia(b, rng, options.mediaBytes ? options.mediaBytes : 64ULL << 20);
}

}  // namespace salvor::forge
