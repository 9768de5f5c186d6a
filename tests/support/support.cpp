#include "support/support.h"

#include <fcntl.h>
#include <iconv.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <random>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>
#include <openssl/sha.h>

extern char** environ;

namespace salvor::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "salvor-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    // Tests may leave read-only folders behind; make them writable before removing.
    for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (it->is_directory(ec)) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

bool waitFor(const std::function<bool()>& ready) {
    for (int i = 0; i < 60000; ++i) {
        if (ready()) return true;
        usleep(1000);
    }
    return ready();
}

std::vector<std::string> filesBelow(const std::string& dir) {
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        std::error_code typeEc;
        if (it->is_regular_file(typeEc)) out.push_back(it->path().string());
    }
    return out;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::uint8_t> readBytes(const std::string& path) {
    const std::string s = readFile(path);
    return {s.begin(), s.end()};
}

void writeFile(const std::string& path, const std::string& content) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

nlohmann::json readJson(const std::string& path) { return nlohmann::json::parse(readFile(path)); }

std::string sha1Hex(const std::vector<std::uint8_t>& bytes) {
    unsigned char d[SHA_DIGEST_LENGTH];
    SHA1(bytes.data(), bytes.size(), d);
    std::ostringstream hex;
    for (unsigned char c : d) hex << std::hex << std::setw(2) << std::setfill('0') << static_cast<int>(c);
    return hex.str();
}

RunningSalvor::RunningSalvor(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
                             const std::string& workDir) {
    const std::string outPath = io_ / "stdout";
    const std::string errPath = io_ / "stderr";
    std::vector<std::string> argvStore{SALVOR_CLI_PATH};
    argvStore.insert(argvStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argvStore) argv.push_back(a.data());
    argv.push_back(nullptr);

    std::map<std::string, std::string> merged;
    for (char** e = environ; *e; ++e) {
        std::string kv(*e);
        const auto eq = kv.find('=');
        if (eq != std::string::npos) merged[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    for (const auto& [k, v] : env) merged[k] = v;
    std::vector<std::string> envStore;
    for (const auto& [k, v] : merged) envStore.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (!workDir.empty()) posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) == 0) pid_ = pid;
    posix_spawn_file_actions_destroy(&actions);
}

RunningSalvor::~RunningSalvor() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

CommandResult RunningSalvor::wait() {
    CommandResult r;
    if (pid_ > 0) {
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        r.signalled = WIFSIGNALED(status);
        r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    r.out = readFile(io_ / "stdout");
    r.err = readFile(io_ / "stderr");
    return r;
}

CommandResult runSalvor(const std::vector<std::string>& args, const std::string& workDir,
                        const std::map<std::string, std::string>& env) {
    return RunningSalvor(args, env, workDir).wait();
}

std::string fromUtf16(std::string bytes) {
    std::string out(bytes.size() * 2, '\0');
    iconv_t cd = ::iconv_open("UTF-8", "UTF-16");
    char *in = bytes.data(), *to = out.data();
    std::size_t inLeft = bytes.size(), outLeft = out.size();
    EXPECT_NE(::iconv(cd, &in, &inLeft, &to, &outLeft), static_cast<std::size_t>(-1));
    ::iconv_close(cd);
    out.resize(out.size() - outLeft);
    return out;
}

std::string htmlEscaped(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

forge::ForgedBackup forgeOne(const TempDir& dir, const std::string& scenario, std::uint64_t seed) {
    forge::ForgeOptions options;
    options.seed = seed;
    options.scenario = scenario;
    const auto backups = forge::forgeStore(dir / "store", options);
    if (backups.size() != 1) throw std::runtime_error("scenario " + scenario + " does not make one backup");
    return backups.front();
}

void expectListMatchesTruth(const nlohmann::json& all, const nlohmann::json& want, const std::string& backup,
                            const std::string& what) {
    // Carved records are judged against the deleted rows elsewhere; a live
    // record wrongly marked deleted still shows here as a missing one.
    nlohmann::json got = nlohmann::json::array();
    for (const auto& r : all)
        if (r.value("bDeleted", 0) != 1 && r.value("bdeleted", 0) != 1) got.push_back(r);
    ASSERT_EQ(got.size(), want.size()) << what;
    for (std::size_t i = 0; i < want.size(); ++i) {
        nlohmann::json expected = want[i];
        for (const char* k : {"attachmentPath", "filePath", "faceTwitterFilePath", "livePhotoVideoPath"})
            if (expected.contains(k) && expected[k].is_string())
                expected[k] = backup + "/" + expected[k].get<std::string>();
        for (auto it = expected.begin(); it != expected.end(); ++it) {
            if (it.key() == "members" || it.key() == "deletedMembers" || it.key() == "factory") continue;
            ASSERT_TRUE(got[i].contains(it.key())) << what << "[" << i << "]: no field " << it.key();
            EXPECT_EQ(got[i][it.key()], it.value()) << what << "[" << i << "]." << it.key();
        }
    }
}

nlohmann::json withDeletedFlag(const nlohmann::json& list, bool deleted, const char* flag) {
    nlohmann::json out = nlohmann::json::array();
    for (const auto& record : list)
        if ((record.value(flag, 0) != 0) == deleted) out.push_back(record);
    return out;
}

void expectDeletedMessagesMatchTruth(const nlohmann::json& scan, const nlohmann::json& truth) {
    using Key = std::tuple<std::string, std::string, std::string>;
    auto str = [](const nlohmann::json& v) { return v.is_string() ? v.get<std::string>() : std::string(); };
    std::set<Key> deleted, known;
    for (const auto& row : truth["messages"]["deleted"]) {
        // A thread deleted with its handle may have lost its address from the file too.
        const std::string address = row.value("addressRecoverable", true) ? str(row["address"]) : "Unknown";
        const Key key{address, str(row["text"]), str(row["dateText"])};
        known.insert(key);
        if (row.value("complete", false)) deleted.insert(key);
    }
    for (const auto& row : truth["messages"]["stale"])
        known.insert({str(row["address"]), str(row["text"]), str(row["dateText"])});
    std::set<Key> got;
    // The store lists the first carved message of an address and files the
    // rest under its conversation: the conversations hold them all.
    for (const auto& conversation : withDeletedFlag(scan["conversations"], true, "bdeleted"))
        for (const auto& m : conversation["MessageNodeArray"]) {
            const Key key{str(m["messagePhone"]), str(m["messageContent"]), str(m["messageDate"])};
            EXPECT_TRUE(known.count(key)) << "carved message not in the truth: " << m.dump();
            got.insert(key);
        }
    for (const Key& key : deleted)
        EXPECT_TRUE(got.count(key)) << "deleted message not carved: " << std::get<1>(key) << " from " << std::get<0>(key);
}

std::map<std::string, FileFingerprint> fingerprint(const std::string& dir) {
    std::map<std::string, FileFingerprint> out;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        if (!e.is_regular_file()) continue;
        struct stat st {};
        stat(e.path().c_str(), &st);
        FileFingerprint f;
        f.sha1 = sha1Hex(readBytes(e.path().string()));
        f.mtimeNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
        out[fs::relative(e.path(), dir).string()] = f;
    }
    return out;
}

Timestamp dateAt(const std::string& listed) {
    unsigned month = 0, day = 0, hour = 0, minute = 0;
    int year = 0;
    char end = 0;
    const bool read = std::sscanf(listed.c_str(), "%2u-%2u-%4d %2u:%2u%c", &month, &day, &year, &hour, &minute, &end) == 5;
    const std::chrono::year_month_day ymd{std::chrono::year(year), std::chrono::month(month), std::chrono::day(day)};
    EXPECT_TRUE(read && ymd.ok() && hour < 24 && minute < 60) << "not a listed date: " << listed;
    return std::chrono::sys_days(ymd) + std::chrono::hours(hour) + std::chrono::minutes(minute);
}

}  // namespace salvor::test
