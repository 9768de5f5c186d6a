#include "core/helpers.h"
#include "extract/extractors.h"
#include "extract_fixture.h"

namespace salvor::test {
namespace {

constexpr const char* kCallsWireless = "2b2b0084a1bc3a5ac8c27afdf14afb42c61a19ca";
constexpr const char* kCallsHome = "ff1324e6b949111b2fb449ecddb50c89c3699a78";
constexpr const char* kNotes = "ca3bc056d4da0bbf88b5fb3be254f3b7147e639c";
constexpr const char* kNotesOld = "740b7eaf93d6ea5d305e88bb349c8e9643f48c3b";

using CallsTest = ExtractTest;
using NotesTest = ExtractTest;

TEST_F(CallsTest, OlderFileNameAndPreferredNameWins) {
    makeDb(stored(kCallsHome), "ios4/call_history.db.sql",
           "INSERT INTO call(address, date, duration, flags) VALUES('123', 1300000000, 61, 4);");
    runPiped(&scanCallHistory, backup.path());
    const auto calls = records<CallPtr>("call");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(displayCallDuration(*calls[0]), "1 minute");

    posted.clear();
    writeFile(stored(kCallsWireless), "not a database");  // preferred name wins, even unreadable
    runPiped(&scanCallHistory, backup.path());
    EXPECT_EQ(names(), std::vector<std::string>{"progress"});
}

TEST_F(NotesTest, OlderStoreUnderOlderNameAndPreferredNameWins) {
    makeDb(stored(kNotesOld), "legacy/notes.db.sql", R"(
        INSERT INTO Note(ROWID, title, modification_date) VALUES(1, 'Old', 86400);
        INSERT INTO note_bodies(note_id, data) VALUES(1, 'x</br>y');
    )");
    runPiped(&scanNotes, backup.path());
    auto notes = records<NotePtr>("note");
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0]->noteContent, "x\ny");

    posted.clear();
    writeFile(stored(kNotes), std::string(1000, '\0'));
    runPiped(&scanNotes, backup.path());
    EXPECT_EQ(names(), std::vector<std::string>{"progress"});
}

}  // namespace
}  // namespace salvor::test
