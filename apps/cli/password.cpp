// The password of an encrypted backup: from SALVOR_BACKUP_PASSWORD, from a
// file (--password-file, "-" for standard input), from a prompt without echo
// when standard input is a terminal, or a derived key from --key-file. Never
// from the command line itself, which every user of the machine can read.
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>

#include "backup/device_list.h"
#include "cli.h"

namespace salvor::cli {

namespace {

// Moves a text into wiped storage and wipes the text.
crypto::SecretBytes secretOf(std::string& text) {
    crypto::SecretBytes out(crypto::bytesOf(text));
    crypto::cleanse(text.data(), text.size());
    text.clear();
    return out;
}

// The first line of a stream, without its line end.
bool firstLine(std::istream& in, std::string& line) {
    if (!std::getline(in, line) && line.empty()) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

std::optional<std::string> promptPassword(const std::string& what, crypto::SecretBytes& out) {
    struct termios old {};
    if (::tcgetattr(STDIN_FILENO, &old) != 0) return std::string("cannot read the password from the terminal");
    struct termios quiet = old;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    std::fprintf(stderr, "Password of the encrypted backup%s: ", what.c_str());
    std::fflush(stderr);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    std::string line;
    const bool read = firstLine(std::cin, line);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &old);
    std::fputc('\n', stderr);
    if (!read || line.empty()) return std::string("no password was typed");
    out = secretOf(line);
    return std::nullopt;
}

}  // namespace

bool parseSecretOption(const std::vector<std::string>& args, std::size_t& i, SecretOptions& out) {
    const std::string& a = args[i];
    if (i + 1 >= args.size()) return false;
    if (a == "--password-file") out.passwordFile = args[++i];
    else if (a == "--key-file") out.keyFile = args[++i];
    else if (a == "--save-key") out.saveKeyFile = args[++i];
    else return false;
    return true;
}

std::optional<std::string> giveBackupSecret(ScanSession& session, const SecretOptions& options, bool mayPrompt,
                                            const std::string& what) {
    BackupSecret secret;
    if (!options.keyFile.empty()) {
        std::ifstream in(options.keyFile);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in && text.empty()) return "cannot read the key file " + options.keyFile;
        secret.derivedKey = parseDerivedKey(text);
        crypto::cleanse(text.data(), text.size());
        if (secret.derivedKey.empty())
            return "the key file " + options.keyFile + " does not hold a key (64 hexadecimal digits)";
    } else if (!options.passwordFile.empty()) {
        std::string line;
        if (options.passwordFile == "-") {
            if (!firstLine(std::cin, line)) return std::string("no password on the standard input");
        } else {
            std::ifstream in(options.passwordFile);
            if (!in) return "cannot read the password file " + options.passwordFile;
            firstLine(in, line);
        }
        if (line.empty()) return "the password file " + options.passwordFile + " holds no password on its first line";
        secret.password = secretOf(line);
    } else if (const char* env = std::getenv("SALVOR_BACKUP_PASSWORD"); env && *env) {
        std::string text(env);
        secret.password = secretOf(text);
    } else if (mayPrompt && ::isatty(STDIN_FILENO)) {
        if (auto why = promptPassword(what, secret.password)) return why;
    }
    if (!secret.empty()) session.app.setBackupSecret(std::move(secret));
    return std::nullopt;
}

std::optional<std::string> prepareEncryptedScan(ScanSession& session, const std::string& backupDir,
                                                const SecretOptions& options) {
    MVIOSDeviceNode node;
    describeBackupFormat(node, absolutePath(backupDir));
    if (!node.bEncrypted) return std::nullopt;
    if (auto why = giveBackupSecret(session, options, true, " " + absolutePath(backupDir))) return why;
    if (!session.app.hasBackupSecret())
        return std::string(kNeedPassword);
    return std::nullopt;
}

std::optional<std::string> saveDerivedKey(ScanSession& session, const SecretOptions& options) {
    if (options.saveKeyFile.empty()) return std::nullopt;
    const crypto::SecretBytes key = session.app.derivedKey();
    if (key.empty()) return "no key to save: the backup is not encrypted or was not unlocked";
    // Never replaces a file, and only its owner may read it.
    const int fd = ::open(options.saveKeyFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return "cannot create the key file " + options.saveKeyFile + ": " + std::strerror(errno);
    static const char kHex[] = "0123456789abcdef";
    char text[65];
    for (std::size_t i = 0; i < 32; ++i) {
        text[2 * i] = kHex[key.data()[i] >> 4];
        text[2 * i + 1] = kHex[key.data()[i] & 15];
    }
    text[64] = '\n';
    const bool ok = ::write(fd, text, sizeof text) == static_cast<ssize_t>(sizeof text);
    crypto::cleanse(text, sizeof text);
    if (::close(fd) != 0 || !ok) return "cannot write the key file " + options.saveKeyFile;
    return std::nullopt;
}

}  // namespace salvor::cli
