// Encrypted backups through the command, against their plain twins: the same
// scenario and seed forged without a password. Whatever the generation and
// the key derivation, the scan lists the same records, the recovery writes the
// same bytes, and neither the password nor any plaintext is left behind.
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <set>

#include <gtest/gtest.h>

#include "forge/encrypt_backup.h"
#include "forge/forge.h"
#include "support/support.h"

namespace salvor::test {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

const std::string kPassword = "pässwörd-日本";
const std::string kWrong = "salvor: The password is not right for this backup.\n";
const std::string kNoPassword =
    "salvor: This backup is encrypted: give its password in the environment variable SALVOR_BACKUP_PASSWORD, with "
    "--password-file FILE, or type it when asked (run salvor in a terminal).\n";

forge::ForgedBackup forgeBackup(const std::string& store, const std::string& scenario, std::uint64_t seed,
                                std::optional<forge::EncryptionOptions> encryption) {
    forge::ForgeOptions options;
    options.seed = seed;
    options.scenario = scenario;
    options.withEncryptedOnlyData = true;
    options.encryption = std::move(encryption);
    return forge::forgeStore(store, options).at(0);
}

forge::EncryptionOptions quickKeys(bool legacy = false) {
    forge::EncryptionOptions e;
    e.password = kPassword;
    e.kdfIterations = 1000;  // the real count is timed by the benchmark, not here
    e.legacyKdf = legacy;
    return e;
}

// The scan of a backup as JSON, its folder's store replaced by one name.
json scanJson(const std::string& backup, const std::string& store, const std::map<std::string, std::string>& env) {
    const auto r = runSalvor({"scan", backup, "--json"}, {}, env);
    EXPECT_LE(r.exitCode, 1) << r.err;
    std::string out = r.out;
    for (std::size_t at = out.find(store); at != std::string::npos; at = out.find(store, at))
        out.replace(at, store.size(), "STORE");
    json doc = json::parse(out, nullptr, false);
    if (doc.is_object()) doc["backup"].erase("bEncrypted");
    return doc;
}

// Every file below `dir` and its content.
std::map<std::string, std::string> contentsBelow(const std::string& dir) {
    std::map<std::string, std::string> out;
    for (const auto& f : filesBelow(dir)) out[fs::relative(f, dir).string()] = readFile(f);
    return out;
}

bool anyFileHolds(const std::string& dir, const std::string& needle) {
    for (const auto& f : filesBelow(dir))
        if (readFile(f).find(needle) != std::string::npos) return true;
    return false;
}

TEST(EncryptedBackup, EveryGenerationReadsAsItsPlainTwinAndLeavesNoPlaintext) {
    struct Generation {
        const char* scenario;
        bool legacy;
    };
    // One old-format backup of each manifest era, and the modern format with
    // two derivation rounds and with the single round of iOS 10.0-10.1.
    for (const Generation g : {Generation{"ios4", false}, Generation{"ios7", false}, Generation{"ios17-modern", false},
                               Generation{"ios12-modern", true}}) {
        SCOPED_TRACE(std::string(g.scenario) + (g.legacy ? " (single round)" : ""));
        TempDir dir;
        const std::string plainStore = dir / "plain", cryptStore = dir / "crypt", tmp = dir / "tmp", home = dir / "home";
        fs::create_directories(tmp);
        fs::create_directories(home);
        const auto plain = forgeBackup(plainStore, g.scenario, 21, std::nullopt);
        const auto crypt = forgeBackup(cryptStore, g.scenario, 21, quickKeys(g.legacy));
        const auto before = fingerprint(crypt.path);
        const std::map<std::string, std::string> env{
            {"SALVOR_BACKUP_PASSWORD", kPassword}, {"TMPDIR", tmp}, {"HOME", home}};

        const json want = scanJson(plain.path, plainStore, {});
        const json got = scanJson(crypt.path, cryptStore, env);
        ASSERT_TRUE(got.is_object());
        // Compared as text, so that a difference is shown briefly.
        for (auto it = want.begin(); it != want.end(); ++it)
            EXPECT_TRUE(got[it.key()] == it.value()) << it.key() << " differs";
        EXPECT_GT(got["messages"].size(), 0u);

        const auto wrote = runSalvor({"recover", crypt.path, "--all", "--to", dir / "out-crypt"}, {}, env);
        runSalvor({"recover", plain.path, "--all", "--to", dir / "out-plain"});
        const auto mine = contentsBelow(dir / "out-crypt"), theirs = contentsBelow(dir / "out-plain");
        ASSERT_FALSE(mine.empty()) << wrote.err;
        for (const auto& [path, content] : theirs) {
            const auto it = mine.find(path);
            if (it == mine.end()) {
                // Only a file the list holds no key for is missing, and it is said.
                const std::string said = wrote.out + wrote.err;
                EXPECT_NE(said.find(fs::path(path).filename().string() + ": cannot decrypt"), std::string::npos)
                    << path << "\n" << said;
                continue;
            }
            EXPECT_TRUE(it->second == content) << path;
        }
        EXPECT_EQ(mine.size() <= theirs.size(), true);

        // The backup is untouched; no plaintext, key or password is left anywhere.
        EXPECT_EQ(fingerprint(crypt.path), before);
        EXPECT_TRUE(filesBelow(tmp).empty());
        EXPECT_TRUE(fs::is_empty(tmp));
        EXPECT_TRUE(filesBelow(home).empty());
        EXPECT_EQ(wrote.out.find(kPassword), std::string::npos);
        EXPECT_EQ(wrote.err.find(kPassword), std::string::npos);
        EXPECT_FALSE(anyFileHolds(dir / "out-crypt", kPassword));
    }
}

TEST(EncryptedBackup, PasswordSourcesAndRefusals) {
    TempDir dir;
    const auto crypt = forgeBackup(dir / "store", "ios17-modern", 4, quickKeys());
    const std::string work = dir / "work";
    fs::create_directories(work);

    // No password, or a wrong one: one sentence, exit 1, nothing written.
    auto r = runSalvor({"scan", crypt.path, "--json"}, work);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, kNoPassword);
    EXPECT_EQ(r.out, "");
    r = runSalvor({"recover", crypt.path, "--all", "--to", dir / "out"}, work, {{"SALVOR_BACKUP_PASSWORD", "0000"}});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, kWrong);
    EXPECT_FALSE(fs::exists(dir / "out"));
    EXPECT_TRUE(fs::is_empty(work));

    // A password file (its first line), and the key it derives saved for later runs.
    writeFile(dir / "pw.txt", kPassword + "\nnot this line\n");
    r = runSalvor({"scan", crypt.path, "--quiet", "--password-file", dir / "pw.txt", "--save-key", dir / "key.hex"});
    EXPECT_EQ(r.exitCode == 0 || r.exitCode == 1, true) << r.err;
    EXPECT_EQ(r.err.find("password"), std::string::npos) << r.err;
    const std::string key = readFile(dir / "key.hex");
    EXPECT_EQ(key.size(), 65u);
    struct stat st {};
    ASSERT_EQ(::stat((dir / "key.hex").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const auto withPassword = runSalvor({"scan", crypt.path, "--json"}, {}, {{"SALVOR_BACKUP_PASSWORD", kPassword}});
    const auto withKey = runSalvor({"scan", crypt.path, "--json", "--key-file", dir / "key.hex"});
    EXPECT_EQ(withKey.out, withPassword.out);
    EXPECT_GT(withKey.out.size(), 1000u);
    // A key file never replaces a file; a key of the wrong length is refused.
    r = runSalvor({"scan", crypt.path, "--quiet", "--key-file", dir / "key.hex", "--save-key", dir / "key.hex"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(readFile(dir / "key.hex"), key);
    writeFile(dir / "short.hex", key.substr(0, 62));
    r = runSalvor({"scan", crypt.path, "--key-file", dir / "short.hex"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("does not hold a key"), std::string::npos);

    // The password on standard input.
    const std::string command = "printf '%s\\n' '" + kPassword + "' | '" + std::string(SALVOR_CLI_PATH) + "' scan '" +
                                crypt.path + "' --json --password-file - 2>/dev/null";
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
        ::pclose(p);
    }
    EXPECT_EQ(out, withPassword.out);
}

TEST(EncryptedBackup, DamagedFilesAreReportedOneByOneAndTheRestIsRead) {
    TempDir dir;
    forge::EncryptionOptions keys = quickKeys();
    keys.damage = {
        {"HomeDomain", "Library/SMS/sms.db", forge::CipherDamage::BadPadding},
        {"HomeDomain", "Library/AddressBook/AddressBook.sqlitedb", forge::CipherDamage::UnwrappableKey},
        {"HomeDomain", "Library/Calendar/Calendar.sqlitedb", forge::CipherDamage::WrongRecordedSize},
        {"HomeDomain", "Library/Safari/Bookmarks.db", forge::CipherDamage::MissingClassKey},
        {"HomeDomain", "Library/CallHistoryDB/CallHistory.storedata", forge::CipherDamage::UnalignedLength},
    };
    const auto crypt = forgeBackup(dir / "crypt", "ios17-modern", 8, keys);
    const auto plain = forgeBackup(dir / "plain", "ios17-modern", 8, std::nullopt);
    const json want = scanJson(plain.path, dir / "plain", {});
    const auto r = runSalvor({"scan", crypt.path, "--json"}, {}, {{"SALVOR_BACKUP_PASSWORD", kPassword}});
    EXPECT_EQ(r.exitCode, 1);
    const json got = json::parse(r.out, nullptr, false);
    ASSERT_TRUE(got.is_object()) << r.err;
    const std::string problems = got["problems"].dump();
    for (const char* says : {"padding is not valid", "does not unwrap", "protection class", "whole number"})
        EXPECT_NE(problems.find(says), std::string::npos) << says << "\n" << problems;
    // The four damaged databases give nothing, and nothing wrong.
    EXPECT_TRUE(got["messages"].empty());
    EXPECT_TRUE(got["contacts"].empty());
    EXPECT_TRUE(got["calls"].empty());
    // A recorded size that differs costs nothing: the whole database is read.
    EXPECT_EQ(got["calendar"], want["calendar"]);
    EXPECT_EQ(got["notes"], want["notes"]);
    EXPECT_EQ(got["photos"].size(), want["photos"].size());
}

TEST(EncryptedBackup, AStopDuringTheKeyDerivationOrTheRecoveryLeavesNothing) {
    TempDir dir;
    const std::string tmp = dir / "tmp";
    fs::create_directories(tmp);
    // The real derivation count: seconds of work to be stopped in.
    forge::EncryptionOptions real;
    real.password = kPassword;
    const auto crypt = forgeBackup(dir / "store", "ios15-modern", 3, real);
    const std::map<std::string, std::string> env{{"SALVOR_BACKUP_PASSWORD", kPassword}, {"TMPDIR", tmp}};
    {
        RunningSalvor scan({"scan", crypt.path, "--json"}, env);
        ::usleep(300 * 1000);
        ::kill(scan.pid(), SIGINT);
        const auto r = scan.wait();
        EXPECT_EQ(r.exitCode, 130) << r.err;
        EXPECT_TRUE(fs::is_empty(tmp));
    }
    {
        // The recovery is stopped in a backup that unlocks at once.
        const auto quick = forgeBackup(dir / "quick", "ios15-modern", 3, quickKeys());
        RunningSalvor recover({"recover", quick.path, "--all", "--to", dir / "out"}, env);
        // Stopped once the recovery has begun to write.
        waitFor([&] { return !filesBelow(dir / "out").empty(); });
        ::kill(recover.pid(), SIGINT);
        const auto r = recover.wait();
        EXPECT_TRUE(r.exitCode == 130 || r.exitCode == 0) << r.err;
        EXPECT_TRUE(fs::is_empty(tmp));
        EXPECT_FALSE(anyFileHolds(dir / "out", kPassword));
    }
}

}  // namespace
}  // namespace salvor::test
