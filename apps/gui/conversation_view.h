// The conversation view: one bubble per message, sent on the right and
// received on the left, with its date stamp; deleted messages are marked and
// attachments shown as named chips. Painted, not built of widgets.
#pragma once

#include <QWidget>
#include <vector>

#include "core/records.h"

namespace salvor::gui {

class ConversationView : public QWidget {
    Q_OBJECT
public:
    explicit ConversationView(QWidget* parent = nullptr);
    void setMessages(std::vector<MessagePtr> messages);

    // Where each bubble is drawn, in the view's coordinates (for tests and
    // hit testing), in message order.
    struct Bubble {
        QRect rect;
        bool sent = false;
    };
    const std::vector<Bubble>& bubbles() const { return bubbles_; }
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

    std::vector<MessagePtr> messages_;
    std::vector<Bubble> bubbles_;
};

}  // namespace salvor::gui
