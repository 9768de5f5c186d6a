// The keybag parser and the unlock on arbitrary bytes: never a crash, never a
// derivation beyond the cap, and an unlock only ever with 32-byte class keys.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <span>
#include <string>

#include "core/backup_cipher.h"
#include "core/keybag.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string why;
    const auto bag = salvor::Keybag::parse(std::span(data, size), why);
    if (!bag) {
        check(!why.empty());
        return 0;
    }
    check(bag->iterations <= salvor::Keybag::kMaxIterations && bag->passwordIterations <= salvor::Keybag::kMaxIterations);
    for (const auto& c : bag->classes) check(c.wrappedKey.size() == 40);
    // Real counts would make each input take seconds: only cheap ones are derived.
    if (bag->iterations > 64 || bag->passwordIterations > 64) return 0;
    const auto key = bag->deriveKey(salvor::crypto::bytesOf("0000"));
    check(key.size() == 32);
    std::map<std::uint32_t, salvor::crypto::SecretBytes> classKeys;
    if (bag->unlock(key.view(), classKeys) != salvor::Keybag::Unlock::ok) return 0;
    for (const auto& [cls, k] : classKeys) check(k.size() == 32);
    // Whatever the input holds after its first 44 bytes, read as a file key and ciphertext.
    const salvor::BackupCipher cipher(std::move(classKeys));
    if (size > 44) cipher.decryptBytes(std::span(data, 44), std::span(data + 44, size - 44), why);
    return 0;
}
