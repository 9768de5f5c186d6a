#include "platform/crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <utility>

namespace salvor::crypto {

SecretBytes& SecretBytes::operator=(SecretBytes&& other) noexcept {
    if (this != &other) {
        wipe();
        bytes_ = std::move(other.bytes_);
        other.bytes_.clear();
    }
    return *this;
}

void SecretBytes::wipe() {
    if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
    bytes_.clear();
    bytes_.shrink_to_fit();
}

void cleanse(void* data, std::size_t size) {
    if (data && size) OPENSSL_cleanse(data, size);
}

namespace {

SecretBytes pbkdf2(const EVP_MD* digest, std::span<const std::uint8_t> password, std::span<const std::uint8_t> salt,
                   std::uint32_t iterations, std::size_t length) {
    if (iterations == 0 || iterations > 0x7FFFFFFFu || length == 0) return {};
    SecretBytes out(length);
    // OpenSSL wants a non-null pointer even for an empty password.
    static const char kEmpty = 0;
    const char* pw = password.empty() ? &kEmpty : reinterpret_cast<const char*>(password.data());
    if (PKCS5_PBKDF2_HMAC(pw, static_cast<int>(password.size()), salt.data(), static_cast<int>(salt.size()),
                          static_cast<int>(iterations), digest, static_cast<int>(length), out.data()) != 1)
        return {};
    return out;
}

struct CipherCtx {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    ~CipherCtx() { EVP_CIPHER_CTX_free(ctx); }
};

}  // namespace

SecretBytes pbkdf2Sha1(std::span<const std::uint8_t> password, std::span<const std::uint8_t> salt,
                       std::uint32_t iterations, std::size_t length) {
    return pbkdf2(EVP_sha1(), password, salt, iterations, length);
}

SecretBytes pbkdf2Sha256(std::span<const std::uint8_t> password, std::span<const std::uint8_t> salt,
                         std::uint32_t iterations, std::size_t length) {
    return pbkdf2(EVP_sha256(), password, salt, iterations, length);
}

std::optional<SecretBytes> aesUnwrap(std::span<const std::uint8_t> kek, std::span<const std::uint8_t> wrapped) {
    if (kek.size() != 32 || wrapped.size() != 40) return std::nullopt;
    CipherCtx c;
    if (!c.ctx) return std::nullopt;
    // Key wrap modes are refused unless asked for explicitly.
    EVP_CIPHER_CTX_set_flags(c.ctx, EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    if (EVP_DecryptInit_ex(c.ctx, EVP_aes_256_wrap(), nullptr, kek.data(), nullptr) != 1) return std::nullopt;
    SecretBytes out(40);
    int n = 0, tail = 0;
    // A failed integrity check shows in the update, not in the final call.
    if (EVP_DecryptUpdate(c.ctx, out.data(), &n, wrapped.data(), static_cast<int>(wrapped.size())) != 1 || n != 32)
        return std::nullopt;
    if (EVP_DecryptFinal_ex(c.ctx, out.data() + n, &tail) != 1) return std::nullopt;
    SecretBytes key(std::span<const std::uint8_t>(out.data(), 32));
    return key;
}

std::optional<std::vector<std::uint8_t>> aesWrap(std::span<const std::uint8_t> kek, std::span<const std::uint8_t> key) {
    if (kek.size() != 32 || key.size() != 32) return std::nullopt;
    CipherCtx c;
    if (!c.ctx) return std::nullopt;
    EVP_CIPHER_CTX_set_flags(c.ctx, EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    if (EVP_EncryptInit_ex(c.ctx, EVP_aes_256_wrap(), nullptr, kek.data(), nullptr) != 1) return std::nullopt;
    std::vector<std::uint8_t> out(48);
    int n = 0, tail = 0;
    if (EVP_EncryptUpdate(c.ctx, out.data(), &n, key.data(), static_cast<int>(key.size())) != 1) return std::nullopt;
    if (EVP_EncryptFinal_ex(c.ctx, out.data() + n, &tail) != 1) return std::nullopt;
    out.resize(static_cast<std::size_t>(n + tail));
    if (out.size() != 40) return std::nullopt;
    return out;
}

struct CbcDecryptor::Ctx {
    EVP_CIPHER_CTX* ctx = nullptr;
};

CbcDecryptor::CbcDecryptor(std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv) {
    static const std::uint8_t kZeroIv[16] = {};
    if (key.size() != 32 || (!iv.empty() && iv.size() != 16)) return;
    auto* c = new Ctx{EVP_CIPHER_CTX_new()};
    if (!c->ctx || EVP_DecryptInit_ex(c->ctx, EVP_aes_256_cbc(), nullptr, key.data(),
                                      iv.empty() ? kZeroIv : iv.data()) != 1) {
        EVP_CIPHER_CTX_free(c->ctx);
        delete c;
        return;
    }
    ctx_ = c;
}

CbcDecryptor::~CbcDecryptor() {
    if (!ctx_) return;
    EVP_CIPHER_CTX_free(ctx_->ctx);  // clears the key schedule too
    delete ctx_;
}

void CbcDecryptor::setPadding(bool on) {
    if (ctx_) EVP_CIPHER_CTX_set_padding(ctx_->ctx, on ? 1 : 0);
}

std::optional<std::size_t> CbcDecryptor::update(std::span<const std::uint8_t> in, std::uint8_t* out) {
    if (!ctx_) return std::nullopt;
    std::size_t total = 0;
    // EVP takes int lengths: feed very large pieces in parts.
    while (!in.empty()) {
        const std::size_t part = std::min<std::size_t>(in.size(), std::size_t{1} << 30);
        int n = 0;
        if (EVP_DecryptUpdate(ctx_->ctx, out + total, &n, in.data(), static_cast<int>(part)) != 1) return std::nullopt;
        total += static_cast<std::size_t>(n);
        in = in.subspan(part);
    }
    return total;
}

std::optional<std::size_t> CbcDecryptor::finish(std::uint8_t* out) {
    if (!ctx_) return std::nullopt;
    int n = 0;
    if (EVP_DecryptFinal_ex(ctx_->ctx, out, &n) != 1) return std::nullopt;
    return static_cast<std::size_t>(n);
}

std::optional<std::vector<std::uint8_t>> decryptCbc(std::span<const std::uint8_t> key,
                                                    std::span<const std::uint8_t> data) {
    if (data.empty() || data.size() % 16 != 0) return std::nullopt;
    CbcDecryptor d(key);
    std::vector<std::uint8_t> out(data.size() + 16);
    const auto n = d.update(data, out.data());
    if (!n) return std::nullopt;
    const auto tail = d.finish(out.data() + *n);
    if (!tail) {
        cleanse(out.data(), out.size());
        return std::nullopt;
    }
    out.resize(*n + *tail);
    return out;
}

std::vector<std::uint8_t> encryptCbc(std::span<const std::uint8_t> key, std::span<const std::uint8_t> data) {
    static const std::uint8_t kZeroIv[16] = {};
    CipherCtx c;
    std::vector<std::uint8_t> out(data.size() + 16);
    int n = 0, tail = 0;
    if (key.size() != 32 || !c.ctx || EVP_EncryptInit_ex(c.ctx, EVP_aes_256_cbc(), nullptr, key.data(), kZeroIv) != 1 ||
        EVP_EncryptUpdate(c.ctx, out.data(), &n, data.data(), static_cast<int>(data.size())) != 1 ||
        EVP_EncryptFinal_ex(c.ctx, out.data() + n, &tail) != 1)
        return {};
    out.resize(static_cast<std::size_t>(n + tail));
    return out;
}

}  // namespace salvor::crypto
