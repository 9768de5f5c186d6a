// The manifest stage on arbitrary bytes: written as the backup folder's
// Manifest.mbdb and read by a fresh controller, exactly as a scan would.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "backup/manifest.h"
#include "core/scan_context.h"
#include "core/notification_center.h"
#include "platform/dispatcher.h"

namespace {

// One private folder for the whole run, removed at exit. Each input is one
// file write, so a memory-backed folder is preferred when no TMPDIR is given.
std::filesystem::path scratchBase() {
    std::error_code ec;
    if (!std::getenv("TMPDIR") && std::filesystem::is_directory("/dev/shm", ec) && ::access("/dev/shm", W_OK) == 0)
        return "/dev/shm";
    return std::filesystem::temp_directory_path(ec);
}

struct Folder {
    std::string path;
    Folder() {
        std::string tmpl = (scratchBase() / "salvor-fuzz-manifest-XXXXXX").string();
        if (::mkdtemp(tmpl.data())) path = tmpl;
    }
    ~Folder() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Folder folder;
    if (folder.path.empty()) return 0;
    const std::string file = folder.path + "/Manifest.mbdb";
    std::FILE* f = std::fopen(file.c_str(), "wb");
    if (!f) return 0;
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);

    salvor::NotificationCenter nc;
    salvor::ScanContext ctx(nc, folder.path);
    std::size_t posted = 0;
    nc.addObserver("FindBackUpDirFileInfo", [&](const std::any&) { ++posted; });
    salvor::scanDirAnalyThread(ctx, folder.path);
    // Every record is at least the five length fields and the attribute block.
    if (posted > size / 50 + 1) std::abort();
    for (const auto& node : ctx.treeFileArray)
        if (!node || !node->fileKey || node->fileKey->size() != folder.path.size() + 41) std::abort();
    return 0;
}
