// The cryptography of encrypted backups, every step through OpenSSL: the
// password derivation (PBKDF2), RFC 3394 key wrapping with AES-256, AES-256-CBC
// with a zero IV and PKCS#7 padding, and the keybag's tag-length-value layout.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace salvor::forge::crypto {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(std::string_view text);
Bytes fromHex(std::string_view hex);  // throws on a digit that is not hexadecimal
std::string hexOf(const Bytes& bytes);  // lower case

// PBKDF2-HMAC with SHA-1 or SHA-256, `length` bytes.
Bytes pbkdf2Sha1(const Bytes& secret, const Bytes& salt, std::uint32_t iterations, std::size_t length = 32);
Bytes pbkdf2Sha256(const Bytes& secret, const Bytes& salt, std::uint32_t iterations, std::size_t length = 32);

// RFC 3394 with the default IV: a 32-byte key under a 32-byte key-encryption
// key becomes 40 bytes. Unwrapping answers nothing when the integrity check
// fails (the wrong key-encryption key, or damaged bytes).
Bytes wrapKey(const Bytes& kek, const Bytes& key);
std::optional<Bytes> unwrapKey(const Bytes& kek, const Bytes& wrapped);

// AES-256-CBC, IV of 16 zero bytes, PKCS#7 padding. Decryption answers
// nothing when the padding is not valid.
Bytes cbcEncrypt(const Bytes& key, const Bytes& plain);
std::optional<Bytes> cbcDecrypt(const Bytes& key, const Bytes& cipher);

// Encrypts the file `in` into `out` as cbcEncrypt would, in pieces, so a large
// file is never held whole. With `badPadding` the last block carries a pad
// that no PKCS#7 check accepts (its last byte is 0). Returns the bytes written.
std::uint64_t encryptFile(const Bytes& key, const std::string& in, const std::string& out, bool badPadding = false);

// The key that unwraps the class keys, from the password's UTF-8 bytes:
// with a data-protection salt (iOS 10.2 and later) two rounds,
// PBKDF2-HMAC-SHA256 over `dpsl` then PBKDF2-HMAC-SHA1 over `salt`;
// without one (empty `dpsl`) the SHA-1 round alone.
Bytes passwordKey(std::string_view password, const Bytes& salt, std::uint32_t iterations, const Bytes& dpsl,
                  std::uint32_t dpic);

// A backup keybag: the header, then one entry per class key.
struct Keybag {
    std::uint32_t version = 5;
    std::uint32_t type = 1;  // a backup keybag
    Bytes uuid;              // 16 bytes
    Bytes hmck;              // 40 bytes
    std::uint32_t wrap = 0;
    Bytes salt;              // 20 bytes
    std::uint32_t iterations = 10000;
    // The SHA-256 round; written only when `dpsl` is not empty.
    std::uint32_t dpwt = 1;
    std::uint32_t dpic = 10000000;
    Bytes dpsl;
    struct ClassKey {
        Bytes uuid;  // 16 bytes
        std::uint32_t protectionClass = 0;
        std::uint32_t wrap = 2;  // value 2: wrapped with the password's key
        std::uint32_t keyType = 0;
        Bytes wrappedKey;  // 40 bytes
    };
    std::vector<ClassKey> classes;
};
// The tag-length-value stream: 4-byte tag, 4-byte big-endian length, value;
// numbers as 4-byte big-endian values.
Bytes keybagBytes(const Keybag& keybag);

// The 44-byte key field of a manifest record or of ManifestKey: the class as a
// 4-byte little-endian number, then the 40-byte wrapped key.
Bytes keyField(std::uint32_t protectionClass, const Bytes& wrappedKey);

// Overwrites `key` with zeros (the keys never outlive their use).
void wipe(Bytes& key);

}  // namespace salvor::forge::crypto
