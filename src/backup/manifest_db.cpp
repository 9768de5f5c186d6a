#include "backup/manifest_db.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <unordered_map>

#include "backup/manifest.h"
#include "backup/mbfile.h"
#include "backup/media.h"
#include "backup/photo_library.h"
#include "core/helpers.h"
#include "core/scan_context.h"
#include "core/stored_file.h"
#include "platform/plist.h"
#include "platform/scratch.h"

namespace salvor {

// ---- row checks ---------------------------------------------------------------

bool isValidFileId(std::string_view id) {
    if (id.size() != 40) return false;
    return std::all_of(id.begin(), id.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool isSafeRelativePath(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) return false;
    if (!path.empty() && path.front() == '/') return false;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        const std::string_view part = path.substr(start, end - start);
        if (part == ".." || part == ".") return false;
        start = end + 1;
    }
    return true;
}

bool isSafeDomain(std::string_view domain) {
    return !domain.empty() && domain != "." && domain != ".." && domain.find('/') == std::string_view::npos &&
           domain.find('\0') == std::string_view::npos;
}

// ---- SQLite access ----------------------------------------------------------------

namespace {

// A file name in a URI: the characters that end or escape the path part are
// written as %XX.
std::string uriOf(const std::string& path) {
    std::string uri = "file:";
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (unsigned char c : path) {
        if (c == '%' || c == '?' || c == '#' || c < 0x20 || c == 0x7F) {
            uri += '%';
            uri += kHex[c >> 4];
            uri += kHex[c & 0x0F];
        } else {
            uri += static_cast<char>(c);
        }
    }
    return uri + "?mode=ro&immutable=1";
}

std::string quoted(const std::string& name) {
    std::string q = "\"";
    for (char c : name) {
        if (c == '"') q += '"';
        q += c;
    }
    return q + "\"";
}

bool equalNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view textColumn(sqlite3_stmt* st, int i) {
    if (i < 0 || sqlite3_column_type(st, i) == SQLITE_NULL) return {};
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(st, i));
    const int n = sqlite3_column_bytes(st, i);
    return p && n > 0 ? std::string_view(p, static_cast<std::size_t>(n)) : std::string_view();
}

int stopRequested(void* token) { return static_cast<std::stop_token*>(token)->stop_requested() ? 1 : 0; }

}  // namespace

sqlite3* openBackupDatabase(const std::string& path, std::string& error) {
    // Never through a link, the file's or its folder's: it could lead to any
    // database of the computer.
    struct stat st {};
    if (statStoredFile(path, st) != 0) {
        error = storedFileRefusal(errno);
        return nullptr;
    }
    if (S_ISLNK(st.st_mode)) {
        error = storedFileRefusal(ELOOP);
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        error = "not a regular file";
        return nullptr;
    }
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(uriOf(path).c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
    if (rc != SQLITE_OK) {
        error = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        sqlite3_close(db);
        return nullptr;
    }
    // Reading the schema is where a file that is not a database shows itself.
    char* message = nullptr;
    if (sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, &message) != SQLITE_OK) {
        error = message ? message : "not a database";
        sqlite3_free(message);
        sqlite3_close(db);
        return nullptr;
    }
    return db;
}

bool isOrdinaryTable(sqlite3* db, const std::string& name) {
    // The table list names what SQLite will run for the name: "table" is an
    // ordinary table; a view, a virtual table (a full-text table over an
    // endless view writes temporary files without end) or a module's shadow
    // table is not. The SQL text is not parsed: SQLite accepts it in many spellings.
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT type FROM pragma_table_list(?1) WHERE schema = 'main'", -1, &st, nullptr) !=
        SQLITE_OK) {
        sqlite3_finalize(st);
        return false;
    }
    sqlite3_bind_text(st, 1, name.c_str(), -1, SQLITE_TRANSIENT);
    bool ordinary = false;
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        ordinary = textColumn(st, 0) == "table";
        if (!ordinary) break;
    }
    sqlite3_finalize(st);
    return ordinary && (rc == SQLITE_DONE || rc == SQLITE_ROW);
}

std::vector<std::string> tableColumns(sqlite3* db, const std::string& table) {
    std::vector<std::string> columns;
    sqlite3_stmt* st = nullptr;
    // Only a real table: a view of that name could compute rows without end.
    if (!isOrdinaryTable(db, table)) return columns;
    if (sqlite3_prepare_v2(db, "SELECT name FROM pragma_table_info(?1) WHERE "
                               "(SELECT type FROM sqlite_master WHERE name = ?1 COLLATE NOCASE) = 'table'",
                           -1, &st, nullptr) != SQLITE_OK) {
        sqlite3_finalize(st);
        return columns;
    }
    sqlite3_bind_text(st, 1, table.c_str(), -1, SQLITE_TRANSIENT);
    while (sqlite3_step(st) == SQLITE_ROW) columns.emplace_back(textColumn(st, 0));
    sqlite3_finalize(st);
    return columns;
}

std::string quotedColumn(const std::vector<std::string>& columns, std::string_view name) {
    for (const std::string& c : columns)
        if (equalNoCase(c, name)) return quoted(c);
    return {};
}

// ---- Manifest.db -------------------------------------------------------------------

ManifestDb::ManifestDb(const std::string& path, std::stop_token stop) : stop_(std::move(stop)) {
    std::string error;
    db_ = openBackupDatabase(path, error);
    if (!db_) {
        problem_ = "it cannot be opened as a database (" + error + ")";
        return;
    }
    sqlite3_progress_handler(db_, 4096, &stopRequested, &stop_);
    const std::vector<std::string> columns = tableColumns(db_, "Files");
    const std::string id = quotedColumn(columns, "fileID"), domain = quotedColumn(columns, "domain"),
                      path_ = quotedColumn(columns, "relativePath");
    if (id.empty() || domain.empty() || path_.empty()) {
        problem_ = columns.empty() ? "it has no Files table" : "its Files table lacks the columns of a file list";
        return;
    }
    const std::string flags = quotedColumn(columns, "flags"), file = quotedColumn(columns, "file");
    select_ = "SELECT " + id + ", " + domain + ", " + path_ + ", " + (flags.empty() ? "NULL" : flags) + ", " +
              (file.empty() ? std::string("NULL")
                            : "CASE WHEN length(" + file + ") <= " + std::to_string(kMaxArchiveSize) + " THEN " +
                                  file + " END") +
              " FROM \"Files\"";
}

ManifestDb::~ManifestDb() { sqlite3_close(db_); }

std::uint64_t ManifestDb::rowCount() {
    if (!ok()) return 0;
    sqlite3_stmt* st = nullptr;
    std::uint64_t n = 0;
    if (sqlite3_prepare_v2(db_, "SELECT count(*) FROM \"Files\"", -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
        n = static_cast<std::uint64_t>(std::max<sqlite3_int64>(0, sqlite3_column_int64(st, 0)));
    sqlite3_finalize(st);
    return n;
}

bool ManifestDb::forEachRow(const std::function<void(const Row&)>& visit) {
    if (!ok()) return false;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, select_.c_str(), -1, &st, nullptr) != SQLITE_OK) {
        problem_ = std::string("its Files table cannot be read (") + sqlite3_errmsg(db_) + ")";
        sqlite3_finalize(st);
        return false;
    }
    int rc;
    Row row;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        row.fileId = textColumn(st, 0);
        row.domain = textColumn(st, 1);
        row.relativePath = textColumn(st, 2);
        row.flags = sqlite3_column_type(st, 3) == SQLITE_INTEGER ? sqlite3_column_int64(st, 3) : 0;
        row.file = nullptr;
        row.fileSize = 0;
        if (sqlite3_column_type(st, 4) == SQLITE_BLOB) {
            row.file = static_cast<const std::uint8_t*>(sqlite3_column_blob(st, 4));
            row.fileSize = static_cast<std::size_t>(sqlite3_column_bytes(st, 4));
        }
        visit(row);
    }
    const bool ended = rc == SQLITE_DONE || stop_.stop_requested();
    if (!ended) problem_ = std::string("its Files table is damaged (") + sqlite3_errmsg(db_) + ")";
    sqlite3_finalize(st);
    return ended;
}

std::optional<std::string> ManifestDb::fileIdOf(const std::string& domain, const std::string& relativePath,
                                                std::string* archive) {
    if (!ok()) return std::nullopt;
    const std::string sql = select_ + " WHERE \"domain\" = ?1 AND \"relativePath\" = ?2";
    sqlite3_stmt* st = nullptr;
    std::optional<std::string> found;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) == SQLITE_OK) {
        sqlite3_bind_text(st, 1, domain.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 2, relativePath.c_str(), -1, SQLITE_TRANSIENT);
        while (sqlite3_step(st) == SQLITE_ROW) {
            const std::string_view id = textColumn(st, 0);
            if (!isValidFileId(id)) continue;
            found = std::string(id);
            if (archive) {
                const auto* blob = static_cast<const char*>(sqlite3_column_blob(st, 4));
                archive->assign(blob ? blob : "", blob ? static_cast<std::size_t>(sqlite3_column_bytes(st, 4)) : 0);
            }
        }
    }
    sqlite3_finalize(st);
    return found;
}

// ---- the manifest stage ---------------------------------------------------------

namespace {

constexpr std::string_view kCameraRoll = "CameraRollDomain";
const std::string kPhotoLibrary = "Media/PhotoData/Photos.sqlite";

// Domains that hold category databases of newer devices outside the kept
// domains (notes moved to an app group, browser history to Safari's own
// container on some versions): their records are kept for lookups only.
bool isLookupOnlyDomain(std::string_view domain) {
    return domain == "AppDomainGroup-group.com.apple.notes" || domain == "AppDomain-com.apple.mobilesafari";
}

// The camera roll's pictures and films themselves: the originals, and those
// kept in place of originals that live in iCloud. The library's thumbnails,
// previews and metadata beside them are files of the tree, not photos.
bool isCameraRollItem(std::string_view path) {
    return path.starts_with("Media/DCIM/") || path.starts_with("Media/PhotoData/CPLAssets/");
}

// The file type bits for a row whose archive says nothing usable.
std::uint16_t modeOfFlags(std::int64_t flags) {
    switch (flags) {
    case ManifestDb::kFlagFile: return 0x8000;
    case ManifestDb::kFlagDirectory: return 0x4000;
    case ManifestDb::kFlagLink: return 0xA000;
    default: return 0;
    }
}

// A digit of a valid file ID (lower-case hex).
int hexDigit(char c) { return c <= '9' ? c - '0' : c - 'a' + 10; }

std::string count(std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// Records the file's key with the scan's cipher.
void registerKey(ScanContext& ctx, std::string_view fileId, const std::optional<MBFileAttributes>& attributes) {
    if (attributes && !attributes->encryptionKey.empty())
        ctx.cipher->addFile(fileId, attributes->encryptionKey, attributes->size);
}

// Manifest.db of an encrypted backup, decrypted into the scan's private
// folder with the key Manifest.plist gives it ("ManifestKey": a 4-byte class
// and the wrapped key). Backups of iOS 10.0 and 10.1 have no such key and keep
// the list in plain text: then the backup's own file is read.
std::optional<std::string> decryptedManifest(ScanContext& ctx, const std::string& backupPath, std::string& why) {
    const plist::Document manifestPlist = plist::Document::fromFile(backupPath + "/Manifest.plist");
    const plist::Node field = manifestPlist.rootDict().get("ManifestKey");
    if (!field) return backupPath + "/Manifest.db";
    const auto key = field.asData();
    if (!key) {
        why = "its key in Manifest.plist is not a data value";
        return std::nullopt;
    }
    if (ctx.scanScratchDir.empty()) ctx.scanScratchDir = scratch::create("salvor-extract-");
    if (ctx.scanScratchDir.empty()) {
        why = "no private folder could be made in the temporary folder (" + scratch::lastError() + ")";
        return std::nullopt;
    }
    const std::string path = ctx.scanScratchDir + "/Manifest.db";
    const int source = ::open((backupPath + "/Manifest.db").c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    if (source < 0 || ::fstat(source, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (source >= 0) ::close(source);
        why = "the backup holds no regular file Manifest.db";
        return std::nullopt;
    }
    const int target = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    BackupCipher::Decrypted result;
    if (target < 0) result.problem = "its private copy could not be made (" + std::string(std::strerror(errno)) + ")";
    else result = ctx.cipher->decryptFile(source, {std::string(key->begin(), key->end()), std::nullopt}, target, ctx.stop);
    ::close(source);
    if (target >= 0 && ::close(target) != 0 && result.ok) result = {false, false, 0, std::strerror(errno), {}};
    if (!result.ok) {
        ::unlink(path.c_str());
        why = result.problem;
        return std::nullopt;
    }
    ctx.preparedDatabases["plain:" + backupPath + "/Manifest.db"] = path;
    return path;
}

// Copies the regular file `from` (never through a link) to the new private
// file `to`; false with `why` set.
bool copyPrivately(const std::string& from, const std::string& to, std::string& why) {
    const int source = ::open(from.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    if (source < 0 || ::fstat(source, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = source < 0 && errno == ELOOP ? "it is a link" : "it is not a regular file";
        if (source >= 0) ::close(source);
        return false;
    }
    const int target = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    std::string note;
    const bool ok = target >= 0 && copyStoredFile(nullptr, source, from, target, why, note);
    if (target < 0) why = std::strerror(errno);
    ::close(source);
    if (target >= 0 && ::close(target) != 0 && ok) {
        why = std::strerror(errno);
        return false;
    }
    return ok;
}

// Manifest.db of a backup that kept its newest rows in the write-ahead log
// beside it ("Manifest.db-wal"): both are copied into the scan's private
// folder and the log is folded into the copy there, which is then read (the
// backup itself is never written). Absent with `why` set.
std::optional<std::string> manifestWithLog(ScanContext& ctx, const std::string& backupPath, std::string& why) {
    if (ctx.scanScratchDir.empty()) ctx.scanScratchDir = scratch::create("salvor-extract-");
    if (ctx.scanScratchDir.empty()) {
        why = "no private folder could be made in the temporary folder (" + scratch::lastError() + ")";
        return std::nullopt;
    }
    const std::string copy = ctx.scanScratchDir + "/Manifest-with-log.db";
    ::unlink((copy + "-wal").c_str());
    ::unlink((copy + "-shm").c_str());
    std::string failure;
    if (!copyPrivately(backupPath + "/Manifest.db", copy, failure) ||
        !copyPrivately(backupPath + "/Manifest.db-wal", copy + "-wal", failure)) {
        why = "no private copy could be made (" + failure + ")";
        return std::nullopt;
    }
    sqlite3* db = nullptr;
    // Leaving the log's mode folds every complete transaction of the log into
    // the copy and removes the log, so the copy then reads as one file.
    int rc = sqlite3_open_v2(copy.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    char* message = nullptr;
    if (rc == SQLITE_OK) rc = sqlite3_exec(db, "PRAGMA journal_mode=DELETE", nullptr, nullptr, &message);
    if (rc != SQLITE_OK) why = message ? message : db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_free(message);
    sqlite3_close(db);
    if (rc != SQLITE_OK) return std::nullopt;
    return copy;
}

void checkSnapshot(ScanContext& ctx, const std::string& backupPath) {
    const plist::Document status = plist::Document::fromFile(backupPath + "/Status.plist");
    const auto state = status.rootDict().string("SnapshotState");
    if (state && *state != "finished")
        ctx.reportProblem("The backup was not finished (its snapshot state is \"" + manifestText(*state) +
                          "\"): files it should hold may be missing or incomplete.");
}

}  // namespace

void scanManifestDb(ScanContext& ctx, const std::string& backupPath) {
    ctx.modernFormat = true;
    checkSnapshot(ctx, backupPath);

    // A list that is a link is not the backup's: it could be any database
    // of the computer, whose rows would then name files to read.
    std::string manifestPath = backupPath + "/Manifest.db";
    struct stat listStat {};
    if (::lstat(manifestPath.c_str(), &listStat) == 0 && S_ISLNK(listStat.st_mode)) {
        ctx.reportProblem("The backup's file list (Manifest.db) is a link to another file, which is never followed, "
                          "so its photos, videos, app files and file tree cannot be found.");
        return;
    }
    // Rows the device wrote last may still be in the write-ahead log beside
    // the list; read without it, the list can look empty.
    const std::string logPath = manifestPath + "-wal";
    struct stat logStat {};
    if (::lstat(logPath.c_str(), &logStat) == 0 && (!S_ISREG(logStat.st_mode) || logStat.st_size > 0)) {
        std::string why;
        std::optional<std::string> withLog;
        if (!S_ISREG(logStat.st_mode))
            why = S_ISLNK(logStat.st_mode) ? "it is a link, which is never followed" : "it is not a regular file";
        else if (ctx.cipher)
            why = "the log of an encrypted backup is not decrypted";
        else
            withLog = manifestWithLog(ctx, backupPath, why);
        if (withLog)
            manifestPath = *withLog;
        else
            ctx.reportProblem("The log beside the backup's file list (Manifest.db-wal) was not read: " + why +
                              "; files listed only in it cannot be found.");
    }
    if (ctx.cipher) {
        std::string why;
        const auto plain = decryptedManifest(ctx, backupPath, why);
        if (!plain) {
            ctx.reportProblem("The backup's file list (Manifest.db) cannot be decrypted: " + why +
                              ", so nothing of the backup can be read.");
            return;
        }
        manifestPath = *plain;
    }
    ManifestDb manifest(manifestPath, ctx.stop);
    if (!manifest.ok()) {
        ctx.reportProblem("The backup's file list (Manifest.db) cannot be read: " + manifest.problem() +
                          ", so its photos, videos, app files and file tree cannot be found.");
        return;
    }

    PhotoLibrary photos;
    std::string libraryArchive, logArchive;
    if (const auto id = manifest.fileIdOf(std::string(kCameraRoll), kPhotoLibrary, &libraryArchive)) {
        // The library's newest rows may be in the log stored beside it, which
        // only a prepared copy brings in; without one the file is read alone.
        std::optional<std::string> library = ctx.storedPath(*id);
        struct stat libraryStat {};
        const bool linked = (statStoredFile(*library, libraryStat) != 0 && errno == ELOOP) ||
                            (S_ISLNK(libraryStat.st_mode));
        const auto log = manifest.fileIdOf(std::string(kCameraRoll), std::string(kPhotoLibrary) + "-wal", &logArchive);
        if (ctx.cipher) {
            registerKey(ctx, *id, decodeMBFile(reinterpret_cast<const std::uint8_t*>(libraryArchive.data()),
                                               libraryArchive.size()));
            if (log)
                registerKey(ctx, *log, decodeMBFile(reinterpret_cast<const std::uint8_t*>(logArchive.data()),
                                                    logArchive.size()));
        }
        if (linked) {
            library.reset();
            photos.problem = storedFileRefusal(ELOOP);
        } else if (ctx.prepareModernDatabase) {
            // The prepared copy is decrypted in an encrypted backup.
            library = ctx.prepareModernDatabase(ctx, *library, log ? ctx.storedPath(*log) : std::string());
        } else if (ctx.cipher) {
            library = readableStoredPath(ctx, *library);
        }
        if (library) photos = readPhotoLibrary(*library, ctx.stop);
        if (!photos.problem.empty())
            ctx.reportProblem("The photo library (Photos.sqlite) cannot be read (" + photos.problem +
                              "): photos and videos are listed without their dates and without telling which "
                              "were recently deleted.");
    }

    const std::uint64_t total = manifest.rowCount();
    std::uint64_t seen = 0;
    std::size_t badIds = 0, badNames = 0, missing = 0, linked = 0, undescribed = 0;
    std::string linkedNames;  // the first few, for the person
    std::string pathKey;
    // Each two-digit folder's path, shared by the stored paths of its files.
    std::array<std::shared_ptr<const std::string>, 256> folders;
    StoredFileIndex stored;
    TextPool texts;  // the rows' domains and folders, shared
    MediaList mediaFiles;
    const bool readAll = manifest.forEachRow([&](const ManifestDb::Row& row) {
        if (ctx.stopRequested()) return;
        ++seen;
        // Checked before either text reaches a path: the ID names a file
        // inside the backup, the domain and path name what is written out.
        if (!isValidFileId(row.fileId)) {
            ++badIds;
            return;
        }
        if (!isSafeDomain(row.domain) || !isSafeRelativePath(row.relativePath)) {
            ++badNames;
            return;
        }
        const std::optional<MBFileAttributes> attributes = decodeMBFile(row.file, row.fileSize);
        if (!attributes) ++undescribed;
        if (ctx.cipher) registerKey(ctx, row.fileId, attributes);
        std::uint16_t mode = modeOfFlags(row.flags);
        if (attributes && attributes->mode && (mode == 0 || (*attributes->mode & 0xF000) == mode))
            mode = static_cast<std::uint16_t>(*attributes->mode & 0xFFFF);

        auto node = std::make_shared<MVTreeDirNode>();
        node->fileDomain = texts.text(manifestText(row.domain));
        node->filePath = texts.path(manifestText(row.relativePath));
        node->fileMode = mode;
        if (ctx.cipher && attributes && !attributes->encryptionKey.empty()) node->contentSize = attributes->size;
        std::shared_ptr<const std::string>& folder = folders[static_cast<std::size_t>(hexDigit(row.fileId[0]) << 4 |
                                                                                       hexDigit(row.fileId[1]))];
        if (!folder) folder = std::make_shared<const std::string>(backupPath + "/" + std::string(row.fileId.substr(0, 2)));
        node->fileKey = StoredPath(folder, row.fileId);
        if ((mode & 0xF000) == 0x8000) {
            const StoredFileIndex::Presence presence = stored.presence(*folder, row.fileId);
            if (presence == StoredFileIndex::Presence::Missing) ++missing;
            if (presence == StoredFileIndex::Presence::Linked && ++linked <= 3)
                linkedNames += (linked > 1 ? ", " : "") +
                               manifestText(row.relativePath.substr(row.relativePath.rfind('/') + 1));
        }
        ctx.sink.backupFile(node);

        const std::string& domain = *node->fileDomain;
        if (isKeptDomain(domain)) {
            if (!ctx.bIOSRecoveryMode && total > 0)
                ctx.sink.progress(static_cast<int>(std::min<std::uint64_t>(seen, total) * 20 / total));
            const PhotoFacts* facts = nullptr;
            bool media = true;
            if (domain == kCameraRoll) {
                media = isCameraRollItem(row.relativePath);
                pathKey.assign(row.relativePath);
                const auto it = photos.facts.find(pathKey);
                if (it != photos.facts.end()) facts = &it->second;
            }
            if (media) mediaFiles.add(ctx, *node, facts);
            ctx.treeFileArray.push_back(std::move(node));
        } else if (isLookupOnlyDomain(domain)) {
            ctx.treeFileArray.push_back(std::move(node));
        }
    });
    mediaFiles.finish(ctx);
    if (ctx.stopRequested()) return;
    if (!readAll)
        ctx.reportProblem("The backup's file list (Manifest.db) could not be read to its end: " + manifest.problem() +
                          "; the files listed after that point cannot be found.");
    if (badIds > 0)
        ctx.reportProblem("The backup's file list (Manifest.db) has " + count(badIds, "file", "files") +
                          " with an invalid stored name; they were left out.");
    if (badNames > 0)
        ctx.reportProblem("The backup's file list (Manifest.db) has " + count(badNames, "file", "files") +
                          " whose path leads outside its folder; they were left out.");
    if (missing > 0)
        ctx.reportProblem("The backup lists " + count(missing, "file", "files") +
                          " that it does not hold (an interrupted or partial backup); they cannot be recovered.");
    if (linked > 0)
        ctx.reportProblem("The backup holds " + count(linked, "file", "files") + " (" + linkedNames +
                          (linked > 3 ? " and " + std::to_string(linked - 3) + " more" : std::string()) +
                          ") as links, or in folders that are links, which could lead anywhere on the computer; "
                          "links are never followed, so those files cannot be read or recovered.");
    if (undescribed > 0)
        ctx.reportProblem("The backup's file list (Manifest.db) has " + count(undescribed, "file", "files") +
                          " without a readable description; they are listed by name only.");
}

}  // namespace salvor
