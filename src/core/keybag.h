// The keybag of an encrypted backup (Manifest.plist's "BackupKeyBag"): a flat
// run of tag-length-value blocks (4-byte ASCII tag, 4-byte big-endian length,
// value). Header tags come first; every UUID after the first starts the entry
// of one protection class, whose key (WPKY) is wrapped with a key derived from
// the backup password.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/crypto.h"

namespace salvor {

class Keybag {
public:
    // Iteration counts above this are refused: a crafted keybag could ask for
    // hours of key derivation. Real ones use 10,000 and 10,000,000.
    static constexpr std::uint32_t kMaxIterations = 50'000'000;

    struct ClassKey {
        std::uint32_t protectionClass = 0;
        std::uint32_t wrap = 0;  // bit value 2: wrapped with the password-derived key
        std::uint32_t keyType = 0;
        std::vector<std::uint8_t> wrappedKey;  // 40 bytes
    };

    // Parses the keybag; absent with `why` set when it cannot be used.
    static std::optional<Keybag> parse(std::span<const std::uint8_t> bytes, std::string& why);

    std::uint32_t version = 0;
    std::uint32_t type = 0;
    std::vector<std::uint8_t> salt;                 // SALT, for the PBKDF2-HMAC-SHA1 round
    std::uint32_t iterations = 0;                   // ITER
    std::vector<std::uint8_t> passwordSalt;         // DPSL, iOS 10.2 and later
    std::uint32_t passwordIterations = 0;           // DPIC
    bool hasPasswordRound() const { return !passwordSalt.empty() && passwordIterations > 0; }
    std::vector<ClassKey> classes;

    // The 32-byte key the class keys are wrapped with, from the password's
    // UTF-8 bytes: PBKDF2-HMAC-SHA256 over DPSL/DPIC first when the keybag has
    // that round, then PBKDF2-HMAC-SHA1 over SALT/ITER. Takes seconds for a
    // real keybag.
    crypto::SecretBytes deriveKey(std::span<const std::uint8_t> password) const;

    enum class Unlock { ok, wrongKey, nothingToUnlock };
    // Unwraps every password-wrapped class key with `derivedKey` into
    // `classKeys`. The first failed unwrap means the key (so the password) is
    // wrong: there is no other check of it.
    Unlock unlock(std::span<const std::uint8_t> derivedKey, std::map<std::uint32_t, crypto::SecretBytes>& classKeys) const;
};

}  // namespace salvor
