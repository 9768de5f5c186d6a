// Printable conversations as PDF readers see them (poppler's pdftotext,
// pdfinfo, pdffonts and pdfimages): real text in the order of the messages,
// page numbers, pictures embedded, every script drawn with a font that has it.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <libheif/heif.h>
#include <unistd.h>

#include <QBuffer>
#include <QImage>

#include <filesystem>
#include <csignal>
#include <memory>
#include <sstream>

#include "conversation_pdf.h"
#include "support/readers.h"
#include "support/support.h"

namespace salvor::test {
namespace {

namespace fs = std::filesystem;

void app() { pdf::ensureApplication(); }

std::string write(const ConversationDocument& doc, const std::string& path) {
    app();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    EXPECT_GE(fd, 0);
    const std::string error = pdf::writeConversationPdf(doc, fd);
    ::close(fd);
    return error;
}

// Text with every kind of white space taken out: pdftotext breaks lines where the layout did.
std::string squeezed(const std::string& s) {
    std::string out;
    for (char c : s)
        if (c != ' ' && c != '\n' && c != '\r' && c != '\t' && c != '\f') out += c;
    return out;
}

ConversationDocument::Entry entry(std::string text, bool sent, std::string date = "2024-03-07 09:05") {
    ConversationDocument::Entry e;
    e.text = std::move(text);
    e.sent = sent;
    e.sender = sent ? "Me" : "Ann Lee";
    e.date = std::move(date);
    return e;
}

TEST(ConversationPdf, LongConversationKeepsEveryMessageInOrderOverNumberedPages) {
    TempDir dir;
    ConversationDocument doc;
    doc.name = "Ann Lee", doc.address = "+1 555 0100", doc.device = "Ann's iPhone";
    doc.dateRange = "2024-03-07 09:05 – 2024-03-09 18:00";
    for (int i = 0; i < 240; ++i) doc.entries.push_back(entry("message " + std::to_string(i) + " says hello, friend", i % 3 == 0));
    // One message longer than a page continues on the next.
    std::string essay;
    for (int i = 0; i < 900; ++i) essay += "word" + std::to_string(i) + " ";
    doc.entries.push_back(entry(essay, false));
    doc.entries.back().deleted = true;
    const std::string path = dir / "ann.pdf";
    ASSERT_EQ(write(doc, path), "");

    const int pages = pdfPages(path);
    EXPECT_GT(pages, 3);
    const std::string text = pdfText(path);
    EXPECT_NE(text.find("Conversation with Ann Lee"), std::string::npos) << text.substr(0, 400);
    EXPECT_NE(text.find("+1 555 0100"), std::string::npos);
    EXPECT_NE(text.find("Device: Ann's iPhone"), std::string::npos);
    EXPECT_NE(text.find("2024-03-07 09:05 – 2024-03-09 18:00"), std::string::npos);
    const std::string flat = squeezed(pdfBodyText(path));
    std::size_t at = 0;
    for (int i = 0; i < 240; ++i) {
        const std::string want = squeezed("message " + std::to_string(i) + " says hello, friend");
        const std::size_t found = flat.find(want, at);
        ASSERT_NE(found, std::string::npos) << "message " << i << " missing or out of order";
        at = found + want.size();
    }
    for (int i = 0; i < 900; i += 97) {
        const std::size_t found = flat.find("word" + std::to_string(i) + "word", at);
        ASSERT_NE(found, std::string::npos) << "word" << i;
        at = found;
    }
    for (int p = 1; p <= pages; ++p) EXPECT_NE(text.find("Page " + std::to_string(p)), std::string::npos) << p;
    EXPECT_NE(text.find("deleted"), std::string::npos);
}

// A HEIC picture as the camera makes it, `width` by `height`, one colour;
// empty when this machine's libheif cannot encode.
Bytes heic(int width, int height, const std::string& path) {
    heif_context* context = heif_context_alloc();
    heif_encoder* encoder = nullptr;
    heif_image* image = nullptr;
    bool ok = heif_context_get_encoder_for_format(context, heif_compression_HEVC, &encoder).code == heif_error_Ok &&
              heif_image_create(width, height, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &image).code ==
                  heif_error_Ok &&
              heif_image_add_plane(image, heif_channel_interleaved, width, height, 8).code == heif_error_Ok;
    if (ok) {
        int stride = 0;
        uint8_t* pixels = heif_image_get_plane(image, heif_channel_interleaved, &stride);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                uint8_t* p = pixels + y * stride + x * 3;
                p[0] = 30, p[1] = 160, p[2] = 40;
            }
        }
        ok = heif_context_encode_image(context, image, encoder, nullptr, nullptr).code == heif_error_Ok &&
             heif_context_write_to_file(context, path.c_str()).code == heif_error_Ok;
    }
    if (image) heif_image_release(image);
    if (encoder) heif_encoder_release(encoder);
    heif_context_free(context);
    if (!ok) return nullptr;
    const auto bytes = readBytes(path);
    return std::make_shared<const ByteBuffer>(bytes.begin(), bytes.end());
}

TEST(ConversationPdf, PicturesAreEmbeddedAndOtherAttachmentsNamed) {
    TempDir dir;
    QImage picture(1600, 1200, QImage::Format_RGB32);
    picture.fill(QColor(200, 30, 30));
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    ASSERT_TRUE(picture.save(&buffer, "PNG"));
    const Bytes bytes = std::make_shared<const ByteBuffer>(png.begin(), png.end());

    ConversationDocument doc;
    doc.name = "Bob";
    doc.entries.push_back(entry("look at this", false));
    doc.entries.back().attachment = "IMG_0001.PNG";
    doc.entries.back().picture = true;
    doc.entries.push_back(entry("", true));
    doc.entries.back().attachment = "card.vcf";
    doc.entries.push_back(entry("broken picture", false));
    doc.entries.back().attachment = "IMG_0002.JPG";
    doc.entries.back().picture = true;
    const Bytes camera = heic(640, 480, dir / "camera.heic");
    ASSERT_TRUE(camera) << "libheif cannot encode HEIC here";
    doc.entries.push_back(entry("from the camera", true));
    doc.entries.back().attachment = "IMG_0003.HEIC";
    doc.entries.back().picture = true;
    int loads = 0;
    doc.loadPicture = [&](std::size_t i) -> Bytes {
        ++loads;
        if (i == 0) return bytes;
        return i == 3 ? camera : std::make_shared<const ByteBuffer>(ByteBuffer{1, 2, 3});
    };
    const std::string path = dir / "bob.pdf";
    ASSERT_EQ(write(doc, path), "");
    EXPECT_EQ(loads, 3);

    const ShellResult images = shell("pdfimages -list " + quoted(path), false);
    ASSERT_EQ(images.status, 0);
    // A header of two lines, then one line per image: the picture, reduced for the page.
    std::vector<std::pair<int, int>> sizes;
    std::istringstream lines(images.out);
    std::string line;
    for (int skip = 0; skip < 2 && std::getline(lines, line); ++skip) {}
    while (std::getline(lines, line)) {
        std::istringstream cells(line);
        int page, num, width, height;
        std::string type;
        if (cells >> page >> num >> type >> width >> height) sizes.emplace_back(width, height);
    }
    // The PNG and the HEIC picture, each reduced for the page and keeping its shape.
    ASSERT_EQ(sizes.size(), 2u) << images.out;
    for (const auto& [width, height] : sizes) {
        EXPECT_GE(width, 300);
        EXPECT_LE(width, 800);
        EXPECT_NEAR(static_cast<double>(height) / width, 0.75, 0.02);
    }
    const std::string text = pdfText(path);
    EXPECT_NE(text.find("[Attachment: card.vcf]"), std::string::npos) << text;
    EXPECT_NE(text.find("[Attachment: IMG_0002.JPG]"), std::string::npos);
    EXPECT_EQ(text.find("[Attachment: IMG_0001.PNG]"), std::string::npos);
    EXPECT_EQ(text.find("[Attachment: IMG_0003.HEIC]"), std::string::npos);
}

// Pixels of a rendered page that are warm and bright (yellow, orange): the
// page's own colours are greys, blues and a red edge, so these come from emoji.
int warmPixels(const std::string& pdf, const std::string& prefix) {
    const ShellResult r = shell("pdftoppm -r 150 -f 1 -l 1 " + quoted(pdf) + " " + quoted(prefix), false);
    EXPECT_EQ(r.status, 0);
    std::string ppm;
    for (const auto& e : fs::directory_iterator(fs::path(prefix).parent_path()))
        if (e.path().extension() == ".ppm") ppm = readFile(e.path().string());
    std::istringstream in(ppm);
    std::string magic;
    int width = 0, height = 0, max = 0;
    in >> magic >> width >> height >> max;
    in.get();
    EXPECT_EQ(magic, "P6");
    int warm = 0;
    for (int i = 0; i < width * height; ++i) {
        const int red = in.get(), green = in.get(), blue = in.get();
        if (!in) break;
        warm += red > 200 && green > 120 && blue < 110;
    }
    return warm;
}

TEST(ConversationPdf, EveryScriptIsDrawnWithAFontThatHasIt) {
    TempDir dir;
    ConversationDocument doc;
    doc.name = "\xE7\x8E\x8B\xE4\xBC\x9F";  // 王伟
    doc.entries.push_back(entry("\xE6\x98\x8E\xE5\xA4\xA9", false));            // 明天
    doc.entries.push_back(entry("\xD9\x85\xD8\xB1\xD8\xAD\xD8\xA8\xD8\xA7", true));   // مرحبا
    doc.entries.push_back(entry("\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82", false));  // Привет
    const std::string plain = dir / "plain.pdf";
    ASSERT_EQ(write(doc, plain), "");
    doc.entries.push_back(entry("party \xF0\x9F\x8E\x89\xF0\x9F\x8E\x82", true));  // 🎉🎂
    const std::string path = dir / "wang.pdf";
    ASSERT_EQ(write(doc, path), "");

    // The text comes back as text; Arabic as its shaped forms, which fold
    // back to the letters written.
    const ShellResult text = shell("pdftotext -enc UTF-8 " + quoted(path) +
                                       " - | /usr/bin/python3 -c \"import sys, unicodedata; "
                                       "sys.stdout.write(unicodedata.normalize('NFKC', sys.stdin.read()))\"",
                                   false);
    ASSERT_EQ(text.status, 0);
    for (const char* want : {"\xE7\x8E\x8B\xE4\xBC\x9F", "\xE6\x98\x8E\xE5\xA4\xA9",
                             "\xD9\x85\xD8\xB1\xD8\xAD\xD8\xA8\xD8\xA7",
                             "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"})
        EXPECT_NE(text.out.find(want), std::string::npos) << want << "\n" << text.out;
    // The ideographs come from a CJK face the system has.
    const ShellResult fonts = shell("pdffonts " + quoted(path), false);
    ASSERT_EQ(fonts.status, 0);
    EXPECT_NE(fonts.out.find("CJK"), std::string::npos) << fonts.out;
    // The emoji are drawn in colour, not left blank.
    fs::create_directories(dir / "plain"), fs::create_directories(dir / "emoji");
    EXPECT_EQ(warmPixels(plain, dir / "plain/page"), 0);
    EXPECT_GT(warmPixels(path, dir / "emoji/page"), 20);
}

TEST(ConversationPdf, AnUnwritableFileIsAnErrorNotACrash) {
    app();
    ConversationDocument doc;
    doc.name = "x";
    doc.entries.push_back(entry("hello", false));
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);  // nobody reads: every write fails
    ::signal(SIGPIPE, SIG_IGN);
    EXPECT_NE(pdf::writeConversationPdf(doc, fds[1]), "");
    ::close(fds[1]);
}

}  // namespace
}  // namespace salvor::test
