#include "backup/backup_unlock.h"

#include <cctype>
#include <map>

#include "core/keybag.h"
#include "platform/plist.h"

namespace salvor {

UnlockResult unlockBackup(const std::string& backupPath, const BackupSecret& secret) {
    UnlockResult out;
    const plist::Document manifest = plist::Document::fromFile(backupPath + "/Manifest.plist");
    const auto bagBytes = manifest.rootDict().get("BackupKeyBag").asData();
    if (!bagBytes) {
        out.message = "This backup is encrypted, but its Manifest.plist holds no keybag, so it cannot be decrypted.";
        return out;
    }
    std::string why;
    const auto bag = Keybag::parse(*bagBytes, why);
    if (!bag) {
        out.message = "This backup is encrypted, but its keybag cannot be used (" + why + "), so it cannot be decrypted.";
        return out;
    }
    if (secret.empty()) {
        out.status = UnlockResult::Status::noSecret;
        out.message = "This backup is encrypted and no password was given.";
        return out;
    }
    crypto::SecretBytes key = secret.derivedKey.size() == 32 ? secret.derivedKey.clone() : bag->deriveKey(secret.password.view());
    if (key.size() != 32) {
        out.message = "The key of this backup could not be derived from the password.";
        return out;
    }
    std::map<std::uint32_t, crypto::SecretBytes> classKeys;
    switch (bag->unlock(key.view(), classKeys)) {
    case Keybag::Unlock::ok: break;
    case Keybag::Unlock::wrongKey:
        out.status = UnlockResult::Status::wrongPassword;
        out.message = kWrongPassword;
        return out;
    case Keybag::Unlock::nothingToUnlock:
        out.message = "This backup's keybag holds no key that a password opens, so it cannot be decrypted here.";
        return out;
    }
    out.status = UnlockResult::Status::ok;
    out.cipher = std::make_shared<BackupCipher>(std::move(classKeys));
    out.derivedKey = std::move(key);
    return out;
}

crypto::SecretBytes parseDerivedKey(std::string_view text) {
    crypto::SecretBytes key(32);
    std::size_t nibbles = 0;
    for (const char c : text) {
        if (std::isspace(static_cast<unsigned char>(c))) continue;
        int v = -1;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        if (v < 0 || nibbles >= 64) return {};
        key.data()[nibbles / 2] = static_cast<std::uint8_t>(key.data()[nibbles / 2] << 4 | v);
        ++nibbles;
    }
    if (nibbles != 64) return {};
    return key;
}

}  // namespace salvor
