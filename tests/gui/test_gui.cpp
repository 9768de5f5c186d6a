// The desktop app's windows, driven offscreen on forged backups.
#include <gtest/gtest.h>
#include <libheif/heif.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QBuffer>
#include <QImage>
#include <QInputDialog>
#include <QTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QTest>
#include <QTextDocument>
#include <filesystem>
#include <optional>

#include "conversation_view.h"
#include "main_window.h"
#include "photo_grid.h"
#include "start_page.h"
#include "thumbnail_cache.h"
#include "record_detail.h"
#include "record_model.h"
#include "tree_model.h"
#include "result_browser.h"
#include "core/backup_cipher.h"
#include "forge/forge.h"
#include "forge/hostile_modern_load.h"
#include "support/support.h"

namespace salvor::gui {
namespace {

using test::TempDir;

// One forged demo backup scanned once for the whole suite (a scan is the slow part).
class ScannedBrowser : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        backup_ = test::forgeOne(*dir_, "demo", 7).path;
        browser_ = new ResultBrowser;
        browser_->resize(1020, 660);
        browser_->show();
        browser_->startScan(QString::fromStdString(backup_));
        QElapsedTimer clock;
        clock.start();
        while (browser_->scanning() && clock.elapsed() < 120000) QTest::qWait(20);
    }
    static void TearDownTestSuite() {
        delete browser_;
        delete dir_;
    }
    void SetUp() override {
        ASSERT_FALSE(browser_->scanning());
        // Every test starts from an empty selection with the filter off.
        browser_->showCategory(Category::Contact);
        browser_->deletedOnlyBox()->setChecked(false);
        for (Category c : {Category::Contact, Category::Message, Category::CallHistory, Category::PhotoAndVideo}) {
            browser_->showCategory(c);
            browser_->selectAllBox()->setChecked(true);
            browser_->selectAllBox()->setChecked(false);
        }
    }

    // The rows of the table as shown (sorted), column `column`'s sort keys.
    static std::vector<QVariant> shownKeys(int column) {
        std::vector<QVariant> keys;
        const QAbstractItemModel* m = browser_->table()->model();
        for (int r = 0; r < m->rowCount(); ++r) keys.push_back(m->index(r, column).data(RecordTableModel::SortRole));
        return keys;
    }
    static void clickHeader(int column) {
        QHeaderView* header = browser_->table()->horizontalHeader();
        const int x = header->sectionViewportPosition(column) + header->sectionSize(column) / 2;
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(x, header->height() / 2));
    }
    static void tick(int viewRow, bool on) {
        QAbstractItemModel* m = browser_->table()->model();
        m->setData(m->index(viewRow, 0), on ? Qt::Checked : Qt::Unchecked, Qt::CheckStateRole);
    }
    static QString selectionText() { return browser_->selectionLabel()->text(); }

    static inline TempDir* dir_ = nullptr;
    static inline std::string backup_;
    static inline ResultBrowser* browser_ = nullptr;
};

TEST_F(ScannedBrowser, CategoryButtonsShowTheStoreCountsAndEveryRow) {
    const auto counts = countCategories(*browser_->store());
    const std::pair<Category, const char*> names[] = {
        {Category::Contact, "Contacts"},  {Category::Message, "Messages"}, {Category::CallHistory, "Call history"},
        {Category::Note, "Notes"},        {Category::BookMark, "Bookmarks"}, {Category::Calendar, "Calendar"},
        {Category::PhotoAndVideo, "Photos & videos"}, {Category::FaceTwitter, "Social app files"}};
    for (const auto& [category, name] : names) {
        const auto it = std::find_if(counts.begin(), counts.end(), [&](const CategoryCount& c) { return c.name == name; });
        ASSERT_NE(it, counts.end()) << name;
        EXPECT_EQ(browser_->shownCount(category), std::make_pair(it->live, it->deleted)) << name;
        EXPECT_TRUE(browser_->categoryButton(category)->text().contains(QString::number(it->live))) << name;
        if (it->deleted > 0) {
            EXPECT_TRUE(browser_->categoryButton(category)->text().contains(QStringLiteral("%1 deleted").arg(it->deleted)))
                << name;
        }
        // The table lists every record of the category (messages: every conversation).
        QTest::mouseClick(browser_->categoryButton(category), Qt::LeftButton);
        EXPECT_EQ(browser_->table()->model()->rowCount(),
                  static_cast<int>(browser_->store()->recordCount(category)))
            << name;
    }
    EXPECT_GT(browser_->shownCount(Category::Contact).second, 0) << "the demo backup has deleted contacts";
}

TEST_F(ScannedBrowser, TickingSelectAllAndDeletedOnlyDriveTheSelectionTextAndRecover) {
    QTest::mouseClick(browser_->categoryButton(Category::Contact), Qt::LeftButton);
    EXPECT_EQ(selectionText(), QString());
    EXPECT_FALSE(browser_->recoverButton()->isEnabled());

    tick(0, true);
    tick(2, true);
    EXPECT_EQ(selectionText(), QStringLiteral("You select 2 files in the recovery results."));
    EXPECT_TRUE(browser_->recoverButton()->isEnabled());
    tick(0, false);
    EXPECT_EQ(selectionText(), QStringLiteral("You select 1 files in the recovery results."));
    tick(2, false);
    EXPECT_EQ(selectionText(), QString());
    EXPECT_FALSE(browser_->recoverButton()->isEnabled());

    // Deleted only: the list keeps the deleted records, and select-all ticks only those.
    const long deleted = browser_->shownCount(Category::Contact).second;
    QTest::mouseClick(browser_->deletedOnlyBox(), Qt::LeftButton);
    ASSERT_TRUE(browser_->deletedOnlyBox()->isChecked());
    EXPECT_EQ(browser_->table()->model()->rowCount(), deleted);
    for (const AnyRecord& r : browser_->model()->records()) EXPECT_TRUE(RecordTableModel::isDeleted(r));
    QTest::mouseClick(browser_->selectAllBox(), Qt::LeftButton);
    EXPECT_EQ(selectionText(), QStringLiteral("You select %1 files in the recovery results.").arg(deleted));
    EXPECT_TRUE(browser_->recoverButton()->isEnabled());
    QTest::mouseClick(browser_->deletedOnlyBox(), Qt::LeftButton);
    // The live records came back unticked; the deleted ones stay ticked.
    const auto& rows = browser_->model()->records();
    EXPECT_GT(rows.size(), static_cast<std::size_t>(deleted));
    for (const AnyRecord& r : rows) EXPECT_EQ(RecordTableModel::isSelected(r), RecordTableModel::isDeleted(r));
}

TEST_F(ScannedBrowser, ClickingAColumnHeaderSortsByItAndAgainReversesIt) {
    const auto checkOrder = [](int column, bool ascending) {
        const auto keys = shownKeys(column);
        ASSERT_GT(keys.size(), 2u);
        for (std::size_t i = 1; i < keys.size(); ++i) {
            const int c = QVariant::compare(keys[i - 1], keys[i]) == QPartialOrdering::Greater ? 1
                          : QVariant::compare(keys[i - 1], keys[i]) == QPartialOrdering::Less  ? -1
                                                                                              : 0;
            EXPECT_TRUE(ascending ? c <= 0 : c >= 0) << "column " << column << " row " << i;
        }
    };
    QTest::mouseClick(browser_->categoryButton(Category::Contact), Qt::LeftButton);
    clickHeader(1);  // Name
    checkOrder(1, true);
    clickHeader(1);
    checkOrder(1, false);
    QTest::mouseClick(browser_->categoryButton(Category::CallHistory), Qt::LeftButton);
    clickHeader(3);  // Date: in time order, not in the order of the date texts
    const QAbstractItemModel* calls = browser_->table()->model();
    QDateTime previous;
    int dated = 0;
    for (int r = 0; r < calls->rowCount(); ++r) {
        const QDateTime when =
            QDateTime::fromString(calls->index(r, 3).data().toString(), QStringLiteral("MM-dd-yyyy HH:mm"));
        if (!when.isValid()) continue;
        if (previous.isValid()) {
            EXPECT_LE(previous, when) << "row " << r;
        }
        previous = when;
        ++dated;
    }
    EXPECT_GT(dated, 10);
    QTest::mouseClick(browser_->categoryButton(Category::PhotoAndVideo), Qt::LeftButton);
    clickHeader(2);  // Size, as a number of bytes
    checkOrder(2, true);
    EXPECT_EQ(shownKeys(2).front().typeId(), QMetaType::ULongLong);

    // A tick on a sorted row ticks that row's record.
    QTest::mouseClick(browser_->categoryButton(Category::Contact), Qt::LeftButton);
    clickHeader(1);
    clickHeader(1);
    tick(0, true);
    const QModelIndex source = browser_->proxy()->mapToSource(browser_->proxy()->index(0, 0));
    EXPECT_TRUE(RecordTableModel::isSelected(browser_->model()->records()[static_cast<std::size_t>(source.row())]));
    EXPECT_EQ(selectionText(), QStringLiteral("You select 1 files in the recovery results."));
    tick(0, false);
}

TEST_F(ScannedBrowser, TheFileTreeShowsAPartlyTickedFolderAsSuch) {
    QTest::mouseClick(browser_->categoryButton(Category::BackupTree), Qt::LeftButton);
    BackupTreeModel* tree = browser_->fileTreeModel();
    ASSERT_EQ(tree->rowCount(), 1);  // the device's folder
    const QModelIndex device = tree->index(0, 0);
    // A folder that holds a file and something else beside it.
    QModelIndex folder, file;
    std::vector<QModelIndex> pending{device};
    while (!pending.empty() && !file.isValid()) {
        const QModelIndex f = pending.back();
        pending.pop_back();
        for (int r = 0; r < tree->rowCount(f); ++r) {
            const QModelIndex child = tree->index(r, 0, f);
            if (tree->folderAt(child)) pending.push_back(child);
            else if (tree->fileAt(child) && tree->rowCount(f) >= 2 && f != device) {
                folder = f;
                file = child;
            }
        }
    }
    ASSERT_TRUE(file.isValid());
    const auto state = [&](const QModelIndex& i) { return i.data(Qt::CheckStateRole).toInt(); };
    tree->setData(file, Qt::Checked, Qt::CheckStateRole);
    EXPECT_EQ(state(file), Qt::Checked);
    EXPECT_EQ(state(folder), Qt::PartiallyChecked);
    EXPECT_EQ(state(device), Qt::PartiallyChecked);
    EXPECT_EQ(selectionText(), QStringLiteral("You select 1 files in the recovery results."));
    EXPECT_TRUE(browser_->recoverButton()->isEnabled());
    tree->setData(folder, Qt::Checked, Qt::CheckStateRole);  // a partly ticked folder becomes ticked
    EXPECT_EQ(state(folder), Qt::Checked);
    for (int r = 0; r < tree->rowCount(folder); ++r) EXPECT_EQ(state(tree->index(r, 0, folder)), Qt::Checked);
    tree->setData(folder, Qt::Unchecked, Qt::CheckStateRole);
    EXPECT_EQ(state(folder), Qt::Unchecked);
    EXPECT_EQ(state(device), Qt::Unchecked);
    EXPECT_EQ(selectionText(), QString());
}

TEST_F(ScannedBrowser, SearchNarrowsTheListAndAnEmptySearchRestoresIt) {
    QTest::mouseClick(browser_->categoryButton(Category::Contact), Qt::LeftButton);
    const int all = browser_->table()->model()->rowCount();
    QString name;
    for (const AnyRecord& r : browser_->model()->records())
        if (const auto& c = std::get<ContactPtr>(r); c && c->contactName && c->contactName->size() > 4) {
            name = QString::fromStdString(*c->contactName);
            break;
        }
    ASSERT_FALSE(name.isEmpty());
    const QString needle = name.left(4).toUpper();  // the search ignores case
    QTest::keyClicks(browser_->searchField(), needle);
    const QAbstractItemModel* m = browser_->table()->model();
    const auto everyRowMatches = [&] {
        for (int r = 0; r < m->rowCount(); ++r) {
            bool hit = false;
            for (int c = 1; c < m->columnCount(); ++c)
                hit = hit || m->index(r, c).data().toString().contains(needle, Qt::CaseInsensitive);
            if (!hit) return false;
        }
        return true;
    };
    // Each keystroke starts a search; the last one's result is the one that stays.
    EXPECT_TRUE(QTest::qWaitFor([&] { return m->rowCount() > 0 && m->rowCount() < all && everyRowMatches(); }, 10000));
    browser_->searchField()->clear();
    ASSERT_TRUE(QTest::qWaitFor([&] { return browser_->table()->model()->rowCount() == all; }, 10000));
}

TEST_F(ScannedBrowser, AConversationShowsOneBubblePerMessageOnItsSide) {
    QTest::mouseClick(browser_->categoryButton(Category::Message), Qt::LeftButton);
    ASSERT_GT(browser_->table()->model()->rowCount(), 0);
    const int rows = browser_->table()->model()->rowCount();
    bool sawSent = false, sawReceived = false;
    for (int row = 0; row < rows; ++row) {
        browser_->openConversation(row);
        QApplication::processEvents();
        const ConversationView* view = browser_->conversationView();
        const auto* conversation =
            std::get<ConversationPtr>(browser_->model()->records()[static_cast<std::size_t>(
                                                                        browser_->proxy()->mapToSource(browser_->proxy()->index(row, 0)).row())])
                .get();
        ASSERT_EQ(view->bubbles().size(), conversation->MessageNodeArray.size());
        for (std::size_t i = 0; i < view->bubbles().size(); ++i) {
            const auto& b = view->bubbles()[i];
            EXPECT_EQ(b.sent, ConversationView::isSent(*conversation->MessageNodeArray[i]));
            if (b.sent) {
                EXPECT_GT(b.rect.center().x(), view->width() / 2);
            } else {
                EXPECT_LT(b.rect.center().x(), view->width() / 2);
            }
            (b.sent ? sawSent : sawReceived) = true;
        }
    }
    EXPECT_TRUE(sawSent && sawReceived);

    // "Export picture" writes the whole view (every bubble), at the view's size.
    TempDir out;
    const QString file = QString::fromStdString(out / "conversation.png");
    ASSERT_TRUE(browser_->exportConversationPicture(file));
    const QImage picture(file);
    EXPECT_EQ(picture.size(), browser_->conversationView()->size());
    EXPECT_GE(picture.height(), browser_->conversationView()->bubbles().back().rect.bottom());
}

TEST_F(ScannedBrowser, RecoveryFromTheWindowWritesWhatTheCommandWrites) {
    QTest::mouseClick(browser_->categoryButton(Category::Contact), Qt::LeftButton);
    QTest::mouseClick(browser_->selectAllBox(), Qt::LeftButton);
    QTest::mouseClick(browser_->categoryButton(Category::CallHistory), Qt::LeftButton);
    QTest::mouseClick(browser_->selectAllBox(), Qt::LeftButton);
    browser_->openDestinationAfterRecovery = false;
    TempDir out;
    const RecoveryReport report = browser_->recoverInto(QString::fromStdString(out / "window"));
    EXPECT_TRUE(report.succeeded());
    EXPECT_FALSE(report.folders.empty());
    const auto cli = test::runSalvor({"recover", backup_, "--category", "contacts", "--category", "calls", "--to",
                                      out / "command"});
    ASSERT_EQ(cli.exitCode, 0) << cli.err;
    const auto window = test::fingerprint(out / "window");
    const auto command = test::fingerprint(out / "command");
    ASSERT_EQ(window.size(), command.size());
    for (const auto& [path, print] : command) {
        ASSERT_TRUE(window.count(path)) << path;
        EXPECT_EQ(window.at(path).sha1, print.sha1) << path;
    }
}

TEST_F(ScannedBrowser, APhotoThumbnailsBoxTicksItsRecordWithTheMouseAndTheSpaceKey) {
    QTest::mouseClick(browser_->categoryButton(Category::PhotoAndVideo), Qt::LeftButton);
    PhotoGrid* grid = browser_->photoGrid();
    ASSERT_TRUE(grid->isVisible());
    ASSERT_FALSE(browser_->table()->isVisible());
    ASSERT_GT(grid->model()->rowCount(), 1);
    const QModelIndex first = grid->model()->index(0, 0);
    const auto record = [&](const QModelIndex& i) {
        return browser_->model()->records()[static_cast<std::size_t>(browser_->proxy()->mapToSource(i).row())];
    };
    // A click beside the box only makes the item current; a click on it ticks the record.
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->visualRect(first).center());
    EXPECT_EQ(selectionText(), QString());
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->checkBoxRect(first).center());
    EXPECT_TRUE(RecordTableModel::isSelected(record(first)));
    EXPECT_EQ(selectionText(), QStringLiteral("You select 1 files in the recovery results."));
    EXPECT_TRUE(browser_->recoverButton()->isEnabled());
    grid->setFocus();
    grid->setCurrentIndex(grid->model()->index(1, 0));
    QTest::keyClick(grid, Qt::Key_Space);
    EXPECT_EQ(selectionText(), QStringLiteral("You select 2 files in the recovery results."));
    QTest::keyClick(grid, Qt::Key_Space);
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->checkBoxRect(first).center());
    EXPECT_FALSE(RecordTableModel::isSelected(record(first)));
    EXPECT_EQ(selectionText(), QString());
}

TEST_F(ScannedBrowser, PictureAttachmentsShowAsThumbnailsAndMissingOnesAreMarked) {
    QTest::mouseClick(browser_->categoryButton(Category::Message), Qt::LeftButton);
    ConversationView* view = browser_->conversationView();
    bool sawPicture = false, sawMissing = false, sawCard = false;
    for (int row = 0; row < browser_->table()->model()->rowCount(); ++row) {
        browser_->openConversation(row);
        for (std::size_t i = 0; i < view->bubbles().size(); ++i) {
            const ConversationView::Bubble& b = view->bubbles()[i];
            if (b.attachment != ConversationView::Attachment::None) {
                EXPECT_TRUE(b.rect.contains(b.attachmentRect)) << "row " << row << " bubble " << i;
            }
            if (b.attachment == ConversationView::Attachment::Picture) {
                // Decoded on a worker thread; the bubble paints it once it has come.
                EXPECT_TRUE(QTest::qWaitFor([&] { return !view->picture(i).isNull(); }, 10000));
                sawPicture = true;
            } else if (b.attachment == ConversationView::Attachment::Missing) {
                EXPECT_EQ(view->chipText(i), QStringLiteral("Attachment not in the backup"));
                sawMissing = true;
            } else if (view->chipText(i).startsWith(QStringLiteral("Contact.vcf"))) {
                EXPECT_EQ(view->chipText(i), QStringLiteral("Contact.vcf · Contact card"));
                sawCard = true;
            }
        }
    }
    EXPECT_TRUE(sawPicture);
    EXPECT_TRUE(sawMissing);
    EXPECT_TRUE(sawCard) << "a card is named as the device named it, not by its stored name";
}

TEST_F(ScannedBrowser, TheCalendarNamesThePlaceNotItsRowNumber) {
    QTest::mouseClick(browser_->categoryButton(Category::Calendar), Qt::LeftButton);
    const QAbstractItemModel* m = browser_->table()->model();
    ASSERT_GT(m->rowCount(), 0);
    int named = 0;
    for (int r = 0; r < m->rowCount(); ++r) {
        const QString place = m->index(r, 2).data().toString();
        bool number = false;
        place.toLongLong(&number);
        EXPECT_FALSE(number) << "row " << r << " shows " << place.toStdString();
        if (!place.isEmpty()) ++named;
    }
    EXPECT_GT(named, 0);
}

TEST_F(ScannedBrowser, CtrlFGoesToTheSearchAndSpaceTicksTheCurrentRow) {
    QTest::mouseClick(browser_->categoryButton(Category::Contact), Qt::LeftButton);
    QTableView* table = browser_->table();
    // A summary left open by an earlier test would hold the keyboard.
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(w)) box->close();
    browser_->activateWindow();  // shortcuts and focus belong to the active window
    ASSERT_TRUE(QTest::qWaitForWindowActive(browser_));
    table->setFocus();
    // The current cell is a text column, not the box: Space still ticks the row.
    table->setCurrentIndex(table->model()->index(1, 2));
    QTest::keyClick(table, Qt::Key_Space);
    EXPECT_EQ(selectionText(), QStringLiteral("You select 1 files in the recovery results."));
    QTest::keyClick(table, Qt::Key_Space);
    EXPECT_EQ(selectionText(), QString());
    QTest::keyClick(table, Qt::Key_F, Qt::ControlModifier);
    EXPECT_TRUE(browser_->searchField()->hasFocus());
}

TEST(GuiThumbnails, PicturesAreScaledIntoTheBoxAndUnreadableFilesGiveNone) {
    TempDir dir;
    // Stored files carry no extension: the content names the format.
    QImage wide(1000, 500, QImage::Format_RGB32);
    wide.fill(Qt::darkGreen);
    const QString picture = QString::fromStdString(dir / "3d0f2a");
    ASSERT_TRUE(wide.save(picture, "PNG"));
    const QImage thumb = ThumbnailCache::decode(picture, QSize(128, 128));
    EXPECT_EQ(thumb.size(), QSize(128, 64));
    const QString noise = QString::fromStdString(dir / "9c1e77");
    QFile f(noise);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(4096, '\x5a'));
    f.close();
    EXPECT_TRUE(ThumbnailCache::decode(noise, QSize(128, 128)).isNull());
    EXPECT_TRUE(ThumbnailCache::decode(QString::fromStdString(dir / "absent"), QSize(128, 128)).isNull());

    // Through the cache: nothing at first, the picture once a worker has decoded it.
    ThumbnailCache cache(QSize(64, 64));
    EXPECT_TRUE(cache.thumbnail(picture).isNull());
    EXPECT_TRUE(QTest::qWaitFor([&] { return cache.state(picture) == ThumbnailCache::State::Ready; }, 10000));
    EXPECT_EQ(cache.thumbnail(picture).width(), 64);
    cache.thumbnail(noise);
    EXPECT_TRUE(QTest::qWaitFor([&] { return cache.state(noise) == ThumbnailCache::State::Failed; }, 10000));
}

// A HEIC picture, as the camera stores it since iOS 11: `width` by `height`,
// its left half red and its right half blue, encoded with libheif's HEVC
// encoder; false when this machine's libheif cannot encode.
bool writeHeic(const std::string& path, int width, int height) {
    heif_context* context = heif_context_alloc();
    heif_encoder* encoder = nullptr;
    heif_image* image = nullptr;
    bool ok = heif_context_get_encoder_for_format(context, heif_compression_HEVC, &encoder).code == heif_error_Ok &&
              heif_image_create(width, height, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &image).code ==
                  heif_error_Ok &&
              heif_image_add_plane(image, heif_channel_interleaved, width, height, 8).code == heif_error_Ok;
    if (ok) {
        int stride = 0;
        uint8_t* pixels = heif_image_get_plane(image, heif_channel_interleaved, &stride);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                uint8_t* p = pixels + y * stride + x * 3;
                const bool left = x < width / 2;
                p[0] = left ? 220 : 20, p[1] = 20, p[2] = left ? 20 : 220;
            }
        heif_encoder_set_lossy_quality(encoder, 90);
        ok = heif_context_encode_image(context, image, encoder, nullptr, nullptr).code == heif_error_Ok &&
             heif_context_write_to_file(context, path.c_str()).code == heif_error_Ok;
    }
    if (image) heif_image_release(image);
    if (encoder) heif_encoder_release(encoder);
    heif_context_free(context);
    return ok;
}

TEST(GuiThumbnails, HeicPicturesAreDecodedIntoTheBox) {
    TempDir dir;
    const std::string stored = dir / "5b2e90";  // no extension, as stored
    ASSERT_TRUE(writeHeic(stored, 640, 320));
    const QString path = QString::fromStdString(stored);
    const QImage thumb = ThumbnailCache::decode(path, QSize(128, 128));
    ASSERT_EQ(thumb.size(), QSize(128, 64));
    const QColor left = thumb.pixelColor(16, 32), right = thumb.pixelColor(112, 32);
    EXPECT_GT(left.red(), 150);
    EXPECT_LT(left.blue(), 90);
    EXPECT_GT(right.blue(), 150);
    EXPECT_LT(right.red(), 90);
    // A picture smaller than the box keeps its size.
    const std::string small = dir / "71c0d4";
    ASSERT_TRUE(writeHeic(small, 64, 48));
    EXPECT_EQ(ThumbnailCache::decode(QString::fromStdString(small), QSize(128, 128)).size(), QSize(64, 48));
    // A HEIF file type box over nothing decodable gives no picture.
    const QString broken = QString::fromStdString(dir / "0aa1f3");
    QFile f(broken);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QByteArray("\0\0\0\x18" "ftypheic\0\0\0\0mif1heic", 24) + QByteArray(2000, '\x11'));
    f.close();
    EXPECT_TRUE(ThumbnailCache::decode(broken, QSize(128, 128)).isNull());

    // On the cache's worker threads, as the photo grid asks for it.
    ThumbnailCache cache(QSize(64, 64));
    EXPECT_TRUE(cache.thumbnail(path).isNull());
    EXPECT_TRUE(QTest::qWaitFor([&] { return cache.state(path) == ThumbnailCache::State::Ready; }, 20000));
    EXPECT_EQ(cache.thumbnail(path).width(), 64);
}

// The note pane names the note's folder and account when the note has them,
// and a Live Photo's film with its picture.
TEST(GuiRecordDetail, NotesShowTheirFolderAndAccountAndLivePhotosTheirFilm) {
    QTextDocument document;
    auto note = std::make_shared<MVNoteNode>();
    note->noteTitle = std::string("Groceries");
    note->noteContent = std::string("Milk");
    note->noteFolder = std::string("Work & <home>");
    note->noteAccount = std::string("iCloud");
    QTextDocument shown;
    shown.setHtml(recordDetailHtml(AnyRecord(note), &document));
    EXPECT_TRUE(shown.toPlainText().contains(QStringLiteral("Folder")));
    EXPECT_TRUE(shown.toPlainText().contains(QStringLiteral("Work & <home>")));
    EXPECT_TRUE(shown.toPlainText().contains(QStringLiteral("Account")));
    EXPECT_TRUE(shown.toPlainText().contains(QStringLiteral("iCloud")));
    // Without them (older backups) neither row is shown.
    note->noteFolder.reset();
    note->noteAccount = std::string();
    shown.setHtml(recordDetailHtml(AnyRecord(note), &document));
    EXPECT_FALSE(shown.toPlainText().contains(QStringLiteral("Folder")));
    EXPECT_FALSE(shown.toPlainText().contains(QStringLiteral("Account")));
    EXPECT_TRUE(shown.toPlainText().contains(QStringLiteral("Milk")));

    auto photo = std::make_shared<MVPhotoAndVideoNode>();
    photo->fileNodeName = std::string("IMG_0001.HEIC");
    auto film = std::make_shared<MVPhotoAndVideoNode>();
    film->filePath = std::string("/backup/ab/abfilm");
    photo->livePhotoVideo = film;
    shown.setHtml(recordDetailHtml(AnyRecord(photo), &document));
    EXPECT_TRUE(shown.toPlainText().contains(QStringLiteral("/backup/ab/abfilm")));
}

// A carved record names where it was found in plain words; a live record
// lists its earlier versions with their own fields, and says nothing of free space.
TEST(GuiRecordDetail, CarvedRecordsSayWhereTheyWereFoundAndLiveOnesTheirEarlierVersions) {
    QTextDocument document, shown;
    auto carved = std::make_shared<MVCallHistoryNode>();
    carved->callPhone = std::string("5550100");
    carved->bDeleted = 1;
    carved->carvedFrom = std::string("freeblock");
    carved->carvedPage = 12;
    shown.setHtml(recordDetailHtml(AnyRecord(carved), &document));
    EXPECT_TRUE(shown.toPlainText().contains(QStringLiteral("Found in: free block of page 12"))) << shown.toPlainText().toStdString();
    carved->carvedFrom = std::string("freelist");
    shown.setHtml(recordDetailHtml(AnyRecord(carved), &document));
    EXPECT_TRUE(shown.toPlainText().contains(QStringLiteral("Found in: free page 12")));

    auto live = std::make_shared<MVCallHistoryNode>();
    live->callPhone = std::string("5550100");
    live->callTime = 7200 * 3;  // "6 hours"
    auto older = std::make_shared<MVCallHistoryNode>(*carved);
    older->callTime = 41;  // "41 seconds"
    live->earlierVersions.push_back(older);
    shown.setHtml(recordDetailHtml(AnyRecord(live), &document));
    const QString text = shown.toPlainText();
    EXPECT_FALSE(text.contains(QStringLiteral("Found in")));
    ASSERT_TRUE(text.contains(QStringLiteral("Earlier versions")));
    EXPECT_LT(text.indexOf(QStringLiteral("6 hours")), text.indexOf(QStringLiteral("Earlier versions")));
    EXPECT_GT(text.indexOf(QStringLiteral("41 seconds")), text.indexOf(QStringLiteral("Earlier versions")));
}

TEST(GuiBackupChooser, ChoosingAnotherBackupScansItAndTheDevicePanelFollows) {
    TempDir dir;
    const auto first = test::forgeOne(dir, "ios6", 4);
    const auto second = test::forgeOne(dir, "ios5", 5);
    MainWindow window(QString::fromStdString(dir / "store"));
    window.askBeforeClosing = false;
    window.show();
    ResultBrowser* browser = window.browser();
    QComboBox* chooser = browser->backupChooser();
    ASSERT_EQ(chooser->count(), 2);
    EXPECT_EQ(browser->devicePanel()->text(), QStringLiteral("<b>No Device</b>"));

    const auto scanToEnd = [&](const std::string& folder) {
        if (!browser->scanning()) window.scanBackup(QString::fromStdString(folder));
        EXPECT_FALSE(chooser->isEnabled()) << "one scan at a time";
        EXPECT_TRUE(QTest::qWaitFor([&] { return !browser->scanning(); }, 120000));
        EXPECT_TRUE(chooser->isEnabled());
        EXPECT_EQ(browser->backupFolder().toStdString(), folder);
        return countCategories(*browser->store());
    };
    const auto before = scanToEnd(first.path);
    EXPECT_TRUE(browser->devicePanel()->text().contains(QStringLiteral("iOS: 6")));
    const int other = chooser->findData(QString::fromStdString(second.path));
    ASSERT_GE(other, 0);
    emit chooser->activated(other);
    ASSERT_TRUE(browser->scanning());
    const auto after = scanToEnd(second.path);
    EXPECT_TRUE(browser->devicePanel()->text().contains(QStringLiteral("iOS: 5")));
    EXPECT_EQ(chooser->currentIndex(), other);
    // The counts are the second backup's, not the first one's nor their sum.
    ASSERT_EQ(before.size(), after.size());
    bool differs = false;
    for (std::size_t i = 0; i < after.size(); ++i) differs = differs || before[i].live != after[i].live;
    EXPECT_TRUE(differs);
    const auto contacts = std::find_if(after.begin(), after.end(), [](const CategoryCount& c) { return c.name == "Contacts"; });
    ASSERT_NE(contacts, after.end());
    EXPECT_EQ(browser->shownCount(Category::Contact).first, contacts->live);
}

// "Recover from device" on a simulated device: the device's backup and its
// camera files reach the window like any scan, and the backup is kept in the
// private folder, never beside the device's description.
TEST(DeviceRecovery, TheDevicesBackupAndCameraFilesAreScanned) {
    TempDir sim, home;
    forge::ForgeOptions options;
    options.seed = 5;
    options.scenario = "device";
    const auto forged = forge::forgeDeviceFolder(sim.path(), options).front();
    qputenv("SALVOR_SIMULATED_DEVICE", QByteArray::fromStdString(sim.path()));
    qputenv("XDG_CACHE_HOME", QByteArray::fromStdString(home / "cache"));
    ResultBrowser browser;
    browser.resize(1020, 660);
    browser.show();
    browser.startDeviceScan(QString());
    QElapsedTimer clock;
    clock.start();
    while (browser.scanning() && clock.elapsed() < 120000) QTest::qWait(20);
    ASSERT_FALSE(browser.scanning());
    ASSERT_NE(browser.store(), nullptr);
    const auto truth = nlohmann::json::parse(test::readFile(forged.truthPath));
    std::size_t camera = 0;
    for (const auto& c : truth["camera"]) camera += c["kind"] != "other";
    ASSERT_GT(camera, 0u);
    // Camera files come on top of the backup's own photos; the page reads the device's backup.
    std::map<std::string, long> live;
    for (const CategoryCount& c : countCategories(*browser.store())) live[c.name] = c.live;
    EXPECT_GT(live["Photos & videos"], static_cast<long>(camera)) << live.size();
    EXPECT_GT(live["Contacts"], 0);
    const std::string udid = truth["udid"];
    const std::string kept = home / ("cache/salvor/device/" + udid + "/Backup/" + udid);
    EXPECT_TRUE(std::filesystem::exists(kept + "/Info.plist"));
    EXPECT_EQ(browser.backupFolder().toStdString(), kept);
    qunsetenv("SALVOR_SIMULATED_DEVICE");
}

// A backup of iOS 10 or later reads into the same window: every category's
// count is its truth's, notes the phone keeps as recently deleted are shown as
// deleted, and the device panel names the format.
TEST(GuiModernBackup, EveryCategoryCountsItsTruth) {
    TempDir dir;
    const auto backup = test::forgeOne(dir, "ios17-modern", 4);
    const auto truth = nlohmann::json::parse(test::readFile(backup.truthPath));
    ResultBrowser browser;
    browser.resize(1020, 660);
    browser.show();
    browser.startScan(QString::fromStdString(backup.path));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !browser.scanning(); }, 120000));
    std::map<std::string, std::pair<long, long>> counts;
    for (const CategoryCount& c : countCategories(*browser.store())) counts[c.name] = {c.live, c.deleted};
    for (const auto& [name, key] : std::map<std::string, std::string>{
             {"Contacts", "contacts"}, {"Notes", "notes"}, {"Bookmarks", "bookmarks"}, {"Calendar", "calendar"},
             {"Call history", "calls"}}) {
        EXPECT_EQ(counts[name].first, static_cast<long>(truth[key]["live"].size())) << name;
        // The phone's recently deleted records, and the carved ones (judged by the carving's evaluation).
        EXPECT_GE(counts[name].second, static_cast<long>(truth[key]["recentlyDeleted"].size())) << name;
    }
    EXPECT_GT(counts["Notes"].second, 0);
    EXPECT_TRUE(browser.devicePanel()->text().contains(QStringLiteral("Manifest.db")));
}

// A message of 48 MiB shows its beginning in its bubble with a "Show all"
// link, which opens the whole text in a window of its own; recovery from the
// window writes the whole text.
TEST(GuiLongMessage, ALongTextShowsCutWithShowAllAndIsRecoveredWhole) {
    TempDir dir;
    forge::ForgeOptions options;
    options.seed = 5;
    options.scenario = "hostile-modern-load";
    options.loadCase = "message";
    std::string backup;
    for (const auto& b : forge::forgeStore(dir / "store", options))
        if (test::readJson(b.truthPath)["load"]["case"] == "message") backup = b.path;
    ASSERT_FALSE(backup.empty());
    const std::string text = forge::longMessageText();

    ResultBrowser browser;
    browser.resize(1020, 660);
    browser.show();
    browser.startScan(QString::fromStdString(backup));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !browser.scanning(); }, 120000));
    QTest::mouseClick(browser.categoryButton(Category::Message), Qt::LeftButton);
    ConversationView* view = browser.conversationView();
    const QString beginning = QString::fromStdString(text.substr(0, 100));
    std::optional<std::size_t> cut;
    for (int row = 0; row < browser.table()->model()->rowCount() && !cut; ++row) {
        browser.openConversation(row);
        QApplication::processEvents();
        for (std::size_t i = 0; i < view->bubbles().size(); ++i) {
            // Every cut text has its link, and only those.
            EXPECT_EQ(view->isCut(i), !view->bubbles()[i].showAllRect.isEmpty());
            if (view->shownText(i).startsWith(beginning)) cut = i;
        }
    }
    ASSERT_TRUE(cut);
    EXPECT_TRUE(view->isCut(*cut));
    const ConversationView::Bubble& bubble = view->bubbles()[*cut];
    EXPECT_TRUE(bubble.rect.contains(bubble.showAllRect));
    const QString shown = view->shownText(*cut);
    EXPECT_EQ(shown.size(), ConversationView::kShownChars + 1);
    EXPECT_TRUE(shown.endsWith(QChar(0x2026)));

    QTest::mouseClick(view, Qt::LeftButton, {}, bubble.showAllRect.center());
    const auto windows = view->findChildren<QPlainTextEdit*>();
    ASSERT_EQ(windows.size(), 1);
    QString whole = windows[0]->toPlainText();
    whole.remove(QLatin1Char('\n'));  // long lines are shown broken
    EXPECT_EQ(whole.size(), static_cast<qsizetype>(text.size()));
    EXPECT_TRUE(whole.endsWith(QStringLiteral("LONG-MESSAGE-END")));

    browser.selectAllBox()->setChecked(true);
    browser.openDestinationAfterRecovery = false;
    TempDir out;
    EXPECT_TRUE(browser.recoverInto(QString::fromStdString(out / "window")).succeeded());
    std::size_t holding = 0;  // conversation pages are written in UTF-16
    for (const std::string& path : test::filesBelow(out / "window"))
        if (path.ends_with(".html") && test::fromUtf16(test::readFile(path)).find(text) != std::string::npos) ++holding;
    EXPECT_EQ(holding, 1u);
}

TEST(GuiEncryptedBackup, AWrongPasswordIsAskedAgainThenTheBackupReadsAsItsTwin) {
    TempDir dir;
    forge::ForgeOptions options;
    options.seed = 4;
    options.scenario = "ios17-modern";
    const auto plain = forge::forgeStore(dir / "plain", options).at(0);
    options.encryption = forge::EncryptionOptions{};
    options.encryption->password = "pässwörd";
    options.encryption->kdfIterations = 1000;
    const auto crypt = forge::forgeStore(dir / "crypt", options).at(0);
    qunsetenv("SALVOR_BACKUP_PASSWORD");

    // The dialog is answered as a person would: first a wrong password, then the right one.
    QStringList prompts;
    const QStringList answers{QStringLiteral("wrong"), QStringLiteral("pässwörd")};
    QTimer answerer;
    QObject::connect(&answerer, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
        if (!dialog || dialog->objectName() != QStringLiteral("backupPasswordDialog")) return;
        prompts << dialog->labelText();
        EXPECT_EQ(dialog->textEchoMode(), QLineEdit::Password);
        dialog->setTextValue(answers.value(prompts.size() - 1));
        dialog->accept();
    });
    answerer.start(20);

    ResultBrowser browser;
    browser.resize(1020, 660);
    browser.show();
    browser.startScan(QString::fromStdString(crypt.path));
    ASSERT_TRUE(QTest::qWaitFor([&] { return prompts.size() == 2 && !browser.scanning(); }, 120000));
    ASSERT_EQ(prompts.size(), 2);
    EXPECT_FALSE(prompts[0].contains(QStringLiteral("Wrong password")));
    EXPECT_TRUE(prompts[1].contains(QStringLiteral("Wrong password, try again")));
    const auto encrypted = countCategories(*browser.store());

    // A rescan of the same backup uses the key kept by the window: no third prompt.
    browser.startScan(QString::fromStdString(crypt.path));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !browser.scanning(); }, 120000));
    EXPECT_EQ(prompts.size(), 2);

    ResultBrowser twin;
    twin.startScan(QString::fromStdString(plain.path));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !twin.scanning(); }, 120000));
    const auto expected = countCategories(*twin.store());
    ASSERT_EQ(encrypted.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(encrypted[i].live, expected[i].live) << expected[i].name;
        EXPECT_EQ(encrypted[i].deleted, expected[i].deleted) << expected[i].name;
    }
    EXPECT_GT(expected[0].live, 0);
}

TEST(GuiThumbnails, EncryptedPicturesAreDecryptedInMemoryAndLinksAreNeverFollowed) {
    TempDir dir;
    QImage picture(40, 30, QImage::Format_RGB32);
    picture.fill(QColor(200, 30, 60));
    QByteArray png;
    {
        QBuffer out(&png);
        out.open(QIODevice::WriteOnly);
        picture.save(&out, "PNG");
    }
    // A class key, a file key wrapped with it, and the picture encrypted as a backup stores it.
    std::vector<std::uint8_t> classKey(32, 0x11), fileKey(32, 0x22);
    std::map<std::uint32_t, crypto::SecretBytes> keys;
    keys[3] = crypto::SecretBytes(classKey);
    auto cipher = std::make_shared<BackupCipher>(std::move(keys));
    std::string field{3, 0, 0, 0};
    const auto wrapped = crypto::aesWrap(classKey, fileKey);
    field.append(wrapped->begin(), wrapped->end());
    const std::string name = "0123456789abcdef0123456789abcdef01234567";
    cipher->addFile(name, field, static_cast<std::uint64_t>(png.size()));
    const auto sealed = crypto::encryptCbc(fileKey, std::span(reinterpret_cast<const std::uint8_t*>(png.constData()),
                                                              static_cast<std::size_t>(png.size())));
    test::writeFile(dir / name, std::string(sealed.begin(), sealed.end()));

    const QString path = QString::fromStdString(dir / name);
    EXPECT_TRUE(ThumbnailCache::decode(path, QSize(128, 128)).isNull());  // ciphertext is no picture
    const QImage thumb = ThumbnailCache::decode(path, QSize(128, 128), cipher.get());
    ASSERT_FALSE(thumb.isNull());
    EXPECT_EQ(thumb.size(), QSize(40, 30));
    EXPECT_EQ(thumb.pixelColor(5, 5), QColor(200, 30, 60));
    // A picture in a folder planted as a link, or itself a link, is never read.
    const std::string stored = "ab" + name.substr(2);
    std::filesystem::create_directories(dir / "outside");
    picture.save(QString::fromStdString(dir / ("outside/" + stored)), "PNG");
    std::filesystem::create_directories(dir / "backup");
    std::filesystem::create_directory_symlink(dir / "outside", dir / "backup/ab");
    EXPECT_FALSE(ThumbnailCache::decode(QString::fromStdString(dir / ("outside/" + stored)), QSize(64, 64)).isNull());
    EXPECT_TRUE(ThumbnailCache::decode(QString::fromStdString(dir / ("backup/ab/" + stored)), QSize(64, 64)).isNull());
    std::filesystem::create_symlink(dir / ("outside/" + stored), dir / "backup/linked.png");
    EXPECT_TRUE(ThumbnailCache::decode(QString::fromStdString(dir / "backup/linked.png"), QSize(64, 64)).isNull());

    // Through the cache, as the grid asks for it.
    ThumbnailCache cache;
    cache.setCipher(cipher);
    cache.thumbnail(path);
    ASSERT_TRUE(QTest::qWaitFor([&] { return cache.state(path) != ThumbnailCache::State::Pending; }, 10000));
    EXPECT_EQ(cache.state(path), ThumbnailCache::State::Ready);
}

TEST(GuiCommandLine, ScreenshotWritesAPngOfTheWindowForEveryPage) {
    TempDir dir;
    const auto backup = test::forgeOne(dir, "ios6", 3);
    for (const char* page : {"start", "contacts", "messages", "calls", "notes", "bookmarks", "calendar", "photos",
                             "social", "files"}) {
        const QString file = QString::fromStdString(dir / (std::string(page) + ".png"));
        QProcess app;
        app.start(QStringLiteral(SALVOR_GUI_PATH),
                  {QString::fromStdString(backup.path), QStringLiteral("--show"), QString::fromLatin1(page),
                   QStringLiteral("--screenshot"), file});
        ASSERT_TRUE(app.waitForFinished(120000)) << page;
        EXPECT_EQ(app.exitCode(), 0) << page << app.readAllStandardError().toStdString();
        const QImage image(file);
        EXPECT_EQ(image.size(), QSize(1020, 660)) << page;
    }
    QProcess bad;
    bad.start(QStringLiteral(SALVOR_GUI_PATH), {QStringLiteral("--show"), QStringLiteral("nothing")});
    ASSERT_TRUE(bad.waitForFinished(60000));
    EXPECT_EQ(bad.exitCode(), 2);
}

}  // namespace
}  // namespace salvor::gui

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
