#include "conversation_view.h"

#include <QDialog>
#include <QFileInfo>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QVBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QResizeEvent>

#include "core/helpers.h"
#include "thumbnail_cache.h"

namespace salvor::gui {

namespace {

constexpr int kMargin = 12;
constexpr int kPad = 8;
constexpr int kGap = 10;
const QString kShowAll = QStringLiteral("Show all");

// The text a message brings, without the object-replacement sign that stands
// for its attachment.
QString textOf(const MVMessageNode& m) {
    QString text = QString::fromStdString(textOrEmpty(m.messageContent));
    text.remove(QChar(0xFFFC));
    return text.trimmed();
}

// The beginning of the text, at most `chars` characters of it, converting
// only a prefix of the bytes; `cut` tells whether anything was left out.
QString beginningOf(const MVMessageNode& m, qsizetype chars, bool& cut) {
    const std::string& bytes = textOrEmpty(m.messageContent);
    // A character takes at most four bytes of UTF-8: a prefix of this size
    // fills `chars` characters unless it is mostly signs and spaces removed below.
    const std::size_t prefix = static_cast<std::size_t>(chars) * 4 + 64;
    QString text;
    if (bytes.size() <= prefix) {
        text = textOf(m);
        cut = text.size() > chars;
    } else {
        std::size_t end = prefix;
        while (end > 0 && (static_cast<unsigned char>(bytes[end]) & 0xC0) == 0x80) --end;  // a whole character
        text = QString::fromUtf8(bytes.data(), static_cast<qsizetype>(end));
        text.remove(QChar(0xFFFC));
        text = text.trimmed();
        cut = true;
    }
    if (!cut) return text;
    qsizetype keep = std::min(chars, text.size());
    if (keep > 0 && text[keep - 1].isHighSurrogate()) --keep;  // not half a character
    text.truncate(keep);
    return text + QChar(0x2026);
}

// Lines longer than this are shown broken in the whole-text window: a
// plain-text view lays out a visible line whole, however long it is.
constexpr qsizetype kShownLine = 4096;

QString stampOf(const MVMessageNode& m) {
    QString s = QString::fromStdString(textOrEmpty(displayDate(m.messageDate)));
    if (m.bDeleted) s += s.isEmpty() ? QStringLiteral("deleted") : QStringLiteral("  ·  deleted");
    return s;
}

QString kindName(const MVMessageNode& m) {
    const std::string& type = textOrEmpty(m.attachType);
    if (type == "Image") return QStringLiteral("Picture");
    if (type == "Mov") return QStringLiteral("Video or sound");
    if (type == "Contact") return QStringLiteral("Contact card");
    if (type == "Location") return QStringLiteral("Location");
    return QStringLiteral("File");
}

QColor mix(const QColor& a, const QColor& b, double t) {
    return QColor::fromRgbF(static_cast<float>(a.redF() * (1 - t) + b.redF() * t),
                            static_cast<float>(a.greenF() * (1 - t) + b.greenF() * t),
                            static_cast<float>(a.blueF() * (1 - t) + b.blueF() * t));
}

}  // namespace

ConversationView::ConversationView(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    setBackgroundRole(QPalette::Base);
    setAutoFillBackground(true);
}

void ConversationView::setThumbnails(ThumbnailCache* cache) {
    if (thumbnails_) disconnect(thumbnails_, nullptr, this, nullptr);
    thumbnails_ = cache;
    // A picture that turns out unreadable becomes a chip: the bubbles are laid out again.
    if (thumbnails_)
        connect(thumbnails_, &ThumbnailCache::ready, this, [this] {
            if (messages_.empty()) return;
            bubbles_.clear();
            const int h = layoutFor(width(), &bubbles_);
            if (minimumHeight() != h) setMinimumHeight(h);
            update();
        });
}

void ConversationView::setAttachmentNames(std::function<QString(const std::string&)> nameOf) {
    nameOf_ = std::move(nameOf);
}

bool ConversationView::isSent(const MVMessageNode& message) {
    const std::string& type = textOrEmpty(message.messageType);
    return type == "Send" || type == "Sent" || type == "sent" || type == "send";
}

ConversationView::Attachment ConversationView::attachmentOf(const MVMessageNode& m) const {
    if (!m.isHasAttach) return Attachment::None;
    if (!m.attachmentPath || m.attachmentPath->empty()) return Attachment::Missing;
    if (thumbnails_ && textOrEmpty(m.attachType) == "Image") {
        // A picture whose file cannot be read shows as a chip instead.
        if (thumbnails_->state(QString::fromStdString(*m.attachmentPath)) != ThumbnailCache::State::Failed)
            return Attachment::Picture;
    }
    return Attachment::Chip;
}

QString ConversationView::bodyOf(std::size_t i) const {
    const QString& text = shown_[i].text;
    return text.isEmpty() && attachmentOf(*messages_[i]) == Attachment::None ? QStringLiteral(" ") : text;
}

QString ConversationView::shownText(std::size_t i) const { return i < shown_.size() ? shown_[i].text : QString(); }

bool ConversationView::isCut(std::size_t i) const { return i < shown_.size() && shown_[i].cut; }

QPlainTextEdit* ConversationView::showAll(std::size_t i) {
    if (i >= messages_.size()) return nullptr;
    const QString text = textOf(*messages_[i]);
    // One block per line, very long lines in pieces, so that the view lays
    // out only the blocks on screen.
    QString broken;
    broken.reserve(text.size() + text.size() / kShownLine + 1);
    qsizetype run = 0;
    for (const QChar c : text) {
        if (c == QLatin1Char('\n')) {
            run = 0;
        } else if (++run > kShownLine) {
            broken += QLatin1Char('\n');
            run = 1;
        }
        broken += c;
    }
    auto* window = new QDialog(this);
    window->setAttribute(Qt::WA_DeleteOnClose);
    const std::string date = textOrEmpty(displayDate(messages_[i]->messageDate));
    window->setWindowTitle(QStringLiteral("Message of %1").arg(QString::fromStdString(date)));
    auto* view = new QPlainTextEdit(window);
    view->setReadOnly(true);
    view->setPlainText(broken);
    auto* layout = new QVBoxLayout(window);
    layout->addWidget(view);
    window->resize(640, 480);
    window->show();
    return view;
}

QString ConversationView::chipText(std::size_t i) const {
    if (i >= messages_.size()) return {};
    const MVMessageNode& m = *messages_[i];
    switch (attachmentOf(m)) {
    case Attachment::Missing: return QStringLiteral("Attachment not in the backup");
    case Attachment::Chip: {
        QString name = nameOf_ ? nameOf_(*m.attachmentPath) : QString();
        if (name.isEmpty()) name = QFileInfo(QString::fromStdString(*m.attachmentPath)).fileName();
        return QStringLiteral("%1 · %2").arg(name, kindName(m));
    }
    default: return {};
    }
}

QImage ConversationView::picture(std::size_t i) const {
    if (!thumbnails_ || i >= messages_.size() || attachmentOf(*messages_[i]) != Attachment::Picture) return {};
    return thumbnails_->thumbnail(QString::fromStdString(*messages_[i]->attachmentPath));
}

void ConversationView::setMessages(std::vector<MessagePtr> messages) {
    messages_ = std::move(messages);
    std::erase(messages_, nullptr);
    shown_.clear();
    shown_.reserve(messages_.size());
    for (const MessagePtr& m : messages_) {
        Shown s;
        s.text = beginningOf(*m, kShownChars, s.cut);
        shown_.push_back(std::move(s));
    }
    bubbles_.clear();
    // The view is as tall as its bubbles, so the scroll area around it scrolls them all.
    setMinimumHeight(layoutFor(width(), &bubbles_));
    updateGeometry();
    update();
}

int ConversationView::layoutFor(int width, std::vector<Bubble>* out) const {
    const QFontMetrics fm(font());
    QFont small = font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    const QFontMetrics sfm(small);
    const int maxText = std::max(80, (width - 2 * kMargin) * 65 / 100 - 2 * kPad);
    const QSize box = thumbnails_ ? thumbnails_->box() : QSize();
    int y = kMargin;
    for (std::size_t i = 0; i < messages_.size(); ++i) {
        const MVMessageNode& m = *messages_[i];
        y += sfm.height() + 2;  // the date stamp
        const QString body = bodyOf(i);
        QRect text = body.isEmpty() ? QRect() : fm.boundingRect(QRect(0, 0, maxText, 100000), Qt::TextWordWrap, body);
        // The link of a cut text, on a line of its own under it.
        const QSize link = shown_[i].cut ? QSize(fm.horizontalAdvance(kShowAll), fm.height()) : QSize();
        if (!link.isEmpty()) text.setSize(QSize(std::max(text.width(), link.width()), text.height() + link.height()));
        const Attachment kind = attachmentOf(m);
        QSize extra;
        if (kind == Attachment::Picture) extra = box;
        else if (kind != Attachment::None) {
            // The chip's text is measured as it will be drawn, cut to the bubble's width.
            extra = QSize(std::min(maxText, fm.horizontalAdvance(chipText(i)) + 2 * kPad + 4), fm.height() + kPad);
        }
        const int gap = text.isEmpty() || extra.isEmpty() ? 0 : kPad / 2;
        const int w = std::max(text.width(), extra.width()) + 2 * kPad;
        const int h = text.height() + gap + extra.height() + 2 * kPad;
        const bool sent = isSent(m);
        const int x = sent ? width - kMargin - w : kMargin;
        if (out) {
            Bubble b{QRect(x, y, w, h), sent, kind, {}};
            if (kind != Attachment::None)
                b.attachmentRect = QRect(x + kPad, y + kPad + text.height() + gap, extra.width(), extra.height());
            if (!link.isEmpty())
                b.showAllRect = QRect(QPoint(x + kPad, y + kPad + text.height() - link.height()), link);
            out->push_back(b);
        }
        y += h + kGap;
    }
    return y + kMargin;
}

int ConversationView::heightForWidth(int width) const { return layoutFor(width, nullptr); }

QSize ConversationView::sizeHint() const { return {400, layoutFor(400, nullptr)}; }

void ConversationView::resizeEvent(QResizeEvent* event) {
    bubbles_.clear();
    const int h = layoutFor(event->size().width(), &bubbles_);
    if (minimumHeight() != h) setMinimumHeight(h);
    QWidget::resizeEvent(event);
}

void ConversationView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        for (std::size_t i = 0; i < bubbles_.size(); ++i)
            if (bubbles_[i].showAllRect.contains(event->position().toPoint())) {
                showAll(i);
                return;
            }
    QWidget::mouseReleaseEvent(event);
}

void ConversationView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QFont small = font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    const QFontMetrics sfm(small);
    const QPalette& pal = palette();
    // Sent bubbles take the highlight, received ones a tint of the background:
    // both stay readable in a light and in a dark palette.
    const QColor sentFill = pal.color(QPalette::Highlight), sentText = pal.color(QPalette::HighlightedText);
    const QColor receivedFill = mix(pal.color(QPalette::Base), pal.color(QPalette::Text), 0.12);
    const QColor receivedText = pal.color(QPalette::Text);
    const QColor deletedEdge(0xd9, 0x3a, 0x2b);
    for (std::size_t i = 0; i < bubbles_.size() && i < messages_.size(); ++i) {
        const Bubble& b = bubbles_[i];
        const MVMessageNode& m = *messages_[i];
        p.setFont(small);
        p.setPen(m.bDeleted ? deletedEdge : pal.color(QPalette::PlaceholderText));
        const QRect stamp(kMargin, b.rect.top() - sfm.height() - 2, width() - 2 * kMargin, sfm.height());
        p.drawText(stamp, (b.sent ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter, stampOf(m));
        QPainterPath path;
        path.addRoundedRect(QRectF(b.rect), 12, 12);
        p.fillPath(path, b.sent ? sentFill : receivedFill);
        if (m.bDeleted) {
            p.setPen(QPen(deletedEdge, 2, Qt::DashLine));
            p.drawPath(path);
        }
        p.setFont(font());
        const QColor ink = b.sent ? sentText : receivedText;
        p.setPen(ink);
        const QString body = bodyOf(i);
        const int linkHeight = b.showAllRect.isEmpty() ? 0 : b.showAllRect.height();
        if (!body.isEmpty())
            p.drawText(b.rect.adjusted(kPad, kPad, -kPad, -kPad - linkHeight), Qt::TextWordWrap, body);
        if (!b.showAllRect.isEmpty()) {
            QFont underlined = font();
            underlined.setUnderline(true);
            p.setFont(underlined);
            p.drawText(b.showAllRect, Qt::AlignLeft | Qt::AlignVCenter, kShowAll);
            p.setFont(font());
        }
        const QRect a = b.attachmentRect;
        if (b.attachment == Attachment::Picture) {
            const QImage image = picture(i);
            if (image.isNull()) {
                p.fillRect(a, mix(b.sent ? sentFill : receivedFill, ink, 0.15));
                p.drawText(a, Qt::AlignCenter, QStringLiteral("…"));
            } else {
                const QSize shown = image.size().scaled(a.size(), Qt::KeepAspectRatio);
                p.drawImage(QRect(b.sent ? a.right() + 1 - shown.width() : a.left(), a.top(), shown.width(),
                                  shown.height()),
                            image);
            }
        } else if (b.attachment != Attachment::None) {
            const bool gone = b.attachment == Attachment::Missing;
            QPainterPath chip;
            chip.addRoundedRect(QRectF(a), 6, 6);
            p.fillPath(chip, mix(b.sent ? sentFill : receivedFill, ink, 0.15));
            if (gone) {
                p.setPen(QPen(deletedEdge, 1.5, Qt::DashLine));
                p.drawPath(chip);
            }
            p.setPen(ink);
            const QFontMetrics fm(font());
            p.drawText(a.adjusted(kPad, 0, -kPad, 0), Qt::AlignVCenter | Qt::AlignLeft,
                       fm.elidedText(chipText(i), Qt::ElideMiddle, a.width() - 2 * kPad));
        }
    }
    if (messages_.empty()) {
        p.setPen(pal.color(QPalette::PlaceholderText));
        p.drawText(rect(), Qt::AlignCenter, QStringLiteral("Choose a conversation to read it."));
    }
}

}  // namespace salvor::gui
