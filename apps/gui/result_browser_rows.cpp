// The result browser's rows: following the store's announcements, the counts
// on the buttons, the category shown, the deleted-only filter, the search,
// the ticks and the conversation view.
#include <QCheckBox>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QSortFilterProxyModel>
#include <QSplitter>
#include <QTableView>
#include <QTextBrowser>
#include <QToolButton>
#include <QTreeView>
#include <algorithm>
#include <chrono>

#include "conversation_view.h"
#include "photo_grid.h"
#include "record_model.h"
#include "result_browser.h"
#include "thumbnail_cache.h"
#include "tree_model.h"

namespace salvor::gui {

// ---- the scan's queue ----

void ResultBrowser::scheduleDrain() {
    if (!drainScheduled_->exchange(true)) QMetaObject::invokeMethod(this, &ResultBrowser::drain, Qt::QueuedConnection);
}

void ResultBrowser::drain() {
    drainScheduled_->store(false);
    if (!session_) return;
    QElapsedTimer clock;
    clock.start();
    // The store takes what the scan handed over, a slice at a time so that
    // the window's own events come between the slices; the views follow it
    // through its announcements, inside this call.
    if (session_->dispatcher.pumpFor(std::chrono::milliseconds(25))) {
        scheduleDrain();
        longestTickMs_ = std::max(longestTickMs_, clock.elapsed());
        return;
    }
    // An encrypted backup's key store exists before any of its pictures is
    // listed, so a thumbnail is never asked for without it.
    thumbnails_->setCipher(session_->app.backupCipher());
    if (scanActive_ && !sessionBusy()) {
        endSession();
        session_->dispatcher.pumpUntil([] { return true; });
        scanActive_ = false;
        finishScan();
    }
    longestTickMs_ = std::max(longestTickMs_, clock.elapsed());
}

// ---- announcements ----

bool ResultBrowser::passesFilters(const AnyRecord& record) const {
    if (deletedOnly_->isChecked() && !isDeletedRecord(record)) return false;
    if (searchHits_ && !searchHits_->count(std::visit([](const auto& p) -> const void* { return p.get(); }, record)))
        return false;
    return true;
}

// The table's model follows the store by itself; the window follows the counts
// and the detail pane.
void ResultBrowser::recordsAdded(Category, std::size_t, std::size_t) { countsChanged(); }

void ResultBrowser::recordChanged(Category category, std::size_t index) {
    countsChanged();
    if (category != category_ || !session_ || index >= session_->store.recordCount(category)) return;
    const AnyRecord changed = session_->store.record(category, index);
    // The record the detail pane shows is shown again when it changed (it
    // gained an earlier version); other rows' changes leave the pane be.
    if (!detailIndex_.isValid()) return;
    const QModelIndex source = proxy_->mapToSource(detailIndex_);
    if (source.isValid() && source.row() < static_cast<int>(model_->records().size()) &&
        model_->records()[static_cast<std::size_t>(source.row())] == changed)
        showDetail(detailIndex_);
}

void ResultBrowser::backupFilesAdded(std::size_t) { countsChanged(); }

void ResultBrowser::progressChanged(int percent) { progress_->setValue(percent); }

void ResultBrowser::statusChanged(const std::string& text) {
    deviceLabel_->setText(text.empty() ? scanningText_ : QString::fromStdString(text));
}

void ResultBrowser::deviceChanged(const DeviceNodePtr&) { showDevice(); }

void ResultBrowser::countsChanged() {
    if (!countsTimer_.isActive()) countsTimer_.start();
}

// ---- counts ----

void ResultBrowser::refreshCounts(bool) {
    counts_.clear();
    if (session_) {
        for (const CategoryCount& c : countCategories(session_->store))
            for (const CategoryInfo& info : categoryTable())
                if (c.name == info.countName) counts_[info.id] = {c.live, c.deleted};
    }
    for (const CategoryInfo& info : categoryTable()) {
        const auto [live, deleted] = shownCount(info.id);
        QString text = QStringLiteral("%1\n%2").arg(categoryTitle(info.id).replace(QLatin1Char('&'), QStringLiteral("&&"))).arg(live);
        if (deleted > 0) text += QStringLiteral("  ·  %1 deleted").arg(deleted);
        buttonOf_[info.id]->setText(text);
    }
}

// ---- the category shown and its rows ----

void ResultBrowser::showCategory(Category category) {
    category_ = category;
    if (auto* b = categoryButton(category)) b->setChecked(true);
    {
        // A new category starts unsearched.
        const QSignalBlocker block(search_);
        search_->clear();
        if (searcher_) searcher_->cancel();
        searchHits_.reset();
    }
    if (session_ && !scanning()) {
        const QSignalBlocker block(selectAll_);
        selectAll_->setChecked(selectAllState_[category]);
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
        // The tree is placed on this thread as the scan goes; it is shown once complete.
        treeModel_->setStore(session_ && !scanning() ? &session_->store : nullptr,
                             session_ ? &session_->selection : nullptr);
        if (treeModel_->rowCount() > 0) tree_->expand(treeModel_->index(0, 0));
        return;
    }
    if (!session_) {
        model_->follow(nullptr, category_);
        return;
    }
    // While the scan appends, rows come as the store announces them and
    // cannot be ticked yet.
    RecordTableModel::Filter filter;
    if (deletedOnly_->isChecked() || searchHits_) filter = [this](const AnyRecord& r) { return passesFilters(r); };
    model_->follow(&session_->store, category_, std::move(filter), !scanning());
    const int column = table_->horizontalHeader()->sortIndicatorSection();
    if (column >= 0 && column < model_->columnCount()) proxy_->sort(column, table_->horizontalHeader()->sortIndicatorOrder());
}

void ResultBrowser::startSearch(const QString& text) {
    if (text.isEmpty()) {
        searcher_->cancel();
        searchHits_.reset();
        reloadRows();
        refreshSelection();
        return;
    }
    // The search runs on its own thread and hands its hits over through the
    // session's queue, which a turn of this thread drains.
    searcher_->start(text.toStdString(), category_, session_->store.records(category_),
                     [this](std::vector<AnyRecord> found) {
                         std::unordered_set<const void*> hits;
                         for (const AnyRecord& r : found)
                             hits.insert(std::visit([](const auto& p) -> const void* { return p.get(); }, r));
                         searchHits_ = std::move(hits);
                         reloadRows();
                         refreshSelection();
                     });
}

// ---- ticks ----

void ResultBrowser::toggleRow(int modelRow, bool value) {
    if (!session_ || scanning() || modelRow < 0 || modelRow >= static_cast<int>(model_->records().size())) return;
    session_->selection.setSelected(model_->records()[static_cast<std::size_t>(modelRow)], value);
    refreshSelection();
}

void ResultBrowser::refreshSelection() {
    if (!session_) {
        selectionLabel_->clear();
        recover_->setEnabled(false);
        return;
    }
    const std::int32_t selected = session_->selection.selectedCount();
    selectionLabel_->setText(QString::fromStdString(selectionSentence(selected)));
    recover_->setEnabled(selected > 0 && !scanning());
}

void ResultBrowser::openConversation(int viewRow) {
    if (!session_ || category_ != Category::Message) return;
    const QModelIndex source = proxy_->mapToSource(proxy_->index(viewRow, 0));
    if (!source.isValid()) return;
    const AnyRecord& record = model_->records()[static_cast<std::size_t>(source.row())];
    const ConversationPtr* conversation = std::get_if<ConversationPtr>(&record);
    if (!conversation || !*conversation) return;
    conversation_->setMessages((*conversation)->MessageNodeArray);
    exportPicture_->setEnabled(true);
    if (table_->currentIndex().row() != viewRow) table_->selectRow(viewRow);
}

}  // namespace salvor::gui
