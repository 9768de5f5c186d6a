// Known-answer values for the cryptography of encrypted backups, shared by
// the tests of the forge and of the reader. Header only: the values and a
// builder of the public keybag, with no dependency on the code under test.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace salvor::test::vectors {

// Vector A: a public backup keybag (iOS 10.2 and later layout) whose every
// class key and the one file key are 32 zero bytes, so it checks the parsing,
// both derivation rounds and the wiring, not which key goes where.
namespace a {
inline constexpr const char* kPassword = "0000";
inline constexpr std::uint32_t kVersion = 5, kType = 1, kWrap = 0, kIter = 10000, kDpwt = 1, kDpic = 10000000;
inline constexpr const char* kSaltHex = "0000000000000000000000000000000000000000";  // SALT and DPSL
// Eleven classes, in keybag order; WRAP 3 for classes 11, 10, 9 and 5, 2 for the others.
inline constexpr std::uint32_t kClassOrder[11] = {11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1};
inline constexpr std::uint32_t classWrap(std::uint32_t c) { return c == 11 || c == 10 || c == 9 || c == 5 ? 3 : 2; }
// Every class's WPKY.
inline constexpr const char* kWrappedClassKeyHex =
    "528c9c5171bf8bef1ea397cf29d2a838c90529df02a6ad2f823a1c6f3a5b2040e2a309c520c6a2ab";
// k1 = PBKDF2-HMAC-SHA256(password, DPSL, DPIC, 32); kp = PBKDF2-HMAC-SHA1(k1, SALT, ITER, 32).
inline constexpr const char* kK1Hex = "1e8bf0bd2f08aca606dfcf6b3ab19a3307f12cfc15c787b10eb7f5ecb957b987";
inline constexpr const char* kKpHex = "ec8edc160b5745ccae000bfb4787630f322821191fba7eea38feab2c6307cd9b";
inline constexpr const char* kZeroKeyHex = "0000000000000000000000000000000000000000000000000000000000000000";
// A file's 44-byte key field: class 2 (little-endian), then the wrapped key (32 zero bytes).
inline constexpr const char* kFileKeyFieldHex =
    "0200000097317494343807e690fd1e431413963dc0e3deb4907fb89fa36ce65126d0ea1301381fb3a2941e2f";
// AES-256-CBC, zero key, zero IV: "Test data" and seven pad bytes of 07.
inline constexpr const char* kCiphertextHex = "78b51ca5374c3ad575174288688cda49";
inline constexpr const char* kPlaintext = "Test data";

// The keybag's bytes (tag, 4-byte big-endian length, value). The UUIDs and
// HMCK are stand-ins of zeros: nothing derives from them.
inline std::vector<std::uint8_t> keybag() {
    std::vector<std::uint8_t> out;
    auto tag = [&](const char* name, const std::vector<std::uint8_t>& value) {
        out.insert(out.end(), name, name + 4);
        for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(value.size() >> shift));
        out.insert(out.end(), value.begin(), value.end());
    };
    auto number = [&](const char* name, std::uint32_t v) {
        tag(name, {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                   static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)});
    };
    auto hex = [](const char* text) {
        std::vector<std::uint8_t> bytes;
        for (const char* p = text; p[0] && p[1]; p += 2) bytes.push_back(static_cast<std::uint8_t>(std::stoi(std::string(p, 2), nullptr, 16)));
        return bytes;
    };
    number("VERS", kVersion);
    number("TYPE", kType);
    tag("UUID", std::vector<std::uint8_t>(16));
    tag("HMCK", std::vector<std::uint8_t>(40));
    number("WRAP", kWrap);
    tag("SALT", hex(kSaltHex));
    number("ITER", kIter);
    number("DPWT", kDpwt);
    number("DPIC", kDpic);
    tag("DPSL", hex(kSaltHex));
    for (std::uint32_t c : kClassOrder) {
        tag("UUID", std::vector<std::uint8_t>(16));
        number("CLAS", c);
        number("WRAP", classWrap(c));
        number("KTYP", 0);
        tag("WPKY", hex(kWrappedClassKeyHex));
    }
    return out;
}
}  // namespace a

// Vector B: RFC 3394 section 4.6, 256 bits of key data under a 256-bit KEK.
namespace b {
inline constexpr const char* kKekHex = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
inline constexpr const char* kKeyDataHex = "00112233445566778899aabbccddeeff000102030405060708090a0b0c0d0e0f";
inline constexpr const char* kWrappedHex =
    "28c9f404c4b810f4cbccb35cfb87f8263f5786e2d80ed326cbc7f0e71a99f43bfb988b9b7a02dd21";
}  // namespace b

// Vector C: PBKDF2 (RFC 6070 for SHA-1, RFC 7914 section 11 for SHA-256).
namespace c {
struct Case {
    bool sha256;
    const char* password;
    const char* salt;
    std::uint32_t iterations;
    const char* keyHex;
};
inline constexpr Case kCases[] = {
    {false, "password", "salt", 1, "0c60c80f961f0e71f3a9b524af6012062fe037a6"},
    {false, "password", "salt", 4096, "4b007901b765489abead49d926f721d065a429c1"},
    {true, "passwd", "salt", 1,
     "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
     "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783"},
};
}  // namespace c

}  // namespace salvor::test::vectors
