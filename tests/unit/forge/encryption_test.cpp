// Encrypted backups of the forge, proven against readers that share nothing
// with its writer: the openssl command derives, unwraps and decrypts, the
// sqlite3 command opens the decrypted Manifest.db, the keybag and the
// manifests are parsed here, and every decrypted file is compared with the
// stored file of the plain twin (same scenario and seed, no password).
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sqlite3.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>

#include "forge/backup_crypto.h"
#include "forge/encrypt_backup.h"
#include "forge/forge.h"
#include "support/crypto_vectors.h"
#include "support/support.h"

namespace fs = std::filesystem;
using namespace salvor::forge;
using salvor::forge::crypto::Bytes;
using salvor::forge::crypto::fromHex;
using salvor::forge::crypto::hexOf;
using salvor::test::readBytes;
using salvor::test::readJson;
using salvor::test::TempDir;
using Json = nlohmann::json;
namespace vectors = salvor::test::vectors;

namespace {

// ---- independent readers -------------------------------------------------

std::uint32_t be32(const Bytes& b) {
    if (b.size() != 4) throw std::runtime_error("not a 4-byte number");
    return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3];
}

std::uint32_t le32(const Bytes& b) {
    return std::uint32_t{b[0]} | (std::uint32_t{b[1]} << 8) | (std::uint32_t{b[2]} << 16) | (std::uint32_t{b[3]} << 24);
}

// Tags of the header (until the second UUID), then one map per class entry.
struct ParsedKeybag {
    std::map<std::string, Bytes> header;
    std::vector<std::map<std::string, Bytes>> classes;
};

ParsedKeybag parseKeybag(const Bytes& b) {
    ParsedKeybag out;
    std::size_t pos = 0;
    bool sawUuid = false;
    while (pos < b.size()) {
        if (b.size() - pos < 8) throw std::runtime_error("keybag: truncated tag");
        const std::string tag(b.begin() + static_cast<std::ptrdiff_t>(pos), b.begin() + static_cast<std::ptrdiff_t>(pos + 4));
        const std::uint32_t len = be32(Bytes(b.begin() + static_cast<std::ptrdiff_t>(pos + 4), b.begin() + static_cast<std::ptrdiff_t>(pos + 8)));
        pos += 8;
        if (b.size() - pos < len) throw std::runtime_error("keybag: value past the end");
        Bytes value(b.begin() + static_cast<std::ptrdiff_t>(pos), b.begin() + static_cast<std::ptrdiff_t>(pos + len));
        pos += len;
        if (tag == "UUID" && sawUuid) {
            out.classes.push_back({{tag, value}});
            continue;
        }
        sawUuid = sawUuid || tag == "UUID";
        if (out.classes.empty()) out.header[tag] = value;
        else out.classes.back()[tag] = value;
    }
    return out;
}

struct PlistHolder {
    plist_t p = nullptr;
    ~PlistHolder() { if (p) plist_free(p); }
};

Bytes dataOf(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_DATA) return {};
    char* d = nullptr;
    std::uint64_t n = 0;
    plist_get_data_val(node, &d, &n);
    Bytes out(d, d + n);
    free(d);
    return out;
}

// Manifest.plist: encryption flag, keybag, manifest key (empty when absent).
struct ManifestPlist {
    bool encrypted = false;
    Bytes keybag, manifestKey;
};

ManifestPlist readManifestPlist(const std::string& folder) {
    const Bytes bytes = readBytes(folder + "/Manifest.plist");
    PlistHolder h;
    if (bytes.size() > 8 && std::string(bytes.begin(), bytes.begin() + 8) == "bplist00")
        plist_from_bin(reinterpret_cast<const char*>(bytes.data()), static_cast<std::uint32_t>(bytes.size()), &h.p);
    else
        plist_from_xml(reinterpret_cast<const char*>(bytes.data()), static_cast<std::uint32_t>(bytes.size()), &h.p);
    if (!h.p) throw std::runtime_error("Manifest.plist unreadable");
    ManifestPlist m;
    if (plist_t e = plist_dict_get_item(h.p, "IsEncrypted")) {
        std::uint8_t v = 0;
        plist_get_bool_val(e, &v);
        m.encrypted = v != 0;
    }
    m.keybag = dataOf(plist_dict_get_item(h.p, "BackupKeyBag"));
    m.manifestKey = dataOf(plist_dict_get_item(h.p, "ManifestKey"));
    return m;
}

// The MBFile of a Files row, followed from "$top".
struct MbFile {
    std::uint64_t size = 0;
    std::optional<std::uint64_t> protectionClass;
    Bytes key;  // EncryptionKey's NS.data; empty when absent
};

std::optional<MbFile> readMbFile(const Bytes& blob) {
    PlistHolder h;
    plist_from_bin(reinterpret_cast<const char*>(blob.data()), static_cast<std::uint32_t>(blob.size()), &h.p);
    if (!h.p || plist_get_node_type(h.p) != PLIST_DICT) return std::nullopt;
    plist_t objects = plist_dict_get_item(h.p, "$objects");
    auto follow = [&](plist_t uid) -> plist_t {
        if (!uid || plist_get_node_type(uid) != PLIST_UID) return nullptr;
        std::uint64_t i = 0;
        plist_get_uid_val(uid, &i);
        return i < plist_array_get_size(objects) ? plist_array_get_item(objects, static_cast<std::uint32_t>(i)) : nullptr;
    };
    plist_t file = follow(plist_dict_get_item(plist_dict_get_item(h.p, "$top"), "root"));
    if (!file) return std::nullopt;
    MbFile m;
    plist_get_uint_val(plist_dict_get_item(file, "Size"), &m.size);
    if (plist_t c = plist_dict_get_item(file, "ProtectionClass")) {
        std::uint64_t v = 0;
        plist_get_uint_val(c, &v);
        m.protectionClass = v;
    }
    if (plist_t key = follow(plist_dict_get_item(file, "EncryptionKey"))) {
        m.key = dataOf(plist_dict_get_item(key, "NS.data"));
        plist_t cls = follow(plist_dict_get_item(key, "$class"));
        char* name = nullptr;
        if (cls) plist_get_string_val(plist_dict_get_item(cls, "$classname"), &name);
        EXPECT_EQ(std::string(name ? name : ""), "NSMutableData");
        free(name);
    }
    return m;
}

struct FilesRow {
    std::string fileId, domain, path;
    std::int64_t flags = 0;
    Bytes blob;
};

std::vector<FilesRow> filesRows(const std::string& dbPath) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(dbPath.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        throw std::runtime_error("cannot open " + dbPath);
    }
    std::vector<FilesRow> rows;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT fileID, domain, relativePath, flags, file FROM Files ORDER BY fileID", -1, &st,
                           nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        throw std::runtime_error("no Files table in " + dbPath);
    }
    auto text = [&](int i) {
        const auto* t = sqlite3_column_text(st, i);
        return t ? std::string(reinterpret_cast<const char*>(t)) : std::string();
    };
    while (sqlite3_step(st) == SQLITE_ROW) {
        FilesRow r{text(0), text(1), text(2), sqlite3_column_int64(st, 3), {}};
        const auto* b = static_cast<const std::uint8_t*>(sqlite3_column_blob(st, 4));
        if (b) r.blob.assign(b, b + sqlite3_column_bytes(st, 4));
        rows.push_back(std::move(r));
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return rows;
}

// ---- the openssl and sqlite3 commands -------------------------------------

std::string command(const std::string& cmd) {
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) throw std::runtime_error("cannot run " + cmd);
    std::string out;
    char buf[4096];
    for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    const int rc = pclose(p);
    if (rc != 0) throw std::runtime_error("failed (" + std::to_string(rc) + "): " + cmd);
    return out;
}

// `openssl kdf` prints the key as "AB:CD:...".
Bytes opensslPbkdf2(const char* digest, const Bytes& secret, const Bytes& salt, std::uint32_t iterations) {
    std::string out = command(std::string("openssl kdf -keylen 32 -kdfopt digest:") + digest + " -kdfopt hexpass:" +
                              hexOf(secret) + " -kdfopt hexsalt:" + hexOf(salt) +
                              " -kdfopt iter:" + std::to_string(iterations) + " PBKDF2");
    std::string hex;
    for (char c : out)
        if (std::isxdigit(static_cast<unsigned char>(c))) hex += c;
    return fromHex(hex);
}

constexpr const char* kZeroIv = "00000000000000000000000000000000";

Bytes opensslUnwrap(const TempDir& dir, const Bytes& kek, const Bytes& wrapped) {
    const std::string in = dir / "wrapped.bin", out = dir / "key.bin";
    salvor::test::writeFile(in, std::string(wrapped.begin(), wrapped.end()));
    command("openssl enc -d -id-aes256-wrap -K " + hexOf(kek) + " -iv A6A6A6A6A6A6A6A6 -in " + in + " -out " + out);
    return readBytes(out);
}

void opensslDecrypt(const Bytes& key, const std::string& in, const std::string& out) {
    command("openssl enc -d -aes-256-cbc -K " + hexOf(key) + " -iv " + kZeroIv + " -in '" + in + "' -out '" + out + "'");
}

// The class keys the password unwraps, everything through the openssl command.
std::map<std::uint32_t, Bytes> classKeysByOpenssl(const TempDir& dir, const ParsedKeybag& bag, const std::string& password) {
    Bytes secret(password.begin(), password.end());
    if (bag.header.count("DPSL"))
        secret = opensslPbkdf2("SHA256", secret, bag.header.at("DPSL"), be32(bag.header.at("DPIC")));
    const Bytes kp = opensslPbkdf2("SHA1", secret, bag.header.at("SALT"), be32(bag.header.at("ITER")));
    std::map<std::uint32_t, Bytes> keys;
    for (const auto& c : bag.classes) {
        EXPECT_EQ(be32(c.at("WRAP")) & 2, 2u);
        EXPECT_EQ(be32(c.at("KTYP")), 0u);
        keys[be32(c.at("CLAS"))] = opensslUnwrap(dir, kp, c.at("WPKY"));
    }
    return keys;
}

// Decrypts many stored files in one shell run: unwrap each key, then decrypt.
struct Job {
    Bytes classKey, wrapped;
    std::string in, out;
};

void decryptAll(const TempDir& dir, const std::vector<Job>& jobs) {
    std::string script = "set -e\n";
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        const std::string w = dir / ("w" + std::to_string(i)), k = dir / ("k" + std::to_string(i));
        salvor::test::writeFile(w, std::string(jobs[i].wrapped.begin(), jobs[i].wrapped.end()));
        script += "openssl enc -d -id-aes256-wrap -K " + hexOf(jobs[i].classKey) + " -iv A6A6A6A6A6A6A6A6 -in " + w +
                  " -out " + k + "\n";
        script += "openssl enc -d -aes-256-cbc -K $(od -An -tx1 -v " + k + " | tr -d ' \\n') -iv " + kZeroIv +
                  " -in '" + jobs[i].in + "' -out '" + jobs[i].out + "'\n";
    }
    salvor::test::writeFile(dir / "decrypt.sh", script);
    command("sh " + dir / "decrypt.sh");
}

ForgedBackup forge(const std::string& store, const std::string& scenario, std::uint64_t seed,
                   std::optional<EncryptionOptions> encryption) {
    ForgeOptions options;
    options.scenario = scenario;
    options.seed = seed;
    options.encryption = std::move(encryption);
    return forgeStore(store, options).at(0);
}

EncryptionOptions quick(const std::string& password, bool legacy = false) {
    EncryptionOptions e;
    e.password = password;
    e.kdfIterations = 1000;
    e.sha1Iterations = 100;
    e.legacyKdf = legacy;
    return e;
}

std::string storedPath(const std::string& folder, const std::string& id) { return folder + "/" + id.substr(0, 2) + "/" + id; }

// The truth of an encrypted backup is its twin's, but for the flag.
void expectTwinTruth(const ForgedBackup& encrypted, const ForgedBackup& twin) {
    Json a = readJson(encrypted.truthPath), b = readJson(twin.truthPath);
    EXPECT_EQ(a["backup"]["bEncrypted"], 1);
    EXPECT_EQ(b["backup"]["bEncrypted"], 0);
    a["backup"]["bEncrypted"] = 0;
    EXPECT_EQ(a, b);
}

}  // namespace

// Vectors A (a public keybag), B (RFC 3394) and C (PBKDF2) through the forge's
// helpers; vector A's keybag as the forge writes it, byte for byte.
TEST(BackupCrypto, KnownAnswerVectors) {
    for (const auto& c : vectors::c::kCases) {
        const Bytes password(c.password, c.password + std::strlen(c.password)), salt(c.salt, c.salt + std::strlen(c.salt));
        const Bytes want = fromHex(c.keyHex);
        EXPECT_EQ(hexOf(c.sha256 ? crypto::pbkdf2Sha256(password, salt, c.iterations, want.size())
                                 : crypto::pbkdf2Sha1(password, salt, c.iterations, want.size())),
                  c.keyHex);
    }

    const Bytes kek = fromHex(vectors::b::kKekHex), data = fromHex(vectors::b::kKeyDataHex);
    EXPECT_EQ(hexOf(crypto::wrapKey(kek, data)), vectors::b::kWrappedHex);
    EXPECT_EQ(crypto::unwrapKey(kek, fromHex(vectors::b::kWrappedHex)), data);
    Bytes otherKek = kek;
    otherKek[31] ^= 1;
    EXPECT_FALSE(crypto::unwrapKey(otherKek, fromHex(vectors::b::kWrappedHex)));

    namespace a = vectors::a;
    const ParsedKeybag bag = parseKeybag(a::keybag());
    ASSERT_EQ(bag.classes.size(), 11u);
    // Both rounds, as the forge derives (the 10,000,000-round vector costs a few seconds).
    const Bytes kp = crypto::passwordKey(a::kPassword, bag.header.at("SALT"), be32(bag.header.at("ITER")),
                                         bag.header.at("DPSL"), be32(bag.header.at("DPIC")));
    EXPECT_EQ(hexOf(kp), a::kKpHex);
    EXPECT_EQ(hexOf(crypto::pbkdf2Sha1(fromHex(a::kK1Hex), bag.header.at("SALT"), a::kIter)), a::kKpHex);
    for (const auto& c : bag.classes) EXPECT_EQ(crypto::unwrapKey(kp, c.at("WPKY")), fromHex(a::kZeroKeyHex));
    const Bytes field = fromHex(a::kFileKeyFieldHex);
    EXPECT_EQ(le32(field), 2u);
    const auto fileKey = crypto::unwrapKey(fromHex(a::kZeroKeyHex), Bytes(field.begin() + 4, field.end()));
    ASSERT_TRUE(fileKey);
    EXPECT_EQ(crypto::cbcDecrypt(*fileKey, fromHex(a::kCiphertextHex)), crypto::bytesOf(a::kPlaintext));
    EXPECT_EQ(hexOf(crypto::cbcEncrypt(*fileKey, crypto::bytesOf(a::kPlaintext))), a::kCiphertextHex);
    EXPECT_EQ(crypto::keyField(2, Bytes(field.begin() + 4, field.end())), field);

    crypto::Keybag k;
    k.uuid = Bytes(16);
    k.hmck = Bytes(40);
    k.salt = k.dpsl = fromHex(a::kSaltHex);
    for (std::uint32_t c : a::kClassOrder)
        k.classes.push_back({Bytes(16), c, a::classWrap(c), 0, fromHex(a::kWrappedClassKeyHex)});
    EXPECT_EQ(crypto::keybagBytes(k), a::keybag());
}

// A modern backup, with a password that is not ASCII, decrypted end to end by
// the openssl command: keybag, derivation, class keys, Manifest.db (iOS 10.2+)
// and every stored file, which is the twin's byte for byte.
struct ModernCase {
    const char* scenario;
    bool legacy;
};
class EncryptedModern : public ::testing::TestWithParam<ModernCase> {};

TEST_P(EncryptedModern, DecryptsWithOpensslToItsTwin) {
    const ModernCase param = GetParam();
    const std::string password = "p\xC3\xA4sswo\xCC\x88rd-\xE6\x97\xA5\xE6\x9C\xAC";  // "pässwörd-日本", ö decomposed
    TempDir dir, work;
    const ForgedBackup enc = forge(dir / "enc", param.scenario, 21, quick(password, param.legacy));
    const ForgedBackup twin = forge(dir / "plain", param.scenario, 21, std::nullopt);
    ASSERT_EQ(fs::path(enc.path).filename(), fs::path(twin.path).filename());
    expectTwinTruth(enc, twin);
    for (const char* same : {"Info.plist", "Status.plist"})
        EXPECT_EQ(readBytes(enc.path + "/" + same), readBytes(twin.path + "/" + same)) << same;

    const ManifestPlist m = readManifestPlist(enc.path);
    EXPECT_TRUE(m.encrypted);
    EXPECT_FALSE(readManifestPlist(twin.path).encrypted);
    const ParsedKeybag bag = parseKeybag(m.keybag);
    EXPECT_EQ(be32(bag.header.at("TYPE")), 1u);
    EXPECT_EQ(bag.header.at("SALT").size(), 20u);
    EXPECT_EQ(bag.header.count("DPSL"), param.legacy ? 0u : 1u);
    EXPECT_EQ(bag.header.count("DPIC"), param.legacy ? 0u : 1u);
    EXPECT_EQ(be32(bag.header.at("ITER")), param.legacy ? 1000u : 100u);
    if (!param.legacy) {
        EXPECT_EQ(be32(bag.header.at("DPIC")), 1000u);
    }
    const auto classKeys = classKeysByOpenssl(work, bag, password);
    ASSERT_EQ(classKeys.size(), 11u);

    std::string manifestDb = enc.path + "/Manifest.db";
    if (param.legacy) {
        EXPECT_TRUE(m.manifestKey.empty());
    } else {
        ASSERT_EQ(m.manifestKey.size(), 44u);
        EXPECT_EQ(le32(m.manifestKey), 4u);
        const Bytes key = opensslUnwrap(work, classKeys.at(4), Bytes(m.manifestKey.begin() + 4, m.manifestKey.end()));
        manifestDb = work / "Manifest.db";
        opensslDecrypt(key, enc.path + "/Manifest.db", manifestDb);
        EXPECT_NE(readBytes(enc.path + "/Manifest.db"), readBytes(manifestDb));
    }
    const std::vector<FilesRow> rows = filesRows(manifestDb), twinRows = filesRows(twin.path + "/Manifest.db");
    EXPECT_EQ(command("sqlite3 '" + manifestDb + "' 'SELECT count(*) FROM Files'"), std::to_string(twinRows.size()) + "\n");
    ASSERT_EQ(rows.size(), twinRows.size());

    std::vector<Job> jobs;
    std::vector<std::string> expected;
    std::set<std::uint64_t> classesSeen;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const FilesRow& r = rows[i];
        SCOPED_TRACE(r.domain + "/" + r.path);
        ASSERT_EQ(r.fileId, twinRows[i].fileId);
        const auto plainMb = readMbFile(twinRows[i].blob);
        const auto mb = readMbFile(r.blob);
        if (r.flags != 1 || !plainMb || plainMb->size == 0) {
            // Nothing to encrypt: no key, and the same row as the twin's.
            EXPECT_EQ(r.blob, twinRows[i].blob);
            if (r.fileId.size() == 40 && fs::is_regular_file(storedPath(twin.path, r.fileId))) {
                EXPECT_EQ(readBytes(storedPath(enc.path, r.fileId)), readBytes(storedPath(twin.path, r.fileId)));
            }
            continue;
        }
        ASSERT_TRUE(mb);
        EXPECT_EQ(mb->size, plainMb->size);
        ASSERT_EQ(mb->key.size(), 44u);
        ASSERT_TRUE(mb->protectionClass);
        EXPECT_EQ(le32(mb->key), *mb->protectionClass);
        classesSeen.insert(*mb->protectionClass);
        if (r.path.ends_with(".db") || r.path.ends_with(".sqlite")) {
            EXPECT_EQ(*mb->protectionClass, 3u);
        }
        if (r.fileId.find('/') != std::string::npos || !fs::is_regular_file(storedPath(twin.path, r.fileId))) continue;
        const std::string in = storedPath(enc.path, r.fileId);
        EXPECT_EQ(fs::file_size(in) % 16, 0u);
        EXPECT_EQ(fs::file_size(in) / 16, plainMb->size / 16 + 1);
        EXPECT_EQ(fs::last_write_time(in), fs::last_write_time(storedPath(twin.path, r.fileId)));
        jobs.push_back({classKeys.at(static_cast<std::uint32_t>(*mb->protectionClass)),
                        Bytes(mb->key.begin() + 4, mb->key.end()), in, work / ("plain" + std::to_string(jobs.size()))});
        expected.push_back(storedPath(twin.path, r.fileId));
    }
    EXPECT_GE(jobs.size(), param.legacy ? 3u : 20u);
    EXPECT_GE(classesSeen.size(), param.legacy ? 1u : 3u);
    decryptAll(work, jobs);
    for (std::size_t i = 0; i < jobs.size(); ++i)
        EXPECT_EQ(readBytes(jobs[i].out), readBytes(expected[i])) << expected[i];
}

INSTANTIATE_TEST_SUITE_P(Forge, EncryptedModern,
                         ::testing::Values(ModernCase{"ios12-modern", false}, ModernCase{"ios16", true}),
                         [](const auto& info) { return std::string(info.param.legacy ? "legacy_" : "") +
                                                       (info.param.scenario[4] == '2' ? "ios12" : "ios16"); });

// An old-format backup: the manifest stays plain, each record carries its
// file's key, the keybag has one round, and the stored files decrypt to the twin's.
TEST(EncryptedMbdb, RecordsCarryKeysAndFilesDecryptToTheTwin) {
    TempDir dir, work;
    const ForgedBackup enc = forge(dir / "enc", "ios6", 5, quick("secret"));
    const ForgedBackup twin = forge(dir / "plain", "ios6", 5, std::nullopt);
    expectTwinTruth(enc, twin);
    const ManifestPlist m = readManifestPlist(enc.path);
    EXPECT_TRUE(m.encrypted);
    EXPECT_TRUE(m.manifestKey.empty());
    const ParsedKeybag bag = parseKeybag(m.keybag);
    EXPECT_FALSE(bag.header.count("DPSL") || bag.header.count("DPIC") || bag.header.count("DPWT"));
    EXPECT_EQ(be32(bag.header.at("ITER")), 1000u);
    const auto classKeys = classKeysByOpenssl(work, bag, "secret");

    // Records: strings with a 2-byte length (0xFFFF absent), then 40 fixed bytes and the properties.
    const Bytes b = readBytes(enc.path + "/Manifest.mbdb"), plain = readBytes(twin.path + "/Manifest.mbdb");
    ASSERT_GT(b.size(), plain.size());
    std::size_t pos = 6, keyed = 0;
    std::vector<Job> jobs;
    std::vector<std::string> expected;
    auto str = [&]() -> std::optional<std::string> {
        const std::size_t len = (std::size_t{b.at(pos)} << 8) | b.at(pos + 1);
        pos += 2;
        if (len == 0xFFFF) return std::nullopt;
        if (pos + len > b.size()) throw std::runtime_error("truncated");
        pos += len;
        return std::string(b.begin() + static_cast<std::ptrdiff_t>(pos - len), b.begin() + static_cast<std::ptrdiff_t>(pos));
    };
    std::set<std::string> names;
    while (pos < b.size()) {
        const auto domain = str(), path = str();
        str();
        str();
        const auto key = str();
        const std::uint16_t mode = static_cast<std::uint16_t>((b.at(pos) << 8) | b.at(pos + 1));
        std::uint64_t size = 0;
        for (int i = 0; i < 8; ++i) size = (size << 8) | b.at(pos + 30 + static_cast<std::size_t>(i));
        const std::uint8_t protection = b.at(pos + 38), properties = b.at(pos + 39);
        pos += 40;
        for (int i = 0; i < 2 * properties; ++i) str();
        SCOPED_TRACE(*domain + "/" + *path);
        if ((mode & 0xF000) != 0x8000 || size == 0) {
            EXPECT_FALSE(key);
            continue;
        }
        ASSERT_TRUE(key);
        ASSERT_EQ(key->size(), 44u);
        const Bytes field(key->begin(), key->end());
        EXPECT_EQ(le32(field), protection);
        ++keyed;
        const std::string name = storedName(*domain, *path);
        if (!fs::is_regular_file(twin.path + "/" + name) || !names.insert(name).second) continue;
        EXPECT_EQ(fs::file_size(enc.path + "/" + name) / 16, fs::file_size(twin.path + "/" + name) / 16 + 1);
        jobs.push_back({classKeys.at(protection), Bytes(field.begin() + 4, field.end()), enc.path + "/" + name,
                        work / ("plain" + std::to_string(jobs.size()))});
        expected.push_back(twin.path + "/" + name);
    }
    EXPECT_GE(jobs.size(), 10u);
    EXPECT_GE(keyed, jobs.size());
    decryptAll(work, jobs);
    for (std::size_t i = 0; i < jobs.size(); ++i)
        EXPECT_EQ(readBytes(jobs[i].out), readBytes(expected[i])) << expected[i];
}

// "ios16-encrypted" is "ios16" with a password; the same run twice gives the
// same bytes, and the keys file names what the reader needs.
TEST(EncryptedScenario, Ios16EncryptedIsIos16WithAPassword) {
    TempDir dir;
    ForgeOptions options;
    options.seed = 9;
    options.scenario = "ios16-encrypted";
    options.encryption = quick("salvor");
    const ForgedBackup a = forgeStore(dir / "a", options).at(0);
    options.scenario = "ios16";
    const ForgedBackup b = forgeStore(dir / "b", options).at(0);
    EXPECT_EQ(salvor::test::fingerprint(a.path), salvor::test::fingerprint(b.path));
    EXPECT_EQ(readJson(a.truthPath), readJson(b.truthPath));
    const Json keys = readJson(a.path + ".keys.json");
    EXPECT_EQ(keys["password"], "salvor");
    EXPECT_EQ(keys["kdf"], "two-round");
    EXPECT_EQ(keys["DPIC"], 1000);
    EXPECT_TRUE(keys["manifestKey"].is_string());
    EXPECT_EQ(keys["encryptedFiles"], 3);
}

// The call log, which iOS writes only into encrypted backups, is in every
// generation on request, with or without a password, so the twins still agree.
TEST(EncryptedScenario, EncryptedOnlyDataIsInBothTwins) {
    TempDir dir;
    ForgeOptions options;
    options.seed = 6;
    options.scenario = "ios12-modern";
    options.withEncryptedOnlyData = true;
    const ForgedBackup plain = forgeStore(dir / "plain", options).at(0);
    options.encryption = quick("pw");
    const ForgedBackup enc = forgeStore(dir / "enc", options).at(0);
    expectTwinTruth(enc, plain);
    const Json truth = readJson(plain.truthPath);
    EXPECT_TRUE(truth["callHistoryInBackup"].get<bool>());
    EXPECT_FALSE(truth["calls"]["live"].empty());
    bool listed = false;
    for (const FilesRow& r : filesRows(plain.path + "/Manifest.db")) listed = listed || r.path.ends_with("CallHistory.storedata");
    EXPECT_TRUE(listed);
}

// Each kind of damage does exactly what a reader's test relies on, and
// nothing to the other files.
TEST(EncryptedDamage, EachKindBreaksOnlyItsFile) {
    TempDir dir;
    const ForgedBackup twin = forge(dir / "plain", "ios12-modern", 4, std::nullopt);
    std::vector<std::pair<std::string, std::string>> targets;  // domain, path
    const Json truth = readJson(twin.truthPath);
    for (const Json& f : truth["manifest"])
        if (f["kind"] == "file" && f["stored"] == true && f["size"].get<std::uint64_t>() > 40 && targets.size() < 5)
            targets.emplace_back(f["domain"], f["path"]);
    ASSERT_EQ(targets.size(), 5u);
    const CipherDamage kinds[] = {CipherDamage::UnalignedLength, CipherDamage::BadPadding, CipherDamage::UnwrappableKey,
                                  CipherDamage::MissingClassKey, CipherDamage::WrongRecordedSize};
    EncryptionOptions options = quick("pw");
    for (std::size_t i = 0; i < 5; ++i) options.damage.push_back({targets[i].first, targets[i].second, kinds[i]});
    const ForgedBackup enc = forge(dir / "enc", "ios12-modern", 4, options);
    expectTwinTruth(enc, twin);

    const Json keys = readJson(enc.path + ".keys.json");
    auto classKey = [&](std::uint64_t c) { return fromHex(keys["classKeys"][std::to_string(c)].get<std::string>()); };
    const ParsedKeybag bag = parseKeybag(readManifestPlist(enc.path).keybag);
    std::set<std::uint32_t> inKeybag;
    for (const auto& c : bag.classes) inKeybag.insert(be32(c.at("CLAS")));
    EXPECT_EQ(inKeybag, (std::set<std::uint32_t>{1, 3, 4, 5, 6, 7, 8, 9, 10, 11}));

    const auto manifest = crypto::cbcDecrypt(fromHex(keys["manifestKey"].get<std::string>()), readBytes(enc.path + "/Manifest.db"));
    ASSERT_TRUE(manifest);
    salvor::test::writeFile(dir / "Manifest.db", std::string(manifest->begin(), manifest->end()));
    std::map<std::pair<std::string, std::string>, std::pair<std::string, MbFile>> byName;
    std::size_t withDroppedClass = 0;
    for (const FilesRow& r : filesRows(dir / "Manifest.db")) {
        const auto mb = readMbFile(r.blob);
        if (!mb) continue;
        byName[{r.domain, r.path}] = {r.fileId, *mb};
        if (mb->protectionClass == 2u) ++withDroppedClass;
    }
    EXPECT_EQ(withDroppedClass, 1u);
    for (std::size_t i = 0; i < 5; ++i) {
        SCOPED_TRACE(targets[i].second);
        const auto& [id, mb] = byName.at(targets[i]);
        const Bytes cipher = readBytes(storedPath(enc.path, id)), plain = readBytes(storedPath(twin.path, id));
        const auto fileKey = crypto::unwrapKey(classKey(le32(mb.key)), Bytes(mb.key.begin() + 4, mb.key.end()));
        switch (kinds[i]) {
        case CipherDamage::UnalignedLength:
            EXPECT_NE(cipher.size() % 16, 0u);
            break;
        case CipherDamage::BadPadding:
            ASSERT_TRUE(fileKey);
            EXPECT_EQ(cipher.size(), (plain.size() / 16 + 1) * 16);
            EXPECT_FALSE(crypto::cbcDecrypt(*fileKey, cipher));
            break;
        case CipherDamage::UnwrappableKey:
            EXPECT_TRUE(inKeybag.count(le32(mb.key)));
            EXPECT_FALSE(fileKey);
            break;
        case CipherDamage::MissingClassKey:
            EXPECT_EQ(le32(mb.key), 2u);
            EXPECT_EQ(mb.protectionClass, 2u);
            ASSERT_TRUE(fileKey);  // the key exists, only the keybag lacks it
            EXPECT_EQ(crypto::cbcDecrypt(*fileKey, cipher), plain);
            break;
        case CipherDamage::WrongRecordedSize:
            ASSERT_TRUE(fileKey);
            EXPECT_EQ(mb.size, plain.size() / 2);
            EXPECT_EQ(crypto::cbcDecrypt(*fileKey, cipher), plain);
            break;
        }
    }
    // A file the manifest does not hold cannot be damaged.
    options.damage = {{"HomeDomain", "Library/nothing.db", CipherDamage::BadPadding}};
    EXPECT_THROW(forge(dir / "none", "ios16", 4, options), std::runtime_error);
}
