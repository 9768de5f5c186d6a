// The backup's file list ("Manifest.mbdb") and the stored-file name rule.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "core/tree_nodes.h"

namespace salvor {

class ScanContext;

// 40 lower-case hex digits of SHA-1(domain "-" path): the name a file is stored under.
// Empty only if the digest cannot be computed.
std::string storedFileName(const std::string& domain, const std::string& relativePath);

// The same rule for many names in a row: keeps one digest context and one
// scratch buffer, so naming every record of a manifest allocates nothing.
class StoredNameHasher {
public:
    StoredNameHasher();
    ~StoredNameHasher();
    StoredNameHasher(const StoredNameHasher&) = delete;
    StoredNameHasher& operator=(const StoredNameHasher&) = delete;

    // Writes the 40 hex digits (and a terminating NUL) to `out`; false when the digest failed.
    bool name(std::string_view domain, std::string_view relativePath, char (&out)[41]);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The domains whose records are kept for lookups and searched for media
// (camera roll, media, home and three social applications).
bool isKeptDomain(std::string_view domain);
// Manifest text to a record field, for showing: valid UTF-8 is kept as it is,
// each invalid sequence becomes U+FFFD.
std::string manifestText(std::string_view bytes);

// Pipeline stage 1: reads the manifest, posts every record for the file tree,
// keeps the records of the six looked-up domains and reports their media.
void scanBackupFiles(ScanContext& ctx, const std::string& backupPath);

}  // namespace salvor
