// The bounds-checked byte reader on known values and hostile offsets, and the
// file image's refusal of anything but a regular file.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "core/byte_reader.h"
#include "support/support.h"

namespace salvor {
namespace {

std::optional<std::uint64_t> varintOf(std::vector<std::uint8_t> bytes, std::size_t* length = nullptr) {
    ByteReader r(bytes.data(), bytes.size());
    auto v = r.varint();
    if (length) *length = r.position();
    return v;
}

TEST(ByteReader, BigEndianWidthsAndSqliteVarints) {
    const std::vector<std::uint8_t> b = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A,
                                         0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x12, 0x13, 0x14};
    ByteReader r(b.data(), b.size());
    EXPECT_EQ(r.u8(), 0x01);
    EXPECT_EQ(r.u16(), 0x0203);
    EXPECT_EQ(r.u24(), 0x040506u);
    EXPECT_EQ(r.u32(), 0x0708090Au);
    EXPECT_EQ(r.u48(), 0x0B0C0D0E0F10u);
    EXPECT_EQ(r.position(), 16u);
    EXPECT_EQ(r.peekU64(0), 0x0102030405060708u);
    EXPECT_EQ(r.peekU32(16), 0x11121314u);
    EXPECT_EQ(r.position(), 16u);  // peeks do not move

    std::size_t len = 0;
    EXPECT_EQ(varintOf({0x00}), 0u);
    EXPECT_EQ(varintOf({0x7F, 0xFF}, &len), 127u);
    EXPECT_EQ(len, 1u);
    EXPECT_EQ(varintOf({0x81, 0x00}), 128u);
    EXPECT_EQ(varintOf({0x81, 0x80, 0x00}, &len), 16384u);
    EXPECT_EQ(len, 3u);
    // Nine bytes: the last gives all 8 bits, its high bit included.
    EXPECT_EQ(varintOf({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}, &len), UINT64_MAX);
    EXPECT_EQ(len, 9u);
    EXPECT_EQ(varintOf({0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0xFF}), 0xFFu);
    EXPECT_EQ(varintOf({0x81, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00}), std::uint64_t{1} << 57);
    EXPECT_EQ(varintOf({0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x81, 0x00}), 0x100u);
}

TEST(ByteReader, HostileOffsetsFailWithoutMoving) {
    const std::vector<std::uint8_t> b = {0xAA, 0xBB, 0xCC, 0xDD, 0x81, 0x80};
    ByteReader r(b.data(), b.size());
    ASSERT_TRUE(r.seek(4));
    EXPECT_FALSE(r.u32());
    EXPECT_FALSE(r.varint());  // 0x81 0x80 runs into the end
    EXPECT_EQ(r.u16(), 0x8180);
    EXPECT_TRUE(r.atEnd());
    EXPECT_FALSE(r.u8());
    EXPECT_FALSE(r.seek(7));
    ASSERT_TRUE(r.seek(2));
    // Lengths that would wrap a 64-bit offset back into range.
    EXPECT_FALSE(r.skip(UINT64_MAX));
    EXPECT_FALSE(r.bytes(UINT64_MAX - 1));
    EXPECT_FALSE(r.peekU16(UINT64_MAX));
    EXPECT_FALSE(r.peekBytes(3, UINT64_MAX - 2));
    EXPECT_FALSE(r.slice(UINT64_MAX, 2));
    EXPECT_FALSE(r.slice(2, UINT64_MAX - 1));
    std::string s = "kept";
    EXPECT_FALSE(r.string(5, s));
    EXPECT_EQ(s, "kept");
    EXPECT_EQ(r.position(), 2u);
    EXPECT_TRUE(r.bytes(4));  // exactly what is left
    EXPECT_TRUE(r.atEnd());

    // Eight continuation bytes with no ninth.
    const std::vector<std::uint8_t> cut(8, 0x80);
    ByteReader c(cut.data(), cut.size());
    EXPECT_FALSE(c.varint());
    EXPECT_EQ(c.position(), 0u);

    // Slices of slices stay inside their parent, and at their own offset 0.
    ByteReader top(b.data(), b.size());
    auto mid = top.slice(1, 4);  // BB CC DD 81
    ASSERT_TRUE(mid);
    EXPECT_FALSE(mid->slice(1, 4));
    EXPECT_FALSE(mid->slice(5, 0));
    auto inner = mid->slice(2, 2);
    ASSERT_TRUE(inner);
    EXPECT_EQ(inner->u16(), 0xDD81);
    EXPECT_FALSE(inner->u8());
    EXPECT_TRUE(mid->slice(4, 0));  // empty, at the end
    auto taken = top.take(2);
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->u16(), 0xAABB);
    EXPECT_EQ(top.position(), 2u);
    EXPECT_FALSE(top.take(5));
    EXPECT_EQ(top.position(), 2u);
    EXPECT_FALSE(ByteReader(nullptr, 10).u8());
}

TEST(FileImage, ReadsRegularFilesOnlyWithinTheCap) {
    test::TempDir dir;
    test::writeFile(dir / "f", "manifest");
    FileImage image;
    EXPECT_EQ(image.load(dir / "f", 100), FileImage::Status::ok);
    EXPECT_EQ(std::string(image.bytes().begin(), image.bytes().end()), "manifest");
    EXPECT_EQ(image.load(dir / "f", 7), FileImage::Status::tooLarge);
    EXPECT_EQ(image.size(), 0u);  // a failed load leaves nothing behind
    EXPECT_EQ(image.load(dir / "missing", 100), FileImage::Status::cannotOpen);
    EXPECT_EQ(image.load(dir.path(), 100), FileImage::Status::notRegularFile);
    // A link is not followed, even to a good file.
    ASSERT_EQ(::symlink((dir / "f").c_str(), (dir / "link").c_str()), 0);
    EXPECT_EQ(image.load(dir / "link", 100), FileImage::Status::cannotOpen);
    // A FIFO with no writer is refused at once instead of blocking the read.
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(image.load(dir / "fifo", 100), FileImage::Status::notRegularFile);
    EXPECT_EQ(image.load("/dev/null", 100), FileImage::Status::notRegularFile);
}

}  // namespace
}  // namespace salvor
