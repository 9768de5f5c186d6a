#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "output/html_controller.h"
#include "output/safe_name.h"
#include "core/utf8.h"
#include "output/vcf_controller.h"
#include "output_test_util.h"
#include "support/support.h"

namespace salvor {
namespace {

using namespace test_output;

TEST(VCardWriter, PlainCardIsEscapedAndHasNoEmptyLines) {
    MVContactNode c;
    c.contactName = "Lee; Ann, Jr\\ \r\nsecond line", c.contactCompany = std::nullopt;
    c.contactEmail = " ann@example.com";  // joined text without the extractor's lists
    c.contactPhone = " 555-0101";
    c.contactBirthday = "1980-01-01";  // the card carries no birthday
    ScratchDir dir;
    MVVCFController writer;
    const auto result = writer.creatFile(c, (dir.path() / "Ann.vcf").string());
    ASSERT_TRUE(result.ok) << result.error;
    const std::string card = readFile(result.path);
    EXPECT_EQ(card, golden("card_plain.vcf"));
    EXPECT_EQ(writer.strContent, card);
}

TEST(VCardWriter, EveryValueHasItsOwnLine) {
    MVContactNode c;
    c.contactName = "Clara Smith", c.contactCompany = " Acme", c.contactPhone = " 512-602-1186 312 673 8225";
    c.contactPhoneValues = {"512-602-1186", "312 673 8225", " "};
    c.contactEmail = " clara@mail.example.org clara.work@example.com";
    c.contactEmailValues = {"clara@mail.example.org", "clara.work@example.com"};
    c.contactHomepageValues = {"http://example.com/a,b"};
    c.imageData = std::make_shared<const ByteBuffer>(ByteBuffer{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'});
    EXPECT_EQ(MVVCFController::cardText(c),
              "BEGIN:VCARD\r\nVERSION:3.0\r\nN:;Clara Smith;;;\r\nFN:Clara Smith\r\nORG:Acme\r\n"
              "EMAIL;INTERNET;HOME;PREF:clara@mail.example.org\r\nEMAIL;INTERNET;HOME:clara.work@example.com\r\n"
              "TEL;CELL;PREF:512-602-1186\r\nTEL;CELL:312 673 8225\r\nURL:http://example.com/a\\,b\r\n"
              "PHOTO;ENCODING=b;TYPE=PNG:iVBORw0KGgo=\r\nEND:VCARD");

    // Without a list, addresses split at spaces but a number stays whole.
    MVContactNode joined;
    joined.contactName = std::nullopt, joined.contactEmail = " a@x.org  b@x.org";
    joined.contactPhone = " 312 673 8225";
    EXPECT_EQ(MVVCFController::cardText(joined),
              "BEGIN:VCARD\r\nVERSION:3.0\r\nN:;;;;\r\nFN:312 673 8225\r\nEMAIL;INTERNET;HOME;PREF:a@x.org\r\n"
              "EMAIL;INTERNET;HOME:b@x.org\r\nTEL;CELL;PREF:312 673 8225\r\nEND:VCARD");

    // The formatted name falls back to the company, then to "Unknown".
    MVContactNode firm;
    firm.contactName = " ", firm.contactCompany = "Acme";
    EXPECT_NE(MVVCFController::cardText(firm).find("\r\nFN:Acme\r\nORG:Acme\r\nEND:VCARD"), std::string::npos);
    EXPECT_EQ(MVVCFController::cardText(MVContactNode{}), "BEGIN:VCARD\r\nVERSION:3.0\r\nN:;;;;\r\nFN:Unknown\r\nEND:VCARD");
}

// What an independent vCard reader takes from each card's N: family, given
// and additional names, one line per card.
std::string namePartsRead(const ScratchDir& dir, const std::vector<MVContactNode>& cards) {
    std::string script = "import sys, vobject\nfor p in sys.argv[1:]:\n"
                         "    n = vobject.readOne(open(p, encoding='utf-8').read()).n.value\n"
                         "    print(repr([n.family, n.given, n.additional]))\n";
    writeFile((dir.path() / "n.py").string(), script);
    std::string command = "/usr/bin/python3 '" + (dir.path() / "n.py").string() + "'";
    for (std::size_t i = 0; i < cards.size(); ++i) {
        const std::string path = (dir.path() / (std::to_string(i) + ".vcf")).string();
        writeFile(path, MVVCFController::cardText(cards[i]));
        command += " '" + path + "'";
    }
    std::FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return {};
    std::string out;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
    EXPECT_EQ(::pclose(pipe), 0) << out;
    return out;
}

TEST(VCardWriter, NameIsFiledByItsParts) {
    MVContactNode full;
    full.contactName = "Ann Marie O'Neil", full.contactFirstName = "Ann", full.contactMiddleName = " Marie";
    full.contactLastName = "O'Neil";
    EXPECT_NE(MVVCFController::cardText(full).find("\r\nN:O'Neil;Ann;Marie;;\r\nFN:Ann Marie O'Neil\r\n"),
              std::string::npos);
    // Separators inside a part are the part's own.
    MVContactNode odd;
    odd.contactName = "x", odd.contactFirstName = "Jo;Jo", odd.contactMiddleName = "", odd.contactLastName = "Smith, Jr\\\nII";
    // Only a family name; only an organisation; a whole name without parts.
    MVContactNode family, firm, whole;
    family.contactName = "Garcia", family.contactLastName = "Garcia";
    firm.contactName = std::nullopt, firm.contactCompany = "Acme", firm.contactFirstName = "", firm.contactLastName = "";
    whole.contactName = " Ann Garcia ";
    EXPECT_NE(MVVCFController::cardText(firm).find("\r\nN:;;;;\r\nFN:Acme\r\nORG:Acme\r\n"), std::string::npos);
    ScratchDir dir;
    EXPECT_EQ(namePartsRead(dir, {full, odd, family, firm, whole}),
              "[\"O'Neil\", 'Ann', 'Marie']\n"
              "['Smith, Jr\\\\\\nII', 'Jo;Jo', '']\n"
              "['Garcia', '', '']\n"
              "['', '', '']\n"
              "['', 'Ann Garcia', '']\n");
}

TEST(VCardWriter, PictureIsOneBase64LineTypedByItsBytes) {
    const std::tuple<std::vector<std::uint8_t>, std::string, std::string> cases[] = {
        {{'M'}, "", "TQ=="}, {{0xFF, 0xD8, 0xFF, 0xE0}, ";TYPE=JPEG", "/9j/4A=="},
        {{'G', 'I', 'F', '8', '9', 'a'}, ";TYPE=GIF", "R0lGODlh"}, {{'G', 'I', 'F', '8', '8', 'a'}, "", "R0lGODhh"}};
    for (const auto& [bytes, type, encoded] : cases) {
        MVContactNode c;
        c.contactName = "P", c.imageData = std::make_shared<const ByteBuffer>(bytes);
        const std::string card = MVVCFController::cardText(c);
        EXPECT_NE(card.find("FN:P\r\nPHOTO;ENCODING=b" + type + ":" + encoded + "\r\nEND:VCARD"), std::string::npos)
            << card;
    }
    MVContactNode empty;
    empty.imageData = std::make_shared<const ByteBuffer>();
    EXPECT_EQ(MVVCFController::cardText(empty).find("PHOTO"), std::string::npos);

    // The encoder never writes past a short buffer; a large picture has no seam or line break.
    const std::uint8_t one[] = {'M'};
    char out[8] = {};
    EXPECT_EQ(MVVCFController::baseEncode(one, 1, out, 2, MVVCFController::kBase64Alphabet, true), 0u);
    ByteBuffer big(100003, 0);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7);
    const std::string encoded = MVVCFController::base64(big);
    EXPECT_EQ(encoded.size(), (big.size() + 2) / 3 * 4);
    EXPECT_EQ(encoded.find('\n'), std::string::npos);
}

TEST(PageWriter, EntriesEscapeRecordTextAndPlaceBubbles) {
    MVMessageTreeNode conv;
    conv.messageTreeNodeName = "<Ann>", conv.messageTreeNodeAdress = "+1 555&0101";
    EXPECT_EQ(output::conversationHeading(conv),
              "<p><h3>Name: &lt;Ann&gt; &nbsp;&nbsp;Phone: +1 555&amp;0101 &nbsp;&nbsp;Email: </h3><hr/><p>");

    MVMessageNode me;
    me.messageName = "Clara Smith";  // the conversation's contact, not the writer
    me.messageDate = test::dateAt("03-07-2013 14:05"), me.messageType = "Send";
    me.messageContent = "<script>alert(1)</script> & 'x'";
    EXPECT_EQ(output::messageEntry(me, {}),
              "<p class='name'>Name: Me &nbsp;&nbsp; Date: 03-07-2013 14:05 <p>"
              "<p class='triangle-isosceles2'> &lt;script&gt;alert(1)&lt;/script&gt; &amp; &#39;x&#39; </p>");

    MVMessageNode other;
    other.messageName = std::nullopt, other.messagePhone = "+1 555", other.messageType = "unknown";
    other.messageContent = "hi";
    EXPECT_EQ(output::messageEntry(other, {}),
              "<p class='name'>Name: +1 555 &nbsp;&nbsp; Date:  <p><p class='triangle-isosceles'> hi </p>");
    // A stored date too far out to be written is no date at all, unlike a missing one.
    other.messageDate = kUnreadableDate;
    EXPECT_EQ(output::messageEntry(other, {}),
              "<p class='name'>Name: +1 555 &nbsp;&nbsp; Date: (null) <p><p class='triangle-isosceles'> hi </p>");

    // A received message is headed by its contact, else its address, never "Me".
    MVMessageNode in;
    in.messageType = "Received", in.messageName = "Clara Smith", in.messagePhone = "555";
    EXPECT_EQ(output::sender(in), "Clara Smith");
    in.messageName = " ";
    EXPECT_EQ(output::sender(in), "555");
    in.messagePhone = std::nullopt;
    EXPECT_EQ(output::sender(in), "Unknown");
    in.messageType = "Send";
    EXPECT_EQ(output::sender(in), "Me");

    MVMessageNode pic;
    pic.messageName = "Ann", pic.isHasAttach = 1, pic.messageType = "Received";
    output::AttachmentRef ref{output::urlEncodePath("IMG 1'.JPG"), "IMG 1'.JPG", true};
    EXPECT_EQ(output::messageEntry(pic, ref),
              "<p class='name'>Name: Ann &nbsp;&nbsp; Date:  <p><p><img src='IMG%201%27.JPG'/></p>");
    pic.messageType = "Receive";  // not the direction messages carry
    EXPECT_NE(output::messageEntry(pic, ref).find("<p class='imgdic'><img"), std::string::npos);
    pic.messageType = "Received";
    ref = {"clip.MOV.mov", "clip.MOV.mov", false};
    EXPECT_NE(output::messageEntry(pic, ref).find("<p><a href='clip.MOV.mov'>clip.MOV.mov</a></p>"),
              std::string::npos);
}

TEST(PageWriter, PageIsUtf16WithBomAndEscapedTitle) {
    ScratchDir dir;
    MVHtmlController page;
    page.initMessageHtmlHeader("Ann's <Phone> \xF0\x9F\x93\xB1's Message");
    page.addHtmlContent("<p>\xC3\xA9</p>");
    const auto result = page.writeHtmlInPath((dir.path() / "x.html").string());
    ASSERT_TRUE(result.ok) << result.error;
    const std::string text = decodeUtf16Page(readFile(result.path));
    EXPECT_NE(text.find("<title>Ann&#39;s &lt;Phone&gt; \xF0\x9F\x93\xB1&#39;s Message</title>"), std::string::npos);
    EXPECT_NE(text.find("<p>\xC3\xA9</p></div></div></body></html>"), std::string::npos);
}

TEST(SafeNames, HostileFieldsBecomeOneComponent) {
    EXPECT_EQ(output::safeFileName(" Whitfield ", ".vcf"), "Whitfield.vcf");
    EXPECT_EQ(output::safeRelativePath("HomeDomain/Library/.hidden"),
              (std::vector<std::string>{"HomeDomain", "Library", ".hidden"}));  // the device's own names stay
    EXPECT_EQ(output::safeFileName("a\\b\x1b\x7f"), "a_b__");
    EXPECT_EQ(output::safeFileName("...", ".vcf"), "unnamed.vcf");
    EXPECT_EQ(output::safeFileName("bad\xFF\xC3"), "bad__");
    EXPECT_EQ(output::safeFileName("caf\xC3\xA9"), "caf\xC3\xA9");

    std::string longName;
    for (int i = 0; i < 150; ++i) longName += "\xC3\xA9";  // 300 bytes
    for (const std::string& name : {output::safeFileName(longName, ".vcf"), output::safeFileName(longName + ".jpg"),
                                    output::numberedName(output::safeFileName(longName + ".jpg"), 12)}) {
        EXPECT_LE(name.size(), output::kMaxNameBytes);
        utf8::Utf8Validator v;
        EXPECT_TRUE(v.feed(reinterpret_cast<const std::uint8_t*>(name.data()), name.size()) && v.finish()) << name;
    }
    EXPECT_EQ(output::safeFileName(longName, ".vcf").substr(250), ".vcf");
    EXPECT_EQ(output::numberedName(output::safeFileName(longName + ".jpg"), 12).substr(245), "\xA9 (12).jpg");

    EXPECT_EQ(output::numberedName("Ann.vcf", 2), "Ann (2).vcf");
    EXPECT_EQ(output::safeRelativePath("HomeDomain/../../a/./b//c\x01"),
              (std::vector<std::string>{"HomeDomain", "a", "b", "c_"}));
    EXPECT_TRUE(output::safeRelativePath("../..").empty());
}

}  // namespace
}  // namespace salvor
