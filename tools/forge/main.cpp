// salvor-forge: writes a synthetic backup store for tests, the demo and benchmarks.
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>

#include "forge/forge.h"

namespace {

constexpr const char* kUsage =
    "usage: salvor-forge --store DIR [--seed N] [--scenario NAME] [--contacts N] [--messages N]\n"
    "                    [--conversations N] [--manifest-records N] [--manifest-folders N]\n"
    "                    [--media-bytes N] [--message-text-bytes N] [--deleted-percent N] [--bench-contacts N]\n"
    "                    [--password PW [--kdf-iterations N] [--legacy-kdf] [--damage KIND:DOMAIN:PATH]...]\n"
    "                    [--with-encrypted-only-data]\n"
    "scenarios: ios4 ios4-legacy ios5 ios6 ios6-p1024 ios7 ios16 ios16-encrypted demo store device\n"
    "           bench-manifest bench-messages bench-contacts bench-media ios12-modern ios15-modern\n"
    "           ios17-modern ios15-modern-unfinished bench-modern-manifest hostile-modern\n"
    "           hostile-modern-load\n"
    "(device: DIR becomes a simulated-device folder for SALVOR_SIMULATED_DEVICE)\n"
    "--password PW   encrypt every backup written, as the phone does: a keybag in Manifest.plist, each\n"
    "                file's key in its manifest record, stored files in AES-256-CBC; Manifest.db too\n"
    "                (iOS 10.2 and later). The plaintext is that of the same run without --password.\n"
    "                ios16-encrypted is always encrypted, with \"salvor\" unless PW is given.\n"
    "                Beside each backup, <folder>.keys.json holds the password and the keys.\n"
    "--kdf-iterations N  derivation cost: DPIC of a two-round keybag (default 10000000), or ITER of\n"
    "                a single-round one (Manifest.mbdb, --legacy-kdf; default 10000)\n"
    "--legacy-kdf    a Manifest.db backup as iOS 10.0-10.1 wrote it: one round, Manifest.db plain\n"
    "--damage KIND:DOMAIN:PATH  damage that file's encryption; KIND: unaligned-length, bad-padding,\n"
    "                unwrappable-key, missing-class-key, wrong-size\n"
    "--with-encrypted-only-data  every modern scenario holds the call log (iOS keeps it only in\n"
    "                encrypted backups; without this only ios17-modern has it), with or without --password\n";

bool parseDamage(const std::string& text, salvor::forge::DamagedFile& out) {
    using salvor::forge::CipherDamage;
    const auto first = text.find(':');
    const auto second = first == std::string::npos ? first : text.find(':', first + 1);
    if (second == std::string::npos) return false;
    const std::string kind = text.substr(0, first);
    static const std::pair<const char*, CipherDamage> kKinds[] = {
        {"unaligned-length", CipherDamage::UnalignedLength}, {"bad-padding", CipherDamage::BadPadding},
        {"unwrappable-key", CipherDamage::UnwrappableKey},   {"missing-class-key", CipherDamage::MissingClassKey},
        {"wrong-size", CipherDamage::WrongRecordedSize}};
    bool known = false;
    for (const auto& [name, k] : kKinds)
        if (kind == name) {
            out.kind = k;
            known = true;
        }
    out.domain = text.substr(first + 1, second - first - 1);
    out.relativePath = text.substr(second + 1);
    return known && !out.domain.empty() && !out.relativePath.empty();
}

bool parseNumber(const std::string& text, std::uint64_t& out) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0') return false;
    out = v;
    return true;
}

int usage(const std::string& problem) {
    std::cerr << "salvor-forge: " << problem << "\n" << kUsage;
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    salvor::forge::ForgeOptions options;
    salvor::forge::EncryptionOptions encryption;
    bool withPassword = false, encryptionAsked = false;
    std::string store;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        }
        if (arg == "--legacy-kdf") {
            encryption.legacyKdf = encryptionAsked = true;
            continue;
        }
        if (arg == "--with-encrypted-only-data") {
            options.withEncryptedOnlyData = true;
            continue;
        }
        if (i + 1 >= argc) return usage("missing value after " + arg);
        const std::string value = argv[++i];
        std::uint64_t n = 0;
        auto number = [&](std::uint64_t limit) {
            if (!parseNumber(value, n) || n > limit) return false;
            return true;
        };
        constexpr std::uint64_t kIntLimit = 100'000'000;
        if (arg == "--store") {
            store = value;
        } else if (arg == "--scenario") {
            options.scenario = value;
        } else if (arg == "--seed") {
            if (!number(UINT64_MAX)) return usage("--seed needs a number");
            options.seed = n;
        } else if (arg == "--contacts") {
            if (!number(kIntLimit)) return usage("--contacts needs a number up to 100000000");
            options.scale.contacts = static_cast<int>(n);
        } else if (arg == "--messages") {
            if (!number(kIntLimit)) return usage("--messages needs a number up to 100000000");
            options.scale.messages = static_cast<int>(n);
        } else if (arg == "--conversations") {
            if (!number(kIntLimit) || n == 0) return usage("--conversations needs a number from 1 to 100000000");
            options.scale.conversations = static_cast<int>(n);
        } else if (arg == "--manifest-records") {
            if (!number(kIntLimit)) return usage("--manifest-records needs a number up to 100000000");
            options.manifestRecords = n;
        } else if (arg == "--manifest-folders") {
            if (!number(kIntLimit)) return usage("--manifest-folders needs a number up to 100000000");
            options.manifestFolders = n;
        } else if (arg == "--message-text-bytes") {
            if (!number(1'000'000)) return usage("--message-text-bytes needs a number up to 1000000");
            options.scale.messageTextBytes = static_cast<int>(n);
        } else if (arg == "--deleted-percent") {
            if (!number(100)) return usage("--deleted-percent needs a number up to 100");
            options.scale.deletedPercent = static_cast<int>(n);
        } else if (arg == "--bench-contacts") {
            if (!number(kIntLimit)) return usage("--bench-contacts needs a number up to 100000000");
            options.benchContacts = static_cast<int>(n);
        } else if (arg == "--password") {
            encryption.password = value;
            withPassword = true;
        } else if (arg == "--kdf-iterations") {
            if (!number(0x7FFFFFFF) || n == 0) return usage("--kdf-iterations needs a number from 1 to 2147483647");
            encryption.kdfIterations = static_cast<std::uint32_t>(n);
            encryptionAsked = true;
        } else if (arg == "--damage") {
            salvor::forge::DamagedFile damaged;
            if (!parseDamage(value, damaged)) return usage("--damage needs KIND:DOMAIN:PATH");
            encryption.damage.push_back(damaged);
            encryptionAsked = true;
        } else if (arg == "--media-bytes") {
            if (!number(UINT64_MAX)) return usage("--media-bytes needs a number");
            options.mediaBytes = n;
        } else {
            return usage("unknown option " + arg);
        }
    }
    if (store.empty()) return usage("--store DIR is required");
    static const char* const kScenarios[] = {"ios4",  "ios4-legacy", "ios5",           "ios6",
                                             "ios6-p1024", "ios7", "ios16", "ios16-encrypted",
                                             "demo",  "store",       "bench-manifest", "bench-messages",
                                             "bench-contacts", "bench-media", "ios12-modern", "ios15-modern",
                                             "ios17-modern", "ios15-modern-unfinished", "bench-modern-manifest", "device",
                                             "hostile-modern", "hostile-modern-load"};
    bool known = false;
    for (const char* s : kScenarios) known = known || options.scenario == s;
    if (!known) return usage("unknown scenario \"" + options.scenario + "\"");
    if (encryptionAsked && !withPassword && options.scenario != "ios16-encrypted")
        return usage("--kdf-iterations, --legacy-kdf and --damage need --password");
    if (withPassword || encryptionAsked) options.encryption = encryption;

    try {
        for (const auto& backup : salvor::forge::forgeStore(store, options))
            std::cout << backup.path << " " << backup.truthPath << "\n";
    } catch (const std::exception& e) {
        std::cerr << "salvor-forge: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
