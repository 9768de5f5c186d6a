// Encrypting a forged backup in place, laid out as the phone encrypts one:
// a keybag of eleven class keys wrapped with a key derived from the password,
// each regular file's own key wrapped with its class's key and kept in its
// manifest record, the stored files as AES-256-CBC ciphertext (zero IV,
// PKCS#7), and, on iOS 10.2 and later, Manifest.db itself encrypted under
// ManifestKey. The plaintext is not touched by the key draws (they come from
// their own stream), so the plain twin of an encrypted backup is the same
// scenario and seed forged without a password.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

#include "forge/backup_crypto.h"
#include "forge/forge.h"

namespace salvor::forge {

// What an encryption chose, for tests (and "<folder>.keys.json").
struct EncryptionKeys {
    std::string password;
    bool twoRounds = false;   // the keybag has DPSL/DPIC
    std::uint32_t iterations = 0;  // ITER
    std::uint32_t dpic = 0;        // 0 for a single round
    crypto::Bytes derivedKey;      // unwraps the class keys
    // Every class key, including one the keybag leaves out (MissingClassKey).
    std::map<std::uint32_t, crypto::Bytes> classKeys;
    crypto::Bytes manifestKey;  // Manifest.db's key; empty when it stays plain
    std::size_t encryptedFiles = 0;  // stored files now ciphertext
};

// Encrypts the backup in `folder` (Manifest.db or Manifest.mbdb) in place,
// keeping every file's modification time. Records of non-empty regular files
// gain their key field and protection class (a mix: 3 for databases, 4 or 1
// for the others) and keep the plaintext size; rows whose archive is missing
// or unreadable keep their stored file as it is (there is no record to hold a
// key). Manifest.plist gains BackupKeyBag, IsEncrypted and, with two rounds,
// ManifestKey. `seed` drives the key stream. Throws std::runtime_error on
// failure, and when a file of `options.damage` is not in the manifest.
EncryptionKeys encryptBackup(const std::string& folder, const EncryptionOptions& options, std::uint64_t seed);

// encryptBackup on a backup of the forge; its truth then says "bEncrypted": 1
// and "<store>/<folder>.keys.json" beside it holds keysJson.
EncryptionKeys encryptForgedBackup(const ForgedBackup& backup, const EncryptionOptions& options, std::uint64_t seed);

// {"password", "kdf": "two-round" | "single-round", "ITER", "DPIC" (0 when
// single), "derivedKey", "classKeys": {"1": hex, ...}, "manifestKey": hex or
// null, "encryptedFiles"}; keys as lower-case hexadecimal.
nlohmann::json keysJson(const EncryptionKeys& keys);

}  // namespace salvor::forge
