// The carving primitives over hostile headers and truncated files, and on the
// number and window rules the scans rely on (finding deleted rows in real
// files is judged end to end, per generation, by the carving evaluation).
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "carve/carve_primitives.h"
#include "core/byte_reader.h"
#include "platform/log.h"
#include "support/support.h"

namespace salvor::carve {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A database file built by SQLite with deleted bytes left in place, read back whole.
Bytes buildDb(const test::TempDir& dir, int pageSize, const std::string& sql) {
    const std::string path = dir / ("db" + std::to_string(pageSize) + ".sqlite");
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    const std::string all = "PRAGMA page_size=" + std::to_string(pageSize) + "; PRAGMA secure_delete=OFF; PRAGMA auto_vacuum=NONE;" + sql;
    char* err = nullptr;
    EXPECT_EQ(sqlite3_exec(db, all.c_str(), nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "");
    sqlite3_free(err);
    sqlite3_close(db);
    FileImage file;
    EXPECT_EQ(file.load(path, 1 << 24), FileImage::Status::ok);
    return Bytes(file.bytes().begin(), file.bytes().end());
}

// An image of `size` (at least 18) zero bytes with the given page-size field.
Bytes headerImage(std::uint16_t pageSizeField, std::size_t size) {
    Bytes b(size, 0);
    b[16] = static_cast<std::uint8_t>(pageSizeField >> 8);
    b[17] = static_cast<std::uint8_t>(pageSizeField);
    return b;
}

std::string text(std::span<const std::uint8_t> bytes) {
    const auto end = std::find(bytes.begin(), bytes.end(), std::uint8_t{0});
    return std::string(bytes.begin(), end);
}

TEST(CarvePrimitives, HostileHeadersAreRefusedWithOneLineAndTruncationReadsZeros) {
    std::vector<std::string> lines;
    log::setSink([&](log::Level, const std::string& l) { lines.push_back(l); });
    for (const std::uint16_t field : {0, 3, 256, 1000, 768}) EXPECT_FALSE(PageImage::open(headerImage(field, 4096), "sms.db")) << field;
    EXPECT_FALSE(PageImage::open(Bytes(17, 0), "short.db"));
    EXPECT_FALSE(PageImage::open({}, "empty.db"));
    log::setSink(nullptr);
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_NE(lines[0].find("sms.db: page size 0"), std::string::npos);
    EXPECT_NE(lines[5].find("too short"), std::string::npos);

    // 1 stands for 65536; a trailing partial page is not counted.
    Bytes big = headerImage(1, 2 * 65536 + 100);
    big[65536] = 0x0D;
    big.back() = 0x0A;
    const auto image = PageImage::open(big, "big");
    ASSERT_TRUE(image);
    EXPECT_TRUE(image->pageSize() == 65536u && image->pageCount() == 2u);
    EXPECT_EQ(image->page(1).peekU8(0), 0x0D);
    EXPECT_EQ(image->page(2).peekU8(99), 0x00);  // past the count: zeros, not the file's last byte
    EXPECT_EQ(getPageType(*image, big.size() - 1), 4);
    EXPECT_EQ(getPageType(*image, big.size()), 2);
    EXPECT_EQ(getPageType(*image, 0), -1);
    EXPECT_EQ(getHexString(*image, big.size() - 1, 3), "0a0000");

    // A real database cut in the middle of a page.
    test::TempDir dir;
    Bytes cut = buildDb(dir, 512, "CREATE TABLE t(a TEXT); INSERT INTO t VALUES('x');");
    cut.resize(512 + 200);
    const auto part = PageImage::open(cut, "cut");
    ASSERT_TRUE(part && part->pageCount() == 1u);
    std::uint8_t out[8];
    std::memset(out, 0xEE, sizeof out);
    EXPECT_TRUE(readData(*part, out, cut.size() - 2, 8));
    EXPECT_TRUE(out[2] == 0 && out[7] == 0);
    EXPECT_FALSE(readData(*part, out, 0, 8));
}

TEST(CarvePrimitives, NumbersAtFullWidth) {
    auto num = [](int type, Bytes body) { return numberText(type, body).value_or("none"); };
    EXPECT_EQ(num(1, {0xFF}), "-1");
    EXPECT_EQ(num(3, {0x80, 0x00, 0x00}), "-8388608");
    EXPECT_EQ(num(5, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}), "-2");
    EXPECT_EQ(num(6, {0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00}), "4294967296");
    EXPECT_EQ(num(6, {0x80, 0, 0, 0, 0, 0, 0, 0}), "-9223372036854775808");
    const auto u = std::bit_cast<std::uint64_t>(-0.1);
    Bytes bits(8);
    for (int i = 0; i < 8; ++i) bits[i] = static_cast<std::uint8_t>(u >> (56 - 8 * i));
    EXPECT_EQ(num(7, bits), "-0.1");
    EXPECT_EQ(num(4, {0x01}), "none");  // a body of the wrong width
    EXPECT_EQ(num(8, {}), "none");

    EXPECT_EQ(readBigEndian(Bytes{1, 2, 3}, 2, 3), 0x030000u);  // outside the buffer counts as 0

    // The hex-text windows stop at their edges; the text after a name is bounded.
    EXPECT_EQ(bcheckSubStringIsValid("a0000040401bb", 4, 10), 1);  // across a byte boundary
    EXPECT_EQ(bcheckSubStringIsValid("0000040401", 4, 10), 0);     // the last window is never examined
    EXPECT_EQ(bcheckSubStringIsValid("00000404010", 4, 8), 0);     // the pattern is longer than the window
    EXPECT_EQ(getNextSubStringInString("AnnLee555-0100 yy", "annlee"), "555-0100 ");
    EXPECT_FALSE(getNextSubStringInString("key" + std::string(40, 'x') + "z", "KEY"));
}

TEST(CarvePrimitives, DecodersAreCutToTheirDestinationAndTheImage) {
    Bytes b = headerImage(512, 1024);
    // Record at 600: two-byte serial type 0x81 0x05 (text of 60 bytes), then the body.
    b[600] = 0x81, b[601] = 0x05;
    for (int i = 0; i < 60; ++i) b[602 + i] = static_cast<std::uint8_t>('A' + i % 26);
    b[700] = 0xA0;  // 0xA0 0x00 (4096): refused
    b[710] = 0x05;  // one-byte 6-byte integer, body 711..716
    b[711] = 0xFF;  // -1099511627776
    b[720] = 0x15;  // text of 4 bytes running past the end of the image
    b[1022] = 'h', b[1023] = 'i';
    const auto image = PageImage::open(b, "t");
    ASSERT_TRUE(image);

    std::uint8_t dest[32];
    std::memset(dest, 0xEE, sizeof dest);
    std::uint64_t dataoff = 0;
    ASSERT_TRUE(AnalyseAlterbleDB(*image, 0, dataoff, 600, 2, std::span(dest).first(16)));
    EXPECT_EQ(dataoff, 60u);  // the full length, so later fields stay in place
    EXPECT_EQ(std::string(dest, dest + 17), "ABCDEFGHIJKLMNOP\xEE");
    EXPECT_FALSE(AnalyseAlterbleDBFile(*image, 0, dataoff, 650, 50, 2, dest));
    EXPECT_EQ(dataoff, 60u);

    std::memset(dest, 0xEE, sizeof dest);
    dataoff = 0;
    ASSERT_TRUE(AnalyseTheDBDataFile(*image, 0, dataoff, 700, 10, 1, std::span(dest).first(5)));
    EXPECT_EQ(std::string(dest, dest + 6), "-1099\xEE");  // -1099511627776 cut to 5 bytes
    EXPECT_EQ(dataoff, 6u);
    std::memset(dest, 0, sizeof dest);
    dataoff = 0;
    ASSERT_TRUE(AnalyseDBDataFile(*image, 0, dataoff, 710, 1, dest));
    EXPECT_EQ(text(dest), "-1099511627776");

    std::memset(dest, 0xEE, sizeof dest);
    dataoff = 302;  // body at 721 + 302 = 1023: "i" then zeros past the end
    ASSERT_TRUE(AnalyseDBDataFile(*image, 0, dataoff, 720, 1, dest));
    EXPECT_EQ(std::string(dest, dest + 5), std::string("i\0\0\0\xEE", 5));

    // NULL and the constant 1 are not decoded and add nothing; nor does a far offset.
    b[801] = 0x09;  // b[800] is 0
    dataoff = 0;
    EXPECT_FALSE(AnalyseDBDataFile(*image, 0, dataoff, 800, 2, dest));
    EXPECT_FALSE(AnalyseDBDataFile(*image, 1, dataoff, 800, 2, dest));
    EXPECT_FALSE(AnalyseDBDataFile(*image, INT64_MAX, dataoff, UINT64_MAX, INT64_MAX, dest));
    EXPECT_EQ(dataoff, 0u);
}

}  // namespace
}  // namespace salvor::carve
