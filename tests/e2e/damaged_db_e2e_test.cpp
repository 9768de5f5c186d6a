// `salvor scan` on forged backups whose category databases were damaged after
// forging: the scan ends within a time and memory limit, the damaged category
// keeps every row it can read, and every other category still matches the
// forge's truth field by field.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#include "forge/forge.h"
#include "support/support.h"

namespace salvor::test {
namespace {

using nlohmann::json;

constexpr const char* kSms = "3d0d7e5fb2ce288813306e4d4636395e047a3d28";
constexpr const char* kCalls = "2b2b0084a1bc3a5ac8c27afdf14afb42c61a19ca";
constexpr const char* kNotes = "ca3bc056d4da0bbf88b5fb3be254f3b7147e639c";

// Runs `salvor scan <backup> --json` with at most `seconds` of time and 3 GiB
// of address space; a scan that does not end is killed and reported as such.
CommandResult scanWithin(const std::string& backup, int seconds) {
    TempDir io;
    const std::string outPath = io / "stdout";
    const std::string errPath = io / "stderr";
    std::string cli = SALVOR_CLI_PATH, scan = "scan", json = "--json", path = backup;
    char* argv[] = {cli.data(), scan.data(), path.data(), json.data(), nullptr};
    const pid_t pid = fork();
    if (pid == 0) {  // only async-signal-safe calls until exec
#if !defined(__SANITIZE_ADDRESS__)
        // AddressSanitizer reserves terabytes of address space for its shadow
        // memory, so the memory bound is checked by the normal build only.
        const rlimit memory{3ULL << 30, 3ULL << 30};
        setrlimit(RLIMIT_AS, &memory);
#endif
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0) _exit(126);
        execv(argv[0], argv);
        _exit(127);
    }
    CommandResult r;
    if (pid < 0) return r;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            r.err = "killed after " + std::to_string(seconds) + " s\n";
            r.exitCode = -2;
            return r;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = readFile(outPath);
    r.err = readFile(errPath);
    return r;
}

TEST(DamagedBackups, ScanEndsAndKeepsWhatItCanRead) {
    // Messages whose address cannot be read: everything but the address, and
    // what the address would have found (name, picture) stays as forged.
    const auto withoutAddresses = [](json messages) {
        for (json& m : messages) {
            m["messagePhone"] = "";
            m["messageName"] = nullptr;
            if (m["attachType"] != "Contact" && m["attachType"] != "Location") m["contactImageData"] = nullptr;
        }
        return messages;
    };
    struct Case {
        const char* what;
        const char* stored;
        std::function<void(const std::string&)> damage;
        const char* category;                    // the damaged one
        std::function<json(const json&)> expect;  // its records, from the forged ones
    };
    const Case cases[] = {
        {"handle page", kSms, [](const std::string& p) { forge::damageTablePage(p, "handle"); }, "messages",
         withoutAddresses},
        {"endless view for call", kCalls,
         [](const std::string& p) {
             forge::replaceWithEndlessView(p, "call", {"ROWID", "address", "date", "duration", "flags"});
         },
         "calls", [](const json&) { return json::array(); }},
        {"note body page", kNotes, [](const std::string& p) { forge::damageTablePage(p, "ZNOTEBODY"); }, "notes",
         [](json notes) {
             for (json& n : notes) n["noteContent"] = "";
             return notes;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const auto b = forgeOne(dir, "ios6", 41);
        c.damage(b.path + "/" + c.stored);
        const json truth = readJson(b.truthPath);

        const auto r = scanWithin(b.path, 120);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const json scan = json::parse(r.out);
        for (const char* category : {"contacts", "messages", "calls", "notes", "bookmarks", "calendar"}) {
            const json& live = truth[category]["live"];
            // Carved messages are listed after the live ones; the live records are compared here.
            const json got = std::string(category) == "messages" ? withDeletedFlag(scan[category], false) : scan[category];
            if (std::string(category) == c.category)
                expectListMatchesTruth(got, c.expect(live), b.path, category);
            else
                expectListMatchesTruth(got, live, b.path, category);
        }
        // The carving reads the file's bytes, not its tables: a damaged page
        // elsewhere costs it nothing.
        if (std::string(c.stored) != kSms) expectDeletedMessagesMatchTruth(scan, truth);
    }
}

}  // namespace
}  // namespace salvor::test
