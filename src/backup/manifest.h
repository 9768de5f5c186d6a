// The backup's file list ("Manifest.mbdb") and the stored-file name rule.
#pragma once

#include <string>

#include "backup/tree_nodes.h"
#include "core/records.h"

namespace salvor {

class SalvorAppDelegate;

// 40 lower-case hex digits of SHA-1(domain "-" path): the name a file is stored under.
std::string storedFileName(const std::string& domain, const std::string& relativePath);

// Pipeline stage 1: reads the manifest, posts every record for the file tree,
// keeps the records of the six looked-up domains and reports their media.
void scanDirAnalyThread(SalvorAppDelegate& app, const std::string& backupPath);

// Stored-file path of the last kept record whose relative path equals `relativePath`.
Text getFileKeyBytheFilepath(const SalvorAppDelegate& app, const std::string& relativePath);

}  // namespace salvor
