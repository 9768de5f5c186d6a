// The browsable tree of a backup's files: device → domain → folders → files.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/device_node.h"
#include "core/tree_nodes.h"

namespace salvor {

class MVTreeController {
public:
    // `currentDevice` names the backup being scanned: the tree is rooted at its device name.
    explicit MVTreeController(std::function<DeviceNodePtr()> currentDevice) : currentDevice_(std::move(currentDevice)) {}

    std::vector<TreeDirPtr> content;  // root folders, one per device name
    bool bRefreshTreeFlag = false;
    Text realKeypath;                 // stored-file path of the record being placed
    Text dirFilePath;                 // domain path of the record being placed
    bool directoryRecord = false;     // the record being placed is a folder of the device
    // Called after a re-arrangement so a view can redraw (may be empty).
    std::function<void()> refreshOutlineView;

    // Files one manifest record under device name, domain and its folders.
    // `isFistNode` has no effect.
    void addTreeNode(const MVTreeDirNode& record, bool isFistNode);
    void addTreeFolder(const std::string& path, const std::string& fileKey);
    void addFileNode(MVTreeDirNode& folder, const std::string& fileNodeName);
    void refreshNodeState(MVTreeDirNode& folder, bool isFirstCreate);
    void reloadOutLineData();
    void clear() { content.clear(); }

    // Text before the first `ch`; absent when `ch` does not occur.
    static std::optional<std::string> SubstringToCh(const std::string& text, char ch);
    // Text after the first `ch`; absent when it does not occur or is the last character.
    static std::optional<std::string> SubstringFromCh(const std::string& text, char ch);

private:
    std::function<DeviceNodePtr()> currentDevice_;
};

}  // namespace salvor
