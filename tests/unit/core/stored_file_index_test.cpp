// Whether stored files are there, answered from one listing per folder, and
// stored paths held as a shared folder and a compact name.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "core/stored_file.h"
#include "core/stored_path.h"
#include "support/support.h"

namespace salvor {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using Presence = StoredFileIndex::Presence;

const std::string kHeld = "3d0d7e5fb2ce288813306e4d4636395e047a3d28";
const std::string kOther = "3d11111111111111111111111111111111111111";

std::string missingName(int i) {
    char name[41];
    std::snprintf(name, sizeof name, "3d%038d", i);
    return name;
}

TEST(StoredFileIndex, TwoDigitFoldersAreListedOnceAndOnlyHeldFilesAreLookedAt) {
    TempDir t;
    const std::string backup = t / "backup";
    fs::create_directories(backup + "/3d");
    test::writeFile(backup + "/3d/" + kHeld, "12345");
    fs::create_symlink(backup + "/3d/" + kHeld, backup + "/3d/" + kOther);
    fs::create_directories(backup + "/3d/" + missingName(7));  // a folder where a file should be

    StoredFileIndex index;
    std::uint64_t size = 0;
    EXPECT_EQ(index.presence(backup + "/3d/" + kHeld, &size), Presence::Held);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(index.presence(backup + "/3d/" + kOther), Presence::Linked);
    EXPECT_EQ(index.presence(backup + "/3d/" + missingName(7)), Presence::Missing);
    for (int i = 0; i < 1000; ++i) EXPECT_EQ(index.presence(backup + "/3d/" + missingName(i + 100)), Presence::Missing);
    // Names are compared byte for byte: the same digits in upper case are another file.
    std::string upper = kHeld;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(index.presence(backup + "/3d/" + upper), Presence::Missing);
    // A two-digit folder that is not there, or is a file, holds nothing.
    test::writeFile(backup + "/ab", "not a folder");
    EXPECT_EQ(index.presence(backup + "/ab/ab" + kHeld.substr(2)), Presence::Missing);
    EXPECT_EQ(index.presence(backup + "/cd/cd" + kHeld.substr(2)), Presence::Missing);

    EXPECT_EQ(index.foldersListed(), 1u);  // "3d"; "ab" and "cd" cannot be listed and hold nothing
    EXPECT_EQ(index.filesLookedAt(), 1u);  // the held file, for its size
    // Asked without a size, a held file costs nothing more.
    EXPECT_EQ(index.presence(backup + "/3d/" + kHeld), Presence::Held);
    EXPECT_EQ(index.filesLookedAt(), 1u);
}

TEST(StoredFileIndex, AFolderThatIsALinkHoldsNothingOfTheBackup) {
    TempDir t;
    const std::string elsewhere = t / "elsewhere", backup = t / "backup";
    fs::create_directories(elsewhere + "/3d");
    test::writeFile(elsewhere + "/3d/" + kHeld, "planted");
    test::writeFile(elsewhere + "/" + kHeld, "planted");
    fs::create_directories(backup);
    fs::create_symlink(elsewhere + "/3d", backup + "/3d");
    fs::create_symlink(elsewhere, t / "linked-backup");

    StoredFileIndex index;
    EXPECT_EQ(index.presence(backup + "/3d/" + kHeld), Presence::Linked);
    // The older layout keeps files in the backup folder itself.
    EXPECT_EQ(index.presence(t / ("linked-backup/" + kHeld)), Presence::Linked);
    EXPECT_EQ(index.presence(elsewhere + "/" + kHeld), Presence::Held);
}

TEST(StoredFileIndex, AListingIsTheFolderAsItWasWhenFirstAsked) {
    TempDir t;
    const std::string folder = t / "backup";
    fs::create_directories(folder);
    StoredFileIndex first;
    EXPECT_EQ(first.presence(folder + "/" + kHeld), Presence::Missing);
    test::writeFile(folder + "/" + kHeld, "late");
    EXPECT_EQ(first.presence(folder + "/" + kHeld), Presence::Missing);
    StoredFileIndex later;  // the next scan sees it
    std::uint64_t size = 0;
    EXPECT_EQ(later.presence(folder + "/" + kHeld, &size), Presence::Held);
    EXPECT_EQ(size, 4u);
    // Removed after listing: looked at for its size, it is not there.
    fs::remove(folder + "/" + kHeld);
    EXPECT_EQ(later.presence(folder + "/" + kHeld, &size), Presence::Missing);
}

TEST(StoredPath, ACompactPathReadsAsTheTextItStandsFor) {
    const auto folder = std::make_shared<const std::string>("/backups/x/3d");
    const StoredPath compact(folder, kHeld);
    EXPECT_TRUE(compact.compact());
    EXPECT_EQ(*compact, "/backups/x/3d/" + kHeld);
    EXPECT_EQ(compact.name(), kHeld);
    EXPECT_TRUE(compact == "/backups/x/3d/" + kHeld);
    EXPECT_FALSE(compact == "/backups/x/3d/" + kOther);
    EXPECT_FALSE(compact == "/backups/x/3e/" + kHeld);
    EXPECT_FALSE(compact == "/backups/x/3d/" + kHeld + "0");
    EXPECT_TRUE(compact == StoredPath("/backups/x/3d/" + kHeld));  // whole and compact compare by text
    char scratch[40];
    const auto [at, name] = compact.parts(scratch);
    EXPECT_EQ(at, "/backups/x/3d");
    EXPECT_EQ(name, kHeld);
    const std::optional<std::string> text = compact;
    EXPECT_EQ(text, "/backups/x/3d/" + kHeld);

    // A name that is not 40 lower-case hex digits comes back byte for byte.
    std::string upper = kHeld;
    upper[0] = 'D';
    const StoredPath whole(folder, upper);
    EXPECT_FALSE(whole.compact());
    EXPECT_EQ(whole.value(), "/backups/x/3d/" + upper);
    EXPECT_EQ(StoredPath(folder, "short").value(), "/backups/x/3d/short");

    const StoredPath absent;
    EXPECT_FALSE(absent);
    EXPECT_EQ(textOrEmpty(absent), "");
    EXPECT_THROW((void)absent.value(), std::bad_optional_access);
    EXPECT_EQ(std::optional<std::string>(absent), std::nullopt);
    EXPECT_TRUE(absent == std::optional<std::string>());
    EXPECT_TRUE(StoredPath(std::string()).has_value());  // empty differs from absent, as for a text
}

}  // namespace
}  // namespace salvor
