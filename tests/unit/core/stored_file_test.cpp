// Opening stored files without following a link on the way, and the copy of
// a sparse stored file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "core/stored_file.h"
#include "support/support.h"

namespace salvor {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

const std::string kId = "3d0d7e5fb2ce288813306e4d4636395e047a3d28";

TEST(StoredFile, ALinkedTwoDigitFolderIsRefusedLikeALinkedFile) {
    TempDir t;
    const std::string backup = t / "backup", elsewhere = t / "elsewhere";
    fs::create_directories(elsewhere + "/3d");
    test::writeFile(elsewhere + "/3d/" + kId, "planted");
    fs::create_directories(backup);
    fs::create_symlink(elsewhere + "/3d", backup + "/3d");
    const std::string stored = backup + "/3d/" + kId;
    ASSERT_TRUE(fs::exists(stored));  // a plain open would read the planted file

    errno = 0;
    EXPECT_EQ(openStoredFile(stored, O_RDONLY), -1);
    EXPECT_EQ(errno, ELOOP);
    struct stat st {};
    EXPECT_EQ(statStoredFile(stored, st), -1);
    EXPECT_EQ(errno, ELOOP);
    std::string why;
    EXPECT_FALSE(readStoredFile(nullptr, stored, 1024, why));
    EXPECT_NE(why.find("link"), std::string::npos) << why;

    // A real folder reads; a file that is itself a link does not.
    fs::remove(backup + "/3d");
    fs::create_directories(backup + "/3d");
    test::writeFile(stored, "own");
    const int fd = openStoredFile(stored, O_RDONLY);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(statStoredFile(stored, st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    fs::remove(stored);
    fs::create_symlink(elsewhere + "/3d/" + kId, stored);
    EXPECT_EQ(openStoredFile(stored, O_RDONLY), -1);
    EXPECT_EQ(errno, ELOOP);

    // The backup folder itself may be reached through a link the person chose,
    // and the older flat layout has no two-digit folder at all.
    fs::create_directories(t / "real");
    test::writeFile(t / ("real/" + kId), "flat");
    fs::create_symlink(t / "real", t / "chosen");
    const int flat = openStoredFile(t / ("chosen/" + kId), O_RDONLY);
    EXPECT_GE(flat, 0);
    if (flat >= 0) ::close(flat);
}

TEST(StoredFile, ASparseStoredFileIsCopiedWithItsHolesAndItsBytes) {
    TempDir t;
    const std::string from = t / "sparse", to = t / "copy";
    test::writeFile(from, "SQLite format 3");
    constexpr off_t kSize = off_t{64} << 20;
    ASSERT_EQ(::truncate(from.c_str(), kSize), 0);
    {
        const int fd = ::open(from.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, "tail", 4, kSize - 4), 4);
        ::close(fd);
    }
    const int source = ::open(from.c_str(), O_RDONLY);
    const int target = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(source, 0);
    ASSERT_GE(target, 0);
    std::string why, note;
    EXPECT_TRUE(copyStoredFile(nullptr, source, from, target, why, note)) << why;
    ::close(source);
    ::close(target);
    struct stat st {};
    ASSERT_EQ(::stat(to.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, kSize);
    EXPECT_LT(st.st_blocks * 512, off_t{4} << 20);  // the hole stayed a hole
    const auto bytes = test::readBytes(to);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 15), "SQLite format 3");
    EXPECT_EQ(std::string(bytes.end() - 4, bytes.end()), "tail");
    EXPECT_EQ(bytes[1 << 20], 0);
}

}  // namespace
}  // namespace salvor
