// The carving primitives over real SQLite files whose rows were deleted
// (the bytes stay in freeblocks and free pages), over hostile headers, and on
// the number, window and text rules the scans rely on.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <bit>
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

void exec(sqlite3* db, const std::string& sql) {
    char* err = nullptr;
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "") << " in " << sql;
}

// A database file built by SQLite with deleted bytes left in place, read back whole.
Bytes buildDb(const test::TempDir& dir, int pageSize, const std::string& sql) {
    const std::string path = dir / ("db" + std::to_string(pageSize) + ".sqlite");
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    exec(db, "PRAGMA page_size=" + std::to_string(pageSize) + "; PRAGMA secure_delete=OFF; PRAGMA auto_vacuum=NONE;");
    exec(db, sql);
    sqlite3_close(db);
    FileImage file;
    EXPECT_EQ(file.load(path, 1 << 24), FileImage::Status::ok);
    return Bytes(file.bytes().begin(), file.bytes().end());
}

// An image of `size` bytes with the given page-size field and bytes placed at offsets.
Bytes headerImage(std::uint16_t pageSizeField, std::size_t size) {
    Bytes b(size, 0);
    if (size >= 18) {
        b[16] = static_cast<std::uint8_t>(pageSizeField >> 8);
        b[17] = static_cast<std::uint8_t>(pageSizeField);
    }
    return b;
}

std::string text(std::span<const std::uint8_t> bytes) {
    const auto end = std::find(bytes.begin(), bytes.end(), std::uint8_t{0});
    return std::string(bytes.begin(), end);
}

// Every offset where the hex text of a page holds `pattern` on a byte boundary.
std::vector<std::uint64_t> anchors(const PageImage& image, const std::string& pattern) {
    std::vector<std::uint64_t> found;
    for (std::uint64_t n = 1; n < image.pageCount(); ++n) {
        const std::uint64_t start = n * image.pageSize();
        const auto hex = getHexString(image, start, image.pageSize());
        for (auto at = hex->find(pattern); at != std::string::npos; at = hex->find(pattern, at + 1))
            if (at % 2 == 0) found.push_back(start + at / 2);
    }
    return found;
}

// A carved row of t(id INTEGER PRIMARY KEY, name TEXT, n INTEGER, big INTEGER, f REAL):
// the anchor is the serial type of `name`; the id's serial type (and the cell
// head before it) may be overwritten by the freeblock header, so decoding starts
// at field 1; the id's body is empty, so the data offset starts at 0.
struct Row {
    std::string name, n, big, f;
};
Row decodeRow(const PageImage& image, std::uint64_t nameTypeAt) {
    const std::uint64_t base = nameTypeAt - 1;
    std::uint64_t dataoff = 0;
    Row row;
    std::vector<std::uint8_t> dest(image.pageSize());
    auto field = [&](int k) {
        std::fill(dest.begin(), dest.end(), 0);
        return AnalyseDBDataFile(image, k, dataoff, base, 5, dest) ? text(dest) : std::string("-");
    };
    row.name = field(1);
    row.n = field(2);
    row.big = field(3);
    row.f = field(4);
    return row;
}

TEST(CarvePrimitives, DeletedRowsAreFoundInFreeblocksAndFreePagesAtTwoPageSizes) {
    test::TempDir dir;
    for (const int pageSize : {1024, 4096}) {
        SCOPED_TRACE(pageSize);
        const std::string sql =
            "CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT, n INTEGER, big INTEGER, f REAL);"
            "INSERT INTO t VALUES(1, 'Alma Keeps', 7, 1, 1.0);"
            "INSERT INTO t VALUES(2, 'Zebulon Quixote', -2, -1099511627776, 2.5);"
            "INSERT INTO t VALUES(3, 'Berta Stays', 9, 2, 0.0);"
            "CREATE TABLE bulk(id INTEGER PRIMARY KEY, name TEXT, n INTEGER, big INTEGER, f REAL);"
            "WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM c WHERE i < 120) "
            "INSERT INTO bulk SELECT i, printf('Gone row %07d', i), -i, i * 4294967296, i + 0.25 FROM c;"
            "DELETE FROM t WHERE id = 2; DELETE FROM bulk WHERE id > 0;";
        const Bytes bytes = buildDb(dir, pageSize, sql);
        const auto image = PageImage::open(bytes, "test");
        ASSERT_TRUE(image);
        EXPECT_EQ(image->pageSize(), static_cast<std::uint32_t>(pageSize));
        EXPECT_EQ(image->pageCount(), bytes.size() / pageSize);
        EXPECT_EQ(checkSQliteVersion(*image, 18), 0);  // rollback journal, not WAL

        // The freed cell of t: text of 15 bytes (0x2b), 1-byte, 6-byte, float.
        const auto freed = anchors(*image, "2b010507");
        ASSERT_EQ(freed.size(), 1u);
        const Row row = decodeRow(*image, freed[0]);
        EXPECT_EQ(row.name, "Zebulon Quixote");
        EXPECT_EQ(row.n, "-2");
        EXPECT_EQ(row.big, "-1099511627776");
        EXPECT_EQ(row.f, "2.5");
        EXPECT_EQ(getPageType(*image, freed[0] / pageSize * pageSize), 1);  // a table leaf

        // The bulk rows: text of 16 bytes (0x2d), then 1- or 2-byte, 6-byte, float.
        std::set<int> carved;
        for (const std::string pattern : {"2d010507", "2d020507"})
            for (const auto at : anchors(*image, pattern)) {
                const Row r = decodeRow(*image, at);
                const int i = std::stoi(r.name.substr(9));
                EXPECT_EQ(r.name, "Gone row " + std::string(7 - std::to_string(i).size(), '0') + std::to_string(i));
                EXPECT_EQ(r.n, std::to_string(-i));
                EXPECT_EQ(r.big, std::to_string(std::int64_t{i} * 4294967296));
                EXPECT_EQ(r.f, std::to_string(i) + ".25");
                carved.insert(i);
            }
        // SQLite itself overwrites some freed cells while it rebalances the
        // tree; every row whose name is still in the file is carved.
        std::set<int> present;
        const std::string_view all(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        for (auto at = all.find("Gone row "); at != std::string_view::npos; at = all.find("Gone row ", at + 1))
            present.insert(std::stoi(std::string(all.substr(at + 9, 7))));
        EXPECT_GE(present.size(), 60u);
        EXPECT_EQ(carved, present);
    }
}

TEST(CarvePrimitives, HostileHeadersAreRefusedWithOneLineAndTruncationReadsZeros) {
    std::vector<std::string> lines;
    log::setSink([&](log::Level, const std::string& l) { lines.push_back(l); });
    for (const std::uint16_t field : {0, 3, 256, 1000, 768}) {
        const Bytes b = headerImage(field, 4096);
        EXPECT_FALSE(PageImage::open(b, "sms.db")) << field;
    }
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
    EXPECT_EQ(image->pageSize(), 65536u);
    EXPECT_EQ(image->pageCount(), 2u);
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
    ASSERT_TRUE(part);
    EXPECT_EQ(part->pageCount(), 1u);
    std::uint8_t out[8];
    std::memset(out, 0xEE, sizeof out);
    EXPECT_TRUE(readData(*part, out, cut.size() - 2, 8));
    EXPECT_EQ(out[2], 0);
    EXPECT_EQ(out[7], 0);
    EXPECT_FALSE(readData(*part, out, 0, 8));
}

TEST(CarvePrimitives, NumbersAtFullWidth) {
    auto num = [](int type, Bytes body) { return numberText(type, body).value_or("none"); };
    EXPECT_EQ(num(1, {0xFF}), "-1");
    EXPECT_EQ(num(3, {0x80, 0x00, 0x00}), "-8388608");
    EXPECT_EQ(num(4, {0xFF, 0xFF, 0xFF, 0xFE}), "-2");
    EXPECT_EQ(num(5, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}), "-2");
    EXPECT_EQ(num(6, {0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00}), "4294967296");
    EXPECT_EQ(num(6, {0x80, 0, 0, 0, 0, 0, 0, 0}), "-9223372036854775808");
    auto bits = [](double d) {
        const auto u = std::bit_cast<std::uint64_t>(d);
        Bytes b(8);
        for (int i = 0; i < 8; ++i) b[i] = static_cast<std::uint8_t>(u >> (56 - 8 * i));
        return b;
    };
    EXPECT_EQ(num(7, bits(2.5)), "2.5");
    EXPECT_EQ(num(7, bits(-0.1)), "-0.1");
    EXPECT_EQ(num(4, {0x01}), "none");  // a body of the wrong width
    EXPECT_EQ(num(8, {}), "none");

    EXPECT_EQ(readBigEndian(Bytes{1, 2, 3}, 2, 3), 0x030000u);  // outside the buffer counts as 0
    EXPECT_EQ(DemaNumberFormHexChar("1000", 4), 4096u);
    EXPECT_EQ(DemaNumberFormHexChar("0A", 2), 0u);
    EXPECT_EQ(DemaNumberFormHexChar("f", 2), 0u);
    EXPECT_EQ(getAlterInteger(0x81, 0x05), 133u);
    EXPECT_EQ(getAlterInteger(0x9F, 0x7F), 4095u);
    EXPECT_EQ(getAlterInteger(0xC1, 0x05), 24709u);
    EXPECT_EQ(getAlterInteger(0x02, 0x05), 5u);
    for (const int t : {0, 8, 9, 10, 11, 12, 13, -5}) EXPECT_EQ(getFieldDataLengthBy(t), 0) << t;
    EXPECT_EQ(getFieldDataLengthBy(5), 6);
    EXPECT_EQ(getFieldDataLengthBy(7), 8);
    EXPECT_EQ(getFieldDataLengthBy(14), 1);
}

TEST(CarvePrimitives, DecodersAreCutToTheirDestinationAndTheImage) {
    Bytes b = headerImage(512, 1024);
    // Record at 600: two-byte serial type 0x81 0x05 (text of 60 bytes), then the body.
    b[600] = 0x81;
    b[601] = 0x05;
    for (int i = 0; i < 60; ++i) b[602 + i] = static_cast<std::uint8_t>('A' + i % 26);
    b[700] = 0xA0;  // 4096: refused
    b[701] = 0x00;
    b[710] = 0x05;  // one-byte 6-byte integer, body 711..716
    const std::uint8_t big[] = {0xFF, 0x00, 0x00, 0x00, 0x00, 0x00};
    std::memcpy(&b[711], big, 6);
    b[720] = 0x15;  // text of 4 bytes running past the end of the image
    b[1022] = 'h';
    b[1023] = 'i';
    const auto image = PageImage::open(b, "t");
    ASSERT_TRUE(image);

    std::uint8_t dest[32];
    std::memset(dest, 0xEE, sizeof dest);
    std::uint64_t dataoff = 0;
    ASSERT_TRUE(AnalyseAlterbleDB(*image, 0, dataoff, 600, 2, std::span(dest).first(16)));
    EXPECT_EQ(dataoff, 60u);  // the full length, so later fields stay in place
    EXPECT_EQ(std::string(dest, dest + 16), "ABCDEFGHIJKLMNOP");
    EXPECT_EQ(dest[16], 0xEE);
    EXPECT_FALSE(AnalyseAlterbleDBFile(*image, 0, dataoff, 650, 50, 2, dest));
    EXPECT_EQ(dataoff, 60u);

    std::memset(dest, 0xEE, sizeof dest);
    dataoff = 0;
    ASSERT_TRUE(AnalyseTheDBDataFile(*image, 0, dataoff, 700, 10, 1, std::span(dest).first(5)));
    EXPECT_EQ(std::string(dest, dest + 5), "-1099");  // -1099511627776 cut to 5 bytes
    EXPECT_EQ(dest[5], 0xEE);
    EXPECT_EQ(dataoff, 6u);
    std::memset(dest, 0, sizeof dest);
    dataoff = 0;
    ASSERT_TRUE(AnalyseDBDataFile(*image, 0, dataoff, 710, 1, dest));
    EXPECT_EQ(text(dest), "-1099511627776");

    std::memset(dest, 0xEE, sizeof dest);
    dataoff = 302;  // body at 721 + 302 = 1023: "i" then zeros past the end
    ASSERT_TRUE(AnalyseDBDataFile(*image, 0, dataoff, 720, 1, dest));
    EXPECT_EQ(dest[0], 'i');
    EXPECT_EQ(dest[1], 0);
    EXPECT_EQ(dest[3], 0);
    EXPECT_EQ(dest[4], 0xEE);

    // NULL and the constant 1 are not decoded and add nothing; nor does a far offset.
    b[800] = 0x00;
    b[801] = 0x09;
    dataoff = 0;
    EXPECT_FALSE(AnalyseDBDataFile(*image, 0, dataoff, 800, 2, dest));
    EXPECT_FALSE(AnalyseDBDataFile(*image, 1, dataoff, 800, 2, dest));
    EXPECT_FALSE(AnalyseDBDataFile(*image, INT64_MAX, dataoff, UINT64_MAX, INT64_MAX, dest));
    EXPECT_EQ(dataoff, 0u);
}

TEST(CarvePrimitives, HalfByteWindowsProbesAndText) {
    EXPECT_EQ(bcheckSubStringIsValid("aa0000040401bb", 4, 10), 1);
    EXPECT_EQ(bcheckSubStringIsValid("a0000040401bb", 4, 10), 1);  // across a byte boundary
    EXPECT_EQ(bcheckSubStringIsValid("0000040401", 4, 10), 0);     // the last window is never examined
    EXPECT_EQ(bcheckSubStringIsValid("00000404010", 4, 8), 0);     // the pattern is longer than the window
    EXPECT_EQ(bCheckDataIsValid("01010101", 7), -1);
    EXPECT_EQ(bcheckChatIOS6SubStringIsValid("1060000", 4), 1);
    EXPECT_EQ(bcheckMessageIOS6SubStringIsValid("x08000900110", 10), 1);
    EXPECT_EQ(bcheckMessageIOS6SubStringIsValid("x0800090011", 10), 0);

    Bytes b = headerImage(512, 600);
    const std::uint8_t bytes[] = {0x0D, 0x00, 0xFF, 0x15, 0x15, 0x13, 0x00, 0x07, 0x07, 0x07, 0x23, 0x00, 0x24, 0x01};
    std::memcpy(&b[512], bytes, sizeof bytes);
    std::fill(b.begin() + 590, b.end(), std::uint8_t{0x41});
    const auto image = PageImage::open(b, "t");
    ASSERT_TRUE(image);
    EXPECT_EQ(getHexString(*image, 512, 3), "0d00ff");
    EXPECT_FALSE(getHexString(*image, 0, 3));
    EXPECT_EQ(GetFildLength(*image, 515), 1);  // 15 15 13 00: 0x13 before the zero
    EXPECT_EQ(GetFildLength(*image, 523), 2);  // 00 with 0x23 before it
    EXPECT_EQ(bSortAlter(*image, 513), 0);
    EXPECT_EQ(bSortAlter(*image, 521), 3);  // 00 07 07 [07]
    EXPECT_EQ(bIsAlterbleDBFile(*image, 515, 6), 3);
    EXPECT_EQ(bIsAlterbleDBFile(*image, 524, 6), 2);
    EXPECT_EQ(bIsAlterbleDBFile(*image, 590, 6), 10);  // runs to the end of the file
    EXPECT_EQ(getDeletedMark(*image, 522, 4, 4), 1);
    EXPECT_EQ(getDeletedMark(*image, 524, 4, 4), 0);
    EXPECT_EQ(bImageURLAlter(*image, 700), 1);  // past the end reads 0

    EXPECT_EQ(GetLastPageStringWithChar(Bytes{'A', 0x1F, 0x7E, 0x7F, 0xFF}), "A.~..");
    EXPECT_EQ(getNextSubStringInString("xxAnnLee 555-0100 yy", "annlee"), " ");
    EXPECT_EQ(getNextSubStringInString("AnnLee555-0100 yy", "annlee"), "555-0100 ");
    EXPECT_FALSE(getNextSubStringInString("AnnLee", "annlee"));
    EXPECT_FALSE(getNextSubStringInString("key" + std::string(40, 'x') + "z", "KEY"));
}

}  // namespace
}  // namespace salvor::carve
