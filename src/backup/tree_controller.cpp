#include "backup/tree_controller.h"

#include <sys/stat.h>

#include <cstring>
#include <string_view>

#include "core/helpers.h"

namespace salvor {

namespace {

// Folder-name order: case-insensitive (ASCII letters), with byte order breaking
// ties, so "notes" and "Notes" sort together yet stay two distinct folders and
// the order is total and the same on every machine.
int compareFolderNames(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        auto fold = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c; };
        const unsigned char x = fold(static_cast<unsigned char>(a[i]));
        const unsigned char y = fold(static_cast<unsigned char>(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    const int bytes = a.compare(b);
    return bytes < 0 ? -1 : (bytes > 0 ? 1 : 0);
}

void markPartly(MVTreeDirNode& folder) {
    folder.isSelected = 2;
    folder.nodeIcon = "selectedSome";
}

}  // namespace

void MVTreeController::addTreeNode(const MVTreeDirNode& record, bool /*isFistNode*/) {
    // "/." becomes "/": a hidden folder of a relative path is shown without its dot.
    std::string rel;
    const std::string& path = textOrEmpty(record.filePath);
    rel.reserve(path.size());
    for (std::size_t i = 0; i < path.size(); ++i) {
        rel.push_back(path[i]);
        if (path[i] == '/' && i + 1 < path.size() && path[i + 1] == '.') ++i;
    }
    const std::string domainPath = textOrEmpty(record.fileDomain) + "/" + rel;
    realKeypath = record.fileKey;
    dirFilePath = domainPath;
    directoryRecord = record.isDirectoryRecord();

    // The tree is rooted at the device name; without one nothing is placed.
    const DeviceNodePtr node = currentDevice_ ? currentDevice_() : nullptr;
    if (!node) return;
    const std::string& device = textOrEmpty(node->strDeviceName);
    if (device.empty()) return;
    addTreeFolder(device + "/" + domainPath, textOrEmpty(record.fileKey));
}

void MVTreeController::addTreeFolder(const std::string& path, const std::string& fileKey) {
    realKeypath = fileKey;
    std::vector<TreeDirPtr>* list = &content;
    MVTreeDirNode* parent = nullptr;
    std::optional<std::string> head = SubstringToCh(path, '/');
    std::optional<std::string> rest = SubstringFromCh(path, '/');
    int depth = 0;
    while (head) {
        // The folder that directly holds the file: what follows is one name.
        const bool last = rest && rest->find('/') == std::string::npos;
        if (depth == 1 && !head->empty() && (*head)[0] == '.') head->erase(0, 1);

        std::size_t insertAt = list->size();
        MVTreeDirNode* found = nullptr;
        for (std::size_t i = 0; i < list->size(); ++i) {
            const int cmp = compareFolderNames(*head, textOrEmpty((*list)[i]->fileName));
            if (cmp == 0) {
                found = (*list)[i].get();
                break;
            }
            if (cmp < 0) {
                insertAt = i;
                break;
            }
        }

        if (found) {
            if (last) {
                addFileNode(*found, *rest);
                return;
            }
            found->isLeaf = false;
            parent = found;
            list = &found->children;
        } else {
            auto folder = std::make_shared<MVTreeDirNode>();
            folder->fileName = *head;
            folder->parent = parent;
            MVTreeDirNode* created = folder.get();
            list->insert(list->begin() + static_cast<std::ptrdiff_t>(insertAt), std::move(folder));
            refreshNodeState(*created, true);
            if (last) {
                addFileNode(*created, *rest);
                created->isLeaf = true;
                reloadOutLineData();
                return;
            }
            parent = created;
            list = &created->children;
        }

        if (rest) {
            head = SubstringToCh(*rest, '/');
            rest = SubstringFromCh(*rest, '/');
        } else {
            head.reset();
        }
        ++depth;
    }
}

void MVTreeController::addFileNode(MVTreeDirNode& folder, const std::string& fileNodeName) {
    auto file = std::make_shared<MVTreeFileNode>();
    file->treefileName = fileNodeName;
    const std::size_t dot = fileNodeName.rfind('.');
    const std::string ext = dot == std::string::npos ? std::string() : fileNodeName.substr(dot + 1);
    file->treefileType = ext.empty() ? fileNodeName : ext;

    const std::string& stored = textOrEmpty(realKeypath);
    // Only a regular file counts as stored; a link is not followed (it could
    // lead anywhere on the machine).
    struct stat st {};
    const bool exists = !stored.empty() && ::lstat(stored.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    file->realFileSize = exists ? static_cast<std::uint64_t>(st.st_size) : 0;
    file->fileSize = size_to_unit(file->realFileSize);
    file->isFile = exists;
    file->isDirectory = !exists && directoryRecord;
    file->dirFilePath = dirFilePath ? *dirFilePath : std::string();
    file->filePath = realKeypath;
    file->parent = &folder;
    folder.addFileChildren(std::move(file));
}

void MVTreeController::refreshNodeState(MVTreeDirNode& folder, bool isFirstCreate) {
    if (isFirstCreate) {
        // A new (unselected) folder beside a ticked one: fully ticked ancestors become partly ticked.
        const std::vector<TreeDirPtr>& siblings = folder.parent ? folder.parent->children : content;
        bool anyTicked = false;
        for (const auto& s : siblings)
            if (s && s->isSelected != 0) anyTicked = true;
        if (!anyTicked) return;
        for (MVTreeDirNode* a = folder.parent; a; a = a->parent)
            if (a->isSelected == 1) markPartly(*a);
        return;
    }
    if (folder.isSelected == 1) markPartly(folder);
    for (MVTreeDirNode* a = folder.parent; a; a = a->parent)
        if (a->isSelected == 1) markPartly(*a);
}

void MVTreeController::reloadOutLineData() {
    // Folders are kept in order as they are inserted, so re-arranging is only
    // a matter of telling the view.
    bRefreshTreeFlag = true;
    bRefreshTreeFlag = false;
    if (refreshOutlineView) refreshOutlineView();
}

std::optional<std::string> MVTreeController::SubstringToCh(const std::string& text, char ch) {
    const std::size_t at = text.find(ch);
    if (at == std::string::npos) return std::nullopt;
    return text.substr(0, at);
}

std::optional<std::string> MVTreeController::SubstringFromCh(const std::string& text, char ch) {
    const std::size_t at = text.find(ch);
    if (at == std::string::npos || at + 1 == text.size()) return std::nullopt;
    return text.substr(at + 1);
}

}  // namespace salvor
