#include "forge/backup_crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>

namespace salvor::forge::crypto {
namespace {

using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

CipherCtx newContext() {
    CipherCtx ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    if (!ctx) throw std::runtime_error("forge: no cipher context");
    return ctx;
}

void requireKey(const Bytes& key, const char* what) {
    if (key.size() != 32) throw std::runtime_error(std::string("forge: ") + what + " needs a 32-byte key");
}

Bytes pbkdf2(const Bytes& secret, const Bytes& salt, std::uint32_t iterations, std::size_t length, const EVP_MD* md) {
    if (iterations == 0 || iterations > 0x7FFFFFFF) throw std::runtime_error("forge: PBKDF2 iteration count out of range");
    Bytes out(length);
    if (PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(secret.data()), static_cast<int>(secret.size()), salt.data(),
                          static_cast<int>(salt.size()), static_cast<int>(iterations), md, static_cast<int>(length),
                          out.data()) != 1)
        throw std::runtime_error("forge: PBKDF2 failed");
    return out;
}

// The 16-byte IV of every CBC stream of a backup: zeros.
const unsigned char kZeroIv[16] = {};

void putU32(Bytes& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

void putTag(Bytes& out, const char tag[5], const Bytes& value) {
    out.insert(out.end(), tag, tag + 4);
    putU32(out, static_cast<std::uint32_t>(value.size()));
    out.insert(out.end(), value.begin(), value.end());
}

void putTag(Bytes& out, const char tag[5], std::uint32_t value) {
    Bytes v;
    putU32(v, value);
    putTag(out, tag, v);
}

}  // namespace

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes fromHex(std::string_view hex) {
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    if (hex.size() % 2 != 0) throw std::runtime_error("forge: odd number of hexadecimal digits");
    Bytes out;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int hi = digit(hex[i]), lo = digit(hex[i + 1]);
        if (hi < 0 || lo < 0) throw std::runtime_error("forge: not a hexadecimal digit");
        out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
    }
    return out;
}

std::string hexOf(const Bytes& bytes) {
    static const char* kDigits = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

Bytes pbkdf2Sha1(const Bytes& secret, const Bytes& salt, std::uint32_t iterations, std::size_t length) {
    return pbkdf2(secret, salt, iterations, length, EVP_sha1());
}

Bytes pbkdf2Sha256(const Bytes& secret, const Bytes& salt, std::uint32_t iterations, std::size_t length) {
    return pbkdf2(secret, salt, iterations, length, EVP_sha256());
}

Bytes wrapKey(const Bytes& kek, const Bytes& key) {
    requireKey(kek, "key wrapping");
    requireKey(key, "key wrapping");
    CipherCtx ctx = newContext();
    // Wrap-mode ciphers must be allowed explicitly; a NULL IV is RFC 3394's default.
    EVP_CIPHER_CTX_set_flags(ctx.get(), EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    Bytes out(key.size() + 8 + 16);
    int n = 0, tail = 0;
    if (EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_wrap(), nullptr, kek.data(), nullptr) != 1 ||
        EVP_EncryptUpdate(ctx.get(), out.data(), &n, key.data(), static_cast<int>(key.size())) != 1 ||
        EVP_EncryptFinal_ex(ctx.get(), out.data() + n, &tail) != 1)
        throw std::runtime_error("forge: key wrapping failed");
    out.resize(static_cast<std::size_t>(n + tail));
    return out;
}

std::optional<Bytes> unwrapKey(const Bytes& kek, const Bytes& wrapped) {
    requireKey(kek, "key unwrapping");
    if (wrapped.size() != 40) return std::nullopt;
    CipherCtx ctx = newContext();
    EVP_CIPHER_CTX_set_flags(ctx.get(), EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    Bytes out(wrapped.size() + 16);
    int n = 0, tail = 0;
    if (EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_wrap(), nullptr, kek.data(), nullptr) != 1)
        throw std::runtime_error("forge: key unwrapping could not start");
    // The integrity check fails inside the update, not the final call.
    if (EVP_DecryptUpdate(ctx.get(), out.data(), &n, wrapped.data(), static_cast<int>(wrapped.size())) != 1 ||
        EVP_DecryptFinal_ex(ctx.get(), out.data() + n, &tail) != 1) {
        OPENSSL_cleanse(out.data(), out.size());
        return std::nullopt;
    }
    out.resize(static_cast<std::size_t>(n + tail));
    return out;
}

Bytes cbcEncrypt(const Bytes& key, const Bytes& plain) {
    requireKey(key, "encryption");
    CipherCtx ctx = newContext();
    Bytes out(plain.size() + 16);
    int n = 0, tail = 0;
    if (EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, key.data(), kZeroIv) != 1 ||
        EVP_EncryptUpdate(ctx.get(), out.data(), &n, plain.data(), static_cast<int>(plain.size())) != 1 ||
        EVP_EncryptFinal_ex(ctx.get(), out.data() + n, &tail) != 1)
        throw std::runtime_error("forge: encryption failed");
    out.resize(static_cast<std::size_t>(n + tail));
    return out;
}

std::optional<Bytes> cbcDecrypt(const Bytes& key, const Bytes& cipher) {
    requireKey(key, "decryption");
    CipherCtx ctx = newContext();
    Bytes out(cipher.size() + 16);
    int n = 0, tail = 0;
    if (EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, key.data(), kZeroIv) != 1 ||
        EVP_DecryptUpdate(ctx.get(), out.data(), &n, cipher.data(), static_cast<int>(cipher.size())) != 1 ||
        EVP_DecryptFinal_ex(ctx.get(), out.data() + n, &tail) != 1)
        return std::nullopt;
    out.resize(static_cast<std::size_t>(n + tail));
    return out;
}

std::uint64_t encryptFile(const Bytes& key, const std::string& in, const std::string& out, bool badPadding) {
    requireKey(key, "encryption");
    std::ifstream src(in, std::ios::binary);
    if (!src) throw std::runtime_error("forge: cannot read " + in + ": " + std::strerror(errno));
    std::ofstream dst(out, std::ios::binary | std::ios::trunc);
    if (!dst) throw std::runtime_error("forge: cannot create " + out + ": " + std::strerror(errno));
    CipherCtx ctx = newContext();
    if (EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, key.data(), kZeroIv) != 1)
        throw std::runtime_error("forge: encryption could not start");
    // A bad pad is written by hand, so OpenSSL must not add its own.
    if (badPadding) EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    std::vector<unsigned char> inBuf(1 << 20), outBuf(inBuf.size() + 32);
    std::uint64_t plainSize = 0, written = 0;
    auto emit = [&](int n) {
        dst.write(reinterpret_cast<const char*>(outBuf.data()), n);
        written += static_cast<std::uint64_t>(n);
    };
    while (src) {
        src.read(reinterpret_cast<char*>(inBuf.data()), static_cast<std::streamsize>(inBuf.size()));
        const auto got = static_cast<int>(src.gcount());
        if (got <= 0) break;
        plainSize += static_cast<std::uint64_t>(got);
        int n = 0;
        if (EVP_EncryptUpdate(ctx.get(), outBuf.data(), &n, inBuf.data(), got) != 1)
            throw std::runtime_error("forge: encryption failed");
        emit(n);
    }
    if (badPadding) {
        // The pad PKCS#7 would add (1 to 16 bytes of its own length), but
        // ending in 0: a length no check accepts.
        const std::size_t pad = 16 - plainSize % 16;
        std::vector<unsigned char> tail(pad, static_cast<unsigned char>(pad));
        tail.back() = 0;
        int n = 0;
        if (EVP_EncryptUpdate(ctx.get(), outBuf.data(), &n, tail.data(), static_cast<int>(tail.size())) != 1)
            throw std::runtime_error("forge: encryption failed");
        emit(n);
    }
    int n = 0;
    if (EVP_EncryptFinal_ex(ctx.get(), outBuf.data(), &n) != 1) throw std::runtime_error("forge: encryption failed");
    emit(n);
    dst.close();
    if (!dst) throw std::runtime_error("forge: cannot write " + out);
    return written;
}

Bytes passwordKey(std::string_view password, const Bytes& salt, std::uint32_t iterations, const Bytes& dpsl,
                  std::uint32_t dpic) {
    Bytes secret = bytesOf(password);
    if (!dpsl.empty()) {
        Bytes first = pbkdf2Sha256(secret, dpsl, dpic, 32);
        wipe(secret);
        secret = std::move(first);
    }
    Bytes key = pbkdf2Sha1(secret, salt, iterations, 32);
    wipe(secret);
    return key;
}

Bytes keybagBytes(const Keybag& k) {
    Bytes out;
    putTag(out, "VERS", k.version);
    putTag(out, "TYPE", k.type);
    putTag(out, "UUID", k.uuid);
    putTag(out, "HMCK", k.hmck);
    putTag(out, "WRAP", k.wrap);
    putTag(out, "SALT", k.salt);
    putTag(out, "ITER", k.iterations);
    if (!k.dpsl.empty()) {
        putTag(out, "DPWT", k.dpwt);
        putTag(out, "DPIC", k.dpic);
        putTag(out, "DPSL", k.dpsl);
    }
    // Each later UUID opens the entry of one class key.
    for (const Keybag::ClassKey& c : k.classes) {
        putTag(out, "UUID", c.uuid);
        putTag(out, "CLAS", c.protectionClass);
        putTag(out, "WRAP", c.wrap);
        putTag(out, "KTYP", c.keyType);
        putTag(out, "WPKY", c.wrappedKey);
    }
    return out;
}

Bytes keyField(std::uint32_t protectionClass, const Bytes& wrappedKey) {
    Bytes out;
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(protectionClass >> shift));
    out.insert(out.end(), wrappedKey.begin(), wrappedKey.end());
    return out;
}

void wipe(Bytes& key) {
    if (!key.empty()) OPENSSL_cleanse(key.data(), key.size());
}

}  // namespace salvor::forge::crypto
