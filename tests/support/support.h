// Helpers shared by the tests: temporary folders, running the salvor command,
// reading files and truth documents, fingerprints of a folder.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "forge/forge.h"

namespace salvor::test {

// A fresh private folder, removed (with its contents) when the object dies.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

struct CommandResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs the built salvor command with `args` (no shell), in `workDir` when given.
CommandResult runSalvor(const std::vector<std::string>& args, const std::string& workDir = {},
                        const std::map<std::string, std::string>& env = {});

std::string readFile(const std::string& path);
std::vector<std::uint8_t> readBytes(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
nlohmann::json readJson(const std::string& path);
std::string sha1Hex(const std::vector<std::uint8_t>& bytes);

// Every regular file below `dir` (relative path → content SHA-1 and mtime in ns).
struct FileFingerprint {
    std::string sha1;
    std::int64_t mtimeNs = 0;
    bool operator==(const FileFingerprint&) const = default;
};
std::map<std::string, FileFingerprint> fingerprint(const std::string& dir);

// Forges a store with one backup of `scenario` into `dir`/store and returns that backup.
forge::ForgedBackup forgeOne(const TempDir& dir, const std::string& scenario, std::uint64_t seed);

// Compares a list from `salvor scan --json` with the forge's expected list,
// record by record and field by field. Expected paths inside the backup are
// relative to the folder; the forge's own annotations are not record fields.
void expectListMatchesTruth(const nlohmann::json& got, const nlohmann::json& want, const std::string& backup,
                            const std::string& what);

}  // namespace salvor::test
