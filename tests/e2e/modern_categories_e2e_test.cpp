// The category databases of backups in the iOS 10 and later format, through
// the command: every record `scan --json` gives equals the forged truth (what
// the phone keeps as recently deleted included), and `recover --all` writes
// cards, conversation pages, notes and the attachments the backup holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "forge/forge.h"
#include "support/support.h"

namespace salvor::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const std::string kNoCallHistory = "Call history is not in this backup: iOS keeps it only in encrypted backups.";

forge::ForgedBackup forgeModern(const TempDir& dir, const std::string& scenario, std::uint64_t seed) {
    forge::ForgeOptions options;
    options.seed = seed;
    options.scenario = scenario;
    return forge::forgeStore(dir / "store", options).at(0);
}

json deletedOnly(const json& list) { return withDeletedFlag(list, true); }

// The conversation page holding `text`, as UTF-8, or empty.
std::string pageWith(const std::string& folder, const std::string& text) {
    for (const auto& f : filesBelow(folder))
        if (f.ends_with(".html"))
            if (std::string page = fromUtf16(readFile(f)); page.find(text) != std::string::npos) return page;
    return {};
}

TEST(ModernCategories, ScanGivesEveryRecordOfTheTruth) {
    for (const char* scenario : {"ios12-modern", "ios15-modern", "ios17-modern"}) {
        SCOPED_TRACE(scenario);
        TempDir dir;
        const auto b = forgeModern(dir, scenario, 19);
        const json truth = readJson(b.truthPath);
        const auto r = runSalvor({"scan", b.path, "--json"});
        const json scan = json::parse(r.out);

        // The live records, field by field and in order.
        for (const char* category : {"contacts", "messages", "calls", "notes", "bookmarks", "calendar"})
            expectListMatchesTruth(scan[category], truth[category]["live"], b.path, category);
        // What the phone keeps as recently deleted comes exactly, marked
        // deleted. The rows it deleted for good are listed as deleted too,
        // where the carving finds them: the carving's evaluation judges those
        // (its records are told apart here by their ids, which the phone's
        // own rows keep). Each kept message stays in its chat's conversation,
        // live or not, and is listed among the messages as well.
        std::map<std::string, std::set<std::int64_t>> keptIds;  // by the id's name
        for (const auto& r : truth["messages"]["recentlyDeleted"]) keptIds["rowId"].insert(r["rowId"].get<std::int64_t>());
        for (const auto& r : truth["notes"]["recentlyDeleted"]) keptIds["uid"].insert(r["uid"].get<std::int64_t>());
        const auto phonesOwn = [&](const json& list, const char* id) {
            json out = json::array();
            for (const auto& r : list)
                if (r.contains(id) && r[id].is_number() && keptIds[id].count(r[id].get<std::int64_t>()))
                    out.push_back(r);
            return out;
        };
        json deletedMessages = json::array(), allDeletedMessages = json::array();
        std::size_t groupDeleted = 0;
        for (const auto& c : scan["conversations"])
            for (const auto& m : withDeletedFlag(c["MessageNodeArray"], true)) {
                allDeletedMessages.push_back(m);
                if (phonesOwn(json::array({m}), "rowId").empty()) continue;
                deletedMessages.push_back(m);
                // A group's message stays with its group.
                groupDeleted += m["groupAddress"].is_string();
                EXPECT_EQ(c["messageTreeNodeAdress"],
                          m["groupAddress"].is_string() ? m["groupAddress"] : m["messagePhone"]);
            }
        std::sort(deletedMessages.begin(), deletedMessages.end(),
                  [](const json& a, const json& b) { return a["rowId"].get<int>() < b["rowId"].get<int>(); });
        for (const char* category : {"contacts", "messages", "calls", "notes", "bookmarks", "calendar"}) {
            SCOPED_TRACE(category);
            const std::string name = category;
            const json got = name == "messages" ? deletedMessages
                             : name == "notes"  ? phonesOwn(deletedOnly(scan[category]), "uid")
                                                : json::array();
            const json& want = truth[category]["recentlyDeleted"];
            ASSERT_EQ(got.size(), want.size());
            for (std::size_t i = 0; i < want.size(); ++i) {
                json expected = want[i];
                if (expected.contains("attachmentPath") && expected["attachmentPath"].is_string())
                    expected["attachmentPath"] = b.path + "/" + expected["attachmentPath"].get<std::string>();
                for (auto it = expected.begin(); it != expected.end(); ++it)
                    EXPECT_EQ(got[i][it.key()], it.value()) << category << "[" << i << "]." << it.key();
            }
        }
        EXPECT_EQ(phonesOwn(withDeletedFlag(scan["messages"], true), "rowId"), deletedMessages);
        // The summary table counts them, inside their live conversations.
        {
            std::istringstream lines(runSalvor({"scan", b.path}).out);
            std::string line;
            long live = -1, deleted = -1;
            while (std::getline(lines, line))
                if (line.rfind("Messages ", 0) == 0) std::istringstream(line.substr(9)) >> live >> deleted;
            EXPECT_EQ(deleted, static_cast<long>(allDeletedMessages.size()));
            EXPECT_EQ(live, static_cast<long>(truth["messages"]["live"].size()));
        }
        // Only iOS 16 and later keep deleted messages, one of them a group's.
        EXPECT_EQ(deletedMessages.size(), truth["iosMajor"].get<int>() >= 16 ? 3u : 0u);
        EXPECT_EQ(groupDeleted, truth["iosMajor"].get<int>() >= 16 ? 1u : 0u);
        EXPECT_GE(truth["notes"]["recentlyDeleted"].size(), 2u);
        EXPECT_FALSE(truth["lockedNotes"].empty());

        // A group is one conversation whoever wrote; the others go by address.
        const json& convWant = truth["conversations"]["live"];
        const json convGot = withDeletedFlag(scan["conversations"], false, "bdeleted");
        expectListMatchesTruth(convGot, convWant, b.path, "conversations");
        // Every deleted message kept by the phone sits in a live conversation
        // here: each of its chats goes on.
        EXPECT_TRUE(withDeletedFlag(scan["conversations"], true, "bdeleted").empty());
        const json liveMessages = withDeletedFlag(scan["messages"], false);
        bool namedGroup = false;
        for (std::size_t i = 0; i < convWant.size() && i < convGot.size(); ++i) {
            const json& members = convWant[i]["members"];
            const json& deletedMembers = convWant[i]["deletedMembers"];
            const json& got = convGot[i]["MessageNodeArray"];
            const json gotLive = withDeletedFlag(got, false), gotDeleted = phonesOwn(withDeletedFlag(got, true), "rowId");
            ASSERT_EQ(gotLive.size(), members.size()) << i;
            ASSERT_EQ(gotDeleted.size(), deletedMembers.size()) << i;
            for (std::size_t m = 0; m < members.size(); ++m)
                EXPECT_EQ(gotLive[m], liveMessages[members[m].get<std::size_t>()]) << i;
            for (std::size_t m = 0; m < deletedMembers.size(); ++m)
                EXPECT_EQ(gotDeleted[m], deletedMessages[deletedMembers[m].get<std::size_t>()]) << i;
            // In date order, the deleted ones among the live ones (the
            // carved ones too, whose ids are past the phone's own).
            std::vector<std::int32_t> rows;
            for (const auto& m : got)
                if (m["bDeleted"] == 0 || !phonesOwn(json::array({m}), "rowId").empty())
                    rows.push_back(m["rowId"].get<std::int32_t>());
            EXPECT_TRUE(std::is_sorted(rows.begin(), rows.end())) << i;
            namedGroup |= convGot[i]["messageTreeNodeName"] == "Family \xF0\x9F\x8F\xA1" && members.size() >= 3;
        }
        EXPECT_TRUE(namedGroup);
        // The truth covers what must be shown: names from the address book,
        // attachments held and not held.
        int named = 0, held = 0, notHeld = 0;
        for (const auto& m : truth["messages"]["live"]) {
            named += m["messageName"].is_string();
            if (m["isHasAttach"] == 1) (m["attachmentPath"].is_string() ? held : notHeld) += 1;
        }
        EXPECT_GE(named, 3);
        EXPECT_GE(held, 1);
        EXPECT_GE(notHeld, 1);

        // The call log: read where the backup holds it, else explained once.
        const bool withCalls = truth["callHistoryInBackup"].get<bool>();
        EXPECT_EQ(withCalls, truth["iosMajor"] == 17);
        EXPECT_EQ(truth["calls"]["live"].empty(), !withCalls);
        std::size_t said = 0;
        for (const auto& p : scan["problems"]) said += p == kNoCallHistory;
        EXPECT_EQ(said, withCalls ? 0u : 1u) << scan["problems"].dump();
        EXPECT_EQ(r.err.find(kNoCallHistory) == std::string::npos, withCalls) << r.err;
    }
}

TEST(ModernCategories, RecoverAllWritesCardsPagesNotesAndHeldAttachments) {
    for (const char* scenario : {"ios12-modern", "ios17-modern"}) {
        SCOPED_TRACE(scenario);
        TempDir dir;
        const auto b = forgeModern(dir, scenario, 23);
        const json truth = readJson(b.truthPath);
        const auto before = fingerprint(b.path);
        const std::string dest = dir / "out";
        const auto r = runSalvor({"recover", b.path, "--all", "--to", dest});
        // The backup's refused rows make the run partial (1); an attachment the
        // backup does not hold is told, and is no failure.
        EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
        EXPECT_EQ(r.out.find("could not be written"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("attachment of the message of"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("has no file in the backup"), std::string::npos) << r.out;
        EXPECT_EQ(fingerprint(b.path), before);

        // One card per person, and the list names each; the people the
        // carving brings back have theirs as well.
        std::size_t cards = 0;
        for (const auto& f : filesBelow(dest + "/Contact")) cards += f.ends_with(".vcf");
        EXPECT_GE(cards, truth["contacts"]["live"].size());
        const std::string contactList = readFile(dest + "/Contact/Contacts.txt");
        for (const auto& c : truth["contacts"]["live"])
            EXPECT_NE(contactList.find("Name:" + c["contactName"].get<std::string>() + "  "), std::string::npos);

        // Notes: the live ones, the locked one as such, then the recently deleted.
        const std::string notes = readFile(dest + "/Note/Notes.txt");
        for (const char* part : {"live", "recentlyDeleted"})
            for (const auto& n : truth["notes"][part])
                EXPECT_NE(notes.find("Title:" + n["noteTitle"].get<std::string>() + "  "), std::string::npos) << n;
        EXPECT_NE(notes.find("[Locked note:"), std::string::npos);
        if (truth["callHistoryInBackup"].get<bool>()) {
            EXPECT_TRUE(fs::exists(dest + "/CallHistory/Call History.txt"));
        }

        // The group conversation is one page with every member's messages.
        const std::string page = pageWith(dest + "/Message", "Group answer from Ann");
        ASSERT_FALSE(page.empty());
        for (const char* text : {"Family \xF0\x9F\x8F\xA1", "Group hello", "Own message to the group"})
            EXPECT_NE(page.find(text), std::string::npos) << text;
        const std::string unnamed = pageWith(dest + "/Message", "Unnamed group first");
        EXPECT_NE(unnamed.find("Unnamed group own"), std::string::npos);
        // Every attachment the backup holds is copied beside the pages, byte for byte.
        std::multiset<std::string> held, copied;
        for (const char* part : {"live", "recentlyDeleted"})
            for (const auto& m : truth["messages"][part])
                if (m["attachmentPath"].is_string())
                    held.insert(sha1Hex(readBytes(b.path + "/" + m["attachmentPath"].get<std::string>())));
        for (const auto& f : filesBelow(dest + "/Message"))
            if (!f.ends_with(".html")) copied.insert(sha1Hex(readBytes(f)));
        EXPECT_FALSE(held.empty());
        EXPECT_EQ(copied, held);
    }
}

}  // namespace
}  // namespace salvor::test
