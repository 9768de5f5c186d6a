// The conversation view: one bubble per message, sent on the right and
// received on the left, with its date stamp; deleted messages are marked.
// A picture attachment shows as a thumbnail inside its bubble (decoded off
// this thread by the thumbnail cache), other attachments as named chips, and
// an attachment whose file is not in the backup says so. A long text shows
// its beginning with a "Show all" link, which opens the whole text in a view
// that lays out only what is on screen. Painted, not built of widgets; the
// colours follow the palette.
#pragma once

#include <QString>
#include <QWidget>
#include <functional>
#include <vector>

#include "core/records.h"

class QPlainTextEdit;

namespace salvor::gui {

class ThumbnailCache;

class ConversationView : public QWidget {
    Q_OBJECT
public:
    explicit ConversationView(QWidget* parent = nullptr);
    // Where pictures come from (none: no thumbnails, only chips), and the
    // device's name of a stored attachment file (empty when unknown).
    void setThumbnails(ThumbnailCache* cache);
    void setAttachmentNames(std::function<QString(const std::string& storedPath)> nameOf);
    void setMessages(std::vector<MessagePtr> messages);

    enum class Attachment { None, Picture, Chip, Missing };
    // Where each bubble is drawn, in the view's coordinates (for tests and
    // hit testing), in message order.
    struct Bubble {
        QRect rect;
        bool sent = false;
        Attachment attachment = Attachment::None;
        QRect attachmentRect;  // the thumbnail or the chip, inside `rect`
        QRect showAllRect;     // the "Show all" link of a cut text; empty when the text is whole
    };
    // Characters of a message's text shown in its bubble; a longer text is
    // cut there (laying out megabytes of text in a bubble would take minutes).
    static constexpr qsizetype kShownChars = 2000;
    const std::vector<Bubble>& bubbles() const { return bubbles_; }
    // The decoded thumbnail of bubble `i`'s picture (null while it is decoded
    // or when the bubble has none).
    QImage picture(std::size_t i) const;
    // The chip's text of bubble `i` (empty when it has no chip).
    QString chipText(std::size_t i) const;
    static bool isSent(const MVMessageNode& message);
    // The text bubble `i` shows (cut, with an ellipsis, when isCut(i)).
    QString shownText(std::size_t i) const;
    bool isCut(std::size_t i) const;
    // Opens bubble `i`'s whole text in a window of its own (what its "Show
    // all" link does); the text view, or null when there is no such bubble.
    QPlainTextEdit* showAll(std::size_t i);

    QSize sizeHint() const override;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    // Lays the bubbles out for `width`; returns the height they need.
    int layoutFor(int width, std::vector<Bubble>* out) const;
    Attachment attachmentOf(const MVMessageNode& m) const;
    QString bodyOf(std::size_t i) const;

    std::vector<MessagePtr> messages_;
    // Each message's text as shown, computed once: the whole text of a long
    // message is converted only when "Show all" asks for it.
    struct Shown {
        QString text;
        bool cut = false;
    };
    std::vector<Shown> shown_;
    std::vector<Bubble> bubbles_;
    ThumbnailCache* thumbnails_ = nullptr;
    std::function<QString(const std::string&)> nameOf_;
};

}  // namespace salvor::gui
