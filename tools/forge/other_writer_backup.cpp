#include "forge/other_writer_backup.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "forge/forge.h"

namespace salvor::forge {

namespace {

std::string quoted(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

}  // namespace

OtherWriterBackup forgeOtherWriterBackup(const std::string& dir, std::uint64_t seed, int iosMajor,
                                         const std::string& script, const std::string& schemas) {
    namespace fs = std::filesystem;
    ForgeOptions options;
    options.seed = seed;
    options.scenario = iosMajor >= 7 ? "ios7" : "ios6";
    const auto backups = forgeStore(dir + "/store", options);
    if (backups.empty()) throw std::runtime_error("the forge wrote no backup");
    const std::string written = dir + "/other";
    const std::string command = "python3 " + quoted(script) + " --seed " + std::to_string(seed) + " --ios " +
                                std::to_string(iosMajor) + " --schemas " + quoted(schemas) + " --out " + quoted(written);
    if (std::system(command.c_str()) != 0) throw std::runtime_error("the second writer failed: " + command);

    // Each database under the stored name the forge gave it; the call history
    // lives in the home domain on iOS 4 and the wireless domain later.
    struct Replaced {
        const char* file;
        std::vector<std::pair<const char*, const char*>> places;
    };
    const std::vector<Replaced> files = {
        {"AddressBook.sqlitedb", {{"HomeDomain", "Library/AddressBook/AddressBook.sqlitedb"}}},
        {"sms.db", {{"HomeDomain", "Library/SMS/sms.db"}}},
        {"call_history.db",
         {{"WirelessDomain", "Library/CallHistory/call_history.db"}, {"HomeDomain", "Library/CallHistory/call_history.db"}}},
        {"notes.sqlite", {{"HomeDomain", "Library/Notes/notes.sqlite"}}},
    };
    const std::string backup = backups.front().path;
    for (const Replaced& r : files) {
        bool done = false;
        for (const auto& [domain, path] : r.places) {
            const fs::path target = fs::path(backup) / storedName(domain, path);
            if (!fs::exists(target)) continue;
            fs::copy_file(fs::path(written) / r.file, target, fs::copy_options::overwrite_existing);
            // A write-ahead log the forge kept beside its file would be folded
            // into the new one: it is emptied, which SQLite ignores.
            const fs::path log = fs::path(backup) / storedName(domain, std::string(path) + "-wal");
            if (fs::exists(log)) std::ofstream(log, std::ios::trunc);
            done = true;
            break;
        }
        if (!done) throw std::runtime_error(std::string("the forged backup holds no ") + r.file);
    }
    std::ifstream in(written + "/truth.json");
    return {backup, nlohmann::json::parse(in)};
}

}  // namespace salvor::forge
