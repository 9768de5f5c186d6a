// `salvor devices` and `salvor scan --device` on the forged simulated device.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <set>

#include "forge/forge.h"
#include "support/support.h"

namespace salvor::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (std::size_t pos = 0; (pos = text.find(from, pos)) != std::string::npos; pos += to.size())
        text.replace(pos, from.size(), to);
}

TEST(DeviceCommand, ListsAndScansTheDeviceLikeItsBackupPlusTheCameraFiles) {
    TempDir sim, home;
    forge::ForgeOptions options;
    options.seed = 11;
    options.scenario = "device";
    const auto forged = forge::forgeDeviceFolder(sim.path(), options).front();
    const json truth = readJson(forged.truthPath);
    const std::string udid = truth["udid"];
    const std::map<std::string, std::string> env{
        {"SALVOR_SIMULATED_DEVICE", sim.path()}, {"HOME", home.path()}, {"XDG_CACHE_HOME", ""}};
    const auto simBefore = fingerprint(sim.path());

    auto devices = runSalvor({"devices", "--json"}, {}, env);
    ASSERT_EQ(devices.exitCode, 0) << devices.err;
    const json listed = json::parse(devices.out);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0]["udid"], udid);
    EXPECT_EQ(listed[0]["paired"], 1);
    EXPECT_EQ(listed[0]["version"], "6.1.3");

    auto scan = runSalvor({"scan", "--device", "--json"}, home.path(), env);
    ASSERT_EQ(scan.exitCode, 0) << scan.err;
    const std::string kept = home / (".cache/salvor/device/" + udid + "/Backup/" + udid);
    EXPECT_NE(scan.err.find(kept), std::string::npos) << scan.err;

    // The same records as a scan of the backup folder itself, paths aside...
    auto plain = runSalvor({"scan", forged.path, "--json"});
    ASSERT_EQ(plain.exitCode, 0) << plain.err;
    std::string deviceText = scan.out;
    replaceAll(deviceText, kept, forged.path);
    json fromDevice = json::parse(deviceText);
    const json fromBackup = json::parse(plain.out);
    for (const char* list : {"contacts", "messages", "conversations", "calls", "notes", "bookmarks", "calendar",
                             "social", "tree"})
        EXPECT_EQ(fromDevice[list], fromBackup[list]) << list;
    // ...and the photos: the backup's, then the camera folders' photos and video.
    const json& photos = fromDevice["photos"];
    const std::size_t inBackup = fromBackup["photos"].size();
    ASSERT_GE(photos.size(), inBackup);
    for (std::size_t i = 0; i < inBackup; ++i) EXPECT_EQ(photos[i], fromBackup["photos"][i]) << i;
    std::vector<std::string> cameraNames, expected;
    for (std::size_t i = inBackup; i < photos.size(); ++i) {
        cameraNames.push_back(photos[i]["fileNodeName"]);
        EXPECT_EQ(photos[i]["bmov"], photos[i]["fileNodeName"].get<std::string>().ends_with(".MOV") ? 1 : 0);
    }
    for (const auto& c : truth["camera"])
        if (c["kind"] != "other") expected.push_back(c["localName"]);
    EXPECT_EQ(cameraNames, expected);

    // Nothing was written outside the private folder: the device's folder is
    // untouched and the home holds only the cache's salvor folder.
    EXPECT_EQ(fingerprint(sim.path()), simBefore);
    for (const auto& f : filesBelow(home.path()))
        EXPECT_EQ(f.rfind(home / ".cache/salvor/device/" + udid + "/", 0), 0u) << f;
}

TEST(DeviceCommand, RecoverFromTheDeviceWritesTheCameraFilesToo) {
    TempDir sim, home, out;
    forge::ForgeOptions options;
    options.seed = 12;
    options.scenario = "device";
    forge::forgeDeviceFolder(sim.path(), options);
    auto r = runSalvor({"recover", "--device", "--category", "photos", "--to", out / "dest"}, {},
                       {{"SALVOR_SIMULATED_DEVICE", sim.path()}, {"HOME", home.path()}, {"XDG_CACHE_HOME", ""}});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::set<std::string> names;
    for (const auto& f : filesBelow(out / "dest")) names.insert(fs::path(f).filename().string());
    for (const char* name : {"IIMG_0001.JPG", "IIMG_0003.MOV", "IIMG_0004.JPG"}) EXPECT_TRUE(names.count(name)) << name;
    EXPECT_FALSE(names.count("IIMG_0005.AAE"));
}

TEST(DeviceCommand, CameraFoldersCopyOnlyRegularFilesAndSayWhatWasSkipped) {
    TempDir sim, home, elsewhere;
    forge::ForgeOptions options;
    options.seed = 13;
    options.scenario = "device";
    const auto forged = forge::forgeDeviceFolder(sim.path(), options).front();
    const json truth = readJson(forged.truthPath);
    const std::string udid = truth["udid"];
    // A FIFO, which would block a reader for ever, and a link to a file of
    // this computer, among the camera's pictures.
    const std::string camera = sim / "iphone/media/DCIM/100APPLE";
    ASSERT_TRUE(fs::is_directory(camera));
    ASSERT_EQ(::mkfifo((camera + "/IMG_0100.JPG").c_str(), 0600), 0);
    const std::string secret = elsewhere / "secret.jpg";
    writeFile(secret, "\xFF\xD8\xFF\xE0 a file of this computer, never a photo of the device");
    fs::create_symlink(secret, camera + "/IMG_0101.JPG");
    const std::map<std::string, std::string> env{
        {"SALVOR_SIMULATED_DEVICE", sim.path()}, {"HOME", home.path()}, {"XDG_CACHE_HOME", ""}};

    auto scan = runSalvor({"scan", "--device", "--json"}, home.path(), env);
    EXPECT_EQ(scan.exitCode, 1) << scan.err;
    const json result = json::parse(scan.out);
    bool fifoSaid = false, linkSaid = false;
    for (const auto& p : result["problems"]) {
        const std::string text = p;
        fifoSaid = fifoSaid || (text.find("IMG_0100.JPG (a FIFO)") != std::string::npos);
        linkSaid = linkSaid || (text.find("IMG_0101.JPG (a link)") != std::string::npos);
    }
    EXPECT_TRUE(fifoSaid) << result["problems"].dump();
    EXPECT_TRUE(linkSaid) << result["problems"].dump();
    // The camera's own files are listed as ever; neither entry is.
    std::vector<std::string> cameraNames, expected;
    for (const auto& p : result["photos"]) {
        const std::string name = p["fileNodeName"];
        if (name.starts_with("IIMG_")) cameraNames.push_back(name);
    }
    for (const auto& c : truth["camera"])
        if (c["kind"] != "other") expected.push_back(c["localName"]);
    EXPECT_EQ(cameraNames, expected);
    const std::string secretDigest = sha1Hex(readBytes(secret));
    for (const auto& f : filesBelow(home.path())) EXPECT_NE(sha1Hex(readBytes(f)), secretDigest) << f;
}

TEST(DeviceCommand, OneSentenceAndFailureWithoutUsbmuxdOrDevice) {
    TempDir sim, home;
    auto none = runSalvor({"devices"}, {}, {{"SALVOR_SIMULATED_DEVICE", sim.path()}, {"HOME", home.path()}});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_NE(none.err.find("No iPhone or iPad is connected"), std::string::npos) << none.err;
    auto scan = runSalvor({"scan", "--device"}, {}, {{"SALVOR_SIMULATED_DEVICE", sim.path()}, {"HOME", home.path()}});
    EXPECT_EQ(scan.exitCode, 1);
    EXPECT_NE(scan.err.find("no iPhone or iPad is connected"), std::string::npos) << scan.err;

    writeFile(sim / "no-usbmuxd", "");
    auto down = runSalvor({"devices"}, {}, {{"SALVOR_SIMULATED_DEVICE", sim.path()}, {"HOME", home.path()}});
    EXPECT_EQ(down.exitCode, 1);
    EXPECT_EQ(down.err.rfind("salvor: usbmuxd is not running", 0), 0u) << down.err;
    EXPECT_EQ(std::count(down.err.begin(), down.err.end(), '\n'), 1);
}

}  // namespace
}  // namespace salvor::test
