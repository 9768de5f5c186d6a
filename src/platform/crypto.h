// The ciphers of an encrypted backup, over OpenSSL: key derivation (PBKDF2),
// key unwrapping (RFC 3394) and AES-256-CBC decryption with PKCS#7 padding.
// Key material lives in SecretBytes, wiped when it goes away.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace salvor::crypto {

// Bytes that are wiped (OPENSSL_cleanse) when they are released or replaced.
// Move-only, so a key is never copied by accident.
class SecretBytes {
public:
    SecretBytes() = default;
    explicit SecretBytes(std::size_t size) : bytes_(size) {}
    explicit SecretBytes(std::span<const std::uint8_t> bytes) : bytes_(bytes.begin(), bytes.end()) {}
    ~SecretBytes() { wipe(); }
    SecretBytes(SecretBytes&& other) noexcept : bytes_(std::move(other.bytes_)) { other.bytes_.clear(); }
    SecretBytes& operator=(SecretBytes&& other) noexcept;
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;

    // An explicit copy, where one is wanted (a key kept for a later scan).
    SecretBytes clone() const { return SecretBytes(std::span<const std::uint8_t>(bytes_)); }
    std::uint8_t* data() { return bytes_.data(); }
    const std::uint8_t* data() const { return bytes_.data(); }
    std::size_t size() const { return bytes_.size(); }
    bool empty() const { return bytes_.empty(); }
    std::span<const std::uint8_t> view() const { return bytes_; }
    // Wipes and empties.
    void wipe();

private:
    std::vector<std::uint8_t> bytes_;
};

// Wipes `size` bytes at `data` in a way the compiler does not remove.
void cleanse(void* data, std::size_t size);

// PBKDF2 with HMAC-SHA1 or HMAC-SHA256; empty on failure.
SecretBytes pbkdf2Sha1(std::span<const std::uint8_t> password, std::span<const std::uint8_t> salt,
                       std::uint32_t iterations, std::size_t length);
SecretBytes pbkdf2Sha256(std::span<const std::uint8_t> password, std::span<const std::uint8_t> salt,
                         std::uint32_t iterations, std::size_t length);

// RFC 3394 key unwrap with AES-256 and the default initial value: 40 bytes in,
// 32 out. Absent when the integrity check fails (the wrong key-encryption key
// or damaged bytes) or the sizes are not those.
std::optional<SecretBytes> aesUnwrap(std::span<const std::uint8_t> kek, std::span<const std::uint8_t> wrapped);
// The reverse, for tests and the synthetic backups: 32 bytes in, 40 out.
std::optional<std::vector<std::uint8_t>> aesWrap(std::span<const std::uint8_t> kek, std::span<const std::uint8_t> key);

// AES-256-CBC decryption with PKCS#7 padding, fed in pieces of any size. Output
// lags the input by up to one block: the last block is held back until
// finish(), which checks and strips the padding.
class CbcDecryptor {
public:
    // `iv` of 16 bytes, or empty for sixteen zero bytes (as backups use).
    CbcDecryptor(std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv = {});
    ~CbcDecryptor();
    CbcDecryptor(const CbcDecryptor&) = delete;
    CbcDecryptor& operator=(const CbcDecryptor&) = delete;

    bool ok() const { return ctx_ != nullptr; }
    // Decrypts `in` into `out` (which must have room for in.size() + 16
    // bytes); the count written, or absent on an error.
    std::optional<std::size_t> update(std::span<const std::uint8_t> in, std::uint8_t* out);
    // Writes the last block without its padding (up to 16 bytes); absent when
    // the padding is not valid PKCS#7 or the input was not whole blocks.
    std::optional<std::size_t> finish(std::uint8_t* out);
    // Without padding: every block as it is (no holding back, no check).
    void setPadding(bool on);

private:
    struct Ctx;
    Ctx* ctx_ = nullptr;
};

// Decrypts a whole buffer; absent on bad padding or a length that is not whole blocks.
std::optional<std::vector<std::uint8_t>> decryptCbc(std::span<const std::uint8_t> key,
                                                    std::span<const std::uint8_t> data);
// Encrypts with PKCS#7 padding and a zero IV (tests and synthetic backups).
std::vector<std::uint8_t> encryptCbc(std::span<const std::uint8_t> key, std::span<const std::uint8_t> data);

// Bytes of a text, for the functions above.
inline std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace salvor::crypto
