#include <gtest/gtest.h>

#include "backup/tree_controller.h"
#include "backup_test_util.h"

namespace salvor {
namespace {

using testing_backup::ScanHarness;
using testing_backup::TempDir;

struct TreeFixture : ::testing::Test {
    ScanHarness h;
    MVTreeController tree{[this] { return h.currentNode; }};
    int redraws = 0;

    TreeFixture() {
        h.currentNode = std::make_shared<MVIOSDeviceNode>();
        h.currentNode->strDeviceName = "Phone";
        tree.refreshOutlineView = [this] { ++redraws; };
    }
    void place(const std::string& domain, const std::string& path, const std::string& key = "/nonexistent/key") {
        MVTreeDirNode r;
        r.fileDomain = domain;
        r.filePath = path;
        r.fileKey = key;
        tree.addTreeNode(r, false);
    }
    static std::vector<std::string> names(const std::vector<TreeDirPtr>& list) {
        std::vector<std::string> out;
        for (const auto& f : list) out.push_back(*f->fileName);
        return out;
    }
    MVTreeDirNode& domain(const std::string& name) {
        for (const auto& d : tree.content.at(0)->children)
            if (*d->fileName == name) return *d;
        throw std::runtime_error("no domain " + name);
    }
};

TEST_F(TreeFixture, HiddenComponentsDuplicatesAndMissingDeviceName) {
    place("HomeDomain", "a/.b/c");
    place("HomeDomain", "a/.b/c");
    MVTreeDirNode& a = *domain("HomeDomain").children.at(0);
    ASSERT_EQ(names(a.children), std::vector<std::string>{"b"});
    ASSERT_EQ(a.children[0]->fileChildren.size(), 2u);  // duplicates are both shown
    EXPECT_EQ(*a.children[0]->fileChildren[0]->dirFilePath, "HomeDomain/a/b/c");

    h.currentNode->strDeviceName = "";
    place("MediaDomain", "x/y");
    h.currentNode.reset();
    place("MediaDomain", "x/y");
    EXPECT_EQ(tree.content.at(0)->children.size(), 1u);
}

TEST_F(TreeFixture, NewFolderBesideTickedSiblingMakesAncestorsPartly) {
    place("HomeDomain", "Library/SMS/sms.db");
    MVTreeDirNode& home = domain("HomeDomain");
    MVTreeDirNode& library = *home.children.at(0);
    MVTreeDirNode& sms = *library.children.at(0);
    tree.content[0]->isSelected = 1;
    home.isSelected = 1;
    library.isSelected = 1;
    sms.isSelected = 1;

    // A new folder under a folder with no ticked sub-folders changes nothing.
    place("HomeDomain", "Library/SMS/Drafts/d.txt");
    EXPECT_EQ(sms.isSelected, 1);

    // A new unticked folder beside the ticked "SMS": every fully ticked ancestor becomes partly ticked.
    place("HomeDomain", "Library/Notes/n.db");
    EXPECT_EQ(library.isSelected, 2);
    EXPECT_EQ(library.nodeIcon, "selectedSome");
    EXPECT_EQ(home.isSelected, 2);
    EXPECT_EQ(tree.content[0]->isSelected, 2);
    EXPECT_EQ(sms.isSelected, 1);  // the sibling itself keeps its value

    // A changed folder: itself and its fully ticked ancestors.
    MVTreeDirNode& drafts = *sms.children.at(0);
    drafts.isSelected = 1;
    tree.refreshNodeState(drafts, false);
    EXPECT_EQ(drafts.isSelected, 2);
    EXPECT_EQ(sms.isSelected, 2);
    EXPECT_EQ(sms.nodeIcon, "selectedSome");
}

TEST_F(TreeFixture, PathOfThirtyThousandLevelsIsPlacedAndReleasedWithoutRecursion) {
    std::string path;
    for (int i = 0; i < 30000; ++i) path += "d/";
    place("HomeDomain", path + "f");
    auto second = std::make_shared<MVTreeDirNode>();
    second->fileDomain = "HomeDomain";
    second->filePath = path + "g";
    tree.addTreeNodes({second});
    const MVTreeDirNode* folder = tree.content.at(0).get();
    int depth = 0;
    for (; folder->children.size() == 1; ++depth) folder = folder->children[0].get();
    EXPECT_EQ(depth, 30001);  // the domain and every "d"
    EXPECT_EQ(folder->fileChildren.size(), 2u);
    tree.clear();
    EXPECT_TRUE(tree.content.empty());
    place("HomeDomain", path + "f");  // released again with the fixture
}

}  // namespace
}  // namespace salvor
