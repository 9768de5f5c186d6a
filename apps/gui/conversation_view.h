// The conversation view: one bubble per message, sent on the right and
// received on the left, with its date stamp; deleted messages are marked.
// A picture attachment shows as a thumbnail inside its bubble (decoded off
// this thread by the thumbnail cache), other attachments as named chips, and
// an attachment whose file is not in the backup says so. Painted, not built
// of widgets; the colours follow the palette.
#pragma once

#include <QWidget>
#include <functional>
#include <vector>

#include "core/records.h"

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
    };
    const std::vector<Bubble>& bubbles() const { return bubbles_; }
    // The decoded thumbnail of bubble `i`'s picture (null while it is decoded
    // or when the bubble has none).
    QImage picture(std::size_t i) const;
    // The chip's text of bubble `i` (empty when it has no chip).
    QString chipText(std::size_t i) const;
    static bool isSent(const MVMessageNode& message);

    QSize sizeHint() const override;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // Lays the bubbles out for `width`; returns the height they need.
    int layoutFor(int width, std::vector<Bubble>* out) const;
    Attachment attachmentOf(const MVMessageNode& m) const;
    QString bodyOf(const MVMessageNode& m) const;

    std::vector<MessagePtr> messages_;
    std::vector<Bubble> bubbles_;
    ThumbnailCache* thumbnails_ = nullptr;
    std::function<QString(const std::string&)> nameOf_;
};

}  // namespace salvor::gui
