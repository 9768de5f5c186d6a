// The device layer, the camera copy and the device backup flow, on the
// simulated device.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <any>
#include <filesystem>
#include <mutex>

#include "backup/amd_device.h"
#include "backup/device_media.h"
#include "core/record_collector.h"
#include "core/scan_context.h"
#include "engine/device_scan.h"
#include "engine/result_store_observer.h"
#include "platform/backup_tool.h"
#include "platform/device_folder.h"
#include "platform/log.h"
#include "support/support.h"

namespace salvor::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// A simulated device folder written by hand: `files` are device paths → contents.
void describeDevice(const std::string& root, const std::string& sub, json description,
                    const std::map<std::string, std::string>& files = {}) {
    fs::create_directories(root + "/" + sub + "/media");
    if (!description.contains("media")) description["media"] = "media";
    writeFile(root + "/" + sub + "/device.json", description.dump());
    for (const auto& [path, content] : files) {
        fs::create_directories(fs::path(root + "/" + sub + "/media" + path).parent_path());
        writeFile(root + "/" + sub + "/media" + path, content);
    }
}

json deviceValues(const std::string& udid, const std::string& name) {
    return {{"udid", udid}, {"values", {{"", {{"DeviceName", name}, {"UniqueDeviceID", udid}}}}}};
}

struct LogCapture {
    std::mutex mutex;
    std::vector<std::string> lines;
    LogCapture() {
        log::setSink([this](log::Level, const std::string& l) {
            std::lock_guard lock(mutex);
            lines.push_back(l);
        });
    }
    ~LogCapture() { log::setSink(nullptr); }
    bool has(const std::string& text) {
        std::lock_guard lock(mutex);
        return std::find(lines.begin(), lines.end(), text) != lines.end();
    }
};

// Arrivals and removals with their indexes, and what a stage delivers.
struct Events {
    std::vector<std::pair<std::string, int>> devices;
    RecordCollector sink;
    std::vector<int>& progress = sink.progressValues;
    std::vector<PhotoPtr>& photos = sink.photos;
    amd::MVDeviceNotify notify{[this](int i) { devices.emplace_back("DeviceConnect", i); },
                               [this](int i) { devices.emplace_back("DeviceDisConnect", i); }};
};

TEST(DeviceLayer, ArrivalRemovalIndexesAndOpening) {
    TempDir dir;
    describeDevice(dir.path(), "a", deviceValues("aaaa-1", "First"));
    describeDevice(dir.path(), "b", deviceValues("bbbb-2", "Second"));
    auto support = device::makeSimulatedSupport(dir.path());
    Events seen;
    LogCapture log;
    amd::DeviceManager manager(*support);
    manager.setNotify(&seen.notify);
    ASSERT_EQ(manager.subscribe(), 0);
    EXPECT_EQ(seen.devices, (std::vector<std::pair<std::string, int>>{{"DeviceConnect", 1}, {"DeviceConnect", 2}}));

    // The first leaves: the second moves up, and the notice names the position the first had.
    device::simulateNotice(*support, "aaaa-1", device::kNoticeRemoved);
    EXPECT_EQ(seen.devices.back(), (std::pair<std::string, int>{"DeviceDisConnect", 1}));
    EXPECT_EQ(manager.count(), 1);
    EXPECT_EQ(manager.deviceAt(1), "bbbb-2");

    // Removal of a device that is not listed: logged, nothing posted.
    const auto posted = seen.devices.size();
    device::simulateNotice(*support, "zzzz-9", device::kNoticeRemoved);
    EXPECT_TRUE(log.has("* Remove an unknown device"));
    EXPECT_EQ(seen.devices.size(), posted);

    for (int bad : {0, -1, 2}) {
        amd::BaseInfo info(manager);
        EXPECT_EQ(info.open(bad), 1) << bad;
    }
    EXPECT_TRUE(log.has("* Invalid device init"));
    amd::BaseInfo info(manager);
    ASSERT_EQ(info.open(1), 0);
    EXPECT_EQ(info.deviceName(), "Second");
    EXPECT_FALSE(info.productType().has_value());
}

TEST(DeviceLayer, ControllerReadsTheIdentifierOnArrivalUnlessTheDeviceIsLocked) {
    TempDir dir;
    describeDevice(dir.path(), "a", deviceValues("aaaa-1", "Open"));
    json locked = deviceValues("bbbb-2", "Locked");
    locked["pairing"] = "locked";
    describeDevice(dir.path(), "b", locked);
    auto support = device::makeSimulatedSupport(dir.path());
    amd::DeviceManager manager(*support);
    ScanSession session;
    LogCapture log;
    session.app.initDeviceManagement(&manager);
    // The locked one arrived last: its identifier could not be read, the earlier one stays.
    EXPECT_TRUE(session.app.bDeviceHasConnected);
    EXPECT_EQ(session.app.theIOSdevice, 2);
    EXPECT_EQ(session.app.udidString, "aaaa-1");
    EXPECT_TRUE(log.has("* Invalid pair"));

    std::string alert;
    session.app.onDeviceAlert = [&](const std::string& text) { alert = text; };
    device::simulateNotice(*support, "bbbb-2", device::kNoticeRemoved);
    EXPECT_FALSE(session.app.bDeviceHasConnected);
    EXPECT_NE(alert.find("Device disconnected"), std::string::npos);
}

// The camera copy, run as the scan's stage on a device of its own.
struct CameraCopy {
    TempDir dir;
    TempDir photos;
    std::unique_ptr<device::DeviceSupport> support;
    std::unique_ptr<amd::DeviceManager> manager;
    Events seen;

    explicit CameraCopy(const std::map<std::string, std::string>& files, const std::vector<std::string>& unreadable = {}) {
        json d = deviceValues("cccc-3", "Camera");
        d["unreadable"] = unreadable;
        describeDevice(dir.path(), "c", d, files);
        support = device::makeSimulatedSupport(dir.path());
        manager = std::make_unique<amd::DeviceManager>(*support);
        manager->subscribe();
        setDeviceMediaSource(DeviceMediaSource{manager.get(), 1, photos.path()});
    }
    ~CameraCopy() { setDeviceMediaSource(std::nullopt); }
    void run() {
        ScanContext ctx(seen.sink);
        scanDeviceMedia(ctx, "");
    }
};

TEST(CameraCopy, ThreeFilesOnePhotoGiveTheProgressStepsAndOneRecord) {
    CameraCopy copy({{"/DCIM/100APPLE/IMG_0001.JPG", "jpeg bytes"},
                     {"/DCIM/100APPLE/IMG_0002.AAE", "<xml/>"},
                     {"/DCIM/100APPLE/notes.txt", "text"}});
    copy.run();
    EXPECT_EQ(copy.seen.progress, (std::vector<int>{23, 26, 30}));
    ASSERT_EQ(copy.seen.photos.size(), 1u);
    const auto& p = *copy.seen.photos[0];
    EXPECT_EQ(p.fileNodeName, "IIMG_0001.JPG");
    EXPECT_EQ(p.fileSizeNumber, 10u);
    EXPECT_EQ(p.bmov, 0);
    EXPECT_EQ(readFile(textOrEmpty(p.filePath)), "jpeg bytes");
    // Every file is copied, media or not.
    EXPECT_EQ(filesBelow(copy.photos.path()).size(), 3u);
}

TEST(CameraCopy, AllCameraFoldersAreCopiedAndNothingIsReplaced) {
    CameraCopy copy({{"/DCIM/100APPLE/IMG_0001.JPG", "first"},
                     {"/DCIM/101APPLE/IMG_0001.JPG", "second"},
                     {"/DCIM/102APPLE/CLIP.MOV", "movie"},
                     {"/DCIM/.MISC/Info.plist", "not a camera folder"},
                     {"/DCIM/100APPLE/EMPTY.JPG", ""},
                     {"/DCIM/100APPLE/LOST.JPG", "cannot be opened"}},
                    {"/DCIM/100APPLE/LOST.JPG"});
    // A file of the person's that happens to have the local name stays as it is.
    writeFile(copy.photos / "IIMG_0001.JPG", "keep me");
    copy.run();
    EXPECT_EQ(readFile(copy.photos / "IIMG_0001.JPG"), "keep me");
    std::map<std::string, std::string> copied;
    for (const auto& p : copy.seen.photos) copied[readFile(textOrEmpty(p->filePath))] = textOrEmpty(p->fileNodeName);
    EXPECT_EQ(copied.size(), 3u);
    EXPECT_TRUE(copied.count("first") && copied.count("second") && copied.count("movie"));
    EXPECT_EQ(copied["movie"], "ICLIP.MOV");
    // The unreadable file and the empty one leave nothing behind and are not listed.
    EXPECT_FALSE(fs::exists(copy.photos / "ILOST.JPG"));
    EXPECT_FALSE(fs::exists(copy.photos / "IEMPTY.JPG"));
    EXPECT_EQ(filesBelow(copy.photos.path()).size(), 4u);
    EXPECT_EQ(copy.seen.progress.back(), 30);
}

TEST(PrivateFolder, IsMadePrivateAndRefusedWhenPlantedAsALink) {
    TempDir home, elsewhere;
    ::setenv("XDG_CACHE_HOME", (home / "cache").c_str(), 1);
    std::string error;
    auto f = device::privateDeviceFolders("abcd-1234", error);
    ASSERT_TRUE(f) << error;
    struct stat st {};
    for (const auto& d : {home / "cache/salvor", home / "cache/salvor/device", f->root, f->backup, f->photo}) {
        ASSERT_EQ(::lstat(d.c_str(), &st), 0) << d;
        EXPECT_EQ(st.st_mode & 0777, 0700u) << d;
    }
    EXPECT_FALSE(device::privateDeviceFolders("../../etc", error));

    // A link planted where a folder of ours goes is refused, not followed.
    fs::remove_all(f->photo);
    fs::create_directory_symlink(elsewhere.path(), f->photo);
    EXPECT_FALSE(device::privateDeviceFolders("abcd-1234", error));
    EXPECT_NE(error.find("link"), std::string::npos);
    ::unsetenv("XDG_CACHE_HOME");
}

TEST(BackupTool, PercentagesOfTheProgressBar) {
    EXPECT_EQ(device::percentagesIn("[====      ]  42% Finished\r[=====     ]  50.5% Finished\r"),
              (std::vector<int>{42, 50}));
    EXPECT_TRUE(device::percentagesIn("100 files, no sign, %, 1234%, [==] 90% (1.0 MB/2.0 MB)").empty());
}

// The real tool's adapter, with a stand-in idevicebackup2 on PATH that
// records its arguments and prints a bar that goes back once.
TEST(BackupTool, RealAdapterPassesTheArgumentsAndMapsProgressAndExitStatus) {
    TempDir bin;
    writeFile(bin / "idevicebackup2",
              "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done > \"$(dirname \"$0\")/args\"\n"
              "printf '[=   ]  10%% Finished\\r[==  ]  55%% Finished\\r[=== ]  90%% (1.0 MB/2.0 MB)\\n'\n"
              "printf '[====] 100%% Finished\\nBackup Failed (Error Code -4).\\n'\nexit 3\n");
    ::chmod((bin / "idevicebackup2").c_str(), 0755);
    const std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    auto tool = device::makeLibimobiledeviceSupport()->backupTool();
    ::setenv("PATH", "/nonexistent", 1);
    EXPECT_TRUE(tool->missing());
    ::setenv("PATH", (bin.path() + ":" + oldPath).c_str(), 1);
    EXPECT_FALSE(tool->missing());
    std::vector<int> progress;
    const auto run = tool->run("00008030-ABCD", "/root of backups", [&](int p) { progress.push_back(p); });
    ::setenv("PATH", oldPath.c_str(), 1);
    EXPECT_TRUE(run.started);
    EXPECT_EQ(run.exitStatus, 3);
    EXPECT_EQ(readFile(bin / "args"), "-u\n00008030-ABCD\nbackup\n/root of backups\n");
    EXPECT_EQ(progress, (std::vector<int>{2, 11, 20}));
    EXPECT_NE(run.outputTail.find("Backup Failed"), std::string::npos);
}

// The device backup and the scan, with a result store that counts ends of scans.
struct Finishes : ResultStoreObserver {
    int finished = 0;
    std::vector<std::string> problems;
    void scanFinished(bool) override { ++finished; }
    void problemReported(const std::string& text) override { problems.push_back(text); }
};

struct BackupFlow : ::testing::Test {
    TempDir sim, home;
    forge::ForgedBackup forged;
    void SetUp() override {
        forge::ForgeOptions options;
        options.seed = 5;
        options.scenario = "device";
        forged = forge::forgeDeviceFolder(sim.path(), options).front();
        ::setenv("XDG_CACHE_HOME", (home / "cache").c_str(), 1);
    }
    void TearDown() override { ::unsetenv("XDG_CACHE_HOME"); }
    void edit(const std::function<void(json&)>& change) {
        json d = readJson(sim / "iphone/device.json");
        change(d);
        writeFile(sim / "iphone/device.json", d.dump());
    }
    // Runs the whole device flow; the failure sentence, if any.
    std::optional<std::string> run(Finishes& seen, std::vector<int>* progress = nullptr,
                                   const std::string& password = {}) {
        auto support = device::makeSimulatedSupport(sim.path());
        amd::DeviceManager manager(*support);
        ScanSession session;
        if (!password.empty()) {
            BackupSecret secret;
            secret.password = crypto::SecretBytes(crypto::bytesOf(password));
            session.app.setBackupSecret(std::move(secret));
        }
        session.store.addObserver(&seen);
        DeviceScan scan(session, &manager);
        auto problem = scan.run("", [&](int p) {
            if (progress) progress->push_back(p);
        });
        photos = session.store.photos().size();
        return problem;
    }
    std::size_t photos = 0;
};

TEST_F(BackupFlow, ToolProgressThenCameraCopyThenScan) {
    Finishes seen;
    std::vector<int> progress;
    ASSERT_FALSE(run(seen, &progress));
    EXPECT_EQ(seen.finished, 1);
    // The tool's own percentages on 0..20, then the camera copy's 20..30.
    const std::vector<int> start(progress.begin(), progress.begin() + 6);
    EXPECT_EQ(start, (std::vector<int>{0, 2, 7, 12, 17, 20}));
    EXPECT_NE(std::find(progress.begin(), progress.end(), 30), progress.end());
    const json truth = readJson(forged.truthPath);
    std::size_t media = 0;
    for (const auto& c : truth["camera"]) media += c["kind"] != "other";
    EXPECT_EQ(media, 4u);
    EXPECT_GT(photos, media);
    const std::string kept = home / ("cache/salvor/device/" + truth["udid"].get<std::string>() + "/Backup/" +
                                     truth["udid"].get<std::string>());
    EXPECT_TRUE(fs::exists(kept + "/Manifest.mbdb"));
}

TEST_F(BackupFlow, NoScanAfterARemovalAFailedToolOrAnUnfinishedSnapshot) {
    struct Case {
        const char* what;
        std::function<void(json&)> change;
        const char* says;
    };
    const std::vector<Case> cases{
        {"removal", [](json& d) { d["tool"]["removeDuringBackup"] = true; }, "disconnected during the backup"},
        {"exit", [](json& d) { d["tool"]["exit"] = 1; }, "backup tool failed"},
        {"snapshot", [](json& d) { d["tool"]["snapshotState"] = "uploading"; }, "did not finish"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        edit([](json& d) { d["tool"] = {{"exit", 0}}; });
        edit(c.change);
        Finishes seen;
        const auto problem = run(seen);
        ASSERT_TRUE(problem);
        EXPECT_NE(problem->find(c.says), std::string::npos) << *problem;
        // The end of the (absent) scan is still announced once; nothing was scanned.
        EXPECT_EQ(seen.finished, 1);
        EXPECT_EQ(photos, 0u);
    }
}

TEST_F(BackupFlow, RefusalsAPersonCanActOn) {
    struct Case {
        const char* what;
        std::function<void(json&)> change;
        const char* says;
    };
    const std::vector<Case> cases{
        {"locked", [](json& d) { d["pairing"] = "locked"; }, "unlock the device and tap Trust on it"},
        {"untrusted", [](json& d) { d["pairing"] = "untrusted"; }, "unlock the device and tap Trust on it"},
        {"refused", [](json& d) { d["pairing"] = "refused"; }, "refused to pair"},
        {"encrypted", [](json& d) { d["values"]["com.apple.mobile.backup"]["WillEncrypt"] = true; },
         "encryption is on"},
    };
    const json original = readJson(sim / "iphone/device.json");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        writeFile(sim / "iphone/device.json", original.dump());
        edit(c.change);
        Finishes seen;
        const auto problem = run(seen);
        ASSERT_TRUE(problem);
        EXPECT_NE(problem->find(c.says), std::string::npos) << *problem;
        // Refused before the backup: no tool run, no backup folder.
        EXPECT_TRUE(filesBelow(home / "cache").empty());
    }
    // A device whose backup comes out in the newer format is scanned like any
    // other; an encrypted one is kept and, without its password, refused with a
    // sentence; with it, scanned.
    forge::EncryptionOptions keys;
    keys.kdfIterations = 1000;
    for (const int kind : {0, 1, 2}) {
        const bool encrypted = kind > 0, withPassword = kind == 2;
        SCOPED_TRACE(withPassword ? "modern, encrypted, with its password" : encrypted ? "modern, encrypted" : "modern");
        writeFile(sim / "iphone/device.json", original.dump());
        TempDir modern;
        TempDir scratch;
        const auto m = forge::forgeModernBackup(modern.path(), 3, encrypted, scratch.path(), &keys);
        edit([&](json& d) {
            d["backup"] = m.path;
            if (withPassword) d["values"]["com.apple.mobile.backup"]["WillEncrypt"] = true;
        });
        Finishes seen;
        photos = 0;
        const auto problem = run(seen, nullptr, withPassword ? keys.password : std::string());
        if (encrypted && !withPassword) {
            EXPECT_EQ(seen.finished, 1);
            ASSERT_TRUE(problem);
            EXPECT_NE(problem->find("give the backup password"), std::string::npos) << *problem;
        } else {
            EXPECT_FALSE(problem) << *problem;
            EXPECT_GT(photos, 0u);
        }
    }
}

}  // namespace
}  // namespace salvor::test
