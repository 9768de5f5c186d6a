// Helpers shared by the tests: temporary folders, running the salvor command,
// reading files and truth documents, fingerprints of a folder.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/records.h"
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
    int exitCode = -1;       // 128 + the signal when one ended the command
    bool signalled = false;
    std::string out;
    std::string err;
};

// Runs the built salvor command with `args` (no shell), in `workDir` when given.
CommandResult runSalvor(const std::vector<std::string>& args, const std::string& workDir = {},
                        const std::map<std::string, std::string>& env = {});

// The salvor command started in the background, to be signalled while it works.
class RunningSalvor {
public:
    RunningSalvor(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {},
                  const std::string& workDir = {});
    ~RunningSalvor();  // a command still running is killed
    int pid() const { return pid_; }
    CommandResult wait();

private:
    TempDir io_;
    int pid_ = -1;
};

// Polls `ready` every millisecond for up to a minute; whether it came true.
bool waitFor(const std::function<bool()>& ready);
// Regular files below `dir` (none when it does not exist), tolerating a tree
// that changes while it is walked.
std::vector<std::string> filesBelow(const std::string& dir);

std::string readFile(const std::string& path);
std::vector<std::uint8_t> readBytes(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
nlohmann::json readJson(const std::string& path);
std::string sha1Hex(const std::vector<std::uint8_t>& bytes);
// A text as the conversation pages write it: < > & " ' as entities.
std::string htmlEscaped(const std::string& text);
// A page as written (UTF-16 with a byte-order mark) as UTF-8.
std::string fromUtf16(std::string bytes);

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

// The records of a scanned list whose deletion flag (`flag`) is `deleted`:
// live records and carved ones are compared with different truths.
nlohmann::json withDeletedFlag(const nlohmann::json& list, bool deleted, const char* flag = "bDeleted");

// The carved messages of a scan (its deleted conversations) against the
// forge's truth: every complete deleted row comes back with its text,
// address and date, and every other carved message is a deleted row or the
// older version of an edited one.
void expectDeletedMessagesMatchTruth(const nlohmann::json& scan, const nlohmann::json& truth);

// The moment a listed date ("MM-DD-YYYY HH:MM") names, read as UTC (the
// tests' zone); fails the test on any other text.
Timestamp dateAt(const std::string& listed);

}  // namespace salvor::test
