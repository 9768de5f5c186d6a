#include "conversation_pdf.h"
#include "heif_picture.h"

#include <QBuffer>
#include <QFile>
#include <QFont>
#include <QHash>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <QPageSize>
#include <QPainter>
#include <QPainterPath>
#include <QPdfWriter>
#include <QTextLayout>

#include <algorithm>
#include <cstdlib>
#include <cmath>
#include <optional>
#include <memory>
#include <vector>

namespace salvor::pdf {

namespace {

// Sizes in points: the writer works at 72 units per inch.
constexpr int kResolution = 72;
constexpr double kMargin = 42;
constexpr double kPad = 7;
constexpr double kGap = 10;
constexpr double kRadius = 9;
constexpr double kBubbleShare = 0.72;  // of the text column
constexpr double kMaxPicture = 260;
// Pictures are kept at twice their drawn size: sharp when printed, small in the file.
constexpr double kPictureDetail = 2.0;
// Larger pictures are not decoded at all.
constexpr qint64 kMaxPixels = 100LL * 1000 * 1000;

const QColor kSentFill(0x1f, 0x6f, 0xd6), kSentInk(Qt::white);
const QColor kReceivedFill(0xe8, 0xe8, 0xed), kReceivedInk(0x1c, 0x1c, 0x1e);
const QColor kDeletedEdge(0xd9, 0x3a, 0x2b), kQuiet(0x6e, 0x6e, 0x73);

QString q(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

// Line ends as the layout understands them.
QString layoutText(const std::string& s) {
    QString text = q(s);
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    text.replace(QLatin1Char('\n'), QChar::LineSeparator);
    return text;
}

QFont font(double points, bool bold = false) {
    // A family list: a character the first lacks comes from the next, and
    // from any system font beyond that has it.
    QFont f;
    f.setFamilies({QStringLiteral("DejaVu Sans"), QStringLiteral("Noto Sans")});
    f.setPointSizeF(points);
    f.setBold(bold);
    return f;
}

// Whether `cp` starts an emoji that is drawn as a picture: the pictographs
// beyond the basic plane, and any sign asked for in emoji form (U+FE0F after it).
bool startsEmoji(char32_t cp, char32_t next) {
    if (cp >= 0x1F000 && cp <= 0x1FAFF) return true;
    return next == 0xFE0F && (cp >= 0x2000 || cp == '#' || cp == '*' || (cp >= '0' && cp <= '9') || cp == 0xA9 || cp == 0xAE);
}
// Whether `cp` continues the emoji before it: variation and skin-tone
// modifiers, keycaps, tags, and a joiner with the pictograph after it.
bool continuesEmoji(char32_t cp) {
    return cp == 0xFE0F || cp == 0x20E3 || (cp >= 0x1F3FB && cp <= 0x1F3FF) || (cp >= 0xE0020 && cp <= 0xE007F);
}

// A colour emoji as a picture, drawn once per process and thread from the
// system's emoji font at a size that prints sharply.
QImage emojiPicture(const QString& cluster) {
    thread_local QHash<QString, QImage> drawn;
    if (const auto it = drawn.constFind(cluster); it != drawn.constEnd()) return *it;
    QFont face;
    face.setFamilies({QStringLiteral("Noto Color Emoji")});
    face.setPixelSize(64);
    const QFontMetricsF fm(face);
    const QSize size(std::max(1, static_cast<int>(std::ceil(fm.horizontalAdvance(cluster)))),
                     std::max(1, static_cast<int>(std::ceil(fm.height()))));
    QImage picture(size, QImage::Format_ARGB32_Premultiplied);
    picture.fill(Qt::transparent);
    QPainter p(&picture);
    p.setFont(face);
    p.drawText(QPointF(0, fm.ascent()), cluster);
    p.end();
    drawn.insert(cluster, picture);
    return picture;
}

// Text laid out in lines of at most `width` points. The PDF engine embeds
// glyph outlines only, and colour emoji have none (and Qt measures them
// differently from one layout to the next): each emoji is laid out as an em
// space and drawn as a picture in its place.
struct Paragraph {
    struct Emoji {
        int start = 0, length = 0;  // the em space in the laid-out text
        QString cluster;
    };
    std::unique_ptr<QTextLayout> layout;
    std::vector<Emoji> emoji;
    double widest = 0;
    Paragraph(const QString& given, const QFont& f, double width, QPaintDevice* device) {
        QString text;
        text.reserve(given.size());
        const QList<uint> cps = given.toUcs4();
        for (qsizetype i = 0; i < cps.size();) {
            const char32_t cp = cps[i], next = i + 1 < cps.size() ? cps[i + 1] : 0;
            if (!startsEmoji(cp, next)) {
                text += QString::fromUcs4(&cp, 1);
                ++i;
                continue;
            }
            QString cluster = QString::fromUcs4(&cp, 1);
            const bool flag = cp >= 0x1F1E6 && cp <= 0x1F1FF;
            ++i;
            if (flag && i < cps.size() && cps[i] >= 0x1F1E6 && cps[i] <= 0x1F1FF) {
                const char32_t second = cps[i++];
                cluster += QString::fromUcs4(&second, 1);
            }
            while (i < cps.size()) {
                const char32_t more = cps[i];
                if (continuesEmoji(more)) {
                    cluster += QString::fromUcs4(&more, 1);
                    ++i;
                } else if (more == 0x200D && i + 1 < cps.size()) {
                    const char32_t joined[2] = {more, static_cast<char32_t>(cps[i + 1])};
                    cluster += QString::fromUcs4(joined, 2);
                    i += 2;
                } else {
                    break;
                }
            }
            emoji.push_back({static_cast<int>(text.size()), 1, cluster});
            text += QChar(0x2003);
        }
        layout = std::make_unique<QTextLayout>(text, f, device);
        QTextOption option;
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        layout->setTextOption(option);
        layout->setCacheEnabled(true);
        layout->beginLayout();
        double y = 0;
        for (;;) {
            QTextLine line = layout->createLine();
            if (!line.isValid()) break;
            line.setLineWidth(width);
            line.setPosition(QPointF(0, y));
            y += line.height();
            widest = std::max(widest, line.naturalTextWidth());
        }
        layout->endLayout();
    }
    int lines() const { return layout->lineCount(); }
    QTextLine line(int i) const { return layout->lineAt(i); }
    double height() const { return layout->boundingRect().height(); }
};

// Draws lines [first, last) of a paragraph with line `first` at `origin`:
// the text as real text, each emoji as its picture in the space kept for it.
void drawLines(QPainter& p, const Paragraph& para, int first, int last, QPointF origin) {
    const QPointF shift = origin - QPointF(0, para.line(first).y());
    for (int i = first; i < last; ++i) {
        const QTextLine line = para.line(i);
        line.draw(&p, shift);
        for (const auto& e : para.emoji) {
            if (e.start < line.textStart() || e.start >= line.textStart() + line.textLength()) continue;
            const double a = line.cursorToX(e.start), b = line.cursorToX(e.start + e.length);
            const double slot = std::abs(b - a), tall = line.ascent() + line.descent();
            if (slot <= 0) continue;
            const QImage picture = emojiPicture(e.cluster);
            const double scale = std::min(slot / picture.width(), tall / picture.height());
            const QSizeF size(picture.width() * scale, picture.height() * scale);
            const QPointF corner(std::min(a, b) + (slot - size.width()) / 2, line.y() + (tall - size.height()) / 2);
            p.drawImage(QRectF(shift + corner, size), picture);
        }
    }
}

class Document {
public:
    Document(QPdfWriter& writer, QPainter& painter, const ConversationDocument& doc)
        : writer_(writer), p_(painter), doc_(doc), body_(font(10.5)), small_(font(8)) {
        const QRectF page = painter.viewport();
        left_ = kMargin;
        right_ = page.width() - kMargin;
        top_ = kMargin;
        bottom_ = page.height() - kMargin - 14;  // room for the page number
        y_ = top_;
        running_ = doc.name.empty() ? QStringLiteral("Conversation") : q(doc.name);
    }

    void write() {
        titleBlock();
        if (doc_.entries.empty()) {
            p_.setFont(body_);
            p_.setPen(kQuiet);
            p_.drawText(QPointF(left_, y_ + QFontMetricsF(body_).ascent()), QStringLiteral("No messages."));
        }
        for (std::size_t i = 0; i < doc_.entries.size(); ++i) message(i);
        footer();
    }

private:
    void footer() {
        p_.setFont(small_);
        p_.setPen(kQuiet);
        const QRectF band(left_, bottom_ + 8, right_ - left_, 14);
        p_.drawText(band, Qt::AlignHCenter | Qt::AlignBottom, QStringLiteral("Page %1").arg(page_));
    }
    void newPage() {
        footer();
        writer_.newPage();
        ++page_;
        y_ = top_;
        // Every later page says whose conversation it is.
        p_.setFont(small_);
        p_.setPen(kQuiet);
        const QFontMetricsF fm(small_);
        p_.drawText(QRectF(left_, y_, right_ - left_, fm.height()), Qt::AlignLeft | Qt::AlignTop,
                    fm.elidedText(running_, Qt::ElideRight, right_ - left_));
        y_ += fm.height() + 6;
        pageTop_ = y_;
    }
    // Starts a new page unless `h` points fit below; never on an empty page.
    void ensure(double h) {
        if (y_ + h > bottom_ && y_ > pageTop_) newPage();
    }

    void block(const QString& text, const QFont& f, const QColor& ink) {
        Paragraph para(text, f, right_ - left_, &writer_);
        p_.setPen(ink);
        if (para.lines() > 0) drawLines(p_, para, 0, para.lines(), QPointF(left_, y_));
        y_ += para.height();
    }

    void titleBlock() {
        block(QStringLiteral("Conversation with ") + running_, font(17, true), kReceivedInk);
        y_ += 3;
        QStringList facts;
        if (!doc_.address.empty()) facts << q(doc_.address);
        if (!doc_.device.empty()) facts << QStringLiteral("Device: ") + q(doc_.device);
        if (!doc_.dateRange.empty()) facts << QStringLiteral("Dates: ") + q(doc_.dateRange);
        facts << QStringLiteral("%1 message%2").arg(doc_.entries.size()).arg(doc_.entries.size() == 1 ? "" : "s");
        for (const auto& fact : facts) block(fact, font(10), kQuiet);
        y_ += 8;
        p_.setPen(QPen(kReceivedFill, 1));
        p_.drawLine(QPointF(left_, y_), QPointF(right_, y_));
        y_ += 12;
        pageTop_ = top_;
    }

    double bubbleX(bool sent, double width) const { return sent ? right_ - width : left_; }

    void bubble(const QRectF& r, bool sent, bool deleted) {
        QPainterPath path;
        path.addRoundedRect(r, kRadius, kRadius);
        p_.fillPath(path, sent ? kSentFill : kReceivedFill);
        if (deleted) p_.strokePath(path, QPen(kDeletedEdge, 1.4, Qt::DashLine));
    }

    void message(std::size_t index) {
        const ConversationDocument::Entry& e = doc_.entries[index];
        const double column = right_ - left_;
        const double maxText = column * kBubbleShare - 2 * kPad;

        QString text = layoutText(e.text);
        std::optional<QImage> picture;
        if (e.picture) picture = loadPicture(index);
        if (!e.attachment.empty() && !picture) {
            if (!text.isEmpty()) text += QChar::LineSeparator;
            text += QStringLiteral("[Attachment: ") + q(e.attachment) + QLatin1Char(']');
        }
        if (text.isEmpty() && !picture) text = QStringLiteral(" ");

        QString stamp = q(e.sender);
        if (!e.date.empty()) stamp += QStringLiteral("  \u00b7  ") + q(e.date);
        if (e.deleted) stamp += QStringLiteral("  \u00b7  deleted");
        const QFontMetricsF sm(small_);
        const double stampH = sm.height() + 2;

        std::optional<Paragraph> para;
        if (!text.isEmpty()) para.emplace(text, body_, maxText, &writer_);
        const double firstLine = para && para->lines() > 0 ? para->line(0).height() + 2 * kPad : 0;
        ensure(stampH + (para ? firstLine : pictureSize(*picture, maxText).height()));

        // Who and when, above the bubble on its side.
        p_.setFont(small_);
        p_.setPen(e.deleted ? kDeletedEdge : kQuiet);
        const Paragraph stampLine(sm.elidedText(stamp, Qt::ElideRight, column), small_, column, &writer_);
        const double stampW = std::ceil(stampLine.widest);
        if (stampLine.lines() > 0)
            drawLines(p_, stampLine, 0, 1, QPointF(e.sent ? right_ - stampW : left_, y_));
        y_ += stampH;

        if (para) {
            const double width = std::ceil(para->widest) + 2 * kPad;
            const double x = bubbleX(e.sent, width);
            // Lines go onto the page until it is full; the rest continue on the next.
            int first = 0;
            while (first < para->lines()) {
                int last = first;
                double h = 0;
                while (last < para->lines()) {
                    const double lh = para->line(last).height();
                    if (last > first && y_ + 2 * kPad + h + lh > bottom_) break;
                    h += lh;
                    ++last;
                }
                const QRectF r(x, y_, width, h + 2 * kPad);
                bubble(r, e.sent, e.deleted);
                p_.setPen(e.sent ? kSentInk : kReceivedInk);
                drawLines(p_, *para, first, last, QPointF(x + kPad, y_ + kPad));
                y_ += r.height();
                first = last;
                if (first < para->lines()) newPage();
            }
        }
        if (picture) {
            const QSizeF size = pictureSize(*picture, maxText);
            if (para) y_ += 3;
            ensure(size.height());
            const QRectF r(bubbleX(e.sent, size.width()), y_, size.width(), size.height());
            p_.save();
            QPainterPath clip;
            clip.addRoundedRect(r, kRadius, kRadius);
            p_.setClipPath(clip);
            p_.drawImage(r, *picture);
            p_.restore();
            if (e.deleted) p_.strokePath(clip, QPen(kDeletedEdge, 1.4, Qt::DashLine));
            y_ += size.height();
        }
        y_ += kGap;
    }

    static QSizeF pictureSize(const QImage& image, double maxWidth) {
        const double limit = std::min(maxWidth, kMaxPicture);
        const double scale = std::min({1.0, limit / image.width(), kMaxPicture / image.height()});
        return {std::max(1.0, image.width() * scale), std::max(1.0, image.height() * scale)};
    }

    // The picture of an entry, turned upright and reduced to the detail the
    // page needs; absent when it cannot be read.
    std::optional<QImage> loadPicture(std::size_t index) {
        if (!doc_.loadPicture) return std::nullopt;
        const Bytes bytes = doc_.loadPicture(index);
        if (!bytes || bytes->empty()) return std::nullopt;
        QByteArray data = QByteArray::fromRawData(reinterpret_cast<const char*>(bytes->data()),
                                                  static_cast<qsizetype>(bytes->size()));
        // Never more detail than the largest picture a page shows.
        const QSize most(static_cast<int>(kMaxPicture * kPictureDetail), static_cast<int>(kMaxPicture * kPictureDetail));
        QImage image;
        if (isHeif(data)) {
            image = decodeHeif(data, most, kMaxPixels);
        } else {
            QBuffer buffer(&data);
            buffer.open(QIODevice::ReadOnly);
            QImageReader reader(&buffer);
            reader.setAutoTransform(true);
            image = reader.read();
        }
        if (image.isNull() || image.width() <= 0 || image.height() <= 0) return std::nullopt;
        const QSizeF shown = pictureSize(image, (right_ - left_) * kBubbleShare - 2 * kPad);
        const QSize detail(static_cast<int>(shown.width() * kPictureDetail), static_cast<int>(shown.height() * kPictureDetail));
        if (image.width() > detail.width() || image.height() > detail.height())
            image = image.scaled(detail, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        return image;
    }

    QPdfWriter& writer_;
    QPainter& p_;
    const ConversationDocument& doc_;
    QFont body_, small_;
    QString running_;
    double left_ = 0, right_ = 0, top_ = 0, bottom_ = 0, y_ = 0, pageTop_ = 0;
    int page_ = 1;
};

}  // namespace

std::string writeConversationPdf(const ConversationDocument& document, int fd) {
    QFile file;
    if (!file.open(fd, QIODevice::WriteOnly, QFileDevice::DontCloseHandle))
        return "cannot open the document for writing: " + file.errorString().toStdString();
    QPdfWriter writer(&file);
    writer.setResolution(kResolution);
    writer.setPageSize(QPageSize(QPageSize::A4));
    writer.setPageMargins(QMarginsF(0, 0, 0, 0));
    writer.setTitle(QStringLiteral("Conversation with ") + q(document.name));
    writer.setCreator(QStringLiteral("Salvor"));
    QPainter painter;
    if (!painter.begin(&writer)) return "cannot start the document";
    Document(writer, painter, document).write();
    if (!painter.end()) return "cannot finish the document";
    file.flush();
    if (file.error() != QFileDevice::NoError) return "cannot write the document: " + file.errorString().toStdString();
    return {};
}

void ensureApplication() {
    if (QGuiApplication::instance()) return;
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (!platform || !*platform) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "salvor";
    static char* argv[] = {name, nullptr};
    // Lives as long as the process: the writer may run until the very end.
    static QGuiApplication* app = new QGuiApplication(argc, argv);
    (void)app;
}

ConversationDocumentWriter conversationPdfWriter() { return &writeConversationPdf; }

}  // namespace salvor::pdf
