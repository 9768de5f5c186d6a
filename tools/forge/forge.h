// The forge: writes complete synthetic backup stores for tests, the demo and
// benchmarks. Deterministic: the same seed and scenario give byte-identical
// backup folders.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace salvor::forge {

// A small deterministic generator (splitmix64), independent of the standard
// library's distributions so output is identical everywhere.
class Rng {
public:
    explicit Rng(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    // Uniform in [0, n); 0 when n is 0.
    std::uint64_t below(std::uint64_t n) { return n == 0 ? 0 : next() % n; }
    // Uniform in [lo, hi].
    std::int64_t range(std::int64_t lo, std::int64_t hi) {
        return lo + static_cast<std::int64_t>(below(static_cast<std::uint64_t>(hi - lo) + 1));
    }
    bool chance(unsigned percent) { return below(100) < percent; }
    template <class T>
    const T& pick(const std::vector<T>& v) { return v[below(v.size())]; }

private:
    std::uint64_t state_;
};

// One record of the backup's manifest and, for regular files, its stored content.
struct FileEntry {
    enum class Kind { File, Directory, Link };
    std::string domain;
    std::string path;
    Kind kind = Kind::File;
    std::string linkTarget;             // for links
    std::vector<std::uint8_t> content;  // for files
    bool stored = true;                 // false: listed in the manifest, stored file missing
    // Stored under this name instead of the SHA-1 name (older backups kept a few
    // files under a suffixed name, e.g. "<sha1>.mddata").
    std::string storedNameOverride;
    // When non-zero, the content is this many deterministic pseudo-random bytes
    // produced while writing (large media without holding it in memory). A
    // non-empty `content` is then written first, as the file's header.
    std::uint64_t syntheticSize = 0;
    std::uint32_t mtime = 1356998400;   // attribute block times (deterministic)
    // Extended-attribute pairs of the manifest record (name, value).
    std::vector<std::pair<std::string, std::string>> properties;
};

// How much the category databases hold (the benchmarks ask for big ones).
struct DatabaseScale {
    int contacts = 12;
    int messages = 40;
    int conversations = 6;
    int calls = 15;
    int notes = 6;
    int bookmarks = 8;
    int historyEntries = 6;
    int calendarEvents = 6;
    int deletedPercent = 20;  // share of rows deleted (bytes kept) after filling
    // When non-zero, each message text (but those of attachments and edits)
    // runs on with more phrases to at least this many bytes (a database of
    // long threads, for the benchmarks).
    int messageTextBytes = 0;
};

// What one backup folder will hold, built up before anything is written.
struct BackupPlan {
    std::string folderName;         // 40 hex digits, like a device identifier
    int iosMajor = 6;               // 4, 5, 6 or 7
    std::string productVersion;     // e.g. "6.1.3"
    std::string productType;        // e.g. "iPhone5,2"
    std::string deviceName;         // e.g. "Ann's iPhone"
    std::string serialNumber;
    std::string itunesVersion;
    // Notes in the older notes.db layout and bookmarks under the older
    // Bookmarks.plist name, as devices before the Core Data notes store kept them.
    bool olderFileNames = false;
    int dbPageSize = 4096;          // page size of the category databases
    std::vector<FileEntry> files;   // manifest order
    // Expected results, keyed by category ("contacts", "messages", "calls", "notes",
    // "bookmarks", "calendar", "photos", "social", ...). Paths of files inside the
    // backup folder are written relative to the folder (the stored name alone),
    // so the truth is the same wherever the store is written.
    nlohmann::json truth = nlohmann::json::object();
};

// Adds the category databases (address book and pictures, messages with their
// attachment files, call history, notes, bookmarks and browser history,
// calendar) for plan.iosMajor to plan.files, and fills plan.truth with every
// live record as the extractors must deliver it and every deleted row.
// `scratchDir` is a private folder for building database files.
void addCategoryDatabases(BackupPlan& plan, Rng& rng, const DatabaseScale& scale, const std::string& scratchDir);

// SHA-1 of domain "-" path as 40 lower-case hex digits: the stored-file name.
std::string storedName(const std::string& domain, const std::string& path);

// The bytes of a "Manifest.mbdb" listing `files` in order. `digests` holds the
// 20-byte content digest of each file record (empty: computed from `content`).
std::vector<std::uint8_t> manifestBytes(const std::vector<FileEntry>& files,
                                        const std::vector<std::string>& digests = {});

// Size text as the reader shows it: powers of 1000, single precision, "%.2fB" ... "%.2fT".
std::string sizeText(std::uint64_t bytes);

// Extension classes of the media step: 0 picture, 1 audio or video, -1 neither.
int mediaKind(const std::string& relativePath);

// Damage given to one encrypted stored file, for the readers' tests.
enum class CipherDamage {
    UnalignedLength,    // the stored file loses its last 5 bytes: not a whole number of blocks
    BadPadding,         // the last block decrypts to a pad that ends in 0
    UnwrappableKey,     // one byte of the wrapped key in the manifest record is flipped
    MissingClassKey,    // the file alone has class 2, and the keybag has no entry for class 2
    WrongRecordedSize,  // the record gives half the plaintext size; the whole file is still there
};
struct DamagedFile {
    std::string domain, relativePath;
    CipherDamage kind = CipherDamage::BadPadding;
};

// How a forged backup is encrypted (see encrypt_backup.h).
struct EncryptionOptions {
    std::string password = "salvor";  // its UTF-8 bytes are derived
    // The cost of the derivation: the SHA-256 round's count (DPIC) of a
    // two-round keybag, or the count of the only round (ITER) of a single-round
    // one. 0: the real counts, 10,000,000 and 10,000.
    std::uint32_t kdfIterations = 0;
    // The SHA-1 round's count (ITER) of a two-round keybag.
    std::uint32_t sha1Iterations = 10000;
    // A Manifest.db backup as iOS 10.0 and 10.1 wrote it: one derivation
    // round and Manifest.db left plain. (Manifest.mbdb backups always are so.)
    bool legacyKdf = false;
    std::vector<DamagedFile> damage;
};

// What to forge. Zero counts fall back to the scenario's defaults.
struct ForgeOptions {
    std::uint64_t seed = 1;
    // "ios4", "ios5", "ios6", "ios6-p1024" (1024-byte database pages), "ios7", "ios16", "ios16-encrypted",
    // "ios12-modern", "ios15-modern", "ios17-modern", "ios15-modern-unfinished", "bench-modern-manifest", "demo", "device",
    // "store", "bench-manifest", "bench-messages", "bench-contacts", "bench-media".
    std::string scenario = "store";
    DatabaseScale scale;
    std::uint64_t manifestRecords = 0;  // bench-manifest: records in total (default 100000);
                                        // bench-modern-manifest: Manifest.db rows (default 300000)
    // bench-manifest: when non-zero, the added records sit in this many sibling
    // folders of one domain, in scattered name order (one folder per record
    // when it equals manifestRecords).
    std::uint64_t manifestFolders = 0;
    std::uint64_t mediaBytes = 0;       // bench-media: camera-roll bytes (default 64 MiB)
    int benchContacts = 0;              // bench-contacts: persons in the address book (default 20000)
    // Set: every backup the run writes is encrypted, its plaintext unchanged
    // ("ios16-encrypted" is encrypted either way, by default with "salvor").
    std::optional<EncryptionOptions> encryption;
    // The data iOS puts only into encrypted backups (the call log) in every
    // modern scenario, encrypted or not, so that an encrypted backup and its
    // plain twin hold the same files. Off: only iOS 17 holds the call log.
    bool withEncryptedOnlyData = false;
    // Scenario "hostile-modern-load": only the backup of this case ("message",
    // "notes"...); every case when empty.
    std::string loadCase;
};

// One forged backup folder and the file of its expected scan results.
struct ForgedBackup {
    std::string path;       // the backup folder
    std::string truthPath;  // "<store>/<folder>.truth.json", outside the backup
    int iosMajor = 6;
};

// Writes one backup of the iOS 10 and later layout (Manifest.db, stored files
// under two-hex-digit folders, an iOS 16 device) into the existing `storeDir`:
// a few directory and file rows, one of them without its stored file. When
// `encrypted`, the same backup is then encrypted with `encryption` (the
// default password "salvor" and the real derivation counts when not given).
// `scratchDir` is a private folder for building the database.
ForgedBackup forgeModernBackup(const std::string& storeDir, std::uint64_t seed, bool encrypted,
                               const std::string& scratchDir, const EncryptionOptions* encryption = nullptr);

// Writes one backup of an iOS 12, 15 or 17 device in the iOS 10 and later
// layout into the existing `storeDir`: Manifest.db with MBFile archives, the
// camera roll with its photo library (some items recently deleted), the
// category databases with the attachments they hold (the call log only on
// iOS 17), social-application files, directory and link rows, rows with missing stored files
// or unreadable archives, and hostile rows (stored names that leave the folder
// or are not names, paths that climb out of their domain). With `unfinished`,
// Status.plist says the snapshot was not finished. The truth lists what the
// manifest stage must report, the rows it must refuse and every category's
// records under the keys of the older scenarios. `extraFiles` more
// rows (files without stored content, in folders of 500) make a large list
// for the benchmarks; their truth is not written.
// With `withEncryptedOnlyData` every generation holds the call log.
ForgedBackup forgeModernScenario(const std::string& storeDir, std::uint64_t seed, int iosMajor, bool unfinished,
                                 const std::string& scratchDir, std::uint64_t extraFiles = 0,
                                 bool withEncryptedOnlyData = false);

// Damaged databases, for the readers' tests. Both work in place on a database
// file that the caller owns (never a backup that should stay intact) and throw
// std::runtime_error when the file has no such table.
//
// Overwrites one page of `table` with garbage: its root page, or with
// `middleLeaf` the middle one of its leaf pages. Returns the page's number.
int damageTablePage(const std::string& dbPath, const std::string& table, bool middleLeaf = false);
// Replaces `table` by a view of the same name whose rows never end (a
// recursive common table expression); each of `columns` gives the row counter.
void replaceWithEndlessView(const std::string& dbPath, const std::string& table,
                            const std::vector<std::string>& columns);

// Writes `dir` as a simulated-device folder (see the simulated device of
// platform/device_support.h): one device around a forged iOS 6 backup, with
// camera folders DCIM/100APPLE and DCIM/101APPLE (photos, a video, a file that
// is neither) and "<dir>/device.truth.json". The backup's own truth stays
// beside it. Returned: the backup, with the device truth as its truth path.
std::vector<ForgedBackup> forgeDeviceFolder(const std::string& dir, const ForgeOptions& options);

// Writes the "hostile-modern" store into `storeDir`: a clean iOS 17 and a
// clean iOS 6 backup, and copies of them that try to make the reader look
// outside the backup (a two-digit folder, the photo library, Manifest.db or
// Manifest.mbdb as links to files elsewhere, under "<store>/outside") or
// that must not read as intact (Manifest.db with its rows only in its log,
// sms.db of random bytes or with an impossible page size, sms.db followed by
// 1 GiB of unwritten space). Each copy's truth names its case.
std::vector<ForgedBackup> forgeHostileModern(const std::string& storeDir, const ForgeOptions& options);

// Writes the scenario's backups into `storeDir` (created when missing).
// Throws std::runtime_error with a readable message on failure.
std::vector<ForgedBackup> forgeStore(const std::string& storeDir, const ForgeOptions& options);

}  // namespace salvor::forge
