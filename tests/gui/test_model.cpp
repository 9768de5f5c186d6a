// The table models follow a scan through the store's announcements alone and
// end equal to the store: the same rows in the same order, under Qt's own
// model checker (which fails on an insert announced wrongly or not at all).
#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QApplication>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <memory>

#include "engine/scan_session.h"
#include "record_model.h"
#include "result_browser.h"
#include "support/support.h"

namespace salvor::gui {
namespace {

class ModelFollowsScan : public ::testing::TestWithParam<const char*> {};

TEST_P(ModelFollowsScan, EveryCategoryModelEndsEqualToTheStore) {
    test::TempDir dir;
    const auto backup = test::forgeOne(dir, GetParam(), 5);
    ScanSession session;
    std::map<Category, std::unique_ptr<RecordTableModel>> models;
    std::vector<std::unique_ptr<QAbstractItemModelTester>> testers;
    std::map<Category, int> inserts;
    for (const CategoryInfo& info : categoryTable()) {
        if (info.id == Category::BackupTree) continue;
        auto model = std::make_unique<RecordTableModel>();
        model->follow(&session.store, info.id);
        QObject::connect(model.get(), &QAbstractItemModel::rowsInserted, [&inserts, c = info.id] { ++inserts[c]; });
        testers.push_back(std::make_unique<QAbstractItemModelTester>(
            model.get(), QAbstractItemModelTester::FailureReportingMode::Fatal));
        models[info.id] = std::move(model);
    }
    ASSERT_FALSE(session.run(backup.path));
    std::size_t rows = 0;
    for (const auto& [category, model] : models) {
        const char* name = categoryInfo(category).cliName;
        EXPECT_EQ(model->records(), session.store.records(category)) << name;
        EXPECT_EQ(static_cast<std::size_t>(model->rowCount()), session.store.recordCount(category)) << name;
        // Followed row by row, never reset into shape at the end.
        EXPECT_EQ(static_cast<std::size_t>(inserts[category]), session.store.recordCount(category)) << name;
        rows += session.store.recordCount(category);
        // Cells come from the category table: a row shows its deleted state.
        for (int r = 0; r < model->rowCount(); ++r) {
            const bool deleted = RecordTableModel::isDeleted(model->records()[static_cast<std::size_t>(r)]);
            const int state = model->columnCount() - 1;
            if (categoryInfo(category).hasDeleted) {
                EXPECT_EQ(model->index(r, state).data().toString() == QStringLiteral("Deleted"), deleted) << name;
            }
        }
    }
    EXPECT_GT(rows, 50u);
    // The counts a summary shows are read from the same lists.
    long listed = 0;
    for (const CategoryCount& c : countCategories(session.store))
        if (c.name == categoryInfo(Category::Contact).countName) listed = c.live + c.deleted;
    EXPECT_EQ(static_cast<std::size_t>(listed), models[Category::Contact]->records().size());

    // Another backup: the models empty with the store.
    session.store.clear();
    for (const auto& [category, model] : models) EXPECT_EQ(model->rowCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Generations, ModelFollowsScan,
                         ::testing::Values("ios4", "ios5", "ios6", "ios7", "ios12-modern", "ios17-modern"));

// One definition per category drives the command line's words, the recovery
// folders and the window's buttons: a category added in one place only shows here.
TEST(CategoryTable, NamesFoldersAndButtonsComeFromOneTable) {
    std::set<std::string> words, folders, titles;
    ResultBrowser window;
    for (const CategoryInfo& info : categoryTable()) {
        EXPECT_TRUE(words.insert(info.cliName).second) << info.cliName;
        EXPECT_EQ(categoryFromCliName(info.cliName), info.id);
        EXPECT_EQ(categoryFromName(QString::fromUtf8(info.cliName)), info.id);
        EXPECT_TRUE(titles.insert(info.title).second) << info.title;
        // The window has a button per category, titled from the table.
        ASSERT_NE(window.categoryButton(info.id), nullptr) << info.cliName;
        EXPECT_TRUE(window.categoryButton(info.id)->text().replace(QStringLiteral("&&"), QStringLiteral("&"))
                        .startsWith(QString::fromUtf8(info.title)))
            << info.title;
        if (*info.folder) {
            EXPECT_TRUE(folders.insert(info.folder).second) << info.folder;
        }
        // The headers a table shows: the check box, the table's columns, the state.
        if (info.id != Category::BackupTree) {
            EXPECT_EQ(RecordTableModel::headers(info.id).size(),
                      static_cast<qsizetype>(info.columns.size() + 1 + (info.hasDeleted ? 1 : 0)));
        }
    }
    EXPECT_EQ(words.size(), 9u);
    EXPECT_FALSE(categoryFromCliName("everything"));

    // Every word is one the command takes, and each category's records go
    // into the folder the table names (the backup's files into the device's).
    test::TempDir dir;
    const auto backup = test::forgeOne(dir, "ios6", 5);
    const std::string to = dir / "out";
    std::vector<std::string> args{"recover", backup.path, "--to", to};
    for (const std::string& word : words) args.insert(args.end(), {"--category", word});
    const test::CommandResult recovered = test::runSalvor(args);
    ASSERT_EQ(recovered.exitCode, 0) << recovered.err;
    ScanSession session;
    ASSERT_FALSE(session.run(backup.path));
    for (const CategoryInfo& info : categoryTable()) {
        if (!*info.folder || session.store.recordCount(info.id) == 0) continue;
        EXPECT_TRUE(std::filesystem::is_directory(to + "/" + info.folder)) << info.folder;
        if (*info.listFile) {
            EXPECT_TRUE(std::filesystem::exists(to + "/" + info.folder + "/" + info.listFile)) << info.listFile;
        }
    }
}

}  // namespace
}  // namespace salvor::gui
