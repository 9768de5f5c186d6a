#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <set>
#include <thread>

#include "engine/app_delegate.h"
#include "engine/recovery.h"
#include "engine/result_store.h"
#include "engine/scan_feed.h"
#include "output/chunked_copy.h"
#include "output/recovery_run.h"
#include "core/utf8.h"
#include "output_test_util.h"
#include "platform/dispatcher.h"
#include "support/support.h"

namespace salvor {
namespace {

using namespace test_output;

class RecoveryRunTest : public ::testing::Test {
protected:
    RecoveryRunTest() {
        app.currentNode = std::make_shared<MVIOSDeviceNode>();
        app.currentNode->strDeviceName = "Phone";
        backup = scratch.path() / "backup";
        dest = scratch.path() / "out";
        fs::create_directories(backup);
    }

    // A file inside the fake backup folder.
    std::string stored(const std::string& name, const std::string& bytes) {
        writeFile(backup / name, bytes);
        return (backup / name).string();
    }

    ContactPtr contact(const std::string& name) {
        auto c = std::make_shared<MVContactNode>();
        c->contactName = name, c->bSelected = 1;
        source.contactArray.push_back(c);
        return c;
    }

    PhotoPtr photo(const std::string& name, const std::string& path, std::uint64_t size) {
        auto p = std::make_shared<MVPhotoAndVideoNode>();
        p->fileNodeName = name, p->filePath = path, p->fileSizeNumber = size, p->bSelected = 1;
        source.photoAndVideoArray.push_back(p);
        return p;
    }

    ConversationPtr conversation(const Text& name, const std::string& address) {
        auto c = std::make_shared<MVMessageTreeNode>();
        c->messageTreeNodeName = name, c->messageTreeNodeAdress = address, c->bSelected = 1;
        source.messageTreeArray.push_back(c);
        return c;
    }

    // The selection as the run reads it, naming the device's folder.
    RecoverySource selected() const {
        RecoverySource s = source;
        s.device = app.currentNode;
        return s;
    }
    RecoveryReport run() { return recovery.run(selected(), dest.string()); }

    // Every file and folder now present below `root`, as relative paths.
    static std::set<std::string> listing(const fs::path& root) {
        std::set<std::string> out;
        for (const auto& e : fs::recursive_directory_iterator(root)) out.insert(fs::relative(e.path(), root).string());
        return out;
    }

    InlineDispatcher dispatcher;
    ResultStore store;
    ScanFeed feed{store, dispatcher};
    SalvorAppDelegate app{feed, dispatcher};
    Recovery recovery{store, app};
    RecoverySource source;  // what the tests tick
    ScratchDir scratch;
    fs::path backup, dest;
};

// The list texts and copies are compared in full end to end; here the folders,
// the names cards fall back to, and what the report counts. Only the folders
// and lists that the selection fills are made.
TEST_F(RecoveryRunTest, FoldersListsAndCounts) {
    contact("Ann");
    contact("Bob")->bSelected = 0;
    contact("")->contactCompany = "Acme";
    contact("")->rowid = 12;
    contact("")->contactName = std::nullopt;
    photo("IMG_0001.JPG", stored("a", "jpegdata"), 8);
    photo("IMG_0002.JPG", stored("b", ""), 0);  // size zero: counted, nothing written
    const RecoveryReport report = run();
    EXPECT_TRUE(report.succeeded());
    EXPECT_EQ(listing(dest), (std::set<std::string>{"Photo&Video", "Photo&Video/IMG_0001.JPG", "Contact",
                                                    "Contact/Ann.vcf", "Contact/Acme.vcf", "Contact/unknown 12.vcf",
                                                    "Contact/unknown -1.vcf", "Contact/Contacts.txt"}));
    EXPECT_EQ(report.folder("Contact")->items, 4u);
    EXPECT_EQ(report.folder("Contact")->files, 5u);
    EXPECT_EQ(report.itemsRecovered, 5);
    EXPECT_EQ(report.itemsTotal, 6);
    EXPECT_EQ(recovery.handled.load(), 6);
}

TEST_F(RecoveryRunTest, TreeFilesKeepDomainLayoutAndSkipUnselectedFolders) {
    auto folder = [](const char* name, int selected, MVTreeDirNode* parent) {
        auto d = std::make_shared<MVTreeDirNode>();
        d->fileName = name, d->isSelected = selected;
        if (parent) parent->children.push_back(d);
        return d;
    };
    auto root = folder("Phone", 2, nullptr);
    auto domain = folder("HomeDomain", 2, root.get());
    auto library = folder("Library", 1, domain.get());
    auto skipped = folder("Media", 0, domain.get());
    source.tree.push_back(root);

    auto file = [&](MVTreeDirNode& folder, const std::string& dirPath, const std::string& content,
                    std::uint64_t size, bool isFile = true) {
        auto f = std::make_shared<MVTreeFileNode>();
        f->dirFilePath = dirPath, f->treefileName = fs::path(dirPath).filename().string();
        f->filePath = stored(std::to_string(folder.fileChildren.size()) + f->treefileName.value(), content);
        f->realFileSize = size, f->isFile = isFile, f->bSelected = true, f->parent = &folder;
        folder.fileChildren.push_back(f);
        return f;
    };
    file(*library, "HomeDomain/Library/SMS/sms.db", "database", 8);
    file(*library, "HomeDomain/Library/short.bin", "abc", 6);  // stored file shorter than recorded
    file(*library, "HomeDomain/Library/long.bin", "abcdef", 2);  // only the recorded size is copied
    file(*library, "HomeDomain/Library/Caches", "", 0, false)->isDirectory = true;  // a directory record
    file(*library, "HomeDomain/Library/gone.plist", "", 0, false);  // listed, but the backup holds no file
    // Stored files that became a link or a FIFO after the scan: never followed, never waited on.
    fs::remove(file(*library, "HomeDomain/Library/shadow", "", 5)->filePath.value());
    const std::string linked = file(*library, "HomeDomain/Library/linked", "", 6)->filePath.value();
    fs::remove(linked);
    writeFile(scratch.path() / "secret", "secret");
    fs::create_symlink(scratch.path() / "secret", linked);
    const std::string fifo = file(*library, "HomeDomain/Library/fifo", "", 1)->filePath.value();
    fs::remove(fifo);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    file(*domain, "HomeDomain/../../../escape.txt", "out", 3);  // hostile manifest path
    file(*library, "HomeDomain/Library/unticked", "x", 1)->bSelected = false;
    file(*skipped, "HomeDomain/Media/DCIM/IMG.JPG", "jpeg", 4);  // ticked, but its folder is not

    const RecoveryReport report = run();
    EXPECT_TRUE(report.succeeded());
    ASSERT_EQ(report.notInBackup.size(), 4u);
    EXPECT_EQ(report.notInBackup[0].item, (dest / "Phone/HomeDomain/Library/gone.plist").string());
    EXPECT_NE(report.notInBackup[2].reason.find("a link"), std::string::npos);
    EXPECT_NE(report.notInBackup[3].reason.find("FIFO"), std::string::npos);
    const fs::path dev = dest / "Phone";
    EXPECT_EQ(listing(dev), (std::set<std::string>{"HomeDomain", "HomeDomain/escape.txt", "HomeDomain/Library",
                                                   "HomeDomain/Library/SMS", "HomeDomain/Library/SMS/sms.db",
                                                   "HomeDomain/Library/short.bin", "HomeDomain/Library/long.bin",
                                                   "HomeDomain/Library/Caches"}));
    EXPECT_EQ(readFile(dev / "HomeDomain/Library/SMS/sms.db"), "database");
    EXPECT_EQ(readFile(dev / "HomeDomain/Library/short.bin"), std::string("abc\0\0\0", 6));
    EXPECT_EQ(readFile(dev / "HomeDomain/Library/long.bin"), "ab");
    EXPECT_EQ(report.folder("Phone")->items, 5u);
    EXPECT_EQ(report.itemsTotal, 9);
    EXPECT_EQ(report.itemsHandled, 9);
    EXPECT_FALSE(fs::exists(scratch.path() / "escape.txt"));

    // A device named like a category folder keeps its files apart from that category.
    app.currentNode->strDeviceName = "contact";
    dest = scratch.path() / "second";
    run();
    EXPECT_EQ(readFile(dest / "contact (device)/HomeDomain/Library/SMS/sms.db"), "database");
    EXPECT_FALSE(fs::exists(dest / "Contact/HomeDomain"));
}

TEST_F(RecoveryRunTest, ConversationPageWithCopiedAttachments) {
    auto c = conversation("A", "+1 555 0101");  // one-character name: the page is named by the address
    auto msg = [](const Text& name, const char* type, const std::string& date, const Text& content) {
        auto m = std::make_shared<MVMessageNode>();
        m->messageName = name, m->messageType = type, m->messageContent = content;
        if (!date.empty()) m->messageDate = test::dateAt(date);
        return m;
    };
    auto attached = [&](const Text& name, const char* type, const char* kind, const std::string& file,
                        const std::string& bytes) {
        auto m = msg(name, type, "", "");
        m->isHasAttach = 1, m->attachType = kind, m->attachmentPath = stored(file, bytes);
        return m;
    };
    auto text = msg("A", "Received", "03-07-2013 14:05", "see <this> & that");
    auto mine = msg("A", "Send", "03-07-2013 14:06", "ok");  // sent: "Me", whatever the contact's name
    auto picture = attached("A", "Received", "Image", "IMG 0001.JPG", "picture");
    auto film = attached("A", "Send", "Mov", "clip.MOV", std::string(1000, 'm'));
    auto card = attached("A", "Received", "Contact", "Ann.vcf", "BEGIN:VCARD\r\nN:Ann \xC3\xA9\r\nEND:VCARD");
    c->MessageNodeArray = {text, mine, picture, film, card};
    conversation("Bob", "555")->bSelected = 0;
    // A stored picture has no extension of its own: its copy is named by its type.
    auto stored2 = conversation("Cy", "556");
    stored2->MessageNodeArray = {attached("Cy", "Received", "Image", "4f1e2d", std::string("\xFF\xD8\xFF\xE0jfif", 8))};
    // Attachments whose stored files the backup's file list names take those
    // names, numbered when taken, never replacing a file.
    auto named = conversation("Dee", "557");
    named->MessageNodeArray = {attached("Dee", "Received", "Image", "410433c7", "first"),
                               attached("Dee", "Received", "Image", "5b5b5b", "second"),
                               attached("Dee", "Received", "Contact", "c0ffee", "BEGIN:VCARD\r\nEND:VCARD")};
    auto media = std::make_shared<MVTreeDirNode>();
    for (const auto& [key, name] : {std::pair{"410433c7", "IMG_1000.JPG"}, std::pair{"5b5b5b", "IMG_1000.JPG"},
                                    std::pair{"c0ffee", "Contact.vcf"}}) {
        auto f = std::make_shared<MVTreeFileNode>();
        f->treefileName = name, f->filePath = (backup / key).string();
        media->fileChildren.push_back(f);
    }
    auto device = std::make_shared<MVTreeDirNode>();
    device->children.push_back(media);
    source.tree.push_back(device);
    writeFile(dest / "Message/Contact.vcf", "earlier");

    const RecoveryReport report = run();
    EXPECT_TRUE(report.succeeded()) << report.failures.front().item << ": " << report.failures.front().reason;
    EXPECT_EQ(listing(dest / "Message"),
              (std::set<std::string>{"+1 555 0101.html", "IMG 0001.JPG", "clip.MOV.mov", "Ann.vcf.vcf", "Cy.html",
                                     "4f1e2d.jpg", "Dee.html", "IMG_1000.JPG", "IMG_1000 (2).JPG", "Contact.vcf",
                                     "Contact (2).vcf"}));
    EXPECT_EQ(readFile(dest / "Message/IMG_1000 (2).JPG"), "second");
    EXPECT_EQ(readFile(dest / "Message/Contact.vcf"), "earlier");
    EXPECT_NE(decodeUtf16Page(readFile(dest / "Message/Dee.html")).find("<img src='IMG_1000%20%282%29.JPG'/>"),
              std::string::npos);
    EXPECT_EQ(fs::file_size(dest / "Message/clip.MOV.mov"), 1000u);
    EXPECT_EQ(readFile(dest / "Message/Ann.vcf.vcf"), readFile(backup / "Ann.vcf"));
    // Three pages and seven attachment copies: the total covers them all.
    EXPECT_EQ(report.itemsTotal, 10);

    std::string expected = golden("conversation.html");
    while (!expected.empty() && expected.back() == '\n') expected.pop_back();
    EXPECT_EQ(decodeUtf16Page(readFile(dest / "Message/+1 555 0101.html")), expected);
}

TEST_F(RecoveryRunTest, HostileNamesStayInsideTheDestination) {
    std::string longName;
    for (int i = 0; i < 100; ++i) longName += "\xE6\x97\xA5";  // 300 bytes
    for (const std::string& name : {std::string("../../x"), std::string("a/b"), longName, std::string("n\0ul", 4),
                                    std::string(".."), std::string("/etc/passwd")}) {
        contact(name);
        photo(name, stored("p", "photo"), 5);
        conversation(name, "555")->MessageNodeArray.push_back(std::make_shared<MVMessageNode>());
    }
    app.currentNode->strDeviceName = "../Evil";
    const RecoveryReport report = run();
    EXPECT_TRUE(report.succeeded());
    // Nothing escaped: the scratch folder holds only the backup and the destination.
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch.path()), fs::directory_iterator()), 2);
    EXPECT_FALSE(fs::exists(dest / "_Evil"));  // no file of the tree was ticked: no folder for it
    std::size_t cards = 0, pages = 0, photos = 0;
    for (const auto& e : fs::recursive_directory_iterator(dest)) {
        const std::string name = e.path().filename().string();
        EXPECT_LE(name.size(), 255u);
        utf8::Utf8Validator v;
        EXPECT_TRUE(v.feed(reinterpret_cast<const std::uint8_t*>(name.data()), name.size()) && v.finish());
        cards += e.path().extension() == ".vcf";
        pages += e.path().extension() == ".html";
        photos += e.path().parent_path() == dest / "Photo&Video";
    }
    EXPECT_EQ(cards, 6u);
    EXPECT_EQ(pages, 6u);
    EXPECT_EQ(photos, 6u);
    EXPECT_TRUE(fs::exists(dest / "Contact/_.._x.vcf"));
    EXPECT_TRUE(fs::exists(dest / "Contact/n_ul.vcf"));
    EXPECT_TRUE(fs::exists(dest / "Contact/_etc_passwd.vcf"));
}

TEST_F(RecoveryRunTest, ClashingNamesAreNumberedAndNothingIsReplaced) {
    writeFile(dest / "Contact/Contacts.txt", "earlier list");
    writeFile(dest / "Contact/Ann.vcf", "earlier card");
    contact("Ann")->contactPhone = " 1";
    contact("Ann")->contactPhone = " 2";
    photo("IMG_0001.JPG", stored("dcim100/IMG_0001.JPG", "first"), 5);
    photo("IMG_0001.JPG", stored("dcim101/IMG_0001.JPG", "second"), 6);
    conversation("Same Name", "1");
    conversation("Same Name", "2");
    const RecoveryReport report = run();
    EXPECT_TRUE(report.succeeded());
    EXPECT_EQ(readFile(dest / "Contact/Contacts.txt"), "earlier list");
    EXPECT_EQ(readFile(dest / "Contact/Ann.vcf"), "earlier card");
    EXPECT_NE(readFile(dest / "Contact/Contacts (2).txt").find("Phone: 2"), std::string::npos);
    EXPECT_NE(readFile(dest / "Contact/Ann (2).vcf").find("TEL;CELL;PREF:1\r\n"), std::string::npos);
    EXPECT_NE(readFile(dest / "Contact/Ann (3).vcf").find("TEL;CELL;PREF:2\r\n"), std::string::npos);
    EXPECT_EQ(readFile(dest / "Photo&Video/IMG_0001 (2).JPG"), "second");
    EXPECT_NE(decodeUtf16Page(readFile(dest / "Message/Same Name.html")).find("Phone: 1 "), std::string::npos);
    EXPECT_NE(decodeUtf16Page(readFile(dest / "Message/Same Name (2).html")).find("Phone: 2 "), std::string::npos);
}

TEST_F(RecoveryRunTest, FailuresAreReportedAndTheRunGoesOn) {
    photo("gone.jpg", (backup / "vanished.jpg").string(), 10);
    photo("here.jpg", stored("here", "ok"), 2);
    auto c = conversation("Chat", "1");
    auto msg = std::make_shared<MVMessageNode>();
    msg->isHasAttach = 1, msg->attachType = "Image", msg->attachmentPath = (backup / "missing.jpg").string();
    auto bad = std::make_shared<MVMessageNode>();
    bad->isHasAttach = 1, bad->attachType = "Location";
    bad->attachmentPath = stored("loc.vcf", "\xFF\xFE not text");
    auto never = std::make_shared<MVMessageNode>();  // an attachment row whose file the backup never held
    never->isHasAttach = 1, never->attachType = "Image";
    c->MessageNodeArray = {msg, bad, never};
    contact("Ann");

    RecoveryReport report = run();
    // Files the backup does not hold are said apart from the failures.
    ASSERT_EQ(report.notInBackup.size(), 3u);
    EXPECT_NE(report.notInBackup[0].item.find("gone.jpg"), std::string::npos);
    EXPECT_NE(report.notInBackup[0].reason.find("vanished.jpg"), std::string::npos);
    EXPECT_NE(report.notInBackup[1].reason.find("missing.jpg"), std::string::npos);
    EXPECT_NE(report.notInBackup[2].reason.find("has no file in the backup"), std::string::npos);
    ASSERT_EQ(report.failures.size(), 1u);
    EXPECT_NE(report.failures[0].reason.find("UTF-8"), std::string::npos);
    EXPECT_FALSE(fs::exists(dest / "Photo&Video/gone.jpg"));
    EXPECT_FALSE(fs::exists(dest / "Message/loc.vcf.vcf"));
    EXPECT_EQ(readFile(dest / "Photo&Video/here.jpg"), "ok");
    EXPECT_TRUE(fs::exists(dest / "Contact/Ann.vcf"));
    // The page still refers to the picture where the backup held it.
    EXPECT_NE(decodeUtf16Page(readFile(dest / "Message/Chat.html")).find("<img src='" + msg->attachmentPath.value()),
              std::string::npos);
    // Every file written is in its place; no temporary file is left over.
    for (const auto& e : fs::recursive_directory_iterator(dest)) {
        EXPECT_EQ(e.path().filename().string().find(".salvor-"), std::string::npos) << e.path();
    }

    // A destination that cannot be created is said once, and nothing is tried.
    writeFile(scratch.path() / "plainfile", "x");
    dest = scratch.path() / "plainfile" / "out";
    report = run();
    EXPECT_FALSE(report.succeeded());
    ASSERT_EQ(report.failures.size(), 1u);
    EXPECT_NE(report.failures[0].reason.find("is not a folder"), std::string::npos);
    EXPECT_TRUE(report.folders.empty());
}

// A run stopped from another thread during a large copy: the copy's
// temporary file goes, the file written before stays whole, only it is
// counted, and no later folder is started. The large photo is recorded far
// longer than its stored file (the copy pads it with zeros), and the stop
// comes once the copy has written its first chunk.
TEST_F(RecoveryRunTest, StoppedRunKeepsWholeFilesOnlyAndSaysSo) {
    photo("a.jpg", stored("a", "first"), 5);
    photo("big.mov", stored("big", "m"), 64 * output::kCopyChunkBytes);
    photo("c.jpg", stored("c", "never"), 5);
    contact("Ann");
    std::thread stopper([&] {
        const bool copying = test::waitFor([&] {
            std::error_code ec;
            for (fs::directory_iterator it(dest / "Photo&Video", ec), end; !ec && it != end; it.increment(ec)) {
                if (it->path().filename().string().rfind(".salvor-", 0) == 0 &&
                    fs::file_size(it->path(), ec) >= output::kCopyChunkBytes && !ec)
                    return true;
            }
            return false;
        });
        EXPECT_TRUE(copying);
        recovery.cancel();
    });
    const RecoveryReport report = run();
    stopper.join();
    EXPECT_TRUE(report.cancelled);
    EXPECT_TRUE(report.succeeded());
    EXPECT_EQ(report.itemsTotal, 4);
    EXPECT_EQ(report.itemsHandled, 1);
    EXPECT_EQ(recovery.handled.load(), 1);
    EXPECT_EQ(report.folders.size(), 1u);
    EXPECT_EQ(listing(dest), (std::set<std::string>{"Photo&Video", "Photo&Video/a.jpg"}));
    EXPECT_EQ(readFile(dest / "Photo&Video/a.jpg"), "first");

    // A stop requested before the run begins writes nothing.
    std::stop_source early;
    early.request_stop();
    EXPECT_TRUE(recovery.run(selected(), (scratch.path() / "none").string(), early.get_token()).cancelled);
    EXPECT_FALSE(fs::exists(scratch.path() / "none"));
}

TEST(RecoveryRun, ProposedName) {
    // 7 March 2024 09:05:31 UTC; the tests run with TZ=UTC.
    EXPECT_EQ(proposedRecoveryName(1709802331), "Salvor 2024-03-07 - 09.05.31");
}

}  // namespace
// The library refuses a destination inside the backup folder on its own, so
// no front end can write into a backup by mistake.
TEST_F(RecoveryRunTest, ADestinationInsideTheBackupIsRefusedAndNothingIsWritten) {
    contact("Ann");
    fs::create_directories(dest);
    app.currentNode->backUpFilePath = dest.string();
    const RecoveryReport report = recovery.run(selected(), (dest / "inside").string());
    ASSERT_EQ(report.failures.size(), 1u);
    EXPECT_NE(report.failures[0].reason.find("inside the backup folder"), std::string::npos);
    EXPECT_TRUE(listing(dest).empty());
}

}  // namespace salvor
