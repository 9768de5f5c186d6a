// Copies of photos, films, backup files and application files: read and
// written through one fixed buffer, so no file is ever held whole in memory.
#pragma once

#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "core/backup_cipher.h"
#include "output/output_dir.h"

namespace salvor::output {

constexpr std::size_t kCopyChunkBytes = 8u * 1024u * 1024u;

// A reusable copy buffer, allocated on first use.
struct CopyBuffer {
    std::vector<char> bytes;
    char* get() {
        if (bytes.size() < kCopyChunkBytes) bytes.resize(kCopyChunkBytes);
        return bytes.data();
    }
};

// A file of the backup opened for reading. Only a regular file is opened: a
// link is never followed (a hostile backup could point it at any file of the
// machine), and a FIFO, device, socket or folder is refused before anything
// can wait on it. Such a file, like a missing one, is not a file the backup
// holds; a regular file that cannot be read is a failure of its own.
//
// In an encrypted backup (a cipher is given) a stored file with content is
// read as its plaintext: size() is the content's size, readHead() and the
// copies decrypt, and a file whose key is missing or does not unwrap is a
// failure of its own, never copied as it is.
class SourceFile {
public:
    explicit SourceFile(const std::string& path, const BackupCipher* cipher = nullptr);
    ~SourceFile();
    SourceFile(const SourceFile&) = delete;
    SourceFile& operator=(const SourceFile&) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    std::uint64_t size() const { return size_; }
    // Not open because the backup holds no regular file there (as opposed to
    // one that could not be opened).
    bool notHeld() const { return notHeld_; }
    // Why it is not open.
    const std::string& problem() const { return problem_; }
    // The file is ciphertext that copies decrypt.
    bool encrypted() const { return encrypted_; }
    // Up to `size` bytes from the start of the content; the count read.
    std::size_t readHead(unsigned char* out, std::size_t size) const;
    // The whole content of a small file (at most `maxBytes`); absent with `why`.
    std::optional<std::vector<std::uint8_t>> readAll(std::uint64_t maxBytes, std::string& why) const;
    // Decrypts the whole file into `dst`: empty on success, else why (kWriteStopped when stopped).
    std::string decryptInto(int dst, const std::stop_token& stop) const;

private:
    bool openEncrypted(const std::string& path, std::uint64_t storedSize);
    const BackupCipher* cipher_ = nullptr;
    BackupCipher::FileEntry entry_;
    bool encrypted_ = false;
    int fd_ = -1;
    std::uint64_t size_ = 0;
    bool notHeld_ = false;
    std::string problem_;
};

// Copies exactly `expectedBytes` from `srcFd` to `dstFd` in chunks of 8 MiB.
// Bytes the source does not supply (it is shorter than recorded) are written
// as zeros; a read or write error ends the copy with its reason. `stop` is
// checked before every chunk: once it is requested the copy ends with
// kWriteStopped, so even a file of gigabytes stops within one chunk.
std::string copyChunked(int srcFd, std::uint64_t expectedBytes, int dstFd, CopyBuffer& buffer,
                        const std::stop_token& stop = {});

// Copies `expectedBytes` of an open source into a new file of `folder` named
// `safeName` (numbered on a clash). When `expectedBytes` is absent the
// source's own size is used. A copy stopped through `stop` leaves nothing and
// comes back with `stopped` set.
WriteResult copyFileInto(const SourceFile& source, const std::uint64_t* expectedBytes, OutputDir& folder,
                         const std::string& safeName, CopyBuffer& buffer, const std::stop_token& stop = {});
// The same from a path. A source that is not open (see SourceFile) writes
// nothing and is reported, with `notInBackup` set when the backup holds no
// regular file there.
WriteResult copyFileInto(const std::string& sourcePath, const std::uint64_t* expectedBytes, OutputDir& folder,
                         const std::string& safeName, CopyBuffer& buffer, const std::stop_token& stop = {});

}  // namespace salvor::output
