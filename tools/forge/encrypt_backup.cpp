#include "forge/encrypt_backup.h"

#include <plist/plist.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>

#include "forge/content.h"
#include "forge/forge_files.h"

namespace fs = std::filesystem;

namespace salvor::forge {
namespace {

using crypto::Bytes;
using files::PlistPtr;

constexpr std::uint32_t kClasses = 11;
constexpr std::uint32_t kManifestClass = 4;
// The class no file has but the one whose class key the keybag leaves out.
constexpr std::uint32_t kDroppedClass = 2;

Bytes randomBytes(Rng& rng, std::size_t n) {
    Bytes out(n);
    fillRandom(rng, out.data(), out.size());
    return out;
}

Bytes readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("forge: cannot read " + path + ": " + std::strerror(errno));
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::int64_t modificationTime(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) throw std::runtime_error("forge: cannot read the time of " + path);
    return st.st_mtim.tv_sec;
}

bool endsWith(const std::string& s, const char* suffix) {
    const std::size_t n = std::strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

bool isDatabase(const std::string& path) {
    for (const char* ext : {".db", ".sqlite", ".sqlitedb", ".storedata", "-wal", "-shm", ".db-journal"})
        if (endsWith(path, ext)) return true;
    return false;
}

struct TempFolder {
    std::string path;
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "salvor-forge-enc-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("forge: cannot create a scratch folder");
        path = pattern;
    }
    ~TempFolder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
};

// One non-empty regular file given its key.
struct Sealed {
    std::uint32_t protectionClass = 0;
    Bytes field;  // 44 bytes: class, wrapped key
    std::uint64_t recordedSize = 0;
};

class Encryptor {
public:
    Encryptor(const EncryptionOptions& options, std::uint64_t seed, bool twoRounds) : rng_(seed) {
        for (const DamagedFile& d : options.damage) damage_[{d.domain, d.relativePath}] = d.kind;
        keys_.password = options.password;
        keys_.twoRounds = twoRounds;
        keybag_.version = twoRounds ? 5 : 3;
        keybag_.uuid = randomBytes(rng_, 16);
        keybag_.hmck = randomBytes(rng_, 40);
        keybag_.salt = randomBytes(rng_, 20);
        if (twoRounds) {
            keybag_.iterations = options.sha1Iterations;
            keybag_.dpic = options.kdfIterations ? options.kdfIterations : 10000000;
            keybag_.dpsl = randomBytes(rng_, 20);
        } else {
            keybag_.iterations = options.kdfIterations ? options.kdfIterations : 10000;
        }
        keys_.iterations = keybag_.iterations;
        keys_.dpic = twoRounds ? keybag_.dpic : 0;
        keys_.derivedKey =
            crypto::passwordKey(options.password, keybag_.salt, keybag_.iterations, keybag_.dpsl, keybag_.dpic);
        bool dropClass = false;
        for (const DamagedFile& d : options.damage) dropClass = dropClass || d.kind == CipherDamage::MissingClassKey;
        for (std::uint32_t c = 1; c <= kClasses; ++c) {
            crypto::Keybag::ClassKey entry;
            entry.uuid = randomBytes(rng_, 16);
            entry.protectionClass = c;
            // Some classes are also wrapped for the device; all of them with the password.
            entry.wrap = (c == 5 || c >= 9) ? 3 : 2;
            keys_.classKeys[c] = randomBytes(rng_, 32);
            entry.wrappedKey = crypto::wrapKey(keys_.derivedKey, keys_.classKeys[c]);
            if (!(dropClass && c == kDroppedClass)) keybag_.classes.push_back(std::move(entry));
        }
    }

    // Gives the file of `domain`/`path` a key and protection class, and
    // encrypts its stored file at `storedPath` (when there is one) in place.
    Sealed seal(const std::string& domain, const std::string& path, std::uint64_t size, const std::string& storedPath) {
        if (!storedPath.empty()) {
            const auto known = sealedByPath_.find(storedPath);
            // A stored file listed twice is encrypted once; both records get its key.
            if (known != sealedByPath_.end()) return known->second;
        }
        Sealed s;
        const std::uint64_t draw = rng_.below(10);
        s.protectionClass = isDatabase(path) ? 3 : draw < 3 ? 1 : 4;
        Bytes key = randomBytes(rng_, 32);
        std::optional<CipherDamage> damage;
        if (const auto it = damage_.find({domain, path}); it != damage_.end()) {
            damage = it->second;
            damaged_.insert(it->first);
        }
        if (damage == CipherDamage::MissingClassKey) s.protectionClass = kDroppedClass;
        Bytes wrapped = crypto::wrapKey(keys_.classKeys.at(s.protectionClass), key);
        if (damage == CipherDamage::UnwrappableKey) wrapped[20] ^= 0xFF;
        s.field = crypto::keyField(s.protectionClass, wrapped);
        s.recordedSize = size;
        // Half the size: a reader that cuts the file to its record loses data visibly.
        if (damage == CipherDamage::WrongRecordedSize) s.recordedSize = size > 1 ? size / 2 : size + 1;
        if (!storedPath.empty()) {
            const std::int64_t mtime = modificationTime(storedPath);
            const std::string part = storedPath + ".part";
            const std::uint64_t written = crypto::encryptFile(key, storedPath, part, damage == CipherDamage::BadPadding);
            if (damage == CipherDamage::UnalignedLength) fs::resize_file(part, written > 5 ? written - 5 : 1);
            fs::rename(part, storedPath);
            files::setModificationTime(storedPath, mtime);
            ++keys_.encryptedFiles;
            sealedByPath_[storedPath] = s;
        }
        crypto::wipe(key);
        return s;
    }

    Bytes newKey() { return randomBytes(rng_, 32); }
    const crypto::Keybag& keybag() const { return keybag_; }
    EncryptionKeys& keys() { return keys_; }

    void requireAllDamaged() const {
        for (const auto& [file, kind] : damage_)
            if (!damaged_.count(file))
                throw std::runtime_error("forge: no non-empty file " + file.first + "/" + file.second + " to damage");
    }

private:
    Rng rng_;
    crypto::Keybag keybag_;
    EncryptionKeys keys_;
    std::map<std::pair<std::string, std::string>, CipherDamage> damage_;
    std::set<std::pair<std::string, std::string>> damaged_;
    std::map<std::string, Sealed> sealedByPath_;
};

std::string storedFileIfAny(const std::string& path) {
    std::error_code ec;
    return fs::is_regular_file(path, ec) ? path : std::string();
}

// ---- Manifest.db -------------------------------------------------------------

plist_t uidTarget(plist_t objects, plist_t uid) {
    if (!uid || plist_get_node_type(uid) != PLIST_UID) return nullptr;
    std::uint64_t index = 0;
    plist_get_uid_val(uid, &index);
    if (index >= plist_array_get_size(objects)) return nullptr;
    return plist_array_get_item(objects, static_cast<std::uint32_t>(index));
}

// The archive with the key added to its MBFile; nothing when the blob is not
// an archive of a non-empty regular file.
struct ArchiveFile {
    PlistPtr archive;
    plist_t objects = nullptr;
    plist_t file = nullptr;
    std::uint64_t size = 0;
};

std::optional<ArchiveFile> openArchive(const Bytes& blob) {
    plist_t root = nullptr;
    if (!blob.empty()) plist_from_bin(reinterpret_cast<const char*>(blob.data()), static_cast<std::uint32_t>(blob.size()), &root);
    if (!root) return std::nullopt;
    ArchiveFile a;
    a.archive.reset(root);
    if (plist_get_node_type(root) != PLIST_DICT) return std::nullopt;
    a.objects = plist_dict_get_item(root, "$objects");
    plist_t top = plist_dict_get_item(root, "$top");
    if (!a.objects || plist_get_node_type(a.objects) != PLIST_ARRAY || !top || plist_get_node_type(top) != PLIST_DICT)
        return std::nullopt;
    a.file = uidTarget(a.objects, plist_dict_get_item(top, "root"));
    if (!a.file || plist_get_node_type(a.file) != PLIST_DICT) return std::nullopt;
    plist_t size = plist_dict_get_item(a.file, "Size");
    if (!size || plist_get_node_type(size) != PLIST_UINT) return std::nullopt;
    plist_get_uint_val(size, &a.size);
    return a;
}

Bytes withKey(ArchiveFile& a, const Sealed& s) {
    // The key is an NSMutableData object of the archive: its bytes, and its class after it.
    const std::uint32_t at = plist_array_get_size(a.objects);
    plist_t data = plist_new_dict();
    plist_dict_set_item(data, "NS.data", plist_new_data(reinterpret_cast<const char*>(s.field.data()), s.field.size()));
    plist_dict_set_item(data, "$class", plist_new_uid(at + 1));
    plist_t cls = plist_new_dict();
    plist_dict_set_item(cls, "$classname", plist_new_string("NSMutableData"));
    plist_t classes = plist_new_array();
    for (const char* name : {"NSMutableData", "NSData", "NSObject"}) plist_array_append_item(classes, plist_new_string(name));
    plist_dict_set_item(cls, "$classes", classes);
    plist_array_append_item(a.objects, data);
    plist_array_append_item(a.objects, cls);
    plist_dict_set_item(a.file, "EncryptionKey", plist_new_uid(at));
    plist_dict_set_item(a.file, "ProtectionClass", plist_new_uint(s.protectionClass));
    plist_dict_set_item(a.file, "Size", plist_new_uint(s.recordedSize));
    return serialisePlist(a.archive.get(), true);
}

class Database {
public:
    explicit Database(const std::string& path) {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
            const std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
            sqlite3_close(db_);
            throw std::runtime_error("forge: cannot open " + path + ": " + message);
        }
    }
    ~Database() { sqlite3_close(db_); }
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;
    sqlite3* handle() { return db_; }
    void exec(const char* sql) {
        if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
            throw std::runtime_error(std::string("forge: ") + sql + ": " + sqlite3_errmsg(db_));
    }

private:
    sqlite3* db_ = nullptr;
};

struct FilesRow {
    std::int64_t rowid = 0;
    std::string fileId, domain, path;
    std::int64_t flags = 0;
    bool hasBlob = false;
    Bytes blob;
};

std::string textColumn(sqlite3_stmt* st, int i) {
    const auto* t = sqlite3_column_text(st, i);
    return t ? std::string(reinterpret_cast<const char*>(t), static_cast<std::size_t>(sqlite3_column_bytes(st, i)))
             : std::string();
}

void encryptManifestDb(const std::string& folder, Encryptor& enc, bool encryptManifest) {
    const std::string manifestPath = folder + "/Manifest.db";
    const std::int64_t mtime = modificationTime(manifestPath);
    TempFolder scratch;
    const std::string copy = scratch.path + "/Manifest.db";
    fs::copy_file(manifestPath, copy);
    {
        Database db(copy);
        std::vector<FilesRow> rows;
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db.handle(), "SELECT rowid, fileID, domain, relativePath, flags, file FROM Files ORDER BY rowid",
                               -1, &st, nullptr) != SQLITE_OK)
            throw std::runtime_error(std::string("forge: Manifest.db: ") + sqlite3_errmsg(db.handle()));
        while (sqlite3_step(st) == SQLITE_ROW) {
            FilesRow r;
            r.rowid = sqlite3_column_int64(st, 0);
            r.fileId = textColumn(st, 1);
            r.domain = textColumn(st, 2);
            r.path = textColumn(st, 3);
            r.flags = sqlite3_column_int64(st, 4);
            r.hasBlob = sqlite3_column_type(st, 5) == SQLITE_BLOB;
            const auto* b = static_cast<const std::uint8_t*>(sqlite3_column_blob(st, 5));
            if (b) r.blob.assign(b, b + sqlite3_column_bytes(st, 5));
            rows.push_back(std::move(r));
        }
        sqlite3_finalize(st);

        db.exec("BEGIN");
        if (sqlite3_prepare_v2(db.handle(), "UPDATE Files SET file = ? WHERE rowid = ?", -1, &st, nullptr) != SQLITE_OK)
            throw std::runtime_error(std::string("forge: Manifest.db: ") + sqlite3_errmsg(db.handle()));
        for (const FilesRow& r : rows) {
            if (r.flags != 1 || !r.hasBlob) continue;
            std::optional<ArchiveFile> archive = openArchive(r.blob);
            if (!archive || archive->size == 0) continue;
            // Only a name that stays inside the folder is followed to its stored file.
            std::string stored;
            if (r.fileId.size() >= 3 && r.fileId.find('/') == std::string::npos && r.fileId.find("..") == std::string::npos)
                stored = storedFileIfAny(folder + "/" + r.fileId.substr(0, 2) + "/" + r.fileId);
            const Bytes blob = withKey(*archive, enc.seal(r.domain, r.path, archive->size, stored));
            sqlite3_reset(st);
            sqlite3_bind_blob(st, 1, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
            sqlite3_bind_int64(st, 2, r.rowid);
            if (sqlite3_step(st) != SQLITE_DONE)
                throw std::runtime_error(std::string("forge: Manifest.db: ") + sqlite3_errmsg(db.handle()));
        }
        sqlite3_finalize(st);
        db.exec("COMMIT");
    }
    if (encryptManifest) {
        enc.keys().manifestKey = enc.newKey();
        crypto::encryptFile(enc.keys().manifestKey, copy, manifestPath);
    } else {
        fs::copy_file(copy, manifestPath, fs::copy_options::overwrite_existing);
    }
    files::setModificationTime(manifestPath, mtime);
}

// ---- Manifest.mbdb -----------------------------------------------------------

// Reads the forge's own Manifest.mbdb record by record and writes it again
// with each non-empty file's key field, protection class and recorded size.
class MbdbRewriter {
public:
    explicit MbdbRewriter(const Bytes& in) : in_(in) {}

    Bytes rewrite(const std::string& folder, Encryptor& enc) {
        if (in_.size() < 6 || std::memcmp(in_.data(), "mbdb\x05\x00", 6) != 0)
            throw std::runtime_error("forge: Manifest.mbdb has no mbdb header");
        Bytes out(in_.begin(), in_.begin() + 6);
        at_ = 6;
        while (at_ < in_.size()) {
            const std::size_t start = at_;
            const std::string domain = string(), path = string();
            string();  // link target
            string();  // content digest
            const std::size_t keyAt = at_;
            string();  // key field (absent in a plain backup)
            const std::size_t fixedAt = at_;
            const std::uint64_t mode = number(2);
            number(8 + 4 + 4 + 4 * 3);  // inode, user, group, three times
            const std::size_t sizeAt = at_;
            const std::uint64_t size = number(8);
            number(1);  // protection class
            const std::uint64_t properties = number(1);
            for (std::uint64_t i = 0; i < properties * 2; ++i) string();
            const std::size_t end = at_;

            out.insert(out.end(), in_.begin() + static_cast<std::ptrdiff_t>(start), in_.begin() + static_cast<std::ptrdiff_t>(keyAt));
            if ((mode & 0xF000) != 0x8000 || size == 0) {
                out.insert(out.end(), in_.begin() + static_cast<std::ptrdiff_t>(keyAt), in_.begin() + static_cast<std::ptrdiff_t>(end));
                continue;
            }
            // Older backups kept a few files under "<name>.mddata".
            const std::string name = folder + "/" + storedName(domain, path);
            std::string stored = storedFileIfAny(name);
            if (stored.empty()) stored = storedFileIfAny(name + ".mddata");
            const Sealed s = enc.seal(domain, path, size, stored);
            out.push_back(static_cast<std::uint8_t>(s.field.size() >> 8));
            out.push_back(static_cast<std::uint8_t>(s.field.size()));
            out.insert(out.end(), s.field.begin(), s.field.end());
            out.insert(out.end(), in_.begin() + static_cast<std::ptrdiff_t>(fixedAt), in_.begin() + static_cast<std::ptrdiff_t>(sizeAt));
            for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(s.recordedSize >> shift));
            out.push_back(static_cast<std::uint8_t>(s.protectionClass));
            out.insert(out.end(), in_.begin() + static_cast<std::ptrdiff_t>(sizeAt + 9), in_.begin() + static_cast<std::ptrdiff_t>(end));
        }
        return out;
    }

private:
    void need(std::size_t n) {
        if (in_.size() - at_ < n) throw std::runtime_error("forge: Manifest.mbdb ends inside a record");
    }
    std::uint64_t number(std::size_t bytes) {
        need(bytes);
        std::uint64_t v = 0;
        // Fields wider than 8 bytes are skipped, not read.
        for (std::size_t i = 0; i < bytes; ++i) v = (v << 8) | in_[at_ + i];
        at_ += bytes;
        return v;
    }
    // A 2-byte big-endian length and the bytes; 0xFFFF: absent.
    std::string string() {
        const auto n = static_cast<std::size_t>(number(2));
        if (n == 0xFFFF) return {};
        need(n);
        std::string s(reinterpret_cast<const char*>(in_.data() + at_), n);
        at_ += n;
        return s;
    }

    const Bytes& in_;
    std::size_t at_ = 0;
};

void encryptMbdb(const std::string& folder, Encryptor& enc) {
    const std::string path = folder + "/Manifest.mbdb";
    const std::int64_t mtime = modificationTime(path);
    const Bytes in = readAll(path);
    files::writeFile(path, MbdbRewriter(in).rewrite(folder, enc));
    files::setModificationTime(path, mtime);
}

// ---- Manifest.plist ----------------------------------------------------------

void updateManifestPlist(const std::string& folder, const Bytes& keybag, const Bytes& manifestKeyField) {
    const std::string path = folder + "/Manifest.plist";
    const std::int64_t mtime = modificationTime(path);
    const Bytes bytes = readAll(path);
    const bool binary = bytes.size() >= 8 && std::memcmp(bytes.data(), "bplist00", 8) == 0;
    plist_t root = nullptr;
    if (binary) plist_from_bin(reinterpret_cast<const char*>(bytes.data()), static_cast<std::uint32_t>(bytes.size()), &root);
    else plist_from_xml(reinterpret_cast<const char*>(bytes.data()), static_cast<std::uint32_t>(bytes.size()), &root);
    PlistPtr manifest(root);
    if (!root || plist_get_node_type(root) != PLIST_DICT) throw std::runtime_error("forge: " + path + " is no dictionary");
    plist_dict_set_item(root, "BackupKeyBag", plist_new_data(reinterpret_cast<const char*>(keybag.data()), keybag.size()));
    plist_dict_set_item(root, "IsEncrypted", plist_new_bool(1));
    if (!manifestKeyField.empty())
        plist_dict_set_item(root, "ManifestKey",
                            plist_new_data(reinterpret_cast<const char*>(manifestKeyField.data()), manifestKeyField.size()));
    files::writeFile(path, serialisePlist(root, binary));
    files::setModificationTime(path, mtime);
}

}  // namespace

EncryptionKeys encryptBackup(const std::string& folder, const EncryptionOptions& options, std::uint64_t seed) {
    std::error_code ec;
    const bool modern = fs::exists(folder + "/Manifest.db", ec);
    if (!modern && !fs::exists(folder + "/Manifest.mbdb", ec))
        throw std::runtime_error("forge: " + folder + " holds neither Manifest.db nor Manifest.mbdb");
    // The Manifest.db of iOS 10.2 and later is encrypted under the two-round derivation.
    const bool twoRounds = modern && !options.legacyKdf;
    Encryptor enc(options, seed ^ 0x6A09E667F3BCC908ULL, twoRounds);
    if (modern) encryptManifestDb(folder, enc, twoRounds);
    else encryptMbdb(folder, enc);
    enc.requireAllDamaged();

    EncryptionKeys& keys = enc.keys();
    Bytes manifestKeyField;
    if (!keys.manifestKey.empty())
        manifestKeyField = crypto::keyField(kManifestClass, crypto::wrapKey(keys.classKeys.at(kManifestClass), keys.manifestKey));
    updateManifestPlist(folder, crypto::keybagBytes(enc.keybag()), manifestKeyField);
    return keys;
}

EncryptionKeys encryptForgedBackup(const ForgedBackup& backup, const EncryptionOptions& options, std::uint64_t seed) {
    // Each backup of a store has its own keys.
    const std::string folderName = fs::path(backup.path).filename().string();
    const std::uint64_t own = std::strtoull(storedName("keys", folderName).substr(0, 16).c_str(), nullptr, 16);
    EncryptionKeys keys = encryptBackup(backup.path, options, seed ^ own);

    const std::int64_t mtime = modificationTime(backup.truthPath);
    nlohmann::json truth = nlohmann::json::parse(readAll(backup.truthPath));
    truth["backup"]["bEncrypted"] = 1;
    const std::string text = truth.dump(1) + "\n";
    files::writeFileAt(backup.truthPath, Bytes(text.begin(), text.end()), mtime);

    const std::string keysPath = fs::path(backup.truthPath).parent_path().string() + "/" + folderName + ".keys.json";
    const std::string keysText = keysJson(keys).dump(1) + "\n";
    files::writeFile(keysPath, Bytes(keysText.begin(), keysText.end()));
    return keys;
}

nlohmann::json keysJson(const EncryptionKeys& keys) {
    nlohmann::json classKeys = nlohmann::json::object();
    for (const auto& [c, key] : keys.classKeys) classKeys[std::to_string(c)] = crypto::hexOf(key);
    return {{"password", keys.password},
            {"kdf", keys.twoRounds ? "two-round" : "single-round"},
            {"ITER", keys.iterations},
            {"DPIC", keys.dpic},
            {"derivedKey", crypto::hexOf(keys.derivedKey)},
            {"classKeys", classKeys},
            {"manifestKey", keys.manifestKey.empty() ? nlohmann::json(nullptr) : nlohmann::json(crypto::hexOf(keys.manifestKey))},
            {"encryptedFiles", keys.encryptedFiles}};
}

}  // namespace salvor::forge
