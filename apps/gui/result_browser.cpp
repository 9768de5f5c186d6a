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
#include "recover_dialog.h"
#include "tree_model.h"

namespace salvor::gui {

void notify(QWidget* parent, QMessageBox::Icon icon, const QString& text, const QString& details) {
    auto* box = new QMessageBox(icon, QStringLiteral("Salvor"), text, QMessageBox::Ok, parent);
    if (!details.isEmpty()) box->setDetailedText(details);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

QString categoryTitle(Category c) { return QString::fromUtf8(categoryInfo(c).title); }

std::optional<Category> categoryFromName(const QString& name) { return categoryFromCliName(name.toStdString()); }

ResultBrowser::ResultBrowser(QWidget* parent) : QWidget(parent) {
    auto* outer = new QVBoxLayout(this);

    auto* top = new QHBoxLayout;
    back_ = new QPushButton(QStringLiteral("‹ Backups"));
    deviceLabel_ = new QLabel;
    deviceLabel_->setTextFormat(Qt::RichText);
    // A long folder name is cut, never widens the window.
    deviceLabel_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    progress_ = new QProgressBar;
    progress_->setRange(0, 100);
    progress_->setFormat(QStringLiteral("%p%"));
    progress_->setMinimumWidth(220);
    cancel_ = new QPushButton(QStringLiteral("Cancel scan"));
    chooser_ = new QComboBox;
    chooser_->setToolTip(QStringLiteral("Choose another backup to scan it"));
    chooser_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    chooser_->setMinimumContentsLength(22);
    auto* chooserLabel = new QLabel(QStringLiteral("&Backup:"));
    chooserLabel->setBuddy(chooser_);
    top->addWidget(back_);
    top->addWidget(chooserLabel);
    top->addWidget(chooser_);
    top->addWidget(deviceLabel_, 1);
    top->addWidget(progress_);
    top->addWidget(cancel_);
    outer->addLayout(top);
    connect(back_, &QPushButton::clicked, this, &ResultBrowser::backRequested);
    connect(cancel_, &QPushButton::clicked, this, &ResultBrowser::cancelScan);
    // Choosing another backup clears the results and scans it (the chooser is
    // disabled while a scan runs, so one scan runs at a time).
    connect(chooser_, &QComboBox::activated, this, [this](int i) {
        const QString folder = chooser_->itemData(i).toString();
        if (folder.isEmpty() || folder == backupFolder_ || scanning()) return;
        startScan(folder);
    });

    auto* middle = new QHBoxLayout;
    auto* side = new QVBoxLayout;
    side->setSpacing(3);  // nine two-line buttons and the device panel fit a 660-pixel window
    devicePanel_ = new QLabel;
    devicePanel_->setTextFormat(Qt::RichText);
    devicePanel_->setFrameShape(QFrame::StyledPanel);
    devicePanel_->setWordWrap(true);
    devicePanel_->setMargin(6);
    devicePanel_->setMaximumWidth(200);
    devicePanel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    side->addWidget(devicePanel_);
    buttons_ = new QButtonGroup(this);
    buttons_->setExclusive(true);
    for (const CategoryInfo& info : categoryTable()) {
        const Category c = info.id;
        auto* b = new QToolButton;
        b->setCheckable(true);
        b->setToolButtonStyle(Qt::ToolButtonTextOnly);
        b->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        b->setMinimumWidth(170);
        b->setMaximumWidth(200);
        b->setFocusPolicy(Qt::StrongFocus);
        b->setStyleSheet(QStringLiteral("QToolButton { text-align: left; padding: 2px 6px; }"));
        buttons_->addButton(b);
        buttonOf_[c] = b;
        side->addWidget(b);
        connect(b, &QToolButton::clicked, this, [this, c] { showCategory(c); });
    }
    side->addStretch(1);
    middle->addLayout(side);

    auto* center = new QVBoxLayout;
    auto* filters = new QHBoxLayout;
    selectAll_ = new QCheckBox(QStringLiteral("Select all"));
    deletedOnly_ = new QCheckBox(QStringLiteral("Only display deleted files"));
    search_ = new QLineEdit;
    search_->setPlaceholderText(QStringLiteral("Search"));
    search_->setClearButtonEnabled(true);
    search_->setMaximumWidth(280);
    filters->addWidget(selectAll_);
    filters->addStretch(1);
    filters->addWidget(search_);
    filters->addWidget(deletedOnly_);
    center->addLayout(filters);

    model_ = new RecordTableModel(this);
    model_->onToggle = [this](int row, bool value) { toggleRow(row, value); };
    proxy_ = new QSortFilterProxyModel(this);
    proxy_->setSourceModel(model_);
    proxy_->setSortRole(RecordTableModel::SortRole);
    proxy_->setDynamicSortFilter(false);
    table_ = new QTableView;
    table_->setModel(proxy_);
    table_->setSortingEnabled(true);
    table_->sortByColumn(-1, Qt::AscendingOrder);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setAlternatingRowColors(true);
    table_->verticalHeader()->hide();
    table_->horizontalHeader()->setStretchLastSection(true);
    table_->horizontalHeader()->setResizeContentsPrecision(200);
    table_->setWordWrap(false);
    table_->setTextElideMode(Qt::ElideMiddle);
    table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 8);
    connect(table_->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) {
                if (!current.isValid()) return;
                if (category_ == Category::Message) {
                    openConversation(current.row());
                    return;
                }
                showDetail(current);
            });

    thumbnails_ = new ThumbnailCache(QSize(128, 128), this);
    grid_ = new PhotoGrid(*thumbnails_, [this](const QModelIndex& i) { return photoAt(i); });
    grid_->setModel(proxy_);
    connect(grid_->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current) { showDetail(current); });
    // The current photo's preview comes when its thumbnail has been decoded.
    connect(thumbnails_, &ThumbnailCache::ready, this, [this](const QString& path) {
        if (!detailPicture_.isEmpty() && path == detailPicture_ && detailIndex_.isValid()) showDetail(detailIndex_);
    });
    connect(model_, &QAbstractItemModel::dataChanged, grid_->viewport(), qOverload<>(&QWidget::update));

    conversation_ = new ConversationView;
    conversation_->setThumbnails(thumbnails_);
    conversation_->setAttachmentNames([this](const std::string& stored) { return attachmentName(stored); });
    conversationArea_ = new QScrollArea;
    conversationArea_->setWidget(conversation_);
    conversationArea_->setWidgetResizable(true);
    splitter_ = new QSplitter(Qt::Horizontal);
    splitter_->addWidget(table_);
    conversationPane_ = new QWidget;
    auto* paneLayout = new QVBoxLayout(conversationPane_);
    paneLayout->setContentsMargins(0, 0, 0, 0);
    paneLayout->addWidget(conversationArea_, 1);
    exportPicture_ = new QPushButton(QStringLiteral("Export picture"));
    exportPicture_->setEnabled(false);
    paneLayout->addWidget(exportPicture_, 0, Qt::AlignRight);
    connect(exportPicture_, &QPushButton::clicked, this, [this] {
        const QString file = QFileDialog::getSaveFileName(this, QStringLiteral("Export the conversation as a picture"),
                                                          QDir::home().filePath(QStringLiteral("Conversation.png")),
                                                          QStringLiteral("PNG pictures (*.png)"));
        if (!file.isEmpty() && !exportConversationPicture(file))
            notify(this, QMessageBox::Warning, QStringLiteral("The picture could not be written to %1.").arg(file));
    });
    splitter_->addWidget(conversationPane_);
    treeModel_ = new BackupTreeModel(this);
    tree_ = new QTreeView;
    tree_->setModel(treeModel_);
    tree_->setUniformRowHeights(true);
    tree_->setAlternatingRowColors(true);
    tree_->header()->setStretchLastSection(true);
    tree_->setColumnWidth(0, 380);
    tree_->setColumnWidth(1, 100);
    connect(treeModel_, &BackupTreeModel::checksChanged, this, [this] {
        tree_->viewport()->update();
        refreshSelection();
    });
    splitter_->addWidget(tree_);
    detail_ = new QTextBrowser;
    detail_->setOpenLinks(false);
    splitter_->addWidget(detail_);
    splitter_->insertWidget(1, grid_);
    splitter_->setStretchFactor(0, 2);
    splitter_->setStretchFactor(1, 3);
    center->addWidget(splitter_, 1);
    middle->addLayout(center, 1);
    outer->addLayout(middle, 1);

    auto* bottom = new QHBoxLayout;
    selectionLabel_ = new QLabel;
    recover_ = new QPushButton(QStringLiteral("Recover"));
    recover_->setEnabled(false);
    bottom->addWidget(selectionLabel_, 1);
    bottom->addWidget(recover_);
    outer->addLayout(bottom);

    connect(selectAll_, &QCheckBox::toggled, this, [this](bool on) {
        if (!session_ || scanning()) return;
        // Only the rows on show are ticked (for messages, conversations): with
        // the deleted-only filter on, select-all leaves the live records be.
        selectAllState_[category_] = on;
        session_->selection.setSelected(model_->records(), on);
        model_->refreshChecks();
        refreshSelection();
    });
    connect(deletedOnly_, &QCheckBox::toggled, this, [this](bool) {
        if (!session_ || scanning()) return;
        reloadRows();
        refreshSelection();
    });
    connect(search_, &QLineEdit::textChanged, this, [this](const QString& text) {
        if (!session_ || scanning()) return;
        startSearch(text);
    });
    connect(recover_, &QPushButton::clicked, this, &ResultBrowser::askRecovery);

    // Keyboard: Ctrl+F goes to the search field, Space ticks the current row,
    // and Tab runs from the category buttons through the list to the details.
    auto* find = new QShortcut(QKeySequence::Find, this);
    connect(find, &QShortcut::activated, this, [this] {
        if (!search_->isVisible()) return;
        search_->setFocus(Qt::ShortcutFocusReason);
        search_->selectAll();
    });
    table_->installEventFilter(this);
    QWidget* previous = buttonOf_[categoryTable().back().id];
    for (QWidget* w : std::initializer_list<QWidget*>{selectAll_, search_, deletedOnly_, table_, grid_, tree_,
                                                      conversationArea_, exportPicture_, detail_, recover_}) {
        setTabOrder(previous, w);
        previous = w;
    }
    countsTimer_.setSingleShot(true);
    countsTimer_.setInterval(100);
    connect(&countsTimer_, &QTimer::timeout, this, [this] {
        refreshCounts(false);
        showDevice();
    });
    refreshCounts(false);
    showDevice();
    showCategory(Category::Contact);
}

ResultBrowser::~ResultBrowser() {
    stopAndWait();
    searcher_.reset();
    if (session_) session_->store.removeObserver(this);
    treeModel_->setStore(nullptr, nullptr);
    model_->follow(nullptr, category_);
}

QAbstractButton* ResultBrowser::categoryButton(Category c) const {
    const auto it = buttonOf_.find(c);
    return it == buttonOf_.end() ? nullptr : it->second;
}

std::pair<long, long> ResultBrowser::shownCount(Category c) const {
    const auto it = counts_.find(c);
    return it == counts_.end() ? std::pair<long, long>{0, 0} : it->second;
}

void ResultBrowser::prepareScan(const QString& what) {
    stopAndWait();
    searcher_.reset();
    if (session_) session_->store.removeObserver(this);
    treeModel_->setStore(nullptr, nullptr);
    model_->follow(nullptr, category_);
    deviceScan_.reset();  // it refers to the session
    session_.reset();
    session_ = std::make_unique<ScanSession>();
    // The scan thread hands the store its records through the session's
    // queue; each hand-over schedules one turn of this thread's event loop
    // that drains it (never more than one waiting).
    session_->dispatcher.setOnQueued([this, scheduled = drainScheduled_] {
        if (!scheduled->exchange(true)) QMetaObject::invokeMethod(this, &ResultBrowser::drain, Qt::QueuedConnection);
    });
    session_->store.addObserver(this);
    session_->selection.onChanged = [this](std::int32_t) { refreshSelection(); };
    searcher_ = std::make_unique<Search>(session_->dispatcher);
    searchHits_.reset();
    selectAllState_.clear();
    scanProblem_.reset();
    longestTickMs_ = 0;
    counts_.clear();
    refreshCounts(false);
    progress_->setValue(0);
    cancel_->setVisible(true);
    cancel_->setEnabled(true);
    deletedOnly_->setEnabled(false);
    selectAll_->setEnabled(false);
    search_->setEnabled(false);
    {
        const QSignalBlocker a(deletedOnly_), b(selectAll_);
        deletedOnly_->setChecked(false);
        selectAll_->setChecked(false);
    }
    deviceLabel_->setText(what);
    thumbnails_->clear();
    thumbnails_->setCipher(nullptr);
    attachmentNames_.clear();
    model_->setPlaceNames({});
    fillChooser();
    chooser_->setEnabled(false);
}

void ResultBrowser::startScan(const QString& backupFolder) { startScan(backupFolder, false); }

QByteArray ResultBrowser::askPassword(bool wrongBefore) {
    QInputDialog dialog(this);
    dialog.setObjectName(QStringLiteral("backupPasswordDialog"));
    dialog.setWindowTitle(QStringLiteral("Encrypted backup"));
    dialog.setLabelText(wrongBefore ? QStringLiteral("Wrong password, try again.\nThe password is not right for "
                                                     "this backup:")
                                    : QStringLiteral("This backup is encrypted. Enter the password that was set "
                                                     "for its backups:"));
    dialog.setTextEchoMode(QLineEdit::Password);
    dialog.setInputMethodHints(Qt::ImhSensitiveData | Qt::ImhNoPredictiveText);
    if (dialog.exec() != QDialog::Accepted) return {};
    QByteArray bytes = dialog.textValue().toUtf8();
    dialog.setTextValue(QString());
    return bytes;
}

bool ResultBrowser::giveBackupSecret(const QString& folder, bool wrongBefore) {
    MVIOSDeviceNode node;
    describeBackupFormat(node, folder.toStdString());
    if (!node.bEncrypted) return true;
    BackupSecret secret;
    if (const auto it = backupKeys_.find(folder); it != backupKeys_.end() && !wrongBefore) {
        secret.derivedKey = it->second.clone();
    } else if (const char* env = std::getenv("SALVOR_BACKUP_PASSWORD"); env && *env && !wrongBefore) {
        secret.password = crypto::SecretBytes(crypto::bytesOf(env));
    } else {
        QByteArray typed = askPassword(wrongBefore);
        if (typed.isEmpty()) return false;
        secret.password =
            crypto::SecretBytes(std::span(reinterpret_cast<const std::uint8_t*>(typed.constData()), typed.size()));
        crypto::cleanse(typed.data(), static_cast<std::size_t>(typed.size()));
    }
    session_->app.setBackupSecret(std::move(secret));
    return true;
}

void ResultBrowser::startScan(const QString& backupFolder, bool wrongBefore) {
    prepareScan(QStringLiteral("Scanning <b>%1</b>…").arg(QDir::toNativeSeparators(backupFolder).toHtmlEscaped()));
    // The folder as the list names it, so the chooser finds the entry.
    backupFolder_ = QString::fromStdString(absolutePath(backupFolder.toStdString()));
    // A folder that cannot be scanned ends at the first turn of the timer, through
    // the same finishing path as a scan.
    if (!giveBackupSecret(backupFolder_, wrongBefore)) {
        scanProblem_ = "This backup is encrypted, and it is not scanned without its password.";
        scanActive_ = true;
        beginPumping();
        return;
    }
    // The key derivation of an encrypted backup takes seconds before any count
    // moves: the panel says what is happening (statusChanged).
    scanningText_ = deviceLabel_->text();
    scanProblem_ = session_->start(backupFolder.toStdString());
    scanActive_ = true;
    // A backup opened by its folder joins the chooser under its device's name.
    if (const DeviceNodePtr& node = session_->app.currentNode;
        node && std::none_of(backups_.begin(), backups_.end(), [&](const DeviceNodePtr& b) {
            return b->backUpFilePath == node->backUpFilePath;
        }))
        backups_.push_back(node);
    fillChooser();
    chooser_->setEnabled(false);
    beginPumping();
}

void ResultBrowser::startDeviceScan(const QString& udid) {
    prepareScan(QStringLiteral("Backing up the device…"));
    backupFolder_.clear();
    deviceScan_ = std::make_unique<DeviceScan>(*session_);
    // A device that cannot be used ends at the first turn of the timer, like a
    // folder that cannot be scanned.
    scanProblem_ = deviceScan_->start(udid.toStdString());
    // A device that encrypts its backups: the password is asked for before the backup.
    if (scanProblem_ && scanProblem_->find("backup encryption is on") != std::string::npos) {
        QByteArray typed = askPassword(false);
        if (!typed.isEmpty()) {
            BackupSecret secret;
            secret.password =
                crypto::SecretBytes(std::span(reinterpret_cast<const std::uint8_t*>(typed.constData()), typed.size()));
            crypto::cleanse(typed.data(), static_cast<std::size_t>(typed.size()));
            session_->app.setBackupSecret(std::move(secret));
            scanProblem_ = deviceScan_->start(udid.toStdString());
        }
    }
    if (scanProblem_) {
        deviceScan_.reset();
    } else {
        // The removal notice comes on the device library's thread; the alert
        // is shown on this one. A scan already running goes on reading the
        // backup folder.
        session_->app.onDeviceAlert = [this](const std::string& text) {
            const QString shown = QString::fromStdString(text);
            QMetaObject::invokeMethod(this, [this, shown] { notify(this, QMessageBox::Warning, shown); },
                                      Qt::QueuedConnection);
        };
    }
    scanActive_ = true;
    beginPumping();
}

void ResultBrowser::beginPumping() {
    showDevice();
    showCategory(category_);
    // A scan that could not start ends at the first turn, through the same
    // finishing path as one that ran.
    scheduleDrain();
}

bool ResultBrowser::sessionBusy() const { return deviceScan_ ? deviceScan_->running() : session_->running(); }

void ResultBrowser::endSession() {
    if (deviceScan_) {
        if (auto why = deviceScan_->finish()) scanProblem_ = std::move(why);
        // The device's backup is now the folder the page shows and reads.
        if (const DeviceNodePtr& node = session_->app.currentNode; node && node->backUpFilePath)
            backupFolder_ = QString::fromStdString(*node->backUpFilePath);
    } else {
        session_->finish();
    }
}

void ResultBrowser::cancelScan() {
    if (session_ && scanning()) {
        session_->cancel();
        cancel_->setEnabled(false);
    }
}

void ResultBrowser::stopAndWait() {
    if (!scanning()) return;
    session_->cancel();
    // The scan ends through its finishing step, which runs on this thread.
    session_->dispatcher.pumpUntil([this] { return !sessionBusy(); });
    endSession();
    session_->dispatcher.pumpUntil([] { return true; });
    scanActive_ = false;
}

void ResultBrowser::finishScan() {
    countsTimer_.stop();
    const bool cancelled = session_->cancelled();
    if (!cancelled && !deviceScan_ && session_->app.scanFailedOnPassword()) {
        // Asked again at once; nothing was read with the wrong password.
        backupKeys_.erase(backupFolder_);
        const QString folder = backupFolder_;
        QTimer::singleShot(0, this, [this, folder] { startScan(folder, true); });
        return;
    }
    if (crypto::SecretBytes key = session_->app.derivedKey(); !key.empty() && !backupFolder_.isEmpty())
        backupKeys_[backupFolder_] = std::move(key);
    if (!scanProblem_ && !cancelled) scanProblem_ = session_->app.scanFailure();
    refreshCounts(true);
    if (!cancelled) progress_->setValue(100);
    cancel_->setVisible(false);
    deletedOnly_->setEnabled(true);
    selectAll_->setEnabled(true);
    search_->setEnabled(true);
    showDevice();
    chooser_->setEnabled(true);
    if (!cancelled && session_->app.currentNodeIsiOS6Version) {
        // These backups name a calendar item's place by its row of the
        // Location table; the window shows the place's name.
        ResultStore quiet;  // the place names are read, nothing is delivered
        ScanContext ctx(quiet, backupFolder_.toStdString());
        ctx.cipher = std::const_pointer_cast<BackupCipher>(session_->app.backupCipher());
        PlaceNames places = readCalendarLocationTitles(ctx, absolutePath(backupFolder_.toStdString()));
        places.emplace("0", std::string());  // row 0: the item has no place
        model_->setPlaceNames(std::move(places));
    }
    deviceLabel_->setText(cancelled ? QStringLiteral("Scan cancelled") : QStringLiteral("Scan complete"));
    showCategory(category_);
    if (scanProblem_) notify(this, QMessageBox::Warning, QString::fromStdString(*scanProblem_));
    else if (const auto problems = session_->store.problems(); !problems.empty()) {
        QStringList lines;
        for (const auto& p : problems) lines << QString::fromStdString(p);
        notify(this, QMessageBox::Warning, QStringLiteral("Part of the backup could not be read."), lines.join('\n'));
    }
    emit scanCompleted(cancelled);
}

bool ResultBrowser::exportConversationPicture(const QString& file) {
    if (category_ != Category::Message || !exportPicture_->isEnabled()) return false;
    // The whole view, not only the part the scroll area shows.
    const QPixmap picture = conversation_->grab(QRect(QPoint(0, 0), conversation_->size()));
    return !picture.isNull() && picture.save(file, "PNG");
}

void ResultBrowser::askRecovery() {
    const QString proposed = QString::fromStdString(proposedRecoveryName(std::time(nullptr)));
    RecoverDialog dialog(QDir::home().filePath(proposed), this);
    if (dialog.exec() != QDialog::Accepted) return;
    recoverInto(dialog.destination(), dialog.exports());
}

RecoveryReport ResultBrowser::recoverInto(const QString& destination, const ExportOptions& exports) {
    if (!session_ || scanning()) return {};
    const std::string target = absolutePath(destination.toStdString());
    if (auto problem = destinationProblem(target, absolutePath(backupFolder_.toStdString()))) {
        notify(this, QMessageBox::Warning, QString::fromStdString(*problem));
        return {};
    }
    Recovery& recovery = session_->recovery;
    RecoverySource selected = recovery.source();
    std::stop_source stop;
    RecoveryReport report;
    QProgressDialog dialog(QStringLiteral("Recovering the selected files…"), QStringLiteral("Cancel"), 0, 100, this);
    dialog.setWindowModality(Qt::WindowModal);
    dialog.setMinimumDuration(300);
    dialog.setAutoClose(false);
    dialog.setAutoReset(false);
    connect(&dialog, &QProgressDialog::canceled, this, [&stop] { stop.request_stop(); });
    ScanSession* s = session_.get();
    selected.exports = exports;
    selected.exports.calendarPlaces = model_->placeNames();  // the names the window shows
    // The run tells the dialog of its progress through this thread's event
    // queue (one update waiting at a time) and of its end; this thread stays
    // free for events meanwhile, and nothing polls.
    QEventLoop loop;
    auto updateWaiting = std::make_shared<std::atomic<bool>>(false);
    selected.onItemHandled = [&dialog, &recovery, updateWaiting] {
        if (updateWaiting->exchange(true)) return;
        QMetaObject::invokeMethod(
            &dialog,
            [&dialog, &recovery, updateWaiting] {
                updateWaiting->store(false);
                dialog.setValue(recoveryPercent(recovery.handled.load(), recovery.total.load()));
            },
            Qt::QueuedConnection);
    };
    std::thread worker([&] {
        report = recovery.run(std::move(selected), target, stop.get_token());
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
    s->dispatcher.pumpUntil([] { return true; });
    dialog.close();
    showSummary(report);
    if (openDestinationAfterRecovery && !report.folders.empty())
        QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(report.destination)));
    return report;
}

void ResultBrowser::showSummary(const RecoveryReport& report) {
    QString text;
    if (report.folders.empty()) text = QStringLiteral("Nothing was written.");
    else
        text = QStringLiteral("Recovered %1 items into %2.")
                   .arg(report.itemsRecovered)
                   .arg(QDir::toNativeSeparators(QString::fromStdString(report.destination)));
    if (report.cancelled)
        text += QStringLiteral("\nStopped after %1 of %2 items.").arg(report.itemsHandled).arg(report.itemsTotal);
    if (!report.failures.empty()) text += QStringLiteral("\n%1 items could not be written.").arg(report.failures.size());
    if (!report.notInBackup.empty())
        text += QStringLiteral("\n%1 items are not in the backup.").arg(report.notInBackup.size());
    QStringList details;
    for (const auto& f : report.folders)
        details << QStringLiteral("%1: %2 items, %3 files").arg(QString::fromStdString(f.folder)).arg(f.items).arg(f.files);
    for (const auto& f : report.failures)
        details << QStringLiteral("Not written: %1 — %2").arg(QString::fromStdString(f.item), QString::fromStdString(f.reason));
    for (const auto& f : report.notInBackup)
        details << QStringLiteral("Not in the backup: %1 — %2")
                       .arg(QString::fromStdString(f.item), QString::fromStdString(f.reason));
    notify(this, report.succeeded() ? QMessageBox::Information : QMessageBox::Warning, text, details.join('\n'));
}

}  // namespace salvor::gui
