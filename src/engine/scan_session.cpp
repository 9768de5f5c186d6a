#include "engine/scan_session.h"

#include <unistd.h>

#include <any>
#include <filesystem>

#include "backup/device_list.h"
#include "core/events.h"

namespace salvor {

namespace fs = std::filesystem;

std::string absolutePath(const std::string& path) {
    std::error_code ec;
    fs::path p = fs::absolute(path, ec);
    if (ec) p = path;
    std::string s = p.lexically_normal().string();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

// ---- the session ----

ScanSession::ScanSession() = default;
ScanSession::~ScanSession() { app.waitForScan(); }

void ScanSession::cancel() {
    cancelRequested_ = true;
    app.cancelScan();
}

std::optional<std::string> ScanSession::run(const std::string& backupDir, std::function<void(int)> onProgress) {
    if (auto problem = start(backupDir, std::move(onProgress))) return problem;
    dispatcher.pumpUntil([this] { return !app.isScanning(); });
    finish();
    return std::nullopt;
}

bool ScanSession::running() const { return app.isScanning(); }

void ScanSession::finish() {
    app.waitForScan();
    if (progressToken_) nc.removeObserver(progressToken_);
    progressToken_ = 0;
}

std::optional<std::string> ScanSession::start(const std::string& backupDirArg, std::function<void(int)> onProgress) {
    const std::string backupDir = absolutePath(backupDirArg);
    std::error_code ec;
    if (!fs::exists(backupDir, ec)) return "no such folder: " + backupDir;
    if (!fs::is_directory(backupDir, ec)) return "not a folder: " + backupDir;
    if (access(backupDir.c_str(), R_OK | X_OK) != 0)
        return "cannot read the folder " + backupDir + " (check its permissions)";

    // Describe the folder exactly as the backup list would.
    auto& devices = app.GetMVIOSDeviceController();
    devices.removeAll();
    describedAsBackup = devices.addDeviceNodeByPath(backupDir);
    DeviceNodePtr node;
    if (describedAsBackup && !devices.arrangedObjects.empty()) {
        node = devices.arrangedObjects.back();
    } else {
        // Not described (no usable Info.plist or Manifest.plist): still scan what is
        // there, since a damaged backup may hold the very data the user needs.
        node = std::make_shared<MVIOSDeviceNode>();
        node->backUpFilePath = backupDir;
        nameAfterFolderIfUnnamed(*node, backupDir);
        describeBackupFormat(*node, backupDir);
    }
    app.bIOSRecoveryMode = false;
    app.currentNode = node;
    app.currentNodeIsiOS6Version = app.IOSVersionIOS6(node->strIOSVersion);

    onProgress_ = std::move(onProgress);
    if (onProgress_) {
        progressToken_ = nc.addObserver(events::ScanProgressInfo, [this](const std::any& object) {
            if (const int* percent = std::any_cast<int>(&object)) onProgress_(*percent);
        });
    }
    app.onScanThreadExit = [this] { dispatcher.wake(); };
    if (!app.ScanIOSBackFile(textOrEmpty(node->backUpFilePath))) {
        if (progressToken_) nc.removeObserver(progressToken_);
        progressToken_ = 0;
        return std::string("another scan is running");
    }
    // A cancel that came before the scan had started is applied now.
    if (cancelRequested_) app.cancelScan();
    return std::nullopt;
}

// ---- counts ----

namespace {

template <class List>
CategoryCount countList(const std::string& name, const List& list) {
    CategoryCount c{name};
    for (const auto& r : list) {
        if (!r) continue;
        if (r->bDeleted) ++c.deleted;
        else ++c.live;
    }
    return c;
}

// Iterative: a manifest may describe a tree far deeper than the stack.
long countTreeFiles(const std::vector<TreeDirPtr>& roots) {
    long n = 0;
    std::vector<const MVTreeDirNode*> stack;
    for (const auto& r : roots)
        if (r) stack.push_back(r.get());
    while (!stack.empty()) {
        const MVTreeDirNode* d = stack.back();
        stack.pop_back();
        n += static_cast<long>(d->fileChildren.size());
        for (const auto& c : d->children)
            if (c) stack.push_back(c.get());
    }
    return n;
}

}  // namespace

std::vector<CategoryCount> countCategories(const MVResultViewController& st) {
    std::vector<CategoryCount> out;
    out.push_back(countList("Contacts", st.contactArray));
    // The store lists only the first carved message of each deleted
    // conversation; the others are its members, and a person counts them all,
    // with the recently deleted ones inside live conversations.
    CategoryCount messages = countList("Messages", st.messageArray);
    CategoryCount conv{"Conversations"};
    messages.deleted = 0;
    for (const auto& c : st.messageTreeArray) {
        if (!c) continue;
        ++(c->bdeleted ? conv.deleted : conv.live);
        for (const auto& m : c->MessageNodeArray) messages.deleted += m && m->bDeleted == 1;
    }
    out.push_back(messages);
    out.push_back(conv);
    out.push_back(countList("Call history", st.callHistoryArray));
    out.push_back(countList("Notes", st.noteArray));
    out.push_back(countList("Bookmarks", st.bookMarkArray));
    out.push_back(countList("Calendar", st.calendarArray));
    out.push_back(countList("Photos & videos", st.photoAndVideoArray));
    CategoryCount social{"Social app files"};
    social.live = static_cast<long>(st.faceTwitterArray.size());
    out.push_back(social);
    CategoryCount files{"Backup files"};
    files.live = countTreeFiles(st.treeController.content);
    out.push_back(files);
    return out;
}

// ---- ticking a tree path ----

namespace {

std::vector<std::string> pathParts(const std::string& path) {
    std::vector<std::string> parts;
    std::string cur;
    for (char c : path) {
        if (c == '/') {
            if (!cur.empty()) parts.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(c);
        }
    }
    if (!cur.empty()) parts.push_back(cur);
    return parts;
}

// Every file node below `root` with this domain path (a path may be listed twice).
void collectFiles(const MVTreeDirNode& root, const std::string& dirFilePath, std::vector<MVTreeFileNode*>& out) {
    std::vector<const MVTreeDirNode*> stack{&root};
    while (!stack.empty()) {
        const MVTreeDirNode* dir = stack.back();
        stack.pop_back();
        for (const auto& f : dir->fileChildren)
            if (f && textOrEmpty(f->dirFilePath) == dirFilePath) out.push_back(f.get());
        // Children in reverse, so files are found in the tree's order.
        for (auto it = dir->children.rbegin(); it != dir->children.rend(); ++it)
            if (*it) stack.push_back(it->get());
    }
}

}  // namespace

bool tickTreePath(MVResultViewController& store, const std::string& domainPath) {
    const auto parts = pathParts(domainPath);
    if (parts.empty()) return false;
    std::string joined;
    for (const auto& p : parts) joined += (joined.empty() ? "" : "/") + p;
    bool found = false;
    for (const auto& root : store.treeController.content) {
        if (!root) continue;
        // A folder: walk domain and folder names below the device folder.
        MVTreeDirNode* node = root.get();
        for (const auto& part : parts) {
            MVTreeDirNode* next = nullptr;
            for (const auto& c : node->children)
                if (c && textOrEmpty(c->fileName) == part) next = c.get();
            node = next;
            if (!node) break;
        }
        if (node) {
            if (node->isSelected != 1) store.outlineViewSetObjectValue(*node);
            found = true;
        }
        std::vector<MVTreeFileNode*> files;
        collectFiles(*root, joined, files);
        for (auto* f : files) store.outlineViewSetObjectValue(*f, true);
        found = found || !files.empty();
    }
    return found;
}

}  // namespace salvor
