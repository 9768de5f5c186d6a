// The encrypted-backup pipeline against published vectors and against damage:
// key derivation, key unwrapping, the keybag and per-file decryption.
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include <gtest/gtest.h>

#include "core/backup_cipher.h"
#include "core/keybag.h"
#include "platform/crypto.h"
#include "support/support.h"

namespace salvor {
namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> hex(std::string_view text) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
    return out;
}
std::string hexOf(std::span<const std::uint8_t> bytes) {
    static const char* d = "0123456789abcdef";
    std::string s;
    for (auto b : bytes) s += {d[b >> 4], d[b & 15]};
    return s;
}
std::string text(std::span<const std::uint8_t> b) { return {b.begin(), b.end()}; }

// A keybag as tag-length-value blocks, in the order a phone writes them.
struct BagWriter {
    std::vector<std::uint8_t> out;
    BagWriter& raw(const char* tag, std::span<const std::uint8_t> value) {
        out.insert(out.end(), tag, tag + 4);
        const std::uint32_t n = static_cast<std::uint32_t>(value.size());
        for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<std::uint8_t>(n >> s));
        out.insert(out.end(), value.begin(), value.end());
        return *this;
    }
    BagWriter& u32(const char* tag, std::uint32_t v) {
        const std::uint8_t b[4] = {std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v)};
        return raw(tag, b);
    }
};

// The public keybag vector: every class key wraps 32 zero bytes under the key
// that password "0000" derives.
const char* kVectorWrapped = "528c9c5171bf8bef1ea397cf29d2a838c90529df02a6ad2f823a1c6f3a5b2040e2a309c520c6a2ab";
const char* kVectorDerived = "ec8edc160b5745ccae000bfb4787630f322821191fba7eea38feab2c6307cd9b";

std::vector<std::uint8_t> vectorKeybag(std::uint32_t passwordIterations = 10'000'000) {
    const std::vector<std::uint8_t> zeros(20, 0), uuid(16, 7);
    BagWriter w;
    w.u32("VERS", 5).u32("TYPE", 1).raw("UUID", uuid).raw("HMCK", std::vector<std::uint8_t>(40, 1)).u32("WRAP", 0);
    w.raw("SALT", zeros).u32("ITER", 10000).u32("DPWT", 1).u32("DPIC", passwordIterations).raw("DPSL", zeros);
    for (std::uint32_t c = 11; c >= 1; --c) {
        w.raw("UUID", uuid).u32("CLAS", c).u32("WRAP", (c == 11 || c == 10 || c == 9 || c == 5) ? 3 : 2).u32("KTYP", 0);
        w.raw("WPKY", hex(kVectorWrapped));
    }
    return w.out;
}

TEST(BackupCrypto, PublishedVectors) {
    // RFC 6070 (PBKDF2-HMAC-SHA1) and RFC 7914 (PBKDF2-HMAC-SHA256).
    EXPECT_EQ(hexOf(crypto::pbkdf2Sha1(crypto::bytesOf("password"), crypto::bytesOf("salt"), 1, 20).view()),
              "0c60c80f961f0e71f3a9b524af6012062fe037a6");
    EXPECT_EQ(hexOf(crypto::pbkdf2Sha1(crypto::bytesOf("password"), crypto::bytesOf("salt"), 4096, 20).view()),
              "4b007901b765489abead49d926f721d065a429c1");
    EXPECT_EQ(hexOf(crypto::pbkdf2Sha256(crypto::bytesOf("passwd"), crypto::bytesOf("salt"), 1, 64).view()).substr(0, 16),
              "55ac046e56e3089f");
    // RFC 3394 §4.6: a 256-bit key wrapped with a 256-bit key, both ways.
    std::vector<std::uint8_t> kek(32);
    for (int i = 0; i < 32; ++i) kek[i] = static_cast<std::uint8_t>(i);
    const auto data = hex("00112233445566778899AABBCCDDEEFF000102030405060708090A0B0C0D0E0F");
    const auto wrapped = hex("28C9F404C4B810F4CBCCB35CFB87F8263F5786E2D80ED326CBC7F0E71A99F43BFB988B9B7A02DD21");
    EXPECT_EQ(crypto::aesWrap(kek, data), wrapped);
    const auto unwrapped = crypto::aesUnwrap(kek, wrapped);
    ASSERT_TRUE(unwrapped);
    EXPECT_EQ(hexOf(unwrapped->view()), hexOf(data));
    // One changed bit of the key-encryption key fails the integrity check.
    kek[0] ^= 1;
    EXPECT_FALSE(crypto::aesUnwrap(kek, wrapped));
    EXPECT_FALSE(crypto::aesUnwrap(kek, std::span(wrapped).first(39)));
}

TEST(BackupCrypto, PublicKeybagVectorEndToEnd) {
    std::string why;
    const auto bag = Keybag::parse(vectorKeybag(), why);
    ASSERT_TRUE(bag) << why;
    EXPECT_EQ(bag->classes.size(), 11u);
    EXPECT_TRUE(bag->hasPasswordRound());
    // The published key after the SHA-256 round gives the published derived
    // key through the SHA-1 round. The full 10,000,000-round derivation is
    // timed by the benchmark and checked once by the forge's own tests; here
    // the order of the two rounds is checked at a small count.
    const auto k1 = hex("1e8bf0bd2f08aca606dfcf6b3ab19a3307f12cfc15c787b10eb7f5ecb957b987");
    const crypto::SecretBytes key = crypto::pbkdf2Sha1(k1, bag->salt, bag->iterations, 32);
    EXPECT_EQ(hexOf(key.view()), kVectorDerived);
    const auto cheap = Keybag::parse(vectorKeybag(1000), why);
    ASSERT_TRUE(cheap) << why;
    const crypto::SecretBytes first = crypto::pbkdf2Sha256(crypto::bytesOf("0000"), cheap->passwordSalt, 1000, 32);
    EXPECT_EQ(hexOf(cheap->deriveKey(crypto::bytesOf("0000")).view()),
              hexOf(crypto::pbkdf2Sha1(first.view(), cheap->salt, cheap->iterations, 32).view()));

    std::map<std::uint32_t, crypto::SecretBytes> classKeys;
    ASSERT_EQ(bag->unlock(key.view(), classKeys), Keybag::Unlock::ok);
    ASSERT_EQ(classKeys.size(), 11u);
    EXPECT_EQ(hexOf(classKeys[3].view()), std::string(64, '0'));

    const BackupCipher cipher(std::move(classKeys));
    const auto field = hex("0200000097317494343807e690fd1e431413963dc0e3deb4907fb89fa36ce65126d0ea1301381fb3a2941e2f");
    const auto plain = cipher.decryptBytes(field, hex("78b51ca5374c3ad575174288688cda49"), why);
    ASSERT_TRUE(plain) << why;
    EXPECT_EQ(text(*plain), "Test data");

    // A wrong password fails at the first class key, and leaves no keys behind.
    std::map<std::uint32_t, crypto::SecretBytes> none;
    EXPECT_EQ(bag->unlock(crypto::pbkdf2Sha1(crypto::bytesOf("0001"), std::vector<std::uint8_t>(20), 10, 32).view(), none),
              Keybag::Unlock::wrongKey);
    EXPECT_TRUE(none.empty());
}

TEST(BackupCrypto, HostileKeybagsAreRefusedWithAReason) {
    std::string why;
    const std::vector<std::uint8_t> good = vectorKeybag(1000);
    // Cut anywhere inside a block header or value.
    for (std::size_t cut : {std::size_t{3}, std::size_t{6}, std::size_t{30}, good.size() - 1}) {
        why.clear();
        EXPECT_FALSE(Keybag::parse(std::span(good).first(cut), why)) << cut;
        EXPECT_FALSE(why.empty());
    }
    // A length running far past the end.
    std::vector<std::uint8_t> longer = good;
    longer[4] = 0x7F;
    EXPECT_FALSE(Keybag::parse(longer, why));
    // Derivation counts no real backup asks for would take hours.
    EXPECT_FALSE(Keybag::parse(vectorKeybag(4'000'000'000u), why));
    EXPECT_NE(why.find("rounds"), std::string::npos);
    // No class keys, no salt.
    BagWriter header;
    header.u32("VERS", 5).raw("SALT", std::vector<std::uint8_t>(20)).u32("ITER", 10);
    EXPECT_FALSE(Keybag::parse(header.out, why));
    BagWriter saltless;
    saltless.u32("ITER", 10).raw("UUID", std::vector<std::uint8_t>(16)).raw("UUID", std::vector<std::uint8_t>(16));
    EXPECT_FALSE(Keybag::parse(saltless.out, why));
    // Unknown tags and class entries without a class number are skipped.
    BagWriter odd;
    odd.raw("SALT", std::vector<std::uint8_t>(20)).u32("ITER", 10).raw("ZZZZ", std::vector<std::uint8_t>(3));
    odd.raw("UUID", std::vector<std::uint8_t>(16)).raw("UUID", std::vector<std::uint8_t>(16)).raw("WPKY", hex(kVectorWrapped));
    odd.raw("UUID", std::vector<std::uint8_t>(16)).u32("CLAS", 4).u32("WRAP", 2).raw("WPKY", hex(kVectorWrapped));
    const auto bag = Keybag::parse(odd.out, why);
    ASSERT_TRUE(bag) << why;
    ASSERT_EQ(bag->classes.size(), 1u);
    EXPECT_EQ(bag->classes[0].protectionClass, 4u);
}

// A cipher with random class keys, and files encrypted under it.
struct Fixture {
    std::vector<std::uint8_t> classKey = std::vector<std::uint8_t>(32);
    std::unique_ptr<BackupCipher> cipher;
    Fixture() {
        for (int i = 0; i < 32; ++i) classKey[i] = static_cast<std::uint8_t>(i * 7 + 3);
        std::map<std::uint32_t, crypto::SecretBytes> keys;
        keys[3] = crypto::SecretBytes(classKey);
        cipher = std::make_unique<BackupCipher>(std::move(keys));
    }
    // The 44-byte field of a file key of class 3.
    std::string field(const std::vector<std::uint8_t>& fileKey, std::uint32_t cls = 3) const {
        std::string f{char(cls), 0, 0, 0};
        const auto w = crypto::aesWrap(classKey, fileKey);
        f.append(w->begin(), w->end());
        return f;
    }
};

int openRead(const fs::path& p) { return ::open(p.c_str(), O_RDONLY); }

TEST(BackupCrypto, FilesDecryptInChunksAndDamageIsReportedPerFile) {
    Fixture fx;
    test::TempDir dir;
    std::vector<std::uint8_t> key(32, 0x5A);
    // Larger than one chunk, not a whole number of blocks.
    std::vector<std::uint8_t> content(3u * 1024 * 1024 + 5);
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i * 31 + (i >> 12));
    const auto encrypted = crypto::encryptCbc(key, content);
    const fs::path stored = fs::path(dir / "stored");
    test::writeFile(stored.string(), std::string(encrypted.begin(), encrypted.end()));

    auto decrypt = [&](const BackupCipher::FileEntry& entry, const fs::path& from) {
        const int in = openRead(from);
        const int out = ::open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        auto r = fx.cipher->decryptFile(in, entry, out);
        ::close(in);
        ::close(out);
        return r;
    };
    // The padding gives the length; a listed size that differs is noted, never used to cut.
    auto r = decrypt({fx.field(key), content.size() - 100}, stored);
    ASSERT_TRUE(r.ok) << r.problem;
    EXPECT_EQ(r.written, content.size());
    EXPECT_NE(r.note.find("whole content was kept"), std::string::npos);
    EXPECT_EQ(test::readFile(dir / "out"), std::string(content.begin(), content.end()));
    r = decrypt({fx.field(key), content.size()}, stored);
    EXPECT_TRUE(r.ok && r.note.empty());

    // A wrong key does not unwrap; a class the keybag lacks; a short field.
    std::string broken = fx.field(key);
    broken[10] ^= 1;
    EXPECT_NE(decrypt({broken, {}}, stored).problem.find("does not unwrap"), std::string::npos);
    EXPECT_NE(decrypt({fx.field(key, 9), {}}, stored).problem.find("class 9"), std::string::npos);
    EXPECT_NE(decrypt({fx.field(key).substr(0, 40), {}}, stored).problem.find("40 bytes"), std::string::npos);

    // Cut short: not whole blocks. Changed last block: bad padding.
    test::writeFile(dir / "cut", std::string(encrypted.begin(), encrypted.end() - 3));
    EXPECT_NE(decrypt({fx.field(key), {}}, fs::path(dir / "cut")).problem.find("whole number"), std::string::npos);
    std::string tampered(encrypted.begin(), encrypted.end());
    tampered.back() ^= 0x40;
    test::writeFile(dir / "tampered", tampered);
    r = decrypt({fx.field(key), {}}, fs::path(dir / "tampered"));
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.problem.find("padding"), std::string::npos);
}

}  // namespace
}  // namespace salvor
