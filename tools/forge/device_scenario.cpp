// The "device" scenario: a folder describing a simulated USB device around a
// forged iOS 6 backup, with two camera folders, for the device tests and for
// trying `salvor devices` / `salvor scan --device` without hardware.
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "forge/forge.h"

namespace salvor::forge {

namespace fs = std::filesystem;

namespace {

void writeBytes(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("forge: cannot write " + path.string());
}

std::vector<std::uint8_t> noise(Rng& rng, std::vector<std::uint8_t> head, std::size_t size) {
    while (head.size() < size) head.push_back(static_cast<std::uint8_t>(rng.next()));
    return head;
}

}  // namespace

std::vector<ForgedBackup> forgeDeviceFolder(const std::string& dir, const ForgeOptions& options) {
    const fs::path deviceDir = fs::path(dir) / "iphone";
    const fs::path store = deviceDir / "store";
    fs::create_directories(store);
    ForgeOptions backupOptions = options;
    backupOptions.scenario = "ios6";
    std::vector<ForgedBackup> backups = forgeStore(store.string(), backupOptions);
    if (backups.empty()) throw std::runtime_error("forge: no backup for the device scenario");
    const ForgedBackup& backup = backups.front();
    // The tool writes the backup as <root>/<udid>: the forged folder's name is the identifier.
    const std::string udid = fs::path(backup.path).filename().string();
    const nlohmann::json backupTruth = [&] {
        std::ifstream in(backup.truthPath);
        return nlohmann::json::parse(in, nullptr, false);
    }();
    const nlohmann::json b = backupTruth.is_object() ? backupTruth.value("backup", nlohmann::json::object())
                                                     : nlohmann::json::object();

    // Camera folders, plus a folder beside them that is not one.
    Rng rng(options.seed ^ 0x5DEECE66DULL);
    struct CameraFile {
        const char* folder;
        const char* name;
        const char* kind;
        std::vector<std::uint8_t> head;
        std::size_t size;
    };
    const std::vector<CameraFile> files{
        {"100APPLE", "IMG_0001.JPG", "photo", {0xFF, 0xD8, 0xFF, 0xE0}, 2100},
        {"100APPLE", "IMG_0002.PNG", "photo", {0x89, 'P', 'N', 'G'}, 1300},
        {"100APPLE", "IMG_0003.MOV", "video", {0, 0, 0, 0x14, 'f', 't', 'y', 'p'}, 5200},
        {"101APPLE", "IMG_0004.JPG", "photo", {0xFF, 0xD8, 0xFF, 0xE1}, 1700},
        {"101APPLE", "IMG_0005.AAE", "other", {'<', '?', 'x', 'm', 'l'}, 300},
    };
    const fs::path media = deviceDir / "media";
    nlohmann::json camera = nlohmann::json::array();
    for (const auto& f : files) {
        fs::create_directories(media / "DCIM" / f.folder);
        writeBytes(media / "DCIM" / f.folder / f.name, noise(rng, f.head, f.size));
        camera.push_back({{"devicePath", std::string("/DCIM/") + f.folder + "/" + f.name},
                          {"localName", std::string("I") + f.name},
                          {"kind", f.kind},
                          {"size", f.size}});
    }
    fs::create_directories(media / "DCIM" / ".MISC");
    writeBytes(media / "DCIM" / ".MISC" / "Info.plist", noise(rng, {'<', '?'}, 64));

    nlohmann::json description = {
        {"udid", udid},
        {"values",
         {{"",
           {{"DeviceName", b.value("strDeviceName", std::string("Forged iPhone"))},
            {"UniqueDeviceID", udid},
            {"ProductType", "iPhone5,2"},
            {"ProductVersion", b.value("strIOSVersion", std::string("6.1.3"))},
            {"SerialNumber", b.value("strDeviceSerial", std::string())}}},
          {"com.apple.mobile.backup", {{"WillEncrypt", false}}}}},
        {"pairing", "paired"},
        {"media", "media"},
        {"backup", fs::relative(backup.path, deviceDir).string()},
        {"tool", {{"exit", 0}, {"snapshotState", "finished"}, {"progress", {0, 10, 35, 60, 85, 100}}}}};
    const std::string text = description.dump(1) + "\n";
    writeBytes(deviceDir / "device.json", std::vector<std::uint8_t>(text.begin(), text.end()));

    const nlohmann::json truth = {{"udid", udid}, {"backupTruth", backup.truthPath}, {"camera", camera}};
    const std::string truthText = truth.dump(1) + "\n";
    const std::string truthPath = (fs::path(dir) / "device.truth.json").string();
    writeBytes(truthPath, std::vector<std::uint8_t>(truthText.begin(), truthText.end()));
    return {ForgedBackup{backup.path, truthPath, backup.iosMajor}};
}

}  // namespace salvor::forge
