// A folder of the destination that files are placed into without ever
// replacing one: content goes to a private temporary file first and is then
// linked into place under the first free name ("Ann.vcf", "Ann (2).vcf", ...),
// so neither an earlier file nor a racing writer can be overwritten and no
// reader sees a half-written file under its final name.
#pragma once

#include <functional>
#include <string>
#include <unordered_map>

namespace salvor::output {

// Outcome of writing one document or copy.
struct WriteResult {
    bool ok = false;
    std::string path;   // full path of the file written (or of the intended target)
    std::string error;  // why it was not written
    // The fill gave up because it was asked to stop (kWriteStopped): nothing
    // was left behind, and the caller should treat it as no failure of its own.
    bool stopped = false;
    // Nothing was written because the backup holds no regular file to copy
    // (missing, a link, a FIFO, ...): the item is absent from the backup
    // rather than a failure of the run.
    bool notInBackup = false;
};

// What a fill returns when it gives up because it was asked to stop.
inline constexpr const char* kWriteStopped = "stopped on request";

class OutputDir {
public:
    OutputDir() = default;
    ~OutputDir();
    OutputDir(OutputDir&& other) noexcept;
    OutputDir& operator=(OutputDir&& other) noexcept;
    OutputDir(const OutputDir&) = delete;
    OutputDir& operator=(const OutputDir&) = delete;

    // Creates `path` with all missing parents and opens it. On failure the
    // result is not valid() and `error` says why.
    static OutputDir create(const std::string& path, std::string& error);
    // Creates (when missing) and opens the sub-folder `safeName`. A link in its
    // place is refused, so nothing below can lead outside this folder.
    OutputDir subfolder(const std::string& safeName, std::string& error) const;

    bool valid() const { return fd_ >= 0; }
    const std::string& path() const { return path_; }

    // Fills a new file through `fill` (given a descriptor open for writing;
    // returns an empty text or the reason it failed) and places it under
    // `safeName` or its first free numbered form. On failure nothing is left.
    using Fill = std::function<std::string(int fd)>;
    WriteResult place(const std::string& safeName, const Fill& fill);
    // place() with fixed content.
    WriteResult placeBytes(const std::string& safeName, const std::string& bytes);
    // Removes every temporary file that a place() of this process is still
    // filling, for a process that must end at once and cannot let the fills
    // finish. Safe from any thread.
    static void removeUnfinishedFiles();

private:
    enum class Publish { Link, RenameNoReplace, ReserveAndRename };
    int fd_ = -1;
    std::string path_;
    Publish publish_ = Publish::Link;
    std::unordered_map<std::string, unsigned> nextNumber_;  // first number worth trying per name
};

// Writes all of `size` bytes, retrying short writes; empty text or the reason.
std::string writeAll(int fd, const char* data, std::size_t size);

// Splits "folder/name" at its last slash (for the writers' path forms).
void splitPath(const std::string& fullPath, std::string& folder, std::string& name);

}  // namespace salvor::output
