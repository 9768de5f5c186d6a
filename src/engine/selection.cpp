#include "engine/selection.h"

#include <cstdio>

#include "engine/result_store.h"

namespace salvor {

namespace {

// Sets one flag; true when it changed.
bool applySelection(Flag& flag, bool value) {
    const Flag v = value ? 1 : 0;
    if (flag == v) return false;
    flag = v;
    return true;
}

const char* iconFor(std::int32_t state) {
    switch (state) {
        case 1: return "selected";
        case 2: return "selectedSome";
        default: return "unselected";
    }
}

void setFolderState(MVTreeDirNode& folder, std::int32_t state) {
    folder.isSelected = state;
    folder.nodeIcon = iconFor(state);
}

// Gives every file and folder below `folder` the state. Iterative: a manifest
// may describe folders nested far deeper than the stack allows.
void pushDown(MVTreeDirNode& folder, std::int32_t state) {
    std::vector<MVTreeDirNode*> pending{&folder};
    while (!pending.empty()) {
        MVTreeDirNode* at = pending.back();
        pending.pop_back();
        for (const TreeFilePtr& file : at->fileChildren) {
            if (file) file->bSelected = state == 1;
        }
        for (const TreeDirPtr& child : at->children) {
            if (!child) continue;
            setFolderState(*child, state);
            pending.push_back(child.get());
        }
    }
}

// Repairs the ancestors after `node` (a folder when fromFolder, else a file)
// took `state`, starting with its parent.
void walkUp(MVTreeDirNode* parent, bool fromFolder, std::int32_t state) {
    bool partial = false;
    while (parent != nullptr) {
        if (partial) {
            setFolderState(*parent, 2);
        } else {
            bool hasState = false, hasOther = false, anyPartFolder = false;
            for (const TreeFilePtr& file : parent->fileChildren) {
                if (!file) continue;
                (static_cast<std::int32_t>(file->bSelected) == state ? hasState : hasOther) = true;
            }
            for (const TreeDirPtr& child : parent->children) {
                if (!child) continue;
                (child->isSelected == state ? hasState : hasOther) = true;
                if (child->isSelected == 2) anyPartFolder = true;
            }
            if ((hasState && hasOther) || anyPartFolder) {
                setFolderState(*parent, 2);
                partial = true;
            } else {
                bool allOfKind = true;
                if (fromFolder) {
                    for (const TreeDirPtr& child : parent->children) {
                        if (child && child->isSelected != state) allOfKind = false;
                    }
                } else {
                    for (const TreeFilePtr& file : parent->fileChildren) {
                        if (file && static_cast<std::int32_t>(file->bSelected) != state) allOfKind = false;
                    }
                }
                if (allOfKind) setFolderState(*parent, state);
            }
        }
        fromFolder = true;
        parent = parent->parent;
    }
}

std::int32_t countSelectedFiles(const std::vector<TreeDirPtr>& folders) {
    std::int32_t n = 0;
    std::vector<const MVTreeDirNode*> pending;
    for (const TreeDirPtr& folder : folders)
        if (folder) pending.push_back(folder.get());
    while (!pending.empty()) {
        const MVTreeDirNode* at = pending.back();
        pending.pop_back();
        for (const TreeFilePtr& file : at->fileChildren) {
            if (file && file->bSelected) ++n;
        }
        for (const TreeDirPtr& child : at->children)
            if (child) pending.push_back(child.get());
    }
    return n;
}

template <class List>
std::int32_t countTicked(const List& list) {
    std::int32_t n = 0;
    for (const auto& r : list) n += r && r->bSelected ? 1 : 0;
    return n;
}

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

void Selection::changed() {
    if (onChanged) onChanged(selectedCount());
}

void Selection::setSelected(const AnyRecord& record, bool value) {
    if (std::visit([](const auto& p) { return p == nullptr; }, record)) return;
    if (applySelection(selectionFlag(record), value)) changed();
}

void Selection::setSelected(const std::vector<AnyRecord>& records, bool value) {
    bool any = false;
    for (const AnyRecord& r : records)
        if (!std::visit([](const auto& p) { return p == nullptr; }, r)) any |= applySelection(selectionFlag(r), value);
    if (any) changed();
}

void Selection::selectCategory(Category category, bool value, bool deletedOnly) {
    std::vector<AnyRecord> rows = store_.records(category);
    if (deletedOnly) std::erase_if(rows, [](const AnyRecord& r) { return !isDeletedRecord(r); });
    setSelected(rows, value);
}

void Selection::toggleFolder(MVTreeDirNode& folder) {
    // A partly selected folder becomes selected, like an unselected one.
    const std::int32_t state = folder.isSelected == 1 ? 0 : 1;
    setFolderState(folder, state);
    pushDown(folder, state);
    walkUp(folder.parent, true, state);
    changed();
}

void Selection::setFileSelected(MVTreeFileNode& file, bool value) {
    file.bSelected = value;
    walkUp(file.parent, false, value ? 1 : 0);
    changed();
}

bool Selection::selectTreePath(const std::string& domainPath) {
    const auto parts = pathParts(domainPath);
    if (parts.empty()) return false;
    std::string joined;
    for (const auto& p : parts) joined += (joined.empty() ? "" : "/") + p;
    bool found = false;
    for (const auto& root : store_.tree().content) {
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
            if (node->isSelected != 1) toggleFolder(*node);
            found = true;
        }
        std::vector<MVTreeFileNode*> files;
        collectFiles(*root, joined, files);
        for (auto* f : files) setFileSelected(*f, true);
        found = found || !files.empty();
    }
    return found;
}

std::int32_t Selection::selectedRecordCount() const {
    return countTicked(store_.photos()) + countTicked(store_.contacts()) + countTicked(store_.conversations()) +
           countTicked(store_.calls()) + countTicked(store_.notes()) + countTicked(store_.bookmarks()) +
           countTicked(store_.calendarEvents()) + countTicked(store_.socialFiles());
}

std::int32_t Selection::selectedFileCount() const { return countSelectedFiles(store_.tree().content); }

std::string selectionSentence(std::int32_t selected) {
    if (selected == 0) return {};
    char buf[96];
    std::snprintf(buf, sizeof buf, "You select %d files in the recovery results.", static_cast<int>(selected));
    return buf;
}

}  // namespace salvor
