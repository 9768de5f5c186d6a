#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "output/chunked_copy.h"
#include "output_test_util.h"

namespace salvor {
namespace {

using namespace test_output;

std::string pattern(std::size_t size) {
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>('a' + (i * 31 + i / 4096) % 26);
    return s;
}

TEST(ChunkedCopy, SpansChunksAndPadsAShortSourceWithZeros) {
    ScratchDir dir;
    const std::string content = pattern(output::kCopyChunkBytes + 12345);
    writeFile(dir.path() / "src", content);
    std::string error;
    output::OutputDir out = output::OutputDir::create((dir.path() / "out").string(), error);
    output::CopyBuffer buffer;

    const std::uint64_t longer = output::kCopyChunkBytes * 2 + 7;
    auto padded = output::copyFileInto((dir.path() / "src").string(), &longer, out, "padded", buffer);
    ASSERT_TRUE(padded.ok) << padded.error;
    const std::string got = readFile(padded.path);
    ASSERT_EQ(got.size(), longer);
    EXPECT_EQ(got.substr(0, content.size()), content);
    EXPECT_EQ(got.find_first_not_of('\0', content.size()), std::string::npos);

    // No size given: the source's own size.
    auto whole = output::copyFileInto((dir.path() / "src").string(), nullptr, out, "whole", buffer);
    ASSERT_TRUE(whole.ok) << whole.error;
    EXPECT_EQ(readFile(whole.path), content);

    // A source the kernel cannot copy from (a pipe) goes through the buffer.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::thread feeder([&] {
        EXPECT_TRUE(output::writeAll(fds[1], content.data(), 100000).empty());
        ::close(fds[1]);
    });
    auto piped = out.place("piped", [&](int dst) { return output::copyChunked(fds[0], 100010, dst, buffer); });
    feeder.join();
    ::close(fds[0]);
    ASSERT_TRUE(piped.ok) << piped.error;
    EXPECT_EQ(readFile(piped.path), content.substr(0, 100000) + std::string(10, '\0'));

    // A source that is a folder cannot be read: reported, nothing left behind.
    const std::uint64_t ten = 10;
    auto folder = output::copyFileInto(dir.path().string(), &ten, out, "folder", buffer);
    EXPECT_FALSE(folder.ok);
    EXPECT_FALSE(folder.error.empty());
    EXPECT_FALSE(fs::exists(dir.path() / "out/folder"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path() / "out"), fs::directory_iterator()), 3);
}

}  // namespace
}  // namespace salvor
