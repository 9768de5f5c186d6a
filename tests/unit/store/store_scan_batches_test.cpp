// What the store does to keep a big scan fast must not show in its results:
// the backup tree handed over in batches is the tree placed record by record,
// and the conversations found through remembered addresses and the message
// index are those of the plain rule (every conversation tried in order).
#include <gtest/gtest.h>

#include <array>
#include <sstream>

#include "backup/manifest.h"
#include "core/record_collector.h"
#include "core/scan_context.h"
#include "engine/scan_session.h"
#include "forge/forge.h"
#include "store_fixture.h"
#include "support/support.h"

namespace salvor {
namespace {

// Every folder and file of a tree, in order, with the fields a view or a
// recovery reads and whether each node points back at its folder.
std::string describe(const std::vector<TreeDirPtr>& roots) {
    std::ostringstream out;
    std::vector<std::pair<const MVTreeDirNode*, const MVTreeDirNode*>> stack;  // node, expected parent
    for (auto it = roots.rbegin(); it != roots.rend(); ++it) stack.emplace_back(it->get(), nullptr);
    while (!stack.empty()) {
        const auto [d, parent] = stack.back();
        stack.pop_back();
        out << "D " << textOrEmpty(d->fileName) << ' ' << d->isSelected << ' ' << d->nodeIcon << ' ' << d->isLeaf
            << (d->parent == parent ? "" : " bad-parent") << '\n';
        for (const auto& f : d->fileChildren)
            out << " F " << textOrEmpty(f->treefileName) << ' ' << textOrEmpty(f->treefileType) << ' '
                << textOrEmpty(f->fileSize) << ' ' << f->realFileSize << ' ' << f->isFile << ' '
                << textOrEmpty(f->filePath) << ' ' << textOrEmpty(f->dirFilePath) << ' ' << f->bSelected
                << (f->parent == d ? "" : " bad-parent") << '\n';
        out << " end " << d->children.size() << '\n';
        for (auto it = d->children.rbegin(); it != d->children.rend(); ++it) stack.emplace_back(it->get(), d);
    }
    return out.str();
}

TEST(StoreScanBatches, ScannedTreeEqualsTreePlacedRecordByRecord) {
    // 5,000 records cross a hand-over boundary; once in the usual layout, once
    // with every record in its own folder among scattered siblings.
    for (std::uint64_t folders : {std::uint64_t{0}, std::uint64_t{5000}}) {
        test::TempDir dir;
        forge::ForgeOptions options;
        options.scenario = "bench-manifest";
        options.manifestRecords = 5000;
        options.manifestFolders = folders;
        const std::string backup = forge::forgeStore(dir / "store", options).at(0).path;

        ScanSession session;
        ASSERT_FALSE(session.run(backup));

        RecordCollector sink;
        ScanContext ctx(sink, backup);
        MVTreeController oneByOne([&session] { return session.app.currentNode; });
        int placed = 0;
        sink.onDelivery = [&](const std::string& kind) {
            if (kind != "backupFile") return;
            const TreeDirPtr& record = sink.backupFiles.back();
            if (textOrEmpty(record->filePath).empty()) return;
            oneByOne.addTreeNode(*record, placed == 0);
            ++placed;
        };
        scanBackupFiles(ctx, backup);
        ASSERT_GT(placed, 4500);
        EXPECT_EQ(session.store.recordCount(Category::BackupTree), static_cast<std::size_t>(placed));
        EXPECT_EQ(describe(session.store.tree().content), describe(oneByOne.content)) << folders;
    }
}

TEST(StoreScanBatches, BatchOfRecordsEqualsOneByOneBesideTickedFolders) {
    auto device = std::make_shared<MVIOSDeviceNode>();
    device->strDeviceName = "Phone";
    MVTreeController oneByOne([&] { return device; }), batched([&] { return device; });
    int redraws = 0;
    batched.refreshOutlineView = [&] { ++redraws; };
    auto records = [](std::initializer_list<const char*> paths) {
        std::vector<TreeDirPtr> out;
        for (const char* p : paths) {
            auto r = std::make_shared<MVTreeDirNode>();
            r->fileDomain = "HomeDomain", r->filePath = p, r->fileKey = std::string("/nonexistent/") + p;
            out.push_back(r);
        }
        return out;
    };
    auto placeBoth = [&](const std::vector<TreeDirPtr>& batch) {
        for (const auto& r : batch) oneByOne.addTreeNode(*r, false);
        batched.addTreeNodes(batch);
    };
    placeBoth(records({"b/x", "B/x", "a/y/z", "c/d/e"}));
    EXPECT_EQ(redraws, 1);  // one batch, one redraw
    // Tick "a" and its ancestors in both trees, as a click during the scan would.
    for (MVTreeController* t : {&oneByOne, &batched}) {
        MVTreeDirNode& home = *t->content.at(0)->children.at(0);
        for (MVTreeDirNode* n : {t->content[0].get(), &home, home.children.at(0).get()}) n->isSelected = 1;
    }
    // New folders beside the ticked one, names out of order and repeated within
    // the batch, hidden and empty components, a trailing slash, a duplicate file.
    placeBoth(records({"zz/1", "a0/2", "A/3", "a/new/4", "zz/5", ".h/6", "a//7", "m/n/", "b/x", "0/8"}));
    placeBoth(records({"ab/9", "a/y/w/10"}));
    EXPECT_EQ(redraws, 3);
    EXPECT_EQ(describe(batched.content), describe(oneByOne.content));
    EXPECT_EQ(batched.content[0]->isSelected, 2);  // the new folders made it partly ticked
}

// The grouping rule tried on every conversation in order, on copies of the
// messages, to compare the store with.
struct PlainGrouping {
    struct Conversation {
        std::string address;
        bool deleted = false;
        std::vector<std::pair<std::string, std::string>> members;  // (date, message name)
        // In date order, after those of the same date (the dates used here
        // order as text).
        void add(const std::string& date, const std::string& name) {
            auto at = members.end();
            while (at != members.begin() && (at - 1)->first > date) --at;
            members.insert(at, {date, name});
        }
    };
    std::vector<Conversation> conversations;
    std::vector<std::array<std::string, 3>> messages;  // phone, content, date

    Conversation* first(const std::string& phone, bool onlyDeleted) {
        for (auto& c : conversations)
            if ((!onlyDeleted || c.deleted) && addressMatches(c.address, phone)) return &c;
        return nullptr;
    }
    void live(const std::string& name, const std::string& phone, const std::string& content, const std::string& date) {
        messages.push_back({phone, content, date});
        if (Conversation* c = first(phone, false)) {
            c->add(date, name);
            c->deleted = false;  // a conversation with a live message is live
        } else {
            conversations.push_back({phone, false, {{date, name}}});
        }
    }
    void carved(const std::string& name, std::string phone, const std::string& content, const std::string& date) {
        if (phone.empty() && content.empty()) return;
        std::string compact;
        for (char ch : phone)
            if (ch != ' ') compact += ch;
        if (compact.size() < 3) phone = "Unknown";
        for (const auto& m : messages)
            if (m[0] == phone && m[1] == content && m[2] == date) return;
        if (Conversation* c = first(phone, true)) {
            c->add(date, name);
            return;
        }
        conversations.push_back({phone, true, {{date, name}}});
        messages.push_back({phone, content, date});
    }
};

using StoreGrouping = StoreFixture;

TEST_F(StoreGrouping, RememberedAddressesGroupAsThePlainRule) {
    // Addresses that contain one another (either way, in any case), short ones
    // that become "Unknown", and carved messages arriving before and between
    // live ones, so conversations appear after an address first matched none.
    const std::vector<std::string> pool = {"5551234", "+15551234", "1234", "555", "55", "12", "", "a@B.example",
                                           "A@b.example", "b.example", "Unknown", "  1", "777", "+1777", "77", "8"};
    forge::Rng rng(7);
    PlainGrouping plain;
    for (int i = 0; i < 3000; ++i) {
        const std::string name = "m" + std::to_string(i);
        const std::string phone = rng.pick(pool);
        const std::string content = rng.chance(10) ? "" : "t" + std::to_string(rng.below(20));
        const std::string date = "01-0" + std::to_string(rng.below(3) + 1) + "-2013 10:00";
        auto m = message(name, phone, content, date);
        if (rng.chance(i < 1000 ? 20 : 60)) {
            store.deletedMessage(m);
            plain.carved(name, phone, content, date);
        } else {
            store.message(m);
            plain.live(name, phone, content, date);
        }
    }
    ASSERT_EQ(store.conversations().size(), plain.conversations.size());
    for (std::size_t i = 0; i < plain.conversations.size(); ++i) {
        const MVMessageTreeNode& got = *store.conversations()[i];
        const auto& want = plain.conversations[i];
        EXPECT_EQ(textOrEmpty(got.messageTreeNodeAdress), want.address) << i;
        EXPECT_EQ(got.bdeleted == 1, want.deleted) << i;
        std::vector<std::string> members, wanted;
        for (const auto& m : got.MessageNodeArray) members.push_back(textOrEmpty(m->messageName));
        for (const auto& m : want.members) wanted.push_back(m.second);
        EXPECT_EQ(members, wanted) << i;
    }
    EXPECT_EQ(store.messages().size(), plain.messages.size());
    // The reference uses the same address rule, so the rule is pinned here.
    EXPECT_TRUE(addressMatches("abc", "ABC"));
    EXPECT_TRUE(addressMatches("5551234", "+15551234"));
    EXPECT_TRUE(addressMatches("5551234", "1234"));
    EXPECT_FALSE(addressMatches("abc", ""));
    EXPECT_FALSE(addressMatches("123", "1245"));
}

}  // namespace
}  // namespace salvor
