// The result browser's side panes: the backup chooser, the device panel, the
// detail pane of the current row, attachment names and the keyboard.
#include "result_browser.h"
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QEventLoop>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QScrollArea>
#include <QShortcut>
#include <QSortFilterProxyModel>
#include <QSplitter>
#include <QTableView>
#include <QTextBrowser>
#include <QTreeView>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>
#include <cstdlib>
#include <ctime>
#include "conversation_view.h"
#include "photo_grid.h"
#include "thumbnail_cache.h"
#include "backup/device_list.h"
#include "core/scan_context.h"
#include "extract/extractors.h"
#include "output/destination.h"
#include "record_detail.h"
#include "record_model.h"
#include "tree_model.h"

namespace salvor::gui {

bool ResultBrowser::eventFilter(QObject* watched, QEvent* event) {
    // Space ticks the current row's box whichever cell of the row is current.
    if (watched == table_ && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const QModelIndex current = table_->currentIndex();
        if ((key->key() == Qt::Key_Space || key->key() == Qt::Key_Select) && key->modifiers() == Qt::NoModifier &&
            current.isValid()) {
            const QModelIndex box = proxy_->index(current.row(), 0);
            if (box.flags() & Qt::ItemIsUserCheckable) {
                const bool on = box.data(Qt::CheckStateRole).toInt() == Qt::Checked;
                proxy_->setData(box, on ? Qt::Unchecked : Qt::Checked, Qt::CheckStateRole);
                table_->viewport()->update();
            }
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void ResultBrowser::setBackups(const std::vector<DeviceNodePtr>& backups) {
    backups_.clear();
    for (const DeviceNodePtr& node : backups)
        if (node) backups_.push_back(node);
    fillChooser();
}

void ResultBrowser::fillChooser() {
    const QSignalBlocker block(chooser_);
    chooser_->clear();
    int current = -1;
    for (const DeviceNodePtr& node : backups_) {
        const QString folder = QString::fromStdString(textOrEmpty(node->backUpFilePath));
        QString name = QString::fromStdString(textOrEmpty(node->strDeviceName));
        if (name.isEmpty()) name = QDir(folder).dirName();
        const QString time = QString::fromStdString(textOrEmpty(node->strDeviceBackUpTime));
        chooser_->addItem(time.isEmpty() ? name : QStringLiteral("%1 — %2").arg(name, time), folder);
        chooser_->setItemData(chooser_->count() - 1, QDir::toNativeSeparators(folder), Qt::ToolTipRole);
        if (folder == backupFolder_) current = chooser_->count() - 1;
    }
    // A backup opened by its folder, outside the list, is still named.
    if (current < 0 && !backupFolder_.isEmpty()) {
        chooser_->addItem(QDir(backupFolder_).dirName(), backupFolder_);
        current = chooser_->count() - 1;
    }
    chooser_->setCurrentIndex(current);
}

void ResultBrowser::showDevice() {
    const DeviceNodePtr node = session_ ? session_->app.currentNode : nullptr;
    if (!node) {
        devicePanel_->setText(QStringLiteral("<b>No Device</b>"));
        return;
    }
    auto field = [](const QString& label, const Text& value) {
        const QString text = QString::fromStdString(textOrEmpty(value));
        return QStringLiteral("%1: %2<br>").arg(label, text.isEmpty() ? QStringLiteral("—") : text.toHtmlEscaped());
    };
    QString format = node->backupFormat == BackupFormat::ManifestDb ? QStringLiteral("iOS 10 and later (Manifest.db)")
                     : node->backupFormat == BackupFormat::Mbdb     ? QStringLiteral("iOS 4 to 9 (Manifest.mbdb)")
                                                                    : QStringLiteral("unknown");
    if (node->bEncrypted) format += QStringLiteral(", encrypted");
    const QString name = QString::fromStdString(textOrEmpty(node->strDeviceName));
    devicePanel_->setText(QStringLiteral("<b>%1</b><br>").arg(name.isEmpty() ? QStringLiteral("No Device") : name.toHtmlEscaped()) +
                          field(QStringLiteral("Model"), node->strDeviceType) +
                          field(QStringLiteral("iOS"), node->strIOSVersion) +
                          field(QStringLiteral("Serial"), node->strDeviceSerial) +
                          field(QStringLiteral("Backup"), node->strDeviceBackUpTime) +
                          QStringLiteral("Format: %1").arg(format.toHtmlEscaped()));
}

void ResultBrowser::showDetail(const QModelIndex& viewIndex) {
    const QModelIndex source = proxy_->mapToSource(viewIndex);
    if (!source.isValid() || source.row() >= static_cast<int>(model_->records().size())) return;
    const AnyRecord& record = model_->records()[static_cast<std::size_t>(source.row())];
    QImage preview;
    detailIndex_ = viewIndex;
    detailPicture_.clear();
    if (const PhotoPtr* photo = std::get_if<PhotoPtr>(&record); photo && *photo && !(*photo)->bmov) {
        const QString path = QString::fromStdString(textOrEmpty((*photo)->filePath));
        preview = thumbnails_->thumbnail(path);
        if (preview.isNull()) detailPicture_ = path;
    }
    detail_->setHtml(recordDetailHtml(record, detail_->document(), model_->placeNames(), preview));
}

PhotoPtr ResultBrowser::photoAt(const QModelIndex& viewIndex) const {
    const QModelIndex source = proxy_->mapToSource(viewIndex);
    if (!source.isValid() || source.row() >= static_cast<int>(model_->records().size())) return nullptr;
    const AnyRecord& record = model_->records()[static_cast<std::size_t>(source.row())];
    return std::holds_alternative<PhotoPtr>(record) ? std::get<PhotoPtr>(record) : nullptr;
}

QString ResultBrowser::attachmentName(const std::string& storedPath) {
    if (!session_ || scanning()) return {};
    if (attachmentNames_.isEmpty()) {
        // The backup's file tree names each stored file as the device named it.
        std::vector<const MVTreeDirNode*> stack;
        for (const TreeDirPtr& root : session_->store.tree().content)
            if (root) stack.push_back(root.get());
        while (!stack.empty()) {
            const MVTreeDirNode* folder = stack.back();
            stack.pop_back();
            for (const TreeFilePtr& file : folder->fileChildren)
                if (file && file->filePath && file->treefileName)
                    attachmentNames_.insert(QString::fromStdString(*file->filePath),
                                            QString::fromStdString(*file->treefileName));
            for (const TreeDirPtr& child : folder->children)
                if (child) stack.push_back(child.get());
        }
        if (attachmentNames_.isEmpty()) attachmentNames_.insert(QString(), QString());  // looked once
    }
    return attachmentNames_.value(QString::fromStdString(storedPath));
}

}  // namespace salvor::gui
