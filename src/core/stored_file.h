// Reading a stored file of the backup whether or not the backup is encrypted:
// the plain bytes are copied as they are, encrypted ones are decrypted with
// the file's key. Either way only a regular file is read (never through a
// link), and the plaintext of an encrypted backup only ever lands in the
// scan's private folder or in memory.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/stored_path.h"

struct stat;

namespace salvor {

class ScanContext;

// Opens the stored file `path` with `flags` (O_NOFOLLOW is added) without
// following a link on the way inside the backup: in the layout where each
// file sits in a folder named by its first two hex digits, that folder is
// opened from the backup folder without following a link too, so a folder
// planted as a link to elsewhere on the computer is refused like a linked
// file. -1 with errno set (ELOOP for a link, the folder's or the file's).
int openStoredFile(const std::string& path, int flags);
// lstat() of the stored file `path` with the same rule for its folder; -1
// with errno set (ELOOP when the folder is a link).
int statStoredFile(const std::string& path, struct stat& st);
// Whether stored files are there, for a scan that asks about every record of
// a manifest when most of them name no file: each folder that holds stored
// files is listed once, on the first question about it, and names are then
// looked up in memory; only a file that is there is looked at on disk (for
// its size). The rules are those of statStoredFile: only a regular file
// counts, never a link, and a file in a folder that is itself a link (the
// backup folder, or a two-digit folder) lies elsewhere. A folder that cannot
// be listed is asked about file by file. A listing is a picture of the moment
// it was taken: a new index sees files added since.
class StoredFileIndex {
public:
    StoredFileIndex();
    ~StoredFileIndex();
    StoredFileIndex(const StoredFileIndex&) = delete;
    StoredFileIndex& operator=(const StoredFileIndex&) = delete;

    enum class Presence { Held, Missing, Linked };
    // The stored file `path` (".../<name>" or ".../<ab>/<ab...>"); when it is
    // held, its size into `size`.
    Presence presence(std::string_view path, std::uint64_t* size = nullptr);
    Presence presence(const std::string& path, std::uint64_t* size = nullptr) {
        return presence(std::string_view(path), size);
    }
    Presence presence(const StoredPath& path, std::uint64_t* size = nullptr);
    // The file `name` of the folder `folder` (its path, without the last "/").
    Presence presence(std::string_view folder, std::string_view name, std::uint64_t* size = nullptr);

    // Folders listed and files looked at on disk, for tests and benchmarks.
    std::size_t foldersListed() const { return listed_; }
    std::size_t filesLookedAt() const { return lookedAt_; }

private:
    struct Folder;
    struct Folders;
    Folder& folderOf(std::string_view folder);
    std::unique_ptr<Folders> folders_;
    Folder* last_ = nullptr;  // the folder of the previous question: records of one folder come together
    std::size_t listed_ = 0, lookedAt_ = 0;
};

// Why a stored file that failed to open with `err` (an errno value) was not
// read, for the person: "it is a link ..." and the like.
std::string storedFileRefusal(int err);
class BackupCipher;

// Copies (or decrypts) the open stored file `source`, whose path in the
// backup is `storedPath`, into `target`. False with `why` set on failure; a
// remark on a file that was read (a listed size that differs) goes to `note`.
bool copyStoredFile(const BackupCipher* cipher, int source, const std::string& storedPath, int target,
                    std::string& why, std::string& note);

// A path from which SQLite or a property-list reader may read the stored file
// `storedPath`: the stored file itself in a plain backup, a decrypted private
// copy (made once per scan) in an encrypted one. Absent when the file is
// missing or cannot be decrypted (the reason is reported as a problem of the
// scan), or is a link or lies in a linked folder (refused like a missing file).
std::optional<std::string> readableStoredPath(ScanContext& ctx, const std::string& storedPath);

// The bytes of a small stored file (at most `maxBytes`), decrypted when the
// backup is encrypted; absent with `why` set.
std::optional<std::vector<std::uint8_t>> readStoredFile(const BackupCipher* cipher, const std::string& storedPath,
                                                        std::uint64_t maxBytes, std::string& why);

// Whether the stored file must be decrypted: the backup is encrypted and the
// file has content (an empty file has neither key nor ciphertext).
bool needsDecryption(const BackupCipher* cipher, std::uint64_t storedSize);

}  // namespace salvor
