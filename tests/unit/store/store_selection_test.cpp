// Selection counts, the deleted-only filter and the three-state backup tree.
#include <gtest/gtest.h>

#include "core/events.h"
#include "store_fixture.h"

namespace salvor {
namespace {

using StoreSelection = StoreFixture;

TEST_F(StoreSelection, SelectAllCountsOnlyChangedRecords) {
    for (int i = 0; i < 4; ++i) nc.post(events::ScanContactInfo, std::any(contact("c" + std::to_string(i), " 1")));
    nc.post(events::ScanDelContactInfo, std::any(contact("gone", " 2")));
    store.actContact();
    ASSERT_EQ(store.displayedList.size(), 5u);

    // Two rows highlighted, one of them twice, one out of range.
    store.setRowsSelected({0, 2, 2, 99}, true);
    EXPECT_EQ(store.selectedFilesNum, 2);
    EXPECT_EQ(store.selectionText, "You select 2 files in the recovery results.");

    store.ClickSelectAll(true);  // only the three not yet selected count
    EXPECT_EQ(store.selectedFilesNum, 5);
    store.ClickSelectAll(false);
    EXPECT_EQ(store.selectedFilesNum, 0);
    EXPECT_FALSE(store.recoverEnabled);

    // The saved box state comes back with the category.
    store.ClickSelectAll(true);
    store.actNote();
    EXPECT_FALSE(store.selectAllBoxState);
    store.actContact();
    EXPECT_TRUE(store.selectAllBoxState);
    store.setRowsSelected({1}, false);
    EXPECT_EQ(store.selectedFilesNum, 4);

    // Thumbnail check boxes count only real changes too.
    auto photo = std::make_shared<MVPhotoAndVideoNode>();
    nc.post(events::RefreshNodeSelctedStatu, std::any(PhotoThumbnailCheck{photo, true}));
    nc.post(events::RefreshNodeSelctedStatu, std::any(PhotoThumbnailCheck{photo, true}));
    EXPECT_EQ(store.selectedFilesNum, 5);
    nc.post(events::RefreshNodeSelctedStatu, std::any(PhotoThumbnailCheck{photo, false}));
    EXPECT_EQ(store.selectedFilesNum, 4);
}

TEST_F(StoreSelection, DeletedOnlyFilterLimitsWhatSelectAllTouches) {
    nc.post(events::ScanContactInfo, std::any(contact("live", " 1")));
    nc.post(events::ScanDelContactInfo, std::any(contact("gone", " 2")));
    nc.post(events::ScanDelContactInfo, std::any(contact("gone too", " 3")));
    store.actContact();
    store.actCheck(true);
    ASSERT_EQ(store.displayedList.size(), 2u);
    store.ClickSelectAll(true);
    EXPECT_EQ(store.selectedFilesNum, 2);
    EXPECT_EQ(store.contactArray[0]->bSelected, 0);
    store.actCheck(false);
    EXPECT_EQ(store.displayedList.size(), 3u);

    // Photos are never deleted records: the filter shows none of them.
    nc.post(events::ScanPhotoAndVideo, std::any(std::make_shared<MVPhotoAndVideoNode>()));
    store.actCheck(true);
    store.actPhoto();
    EXPECT_TRUE(store.displayedList.empty());

    // Messages: only the deleted conversation on show is ticked, then every one.
    nc.post(events::ScanMessageInfo, std::any(message("A", "111", "x", "01-01-2013 10:00")));
    nc.post(events::ScanMessageInfo, std::any(message("B", "222", "y", "01-01-2013 10:00")));
    nc.post(events::ScanDelMessageInfo, std::any(message("", "333", "z", "01-01-2013 10:00")));
    store.actMessage();
    EXPECT_EQ(store.displayedList.size(), 1u);
    store.ClickSelectAll(true);
    EXPECT_EQ(store.selectedFilesNum, 3);
    for (const auto& c : store.messageTreeArray) EXPECT_EQ(c->bSelected, c->bdeleted);
    store.actCheck(false);
    store.ClickSelectAll(true);
    EXPECT_EQ(store.selectedFilesNum, 5);
    for (const auto& c : store.messageTreeArray) EXPECT_EQ(c->bSelected, 1);
}

// root
//  ├─ file r1
//  ├─ A ─ files a1, a2; folder A1 ─ file x
//  └─ B ─ file b1
struct Tree {
    TreeDirPtr root = std::make_shared<MVTreeDirNode>();
    TreeDirPtr a = std::make_shared<MVTreeDirNode>();
    TreeDirPtr a1 = std::make_shared<MVTreeDirNode>();
    TreeDirPtr b = std::make_shared<MVTreeDirNode>();
    TreeFilePtr r1 = file(root), fa1 = file(a), fa2 = file(a), fx = file(a1), fb1 = file(b);

    Tree() {
        link(root, a);
        link(root, b);
        link(a, a1);
    }
    static TreeFilePtr file(const TreeDirPtr& parent) {
        auto f = std::make_shared<MVTreeFileNode>();
        f->parent = parent.get();
        parent->fileChildren.push_back(f);
        return f;
    }
    static void link(const TreeDirPtr& parent, const TreeDirPtr& child) {
        child->parent = parent.get();
        parent->children.push_back(child);
    }
};

TEST_F(StoreSelection, TreeClicksPushDownAndRepairUpward) {
    Tree t;
    store.treeController.content = {t.root};

    store.outlineViewSetObjectValue(*t.a);
    EXPECT_EQ(t.a->nodeIcon, "selected");
    EXPECT_TRUE(t.fx->bSelected);
    EXPECT_TRUE(t.fa2->bSelected);
    EXPECT_EQ(t.root->isSelected, 2);  // B and r1 still unselected
    EXPECT_EQ(t.root->nodeIcon, "selectedSome");
    EXPECT_EQ(store.getTreeSelectedItemNum(), 3);

    // A partly selected folder becomes fully selected when clicked.
    store.outlineViewSetObjectValue(*t.fx, false);
    EXPECT_EQ(t.a1->isSelected, 0);
    EXPECT_EQ(t.a->isSelected, 2);
    store.outlineViewSetObjectValue(*t.a);
    EXPECT_EQ(t.a->isSelected, 1);
    EXPECT_TRUE(t.fx->bSelected);

    // Clicking the root selects everything; B off and on again leaves it partly, then fully selected.
    store.outlineViewSetObjectValue(*t.root);
    EXPECT_EQ(store.getTreeSelectedItemNum(), 5);
    store.outlineViewSetObjectValue(*t.b);
    EXPECT_FALSE(t.fb1->bSelected);
    EXPECT_EQ(t.root->isSelected, 2);
    store.outlineViewSetObjectValue(*t.b);
    EXPECT_EQ(t.root->isSelected, 1);

    // File clicks walk up to the root.
    store.outlineViewSetObjectValue(*t.root);
    store.outlineViewSetObjectValue(*t.fx, true);
    EXPECT_EQ(t.a1->isSelected, 1);  // its only file is selected
    EXPECT_EQ(t.a->isSelected, 2);
    store.outlineViewSetObjectValue(*t.fx, false);
    EXPECT_EQ(t.root->isSelected, 0);
    EXPECT_EQ(store.getTreeSelectedItemNum(), 0);
    EXPECT_FALSE(store.recoverEnabled);

    // The tree and the lists add up in the selection text.
    nc.post(events::ScanContactInfo, std::any(contact("c", " 1")));
    store.actContact();
    store.setRowsSelected({0}, true);
    store.outlineViewSetObjectValue(*t.fb1, true);
    EXPECT_EQ(store.selectionText, "You select 2 files in the recovery results.");
}

}  // namespace
}  // namespace salvor
