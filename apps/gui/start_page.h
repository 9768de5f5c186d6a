// The start page: the backups of the store, and the ways to start a recovery.
#pragma once

#include <QString>
#include <QWidget>

#include "backup/device_list.h"

class QTreeWidget;
class QLabel;

namespace salvor::gui {

class StartPage : public QWidget {
    Q_OBJECT
public:
    explicit StartPage(QWidget* parent = nullptr);

    // Lists the backups of a store folder, or the one backup a folder is.
    void showFolder(const QString& folder);
    const MVIOSDeviceController& backups() const { return list_; }
    QTreeWidget* table() const { return table_; }
    // The backup folder of the highlighted row (the first when none is).
    QString selectedBackup() const;

    // The folder the list was last filled from: the command line, then the
    // environment, then the remembered choice, then the usual store.
    static QString initialFolder(const QString& commandLineStore);
    // Whether `folder` is one backup rather than a store of them.
    static bool isBackupFolder(const QString& folder);

signals:
    void scanRequested(const QString& backupFolder);
    void deviceRecoveryRequested();
    // The list was filled again (another folder was opened).
    void backupsListed();

private:
    void recoverFromBackup();
    void openFolder();

    MVIOSDeviceController list_;
    QTreeWidget* table_ = nullptr;
    QLabel* whereLabel_ = nullptr;
};

}  // namespace salvor::gui
