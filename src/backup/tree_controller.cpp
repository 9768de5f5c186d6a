#include "backup/tree_controller.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <unordered_map>

#include "core/helpers.h"
#include "core/stored_file.h"

namespace salvor {

namespace {

// Folder-name order: case-insensitive (ASCII letters), with byte order breaking
// ties, so "notes" and "Notes" sort together yet stay two distinct folders and
// the order is total and the same on every machine. Two names compare equal
// only when their bytes are equal.
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

std::string_view folderName(const MVTreeDirNode* folder) {
    return folder && folder->fileName ? std::string_view(*folder->fileName) : std::string_view();
}

struct FolderOrder {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const { return compareFolderNames(a, b) < 0; }
    bool operator()(const TreeDirPtr& a, const TreeDirPtr& b) const {
        return compareFolderNames(folderName(a.get()), folderName(b.get())) < 0;
    }
};

void markPartly(MVTreeDirNode& folder) {
    folder.isSelected = 2;
    folder.nodeIcon = "selectedSome";
}

void markAncestorsPartly(MVTreeDirNode& folder) {
    for (MVTreeDirNode* a = folder.parent; a; a = a->parent)
        if (a->isSelected == 1) markPartly(*a);
}

// Text before / after the first `ch`, as SubstringToCh / SubstringFromCh, without copying.
std::optional<std::string_view> before(std::string_view text, char ch) {
    const std::size_t at = text.find(ch);
    if (at == std::string_view::npos) return std::nullopt;
    return text.substr(0, at);
}

std::optional<std::string_view> after(std::string_view text, char ch) {
    const std::size_t at = text.find(ch);
    if (at == std::string_view::npos || at + 1 == text.size()) return std::nullopt;
    return text.substr(at + 1);
}

// A record's path under its domain, each "/." shown as "/" (a hidden folder of
// a relative path appears without its dot).
void domainPathOf(const MVTreeDirNode& record, std::string& out) {
    out = textOrEmpty(record.fileDomain);
    out.push_back('/');
    const std::string& rel = textOrEmpty(record.filePath);
    out.reserve(out.size() + rel.size());
    for (std::size_t i = 0; i < rel.size(); ++i) {
        out.push_back(rel[i]);
        if (rel[i] == '/' && i + 1 < rel.size() && rel[i + 1] == '.') ++i;
    }
}

// Fills a file node as the tree shows it, but for `dirFilePath` (the domain
// path) and `parent`; `held` tells whether the stored file is there (only a
// regular file inside the backup counts: a link could lead anywhere on the
// machine) and its size.
// Type and size texts come from `texts`, shared with the other files of the
// scan, when it is given.
template <class Held>
void fillFileNode(MVTreeFileNode& file, std::string_view name, const StoredPath& storedPath, bool directoryRecord,
                  const std::optional<std::uint64_t>& contentSize, Held held, TextPool* texts) {
    file.treefileName = std::string(name);
    const std::size_t dot = name.rfind('.');
    const std::string_view ext = dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
    // A name without an extension is its own type: shared with no other file.
    file.treefileType = texts && !ext.empty() ? texts->text(ext) : SharedText(std::string(ext.empty() ? name : ext));
    std::uint64_t size = 0;
    const bool exists = storedPath && held(storedPath, size);
    file.realFileSize = exists ? contentSize.value_or(size) : 0;
    static const SharedText kNoBytes = displaySize(0);  // most records of a backup store nothing
    if (file.realFileSize == 0) file.fileSize = kNoBytes;
    else if (texts) file.fileSize = texts->text(displaySize(file.realFileSize));
    else file.fileSize = displaySize(file.realFileSize);
    file.isFile = exists;
    file.isDirectory = !exists && directoryRecord;
    file.filePath = storedPath;
}

// Sorted `added` into sorted `list`. Only the part of `list` that follows the
// first added name moves, so folders that arrive in order cost nothing extra.
void mergeFolders(std::vector<TreeDirPtr>& list, std::vector<TreeDirPtr>& added) {
    if (added.empty()) return;
    const auto from = std::upper_bound(list.begin(), list.end(), added.front(), FolderOrder{}) - list.begin();
    const auto middle = static_cast<std::ptrdiff_t>(list.size());
    list.insert(list.end(), std::make_move_iterator(added.begin()), std::make_move_iterator(added.end()));
    std::inplace_merge(list.begin() + from, list.begin() + middle, list.end(), FolderOrder{});
}

// Releasing a folder releases its sub-folders from inside its destructor, one
// nested call per level: a manifest path of thousands of levels would overflow
// the stack. The sub-folders are taken out first, so every release is flat.
void releaseFolders(std::vector<TreeDirPtr>&& folders) {
    std::vector<TreeDirPtr> pending = std::move(folders);
    while (!pending.empty()) {
        TreeDirPtr folder = std::move(pending.back());
        pending.pop_back();
        if (!folder || folder.use_count() != 1) continue;  // still shared: its other owner releases it
        for (TreeDirPtr& child : folder->children) pending.push_back(std::move(child));
        folder->children.clear();
    }
}

}  // namespace

// Whether stored files are there: each folder of stored files is listed
// once and every record looked up in memory, since most records of a
// backup name no file (a folder of the device, a file it did not keep).
// And the texts the files share.
struct MVTreeController::RecordPreparer::StoredFiles : StoredFileIndex {
    TextPool texts;
    std::string domainPath;
};

MVTreeController::RecordPreparer::RecordPreparer() : stored_(std::make_unique<StoredFiles>()) {}
MVTreeController::RecordPreparer::~RecordPreparer() = default;

MVTreeController::PreparedRecord MVTreeController::RecordPreparer::prepare(const MVTreeDirNode& record) {
    auto file = std::make_shared<MVTreeFileNode>();
    std::string& domainPath = stored_->domainPath;
    domainPathOf(record, domainPath);
    file->dirFilePath = stored_->texts.path(domainPath);
    // The file goes to the folder that directly holds it, the last part of
    // the path; a path that ends with "/" names folders only.
    const std::size_t slash = domainPath.rfind('/');
    const bool attach = slash + 1 < domainPath.size();
    const std::string_view name = attach ? std::string_view(domainPath).substr(slash + 1) : std::string_view();
    auto held = [this, attach](const StoredPath& path, std::uint64_t& size) {
        return attach && stored_->presence(path, &size) == StoredFileIndex::Presence::Held;
    };
    fillFileNode(*file, name, record.fileKey, record.isDirectoryRecord(), record.contentSize, held, &stored_->texts);
    return {std::move(file), attach};
}

// What one call places before the folders' sorted lists are brought up to
// date. Folders it creates wait here, per parent (null: the root list), in
// name order; each list gets them in one merge at the end. Until then a name
// is looked up in the (sorted) list by binary search and among the waiting ones.
struct MVTreeController::Placing {
    struct NewFolders {
        std::map<std::string_view, TreeDirPtr, FolderOrder> byName;  // keys view the folders' own names
        // Whether a folder already listed before this call is ticked. New
        // folders start unticked, and while placing only ticked ancestors turn
        // partly ticked, so the answer holds for the whole call.
        std::optional<bool> anyListedTicked;
    };
    std::unordered_map<MVTreeDirNode*, NewFolders> created;
    // The folders of the previous path, level by level: records of one folder
    // tend to follow one another, and their common levels need no search.
    std::vector<MVTreeDirNode*> previous;
    std::string path;  // device "/" domain path of the record being placed
    bool redraw = false;
};

MVTreeController::~MVTreeController() { releaseFolders(std::move(content)); }

void MVTreeController::clear() {
    releaseFolders(std::move(content));
    content.clear();
}

std::string MVTreeController::deviceName() const {
    const DeviceNodePtr node = currentDevice_ ? currentDevice_() : nullptr;
    return node ? textOrEmpty(node->strDeviceName) : std::string();
}

void MVTreeController::addTreeNode(const MVTreeDirNode& record, bool /*isFistNode*/) {
    directoryRecord = record.isDirectoryRecord();
    RecordPreparer preparer;
    addTreeNodes(std::vector<PreparedRecord>{preparer.prepare(record)});
}

void MVTreeController::addTreeNodes(const std::vector<TreeDirPtr>& records) {
    RecordPreparer preparer;
    std::vector<PreparedRecord> prepared;
    prepared.reserve(records.size());
    for (const TreeDirPtr& record : records)
        if (record) prepared.push_back(preparer.prepare(*record));
    addTreeNodes(prepared);
}

void MVTreeController::addTreeNodes(const std::vector<PreparedRecord>& records) {
    if (records.empty()) return;
    Placing placing;
    // The device cannot change during the call: both run on the main thread.
    const std::string device = deviceName();
    for (const PreparedRecord& record : records)
        if (record.file) placeRecord(record, device, placing);
    finishPlacing(placing);
    if (const TreeFilePtr& last = records.back().file) {
        realKeypath = last->filePath;
        dirFilePath = last->dirFilePath;
    }
}

void MVTreeController::placeRecord(const PreparedRecord& record, const std::string& device, Placing& placing) {
    // The tree is rooted at the device name; without one nothing is placed.
    if (device.empty()) return;
    placing.path.assign(device).append("/");
    record.file->dirFilePath.appendTo(placing.path);
    placePath(placing.path, record.attach ? record.file : nullptr, placing);
}

void MVTreeController::addTreeFolder(const std::string& path, const std::string& fileKey) {
    realKeypath = fileKey;
    Placing placing;
    placePath(path, nullptr, placing);
    finishPlacing(placing);
}

void MVTreeController::placePath(std::string_view path, const TreeFilePtr& file, Placing& placing) {
    std::vector<TreeDirPtr>* list = &content;
    MVTreeDirNode* parent = nullptr;
    std::optional<std::string_view> head = before(path, '/');
    std::optional<std::string_view> rest = after(path, '/');
    std::size_t depth = 0;
    auto attach = [&](MVTreeDirNode& folder) {
        if (!file) {
            addFileNode(folder, std::string(*rest));
            return;
        }
        file->parent = &folder;
        folder.addFileChildren(file);
    };
    while (head) {
        // The folder that directly holds the file: what follows is one name.
        const bool last = rest && rest->find('/') == std::string_view::npos;
        if (depth == 1 && !head->empty() && (*head)[0] == '.') head->remove_prefix(1);

        MVTreeDirNode* found = nullptr;
        Placing::NewFolders* waiting = nullptr;
        if (depth < placing.previous.size() && folderName(placing.previous[depth]) == *head) {
            found = placing.previous[depth];
        } else {
            placing.previous.resize(depth);
            const auto at = std::lower_bound(list->begin(), list->end(), *head, [](const TreeDirPtr& f, std::string_view n) {
                return compareFolderNames(folderName(f.get()), n) < 0;
            });
            if (at != list->end() && compareFolderNames(folderName(at->get()), *head) == 0) found = at->get();
            if (!found) {
                waiting = &placing.created[parent];
                const auto it = waiting->byName.find(*head);
                if (it != waiting->byName.end()) found = it->second.get();
            }
            if (found) placing.previous.push_back(found);
        }

        if (found) {
            if (last) {
                attach(*found);
                return;
            }
            found->isLeaf = false;
            parent = found;
            list = &found->children;
        } else {
            auto folder = std::make_shared<MVTreeDirNode>();
            folder->fileName = std::string(*head);
            folder->parent = parent;
            MVTreeDirNode* created = folder.get();
            waiting->byName.emplace(std::string_view(*created->fileName), std::move(folder));
            placing.previous.push_back(created);
            // A new unticked folder beside a ticked one: fully ticked ancestors become partly ticked.
            if (!waiting->anyListedTicked) {
                waiting->anyListedTicked = std::any_of(list->begin(), list->end(), [](const TreeDirPtr& s) {
                    return s && s->isSelected != 0;
                });
            }
            if (*waiting->anyListedTicked) markAncestorsPartly(*created);
            if (last) {
                attach(*created);
                created->isLeaf = true;
                placing.redraw = true;
                return;
            }
            parent = created;
            list = &created->children;
        }

        if (rest) {
            head = before(*rest, '/');
            rest = after(*rest, '/');
        } else {
            head.reset();
        }
        ++depth;
    }
}

void MVTreeController::finishPlacing(Placing& placing) {
    std::vector<TreeDirPtr> added;
    for (auto& [parent, waiting] : placing.created) {
        if (waiting.byName.empty()) continue;
        added.clear();
        added.reserve(waiting.byName.size());
        for (auto& entry : waiting.byName) added.push_back(std::move(entry.second));
        waiting.byName.clear();
        mergeFolders(parent ? parent->children : content, added);
    }
    // Once per call rather than once per new folder that holds a file: the
    // view redraws when the records handed over together are all in place.
    if (placing.redraw) reloadOutLineData();
}

void MVTreeController::addFileNode(MVTreeDirNode& folder, const std::string& fileNodeName) {
    auto file = std::make_shared<MVTreeFileNode>();
    auto held = [](const StoredPath& path, std::uint64_t& size) {
        struct stat st {};
        if (::lstat(path.value().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
        size = static_cast<std::uint64_t>(st.st_size);
        return true;
    };
    fillFileNode(*file, fileNodeName, realKeypath, directoryRecord, std::nullopt, held, nullptr);
    file->dirFilePath = dirFilePath ? *dirFilePath : std::string();
    file->parent = &folder;
    folder.addFileChildren(std::move(file));
}

void MVTreeController::refreshNodeState(MVTreeDirNode& folder, bool isFirstCreate) {
    if (isFirstCreate) {
        // A new (unselected) folder beside a ticked one: fully ticked ancestors become partly ticked.
        const std::vector<TreeDirPtr>& siblings = folder.parent ? folder.parent->children : content;
        const bool anyTicked =
            std::any_of(siblings.begin(), siblings.end(), [](const TreeDirPtr& s) { return s && s->isSelected != 0; });
        if (anyTicked) markAncestorsPartly(folder);
        return;
    }
    if (folder.isSelected == 1) markPartly(folder);
    markAncestorsPartly(folder);
}

void MVTreeController::reloadOutLineData() {
    // Folders are kept in order as they are inserted, so re-arranging is only
    // a matter of telling the view.
    bRefreshTreeFlag = true;
    bRefreshTreeFlag = false;
    if (refreshOutlineView) refreshOutlineView();
}

std::optional<std::string> MVTreeController::SubstringToCh(const std::string& text, char ch) {
    const auto part = before(text, ch);
    if (!part) return std::nullopt;
    return std::string(*part);
}

std::optional<std::string> MVTreeController::SubstringFromCh(const std::string& text, char ch) {
    const auto part = after(text, ch);
    if (!part) return std::nullopt;
    return std::string(*part);
}

}  // namespace salvor
