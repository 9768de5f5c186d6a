// The browsable tree of a backup's files: device → domain → folders → files.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/device_node.h"
#include "core/tree_nodes.h"

namespace salvor {

class MVTreeController {
public:
    // `currentDevice` names the backup being scanned: the tree is rooted at its device name.
    explicit MVTreeController(std::function<DeviceNodePtr()> currentDevice) : currentDevice_(std::move(currentDevice)) {}
    ~MVTreeController();
    MVTreeController(const MVTreeController&) = delete;
    MVTreeController& operator=(const MVTreeController&) = delete;

    std::vector<TreeDirPtr> content;  // root folders, one per device name
    bool bRefreshTreeFlag = false;
    Text realKeypath;                 // stored-file path of the record being placed
    Text dirFilePath;                 // domain path of the record being placed
    bool directoryRecord = false;     // the record being placed is a folder of the device
    // Called after a re-arrangement so a view can redraw (may be empty).
    std::function<void()> refreshOutlineView;

    // One manifest record made ready to be filed: its file node, complete but
    // for its parent, with `dirFilePath` (the domain path it is filed under)
    // and `filePath` (the stored file, whose attributes are read). Preparing
    // touches no tree, so a scan prepares on its own thread and leaves the
    // main thread only the filing.
    struct PreparedRecord {
        TreeFilePtr file;
        bool attach = true;  // false: the path ends with "/" and names folders only
    };
    // Prepares records, on any one thread at a time; the stored files' folder
    // stays open from one record to the next.
    class RecordPreparer {
    public:
        RecordPreparer();
        ~RecordPreparer();
        RecordPreparer(const RecordPreparer&) = delete;
        RecordPreparer& operator=(const RecordPreparer&) = delete;
        PreparedRecord prepare(const MVTreeDirNode& record);

    private:
        struct StoredFiles;
        std::unique_ptr<StoredFiles> stored_;
    };

    // Files one manifest record under device name, domain and its folders.
    // `isFistNode` has no effect.
    void addTreeNode(const MVTreeDirNode& record, bool isFistNode);
    // Files records in order and gives the same tree as addTreeNode called for
    // each, but sorts each folder's new sub-folders into place once per call
    // and asks the view to redraw at most once: the way a scan hands the main
    // thread its records, a few thousand at a time. Afterwards realKeypath and
    // dirFilePath are those of the last record. The overloads differ in who
    // prepares the records: the caller, or this call.
    void addTreeNodes(const std::vector<PreparedRecord>& records);
    void addTreeNodes(const std::vector<TreeDirPtr>& records);
    void addTreeFolder(const std::string& path, const std::string& fileKey);
    void addFileNode(MVTreeDirNode& folder, const std::string& fileNodeName);
    void refreshNodeState(MVTreeDirNode& folder, bool isFirstCreate);
    void reloadOutLineData();
    // Empties the tree (without recursing on its depth).
    void clear();

    // Text before the first `ch`; absent when `ch` does not occur.
    static std::optional<std::string> SubstringToCh(const std::string& text, char ch);
    // Text after the first `ch`; absent when it does not occur or is the last character.
    static std::optional<std::string> SubstringFromCh(const std::string& text, char ch);

private:
    struct Placing;  // the state of one addTreeNode(s) call
    void placeRecord(const PreparedRecord& record, const std::string& device, Placing& placing);
    // Walks `path`, creating folders; the file goes to the last one: `file`,
    // or one made from the name as addFileNode makes it.
    void placePath(std::string_view path, const TreeFilePtr& file, Placing& placing);
    void finishPlacing(Placing& placing);
    std::string deviceName() const;

    std::function<DeviceNodePtr()> currentDevice_;
};

}  // namespace salvor
