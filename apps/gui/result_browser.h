// The result browser: runs one scan at a time (the scan thread works while
// this thread serves the scan's main-thread queue from the event loop), shows
// the category buttons with their growing counts, one table per category over
// the store's rows, the conversation view, the selection and the recovery.
#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QPersistentModelIndex>
#include <QTimer>
#include <QMessageBox>
#include <QWidget>
#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <unordered_set>

#include "core/device_node.h"
#include "engine/device_scan.h"
#include "engine/scan_session.h"
#include "engine/search.h"
#include "output/recovery_run.h"

class QAbstractButton;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSortFilterProxyModel;
class QSplitter;
class QTableView;
class QScrollArea;
class QTextBrowser;
class QTreeView;

namespace salvor::gui {

class ConversationView;
class RecordTableModel;
class BackupTreeModel;
class PhotoGrid;
class ThumbnailCache;

class ResultBrowser : public QWidget, public ResultStoreObserver {
    Q_OBJECT
public:
    explicit ResultBrowser(QWidget* parent = nullptr);
    ~ResultBrowser() override;

    // Starts scanning `backupFolder` (a running scan is cancelled first).
    void startScan(const QString& backupFolder);
    // Backs up the connected device `udid` (the first one when empty), copies
    // its camera folders and scans the fresh backup, as the command line's
    // --device does; a device that cannot be used ends like a failed scan.
    void startDeviceScan(const QString& udid);
    // The backups the chooser offers (the start page's list); choosing another
    // one scans it.
    void setBackups(const std::vector<DeviceNodePtr>& backups);
    // Cancels the running scan; it ends through its normal path.
    void cancelScan();
    // Cancels and waits for the scan thread (closing the window).
    void stopAndWait();
    bool scanning() const { return scanActive_; }
    void showCategory(Category category);
    Category category() const { return category_; }

    // Recovers the selection into `destination` (made by the run), on a
    // worker thread, with a cancellable progress dialog; returns the report.
    RecoveryReport recoverInto(const QString& destination, const ExportOptions& exports = {});
    // Whether a finished recovery opens its folder in the file manager.
    bool openDestinationAfterRecovery = true;

    // ---- what tests and the screenshot mode look at ----
    ResultStore* store() { return session_ ? &session_->store : nullptr; }
    QAbstractButton* categoryButton(Category category) const;
    QTableView* table() const { return table_; }
    RecordTableModel* model() const { return model_; }
    QSortFilterProxyModel* proxy() const { return proxy_; }
    QCheckBox* deletedOnlyBox() const { return deletedOnly_; }
    QLineEdit* searchField() const { return search_; }
    QCheckBox* selectAllBox() const { return selectAll_; }
    QLabel* selectionLabel() const { return selectionLabel_; }
    QPushButton* recoverButton() const { return recover_; }
    ConversationView* conversationView() const { return conversation_; }
    QTextBrowser* detailPane() const { return detail_; }
    QTreeView* fileTree() const { return tree_; }
    PhotoGrid* photoGrid() const { return grid_; }
    ThumbnailCache* thumbnails() const { return thumbnails_; }
    QComboBox* backupChooser() const { return chooser_; }
    QLabel* devicePanel() const { return devicePanel_; }
    QString backupFolder() const { return backupFolder_; }
    BackupTreeModel* fileTreeModel() const { return treeModel_; }
    // Writes the whole conversation view (all its bubbles) as a PNG; false when
    // no conversation is open or the file could not be written.
    bool exportConversationPicture(const QString& file);
    // Opens the conversation on the table's row (of the sorted view).
    void openConversation(int viewRow);
    // The longest time one turn of the scan's queue (the store taking a batch
    // of records, the views following it) took on this thread during the last
    // scan: how long the window was unresponsive at most.
    qint64 longestTickMs() const { return longestTickMs_; }
    // The live and deleted counts a button shows.
    std::pair<long, long> shownCount(Category category) const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

signals:
    void scanCompleted(bool cancelled);
    void backRequested();

private:
    // Announcements of the store, all on this thread.
    void recordsAdded(Category category, std::size_t first, std::size_t count) override;
    void recordChanged(Category category, std::size_t index) override;
    void backupFilesAdded(std::size_t count) override;
    void progressChanged(int percent) override;
    void statusChanged(const std::string& text) override;
    void deviceChanged(const DeviceNodePtr& device) override;

    // One turn of the scan's queue, scheduled whenever the scan hands
    // something over; it also notices the end of the scan.
    void drain();
    void scheduleDrain();
    // The counts on the buttons follow the store at most ten times a second.
    void countsChanged();
    // Whether the window shows `record` with the filters as they are set.
    bool passesFilters(const AnyRecord& record) const;
    void startSearch(const QString& text);
    void finishScan();
    void refreshCounts(bool final);
    void reloadRows();
    void refreshSelection();
    void toggleRow(int modelRow, bool value);
    void askRecovery();
    void showSummary(const RecoveryReport& report);
    void showDevice();
    void fillChooser();
    PhotoPtr photoAt(const QModelIndex& viewIndex) const;
    // The detail pane shows the record on the view's row `viewIndex`.
    void showDetail(const QModelIndex& viewIndex);
    QString attachmentName(const std::string& storedPath);

    // Opens a fresh session and resets the page for a scan of `what`.
    void prepareScan(const QString& what);
    // Shows the started scan's page and starts serving its queue.
    void beginPumping();
    // Whether the backup or the scan still runs; ends them on this thread.
    bool sessionBusy() const;
    void endSession();

    // For an encrypted backup at `folder`: hands the new session its key kept
    // from an earlier scan of this window, or asks for the password (saying
    // the last one was wrong when `wrongBefore`). False when no password was given.
    bool giveBackupSecret(const QString& folder, bool wrongBefore);
    // Asks for a backup password in a dialog; empty when cancelled.
    QByteArray askPassword(bool wrongBefore);
    void startScan(const QString& backupFolder, bool wrongBefore);

    std::unique_ptr<ScanSession> session_;
    // Keys derived for encrypted backups during this window's life, by folder,
    // so a rescan does not ask again. Wiped when the window goes.
    std::map<QString, crypto::SecretBytes> backupKeys_;
    std::unique_ptr<DeviceScan> deviceScan_;  // set while a device is backed up and scanned
    // Started and not yet finished (the scan thread is the session's own; this
    // thread serves its queue from the event loop).
    bool scanActive_ = false;
    std::optional<std::string> scanProblem_;
    QString backupFolder_;
    // Set while a turn of the queue is scheduled (from the scan thread).
    std::shared_ptr<std::atomic<bool>> drainScheduled_ = std::make_shared<std::atomic<bool>>(false);
    QTimer countsTimer_;  // single shot, started by a change of the counts
    qint64 longestTickMs_ = 0;
    QString scanningText_;  // the device label while the scan runs
    std::unique_ptr<Search> searcher_;  // over the session's queue
    // The search's hits, shown instead of the whole category while set.
    std::optional<std::unordered_set<const void*>> searchHits_;
    std::map<Category, bool> selectAllState_;  // the select-all box per category
    Category category_ = Category::Contact;
    std::map<Category, std::pair<long, long>> counts_;

    QButtonGroup* buttons_ = nullptr;
    std::map<Category, QAbstractButton*> buttonOf_;
    QLabel* deviceLabel_ = nullptr;   // what the scan is doing
    QLabel* devicePanel_ = nullptr;   // the device the backup came from
    QComboBox* chooser_ = nullptr;
    std::vector<DeviceNodePtr> backups_;
    ThumbnailCache* thumbnails_ = nullptr;
    PhotoGrid* grid_ = nullptr;
    QHash<QString, QString> attachmentNames_;
    QPersistentModelIndex detailIndex_;  // the row the detail pane shows
    QString detailPicture_;              // its photo's stored path, while its preview is decoded  // stored path -> the device's file name
    QProgressBar* progress_ = nullptr;
    QPushButton* cancel_ = nullptr;
    QPushButton* back_ = nullptr;
    QCheckBox* deletedOnly_ = nullptr;
    QLineEdit* search_ = nullptr;
    QCheckBox* selectAll_ = nullptr;
    QLabel* selectionLabel_ = nullptr;
    QPushButton* recover_ = nullptr;
    QSplitter* splitter_ = nullptr;
    QTableView* table_ = nullptr;
    RecordTableModel* model_ = nullptr;
    QSortFilterProxyModel* proxy_ = nullptr;
    QScrollArea* conversationArea_ = nullptr;
    ConversationView* conversation_ = nullptr;
    QPushButton* exportPicture_ = nullptr;
    QWidget* conversationPane_ = nullptr;  // the bubbles and their "Export picture" button
    QTextBrowser* detail_ = nullptr;
    QTreeView* tree_ = nullptr;  // the backup's files (three-state)
    BackupTreeModel* treeModel_ = nullptr;  // the fields of the current row (other categories)
};

// A message box that does not block the event loop (a scan or a screenshot
// may still be running behind it).
void notify(QWidget* parent, QMessageBox::Icon icon, const QString& text, const QString& details = {});

// The category a command-line name stands for ("contacts", "messages", ...).
std::optional<Category> categoryFromName(const QString& name);
QString categoryTitle(Category category);

}  // namespace salvor::gui
