#include "backup/manifest.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <string_view>

#include "backup/device_list.h"
#include "backup/manifest_db.h"
#include "backup/mbdb_reader.h"
#include "backup/media.h"
#include "core/scan_context.h"
#include "core/helpers.h"
#include "platform/log.h"

namespace salvor {

// ---- stored-file names --------------------------------------------------------

struct StoredNameHasher::Impl {
    EVP_MD* md = nullptr;
    EVP_MD_CTX* ctx = nullptr;
};

StoredNameHasher::StoredNameHasher() : impl_(std::make_unique<Impl>()) {
    // Fetched once: looking the algorithm up per digest costs more than the digest.
    impl_->md = EVP_MD_fetch(nullptr, "SHA1", nullptr);
    impl_->ctx = EVP_MD_CTX_new();
}

StoredNameHasher::~StoredNameHasher() {
    EVP_MD_CTX_free(impl_->ctx);
    EVP_MD_free(impl_->md);
}

bool StoredNameHasher::name(std::string_view domain, std::string_view relativePath, char (&out)[41]) {
    out[0] = '\0';
    if (!impl_->md || !impl_->ctx) return false;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_DigestInit_ex2(impl_->ctx, impl_->md, nullptr) != 1 ||
        EVP_DigestUpdate(impl_->ctx, domain.data(), domain.size()) != 1 ||
        EVP_DigestUpdate(impl_->ctx, "-", 1) != 1 ||
        EVP_DigestUpdate(impl_->ctx, relativePath.data(), relativePath.size()) != 1 ||
        EVP_DigestFinal_ex(impl_->ctx, digest, &len) != 1 || len != 20)
        return false;
    static constexpr char kHex[] = "0123456789abcdef";
    for (unsigned i = 0; i < 20; ++i) {
        out[2 * i] = kHex[digest[i] >> 4];
        out[2 * i + 1] = kHex[digest[i] & 0x0F];
    }
    out[40] = '\0';
    return true;
}

std::string storedFileName(const std::string& domain, const std::string& relativePath) {
    StoredNameHasher hasher;
    char hex[41];
    if (!hasher.name(domain, relativePath, hex)) return {};
    return std::string(hex, 40);
}

// ---- the manifest stage ---------------------------------------------------------

namespace {

constexpr std::array<std::string_view, 6> kKeptDomains = {
    "CameraRollDomain", "MediaDomain", "HomeDomain", "AppDomain-com.facebook.Facebook",
    "AppDomain-com.facebook.Messenger", "AppDomain-com.atebits.Tweetie2"};

}  // namespace

bool isKeptDomain(std::string_view domain) {
    return std::find(kKeptDomains.begin(), kKeptDomains.end(), domain) != kKeptDomains.end();
}

// Plain ASCII (nearly every record) needs no decoding. The stored name is
// hashed from the raw bytes.
std::string manifestText(std::string_view bytes) {
    const bool ascii = std::all_of(bytes.begin(), bytes.end(), [](char c) { return (c & 0x80) == 0; });
    return ascii ? std::string(bytes) : GetStringFormChar(std::string(bytes).c_str());
}

void scanBackupFiles(ScanContext& ctx, const std::string& backupPath) {

    // Decided by the files present, as the backup list does: iOS 10.0 and
    // 10.1 already wrote Manifest.db, so a version number would mislead.
    if (detectBackupFormat(backupPath) == BackupFormat::ManifestDb) {
        scanManifestDb(ctx, backupPath);
        return;
    }

    MbdbReader reader;
    const std::string manifestPath = backupPath + "/Manifest.mbdb";
    std::error_code linkCheck;
    if (std::filesystem::is_symlink(std::filesystem::symlink_status(manifestPath, linkCheck))) {
        ctx.reportProblem("The backup's file list (Manifest.mbdb) is a link to another file, which is never "
                          "followed, so its photos, videos, app files and file tree cannot be found.");
        return;
    }
    if (!reader.open(manifestPath)) {
        std::error_code ec;
        if (!std::filesystem::exists(std::filesystem::symlink_status(manifestPath, ec)))
            ctx.reportProblem("The backup has no file list (Manifest.mbdb), so its photos, videos, app files and "
                              "file tree cannot be found.");
        else
            ctx.reportProblem(std::string("The backup's file list (Manifest.mbdb) cannot be read (") +
                              FileImage::describe(reader.openStatus()) +
                              "), so its photos, videos, app files and file tree cannot be found.");
        return;
    }
    if (!reader.readMagic()) {
        ctx.reportProblem(reader.size() == 0
                              ? "The backup's file list (Manifest.mbdb) is empty, so its photos, videos, app files "
                                "and file tree cannot be found."
                              : "The backup's file list (Manifest.mbdb) is damaged (it does not start as one "
                                "does), so its photos, videos, app files and file tree cannot be found.");
        return;
    }
    const std::uint64_t size = reader.size();
    std::size_t listed = 0;

    StoredNameHasher hasher;
    MbdbRecord record;
    char hex[41];
    // Every record's stored path shares this one text of the folder; the
    // records' domains and folders are shared too.
    const auto folder = std::make_shared<const std::string>(backupPath);
    TextPool texts;
    MediaList mediaFiles;
    while (!ctx.stopRequested() && reader.next(record)) {
        auto node = std::make_shared<MVTreeDirNode>();
        // Texts are taken whole: a stored name made from a shortened path would
        // point at no file, and that file would be lost to the scan.
        if (!record.domain.empty()) node->fileDomain = texts.text(manifestText(record.domain));
        if (!record.path.empty()) node->filePath = texts.path(manifestText(record.path));
        node->fileMode = record.mode;
        if (hasher.name(record.domain, record.path, hex)) {
            node->fileKey = StoredPath(folder, std::string_view(hex, 40));
            // An encrypted backup keeps each file's key in its record.
            if (ctx.cipher && !record.encryptionKey.empty()) {
                ctx.cipher->addFile(std::string_view(hex, 40), record.encryptionKey, record.size);
                node->contentSize = record.size;
            }
        } else {
            log::line("AnalyzerFile hash1 could not compute message digest.");
        }

        ctx.sink.backupFile(node);
        ++listed;

        if (isKeptDomain(textOrEmpty(node->fileDomain))) {
            if (!ctx.bIOSRecoveryMode && size > 0)
                ctx.sink.progress(static_cast<int>(reader.position() * 20 / size));
            mediaFiles.add(ctx, *node);
            ctx.treeFileArray.push_back(std::move(node));
        }
    }
    mediaFiles.finish(ctx);
    if (!ctx.stopRequested() && !reader.complete())
        ctx.reportProblem("The backup's file list (Manifest.mbdb) is damaged: it breaks off after " +
                          std::to_string(listed) + (listed == 1 ? " file" : " files") +
                          ", so the files listed after that point cannot be found.");
}

}  // namespace salvor
