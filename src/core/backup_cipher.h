// Reading the stored files of an encrypted backup. Each stored file is
// AES-256-CBC ciphertext (zero IV, PKCS#7 padding) under a key of its own,
// which the file list keeps wrapped (RFC 3394) with the key of the file's
// protection class: 44 bytes, a 4-byte little-endian class and the 40-byte
// wrapped key. The class keys come from the keybag, unlocked with the password.
//
// One cipher serves a whole scan and everything that reads the scan's results
// later (the recovery, the window's thumbnails): the file list's keys are
// added while the manifest is read and looked up by stored name from any
// thread. Key material is wiped when the cipher goes away.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/crypto.h"

namespace salvor {

class BackupCipher {
public:
    explicit BackupCipher(std::map<std::uint32_t, crypto::SecretBytes> classKeys);
    ~BackupCipher();
    BackupCipher(const BackupCipher&) = delete;
    BackupCipher& operator=(const BackupCipher&) = delete;

    // What the file list says of one stored file.
    struct FileEntry {
        std::string wrappedKey;                   // the 44-byte field as listed (any length; checked on use)
        std::optional<std::uint64_t> recordedSize;  // the plaintext size the list gives
    };

    // Records the key of the stored file `storedName` (the file's own name in
    // the backup folder). A later entry for the same name replaces it.
    void addFile(std::string_view storedName, std::string wrappedKey, std::optional<std::uint64_t> recordedSize);
    std::optional<FileEntry> fileEntry(std::string_view storedName) const;
    // The last component of a stored path: the name files are registered under.
    static std::string_view storedNameOf(std::string_view path);

    // The 32-byte key of a file from its 44-byte field; absent with `why`
    // set when the field has another length, names a class the keybag could
    // not unlock, or does not unwrap.
    std::optional<crypto::SecretBytes> unwrapFileKey(std::span<const std::uint8_t> field, std::string& why) const;

    // The size a person should see for a stored file whose ciphertext has
    // `storedSize` bytes: the listed plaintext size when there is one.
    std::uint64_t plainSize(std::string_view storedName, std::uint64_t storedSize) const;

    // Result of decrypting one stored file.
    struct Decrypted {
        bool ok = false;
        bool stopped = false;         // the stop token ended it
        std::uint64_t written = 0;    // plaintext bytes written
        std::string problem;          // why it failed (ok false)
        std::string note;             // a remark on a file that was decrypted (a size that differs)
    };
    // Decrypts the open stored file `source` into `target` in chunks, with the
    // key `entry` gives. The length comes from the padding; a listed size that
    // differs is only noted (live databases change after their size is
    // recorded). On failure part of the plaintext may have been written: the
    // caller removes its target.
    Decrypted decryptFile(int source, const FileEntry& entry, int target, const std::stop_token& stop = {}) const;
    // The same into memory, for small files (property lists, thumbnails);
    // absent with `why` set on failure or when the file is larger than `maxBytes`.
    std::optional<std::vector<std::uint8_t>> decryptToMemory(const std::string& storedPath, std::uint64_t maxBytes,
                                                             std::string& why) const;
    // Decrypts a whole buffer held in memory (Manifest.db under its own key).
    std::optional<std::vector<std::uint8_t>> decryptBytes(std::span<const std::uint8_t> field,
                                                          std::span<const std::uint8_t> ciphertext,
                                                          std::string& why) const;

private:
    std::map<std::uint32_t, crypto::SecretBytes> classKeys_;
    mutable std::shared_mutex mutex_;
    std::unordered_map<std::string, FileEntry> files_;
};

using BackupCipherPtr = std::shared_ptr<const BackupCipher>;

}  // namespace salvor
