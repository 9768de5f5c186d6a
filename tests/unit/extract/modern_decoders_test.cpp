// The archived message body and the note document decoders, on bodies built
// the way the phone writes them and on damaged and hostile ones.
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "extract/note_body.h"
#include "extract/typedstream.h"
#include "forge/modern_notes.h"
#include "forge/modern_sms.h"

namespace salvor {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::string repeat(const std::string& s, std::size_t atLeast) {
    std::string out;
    while (out.size() < atLeast) out += s;
    return out;
}

std::size_t find(const Bytes& hay, const Bytes& needle) {
    return static_cast<std::size_t>(std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) - hay.begin());
}

TEST(Typedstream, ReadsTextsOfEveryLengthFormAndBothRoots) {
    const std::vector<std::string> texts{
        "",
        "Noter test",
        "\xF0\x9D\x90\x87\xF0\x9D\x90\x9E emoji \xF0\x9F\x98\x80 and \xEF\xBF\xBC attachment",
        repeat("two length bytes ", 200),        // 0x81 form
        repeat("\xF0\x9F\x93\x9C four bytes ", 70000),  // 0x82 form
    };
    for (const bool mutableRoot : {true, false}) {
        for (const std::string& text : texts) {
            const Bytes blob = forge::attributedBodyBlob(text, mutableRoot);
            EXPECT_EQ(typedstream::attributedText(blob), std::optional<std::string>(text))
                << text.size() << " bytes, mutable " << mutableRoot;
        }
    }
}

TEST(Typedstream, RefusesDamagedAndForeignBlobs) {
    const std::string text = repeat("cut short ", 300);
    const Bytes good = forge::attributedBodyBlob(text);
    const std::size_t marker = find(good, {0x84, 0x01, 0x2B});
    ASSERT_LT(marker, good.size());
    const std::size_t end = marker + 3 + 3 + text.size();  // the byte that ends the string
    ASSERT_EQ(good[end], 0x86);
    // Every cut before the end of the string object: nothing, and no read
    // past the cut (the copy has exactly the kept bytes).
    for (std::size_t cut = 0; cut <= end; ++cut) {
        const Bytes part(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut));
        EXPECT_EQ(typedstream::attributedText(part), std::nullopt) << cut;
    }
    auto changed = [&](std::size_t at, std::uint8_t value) {
        Bytes b = good;
        b[at] = value;
        return typedstream::attributedText(b);
    };
    EXPECT_EQ(changed(2, 't'), std::nullopt);               // "ttreamtyped"
    EXPECT_EQ(changed(marker + 4, 0xFF), std::nullopt);     // length larger than the blob
    EXPECT_EQ(changed(marker + 5, 0x80), std::nullopt);     // negative length
    EXPECT_EQ(changed(marker + 3, 0x83), std::nullopt);     // a float where the length belongs
    EXPECT_EQ(changed(marker + 6, 0xC3), std::nullopt);     // not UTF-8
    // A length one short of the real one leaves no end-of-object after the bytes.
    Bytes shorter = good;
    shorter[marker + 4] = static_cast<std::uint8_t>((text.size() - 1) & 0xFF);
    EXPECT_EQ(typedstream::attributedText(shorter), std::nullopt);
    // A plain archived string is no attributed string.
    Bytes plain = good;
    const std::size_t name = find(plain, {'A', 't', 't', 'r', 'i', 'b'});
    plain[name] = 'X';
    const std::size_t again = find(plain, {'A', 't', 't', 'r', 'i', 'b'});
    if (again < plain.size()) plain[again] = 'X';
    EXPECT_EQ(typedstream::attributedText(plain), std::nullopt);
    EXPECT_EQ(typedstream::attributedText({}), std::nullopt);
}

Bytes gzipOf(const Bytes& raw) {
    uLongf size = compressBound(static_cast<uLong>(raw.size())) + 64;
    Bytes out(size);
    z_stream zs{};
    EXPECT_EQ(deflateInit2(&zs, 9, Z_DEFLATED, 16 + MAX_WBITS, 9, Z_DEFAULT_STRATEGY), Z_OK);
    zs.next_in = const_cast<Bytef*>(raw.data());
    zs.avail_in = static_cast<uInt>(raw.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

TEST(NoteBody, ReadsTheNoteTextOfADocument) {
    for (const std::string& text : {std::string(), std::string("Title"), std::string("Eggs \xF0\x9F\xA5\x9A\nMilk"),
                                    repeat("a longer paragraph ", 9000)}) {
        EXPECT_EQ(notebody::noteText(forge::noteBodyBlob(text)), std::optional<std::string>(text)) << text.size();
    }
    // Invalid UTF-8 in a text costs that sequence only.
    Bytes doc = {0x12, 0x07, 0x1A, 0x05, 0x12, 0x03, 'a', 0xFF, 'b'};
    EXPECT_EQ(notebody::noteText(gzipOf(doc)), std::optional<std::string>("a\xEF\xBF\xBD" "b"));
}

TEST(NoteBody, InflateRefusesDamageAndStopsAtItsLimit) {
    const Bytes good = forge::noteBodyBlob("a body to damage");
    EXPECT_TRUE(notebody::gunzip(good));
    for (std::size_t cut = 0; cut < good.size(); ++cut)
        EXPECT_EQ(notebody::gunzip(Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut))), std::nullopt)
            << cut;
    Bytes badCrc = good;
    badCrc[badCrc.size() - 5] ^= 0x55;
    EXPECT_EQ(notebody::gunzip(badCrc), std::nullopt);
    // Encrypted bodies of locked notes are no gzip stream at all.
    EXPECT_EQ(notebody::noteText(Bytes(200, 0xA7)), std::nullopt);

    // A small stream of many zeros: inflated exactly to the limit, refused one byte below.
    const Bytes zeros(3 << 20, 0);
    const Bytes bomb = gzipOf(zeros);
    ASSERT_LT(bomb.size(), 16u << 10);
    const auto whole = notebody::gunzip(bomb, zeros.size());
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->size(), zeros.size());
    EXPECT_EQ(notebody::gunzip(bomb, zeros.size() - 1), std::nullopt);
    EXPECT_EQ(notebody::gunzip(bomb, 1 << 20), std::nullopt);
}

TEST(NoteBody, WalkerSkipsEveryWireTypeAndRefusesMalformedFields) {
    // field 1 varint (10-byte maximum), field 4 fixed64, field 6 fixed32,
    // field 2 a string that is not the path, then field 2 holding field 3.
    const Bytes msg = {0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01,
                       0x21, 1, 2, 3, 4, 5, 6, 7, 8,
                       0x35, 1, 2, 3, 4,
                       0x1A, 0x01, 'x',
                       0x12, 0x04, 0x1A, 0x02, 'o', 'k'};
    const auto found = notebody::findBytes(msg, {2, 3});
    ASSERT_TRUE(found);
    EXPECT_EQ(std::string(found->begin(), found->end()), "ok");
    EXPECT_EQ(notebody::countFields(msg), std::optional<std::size_t>(6));
    EXPECT_EQ(notebody::findBytes(msg, {2, 4}), std::nullopt);
    EXPECT_EQ(notebody::findBytes(msg, {}), std::nullopt);
    EXPECT_EQ(notebody::findBytes(msg, {2, 3, 1, 1, 1, 1, 1, 1, 1}), std::nullopt);  // deeper than allowed

    const std::vector<Bytes> malformed{
        {0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x12, 0x00},  // 11-byte varint
        {0x12, 0x05, 'a', 'b'},                                                            // length past the end
        {0x12, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 'a'},                 // a huge length
        {0x0B, 0x12, 0x00},                                                                // a group
        {0x21, 1, 2, 3},                                                                   // fixed64 cut short
        {0x00, 0x12, 0x00},                                                                // field number 0
    };
    for (const Bytes& b : malformed) {
        EXPECT_EQ(notebody::findBytes(b, {2}), std::nullopt);
        EXPECT_EQ(notebody::countFields(b), std::nullopt);
    }
}

}  // namespace
}  // namespace salvor
