// The backup's file tree as a three-state check-box tree: a folder shows
// whether all, some or none of what it holds is ticked. Reads the store's tree
// on the main thread (the tree is only changed there); ticking goes through
// the store's own operations.
#pragma once

#include <QAbstractItemModel>

#include "engine/result_store.h"
#include "engine/selection.h"

namespace salvor::gui {

class BackupTreeModel : public QAbstractItemModel {
    Q_OBJECT
public:
    explicit BackupTreeModel(QObject* parent = nullptr);
    // Shows the store's tree (null: nothing).
    void setStore(ResultStore* store, Selection* selection);

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;

    MVTreeDirNode* folderAt(const QModelIndex& index) const;
    MVTreeFileNode* fileAt(const QModelIndex& index) const;

signals:
    // Ticks changed in several places (a folder's contents and its parents).
    void checksChanged();

private:
    const std::vector<TreeDirPtr>& foldersOf(const MVTreeDirNode* container) const;
    ResultStore* store_ = nullptr;
    Selection* selection_ = nullptr;
};

}  // namespace salvor::gui
