#include "start_page.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace salvor::gui {

namespace {

QString q(const Text& t) { return QString::fromStdString(textOrEmpty(t)); }

void alert(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::Information, QStringLiteral("Salvor"), text, QMessageBox::Ok, parent);
    box.exec();
}

}  // namespace

StartPage::StartPage(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    auto* title = new QLabel(QStringLiteral("<h2>Recover your iPhone or iPad data</h2>"
                                            "Choose a backup of your device and recover what it holds, "
                                            "including deleted records."));
    title->setWordWrap(true);
    layout->addWidget(title);
    whereLabel_ = new QLabel;
    whereLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(whereLabel_);

    table_ = new QTreeWidget;
    table_->setRootIsDecorated(false);
    table_->setAlternatingRowColors(true);
    table_->setHeaderLabels({"Name", "Model", "iOS", "Serial", "Size", "Backup time", "Note"});
    table_->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    table_->header()->setStretchLastSection(true);
    table_->setIconSize(QSize(32, 32));
    connect(table_, &QTreeWidget::itemDoubleClicked, this, [this] { recoverFromBackup(); });
    layout->addWidget(table_, 1);

    auto* buttons = new QHBoxLayout;
    auto* open = new QPushButton(QStringLiteral("Open backup folder…"));
    auto* device = new QPushButton(QStringLiteral("Recover from device"));
    auto* backup = new QPushButton(QStringLiteral("Recover from backup"));
    backup->setDefault(true);
    backup->setObjectName(QStringLiteral("recoverFromBackup"));
    buttons->addWidget(open);
    buttons->addStretch(1);
    buttons->addWidget(device);
    buttons->addWidget(backup);
    layout->addLayout(buttons);
    connect(open, &QPushButton::clicked, this, &StartPage::openFolder);
    connect(device, &QPushButton::clicked, this, &StartPage::deviceRecoveryRequested);
    connect(backup, &QPushButton::clicked, this, &StartPage::recoverFromBackup);
}

bool StartPage::isBackupFolder(const QString& folder) {
    const QDir dir(folder);
    for (const char* name : {"Info.plist", "Manifest.plist", "Manifest.db", "Manifest.mbdb"})
        if (dir.exists(QString::fromLatin1(name))) return true;
    return false;
}

QString StartPage::initialFolder(const QString& commandLineStore) {
    if (!commandLineStore.isEmpty()) return commandLineStore;
    if (qEnvironmentVariableIsSet("SALVOR_BACKUP_STORE")) return qEnvironmentVariable("SALVOR_BACKUP_STORE");
    const QString remembered = QSettings().value(QStringLiteral("backupFolder")).toString();
    if (!remembered.isEmpty()) return remembered;
    return QString::fromStdString(defaultBackupStore());
}

void StartPage::showFolder(const QString& folder) {
    const std::string path = folder.toStdString();
    if (isBackupFolder(folder)) {
        list_.removeAll();
        list_.addDeviceNodeByPath(path);
    } else {
        showIphoneDisk(list_, path);
    }
    whereLabel_->setText(QStringLiteral("Backups in %1").arg(QDir::toNativeSeparators(folder)));
    table_->clear();
    const QIcon phone = style()->standardIcon(QStyle::SP_DriveHDIcon);
    for (const DeviceNodePtr& node : list_.arrangedObjects) {
        if (!node) continue;
        const QString note = QString::fromStdString(backupFormatNote(*node));
        // A readable newer backup is told apart by its format, without a warning.
        const QString format = note.isEmpty() && node->backupFormat == BackupFormat::ManifestDb
                                   ? QStringLiteral("iOS 10+ format")
                                   : note;
        auto* item = new QTreeWidgetItem(
            {q(node->strDeviceName), node->strDeviceType ? q(node->strDeviceType) : QStringLiteral("Unknown model"),
             q(node->strIOSVersion), q(node->strDeviceSerial),
             QLocale().formattedDataSize(QString::fromStdString(textOrEmpty(node->strDeviceSize)).toLongLong()),
             q(node->strDeviceBackUpTime), format});
        item->setIcon(0, phone);
        item->setData(0, Qt::UserRole, q(node->backUpFilePath));
        if (!note.isEmpty()) {
            QFont bold = item->font(6);
            bold.setBold(true);
            item->setFont(6, bold);
            item->setForeground(6, QBrush(QColor(0xc2, 0x6a, 0x00)));
            // The sign marks these rows in any palette, the colour aside.
            item->setIcon(6, style()->standardIcon(QStyle::SP_MessageBoxWarning));
            item->setToolTip(6, note);
        }
        table_->addTopLevelItem(item);
    }
    if (table_->topLevelItemCount() > 0) table_->setCurrentItem(table_->topLevelItem(0));
    emit backupsListed();
}

QString StartPage::selectedBackup() const {
    QTreeWidgetItem* item = table_->currentItem();
    if (item == nullptr && table_->topLevelItemCount() > 0) item = table_->topLevelItem(0);
    return item ? item->data(0, Qt::UserRole).toString() : QString();
}

void StartPage::recoverFromBackup() {
    if (list_.arrangedObjects.empty()) {
        alert(this, QStringLiteral("No iTunes backup found. Please connect your device and recover from iOS device."));
        return;
    }
    // The highlighted backup is scanned, not simply the first of the list.
    const QString folder = selectedBackup();
    emit scanRequested(folder);
}

void StartPage::openFolder() {
    const QString folder = QFileDialog::getExistingDirectory(
        this, QStringLiteral("Open a backup folder, or a folder of backups"), QDir::homePath());
    if (folder.isEmpty()) return;
    QSettings().setValue(QStringLiteral("backupFolder"), folder);
    showFolder(folder);
}

}  // namespace salvor::gui
