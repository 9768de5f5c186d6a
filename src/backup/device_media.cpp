#include "backup/device_media.h"

#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <vector>
#include <mutex>

#include "backup/amd_device.h"
#include "core/helpers.h"
#include "core/scan_context.h"
#include "platform/log.h"

namespace salvor {

namespace {

std::mutex g_sourceMutex;
std::optional<DeviceMediaSource> g_source;

// "100APPLE" ... "999APPLE": the folders the camera writes.
bool isCameraFolder(const std::string& name) {
    return name.size() == 8 && name[0] >= '1' && name[0] <= '9' && std::isdigit(static_cast<unsigned char>(name[1])) &&
           std::isdigit(static_cast<unsigned char>(name[2])) && name.compare(3, 5, "APPLE") == 0;
}

// The AFC file type, in words.
std::string kindName(const std::string& ifmt) {
    if (ifmt == "S_IFLNK") return "a link";
    if (ifmt == "S_IFIFO") return "a FIFO";
    if (ifmt == "S_IFSOCK") return "a socket";
    if (ifmt == "S_IFCHR" || ifmt == "S_IFBLK") return "a device";
    return ifmt;
}

std::string extensionOf(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

}  // namespace

void setDeviceMediaSource(std::optional<DeviceMediaSource> source) {
    std::lock_guard lock(g_sourceMutex);
    g_source = std::move(source);
}

void scanDeviceMedia(ScanContext& ctx, const std::string&) {
    std::optional<DeviceMediaSource> source;
    {
        std::lock_guard lock(g_sourceMutex);
        source = g_source;
    }
    if (!source || !source->manager || source->photoFolder.empty()) {
        log::line("no connected device to copy camera files from", log::Level::Debug);
        return;
    }
    amd::AfcService afc(*source->manager);
    if (afc.open(source->index) != 0) {
        ctx.reportProblem("the camera folder of the device could not be opened; its photos are not listed");
        return;
    }
    // Every camera folder, in name order, and the files of each in the order listed.
    std::vector<std::string> folders;
    if (auto top = afc.readDirectory("/DCIM"))
        for (const auto& name : *top)
            if (isCameraFolder(name)) folders.push_back(name);
    std::sort(folders.begin(), folders.end());
    std::vector<std::string> files;
    for (const auto& folder : folders) {
        const std::string dir = "/DCIM/" + folder;
        if (auto names = afc.readDirectory(dir))
            for (const auto& name : *names) files.push_back(dir + "/" + name);
    }
    const std::size_t n = files.size();
    std::size_t failures = 0;
    std::vector<std::string> skipped;
    for (std::size_t i = 1; i <= n && !ctx.stopRequested(); ++i) {
        const std::string& devicePath = files[i - 1];
        const std::string name = devicePath.substr(devicePath.rfind('/') + 1);
        std::string localPath;
        // Only regular files are copied: a link could name a file outside the
        // camera folder and a FIFO would never end.
        const auto info = afc.fileInfo(devicePath);
        const auto kind = info ? info->find("st_ifmt") : std::map<std::string, std::string>::const_iterator();
        if (info && kind != info->end() && kind->second != "S_IFREG") {
            if (kind->second != "S_IFDIR") skipped.push_back(devicePath + " (" + kindName(kind->second) + ")");
            ctx.postProgress(20 + static_cast<int>(10 * i / n));
            continue;
        }
        if (afc.copyToLocalFile(devicePath, source->photoFolder, "I" + name, localPath) == 0) {
            const std::string ext = extensionOf(name);
            const bool picture = !ext.empty() && GetImageType(ext.c_str()) >= 0;
            const bool movie =
                !picture && !ext.empty() && (GetAudioType(ext.c_str()) >= 0 || GetViedoType(ext.c_str()) >= 0);
            if (picture || movie) {
                struct stat st {};
                const std::uint64_t size =
                    ::lstat(localPath.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
                auto node = std::make_shared<MVPhotoAndVideoNode>();
                node->filePath = localPath;
                node->fileSizeNumber = size;
                node->fileNodeName = localPath.substr(localPath.rfind('/') + 1);
                node->bmov = movie ? 1 : 0;
                ctx.sink.photo(PhotoPtr(std::move(node)));
            }
        } else {
            ++failures;
            log::line("camera file not copied: " + devicePath, log::Level::Info);
        }
        ctx.postProgress(20 + static_cast<int>(10 * i / n));
    }
    if (!skipped.empty()) {
        std::string list;
        for (std::size_t k = 0; k < skipped.size() && k < 5; ++k) list += (k ? ", " : "") + skipped[k];
        if (skipped.size() > 5) list += " and " + std::to_string(skipped.size() - 5) + " more";
        ctx.reportProblem(std::to_string(skipped.size()) + " entr" + (skipped.size() == 1 ? "y" : "ies") +
                          " of the device's camera folders were not copied, not being regular files: " + list);
    }
    if (failures > 0)
        ctx.reportProblem(std::to_string(failures) + " camera file(s) of the device could not be copied (unreadable, "
                          "empty or the device was removed)");
    log::line("camera files copied into " + source->photoFolder, log::Level::Info);
}

}  // namespace salvor
