// The selection service: ticks counted from the records' own flags, the
// deleted-only choice and the three-state backup tree.
#include <gtest/gtest.h>

#include "engine/selection.h"
#include "store_fixture.h"

namespace salvor {
namespace {

class StoreSelection : public StoreFixture {
protected:
    Selection selection{store};
    std::vector<std::int32_t> told;
    void SetUp() override { selection.onChanged = [this](std::int32_t n) { told.push_back(n); }; }
};

TEST_F(StoreSelection, CountsComeFromTheRecordsAndOnlyRealChangesAreTold) {
    for (int i = 0; i < 4; ++i) store.contact(contact("c" + std::to_string(i), " 1"));
    store.deletedContact(contact("gone", " 2"));
    const std::vector<AnyRecord> rows = store.records(Category::Contact);
    ASSERT_EQ(rows.size(), 5u);

    selection.setSelected({rows[0], rows[2], rows[2]}, true);
    EXPECT_EQ(selection.selectedCount(), 2);
    selection.setSelected(rows, true);  // only the three not yet selected change
    EXPECT_EQ(selection.selectedCount(), 5);
    selection.setSelected(rows[1], true);  // no change: nobody is told
    EXPECT_EQ(told, (std::vector<std::int32_t>{2, 5}));
    selection.setSelected(rows, false);
    EXPECT_EQ(selection.selectedCount(), 0);
    selection.setSelected(AnyRecord(ContactPtr()), true);  // a null row is no record
    EXPECT_EQ(selection.selectedCount(), 0);

    // A photo counts like any other record.
    auto photo = std::make_shared<MVPhotoAndVideoNode>();
    store.photo(photo);
    selection.setSelected(AnyRecord(photo), true);
    EXPECT_EQ(selection.selectedRecordCount(), 1);
}

TEST_F(StoreSelection, DeletedOnlyLimitsWhatACategoryTickTouches) {
    store.contact(contact("live", " 1"));
    store.deletedContact(contact("gone", " 2"));
    store.deletedContact(contact("gone too", " 3"));
    selection.selectCategory(Category::Contact, true, true);
    EXPECT_EQ(selection.selectedCount(), 2);
    EXPECT_EQ(store.contacts()[0]->bSelected, 0);

    // Messages: a conversation stands for its messages; only the deleted one first.
    store.message(message("A", "111", "x", "01-01-2013 10:00"));
    store.message(message("B", "222", "y", "01-01-2013 10:00"));
    store.deletedMessage(message("", "333", "z", "01-01-2013 10:00"));
    selection.selectCategory(Category::Message, true, true);
    EXPECT_EQ(selection.selectedCount(), 3);
    for (const auto& c : store.conversations()) EXPECT_EQ(c->bSelected, c->bdeleted);
    selection.selectCategory(Category::Message, true);
    EXPECT_EQ(selection.selectedCount(), 5);
    // Photos are never deleted records: a deleted-only tick takes none of them.
    store.photo(std::make_shared<MVPhotoAndVideoNode>());
    selection.selectCategory(Category::PhotoAndVideo, true, true);
    EXPECT_EQ(selection.selectedCount(), 5);
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
    store.tree().content = {t.root};

    selection.toggleFolder(*t.a);
    EXPECT_EQ(t.a->nodeIcon, "selected");
    EXPECT_TRUE(t.fx->bSelected);
    EXPECT_TRUE(t.fa2->bSelected);
    EXPECT_EQ(t.root->isSelected, 2);  // B and r1 still unselected
    EXPECT_EQ(t.root->nodeIcon, "selectedSome");
    EXPECT_EQ(selection.selectedFileCount(), 3);

    // A partly selected folder becomes fully selected when clicked.
    selection.setFileSelected(*t.fx, false);
    EXPECT_EQ(t.a1->isSelected, 0);
    EXPECT_EQ(t.a->isSelected, 2);
    selection.toggleFolder(*t.a);
    EXPECT_EQ(t.a->isSelected, 1);
    EXPECT_TRUE(t.fx->bSelected);

    // Clicking the root selects everything; B off and on again leaves it partly, then fully selected.
    selection.toggleFolder(*t.root);
    EXPECT_EQ(selection.selectedFileCount(), 5);
    selection.toggleFolder(*t.b);
    EXPECT_FALSE(t.fb1->bSelected);
    EXPECT_EQ(t.root->isSelected, 2);
    selection.toggleFolder(*t.b);
    EXPECT_EQ(t.root->isSelected, 1);

    // File clicks walk up to the root.
    selection.toggleFolder(*t.root);
    selection.setFileSelected(*t.fx, true);
    EXPECT_EQ(t.a1->isSelected, 1);  // its only file is selected
    EXPECT_EQ(t.a->isSelected, 2);
    selection.setFileSelected(*t.fx, false);
    EXPECT_EQ(t.root->isSelected, 0);
    EXPECT_EQ(selection.selectedFileCount(), 0);

    // The tree and the lists add up in the selection text.
    store.contact(contact("c", " 1"));
    selection.setSelected(AnyRecord(store.contacts()[0]), true);
    selection.setFileSelected(*t.fb1, true);
    EXPECT_EQ(selectionSentence(selection.selectedCount()), "You select 2 files in the recovery results.");
    EXPECT_EQ(selectionSentence(0), "");
    EXPECT_FALSE(selection.selectTreePath("NoSuchDomain/x"));
}

}  // namespace
}  // namespace salvor
