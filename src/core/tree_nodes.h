// Manifest records and the folders/files of the browsable backup tree.
#pragma once

#include <optional>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/records.h"
#include "core/shared_text.h"
#include "core/stored_path.h"

namespace salvor {

struct MVTreeFileNode;
struct MVTreeDirNode;
using TreeDirPtr = std::shared_ptr<MVTreeDirNode>;
using TreeFilePtr = std::shared_ptr<MVTreeFileNode>;

// Serves two roles: one manifest record (domain, path, stored-file key) and one
// folder of the backup tree (name, selection state, children). A manifest's
// records share the texts they hold alike: the domain, the folder part of the
// path and the stored files' folder (see shared_text.h and stored_path.h).
struct MVTreeDirNode {
    SharedText fileDomain = std::string();
    PathText filePath = std::string();
    // The stored file's path; a manifest's records share their folder's text.
    StoredPath fileKey = std::string();
    // The record's mode from the manifest: file type and permission bits of
    // the device's file (0 when unknown).
    std::uint16_t fileMode = 0;
    // In an encrypted backup, the file's content size as the file list gives
    // it (the stored ciphertext is longer by its padding); absent otherwise.
    std::optional<std::uint64_t> contentSize;
    SharedText fileName = std::string();
    SharedText nodeIcon = "unselected";
    bool isLeaf = false;
    std::int32_t isSelected = 0;  // 0 unselected, 1 selected, 2 partly selected
    MVTreeDirNode* parent = nullptr;  // not owned
    std::vector<TreeDirPtr> children;      // sub-folders, sorted
    std::vector<TreeFilePtr> fileChildren;  // files, in arrival order

    void addFileChildren(TreeFilePtr file) { fileChildren.push_back(std::move(file)); }
    // The record stands for a folder of the device, which has no stored file.
    bool isDirectoryRecord() const { return (fileMode & 0xF000) == 0x4000; }

    // A manifest path may nest folders tens of thousands deep: the sub-folders
    // are taken apart one level at a time, since destroying them recursively
    // would run out of stack.
    ~MVTreeDirNode() {
        std::vector<TreeDirPtr> pending = std::move(children);
        while (!pending.empty()) {
            TreeDirPtr folder = std::move(pending.back());
            pending.pop_back();
            if (folder && folder.use_count() == 1)  // owned by no one else: its sub-folders go too
                for (auto& c : folder->children) pending.push_back(std::move(c));
        }
    }
};

// A file of the tree. Its texts share what files of one scan hold alike: the
// type and size texts, the folder part of its domain path and its stored
// file's folder.
struct MVTreeFileNode {
    Text treefileName = std::string();
    SharedText treefileType = std::string();
    SharedText fileSize;           // size text; absent until attached
    std::uint64_t realFileSize = 0;
    StoredPath filePath;           // stored file path (the record's fileKey)
    PathText dirFilePath = std::string();  // domain "/" relative path
    MVTreeDirNode* parent = nullptr;  // not owned
    bool isFile = false;           // a stored file exists in the backup folder
    bool isDirectory = false;      // no stored file, as the record is a folder of the device
    bool bSelected = false;
};

}  // namespace salvor
