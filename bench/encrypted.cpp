// Encrypted backups: the cost of opening one and of decrypting its files.
//
// 1. The key derivation of a keybag with the real counts (10,000,000 rounds
//    of PBKDF2-HMAC-SHA256, then 10,000 of PBKDF2-HMAC-SHA1), as a scan of a
//    backup made by a phone runs it once.
// 2. The recovery of every photo and video of an encrypted camera roll of the
//    given size, beside `openssl enc -d -aes-256-cbc` decrypting the same
//    stored files with the same keys into files of the same folder: both
//    times, their ratio, and the recovery's peak memory above its start.
//
// Usage: bench_encrypted [media size, e.g. 2G or 256M; default 2G] [work folder]

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

#include "backup/backup_unlock.h"
#include "engine/scan_session.h"
#include "forge/forge.h"
#include "peak_memory.h"
#include "size_argument.h"

namespace fs = std::filesystem;
using namespace salvor;

namespace {


double since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string hex(std::span<const std::uint8_t> bytes) {
    static const char* d = "0123456789abcdef";
    std::string s;
    for (auto b : bytes) s += {d[b >> 4], d[b & 15]};
    return s;
}

BackupSecret passwordSecret(const std::string& password) {
    BackupSecret s;
    s.password = crypto::SecretBytes(crypto::bytesOf(password));
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t mediaBytes = argc > 1 ? bench_args::parseSize(argv[1]) : (2ULL << 30);
    const fs::path work = argc > 2 ? fs::path(argv[2]) : fs::temp_directory_path() / "salvor-bench-encrypted";
    if (mediaBytes == 0) {
        std::cerr << "usage: bench_encrypted [media size, e.g. 2G or 256M] [work folder]\n";
        return 2;
    }
    fs::remove_all(work);
    fs::create_directories(work);

    // ---- 1. the derivation with the real counts ----
    {
        forge::ForgeOptions options;
        options.scenario = "ios16-encrypted";  // password "salvor", real counts
        const auto backup = forge::forgeStore((work / "real").string(), options).at(0);
        const auto start = std::chrono::steady_clock::now();
        const UnlockResult unlocked = unlockBackup(backup.path, passwordSecret("salvor"));
        const double took = since(start);
        if (unlocked.status != UnlockResult::Status::ok) {
            std::cerr << "the forged backup did not unlock: " << unlocked.message << "\n";
            return 1;
        }
        std::printf("key derivation (DPIC 10,000,000 + ITER 10,000) and unwrap of 11 class keys: %.2f s\n", took);
    }

    // ---- 2. decryption of a camera roll ----
    forge::ForgeOptions options;
    options.scenario = "bench-media";
    options.mediaBytes = mediaBytes;
    options.encryption = forge::EncryptionOptions{};
    options.encryption->kdfIterations = 1000;  // timed above
    const auto backup = forge::forgeStore((work / "store").string(), options).at(0);

    ScanSession session;
    session.app.setBackupSecret(passwordSecret("salvor"));
    if (auto problem = session.run(backup.path)) {
        std::cerr << "scan failed: " << *problem << "\n";
        return 1;
    }
    std::uint64_t bytes = 0;
    std::vector<std::string> stored;
    for (const auto& photo : session.store.photos()) {
        photo->bSelected = 1;
        bytes += photo->fileSizeNumber;
        stored.push_back(textOrEmpty(photo->filePath));
    }
    const fs::path ours = work / "ours", theirs = work / "openssl";
    ::sync();
    auto start = std::chrono::steady_clock::now();
    long peakKiB = bench_memory::peakGrowthKiB([&] { session.recovery.run(session.recovery.source(), ours.string(), {}); });
    const double oursSeconds = since(start);

    // The same files through the openssl command, each with its own key.
    fs::create_directories(theirs);
    const auto cipher = session.app.scanContext()->cipher;
    ::sync();
    start = std::chrono::steady_clock::now();
    std::size_t n = 0;
    for (const std::string& path : stored) {
        const auto entry = cipher->fileEntry(BackupCipher::storedNameOf(path));
        std::string why;
        const auto key = entry ? cipher->unwrapFileKey(crypto::bytesOf(entry->wrappedKey), why) : std::nullopt;
        if (!key || !fs::is_regular_file(path)) continue;
        const std::string keyHex = hex(key->view()), out = (theirs / std::to_string(n++)).string();
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::execlp("openssl", "openssl", "enc", "-d", "-aes-256-cbc", "-K", keyHex.c_str(), "-iv",
                     "00000000000000000000000000000000", "-in", path.c_str(), "-out", out.c_str(),
                     static_cast<char*>(nullptr));
            ::_exit(127);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
    const double opensslSeconds = since(start);

    const double mb = static_cast<double>(bytes) / 1e6;
    std::printf("media: %zu files, %.0f MB\n", stored.size(), mb);
    std::printf("recovery with decryption: %.2f s (%.0f MB/s), peak memory +%.1f MiB\n", oursSeconds,
                mb / oursSeconds, static_cast<double>(peakKiB) / 1024.0);
    std::printf("openssl enc -d, same files: %.2f s (%.0f MB/s)\n", opensslSeconds, mb / opensslSeconds);
    std::printf("ratio: %.2fx\n", oursSeconds / opensslSeconds);
    fs::remove_all(work);
    return 0;
}
