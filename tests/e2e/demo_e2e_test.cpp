// `salvor demo` as installed: the command runs the forge program found beside
// it, and says clearly what to do when that program is missing or fails.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>

#include "support/support.h"

namespace salvor::test {
namespace {

namespace fs = std::filesystem;

struct Installed {
    TempDir dir;
    std::string bin = dir / "bin";
    std::string tmp = dir / "tmp";

    Installed() {
        fs::create_directories(bin);
        fs::create_directories(tmp);
        fs::copy_file(SALVOR_CLI_PATH, bin + "/salvor");
    }
    // Runs the installed copy's demo with a private temporary folder.
    CommandResult demo(const std::string& to) const {
        CommandResult r;
        const std::string command = "TMPDIR='" + tmp + "' '" + bin + "/salvor' demo --to '" + to + "' >'" +
                                    dir.path() + "/out' 2>'" + dir.path() + "/err' </dev/null";
        const int status = std::system(command.c_str());
        r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = readFile(dir / "out");
        r.err = readFile(dir / "err");
        return r;
    }
};

TEST(DemoInstalled, RunsTheForgeInstalledBesideIt) {
    Installed installed;
    const fs::path forge = fs::path(SALVOR_CLI_PATH).parent_path() / ".." / ".." / "tools" / "forge" / "salvor-forge";
    ASSERT_TRUE(fs::exists(forge)) << forge;
    fs::create_symlink(fs::canonical(forge), installed.bin + "/salvor-forge");
    const CommandResult r = installed.demo(installed.dir / "out-folder");
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_FALSE(readFile(installed.dir / "out-folder/Contact/Contacts.txt").empty());
    // The sample store it names lies in the temporary folder it was given.
    const auto pos = r.out.find("Sample backup store: ");
    ASSERT_NE(pos, std::string::npos);
    EXPECT_EQ(r.out.compare(pos + 21, installed.tmp.size(), installed.tmp), 0) << r.out;
}

TEST(DemoInstalled, SaysWhatIsMissingWhenTheForgeIsNotBesideIt) {
    Installed installed;
    const CommandResult r = installed.demo(installed.dir / "out-folder");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("salvor-forge"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("install it in the same folder"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(installed.dir / "out-folder"));
    EXPECT_TRUE(fs::is_empty(installed.tmp));
}

TEST(DemoInstalled, AFailingForgeLeavesNoTemporaryStore) {
    Installed installed;
    const std::string fake = installed.bin + "/salvor-forge";
    {
        std::FILE* f = std::fopen(fake.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs("#!/bin/sh\necho 'cannot write' >&2\nexit 3\n", f);
        std::fclose(f);
    }
    fs::permissions(fake, fs::perms::owner_all);
    const CommandResult r = installed.demo(installed.dir / "out-folder");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("failed with status 3"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(installed.dir / "out-folder"));
    EXPECT_TRUE(fs::is_empty(installed.tmp));
}

}  // namespace
}  // namespace salvor::test
