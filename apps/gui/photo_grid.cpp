#include "photo_grid.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>

#include "core/helpers.h"
#include "record_model.h"
#include "thumbnail_cache.h"

namespace salvor::gui {

namespace {

constexpr int kPad = 8;

QRect boxRect(const QRect& item, QSize box) {
    return {item.left() + (item.width() - box.width()) / 2, item.top() + kPad, box.width(), box.height()};
}

// The file is listed but its copy is not in the backup (the scan lists it with size 0).
bool missing(const MVPhotoAndVideoNode& node) { return node.fileSizeNumber == 0; }

}  // namespace

PhotoGridDelegate::PhotoGridDelegate(ThumbnailCache& cache, std::function<PhotoPtr(const QModelIndex&)> recordOf,
                                     QObject* parent)
    : QStyledItemDelegate(parent), cache_(cache), recordOf_(std::move(recordOf)) {}

QSize PhotoGridDelegate::itemSize(QSize box, const QFontMetrics& fm) {
    return {box.width() + 2 * kPad, kPad + box.height() + 4 + 2 * fm.height() + kPad};
}

QRect PhotoGridDelegate::checkRect(const QRect& item) {
    const int side = QApplication::style()->pixelMetric(QStyle::PM_IndicatorWidth) + 4;
    return {item.left() + kPad + 4, item.top() + kPad + 4, side, side};
}

QSize PhotoGridDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
    return itemSize(cache_.box(), option.fontMetrics);
}

void PhotoGridDelegate::paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const PhotoPtr record = recordOf_(index);
    if (!record) return;
    const QPalette& pal = option.palette;
    const bool selected = option.state & QStyle::State_Selected;
    p->save();
    p->setRenderHint(QPainter::Antialiasing);
    if (selected) {
        p->setPen(Qt::NoPen);
        p->setBrush(pal.color(QPalette::Highlight));
        p->drawRoundedRect(QRectF(option.rect).adjusted(2, 2, -2, -2), 6, 6);
    }
    if (option.state & QStyle::State_HasFocus) {
        p->setPen(QPen(pal.color(QPalette::Highlight).lighter(130), 2));
        p->setBrush(Qt::NoBrush);
        p->drawRoundedRect(QRectF(option.rect).adjusted(2, 2, -2, -2), 6, 6);
    }

    const QRect box = boxRect(option.rect, cache_.box());
    const QString kind = mediaKind(*record);
    const QString path = QString::fromStdString(textOrEmpty(record->filePath));
    const QColor backdrop = pal.color(QPalette::AlternateBase);
    auto caption = [&](const QString& text, const QColor& color) {
        p->setPen(color);
        p->drawText(box.adjusted(6, 6, -6, -6), Qt::AlignCenter | Qt::TextWordWrap, text);
    };
    if (missing(*record)) {
        p->fillRect(box, backdrop);
        caption(QStringLiteral("Not in the backup"), QColor(0xd9, 0x3a, 0x2b));
    } else if (kind != QLatin1String("Photo")) {
        // Films and sounds are not decoded: a large sign in the text's colour
        // (readable in any palette) tells them apart.
        p->fillRect(box, backdrop);
        const QColor ink = pal.color(QPalette::Text);
        const int side = box.width() / 3;
        const QRectF disc(QPointF(box.center()) - QPointF(side / 2.0, side / 2.0), QSizeF(side, side));
        p->setPen(QPen(ink, 2));
        p->setBrush(Qt::NoBrush);
        p->drawEllipse(disc);
        p->setPen(Qt::NoPen);
        p->setBrush(ink);
        if (kind == QLatin1String("Audio")) {
            // A note: a head and a stem.
            p->drawEllipse(QRectF(disc.center() + QPointF(-side * 0.2, side * 0.05), QSizeF(side * 0.22, side * 0.17)));
            p->drawRect(QRectF(disc.center() + QPointF(side * 0.0, -side * 0.25), QSizeF(side * 0.04, side * 0.36)));
        } else {
            const QPointF c = disc.center();
            const QPointF play[] = {c + QPointF(-side * 0.13, -side * 0.2), c + QPointF(-side * 0.13, side * 0.2),
                                    c + QPointF(side * 0.22, 0)};
            p->drawPolygon(play, 3);
        }
    } else {
        const QImage image = cache_.thumbnail(path);
        if (!image.isNull()) {
            const QSize shown = image.size().scaled(box.size(), Qt::KeepAspectRatio);
            const QRect target(box.left() + (box.width() - shown.width()) / 2,
                               box.top() + (box.height() - shown.height()) / 2, shown.width(), shown.height());
            p->fillRect(box, backdrop);
            p->drawImage(target, image);
        } else {
            p->fillRect(box, backdrop);
            caption(cache_.state(path) == ThumbnailCache::State::Failed ? QStringLiteral("No preview") : QStringLiteral("…"),
                    pal.color(QPalette::PlaceholderText));
        }
    }
    // The kind as a badge in the picture's corner (videos and sounds stand out).
    if (kind != QLatin1String("Photo")) {
        QFont small = option.font;
        small.setBold(true);
        p->setFont(small);
        const QFontMetrics fm(small);
        const QRect badge(box.right() - fm.horizontalAdvance(kind) - 12, box.bottom() - fm.height() - 6,
                          fm.horizontalAdvance(kind) + 8, fm.height() + 2);
        p->setPen(Qt::NoPen);
        p->setBrush(QColor(0, 0, 0, 170));
        p->drawRoundedRect(badge, 4, 4);
        p->setPen(Qt::white);
        p->drawText(badge, Qt::AlignCenter, kind);
        p->setFont(option.font);
    }

    // What the phone keeps as recently deleted, marked in the other corner.
    if (record->bDeleted) {
        const QString label = QStringLiteral("Deleted");
        QFont small = option.font;
        small.setBold(true);
        p->setFont(small);
        const QFontMetrics fm(small);
        const QRect badge(box.right() - fm.horizontalAdvance(label) - 12, box.top() + 6,
                          fm.horizontalAdvance(label) + 8, fm.height() + 2);
        p->setPen(Qt::NoPen);
        p->setBrush(QColor(0xc0, 0x2a, 0x1d));
        p->drawRoundedRect(badge, 4, 4);
        p->setPen(Qt::white);
        p->drawText(badge, Qt::AlignCenter, label);
        p->setFont(option.font);
    }

    // The check box, on a backdrop so it shows on any picture.
    if (index.flags() & Qt::ItemIsUserCheckable) {
        const QRect check = checkRect(option.rect);
        QColor edge = pal.color(QPalette::Text);
        edge.setAlpha(140);
        p->setPen(QPen(edge, 1));
        p->setBrush(pal.color(QPalette::Base));
        p->drawRoundedRect(QRectF(check.adjusted(-2, -2, 2, 2)), 4, 4);
        QStyleOptionViewItem box(option);
        box.rect = check;
        box.state = (option.state & QStyle::State_Enabled) | QStyle::State_Enabled;
        box.state |= RecordTableModel::isSelected(AnyRecord(record)) ? QStyle::State_On : QStyle::State_Off;
        QApplication::style()->drawPrimitive(QStyle::PE_IndicatorItemViewItemCheck, &box, p, option.widget);
    }

    const QColor text = pal.color(selected ? QPalette::HighlightedText : QPalette::Text);
    const QFontMetrics fm(option.font);
    const QRect line1(option.rect.left() + 4, box.bottom() + 4, option.rect.width() - 8, fm.height());
    p->setPen(text);
    p->drawText(line1, Qt::AlignHCenter | Qt::AlignVCenter,
                fm.elidedText(QString::fromStdString(textOrEmpty(record->fileNodeName)), Qt::ElideMiddle, line1.width()));
    const QRect line2 = line1.translated(0, fm.height());
    p->setPen(selected ? text : pal.color(QPalette::PlaceholderText));
    p->drawText(line2, Qt::AlignHCenter | Qt::AlignVCenter,
                fm.elidedText(QStringLiteral("%1 · %2").arg(kind, QString::fromStdString(displaySize(record->fileSizeNumber))),
                              Qt::ElideRight, line2.width()));
    p->restore();
}

bool PhotoGridDelegate::editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                                    const QModelIndex& index) {
    if (!(index.flags() & Qt::ItemIsUserCheckable)) return false;
    bool toggle = false;
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
        // A press on the box is the box's, not a change of the current item.
        return checkRect(option.rect).contains(static_cast<QMouseEvent*>(event)->position().toPoint());
    case QEvent::MouseButtonRelease: {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        toggle = mouse->button() == Qt::LeftButton && checkRect(option.rect).contains(mouse->position().toPoint());
        break;
    }
    case QEvent::KeyPress: {
        const int key = static_cast<QKeyEvent*>(event)->key();
        toggle = key == Qt::Key_Space || key == Qt::Key_Select;
        break;
    }
    default: break;
    }
    if (!toggle) return false;
    const bool on = index.data(Qt::CheckStateRole).toInt() == Qt::Checked;
    return model->setData(index, on ? Qt::Unchecked : Qt::Checked, Qt::CheckStateRole);
}

PhotoGrid::PhotoGrid(ThumbnailCache& cache, std::function<PhotoPtr(const QModelIndex&)> recordOf, QWidget* parent)
    : QListView(parent), cache_(cache) {
    setViewMode(QListView::IconMode);
    setMovement(QListView::Static);
    setResizeMode(QListView::Adjust);
    setWrapping(true);
    setUniformItemSizes(true);
    // Thousands of items are laid out a batch at a time, so the view shows at once.
    setLayoutMode(QListView::Batched);
    setBatchSize(300);
    setSpacing(4);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setItemDelegate(new PhotoGridDelegate(cache, std::move(recordOf), this));
    // A decoded thumbnail repaints the view's visible part only.
    connect(&cache_, &ThumbnailCache::ready, viewport(), qOverload<>(&QWidget::update));
}

QRect PhotoGrid::checkBoxRect(const QModelIndex& index) const { return PhotoGridDelegate::checkRect(visualRect(index)); }

void PhotoGrid::keyPressEvent(QKeyEvent* event) {
    // Space ticks the current item's box (the delegate's key handling).
    if ((event->key() == Qt::Key_Space || event->key() == Qt::Key_Select) && currentIndex().isValid()) {
        QStyleOptionViewItem option;
        initViewItemOption(&option);
        option.rect = visualRect(currentIndex());
        if (itemDelegate()->editorEvent(event, model(), option, currentIndex())) return;
    }
    QListView::keyPressEvent(event);
}

}  // namespace salvor::gui
