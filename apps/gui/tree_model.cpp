#include "tree_model.h"

#include <QFileInfo>
#include <QLocale>

namespace salvor::gui {

// An index's internal pointer is the folder that holds the row (null for the
// root folders); its row counts the sub-folders first, then the files.

BackupTreeModel::BackupTreeModel(QObject* parent) : QAbstractItemModel(parent) {}

void BackupTreeModel::setStore(ResultStore* store, Selection* selection) {
    beginResetModel();
    store_ = store;
    selection_ = selection;
    endResetModel();
}

const std::vector<TreeDirPtr>& BackupTreeModel::foldersOf(const MVTreeDirNode* container) const {
    static const std::vector<TreeDirPtr> none;
    if (container) return container->children;
    return store_ ? store_->tree().content : none;
}

MVTreeDirNode* BackupTreeModel::folderAt(const QModelIndex& index) const {
    if (!index.isValid()) return nullptr;
    const auto* container = static_cast<const MVTreeDirNode*>(index.internalPointer());
    const auto& folders = foldersOf(container);
    return index.row() < static_cast<int>(folders.size()) ? folders[static_cast<std::size_t>(index.row())].get() : nullptr;
}

MVTreeFileNode* BackupTreeModel::fileAt(const QModelIndex& index) const {
    if (!index.isValid()) return nullptr;
    const auto* container = static_cast<const MVTreeDirNode*>(index.internalPointer());
    if (!container) return nullptr;
    const std::size_t row = static_cast<std::size_t>(index.row());
    if (row < container->children.size()) return nullptr;
    const std::size_t f = row - container->children.size();
    return f < container->fileChildren.size() ? container->fileChildren[f].get() : nullptr;
}

QModelIndex BackupTreeModel::index(int row, int column, const QModelIndex& parent) const {
    if (!store_ || row < 0 || column < 0 || column >= 3) return {};
    MVTreeDirNode* container = parent.isValid() ? folderAt(parent) : nullptr;
    if (parent.isValid() && !container) return {};
    if (row >= rowCount(parent)) return {};
    return createIndex(row, column, container);
}

QModelIndex BackupTreeModel::parent(const QModelIndex& child) const {
    if (!child.isValid()) return {};
    auto* container = static_cast<MVTreeDirNode*>(child.internalPointer());
    if (!container) return {};
    const auto& siblings = foldersOf(container->parent);
    for (std::size_t i = 0; i < siblings.size(); ++i)
        if (siblings[i].get() == container) return createIndex(static_cast<int>(i), 0, container->parent);
    return {};
}

int BackupTreeModel::rowCount(const QModelIndex& parent) const {
    if (!store_) return 0;
    if (!parent.isValid()) return static_cast<int>(store_->tree().content.size());
    if (parent.column() != 0) return 0;
    const MVTreeDirNode* folder = folderAt(parent);
    return folder ? static_cast<int>(folder->children.size() + folder->fileChildren.size()) : 0;
}

int BackupTreeModel::columnCount(const QModelIndex&) const { return 3; }

QVariant BackupTreeModel::data(const QModelIndex& index, int role) const {
    if (const MVTreeDirNode* folder = folderAt(index)) {
        if (index.column() == 0 && role == Qt::CheckStateRole)
            return folder->isSelected == 1 ? Qt::Checked : folder->isSelected == 2 ? Qt::PartiallyChecked : Qt::Unchecked;
        if (index.column() == 0 && role == Qt::DisplayRole) {
            const std::string& name = textOrEmpty(folder->fileName);
            return QString::fromStdString(name.empty() ? textOrEmpty(folder->filePath) : name);
        }
        return {};
    }
    const MVTreeFileNode* file = fileAt(index);
    if (!file) return {};
    if (index.column() == 0 && role == Qt::CheckStateRole) return file->bSelected ? Qt::Checked : Qt::Unchecked;
    if (role != Qt::DisplayRole) return {};
    switch (index.column()) {
    case 0: return QString::fromStdString(textOrEmpty(file->treefileName));
    case 1: return file->isFile ? QLocale().formattedDataSize(static_cast<qint64>(file->realFileSize)) : QString();
    case 2:
        return file->isFile ? QFileInfo(QString::fromStdString(textOrEmpty(file->filePath))).fileName()
                            : QStringLiteral("(not in the backup)");
    }
    return {};
}

QVariant BackupTreeModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    switch (section) {
    case 0: return QStringLiteral("Name");
    case 1: return QStringLiteral("Size");
    case 2: return QStringLiteral("Stored as");
    }
    return {};
}

Qt::ItemFlags BackupTreeModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags f = QAbstractItemModel::flags(index);
    if (index.isValid() && index.column() == 0) f |= Qt::ItemIsUserCheckable;
    return f;
}

bool BackupTreeModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!store_ || !selection_ || role != Qt::CheckStateRole || index.column() != 0) return false;
    if (MVTreeDirNode* folder = folderAt(index)) {
        selection_->toggleFolder(*folder);
    } else if (MVTreeFileNode* file = fileAt(index)) {
        selection_->setFileSelected(*file, value.toInt() == Qt::Checked);
    } else {
        return false;
    }
    emit checksChanged();
    return true;
}

}  // namespace salvor::gui
