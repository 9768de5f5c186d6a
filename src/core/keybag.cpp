#include "core/keybag.h"

#include <cstring>

#include "core/byte_reader.h"

namespace salvor {

namespace {

bool tagIs(std::span<const std::uint8_t> tag, const char* name) { return std::memcmp(tag.data(), name, 4) == 0; }

// A 4-byte value as an unsigned integer; absent for any other length.
std::optional<std::uint32_t> integerOf(std::span<const std::uint8_t> value) {
    if (value.size() != 4) return std::nullopt;
    return ByteReader(value).peekU32(0);
}

}  // namespace

std::optional<Keybag> Keybag::parse(std::span<const std::uint8_t> bytes, std::string& why) {
    Keybag bag;
    ByteReader in(bytes);
    bool inClass = false;
    bool sawUuid = false;
    ClassKey current;
    bool haveClass = false;
    const auto closeClass = [&] {
        // An entry without its class number or wrapped key is of no use.
        if (inClass && haveClass && current.wrappedKey.size() == 40) bag.classes.push_back(current);
        current = ClassKey{};
        haveClass = false;
    };
    while (!in.atEnd()) {
        const auto tag = in.bytes(4);
        const auto length = in.u32();
        if (!tag || !length) {
            why = "its keybag ends inside a block";
            return std::nullopt;
        }
        const auto value = in.bytes(*length);
        if (!value) {
            why = "its keybag has a block that runs past its end";
            return std::nullopt;
        }
        if (tagIs(*tag, "UUID")) {
            // The first UUID names the keybag; every later one starts a class entry.
            if (sawUuid) {
                closeClass();
                inClass = true;
            }
            sawUuid = true;
            continue;
        }
        if (!inClass) {
            if (tagIs(*tag, "VERS")) bag.version = integerOf(*value).value_or(0);
            else if (tagIs(*tag, "TYPE")) bag.type = integerOf(*value).value_or(0);
            else if (tagIs(*tag, "SALT")) bag.salt.assign(value->begin(), value->end());
            else if (tagIs(*tag, "ITER")) bag.iterations = integerOf(*value).value_or(0);
            else if (tagIs(*tag, "DPSL")) bag.passwordSalt.assign(value->begin(), value->end());
            else if (tagIs(*tag, "DPIC")) bag.passwordIterations = integerOf(*value).value_or(0);
            continue;  // HMCK, WRAP, DPWT and unknown tags are not needed
        }
        if (tagIs(*tag, "CLAS")) {
            if (const auto v = integerOf(*value)) {
                current.protectionClass = *v;
                haveClass = true;
            }
        } else if (tagIs(*tag, "WRAP")) {
            current.wrap = integerOf(*value).value_or(0);
        } else if (tagIs(*tag, "KTYP")) {
            current.keyType = integerOf(*value).value_or(0);
        } else if (tagIs(*tag, "WPKY")) {
            current.wrappedKey.assign(value->begin(), value->end());
        }
    }
    closeClass();
    if (bag.salt.empty() || bag.iterations == 0) {
        why = "its keybag has no salt or iteration count";
        return std::nullopt;
    }
    if (bag.iterations > kMaxIterations || bag.passwordIterations > kMaxIterations) {
        why = "its keybag asks for " + std::to_string(std::max(bag.iterations, bag.passwordIterations)) +
              " rounds of key derivation, far more than any real backup (at most " +
              std::to_string(kMaxIterations) + " are done)";
        return std::nullopt;
    }
    if (bag.classes.empty()) {
        why = "its keybag holds no class keys";
        return std::nullopt;
    }
    return bag;
}

crypto::SecretBytes Keybag::deriveKey(std::span<const std::uint8_t> password) const {
    if (!hasPasswordRound()) return crypto::pbkdf2Sha1(password, salt, iterations, 32);
    const crypto::SecretBytes first = crypto::pbkdf2Sha256(password, passwordSalt, passwordIterations, 32);
    if (first.empty()) return {};
    return crypto::pbkdf2Sha1(first.view(), salt, iterations, 32);
}

Keybag::Unlock Keybag::unlock(std::span<const std::uint8_t> derivedKey,
                              std::map<std::uint32_t, crypto::SecretBytes>& classKeys) const {
    bool any = false;
    for (const ClassKey& c : classes) {
        // Keys wrapped only with the device's own key cannot be had off the device.
        if ((c.wrap & 2u) == 0 || c.keyType != 0) continue;
        any = true;
        auto key = crypto::aesUnwrap(derivedKey, c.wrappedKey);
        if (!key) {
            classKeys.clear();
            return Unlock::wrongKey;
        }
        classKeys[c.protectionClass] = std::move(*key);
    }
    return any ? Unlock::ok : Unlock::nothingToUnlock;
}

}  // namespace salvor
