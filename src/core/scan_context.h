// What one scan stage gets to work with, handed to it explicitly: the backup's
// files, the private database copies, the contact index for name lookups, the
// record sink, progress reporting, a stop token and the working
// collections that several stages share.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <memory>
#include <stop_token>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/backup_cipher.h"
#include "core/contact_index.h"
#include "core/record_sink.h"
#include "core/records.h"
#include "core/tree_nodes.h"

namespace salvor {

// The working collections of one scan, each written and read by the stages
// named beside it.
struct ScanCollections {
    std::vector<TreeDirPtr> treeFileArray;  // manifest stage → stored-file lookups, attachments
    std::vector<ContactPtr> contactArray;   // contacts → name lookups
    std::vector<std::shared_ptr<MVContactImageNode>> contactImageArray;   // contacts
    std::vector<std::shared_ptr<MVChatMessageNode>> chatMessageArray;     // messages → deleted messages
    std::vector<std::shared_ptr<MVMessageAttachNode>> messageAttachments;  // messages
    std::vector<ContactPtr> delContactArray;                              // deleted contacts
    std::vector<ContactPtr> delUnKnowContactArray;                        // deleted contacts
    std::vector<NotePtr> noteArray;                                       // deleted notes

    // Empties and releases every list.
    void removeSomeArray();
};

class ScanContext : public ScanCollections {
public:
    explicit ScanContext(RecordSink& sink, std::string backupFolder = {});
    ~ScanContext();
    ScanContext(const ScanContext&) = delete;
    ScanContext& operator=(const ScanContext&) = delete;

    // ---- the backup ----
    std::string backupPath;
    bool currentNodeIsiOS6Version = false;  // system version 6 or 7
    bool bIOS7DeviceNode = false;           // a version 7 backup was seen
    bool bIOSRecoveryMode = false;          // a backup made of a connected device
    // The backup lists its files in Manifest.db (iOS 10 and later) and keeps each
    // stored file in a folder named by the file name's first two hex digits.
    bool modernFormat = false;

    // The stored file `name` (40 hex digits) inside the backup folder.
    std::string storedPath(const std::string& name) const {
        if (modernFormat && name.size() >= 2) return backupPath + "/" + name.substr(0, 2) + "/" + name;
        return backupPath + "/" + name;
    }
    // Set for an encrypted backup once its keybag is unlocked: every stored
    // file is then read through it (see core/stored_file.h).
    std::shared_ptr<BackupCipher> cipher;
    // The backup says it is encrypted (Manifest.plist's IsEncrypted).
    bool backupEncrypted = false;

    // Stored-file path of the last kept manifest record whose relative path
    // equals `relativePath`; absent when none does.
    Text getFileKeyBytheFilepath(const std::string& relativePath) const;

    // ---- private database copies (the backup folder is never written) ----
    // Empty until a stage needs a copy; the owner of the scan removes it.
    std::string scanScratchDir;
    // Stored database path → its prepared copy inside scanScratchDir.
    std::map<std::string, std::string> preparedDatabases;
    // Prepares a stored database of an iOS 10 and later backup and the log
    // stored beside it (empty: none) into one private copy, for the stages
    // that run below the readers which own that preparation (the photo
    // library of the manifest stage); the owner of the scan installs it.
    // Unset, such a stage reads the stored file alone.
    std::function<std::optional<std::string>(ScanContext&, const std::string& stored, const std::string& log)>
        prepareModernDatabase;

    // ---- name lookups over the live contacts ----
    ContactIndex contacts() const { return ContactIndex(contactArray); }

    // ---- the record sink ----
    RecordSink& sink;
    // Reports, once per text, something that cost the scan data; the person
    // sees it with the results. Stages go on with what they can read.
    void reportProblem(const std::string& text);

    // ---- progress ----
    // The running stage's fixed percentage from the pipeline table; -1 when it has none.
    int stageProgress = -1;
    // Posts the running stage's percentage, when it has one.
    void postStageProgress();
    void postProgress(int percent);

    // ---- cancellation ----
    std::stop_token stop;
    bool stopRequested() const { return stop.stop_requested(); }

private:
    // Relative path → index in treeFileArray of the last record with it,
    // extended lazily as the manifest stage appends records.
    mutable std::unordered_map<std::string, std::size_t> pathIndex_;
    mutable std::size_t indexed_ = 0;
    std::vector<std::string> reported_;
};

}  // namespace salvor
