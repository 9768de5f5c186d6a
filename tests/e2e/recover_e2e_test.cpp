// `salvor recover --all` on forged backups: every selected record appears in its
// list, card or page, and every selected file is copied byte for byte.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "forge/forge.h"
#include "support/support.h"

namespace salvor::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string field(const json& record, const char* key) {
    const json& v = record[key];
    return v.is_null() ? "(null)" : v.get<std::string>();
}

std::string entry(const json& r, std::initializer_list<std::pair<const char*, const char*>> labels) {
    std::string out;
    for (const auto& [label, key] : labels) out += std::string(label) + ":" + field(r, key) + "  ";
    return out + "\n\n";
}

std::multiset<std::string> digestsBelow(const std::string& dir, const std::string& extension = {}) {
    std::multiset<std::string> out;
    if (!fs::exists(dir)) return out;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file() && (extension.empty() || e.path().extension() == extension))
            out.insert(sha1Hex(readBytes(e.path().string())));
    return out;
}

class RecoverAll : public ::testing::TestWithParam<std::string> {};

TEST_P(RecoverAll, WritesEverythingTheBackupHolds) {
    TempDir dir;
    const auto b = forgeOne(dir, GetParam(), 23);
    const json truth = readJson(b.truthPath);
    const std::string dest = dir / "out";
    const auto r = runSalvor({"recover", b.path, "--all", "--to", dest});
    // Nothing fails; a message attachment that the backup never held is only mentioned.
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.out.find("could not be written"), std::string::npos) << r.out;
    if (GetParam() == "ios6") {
        EXPECT_NE(r.out.find("are not in the backup"), std::string::npos) << r.out;
    }

    // The five lists hold one exact entry per record, in order.
    auto list = [&](const char* folder, const char* name) { return readFile(dest + "/" + folder + "/" + name); };
    std::string contacts, notes, calls, bookmarks, calendar;
    for (const auto& c : truth["contacts"]["live"])
        contacts += entry(c, {{"Name", "contactName"}, {"Phone", "contactPhone"}, {"Email", "contactEmail"},
                              {"Company", "contactCompany"}, {"JobTitle", "contactJobtitle"},
                              {"Home Page", "contactHomepage"}, {"Birthday", "contactBirthday"},
                              {"Note", "contactNote"}});
    for (const auto& n : truth["notes"]["live"])
        notes += entry(n, {{"Title", "noteTitle"}, {"Note", "noteContent"}, {"Date", "noteDate"}});
    for (const auto& c : truth["calls"]["live"])
        calls += entry(c, {{"Name", "callName"}, {"Phone", "callPhone"}, {"Date", "callDate"}, {"Type", "callType"},
                           {"Duration", "callDuration"}});
    for (const auto& m : truth["bookmarks"]["live"])
        bookmarks += entry(m, {{"Title", "bookMarkTitle"}, {"URL", "bookMarkURL"}});
    for (const auto& e : truth["calendar"]["live"])
        calendar += entry(e, {{"Title", "calTitle"}, {"Note", "calNote"}, {"Start Date", "startDate"},
                              {"End Date", "endDate"}});
    // The live contacts first, then the deleted persons the carving found;
    // --deleted-only writes just those, and they are persons the phone deleted.
    const std::string allContacts = list("Contact", "Contacts.txt");
    ASSERT_GE(allContacts.size(), contacts.size());
    EXPECT_EQ(allContacts.substr(0, contacts.size()), contacts);
    const std::string carved = allContacts.substr(contacts.size());
    EXPECT_NE(carved, "");
    ASSERT_EQ(runSalvor({"recover", b.path, "--deleted-only", "--category", "contacts", "--to", dir / "deleted"}).exitCode, 0);
    EXPECT_EQ(readFile(dir / "deleted/Contact/Contacts.txt"), carved);
    std::set<std::string> deletedFirstNames;
    for (const auto& c : truth["contacts"]["deleted"])
        if (c["First"].is_string()) deletedFirstNames.insert("Name:" + c["First"].get<std::string>());
    // Numbers whose person is unknown are listed under a name of their own.
    const std::string nameless = "Name:number without a name ";
    for (std::size_t at = 0; (at = carved.find("Name:", at)) != std::string::npos; ++at)
        EXPECT_TRUE(carved.compare(at, nameless.size(), nameless) == 0 ||
                    deletedFirstNames.count(carved.substr(at, carved.find_first_of(" ", at) - at)))
            << carved.substr(at, 60);
    // Notes and bookmarks likewise: the live ones first, then those the
    // carving found, each one the phone deleted.
    auto liveThenDeleted = [&](const char* folder, const char* name, const std::string& live, const char* category,
                               const char* key, const char* label) {
        const std::string all = list(folder, name);
        ASSERT_GE(all.size(), live.size());
        EXPECT_EQ(all.substr(0, live.size()), live);
        const std::string deleted = all.substr(live.size());
        EXPECT_NE(deleted, "");
        const std::string to = dir / ("deleted-" + std::string(category));
        ASSERT_EQ(runSalvor({"recover", b.path, "--deleted-only", "--category", category, "--to", to}).exitCode, 0);
        EXPECT_EQ(readFile(to + "/" + folder + "/" + name), deleted);
        std::set<std::string> titles;
        for (const auto& r : truth[category]["deleted"]) titles.insert(std::string(label) + ":" + field(r, key) + "  ");
        for (std::size_t at = 0; (at = deleted.find(std::string(label) + ":", at)) != std::string::npos; ++at) {
            const std::string title = deleted.substr(at, deleted.find("  ", at) + 2 - at);
            // A note whose title is gone comes back by its body alone.
            if (title != std::string(label) + ":  ") {
                EXPECT_TRUE(titles.count(title)) << title;
            }
        }
    };
    liveThenDeleted("Note", "Notes.txt", notes, "notes", "ZTITLE", "Title");
    liveThenDeleted("BookMark", "BookMark.txt", bookmarks, "bookmarks", "title", "Title");
    // Calls and events: the live ones first, exactly, then the deleted ones the
    // carving found, which --deleted-only writes alone; each is a deleted row.
    struct Carved {
        const char* category;
        const char* folder;
        const char* file;
        const std::string& live;
        std::set<std::string> keys;  // entry prefixes of the deleted rows
    };
    std::set<std::string> callKeys, eventKeys;
    for (const auto& c : truth["calls"]["deleted"])
        callKeys.insert("Phone:" + field(c, "address") + "  Date:" + field(c, "dateText") + "  ");
    for (const auto& e : truth["calendar"]["deleted"])
        eventKeys.insert("Title:" + field(e, "summary") + "  Note:" + (e["description"].is_string() ? field(e, "description") : "") + "  Start Date:" +
                         field(e, "startDate") + "  ");
    for (const Carved& c : {Carved{"calls", "CallHistory", "Call History.txt", calls, callKeys},
                            Carved{"calendar", "Calendar&Reminder", "Calendar&Reminder.txt", calendar, eventKeys}}) {
        SCOPED_TRACE(c.category);
        const std::string all = list(c.folder, c.file);
        ASSERT_GE(all.size(), c.live.size());
        EXPECT_EQ(all.substr(0, c.live.size()), c.live);
        const std::string deleted = all.substr(c.live.size());
        EXPECT_NE(deleted, "");
        const std::string to = dir / (std::string("deleted-") + c.category);
        ASSERT_EQ(runSalvor({"recover", b.path, "--deleted-only", "--category", c.category, "--to", to}).exitCode, 0);
        EXPECT_EQ(readFile(to + "/" + c.folder + "/" + c.file), deleted);
        for (std::size_t at = 0, end; at < deleted.size(); at = end + 2) {
            end = deleted.find("\n\n", at);
            ASSERT_NE(end, std::string::npos);
            const std::string entry = deleted.substr(at, end - at);
            // Calls begin with the contact's name; the key follows it.
            const std::string key = entry.substr(std::min(entry.size(), std::string(c.category) == "calls" ? entry.find("Phone:") : 0));
            EXPECT_TRUE(std::any_of(c.keys.begin(), c.keys.end(), [&](const std::string& k) { return key.rfind(k, 0) == 0; }))
                << entry;
        }
    }

    // Cards and conversation pages are read back in documents_e2e_test.cpp.
    // Photos and social files: byte-identical copies of every non-empty one.
    std::multiset<std::string> photos, social;
    for (const auto& p : truth["photos"])
        if (p["fileSizeNumber"].get<std::uint64_t>() > 0)
            photos.insert(sha1Hex(readBytes(b.path + "/" + p["filePath"].get<std::string>())));
    for (const auto& s : truth["social"])
        social.insert(sha1Hex(readBytes(b.path + "/" + s["faceTwitterFilePath"].get<std::string>())));
    EXPECT_EQ(digestsBelow(dest + "/Photo&Video"), photos);
    EXPECT_EQ(digestsBelow(dest + "/FaceBook&Twitter"), social);

    // The file tree: one byte-identical copy per stored file record.
    std::multiset<std::string> stored;
    for (const auto& rec : truth["manifest"])
        if (rec["kind"] == "file" && rec["stored"].get<bool>() && !rec["path"].get<std::string>().empty())
            stored.insert(sha1Hex(readBytes(b.path + "/" + rec["storedName"].get<std::string>())));
    std::string deviceFolder;
    for (const auto& e : fs::directory_iterator(dest))
        if (e.path().filename().string().find(truth["backup"]["strDeviceName"].get<std::string>().substr(0, 3)) == 0)
            deviceFolder = e.path().string();
    ASSERT_FALSE(deviceFolder.empty());
    EXPECT_EQ(digestsBelow(deviceFolder), stored);

    // Nothing outside the destination was written, and the backup is untouched.
    EXPECT_EQ(fs::exists(dir / "x"), false);
}

TEST_P(RecoverAll, SecondRunIntoTheSameFolderReplacesNothing) {
    TempDir dir;
    const auto b = forgeOne(dir, GetParam(), 29);
    const std::string dest = dir / "out";
    const auto before = fingerprint(b.path);
    runSalvor({"recover", b.path, "--category", "contacts", "--category", "notes", "--to", dest});
    const auto first = fingerprint(dest);
    runSalvor({"recover", b.path, "--category", "contacts", "--category", "notes", "--to", dest});
    const auto second = fingerprint(dest);
    for (const auto& [path, print] : first) {
        ASSERT_TRUE(second.count(path)) << path;
        EXPECT_EQ(second.at(path), print) << path;
    }
    EXPECT_TRUE(second.count("Contact/Contacts (2).txt"));
    EXPECT_TRUE(second.count("Note/Notes (2).txt"));
    EXPECT_EQ(fingerprint(b.path), before);
}

INSTANTIATE_TEST_SUITE_P(Generations, RecoverAll, ::testing::Values("ios4", "ios6"),
                         [](const auto& info) { return info.param; });

TEST(RecoverCommand, SelectsByCategoryFileAndDeletedOnly) {
    TempDir dir;
    const auto b = forgeOne(dir, "ios6", 31);
    const json truth = readJson(b.truthPath);

    // One file of the tree by its domain path; nothing else is written but empty lists.
    const auto r = runSalvor({"recover", b.path, "--file", "HomeDomain/Library/SMS/sms.db", "--to", dir / "one"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    std::size_t copies = 0;
    for (const auto& e : fs::recursive_directory_iterator(dir / "one"))
        if (e.is_regular_file() && e.path().filename() == "sms.db") ++copies;
    EXPECT_EQ(copies, 1u);
    EXPECT_EQ(readFile(dir / "one/Contact/Contacts.txt"), "");

    EXPECT_EQ(runSalvor({"recover", b.path, "--file", "NoSuchDomain/x", "--to", dir / "two"}).exitCode, 1);
    EXPECT_EQ(runSalvor({"recover", b.path, "--category", "gizmos"}).exitCode, 2);
    EXPECT_EQ(runSalvor({"recover", b.path, "--all", "--deleted-only"}).exitCode, 2);

    // Deleted-only with no deleted records found selects nothing.
    const auto d = runSalvor({"recover", b.path, "--deleted-only", "--to", dir / "three"}, dir.path());
    EXPECT_EQ(d.exitCode, 0) << d.err;

    // Without --to the destination is named after the current time, in the current folder.
    const auto n = runSalvor({"recover", b.path, "--category", "notes"}, dir.path());
    EXPECT_EQ(n.exitCode, 0) << n.err;
    bool named = false;
    for (const auto& e : fs::directory_iterator(dir.path()))
        named = named || e.path().filename().string().rfind("Salvor 20", 0) == 0;
    EXPECT_TRUE(named);
}

std::size_t partialFiles(const std::string& dir) {
    std::size_t n = 0;
    for (const auto& f : filesBelow(dir)) n += f.size() > 5 && f.compare(f.size() - 5, 5, ".part") == 0;
    return n;
}

// A stop signal while a large photo is copied: the run ends there, the
// partial copy goes, the photo written before stays whole, the summary says
// where it stopped and the scan's copies are gone. The photo (1 GiB, sparse
// in the backup) copies for long enough to be caught.
TEST(RecoverCommand, StopSignalEndsTheRunWithoutPartialFiles) {
    TempDir dir;
    const auto b = forgeOne(dir, "ios6", 7);
    const json photos = readJson(b.truthPath)["photos"];
    fs::resize_file(b.path + "/" + photos[1]["filePath"].get<std::string>(), 1ULL << 30);
    const std::string tmp = dir / "tmp", dest = dir / "out";
    fs::create_directories(tmp);
    RunningSalvor salvor({"recover", b.path, "--category", "photos", "--to", dest}, {{"TMPDIR", tmp}});
    // The first photo is written and the second is being copied.
    ASSERT_TRUE(waitFor([&] { return partialFiles(dest) == 1 && filesBelow(dest).size() == 2; }));
    kill(salvor.pid(), SIGINT);
    const CommandResult r = salvor.wait();
    EXPECT_EQ(r.exitCode, 130) << r.err;
    EXPECT_NE(r.out.find("Stopped after 1 of " + std::to_string(photos.size()) + " items."), std::string::npos);
    EXPECT_NE(r.err.find("salvor: stopped"), std::string::npos);
    const auto written = filesBelow(dest);
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(readFile(written[0]), readFile(b.path + "/" + photos[0]["filePath"].get<std::string>()));
    EXPECT_TRUE(fs::is_empty(tmp));
}

TEST(DemoCommand, ForgesScansAndRecoversTheSample) {
    TempDir dir;
    const auto r = runSalvor({"demo", "--to", dir / "out"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Sample backup:"), std::string::npos);
    EXPECT_NE(r.out.find("Recovered into " + (dir / "out")), std::string::npos);
    EXPECT_FALSE(readFile(dir / "out/Contact/Contacts.txt").empty());
    // The sample store it names can be listed.
    const auto pos = r.out.find("Sample backup store: ");
    ASSERT_NE(pos, std::string::npos);
    const std::string store = r.out.substr(pos + 21, r.out.find('\n', pos) - pos - 21);
    EXPECT_EQ(runSalvor({"list", "--store", store}).exitCode, 0);
    std::filesystem::remove_all(std::filesystem::path(store).parent_path());
}

}  // namespace
}  // namespace salvor::test
