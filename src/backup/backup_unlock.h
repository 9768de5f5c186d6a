// Opening an encrypted backup: its keybag (Manifest.plist's "BackupKeyBag")
// unlocked with the password, or with the key once derived from it, gives
// the class keys every stored file's key is wrapped with.
#pragma once

#include <memory>
#include <string>

#include "core/backup_cipher.h"
#include "platform/crypto.h"

namespace salvor {

// What the person gave to open an encrypted backup. Either may be empty.
struct BackupSecret {
    crypto::SecretBytes password;    // the password's UTF-8 bytes
    crypto::SecretBytes derivedKey;  // the 32-byte key derived from it (kept from an earlier run)
    bool empty() const { return password.empty() && derivedKey.empty(); }
};

// The one sentence a wrong password gets.
inline constexpr const char* kWrongPassword = "The password is not right for this backup.";

struct UnlockResult {
    enum class Status { ok, noSecret, wrongPassword, unusable };
    Status status = Status::unusable;
    std::shared_ptr<BackupCipher> cipher;  // set when ok
    crypto::SecretBytes derivedKey;        // set when ok: may be kept for a later scan
    std::string message;                   // why not, for the person
};

// Reads the keybag of the backup at `backupPath` and unlocks it with the
// derived key when one is given, else with the password (a derivation that
// takes seconds on a real keybag).
UnlockResult unlockBackup(const std::string& backupPath, const BackupSecret& secret);

// Reads a derived key written as 64 hex digits (blanks and a final newline
// allowed); empty when the text is not one.
crypto::SecretBytes parseDerivedKey(std::string_view text);

}  // namespace salvor
