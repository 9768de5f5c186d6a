// What the browser shows and what the user ticks: categories, the
// deleted-only filter, row check boxes, select-all and the three-state
// selection of the backup file tree.
#include <cstdio>
#include <functional>
#include <type_traits>

#include "engine/app_delegate.h"
#include "engine/result_store.h"

namespace salvor {

namespace {

Flag& selectionFlag(const AnyRecord& record) {
    return std::visit([](const auto& ptr) -> Flag& { return ptr->bSelected; }, record);
}

bool isDeleted(const AnyRecord& record) {
    return std::visit(
        [](const auto& ptr) -> bool {
            using T = std::decay_t<decltype(*ptr)>;
            if constexpr (std::is_same_v<T, MVMessageTreeNode>) {
                return ptr->bdeleted == 1;
            } else if constexpr (std::is_same_v<T, MVPhotoAndVideoNode> || std::is_same_v<T, MVFaceTwitterNode>) {
                return false;  // photos and application files are never deleted records
            } else {
                return ptr->bDeleted == 1;
            }
        },
        record);
}

template <class Ptr>
void appendAll(std::vector<AnyRecord>& out, const std::vector<Ptr>& list, std::size_t first = 0) {
    if (first >= list.size()) return;
    out.reserve(out.size() + list.size() - first);
    for (std::size_t i = first; i < list.size(); ++i) out.emplace_back(list[i]);
}

// Sets one flag and reports how the selected count changes (-1, 0 or +1).
int applySelection(Flag& flag, bool value) {
    const Flag v = value ? 1 : 0;
    if (flag == v) return 0;
    flag = v;
    return value ? 1 : -1;
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

}  // namespace

std::vector<AnyRecord> MVResultViewController::categoryRecordsLocked(Category category, std::size_t first) const {
    std::vector<AnyRecord> out;
    switch (category) {
        case Category::PhotoAndVideo: appendAll(out, photoAndVideoArray, first); break;
        case Category::Contact: appendAll(out, contactArray, first); break;
        case Category::Message: appendAll(out, messageTreeArray, first); break;
        case Category::CallHistory: appendAll(out, callHistoryArray, first); break;
        case Category::Note: appendAll(out, noteArray, first); break;
        case Category::BookMark: appendAll(out, bookMarkArray, first); break;
        case Category::Calendar: appendAll(out, calendarArray, first); break;
        case Category::FaceTwitter: appendAll(out, faceTwitterArray, first); break;
        case Category::BackupTree: break;  // the tree is shown by the tree controller
    }
    return out;
}

void MVResultViewController::refillDisplayedListLocked() {
    std::vector<AnyRecord> all;
    {
        std::lock_guard<std::mutex> lock(listMutex_);
        all = categoryRecordsLocked(currentCategory);
    }
    displayedList.clear();
    for (AnyRecord& record : all) {
        if (!bOnlyDisplayDeleted || isDeleted(record)) displayedList.push_back(std::move(record));
    }
    if (displayedList.empty()) {
        selectedRow.reset();
    } else {
        selectedRow = 0;
    }
}

namespace {
bool* selectAllFlag(MVResultViewController& store, Category category) {
    switch (category) {
        case Category::PhotoAndVideo: return &store.bPhotoSelectAll;
        case Category::Contact: return &store.bContctSelectAll;
        case Category::Message: return &store.bMessageSelectAll;
        case Category::CallHistory: return &store.bCallSelectAll;
        case Category::Note: return &store.bNoteSelectAll;
        case Category::BookMark: return &store.bbookMarkSelectAll;
        case Category::Calendar: return &store.bcalendarSelectAll;
        case Category::FaceTwitter: return &store.bfaceTwitterSelectAll;
        case Category::BackupTree: return nullptr;
    }
    return nullptr;
}
}  // namespace

void MVResultViewController::refillDisplayedList(const std::function<void()>& changeLocked) {
    Category shown;
    std::size_t rows = 0;
    {
        std::lock_guard<std::mutex> view(viewMutex_);
        // A search still running for the previous list must not replace this one.
        supersedeSearchLocked();
        changeLocked();
        refillDisplayedListLocked();
        shown = currentCategory;
        rows = displayedList.size();
    }
    announce([shown, rows](ResultStoreObserver& o) { o.displayedListChanged(shown, rows); });
}

void MVResultViewController::showCategory(Category category) {
    refillDisplayedList([this, category] {
        currentCategory = category;
        const bool* flag = selectAllFlag(*this, category);
        selectAllBoxState = flag != nullptr && *flag;
    });
}

void MVResultViewController::actCheck(bool onlyDeleted) {
    refillDisplayedList([this, onlyDeleted] { bOnlyDisplayDeleted = onlyDeleted; });
}

void MVResultViewController::setRowsSelected(const std::vector<std::size_t>& highlightedRows, bool value) {
    int delta = 0;
    {
        std::lock_guard<std::mutex> view(viewMutex_);
        for (std::size_t row : highlightedRows) {
            if (row < displayedList.size()) delta += applySelection(selectionFlag(displayedList[row]), value);
        }
    }
    selectedFilesNum += delta;
    updateSelectionText();
}

void MVResultViewController::ClickSelectAll(bool state) {
    bool* flag = selectAllFlag(*this, currentCategory);
    if (flag == nullptr) return;
    // Only the rows on show are ticked (for messages these are conversations): with
    // the deleted-only filter on, select-all must not tick the live records too.
    int delta = 0;
    {
        std::lock_guard<std::mutex> view(viewMutex_);
        for (const AnyRecord& record : displayedList) delta += applySelection(selectionFlag(record), state);
    }
    *flag = state;
    selectAllBoxState = state;
    selectedFilesNum += delta;
    updateSelectionText();
}

void MVResultViewController::updateSelectionText() {
    const std::int32_t n = selectedFilesNum + getTreeSelectedItemNum();
    if (n == 0) {
        selectionText.clear();
        recoverEnabled = false;
    } else {
        char buf[96];
        std::snprintf(buf, sizeof buf, "You select %d files in the recovery results.", static_cast<int>(n));
        selectionText = buf;
        recoverEnabled = true;
    }
    announce([n](ResultStoreObserver& o) { o.selectionChanged(n); });
}

void MVResultViewController::outlineViewSetObjectValue(MVTreeDirNode& folder) {
    // A partly selected folder becomes selected, like an unselected one.
    const std::int32_t state = folder.isSelected == 1 ? 0 : 1;
    setFolderState(folder, state);
    pushDown(folder, state);
    walkUp(folder.parent, true, state);
    updateSelectionText();
}

void MVResultViewController::outlineViewSetObjectValue(MVTreeFileNode& file, bool value) {
    file.bSelected = value;
    walkUp(file.parent, false, value ? 1 : 0);
    updateSelectionText();
}

std::int32_t MVResultViewController::getTreeSelectedItemNum() const {
    return countSelectedFiles(treeController.content);
}

}  // namespace salvor
