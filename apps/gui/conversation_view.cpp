#include "conversation_view.h"

#include <QFileInfo>
#include <QPainter>
#include <QPainterPath>
#include <QResizeEvent>

namespace salvor::gui {

namespace {

constexpr int kMargin = 12;
constexpr int kPad = 8;
constexpr int kGap = 10;

QString bodyOf(const MVMessageNode& m) {
    QString text = QString::fromStdString(textOrEmpty(m.messageContent));
    if (m.isHasAttach && m.attachmentPath) {
        const QString name = QFileInfo(QString::fromStdString(*m.attachmentPath)).fileName();
        if (!text.isEmpty()) text += QLatin1Char('\n');
        text += QStringLiteral("[attachment: %1]").arg(name.isEmpty() ? QStringLiteral("file") : name);
    }
    if (text.isEmpty()) text = QStringLiteral(" ");
    return text;
}

QString stampOf(const MVMessageNode& m) {
    QString s = QString::fromStdString(textOrEmpty(m.messageDate));
    if (m.bDeleted) s += s.isEmpty() ? QStringLiteral("deleted") : QStringLiteral("  ·  deleted");
    return s;
}

}  // namespace

ConversationView::ConversationView(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    setBackgroundRole(QPalette::Base);
    setAutoFillBackground(true);
}

bool ConversationView::isSent(const MVMessageNode& message) {
    const std::string& type = textOrEmpty(message.messageType);
    return type == "Send" || type == "Sent" || type == "sent" || type == "send";
}

void ConversationView::setMessages(std::vector<MessagePtr> messages) {
    messages_ = std::move(messages);
    std::erase(messages_, nullptr);
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
    int y = kMargin;
    for (const MessagePtr& m : messages_) {
        y += sfm.height() + 2;  // the date stamp
        const QRect text = fm.boundingRect(QRect(0, 0, maxText, 100000), Qt::TextWordWrap, bodyOf(*m));
        const int w = text.width() + 2 * kPad, h = text.height() + 2 * kPad;
        const bool sent = isSent(*m);
        const int x = sent ? width - kMargin - w : kMargin;
        if (out) out->push_back({QRect(x, y, w, h), sent});
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

void ConversationView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QFont small = font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    const QFontMetrics sfm(small);
    const QColor sentFill(0x1e, 0x7c, 0xf2), receivedFill(0xe5, 0xe5, 0xea), deletedEdge(0xd9, 0x3a, 0x2b);
    for (std::size_t i = 0; i < bubbles_.size() && i < messages_.size(); ++i) {
        const Bubble& b = bubbles_[i];
        const MVMessageNode& m = *messages_[i];
        p.setFont(small);
        p.setPen(m.bDeleted ? deletedEdge : palette().color(QPalette::PlaceholderText));
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
        p.setPen(b.sent ? Qt::white : Qt::black);
        p.drawText(b.rect.adjusted(kPad, kPad, -kPad, -kPad), Qt::TextWordWrap, bodyOf(m));
    }
    if (messages_.empty()) {
        p.setPen(palette().color(QPalette::PlaceholderText));
        p.drawText(rect(), Qt::AlignCenter, QStringLiteral("Choose a conversation to read it."));
    }
}

}  // namespace salvor::gui
