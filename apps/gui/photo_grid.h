// The photos and videos as a grid of thumbnails: a list view in icon mode
// over the category's table model (no widget per item), painted by a
// delegate that asks the thumbnail cache only for the items it paints. Each
// thumbnail has a check box; ticking it goes to the model's check column.
#pragma once

#include <QListView>
#include <QStyledItemDelegate>
#include <functional>

#include "core/records.h"

namespace salvor::gui {

class ThumbnailCache;

class PhotoGridDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    // `recordOf` gives the record behind an index of the view's model.
    PhotoGridDelegate(ThumbnailCache& cache, std::function<PhotoPtr(const QModelIndex&)> recordOf,
                      QObject* parent = nullptr);

    // The item's size for a thumbnail box of `box` and a font of `fm`.
    static QSize itemSize(QSize box, const QFontMetrics& fm);
    // Where the check box of an item lying at `item` is drawn.
    static QRect checkRect(const QRect& item);

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

protected:
    bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                     const QModelIndex& index) override;

private:
    ThumbnailCache& cache_;
    std::function<PhotoPtr(const QModelIndex&)> recordOf_;
};

class PhotoGrid : public QListView {
    Q_OBJECT
public:
    PhotoGrid(ThumbnailCache& cache, std::function<PhotoPtr(const QModelIndex&)> recordOf, QWidget* parent = nullptr);
    // The check box of the item at `index`, in the viewport's coordinates.
    QRect checkBoxRect(const QModelIndex& index) const;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    ThumbnailCache& cache_;
};

}  // namespace salvor::gui
