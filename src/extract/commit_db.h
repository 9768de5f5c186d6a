// Database preparation. A scan never writes into the backup folder: each
// database it reads through SQLite is first copied into the scan's private
// scratch folder, and the copy is switched to write-ahead-log mode and
// checkpointed (commitDB). Every stage of one scan — the live extractors and
// the deleted-record scans — reads the same prepared copy.
#pragma once

#include <optional>
#include <string>

namespace salvor {

class ScanContext;

// Switches the database at `path` to write-ahead-log journal mode and runs a
// passive checkpoint, so pages still held in a log reach the main file (and
// header bytes 18/19 read 2). Logs "Failed to commit" when the checkpoint
// fails. Only ever called on our own copies.
void commitDB(const std::string& path);

// Path of the prepared private copy of the database stored at `storedPath`
// (a file inside the backup folder). The first call of a scan copies the file
// into ctx.scanScratchDir (creating a private folder when the scan has none)
// and runs commitDB on the copy; later calls return the same copy. Absent when
// the file is missing, not a regular file, or cannot be copied.
std::optional<std::string> preparedCopy(ScanContext& ctx, const std::string& storedPath);

// Held by a stage for its duration. When there is no scratch folder yet (a
// test or tool calling stages directly), the scope creates a private one and
// removes it, dropping its cache entries, when it ends; stages run inside an
// outer scope share its copies. A scan's own scratch folder is left to the scan.
class ScratchScope {
public:
    explicit ScratchScope(ScanContext& ctx);
    ~ScratchScope();
    ScratchScope(const ScratchScope&) = delete;
    ScratchScope& operator=(const ScratchScope&) = delete;

private:
    ScanContext& ctx_;
    bool owned_;
};

}  // namespace salvor
