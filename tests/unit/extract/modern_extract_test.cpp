// The messages and notes readers of Manifest.db backups, on forged sms.db
// and NoteStore.sqlite files of three iOS generations compared with their
// truth, and on stores whose tables lack what the readers look for.
#include <algorithm>
#include <filesystem>
#include <set>
#include <type_traits>

#include "core/helpers.h"
#include "extract/modern_messages.h"
#include "extract/modern_notes.h"
#include "extract_fixture.h"
#include "forge/forge.h"
#include "forge/modern_notes.h"
#include "forge/modern_sms.h"

namespace salvor::test {
namespace {

using nlohmann::json;

class ModernExtractTest : public ExtractTest {
protected:
    void SetUp() override {
        ExtractTest::SetUp();
        posted.withDeleted = true;
        ctx.modernFormat = true;
        ctx.backupPath = backup.path();
    }

    // Stores a file under its two-level name and lists it as the manifest stage would.
    void plant(const std::string& domain, const std::string& relativePath, const std::vector<std::uint8_t>& content) {
        const std::string name = forge::storedName(domain, relativePath);
        std::filesystem::create_directories(backup / name.substr(0, 2));
        writeFile(ctx.storedPath(name), std::string(content.begin(), content.end()));
        auto node = std::make_shared<MVTreeDirNode>();
        node->fileDomain = domain;
        node->filePath = relativePath;
        node->fileKey = ctx.storedPath(name);
        ctx.treeFileArray.push_back(node);
    }
    void plant(const forge::ModernDbResult& r) {
        for (const auto& f : r.files) plant(f.domain, f.relativePath, f.content);
    }
};

json orNull(const Text& t) { return t ? json(*t) : json(nullptr); }

// The rows the store itself holds: the forged stores also hold rows deleted
// for good, which the carving brings back and are judged elsewhere.
template <typename Ptr>
std::vector<Ptr> uncarved(std::vector<Ptr> list) {
    std::erase_if(list, [](const Ptr& r) { return r->carvedFrom.has_value(); });
    return list;
}

class ModernLayouts : public ModernExtractTest, public ::testing::WithParamInterface<int> {};

TEST_P(ModernLayouts, MessagesMatchTheirTruth) {
    TempDir scratch;
    json truth;
    plant(forge::writeModernSms(scratch / "sms.db", GetParam(), 7, truth));
    runPiped(&scanModernMessages, backup.path());

    for (const auto& [event, key] : {std::pair{"message", "messages"},
                                     std::pair{"deletedMessage", "deletedMessages"}}) {
        const auto got = uncarved(records<MessagePtr>(event));
        const json& want = truth.at(key);
        ASSERT_EQ(got.size(), want.size()) << key;
        for (std::size_t i = 0; i < got.size(); ++i) {
            const MVMessageNode& m = *got[i];
            const json& w = want[i];
            SCOPED_TRACE(w.dump().substr(0, 300));
            EXPECT_EQ(m.rowId, w.at("rowId").get<int>());
            EXPECT_EQ(orNull(m.messagePhone), w.at("messagePhone"));
            EXPECT_EQ(orNull(m.messageName), w.at("messageName"));
            EXPECT_EQ(orNull(m.messageContent), w.at("messageContent"));
            EXPECT_EQ(orNull(displayDate(m.messageDate)), w.at("messageDate"));
            EXPECT_EQ(orNull(m.messageType), w.at("messageType"));
            EXPECT_EQ(m.bImessage, w.at("bImessage").get<int>());
            EXPECT_EQ(m.bDeleted, w.at("bDeleted").get<int>());
            EXPECT_EQ(m.isHasAttach, w.at("isHasAttach").get<int>());
            EXPECT_EQ(orNull(m.attachType), w.at("attachType"));
            const json& stored = w.at("attachmentStoredName");
            EXPECT_EQ(orNull(m.attachmentPath),
                      stored.is_null() ? json(nullptr) : json(ctx.storedPath(stored.get<std::string>())));
            EXPECT_EQ(orNull(m.groupName), w.at("groupName"));
            EXPECT_EQ(orNull(m.groupAddress), w.at("groupAddress"));
        }
    }
    // Only the recent layout keeps deleted messages; the older ones have some
    // of everything else.
    EXPECT_EQ(truth.at("deletedMessages").empty(), GetParam() < 16);
    EXPECT_EQ(progress(), std::vector<int>{50});
    // The handles are left for the deleted-message scan.
    EXPECT_EQ(ctx.chatMessageArray.size(), 4u);
}

TEST_P(ModernLayouts, NotesMatchTheirTruth) {
    TempDir scratch;
    json truth;
    plant(forge::writeModernNotes(scratch / "NoteStore.sqlite", GetParam(), 3, truth));
    runPiped(&scanModernNotes, backup.path());

    for (const auto& [event, key] :
         {std::pair{"note", "notes"}, std::pair{"deletedNote", "deletedNotes"}}) {
        const auto got = uncarved(records<NotePtr>(event));
        const json& want = truth.at(key);
        ASSERT_EQ(got.size(), want.size()) << key;
        for (std::size_t i = 0; i < got.size(); ++i) {
            const MVNoteNode& n = *got[i];
            const json& w = want[i];
            SCOPED_TRACE(w.at("noteTitle").get<std::string>());
            EXPECT_EQ(n.uid, w.at("uid").get<int>());
            EXPECT_EQ(orNull(n.noteTitle), w.at("noteTitle"));
            EXPECT_EQ(orNull(n.noteContent),
                      w.at("locked").get<bool>() ? json(kLockedNoteText) : w.at("noteContent"));
            EXPECT_EQ(orNull(displayDate(n.noteDate)), w.at("noteDate"));
            EXPECT_EQ(orNull(n.noteFolder), w.at("noteFolder"));
            EXPECT_EQ(orNull(n.noteAccount), w.at("noteAccount"));
            EXPECT_EQ(n.bDeleted, w.at("bDeleted").get<int>());
        }
    }
}

// The newest rows are in the log the backup stores beside each database
// (the truth tests above read them from there): without the log they are
// gone, so the log, and only it, brings them.
TEST_P(ModernLayouts, NewestRowsComeFromTheLogBesideTheDatabase) {
    TempDir scratch;
    json sms, notes;
    const auto messages = forge::writeModernSms(scratch / "sms.db", GetParam(), 7, sms);
    const auto store = forge::writeModernNotes(scratch / "NoteStore.sqlite", GetParam(), 3, notes);
    std::size_t logs = 0;
    for (const auto* r : {&messages, &store})
        for (const auto& f : r->files) {
            if (f.relativePath.ends_with("-wal")) ++logs;
            else plant(f.domain, f.relativePath, f.content);
        }
    ASSERT_EQ(logs, 2u);
    runPiped(&scanModernMessages, backup.path());
    runPiped(&scanModernNotes, backup.path());
    const auto rowsOf = [&](const char* live, const char* deleted, auto ptr) {
        using Ptr = decltype(ptr);
        std::set<int> out;
        for (const char* event : {live, deleted})
            for (const auto& r : uncarved(records<Ptr>(event))) {
                // Rows the phone deleted after its last checkpoint (keys
                // from 1000 and 100) are still live in the file alone.
                if constexpr (std::is_same_v<Ptr, MessagePtr>) {
                    if (r->rowId < 1000) out.insert(r->rowId);
                } else if (r->uid < 100) {
                    out.insert(r->uid);
                }
            }
        return out;
    };
    const auto truthRows = [](const json& a, const json& b, const char* key) {
        std::set<int> out;
        for (const json* list : {&a, &b})
            for (const auto& r : *list) out.insert(r.at(key).get<int>());
        return out;
    };
    const std::set<int> wantMessages = truthRows(sms["messages"], sms["deletedMessages"], "rowId");
    const std::set<int> wantNotes = truthRows(notes["notes"], notes["deletedNotes"], "uid");
    const std::set<int> gotMessages = rowsOf("message", "deletedMessage", MessagePtr());
    const std::set<int> gotNotes = rowsOf("note", "deletedNote", NotePtr());
    // What the file alone holds is the truth without its newest rows.
    ASSERT_LT(gotMessages.size(), wantMessages.size());
    EXPECT_TRUE(std::includes(wantMessages.begin(), wantMessages.end(), gotMessages.begin(), gotMessages.end()));
    EXPECT_LT(*gotMessages.rbegin(), *std::next(wantMessages.begin(), static_cast<long>(gotMessages.size())));
    ASSERT_LT(gotNotes.size(), wantNotes.size());
    EXPECT_TRUE(std::includes(wantNotes.begin(), wantNotes.end(), gotNotes.begin(), gotNotes.end()));
    EXPECT_LT(*gotNotes.rbegin(), *std::next(wantNotes.begin(), static_cast<long>(gotNotes.size())));
}

INSTANTIATE_TEST_SUITE_P(Ios, ModernLayouts, ::testing::Values(12, 15, 17));

// Only backups with Manifest.db are read; a store of an older kind of
// backup, or one whose tables lack most columns, gives what it has.
TEST_F(ModernExtractTest, ReadsWhatTheTablesHoldAndNothingOnOlderBackups) {
    TempDir scratch;
    makeDb(scratch / "sms.db", "", R"(
        CREATE TABLE message (ROWID INTEGER PRIMARY KEY, text TEXT, date INTEGER, attributedBody BLOB);
        INSERT INTO message VALUES (1, 'bare', 600000000, NULL);
        INSERT INTO message VALUES (2, NULL, 600000000000000000, X'00FF');
    )");
    makeDb(scratch / "NoteStore.sqlite", "", R"(
        CREATE TABLE ZICCLOUDSYNCINGOBJECT (Z_PK INTEGER PRIMARY KEY, ZTITLE1 TEXT, ZMODIFICATIONDATE1 REAL);
        INSERT INTO ZICCLOUDSYNCINGOBJECT VALUES (5, 'Lonely title', 600000000.5);
        CREATE TABLE ZICNOTEDATA (Z_PK INTEGER PRIMARY KEY, ZNOTE INTEGER, ZDATA BLOB);
        INSERT INTO ZICNOTEDATA VALUES (1, 5, X'1F8B0800');
    )");
    const auto bytes = [&](const char* name) {
        const std::string s = readFile(scratch / name);
        return std::vector<std::uint8_t>(s.begin(), s.end());
    };
    plant("HomeDomain", "Library/SMS/sms.db", bytes("sms.db"));
    plant("AppDomainGroup-group.com.apple.notes", "NoteStore.sqlite", bytes("NoteStore.sqlite"));
    // An account never moved to the newer store keeps the legacy file too.
    makeDb(scratch / "notes.sqlite", "ios7/notes.sqlite.sql", R"(
        INSERT INTO ZNOTE(Z_PK, ZTITLE, ZMODIFICATIONDATE) VALUES (1, 'Legacy note', 400000000);
        INSERT INTO ZNOTEBODY(Z_PK, ZCONTENT) VALUES (1, 'Legacy body');
    )");
    plant("HomeDomain", "Library/Notes/notes.sqlite", bytes("notes.sqlite"));

    ctx.modernFormat = false;
    runPiped(&scanModernMessages, backup.path());
    runPiped(&scanModernNotes, backup.path());
    EXPECT_TRUE(posted.empty());

    ctx.modernFormat = true;
    runPiped(&scanModernMessages, backup.path());
    runPiped(&scanModernNotes, backup.path());
    const auto messages = records<MessagePtr>("message");
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(textOrEmpty(messages[0]->messageContent), "bare");
    // Seconds and nanoseconds since 2001 name the same minute.
    EXPECT_EQ(textOrEmpty(displayDate(messages[0]->messageDate)), "01-06-2020 10:40");
    EXPECT_EQ(displayDate(messages[1]->messageDate), displayDate(messages[0]->messageDate));
    EXPECT_EQ(textOrEmpty(messages[1]->messageContent), "");
    EXPECT_EQ(textOrEmpty(messages[0]->messagePhone), "");
    const auto notes = records<NotePtr>("note");
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(textOrEmpty(notes[0]->noteTitle), "Lonely title");
    EXPECT_EQ(textOrEmpty(notes[0]->noteContent), "");
    EXPECT_EQ(notes[0]->noteFolder, std::nullopt);
    EXPECT_EQ(textOrEmpty(notes[1]->noteTitle), "Legacy note");
    EXPECT_EQ(textOrEmpty(notes[1]->noteContent), "Legacy body");
}

}  // namespace
}  // namespace salvor::test
