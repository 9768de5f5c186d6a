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
#include "core/events.h"
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

namespace {

constexpr Category kCategories[] = {Category::Contact,  Category::Message,  Category::CallHistory,
                                    Category::Note,     Category::BookMark, Category::Calendar,
                                    Category::PhotoAndVideo, Category::FaceTwitter, Category::BackupTree};

int bit(Category c) { return 1 << static_cast<int>(c); }

// A message box that does not block the event loop (a scan or a screenshot
// may still be running behind it).
void notify(QWidget* parent, QMessageBox::Icon icon, const QString& text, const QString& details = {}) {
    auto* box = new QMessageBox(icon, QStringLiteral("Salvor"), text, QMessageBox::Ok, parent);
    if (!details.isEmpty()) box->setDetailedText(details);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

// The name countCategories gives the category's line.
const char* countName(Category c) {
    switch (c) {
    case Category::Contact: return "Contacts";
    case Category::Message: return "Messages";
    case Category::CallHistory: return "Call history";
    case Category::Note: return "Notes";
    case Category::BookMark: return "Bookmarks";
    case Category::Calendar: return "Calendar";
    case Category::PhotoAndVideo: return "Photos & videos";
    case Category::FaceTwitter: return "Social app files";
    case Category::BackupTree: return "Backup files";
    }
    return "";
}

}  // namespace

QString categoryTitle(Category c) {
    switch (c) {
    case Category::Contact: return QStringLiteral("Contacts");
    case Category::Message: return QStringLiteral("Messages");
    case Category::CallHistory: return QStringLiteral("Call history");
    case Category::Note: return QStringLiteral("Notes");
    case Category::BookMark: return QStringLiteral("Bookmarks");
    case Category::Calendar: return QStringLiteral("Calendar");
    case Category::PhotoAndVideo: return QStringLiteral("Photos & videos");
    case Category::FaceTwitter: return QStringLiteral("Social apps");
    case Category::BackupTree: return QStringLiteral("Backup files");
    }
    return {};
}

std::optional<Category> categoryFromName(const QString& name) {
    static const std::map<QString, Category> names{
        {"contacts", Category::Contact},  {"messages", Category::Message}, {"calls", Category::CallHistory},
        {"notes", Category::Note},        {"bookmarks", Category::BookMark}, {"calendar", Category::Calendar},
        {"photos", Category::PhotoAndVideo}, {"social", Category::FaceTwitter}, {"files", Category::BackupTree}};
    const auto it = names.find(name);
    if (it == names.end()) return std::nullopt;
    return it->second;
}

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
    for (Category c : kCategories) {
        auto* b = new QToolButton;
        b->setCheckable(true);
        b->setToolButtonStyle(Qt::ToolButtonTextOnly);
        b->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        b->setMinimumWidth(170);
        b->setMaximumWidth(200);
        b->setFocusPolicy(Qt::StrongFocus);
        b->setStyleSheet(QStringLiteral("QToolButton { text-align: left; padding: 6px; }"));
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
        session_->store.ClickSelectAll(on);
        model_->refreshChecks();
        refreshSelection();
    });
    connect(deletedOnly_, &QCheckBox::toggled, this, [this](bool on) {
        if (!session_ || scanning()) return;
        session_->store.actCheck(on);
        rowsChanged_ = false;
        reloadRows();
        refreshSelection();
    });
    connect(search_, &QLineEdit::textChanged, this, [this](const QString& text) {
        if (!session_ || scanning()) return;
        // The search runs on its own thread and hands its result over through
        // the queue, which the timer serves until the result has come.
        searchPending_ = !text.isEmpty();
        session_->store.controlTextDidChange(text.toStdString());
        if (rowsChanged_) {
            rowsChanged_ = false;
            reloadRows();
            refreshSelection();
        }
        if (searchPending_) pump_.start();
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
    QWidget* previous = buttonOf_[kCategories[std::size(kCategories) - 1]];
    for (QWidget* w : std::initializer_list<QWidget*>{selectAll_, search_, deletedOnly_, table_, grid_, tree_,
                                                      conversationArea_, exportPicture_, detail_, recover_}) {
        setTabOrder(previous, w);
        previous = w;
    }
    connect(&pump_, &QTimer::timeout, this, &ResultBrowser::tick);
    pump_.setInterval(10);
    refreshCounts(false);
    showDevice();
    showCategory(Category::Contact);
}

ResultBrowser::~ResultBrowser() {
    stopAndWait();
    if (session_) session_->store.removeObserver(this);
    treeModel_->setStore(nullptr);
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
    if (session_) session_->store.removeObserver(this);
    treeModel_->setStore(nullptr);
    model_->setRecords(category_, {}, false);
    deviceScan_.reset();  // it refers to the session
    session_.reset();
    session_ = std::make_unique<ScanSession>();
    session_->store.addObserver(this);
    scanProblem_.reset();
    longestTickMs_ = 0;
    dirtyCategories_ = 0;
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
    // moves: the panel says what is happening. Posted on the scan thread.
    const QString scanning = deviceLabel_->text();
    session_->nc.addObserver(events::ScanStatusText, [this, scanning](const std::any& object) {
        const auto* text = std::any_cast<std::string>(&object);
        if (!text) return;
        const QString shown = text->empty() ? scanning : QString::fromStdString(*text);
        QMetaObject::invokeMethod(this, [this, shown] { deviceLabel_->setText(shown); }, Qt::QueuedConnection);
    });
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
        session_->nc.addObserver(events::DeviceDisConnect, [this](const std::any&) {
            QMetaObject::invokeMethod(
                this,
                [this] {
                    notify(this, QMessageBox::Warning,
                           QStringLiteral("Device disconnected. Please reconnect your device to this computer and "
                                          "scan again."));
                },
                Qt::QueuedConnection);
        });
    }
    scanActive_ = true;
    beginPumping();
}

void ResultBrowser::beginPumping() {
    showDevice();
    sinceCounts_.start();
    sinceRows_.start();
    pump_.start();
    model_->setRecords(category_, {}, false);
    showCategory(category_);
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
    pump_.stop();
}

// ---- announcements: the scan thread only raises flags, the timer reads the store ----

void ResultBrowser::recordsAdded(Category category, std::size_t, std::size_t) {
    countsDirty_ = true;
    dirtyCategories_.fetch_or(bit(category));
}

void ResultBrowser::conversationChanged(std::size_t) {
    countsDirty_ = true;
    dirtyCategories_.fetch_or(bit(Category::Message));
}

void ResultBrowser::countersChanged() { countsDirty_ = true; }

// On this thread: a shown record that gained an earlier version is shown again.
void ResultBrowser::recordChanged(Category, std::size_t) {
    if (detailIndex_.isValid()) showDetail(detailIndex_);
}

// These two come on this thread (while the queue is served).
void ResultBrowser::displayedListChanged(Category, std::size_t) { rowsChanged_ = true; }

void ResultBrowser::searchResultsPublished(std::size_t) {
    rowsChanged_ = true;
    searchPending_ = false;
}

void ResultBrowser::tick() {
    if (!session_) return;
    QElapsedTimer clock;
    clock.start();
    struct Measure {
        QElapsedTimer& clock;
        qint64& longest;
        ~Measure() { longest = std::max(longest, clock.elapsed()); }
    } measure{clock, longestTickMs_};
    session_->dispatcher.pumpUntil([] { return true; });
    // An encrypted backup's key store exists before any of its pictures is
    // listed, so a thumbnail is never asked for without it.
    thumbnails_->setCipher(session_->app.backupCipher());
    if (rowsChanged_ && !scanning()) {
        rowsChanged_ = false;
        reloadRows();
        refreshSelection();
    }
    if (!scanning()) {
        if (!searchPending_) pump_.stop();
        return;
    }
    progress_->setValue(session_->store.progressValue.load());
    if (!sessionBusy()) {
        endSession();
        session_->dispatcher.pumpUntil([] { return true; });
        scanActive_ = false;
        finishScan();
        return;
    }
    // Counts at most ten times a second and rows twice a second, so a scan
    // of a hundred thousand records never floods this thread.
    if (countsDirty_ && sinceCounts_.elapsed() >= 100) {
        countsDirty_ = false;
        refreshCounts(false);
        sinceCounts_.restart();
        showDevice();
    }
    if ((dirtyCategories_.load() & bit(category_)) && sinceRows_.elapsed() >= 500) {
        dirtyCategories_.fetch_and(~bit(category_));
        reloadRows();
        sinceRows_.restart();
    }
}

void ResultBrowser::finishScan() {
    pump_.stop();
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
        NotificationCenter quiet;
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

void ResultBrowser::refreshCounts(bool final) {
    counts_.clear();
    if (session_ && final) {
        for (const CategoryCount& c : countCategories(session_->store))
            for (Category cat : kCategories)
                if (c.name == countName(cat)) counts_[cat] = {c.live, c.deleted};
    } else if (session_) {
        const MVResultViewController& s = session_->store;
        counts_[Category::Contact] = {s.contactNum.load(), s.delContactNum.load()};
        counts_[Category::Message] = {s.messageNum.load(), s.delMessageNum.load()};
        counts_[Category::CallHistory] = {s.callNum.load(), s.delCallNum.load()};
        counts_[Category::Note] = {s.noteNum.load(), s.delNoteNum.load()};
        counts_[Category::BookMark] = {s.bookMarkNum.load(), s.delBookMarkNum.load()};
        counts_[Category::Calendar] = {s.calendarNum.load(), s.delCalendarNum.load()};
        counts_[Category::PhotoAndVideo] = {s.photovideoNum.load(), 0};
        counts_[Category::FaceTwitter] = {s.facetwitterNum.load(), 0};
        counts_[Category::BackupTree] = {s.BackUpFilesNum.load(), 0};
    }
    for (Category c : kCategories) {
        const auto [live, deleted] = shownCount(c);
        QString text = QStringLiteral("%1\n%2").arg(categoryTitle(c).replace(QLatin1Char('&'), QStringLiteral("&&"))).arg(live);
        if (deleted > 0) text += QStringLiteral("  ·  %1 deleted").arg(deleted);
        buttonOf_[c]->setText(text);
    }
}

void ResultBrowser::showCategory(Category category) {
    category_ = category;
    if (auto* b = categoryButton(category)) b->setChecked(true);
    {
        // A new category starts unsearched.
        const QSignalBlocker block(search_);
        search_->clear();
        searchPending_ = false;
    }
    if (session_ && !scanning()) {
        session_->store.showCategory(category);
        rowsChanged_ = false;
        const QSignalBlocker block(selectAll_);
        selectAll_->setChecked(session_->store.selectAllBoxState);
    }
    table_->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
    proxy_->sort(-1);
    reloadRows();
    conversation_->setMessages({});
    conversationPane_->setVisible(category == Category::Message);
    exportPicture_->setEnabled(false);
    detail_->clear();
    const bool files = category == Category::BackupTree;
    const bool photos = category == Category::PhotoAndVideo;
    detail_->setVisible(category != Category::Message && !files);
    table_->setVisible(!files && !photos);
    grid_->setVisible(photos);
    tree_->setVisible(files);
    selectAll_->setVisible(!files);
    deletedOnly_->setVisible(!files);
    search_->setVisible(!files);
    splitter_->setSizes(category == Category::Message ? QList<int>{460, 0, 540, 0, 0}
                        : files                      ? QList<int>{0, 0, 0, 1000, 0}
                        : photos                     ? QList<int>{0, 600, 0, 0, 220}
                                                     : QList<int>{560, 0, 0, 0, 260});
    table_->resizeColumnsToContents();
    table_->setColumnWidth(0, 28);
    for (int c = 1; c < model_->columnCount(); ++c)
        table_->setColumnWidth(c, std::min(table_->columnWidth(c), category == Category::Message ? 180 : 320));
    refreshSelection();
}

void ResultBrowser::reloadRows() {
    if (category_ == Category::BackupTree) {
        // The tree is placed on this thread in batches; it is shown once complete.
        treeModel_->setStore(session_ && !scanning() ? &session_->store : nullptr);
        if (treeModel_->rowCount() > 0) tree_->expand(treeModel_->index(0, 0));
        return;
    }
    if (!session_) {
        model_->setRecords(category_, {}, false);
        return;
    }
    if (scanning()) {
        // While the scan appends, rows are shown from the store's lists and
        // cannot be ticked yet; a batch brings only the records added since the last one.
        if (model_->category() == category_ && !model_->checkable()) {
            model_->appendRecords(session_->store.snapshot(category_, model_->records().size()));
        } else {
            model_->setRecords(category_, session_->store.snapshot(category_), false);
        }
    } else {
        model_->setRecords(category_, session_->store.displayedSnapshot(), true);
    }
    const int column = table_->horizontalHeader()->sortIndicatorSection();
    if (column >= 0 && column < model_->columnCount()) proxy_->sort(column, table_->horizontalHeader()->sortIndicatorOrder());
}

void ResultBrowser::toggleRow(int modelRow, bool value) {
    if (!session_ || scanning() || modelRow < 0 || modelRow >= static_cast<int>(model_->records().size())) return;
    const AnyRecord& record = model_->records()[static_cast<std::size_t>(modelRow)];
    const std::vector<AnyRecord> shown = session_->store.displayedSnapshot();
    std::size_t index = static_cast<std::size_t>(modelRow);
    if (index >= shown.size() || shown[index] != record) {
        const auto it = std::find(shown.begin(), shown.end(), record);
        if (it == shown.end()) return;
        index = static_cast<std::size_t>(it - shown.begin());
    }
    if (std::holds_alternative<PhotoPtr>(record)) {
        // A thumbnail's box (or the photo's row) ticks the record through the
        // store's thumbnail event, as the grid's check boxes do.
        session_->nc.post(events::RefreshNodeSelctedStatu,
                          std::any(PhotoThumbnailCheck{std::get<PhotoPtr>(record), value}));
    } else {
        session_->store.setRowsSelected({index}, value);
    }
    refreshSelection();
}

void ResultBrowser::refreshSelection() {
    if (!session_) {
        selectionLabel_->clear();
        recover_->setEnabled(false);
        return;
    }
    const MVResultViewController& s = session_->store;
    selectionLabel_->setText(QString::fromStdString(s.selectionText));
    recover_->setEnabled(s.recoverEnabled && !scanning());
}

void ResultBrowser::openConversation(int viewRow) {
    if (!session_ || category_ != Category::Message) return;
    const QModelIndex source = proxy_->mapToSource(proxy_->index(viewRow, 0));
    if (!source.isValid()) return;
    const AnyRecord& record = model_->records()[static_cast<std::size_t>(source.row())];
    const std::vector<AnyRecord> all = session_->store.snapshot(Category::Message);
    const auto it = std::find(all.begin(), all.end(), record);
    if (it == all.end()) return;
    conversation_->setMessages(session_->store.conversationMessages(static_cast<std::size_t>(it - all.begin())));
    exportPicture_->setEnabled(true);
    if (table_->currentIndex().row() != viewRow) table_->selectRow(viewRow);
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
    MVResultViewController& store = session_->store;
    std::stop_source stop;
    std::atomic<bool> done{false};
    RecoveryReport report;
    QProgressDialog dialog(QStringLiteral("Recovering the selected files…"), QStringLiteral("Cancel"), 0, 100, this);
    dialog.setWindowModality(Qt::WindowModal);
    dialog.setMinimumDuration(300);
    dialog.setAutoClose(false);
    dialog.setAutoReset(false);
    connect(&dialog, &QProgressDialog::canceled, this, [&stop] { stop.request_stop(); });
    ScanSession* s = session_.get();
    ExportOptions options = exports;
    options.calendarPlaces = model_->placeNames();  // the names the window shows
    std::thread worker([&] {
        report = store.recoverFilesThread(target, stop.get_token(), std::move(options));
        done = true;
        s->dispatcher.wake();
    });
    // The run's own counters drive the dialog; this thread stays free for events.
    QEventLoop loop;
    QTimer poll;
    connect(&poll, &QTimer::timeout, &loop, [&] {
        s->dispatcher.pumpUntil([] { return true; });
        dialog.setValue(recoveryPercent(store.recovredFilesNum.load(), store.allSelectedFileNum.load()));
        if (done) loop.quit();
    });
    poll.start(20);
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
        for (const TreeDirPtr& root : session_->store.treeController.content)
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
